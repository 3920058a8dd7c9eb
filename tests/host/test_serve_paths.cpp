// qvdbx serve's pure checks: request paths decoded once and confined, the listen address,
// the Host header that guards against DNS rebinding, keys, and what the access log shows.
#include "serve/access.h"
#include "serve/url_path.h"

#include <gtest/gtest.h>

#include <set>

namespace {

std::vector<std::string> segs(std::initializer_list<const char *> names) { return {names.begin(), names.end()}; }

} // namespace

TEST(ServePath, DecodesOnceIntoSegments) {
    struct Case {
        const char *raw;
        std::vector<std::string> segments;
        bool folder;
    };
    const Case cases[] = {
        {"/", {}, true},
        {"/a/b%20c.flac", segs({"a", "b c.flac"}), false},
        {"/Sigur%20R%C3%B3s/", segs({"Sigur Rós"}), true},
        {"/%252e%252e", segs({"%2e%2e"}), false},  // once: "%25" is the percent sign
        {"/a+b/~x", segs({"a+b", "~x"}), false},
        {"/...", segs({"..."}), false},
        {"/%E6%97%A5%E6%9C%AC/", segs({"日本"}), true},
    };
    for (const Case &c : cases) {
        UrlPath path;
        ASSERT_EQ(parse_url_path(c.raw, path), PathFault::none) << c.raw;
        EXPECT_EQ(path.segments, c.segments) << c.raw;
        EXPECT_EQ(path.folder, c.folder) << c.raw;
    }
}

TEST(ServePath, RefusesWhatCouldLeaveTheFolderOrIsNotAName) {
    const std::pair<const char *, PathFault> cases[] = {
        {"", PathFault::not_absolute},           {"a/b", PathFault::not_absolute},
        {"http://x/y", PathFault::not_absolute}, {"*", PathFault::not_absolute},
        {"/../x", PathFault::dot_segment},       {"/%2e%2e/x", PathFault::dot_segment},
        {"/%2E%2e/x", PathFault::dot_segment},   {"/.%2e/x", PathFault::dot_segment},
        {"/a/./b", PathFault::dot_segment},      {"/a/..", PathFault::dot_segment},
        {"/a/%2e/", PathFault::dot_segment},     {"/a%2fb", PathFault::encoded_slash},
        {"/a%2F..", PathFault::encoded_slash},   {"/a%5Cb", PathFault::encoded_slash},
        {"/..\\x", PathFault::encoded_slash},    {"//a", PathFault::empty_segment},
        {"/a//b", PathFault::empty_segment},     {"/%00", PathFault::control},
        {"/a%0Ab", PathFault::control},          {"/a%7F", PathFault::control},
        {"/a\tb", PathFault::control},           {"/%C3%28", PathFault::bad_utf8},
        {"/%ff", PathFault::bad_utf8},           {"/%C0%AE", PathFault::bad_utf8},  // overlong "."
        {"/%E0%80%80", PathFault::bad_utf8},     {"/%ED%A0%80", PathFault::bad_utf8},  // surrogate
        {"/%F4%90%80%80", PathFault::bad_utf8},  {"/%C3", PathFault::bad_utf8},
        {"/%zz", PathFault::bad_escape},         {"/%4", PathFault::bad_escape},
        {"/abc%", PathFault::bad_escape},
    };
    for (const auto &[raw, fault] : cases) {
        UrlPath path;
        EXPECT_EQ(parse_url_path(raw, path), fault) << raw;
    }
}

TEST(ServePath, EncodedNamesComeBackAsTheyWere) {
    const std::vector<std::string> names = {"a b", "ü.flac", "#1? 50% & more", "+", "~x", "日本", "a'b\"c", "x;y=z"};
    std::string raw = "/" + encode_path(names, names.size());
    EXPECT_EQ(raw.find_first_of(" #?&'\";=+"), std::string::npos) << raw;
    UrlPath path;
    ASSERT_EQ(parse_url_path(raw, path), PathFault::none);
    EXPECT_EQ(path.segments, names);
    EXPECT_EQ(encode_path(names, 2), "a%20b/%C3%BC.flac");
}

TEST(ServePath, DropboxPathsStayUnderTheServedFolder) {
    struct Case {
        const char *folder;
        std::vector<std::string> segments;
        const char *path;
    };
    const Case cases[] = {
        {"", {}, "/"},           {"/", {}, "/"},
        {"/Music", {}, "/Music"}, {"Music/", segs({"a"}), "/Music/a"},
        {"/", segs({"a", "b"}), "/a/b"}, {"//Music//Album//", segs({"x y"}), "/Music//Album/x y"},
    };
    for (const Case &c : cases) EXPECT_EQ(dropbox_path(served_folder(c.folder), c.segments), c.path) << c.folder;
}

TEST(ServePath, QueriesDecodeEachPairOnce) {
    std::vector<std::pair<std::string, std::string>> pairs;
    ASSERT_TRUE(parse_query("format=%6D3u&recursive=1&&flag", pairs));
    EXPECT_EQ(pairs, (std::vector<std::pair<std::string, std::string>>{{"format", "m3u"}, {"recursive", "1"},
                                                                      {"flag", ""}}));
    EXPECT_FALSE(parse_query("format=%zz", pairs));
    ASSERT_TRUE(parse_query("", pairs));
    EXPECT_TRUE(pairs.empty());
}

