// A host's view of the module: only the exported functions and the fixture transport.
// It browses a folder of three pages through each face and streams one listed file.
#include "dropbox_samples.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string kToken = "sl.u.AGd3Xq9ZtK0vR2mYpLw8bN5cE1fH7jS4oA6iU";
const std::string kSettings = R"({"access_token":")" + kToken + R"(","Path":"/Music"})";
const std::string kLink = dbx::link(5);
const std::vector<std::string> kNames = {"Live", "a.mp3", "b.flac", "c.mp3", "d.mp3", "e.mp3"};
constexpr int64_t kSize = 7340032;

std::string fixture(const char *match, int status, const std::string &body_match, const std::string &body) {
    return R"({"match":")" + std::string(match) + R"(","status":)" + std::to_string(status) +
           R"(,"body_match":)" + dbx::quote(body_match) + R"(,"body":)" + dbx::quote(body) + "}";
}

// /Music in three pages, a link for its last file, and the account. Continuation fixtures come first,
// since their URL contains the first page's path too.
std::string music_fixtures() {
    const std::string c1 = dbx::cursor(1), c2 = dbx::cursor(2);
    const std::string pages[] = {
        dbx::page({dbx::folder("/Music/Live", dbx::id(1)), dbx::file("/Music/a.mp3", 4096, dbx::id(2)),
                   dbx::file("/Music/b.flac", 0, "")}, c1, true),
        dbx::page({dbx::file("/Music/c.mp3", 5120, dbx::id(3)), dbx::file("/Music/d.mp3", 6144, dbx::id(4))}, c2, true),
        dbx::page({dbx::file("/Music/e.mp3", kSize, dbx::id(5))}, "", false),
    };
    return "[" + fixture("/2/files/list_folder/continue", 200, c1, pages[1]) + "," +
           fixture("/2/files/list_folder/continue", 200, c2, pages[2]) + "," +
           fixture("/2/files/list_folder", 200, R"("path":"/Music")", pages[0]) + "," +
           fixture("/2/files/get_temporary_link", 200, dbx::id(5), dbx::link_answer(kLink)) + "," +
           fixture("/2/files/get_temporary_link", 409, "", R"({"error_summary":"path/not_found/"})") + "," +
           fixture("/2/users/get_current_account", 200, "", R"({"account_id":"dbid:AAH4f99T0taONIb"})") + "]";
}

class HostBrowse : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, qvdbx_fake_load(music_fixtures().c_str()));
        qvdbx_set_io(qvdbx_io_fake(&fake_));
    }
    void TearDown() override {
        qvdbx_backend()->close(nullptr);
        qvdbx_fake_reset();
        qvdbx_set_io(nullptr);
        qvdbx_set_token(nullptr);
    }

    quendo_io fake_{};
};

TEST_F(HostBrowse, FlatFunctionsPageThroughAFolder) {
    qvdbx_set_token(kToken.c_str());
    ASSERT_EQ(0, qvdbx_list("Music"));
    int pages = 1, rc = 1;
    for (; rc == 1 && pages < 10; ++pages) rc = qvdbx_list_next();
    EXPECT_EQ(0, rc);
    EXPECT_EQ(3, pages);
    ASSERT_EQ(6, qvdbx_count());
    for (int i = 0; i < 6; ++i) EXPECT_EQ(kNames[i], qvdbx_name(i));
    EXPECT_EQ(1, qvdbx_is_folder(0));
    EXPECT_EQ(kSize, qvdbx_size(5));

    char buf[512];
    EXPECT_EQ(0, qvdbx_locator(qvdbx_id(5), buf, sizeof buf));
    EXPECT_EQ(kLink, buf);
    EXPECT_EQ(-3, qvdbx_locator(qvdbx_id(1), buf, sizeof buf));
    EXPECT_STREQ("", buf);
}

TEST_F(HostBrowse, BackendPagesWithTheCursorHandedBack) {
    const qvdbx_backend_table *backend = qvdbx_backend();
    ASSERT_EQ(0, backend->open(nullptr, kSettings.c_str()));
    qvdbx_backend_item items[4];
    qvdbx_list_request req{};
    req.items = items;
    req.capacity = 4;
    std::vector<std::string> names;
    std::string last_path;
    for (int page = 0; page < 10; ++page) {
        ASSERT_EQ(0, backend->list(nullptr, "/Music", &req));
        for (uint64_t i = 0; i < req.count; ++i) names.push_back(items[i].name);
        if (req.count > 0) last_path = items[req.count - 1].path;
        if (!req.has_more) break;
        req.cursor = req.next_cursor;
    }
    EXPECT_EQ(kNames, names);
    EXPECT_EQ(dbx::id(5), last_path);

    char buf[512];
    EXPECT_EQ(0, backend->locator(nullptr, last_path.c_str(), buf, sizeof buf));
    EXPECT_EQ(kLink, buf);
}

TEST_F(HostBrowse, HandlerListsTheWholeFolderAndStreams) {
    qvdbx_set_io(nullptr);  // the handler installs the transport it is given
    const qvrch_handler *handler = qvrch_get();
    std::vector<char> out(8192);
    const int32_t len = static_cast<int32_t>(out.size());
    ASSERT_EQ(0, handler->list(&fake_, kSettings.c_str(), nullptr, out.data(), len));
    const std::string doc = out.data();
    EXPECT_EQ(doc, qvdbx_result_json());
    size_t at = 0;
    for (const auto &name : kNames) {
        at = doc.find(R"("name":")" + name + "\"", at);
        EXPECT_NE(std::string::npos, at) << name;
    }
    EXPECT_NE(std::string::npos, doc.find(R"("path":")" + dbx::id(5) + "\""));

    const std::string entry = R"({"name":"e.mp3","path":")" + dbx::id(5) + R"(","size":7340032})";
    ASSERT_EQ(0, handler->stream_url(&fake_, kSettings.c_str(), entry.c_str(), out.data(), len));
    EXPECT_EQ(R"({"url":")" + kLink + R"(","size":7340032})", std::string(out.data()));
    EXPECT_EQ(0, handler->validate(&fake_, kSettings.c_str(), out.data(), len));
    EXPECT_STREQ("{}", out.data());
}

}  // namespace
