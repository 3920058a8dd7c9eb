// The folder page of qvdbx serve: hostile names stay text wherever they appear, links
// stay links of this folder, and the player finds its tracks in the right order.
#include "serve/folder_page.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <functional>

namespace {

PageEntry file(const std::string &name, const std::string &href, int64_t size, bool playable, bool video = false) {
    PageEntry e;
    e.name = name;
    e.href = href;
    e.size = size;
    e.playable = playable;
    e.video = video;
    return e;
}

PageEntry folder(const std::string &name, const std::string &href) {
    PageEntry e;
    e.name = name;
    e.href = href;
    e.folder = true;
    return e;
}

FolderPage sample() {
    FolderPage p;
    p.title = "/Album/";
    p.crumbs = {{"Home", "/"}, {"Album", "/Album/"}};
    p.folders = {folder("Extras", "Extras/")};
    p.files = {file("01 Opening.wav", "01%20Opening.wav", 16044, true), file("notes.txt", "notes.txt", 300, false)};
    p.m3u_href = "?format=m3u";
    return p;
}

size_t occurrences(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// The markup characters of a page; text that is escaped adds none.
std::string markup_signature(const std::string &html) {
    std::string signature;
    for (const char *c : {"<", ">", "\"", "'"}) signature += std::to_string(occurrences(html, c)) + ",";
    return signature;
}

using Place = std::function<void(FolderPage &, const std::string &)>;

const std::pair<const char *, Place> PLACES[] = {
    {"title", [](FolderPage &p, const std::string &s) { p.title = s; }},
    {"crumb", [](FolderPage &p, const std::string &s) { p.crumbs.back().first = s; }},
    {"folder", [](FolderPage &p, const std::string &s) { p.folders[0].name = s; }},
    {"playable file", [](FolderPage &p, const std::string &s) { p.files[0].name = s; }},
    {"other file", [](FolderPage &p, const std::string &s) { p.files[1].name = s; }},
};

} // namespace

TEST(FolderPage, HostileNamesAreTextWhereverTheyAppear) {
    const std::pair<const char *, const char *> names[] = {
        {"<script>alert(1)</script>", "&lt;script&gt;alert(1)&lt;/script&gt;"},
        {"<img src=x onerror=alert(1)>", "&lt;img src=x onerror=alert(1)&gt;"},
        {"Rock 'n' Roll & \"Friends\"", "Rock &#39;n&#39; Roll &amp; &quot;Friends&quot;"},
        {"a\"><b>x", "a&quot;&gt;&lt;b&gt;x"},
        {"&amp; stays &amp;", "&amp;amp; stays &amp;amp;"},
        {"Sigur R\xC3\xB3s \xE5\x9D\x82\xE6\x9C\xAC", "Sigur R\xC3\xB3s \xE5\x9D\x82\xE6\x9C\xAC"},
        {"tab\there\x01" "end\x7f", "tab\xEF\xBF\xBDhere\xEF\xBF\xBD" "end\xEF\xBF\xBD"},
    };
    for (const auto &[where, place] : PLACES) {
        FolderPage plain = sample();
        place(plain, "plain");
        std::string expected_markup = markup_signature(folder_page_html(plain));
        for (const auto &[raw, text] : names) {
            FolderPage page = sample();
            place(page, raw);
            std::string html = folder_page_html(page);
            EXPECT_EQ(markup_signature(html), expected_markup) << where << ": " << raw;
            EXPECT_NE(html.find(text), std::string::npos) << where << ": " << raw;
        }
    }
}

TEST(FolderPage, LinksAreAttributesOfThisFolder) {
    const std::pair<const char *, const char *> hrefs[] = {
        {"b%20c.wav", "b%20c.wav"},
        {"%3Cb%3E%22%27.wav", "%3Cb%3E%22%27.wav"},
        {"?format=m3u&recursive=1", "?format=m3u&amp;recursive=1"},
        {"a\"onmouseover='x'", "a&quot;onmouseover=&#39;x&#39;"},
        {"javascript:alert(1)", "./javascript:alert(1)"},
        {"JavaScript:x/y", "./JavaScript:x/y"},
        {"data:text/html,x", "./data:text/html,x"},
        {"x/y:z", "x/y:z"},
        {"?a:b", "?a:b"},
        {"/KEY/Album/", "/KEY/Album/"},
    };
    using Target = std::function<void(FolderPage &, const std::string &)>;
    const Target targets[] = {
        [](FolderPage &p, const std::string &h) { p.crumbs[0].second = h; },
        [](FolderPage &p, const std::string &h) { p.folders[0].href = h; },
        [](FolderPage &p, const std::string &h) { p.files[0].href = h; },
        [](FolderPage &p, const std::string &h) { p.files[1].href = h; },
        [](FolderPage &p, const std::string &h) { p.m3u_href = h; },
    };
    for (const auto &[href, attribute] : hrefs)
        for (size_t t = 0; t < std::size(targets); ++t) {
            FolderPage page = sample();
            targets[t](page, href);
            std::string html = folder_page_html(page);
            EXPECT_EQ(occurrences(html, std::string("href=\"") + attribute + "\""), 1u) << t << ": " << href;
        }
}

TEST(FolderPage, CrumbsLeadFromTheRootToThisFolder) {
    FolderPage page = sample();
    page.crumbs = {{"Music", "/"}, {"Sigur R\xC3\xB3s", "Sigur%20R%C3%B3s/"}, {"\xC3\x81g\xC3\xA6tis", "./"}};
    std::string html = folder_page_html(page);
    size_t root = html.find("<a href=\"/\">Music</a>");
    size_t middle = html.find("<a href=\"Sigur%20R%C3%B3s/\">Sigur R\xC3\xB3s</a>");
    size_t here = html.find("<a href=\"./\" aria-current=\"page\">\xC3\x81g\xC3\xA6tis</a>");
    ASSERT_NE(root, std::string::npos);
    ASSERT_NE(middle, std::string::npos);
    ASSERT_NE(here, std::string::npos);
    EXPECT_LT(root, middle);
    EXPECT_LT(middle, here);
    EXPECT_EQ(occurrences(html, "aria-current=\"page\""), 1u);
    EXPECT_EQ(occurrences(html, "<span aria-hidden=\"true\">/</span>"), 2u);

    // Below a root named "/", the trail reads as the path: "/Album/Live".
    page.crumbs = {{"/", "/KEY/"}, {"Album", "/KEY/Album/"}, {"Live", "/KEY/Album/Live/"}};
    html = folder_page_html(page);
    EXPECT_NE(html.find("<a href=\"/KEY/\">/</a><a href=\"/KEY/Album/\">Album</a><span aria-hidden=\"true\">/</span>"
                        "<a href=\"/KEY/Album/Live/\" aria-current=\"page\">Live</a>"),
              std::string::npos);
}

TEST(FolderPage, PlayableFilesAreTracksInTheirOrderAndOthersPlainLinks) {
    struct Case {
        PageEntry entry;
        const char *marking;  // what follows the href, up to the link text
        const char *kind;     // the badge, or nullptr
    };
    const Case cases[] = {
        {file("b.flac", "b.flac", 1, true), " data-track=\"audio\" data-name=\"b.flac\">", "audio"},
        {file("A & B.mkv", "A%20%26%20B.mkv", 1, true, true), " data-track=\"video\" data-name=\"A &amp; B.mkv\">", "video"},
        {file("c.mp3", "c.mp3", 1, true), " data-track=\"audio\" data-name=\"c.mp3\">", "audio"},
        {file("cover.jpg", "cover.jpg", 1, false), ">", nullptr},
        {file("'q'.txt", "%27q%27.txt", 1, false), ">", nullptr},
    };
    FolderPage page = sample();
    page.files.clear();
    for (const Case &c : cases) page.files.push_back(c.entry);
    std::string html = folder_page_html(page);
    size_t last = 0;
    for (const Case &c : cases) {
        std::string link = "<a href=\"" + c.entry.href + "\"" + c.marking;
        size_t at = html.find(link);
        ASSERT_NE(at, std::string::npos) << link;
        EXPECT_GT(at, last) << "display order: " << c.entry.name;
        last = at;
        size_t row_end = html.find("</li>", at);
        std::string row = html.substr(at, row_end - at);
        EXPECT_EQ(row.find("class=\"kind\""), c.kind ? row.find(std::string("class=\"kind\">") + c.kind) : std::string::npos)
            << c.entry.name;
    }
    EXPECT_EQ(occurrences(html, "data-track="), 3u);
    EXPECT_NE(html.find("3 playable"), std::string::npos);
}

TEST(FolderPage, SizesReadAsPeopleReadThem) {
    // The figure a person reads, and the exact bytes on hovering it.
    const std::pair<int64_t, const char *> sizes[] = {
        {0, "\"0 bytes\">0 B<"}, {1023, "\"1,023 bytes\">1023 B<"}, {1024, "\"1,024 bytes\">1.0 KiB<"},
        {16044, "\"16,044 bytes\">16 KiB<"}, {10239, "\"10,239 bytes\">10.0 KiB<"},
        {4000000, "\"4,000,000 bytes\">3.8 MiB<"}, {67401233, "\"67,401,233 bytes\">64 MiB<"},
        {int64_t(5) << 40, "\"5,497,558,138,880 bytes\">5.0 TiB<"},
        {int64_t(1) << 62, "\"4,611,686,018,427,387,904 bytes\">4096 PiB<"}};
    for (const auto &[bytes, text] : sizes) {
        FolderPage page = sample();
        page.files[1].size = bytes;
        EXPECT_NE(folder_page_html(page).find(std::string("title=") + text), std::string::npos) << bytes;
    }
    FolderPage unknown = sample();
    unknown.files[1].size = -1;
    EXPECT_EQ(occurrences(folder_page_html(unknown), "class=\"size\""), 1u);
}

TEST(FolderPage, SelfContainedAndAPlainIndexWithoutScript) {
    std::string html = folder_page_html(sample());
    EXPECT_EQ(html.find("://"), std::string::npos) << "nothing from another host";
    EXPECT_EQ(html.find(" src="), std::string::npos) << "nothing loaded before a track is played";
    EXPECT_EQ(occurrences(html, "<script"), 1u);
    EXPECT_EQ(occurrences(html, "</script"), 1u);
    EXPECT_EQ(occurrences(html, "</style"), 1u);
    EXPECT_NE(html.find("<section id=\"player\" class=\"player\" aria-label=\"Player\" hidden>"), std::string::npos);
    EXPECT_NE(html.find("<a href=\"?format=m3u\" type=\"audio/x-mpegurl\">"), std::string::npos);

    FolderPage empty = sample();
    empty.folders.clear();
    empty.files.clear();
    std::string bare = folder_page_html(empty);
    EXPECT_EQ(bare.find("<ul"), std::string::npos);
    EXPECT_NE(bare.find("0 folders \xC2\xB7 0 files"), std::string::npos);
}

// The page's own policy must allow its script and style, and only those: a script or
// style edited without its hash would be refused by the browser.
TEST(FolderPage, PolicyAllowsExactlyTheInlineScriptAndStyle) {
    std::string html = folder_page_html(sample());
    size_t policy_at = html.find("<meta http-equiv=\"Content-Security-Policy\" content=\"");
    ASSERT_NE(policy_at, std::string::npos);
    std::string policy = html.substr(policy_at, html.find('>', policy_at) - policy_at);
    for (const char *tag : {"script", "style"}) {
        size_t open = html.find(std::string("<") + tag + ">");
        size_t close = html.find(std::string("</") + tag + ">");
        ASSERT_TRUE(open != std::string::npos && close != std::string::npos) << tag;
        EXPECT_LT(policy_at, open) << tag;
        std::string body = html.substr(open + std::strlen(tag) + 2, close - open - std::strlen(tag) - 2);
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        ASSERT_EQ(EVP_Digest(body.data(), body.size(), digest, &length, EVP_sha256(), nullptr), 1);
        unsigned char base64[4 * EVP_MAX_MD_SIZE / 3 + 4];
        EVP_EncodeBlock(base64, digest, int(length));
        std::string source = std::string("'sha256-") + reinterpret_cast<char *>(base64) + "'";
        EXPECT_NE(policy.find(std::string(tag) + "-src " + source), std::string::npos) << tag << " wants " << source;
    }
    EXPECT_EQ(policy.find("unsafe"), std::string::npos);
    EXPECT_NE(policy.find("default-src 'none'"), std::string::npos);
}
