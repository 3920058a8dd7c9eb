// The flat face: paged listings and their accessors, the cancel flag (also from another
// thread), stat into caller buffers, and the temporary-link call with each of its failures.
#include "face_fixture.h"

#include <climits>
#include <thread>

namespace {

class FlatList : public face_test {};
class FlatCancel : public face_test {};
class StatMeta : public face_test {};
class StatLink : public face_test {};

void expect_no_entry(int index) {
    SCOPED_TRACE(index);
    EXPECT_STREQ("", qvdbx_name(index));
    EXPECT_EQ(0, qvdbx_is_folder(index));
    EXPECT_EQ(-1, qvdbx_size(index));
    EXPECT_STREQ("", qvdbx_id(index));
    EXPECT_STREQ("", qvdbx_path_display(index));
}

// MARK: - Listing

TEST_F(FlatList, PagesAppendAndEarlierStringsStay) {
    // 70 entries on the second page grow the table past its first 64 slots, so the array
    // of records moves; the strings read before must not.
    std::vector<std::string> many;
    for (int i = 0; i < 70; ++i) {
        many.push_back(dbx::file("/Music/t" + std::to_string(i) + ".mp3", 1000 + i, dbx::id(100 + i)));
    }
    io.reply(200, music_page())
        .reply(200, dbx::page(many, kCursor2, true))
        .reply(200, dbx::page({R"({".tag":"file","name":"radio.m3u"})"}, dbx::cursor(3), false));
    qvdbx_set_err(QVDBX_E_NOT_FOUND, "path not found");
    EXPECT_EQ(0, qvdbx_list_next());  // before any listing: nothing to fetch or to read
    expect_no_entry(0);
    ASSERT_EQ(0, qvdbx_list("/Music"));
    EXPECT_STREQ("ok", qvdbx_last_error());  // a listing overwrites an earlier failure
    const char *name = qvdbx_name(0);
    const char *id = qvdbx_id(1);
    const char *display = qvdbx_path_display(2);
    qvdbx_set_err(QVDBX_E_PROTOCOL, "earlier");  // an appended page records nothing

    EXPECT_EQ(1, qvdbx_list_next());
    EXPECT_EQ(0, qvdbx_list_next());
    for (int i = 0; i < 3; ++i) EXPECT_EQ(0, qvdbx_list_next());  // nothing left to ask for
    EXPECT_STREQ("earlier", qvdbx_last_error());
    ASSERT_EQ(3u, io.requests.size());
    EXPECT_EQ(url_of("/2/files/list_folder"), io.requests[0].url);
    EXPECT_EQ(R"({"path":"/Music","limit":2000})", io.requests[0].body);
    EXPECT_EQ(url_of("/2/files/list_folder/continue"), io.requests[1].url);
    EXPECT_EQ(continue_body(kCursor1), io.requests[1].body);
    EXPECT_EQ(continue_body(kCursor2), io.requests[2].body);

    ASSERT_EQ(74, qvdbx_count());
    EXPECT_EQ(name, qvdbx_name(0));
    EXPECT_STREQ("Live", name);
    EXPECT_EQ(id, qvdbx_id(1));
    EXPECT_EQ(dbx::id(2), id);
    EXPECT_EQ(display, qvdbx_path_display(2));
    EXPECT_STREQ("/Music/b.flac", display);
    const struct {
        int index; const char *name; int folder; int64_t size; std::string id; const char *display;
    } want[] = {
        {0, "Live", 1, -1, dbx::id(1), "/Music/Live"},
        {2, "b.flac", 0, 0, "", "/Music/b.flac"},
        {72, "t69.mp3", 0, 1069, dbx::id(169), "/Music/t69.mp3"},
        {73, "radio.m3u", 0, -1, "", ""},
    };
    for (const auto &w : want) {
        SCOPED_TRACE(w.name);
        EXPECT_STREQ(w.name, qvdbx_name(w.index));
        EXPECT_EQ(w.folder, qvdbx_is_folder(w.index));
        EXPECT_EQ(w.size, qvdbx_size(w.index));
        EXPECT_EQ(w.id, qvdbx_id(w.index));
        EXPECT_STREQ(w.display, qvdbx_path_display(w.index));
    }
    for (int index : {-1, 74, INT_MIN, INT_MAX}) expect_no_entry(index);

    // The document covers every page; a real id is its own locator.
    std::vector<std::string> paths = item_paths(qvdbx_result_json());
    ASSERT_EQ(74u, paths.size());
    EXPECT_EQ(dbx::id(2), paths[1]);
    EXPECT_EQ("/music/b.flac", paths[2]);
    EXPECT_EQ(dbx::id(169), paths[72]);
    EXPECT_TRUE(io.all_released());
}

TEST_F(FlatList, FailedContinuationCanBeAskedForAgain) {
    const struct { const char *name; scripted_reply reply; int rc; const char *message; } cases[] = {
        {"transport", broken("connection reset by peer"), -5, "connection reset by peer"},
        {"folder gone", http(409, kNotFound), -3, "path not found"},
        {"expired, no refresh", http(401, kExpired), -2, "expired_access_token"},
        {"throttled", http(429, ""), -4, "rate limited; retry after 60s"},
        {"not an object", http(200, "[]"), -9, "list result not an object"},
        {"no entries", http(200, R"({"cursor":"x","has_more":false})"), -9, "list result missing entries[]"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        capture_io cio;
        restart(cio).reply(200, music_page()).reply(c.reply).reply(200, music_page2());
        ASSERT_EQ(0, qvdbx_list("/Music"));
        const char *name = qvdbx_name(0);
        const std::string doc = qvdbx_result_json();

        EXPECT_EQ(c.rc, qvdbx_list_next());
        EXPECT_EQ(-c.rc, qvdbx_last_code());
        EXPECT_STREQ(c.message, qvdbx_last_error());
        EXPECT_EQ(3, qvdbx_count());
        EXPECT_EQ(name, qvdbx_name(0));
        EXPECT_EQ(doc, qvdbx_result_json());

        EXPECT_EQ(0, qvdbx_list_next());
        ASSERT_EQ(3u, cio.requests.size());
        EXPECT_EQ(continue_body(kCursor1), cio.requests[2].body);
        EXPECT_EQ(5, qvdbx_count());
        EXPECT_TRUE(cio.all_released());
    }
}

TEST_F(FlatList, FailedFirstPageAndWhatItLeaves) {
    const struct { const char *name; scripted_reply reply; int rc; const char *message; bool keeps; } cases[] = {
        {"transport", broken("TLS handshake failed"), -5, "TLS handshake failed", true},
        {"missing folder", http(409, kNotFound), -3, "path not found", true},
        {"token rejected", http(401, "{}"), -1, "invalid_access_token / unauthorized", true},
        {"bad request", http(400, "could not decode input as JSON"), -6, "bad request", true},
        // An answer that cannot be decoded has already emptied the table.
        {"entries not an array", http(200, R"({"entries":{}})"), -9, "list result missing entries[]", false},
        {"empty answer", http(200, ""), -9, "list result not an object", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        capture_io cio;
        restart(cio).reply(200, music_page()).reply(c.reply).reply(200, music_page2());
        ASSERT_EQ(0, qvdbx_list("/Music"));
        const char *name = qvdbx_name(0);

        EXPECT_EQ(c.rc, qvdbx_list("/Podcasts"));
        EXPECT_EQ(-c.rc, qvdbx_last_code());
        EXPECT_STREQ(c.message, qvdbx_last_error());
        if (c.keeps) {
            EXPECT_EQ(name, qvdbx_name(0));
        } else {
            EXPECT_STREQ(R"({"items":[]})", qvdbx_result_json());
        }
        // A kept listing still continues from its own cursor.
        EXPECT_EQ(0, qvdbx_list_next());
        EXPECT_EQ(c.keeps ? 5 : 0, qvdbx_count());
        ASSERT_EQ(c.keeps ? 3u : 2u, cio.requests.size());
        EXPECT_TRUE(!c.keeps || cio.requests[2].body == continue_body(kCursor1));
        EXPECT_TRUE(cio.all_released());
    }
}

// MARK: - Cancel

TEST_F(FlatCancel, HoldsUntilTheNextListingStarts) {
    io.reply(200, music_page());
    ASSERT_EQ(0, qvdbx_list("/Music"));
    const char *name = qvdbx_name(0);
    qvdbx_cancel();
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(-8, qvdbx_list_next());
        EXPECT_EQ(QVDBX_E_CANCELLED, qvdbx_last_code());
        EXPECT_STREQ("cancelled", qvdbx_last_error());
    }

    // A listing refused for want of a token is no new listing: table and flag stay.
    for (const char *token : {static_cast<const char *>(nullptr), ""}) {
        qvdbx_set_token(token);
        EXPECT_EQ(-1, qvdbx_list("/Podcasts"));
        EXPECT_STREQ("no access_token", qvdbx_last_error());
        EXPECT_EQ(name, qvdbx_name(0));
        qvdbx_set_token(kToken);
        EXPECT_EQ(-8, qvdbx_list_next());
    }
    EXPECT_EQ(1u, io.requests.size());

    // A listing that sends its request clears it, even when the request then fails.
    io.reply(500, "").reply(200, music_page2());
    EXPECT_EQ(-5, qvdbx_list("/Music"));
    EXPECT_EQ(0, qvdbx_list_next());
    ASSERT_EQ(3u, io.requests.size());
    EXPECT_EQ(continue_body(kCursor1), io.requests[2].body);
    EXPECT_EQ(5, qvdbx_count());
}

// The cancel comes from another thread while the module waits inside a request: that
// request completes normally, and the page after it is refused without being asked for.
TEST_F(FlatCancel, FromAnotherThreadDuringARequest) {
    const struct { const char *name; int during; int count; } cases[] = {
        {"first page in flight", 0, 3},
        {"continuation in flight", 1, 4},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        capture_io cio;
        restart(cio);
        dbx::hooked_io hook;
        hook.inner = cio.record();
        hook.before = [&c](int n) {
            if (n == c.during) std::thread(qvdbx_cancel).join();
        };
        quendo_io rec = hook.record();
        qvdbx_set_io(&rec);
        cio.reply(200, music_page()).reply(200, dbx::page({dbx::file("/Music/c.mp3", 1, "")}, kCursor2, true));
        ASSERT_EQ(0, qvdbx_list("/Music"));
        if (c.during == 1) {
            EXPECT_EQ(1, qvdbx_list_next());
        }
        EXPECT_EQ(-8, qvdbx_list_next());
        EXPECT_EQ(static_cast<size_t>(c.during + 1), cio.requests.size());
        EXPECT_EQ(c.count, qvdbx_count());
        EXPECT_TRUE(cio.all_released());
    }
}

// MARK: - Stat

// Outputs of one stat call, preset to values that show an output left alone.
struct stat_result {
    int rc = 0;
    int64_t size = 77;
    int folder = 77;
    std::string id, display;
};

const std::string kUntouched(63, '#');

stat_result stat_of(const char *path, size_t id_len = 64, size_t display_len = 64) {
    char id[64], display[64];
    std::memset(id, '#', sizeof id);
    std::memset(display, '#', sizeof display);
    id[63] = display[63] = '\0';
    stat_result r;
    r.rc = qvdbx_stat(path, &r.size, &r.folder, id, id_len, display, display_len);
    r.id = id;
    r.display = display;
    return r;
}

TEST_F(StatMeta, FilesAndFoldersIntoBuffersThatCut) {
    const scripted_reply a = http(200, dbx::file("/Music/a.mp3", 4096, dbx::id(2)));
    const std::string id = dbx::id(2), root = "root metadata unsupported", u = kUntouched;
    // A failure leaves every output as it was: 77 and the untouched buffers.
    const struct {
        const char *path, *sent; scripted_reply reply; size_t id_len, display_len;
        int rc; const char *message; int64_t size; int folder; std::string id, display;
    } cases[] = {
        {"Music/a.mp3", "/Music/a.mp3", a, 64, 64, 0, "ok", 4096, 0, id, "/Music/a.mp3"},
        {id.c_str(), id.c_str(), a, 64, 64, 0, "ok", 4096, 0, id, "/Music/a.mp3"},
        {"//", "//", a, 4, 6, 0, "ok", 4096, 0, "id:", "/Musi"},
        {"/a", "/a", a, 1, 0, 0, "ok", 4096, 0, "", u},
        {"/a", "/a", a, 0, 1, 0, "ok", 4096, 0, u, ""},
        {"/Live", "/Live", http(200, dbx::folder("/Music/Live", dbx::id(1))), 64, 64, 0, "ok", -1, 1, dbx::id(1),
         "/Music/Live"},
        {"/r", "/r", http(200, R"({".tag":"file","name":"radio.m3u"})"), 64, 64, 0, "ok", -1, 0, "", ""},
        {nullptr, nullptr, a, 64, 64, -7, root.c_str(), 77, 77, u, u},
        {"", nullptr, a, 64, 64, -7, root.c_str(), 77, 77, u, u},
        {"/", nullptr, a, 64, 64, -7, root.c_str(), 77, 77, u, u},
        {"/gone", "/gone", http(409, kNotFound), 64, 64, -3, "path not found", 77, 77, u, u},
        {"/a", "/a", broken("operation timed out"), 64, 64, -5, "operation timed out", 77, 77, u, u},
        {"/a", "/a", http(200, "[1]"), 64, 64, -9, "metadata not an object", 77, 77, u, u},
        {"/a", "/a", http(200, R"({".tag":"deleted","name":"a"})"), 64, 64, -9, "bad metadata", 77, 77, u, u},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.message) + " " + (c.path ? c.path : "NULL") + " " + std::to_string(c.id_len) +
                     "/" + std::to_string(c.display_len));
        capture_io cio;
        restart(cio).reply(c.reply);
        qvdbx_set_err(QVDBX_E_NOT_FOUND, "earlier");  // success overwrites a failure
        stat_result r = stat_of(c.path, c.id_len, c.display_len);
        EXPECT_EQ(c.rc, r.rc);
        EXPECT_EQ(-c.rc, qvdbx_last_code());
        EXPECT_STREQ(c.message, qvdbx_last_error());
        EXPECT_EQ(c.size, r.size);
        EXPECT_EQ(c.folder, r.folder);
        EXPECT_EQ(c.id, r.id);
        EXPECT_EQ(c.display, r.display);
        ASSERT_EQ(c.sent ? 1u : 0u, cio.requests.size());
        EXPECT_TRUE(!c.sent || cio.requests[0].body == R"({"path":")" + std::string(c.sent) + "\"}");
        EXPECT_TRUE(cio.all_released());
    }
    io.install();
    io.reply(a);
    EXPECT_EQ(0, qvdbx_stat("/Music/a.mp3", nullptr, nullptr, nullptr, 64, nullptr, 64));
    EXPECT_EQ(url_of("/2/files/get_metadata"), io.requests.at(0).url);
}

