// qvdbx serve's answers for a folder, made from listings: playlists (also through
// subfolders, within their limits), items documents with URLs, the HTML page; and the
// cache that keeps links and listings.
#include "serve/documents.h"
#include "serve/ttl_cache.h"

#include <gtest/gtest.h>

#include <map>

namespace {

Item file(const std::string &name, int64_t size = 1000) {
    Item item;
    item.name = name;
    item.path = "/x/" + name;
    item.size = size;
    return item;
}

Item folder(const std::string &name) {
    Item item = file(name, -1);
    item.folder = true;
    return item;
}

// A tree of listings by path ("" the root, "A/B" below it), and the paths listed.
struct Tree {
    std::map<std::string, Listing> folders;
    std::vector<std::string> listed;

    ListFolder lister() {
        return [this](const std::vector<std::string> &segments, std::shared_ptr<const Listing> &out) {
            std::string path;
            for (const std::string &s : segments) path += (path.empty() ? "" : "/") + s;
            listed.push_back(path);
            auto it = folders.find(path);
            if (it == folders.end()) return false;
            out = std::make_shared<const Listing>(it->second);
            return true;
        };
    }
};

std::vector<std::string> titles(const Walk &walk) {
    std::vector<std::string> out;
    for (const PlaylistEntry &e : walk.entries) out.push_back(e.name);
    return out;
}

constexpr char ROOT[] = "http://127.0.0.1:8917/";

} // namespace

TEST(ServeDocuments, FoldersFirstThenFilesInPlaylistOrderWithoutUnusableNames) {
    Listing listing;
    listing.items = {file("b.mp3"), folder("Zeta"), file("A.flac"), file("a.flac"), folder("alpha"),
                     file(".."), folder("x/y"), file("ctl\x01.mp3"), file("bad\xff.mp3")};
    std::vector<std::string> names;
    for (const Item *item : display_order(listing)) names.push_back(item->name);
    EXPECT_EQ(names, (std::vector<std::string>{"alpha", "Zeta", "A.flac", "a.flac", "b.mp3"}));
}

TEST(ServeDocuments, PlaylistOfAFolderAndThroughItsSubfolders) {
    Tree tree;
    tree.folders[""].items = {file("cover.jpg"), folder("CD 2"), file("02 b.MP3"), folder("CD 1"), file("01 a.flac")};
    tree.folders["CD 1"].items = {file("x #1?.ogg"), folder("Deep")};
    tree.folders["CD 1/Deep"].items = {file("z.wav")};
    tree.folders["CD 2"].items = {file("y.opus"), folder("..")};

    Walk flat;
    ASSERT_TRUE(walk_playlist({}, false, ROOT, tree.lister(), WalkLimits{}, flat));
    EXPECT_EQ(titles(flat), (std::vector<std::string>{"01 a.flac", "02 b.MP3"}));
    EXPECT_EQ(flat.entries[0].url, "http://127.0.0.1:8917/01%20a.flac");
    EXPECT_EQ(tree.listed, std::vector<std::string>{""});

    Walk deep;
    tree.listed.clear();
    ASSERT_TRUE(walk_playlist({}, true, ROOT, tree.lister(), WalkLimits{}, deep));
    EXPECT_EQ(titles(deep), (std::vector<std::string>{"01 a.flac", "02 b.MP3", "CD 1/x #1?.ogg", "CD 1/Deep/z.wav",
                                                      "CD 2/y.opus"}));
    EXPECT_EQ(deep.entries[2].url, "http://127.0.0.1:8917/CD%201/x%20%231%3F.ogg");
    EXPECT_EQ(deep.entries[3].url, "http://127.0.0.1:8917/CD%201/Deep/z.wav");
    EXPECT_EQ(tree.listed, (std::vector<std::string>{"", "CD 1", "CD 1/Deep", "CD 2"}));  // never ".."
    EXPECT_FALSE(deep.truncated);
    EXPECT_EQ(walk_m3u(deep, WalkLimits{}).rfind("#EXTM3U\n#EXTINF:-1,01 a.flac\nhttp://", 0), 0u);

    Walk below;
    ASSERT_TRUE(walk_playlist({"CD 1"}, true, ROOT, tree.lister(), WalkLimits{}, below));
    EXPECT_EQ(titles(below), (std::vector<std::string>{"x #1?.ogg", "Deep/z.wav"}));
}