TEST(ServePath, LoggedTargetsHideTheKeyAndControlCharacters) {
    const std::tuple<const char *, bool, std::string> cases[] = {
        {"/SECRETKEYSECRETKEY/Album/?format=m3u", true, "/<key>/Album/?format=m3u"},
        {"/SECRETKEYSECRETKEY", true, "/<key>"},
        {"/SECRETKEYSECRETKEY?x=1", true, "/<key>?x=1"},
        {"/wrong-guess/x", true, "/<key>/x"},
        {"/Album/01%20a.wav", false, "/Album/01%20a.wav"},
        {"/a\x1b[2Jb\xc3\xa9", false, "/a?[2Jb??"},
    };
    for (const auto &[target, hide, shown] : cases) EXPECT_EQ(loggable_target(target, hide), shown) << target;
    EXPECT_EQ(loggable_target("/" + std::string(1000, 'a'), false).size(), 303u);
}

TEST(ServeListen, AddressesAndTheirDefaults) {
    struct Case {
        const char *text;
        const char *host;
        uint16_t port;
        bool loopback;
    };
    const Case cases[] = {
        {"", "127.0.0.1", SERVE_DEFAULT_PORT, true},  {"127.0.0.1:0", "127.0.0.1", 0, true},
        {"[::1]:80", "[::1]", 80, true},              {"0.0.0.0:8917", "0.0.0.0", 8917, false},
        {"localhost:9", "127.0.0.1", 9, true},        {"192.168.1.2", "192.168.1.2", SERVE_DEFAULT_PORT, false},
        {"8080", "127.0.0.1", 8080, true},            {"127.4.5.6:65535", "127.4.5.6", 65535, true},
        {"[::]:1", "[::]", 1, false},
    };
    for (const Case &c : cases) {
        ListenAddress a;
        ASSERT_TRUE(parse_listen(c.text, a)) << c.text;
        EXPECT_EQ(a.host, c.host) << c.text;
        EXPECT_EQ(a.port, c.port) << c.text;
        EXPECT_EQ(a.loopback, c.loopback) << c.text;
    }
    for (const char *bad : {"::1:80", "[::1", "[::1]80", "1.2.3.4:", "1.2.3.4:65536", "host.example:80", "1.2.3:80",
                            "[1.2.3.4]:80", "127.0.0.1:8x", "127.0.0.1:-1"}) {
        ListenAddress a;
        EXPECT_FALSE(parse_listen(bad, a)) << bad;
    }
}

TEST(ServeHost, OnlyThisMachinesNamesWithoutAKey) {
    ListenAddress loopback, lan;
    ASSERT_TRUE(parse_listen("127.0.0.1:8917", loopback));
    ASSERT_TRUE(parse_listen("192.168.1.5:8917", lan));
    struct Case {
        const char *header;
        bool plain, allowed_loopback, allowed_lan;
    };
    const Case cases[] = {
        {"127.0.0.1:8917", true, true, true},   {"localhost:8917", true, true, true},
        {"LOCALHOST", true, true, true},        {"127.9.9.9", true, true, true},
        {"[::1]:8917", true, true, true},       {"192.168.1.5:8917", true, false, true},
        {"evil.example", true, false, false},   {"evil.example:8917", true, false, false},
        {"127.0.0.1.evil.example", true, false, false}, {"localhost.", true, false, false},
        {"0x7f000001", true, false, false},     {"[::ffff:127.0.0.1]", true, false, false},
        {"user@127.0.0.1", false, false, false}, {"127.0.0.1/x", false, false, false},
        {"127.0.0.1:", false, false, false},    {"127.0.0.1:80:80", false, false, false},
        {"[::1", false, false, false},          {"[evil]:80", false, false, false},
        {"", false, false, false},              {"a b", false, false, false},
        {"127.0.0.1:123456", false, false, false},
    };
    for (const Case &c : cases) {
        std::string name;
        bool plain = host_header_name(c.header, name);
        EXPECT_EQ(plain, c.plain) << c.header;
        EXPECT_EQ(plain && host_allowed(name, loopback), c.allowed_loopback) << c.header;
        EXPECT_EQ(plain && host_allowed(name, lan), c.allowed_lan) << c.header;
    }
}

TEST(ServeKey, GivenKeysMadeKeysAndTheirComparison) {
    const std::pair<std::string, bool> given[] = {
        {"abcdefghijklmnop", true}, {"A-_0123456789xyzQ", true}, {std::string(128, 'k'), true},
        {"abcdefghijklmno", false}, {std::string(129, 'k'), false}, {"abcdefgh/jklmnop", false},
        {"abcdefgh%6Aklmnop", false}, {"abcdefgh jklmnop", false}};
    for (const auto &[key, ok] : given) EXPECT_EQ(valid_key(key), ok) << key;

    std::set<std::string> made;
    for (int k = 0; k < 8; ++k) {
        std::string key;
        ASSERT_TRUE(make_key(key));
        EXPECT_EQ(key.size(), 22u);
        EXPECT_TRUE(valid_key(key)) << key;
        made.insert(key);
    }
    EXPECT_EQ(made.size(), 8u);

    const std::string key = "Zq3xK9vP2mLw7RtY4nB8cD";
    EXPECT_TRUE(key_matches(key, key));
    for (const std::string &other : {std::string("Aq3xK9vP2mLw7RtY4nB8cD"), std::string("Zq3xK9vP2mLw7RtY4nB8cE"),
                                     key.substr(0, 21), key + "x", std::string()})
        EXPECT_FALSE(key_matches(other, key)) << other;
}