// MARK: - Temporary links

TEST_F(StatLink, LinkOrAnEmptyBufferForEveryFailure) {
    const std::string url = dbx::link(1);
    const struct {
        const char *name; scripted_reply reply; size_t size; int rc; std::string buf; const char *message;
    } cases[] = {
        {"exact fit", http(200, dbx::link_answer(url)), url.size() + 1, 0, url, "ok"},
        {"one byte short", http(200, dbx::link_answer(url)), url.size(), -11, "", "locator buffer too small"},
        {"link a number", http(200, R"({"link":5})"), 256, -9, "", "temporary link missing"},
        {"first link null", http(200, R"({"link":null,"link":"https://x.test/f"})"), 256, -9, "",
         "temporary link missing"},
        {"array", http(200, R"(["https://x.test/f"])"), 256, -9, "", "temporary link missing"},
        {"not JSON", http(200, "<html>502 Bad Gateway</html>"), 256, -9, "", "temporary link missing"},
        {"missing file", http(409, kNotFound), 256, -3, "", "path not found"},
        {"expired, no refresh", http(401, kExpired), 256, -2, "", "expired_access_token"},
        {"throttled", http(429, ""), 256, -4, "", "rate limited; retry after 60s"},
        {"server", http(502, ""), 256, -5, "", "HTTP 502"},
        {"transport", broken("could not resolve host"), 256, -5, "", "could not resolve host"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        capture_io cio;
        restart(cio).reply(c.reply);
        qvdbx_set_err(QVDBX_E_NOT_FOUND, "earlier");
        std::vector<char> buf(c.size, '#');  // exactly the size given, for the sanitizer
        buf[c.size - 1] = '\0';
        EXPECT_EQ(c.rc, qvdbx_locator("Music/a.mp3", buf.data(), c.size));
        EXPECT_EQ(c.buf, buf.data());
        EXPECT_EQ(-c.rc, qvdbx_last_code());
        EXPECT_STREQ(c.message, qvdbx_last_error());
        ASSERT_EQ(1u, cio.requests.size());
        EXPECT_EQ(url_of("/2/files/get_temporary_link"), cio.requests[0].url);
        EXPECT_EQ(R"({"path":"/Music/a.mp3"})", cio.requests[0].body);
        EXPECT_TRUE(cio.all_released());
    }

    // No transport, and buffers refused before anything is written or sent.
    qvdbx_set_io(nullptr);
    char buf[] = "abc";
    EXPECT_EQ(-12, qvdbx_locator("/a", buf, sizeof buf));
    EXPECT_STREQ("", buf);
    io.install();
    for (size_t size : {size_t{100}, size_t{0}}) {
        std::strcpy(buf, "abc");
        EXPECT_EQ(-11, qvdbx_locator("/a", size ? nullptr : buf, size));
        EXPECT_STREQ("bad buffer", qvdbx_last_error());
        EXPECT_STREQ("abc", buf);
    }
    EXPECT_TRUE(io.requests.empty());
}

}  // namespace