TEST(ServeDocuments, PlaylistLimitsStopTheWalkAndSaySo) {
    Tree tree;
    tree.folders[""].items = {file("1.mp3"), file("2.mp3"), folder("A"), folder("B")};
    tree.folders["A"].items = {file("3.mp3"), folder("AA")};
    tree.folders["A/AA"].items = {file("4.mp3")};
    tree.folders["B"].items = {file("5.mp3")};
    struct Case {
        WalkLimits limits;
        std::vector<std::string> titles;
    };
    const Case cases[] = {
        {{8, 10000, 1000}, {"1.mp3", "2.mp3", "A/3.mp3", "A/AA/4.mp3", "B/5.mp3"}},
        {{1, 10000, 1000}, {"1.mp3", "2.mp3", "A/3.mp3", "B/5.mp3"}},
        {{0, 10000, 1000}, {"1.mp3", "2.mp3"}},
        {{8, 3, 1000}, {"1.mp3", "2.mp3", "A/3.mp3"}},
        {{8, 10000, 2}, {"1.mp3", "2.mp3", "A/3.mp3"}},
    };
    for (const Case &c : cases) {
        Walk walk;
        ASSERT_TRUE(walk_playlist({}, true, ROOT, tree.lister(), c.limits, walk));
        EXPECT_EQ(titles(walk), c.titles) << c.limits.depth << " " << c.limits.entries << " " << c.limits.folders;
        bool cut = c.titles.size() < 5;
        EXPECT_EQ(walk.truncated, cut);
        EXPECT_EQ(walk_m3u(walk, c.limits).find("# more was left out") != std::string::npos, cut);
    }
}

TEST(ServeDocuments, AFailedListingEndsTheWalk) {
    Tree tree;
    tree.folders[""].items = {file("1.mp3"), folder("Gone"), folder("Later")};
    tree.folders["Later"].items = {file("2.mp3")};
    Walk walk;
    EXPECT_FALSE(walk_playlist({}, true, ROOT, tree.lister(), WalkLimits{}, walk));
    EXPECT_EQ(tree.listed, (std::vector<std::string>{"", "Gone"}));
}

TEST(ServeDocuments, ItemsDocumentGetsEachEntrysUrl) {
    std::string out;
    ASSERT_TRUE(items_with_urls(
        R"({"items":[{"name":"Sigur Rós","path":"id:a","folder":true,"size":-1},)"
        R"({"name":"a&b #1.flac","path":"id:b","folder":false,"size":5},{"name":"..","folder":false}]})",
        "http://h:1/K/Album/", out));
    EXPECT_EQ(out, R"({"items":[{"name":"Sigur Rós","path":"id:a","folder":true,"size":-1,)"
                   R"("url":"http://h:1/K/Album/Sigur%20R%C3%B3s/"},{"name":"a&b #1.flac","path":"id:b",)"
                   R"("folder":false,"size":5,"url":"http://h:1/K/Album/a%26b%20%231.flac"},)"
                   R"({"name":"..","folder":false}]})");
    for (const char *bad : {"", "[]", "{\"items\":{}}", "{\"items\":[", "nul"}) EXPECT_FALSE(items_with_urls(bad, "x/", out)) << bad;
}

TEST(ServeDocuments, PageEscapesEveryTextAndLinksEveryEntry) {
    Listing listing;
    listing.items = {file("<img src=x onerror=alert(1)>.mp3", 1234567), folder("Tom & \"Jerry\""), file("cover.jpg", 12),
                     file("clip.MKV", 0)};
    FolderPage page = folder_page_of(listing, {"Music", "It's <b>"}, "/KEY/");
    EXPECT_EQ(page.title, "/Music/It's <b>");
    ASSERT_EQ(page.crumbs.size(), 3u);
    EXPECT_EQ(page.crumbs[2], (std::pair<std::string, std::string>{"It's <b>", "/KEY/Music/It%27s%20%3Cb%3E/"}));
    ASSERT_EQ(page.folders.size(), 1u);
    EXPECT_EQ(page.folders[0].href, "Tom%20%26%20%22Jerry%22/");
    ASSERT_EQ(page.files.size(), 3u);
    EXPECT_TRUE(page.files[0].playable && !page.files[0].video);  // "<img..." sorts first
    EXPECT_TRUE(page.files[1].playable && page.files[1].video);
    EXPECT_FALSE(page.files[2].playable);

    std::string html = folder_page_html(page);
    for (const char *raw : {"<img", "<b>", "Tom & ", "\"Jerry\"", "It's"})
        EXPECT_EQ(html.find(raw), std::string::npos) << raw;
    for (const char *shown : {"&lt;img src=x onerror=alert(1)&gt;.mp3", "Tom &amp; &quot;Jerry&quot;/",
                              "It&#39;s &lt;b&gt;", "1,234,567", "href=\"?format=m3u\"",
                              "href=\"/KEY/Music/It%27s%20%3Cb%3E/\"", "<meta charset=\"utf-8\">"})
        EXPECT_NE(html.find(shown), std::string::npos) << shown;
    EXPECT_LT(html.find("Tom &amp;"), html.find("&lt;img"));  // folders before files
}

TEST(ServeCache, FreshUntilItsTimeThenGone) {
    using Clock = std::chrono::steady_clock;
    using std::chrono::seconds;
    Clock::time_point t0{};
    TtlCache<std::string> cache(seconds(10), 3);
    cache.put("a", std::make_shared<const std::string>("A"), t0);
    auto hit = cache.find("a", t0 + seconds(4));
    ASSERT_TRUE(hit.value);
    EXPECT_EQ(*hit.value, "A");
    EXPECT_EQ(hit.left, seconds(6));
    EXPECT_FALSE(cache.find("a", t0 + seconds(10)).value);
    EXPECT_FALSE(cache.find("b", t0).value);

    TtlCache<std::string> none(seconds(0), 3);
    none.put("a", std::make_shared<const std::string>("A"), t0);
    EXPECT_FALSE(none.find("a", t0).value);
}

TEST(ServeCache, WhenFullStaleEntriesGoFirstThenTheOldest) {
    using Clock = std::chrono::steady_clock;
    using std::chrono::seconds;
    Clock::time_point t0{};
    auto v = [](const char *text) { return std::make_shared<const std::string>(text); };
    TtlCache<std::string> cache(seconds(10), 3);
    cache.put("old", v("1"), t0);
    cache.put("mid", v("2"), t0 + seconds(5));
    cache.put("new", v("3"), t0 + seconds(6));
    cache.put("new", v("3b"), t0 + seconds(7));  // replacing takes no room
    EXPECT_EQ(cache.size(), 3u);
    EXPECT_TRUE(cache.find("old", t0 + seconds(7)).value);

    cache.put("four", v("4"), t0 + seconds(8));  // none stale: the oldest goes
    EXPECT_FALSE(cache.find("old", t0 + seconds(8)).value);
    EXPECT_TRUE(cache.find("mid", t0 + seconds(8)).value);

    cache.put("five", v("5"), t0 + seconds(16));  // "mid" is stale by now and goes first
    EXPECT_EQ(cache.size(), 3u);
    EXPECT_EQ(*cache.find("new", t0 + seconds(16)).value, "3b");
    EXPECT_TRUE(cache.find("four", t0 + seconds(16)).value);
    EXPECT_TRUE(cache.find("five", t0 + seconds(16)).value);
}

TEST(ServeCache, WeightBoundsWhatIsHeld) {
    using std::chrono::seconds;
    std::chrono::steady_clock::time_point t0{};
    auto v = [](const char *text) { return std::make_shared<const std::string>(text); };
    TtlCache<std::string> cache(seconds(10), 10);
    cache.put("a", v("A"), t0, 4);
    cache.put("b", v("B"), t0 + seconds(1), 4);
    cache.put("a", v("A2"), t0 + seconds(2), 5);  // replacing frees the old weight first
    EXPECT_EQ(cache.size(), 2u);
    cache.put("c", v("C"), t0 + seconds(3), 2);  // 9 held: "b", the oldest, makes room
    EXPECT_FALSE(cache.find("b", t0 + seconds(3)).value);
    EXPECT_EQ(*cache.find("a", t0 + seconds(3)).value, "A2");
    EXPECT_TRUE(cache.find("c", t0 + seconds(3)).value);
    cache.put("huge", v("H"), t0 + seconds(4), 11);  // heavier than the whole cache
    EXPECT_FALSE(cache.find("huge", t0 + seconds(4)).value);
    EXPECT_EQ(cache.size(), 2u);
    cache.put("all", v("X"), t0 + seconds(5), 10);  // takes everything
    EXPECT_EQ(cache.size(), 1u);
}
