// The backend table: its bytes as a host reads them, open, one page at a time into the
// host's records with the cursor handed back, stat into static buffers, locator, close,
// and the status each outcome maps to.
#include "face_fixture.h"

#include <algorithm>

namespace {

class BackendLayout : public face_test {};
class BackendOpen : public face_test {};
class BackendList : public face_test {};
class BackendStat : public face_test {};
class BackendLocator : public face_test {};

const qvdbx_backend_table &backend() { return *qvdbx_backend(); }

constexpr unsigned char kFill = 0xA5;

bool all_fill(const void *bytes, size_t from, size_t to) {
    const auto *p = static_cast<const unsigned char *>(bytes);
    return std::all_of(p + from, p + to, [](unsigned char b) { return b == kFill; });
}

// A request for `capacity` records, otherwise as a host leaves a fresh one.
qvdbx_list_request request_for(qvdbx_backend_item *items, uint64_t capacity) {
    qvdbx_list_request req{};
    req.items = items;
    req.capacity = capacity;
    return req;
}

// MARK: - Layout

// Each slot is called through the bytes at its offset; its answer tells which one it is.
TEST_F(BackendLayout, TableAsTheHostReadsIt) {
    const void *t = qvdbx_backend();
    EXPECT_EQ(t, qvdbx_backend());
    EXPECT_EQ(72u, dbx::read_at<uint32_t>(t, 0));
    EXPECT_EQ(0u, dbx::read_at<uint32_t>(t, 4));
    EXPECT_STREQ("dropbox", dbx::read_at<const char *>(t, 8));
    EXPECT_EQ(11u, dbx::read_at<uint32_t>(t, 16));
    EXPECT_EQ(0u, dbx::read_at<uint32_t>(t, 20));
    EXPECT_EQ(nullptr, dbx::read_at<const void *>(t, 24));

    qvdbx_backend_item item;
    EXPECT_EQ(8, dbx::read_at<decltype(qvdbx_backend_table::open)>(t, 32)(nullptr, nullptr));
    EXPECT_STREQ("access_token required", qvdbx_last_error());
    EXPECT_EQ(9, dbx::read_at<decltype(qvdbx_backend_table::list)>(t, 40)(nullptr, "/", nullptr));
    EXPECT_EQ(6, dbx::read_at<decltype(qvdbx_backend_table::stat)>(t, 48)(nullptr, "/", &item));
    EXPECT_EQ(5, dbx::read_at<decltype(qvdbx_backend_table::locator)>(t, 56)(nullptr, "/a", nullptr, 0));
    EXPECT_STREQ("bad buffer", qvdbx_last_error());
    io.reply(200, music_page()).reply(200, music_page(false));
    qvdbx_set_token(kToken);
    ASSERT_EQ(0, qvdbx_list("/Music"));
    auto close = dbx::read_at<decltype(qvdbx_backend_table::close)>(t, 64);
    close(nullptr);
    close(nullptr);
    EXPECT_EQ(0, qvdbx_count());
    EXPECT_STREQ(R"({"items":[]})", qvdbx_result_json());
    EXPECT_EQ(0, qvdbx_list_next());
    // Credentials and transport stay.
    EXPECT_EQ(0, qvdbx_list("/Music"));
    EXPECT_EQ(2u, io.requests.size());
}

// The module owns 64 bytes of the request and the records up to the capacity; a page
// larger than the capacity must not spill into what follows.
TEST_F(BackendLayout, ListWritesOnlyWhatItOwns) {
    struct { qvdbx_list_request req; unsigned char tail[32]; } r;
    struct { qvdbx_backend_item items[2]; unsigned char tail[72]; } out;
    std::memset(&r, kFill, sizeof r);
    std::memset(&out, kFill, sizeof out);
    r.req.cursor = nullptr;
    r.req.items = out.items;
    r.req.capacity = 2;
    r.req.cancel = nullptr;
    io.reply(200, music_page());

    ASSERT_EQ(0, backend().list(nullptr, "/Music", &r.req));
    EXPECT_EQ(R"({"path":"/Music","limit":2})", io.requests.at(0).body);
    EXPECT_EQ(2u, r.req.count);
    EXPECT_EQ(1, r.req.has_more);
    EXPECT_STREQ(kCursor1.c_str(), r.req.next_cursor);  // continues after the whole page
    EXPECT_TRUE(all_fill(&r, 0, 8)) << "reserved";
    EXPECT_TRUE(all_fill(&r, 44, 48)) << "gap after has_more";
    EXPECT_TRUE(all_fill(&r, 64, sizeof r)) << "beyond the request";
    EXPECT_TRUE(all_fill(out.tail, 0, sizeof out.tail)) << "beyond the capacity";
    for (const auto &item : out.items) EXPECT_EQ(0u, dbx::read_at<uint32_t>(&item, 28));
}

// MARK: - Open

TEST_F(BackendOpen, SettingsDecideTheStatus) {
    const struct { const char *settings; int status; const char *message; const char *token; } cases[] = {
        {nullptr, 8, "access_token required", nullptr},
        {R"({"access_token":"","refresh_token":"rt","app_key":"ak"})", 8, "access_token required", nullptr},
        {"", 8, "empty settings", kToken},
        {R"({"access_token":"sl.B1)", 8, "settings not a JSON object", kToken},
        {R"({"access_token":"sl.B1c2","refresh_token":"rt","app_key":"ak"})", 0, "sentinel", "sl.B1c2"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.settings ? c.settings : "NULL");
        qvdbx_set_token(kToken);
        qvdbx_set_err(QVDBX_E_UNSUPPORTED, "sentinel");
        EXPECT_EQ(c.status, backend().open(nullptr, c.settings));
        EXPECT_EQ(c.status == 0 ? QVDBX_E_UNSUPPORTED : QVDBX_E_BAD_CONFIG, qvdbx_last_code());
        EXPECT_STREQ(c.message, qvdbx_last_error());
        EXPECT_STREQ(c.token, g_qv.access_token);
    }
    EXPECT_TRUE(io.requests.empty());
}

// MARK: - List

TEST_F(BackendList, UnusableRequestRecordsSendNothing) {
    qvdbx_backend_item item;
    qvdbx_list_request no_room = request_for(&item, 0);
    qvdbx_list_request no_items = request_for(nullptr, 4);
    qvdbx_set_err(QVDBX_E_UNSUPPORTED, "sentinel");
    for (qvdbx_list_request *req : {static_cast<qvdbx_list_request *>(nullptr), &no_room, &no_items}) {
        EXPECT_EQ(9, backend().list(nullptr, "/Music", req));
    }
    EXPECT_STREQ("sentinel", qvdbx_last_error());
    EXPECT_TRUE(io.requests.empty());
}

TEST_F(BackendList, FirstPageLimitFollowsTheCapacity) {
    const std::string id = dbx::id(9);
    const struct { const char *path; uint64_t capacity; std::string body; } cases[] = {
        {"/Music", 50, R"({"path":"/Music","limit":50})"},
        {"Music", 1, R"({"path":"/Music","limit":1})"},
        {nullptr, 2000, R"({"path":"","limit":2000})"},
        {"/", 2001, R"({"path":"","limit":2000})"},
        {"", 3000, R"({"path":"","limit":2000})"},
        {id.c_str(), uint64_t{1} << 32, R"({"path":")" + id + "\"}"},
        {"/M", 0x80000000u, R"({"path":"/M"})"},
        {"/M", 0xFFFFFFFFu, R"({"path":"/M"})"},
        {"/M", (uint64_t{1} << 32) + 5, R"({"path":"/M","limit":2000})"},
    };
    qvdbx_backend_item items[2];
    for (const auto &c : cases) {
        SCOPED_TRACE(c.body);
        io.requests.clear();
        io.reply(200, dbx::page({dbx::file("/M/a.mp3", 1, "")}, "", false));
        qvdbx_list_request req = request_for(items, c.capacity);
        req.cursor = "";  // the same as none
        EXPECT_EQ(0, backend().list(nullptr, c.path, &req));
        EXPECT_EQ(1u, req.count);
        ASSERT_EQ(1u, io.requests.size());
        EXPECT_EQ(url_of("/2/files/list_folder"), io.requests[0].url);
        EXPECT_EQ(c.body, io.requests[0].body);
    }
}

TEST_F(BackendList, PagesWithTheCursorHandedBack) {
    const std::string bare = "a4ayc_80_OEAAAAAAAA777";  // an id without its prefix
    io.reply(200, dbx::page({dbx::folder("/Music/Live", dbx::id(1)), dbx::file("/Music/a.mp3", 4096, dbx::id(2)),
                             dbx::file("/Music/c.ogg", 512, bare), dbx::file("/Music/b.flac", 0, "")},
                            kCursor1, true))
        .reply(200, music_page2());
    qvdbx_backend_item items[8];
    qvdbx_list_request req = request_for(items, 8);
    ASSERT_EQ(0, backend().list(nullptr, "/Music", &req));
    ASSERT_EQ(4u, req.count);
    EXPECT_EQ(1, req.has_more);
    ASSERT_NE(nullptr, req.next_cursor);
    EXPECT_EQ(kCursor1, req.next_cursor);

    const struct { const char *name; std::string path, id; uint32_t flags; int folder; int64_t size; } want[] = {
        {"Live", dbx::id(1), dbx::id(1), 0x31, 1, -1},
        {"a.mp3", dbx::id(2), dbx::id(2), 0x31, 0, 4096},
        {"c.ogg", "id:" + bare, bare, 0x31, 0, 512},
        {"b.flac", "/music/b.flac", "", 0x21, 0, 0},
    };
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(want[i].name);
        const qvdbx_backend_item &item = items[i];
        EXPECT_EQ(72u, item.struct_size);
        EXPECT_EQ(want[i].flags, item.flags);
        EXPECT_EQ(qvdbx_name(i), item.name);  // borrowed from the entry table
        EXPECT_STREQ(want[i].name, item.name);
        EXPECT_EQ(want[i].path, item.path);
        EXPECT_EQ(item.path, item.alt_path);
        EXPECT_EQ(want[i].folder, item.is_folder);
        EXPECT_EQ(want[i].size, item.size);
        EXPECT_EQ(-1, item.extra_value);
        EXPECT_EQ(nullptr, item.extra_pointer);
        if (want[i].id.empty()) {
            EXPECT_EQ(nullptr, item.id);
        } else {
            EXPECT_EQ(qvdbx_id(i), item.id);
            EXPECT_EQ(want[i].id, item.id);
        }
    }

    // The host passes next_cursor straight back; the table then holds that page alone.
    req.cursor = req.next_cursor;
    ASSERT_EQ(0, backend().list(nullptr, "/Music", &req));
    ASSERT_EQ(2u, io.requests.size());
    EXPECT_EQ(url_of("/2/files/list_folder/continue"), io.requests[1].url);
    EXPECT_EQ(continue_body(kCursor1), io.requests[1].body);
    EXPECT_EQ(2u, req.count);
    EXPECT_EQ(2, qvdbx_count());
    EXPECT_STREQ("c.mp3", items[0].name);
    EXPECT_EQ(0, req.has_more);
    EXPECT_EQ(nullptr, req.next_cursor);
    EXPECT_TRUE(io.all_released());
}

TEST_F(BackendList, FailuresMapToStatusesAndLeaveTheRecord) {
    const struct { const char *name; scripted_reply reply; int status; int code; } cases[] = {
        {"missing folder", http(409, kNotFound), 3, 3},
        {"expired, no refresh", http(401, kExpired), 4, 2},
        {"token rejected", http(401, "{}"), 4, 1},
        {"throttled", http(429, ""), 5, 4},
        {"transport", broken("connection refused"), 5, 5},
        {"no entries", http(200, R"({"has_more":false})"), 5, 9},
    };
    const char *const kStale = "stale";
    qvdbx_backend_item items[4];
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        capture_io cio;
        restart(cio).reply(c.reply);
        qvdbx_list_request req = request_for(items, 4);
        req.count = 99;
        req.has_more = 9;
        req.next_cursor = kStale;
        EXPECT_EQ(c.status, backend().list(nullptr, "/Music", &req));
        EXPECT_EQ(c.code, qvdbx_last_code());
        EXPECT_EQ(99u, req.count);
        EXPECT_EQ(9, req.has_more);
        EXPECT_EQ(kStale, req.next_cursor);
        EXPECT_TRUE(cio.all_released());
    }

    // No token check of its own: the request goes out with an empty bearer.
    io.install();
    qvdbx_set_token(nullptr);
    io.reply(200, music_page(false));
    qvdbx_list_request req = request_for(items, 4);
    EXPECT_EQ(0, backend().list(nullptr, "/Music", &req));
    ASSERT_EQ(1u, io.requests.size());
    EXPECT_EQ(std::string(kApi) + "/2/files/list_folder?authorization=Bearer%20", io.requests[0].url);
}

TEST_F(BackendList, HostCancelFlagStopsTheFilling) {
    const struct { const char *name; std::string page; int status; int32_t has_more; const char *next; } cases[] = {
        {"entries to fill", music_page(), 7, 9, "stale"},
        {"empty page", dbx::page({}, kCursor1, true), 0, 1, kCursor1.c_str()},
    };
    qvdbx_backend_item items[4];
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        capture_io cio;
        restart(cio);
        qvdbx_cancel();  // the flat face's flag is not the host's
        int32_t flag = 1;
        qvdbx_list_request req = request_for(items, 4);
        req.count = 99;
        req.has_more = 9;
        req.next_cursor = "stale";
        req.cancel = &flag;
        cio.reply(200, c.page);
        EXPECT_EQ(c.status, backend().list(nullptr, "/Music", &req));
        EXPECT_EQ(1u, cio.requests.size());  // a set flag does not prevent the request
        EXPECT_EQ(0u, req.count);
        EXPECT_EQ(c.has_more, req.has_more);
        EXPECT_STREQ(c.next, req.next_cursor);
        EXPECT_EQ(c.status == 7 ? "cancelled" : "", std::string(qvdbx_last_error()));
        EXPECT_EQ(1, g_qv.cancel_requested.load());
    }
}

// A host that retries a failed or cancelled page passes the same next_cursor again, so
// it must still be alive (the sanitizer build proves it was not released).
TEST_F(BackendList, HandedCursorOutlivesAFailedPage) {
    const struct { const char *name; scripted_reply reply; int32_t cancel; int status; } cases[] = {
        {"undecodable page", http(200, R"({"entries":)"), 0, 5},
        {"failed request", http(500, ""), 0, 5},
        {"cancelled page", http(200, music_page2()), 1, 7},
    };
    qvdbx_backend_item items[4];
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        capture_io cio;
        restart(cio).reply(200, music_page()).reply(c.reply).reply(200, music_page2());
        int32_t flag = 0;
        qvdbx_list_request req = request_for(items, 4);
        req.cancel = &flag;
        ASSERT_EQ(0, backend().list(nullptr, "/Music", &req));
        req.cursor = req.next_cursor;

        flag = c.cancel;
        EXPECT_EQ(c.status, backend().list(nullptr, "/Music", &req));
        flag = 0;
        EXPECT_EQ(kCursor1, req.cursor);
        EXPECT_EQ(0, backend().list(nullptr, "/Music", &req));
        ASSERT_EQ(3u, cio.requests.size());
        EXPECT_EQ(continue_body(kCursor1), cio.requests[2].body);
        EXPECT_EQ(2u, req.count);
    }
}

// MARK: - Stat

TEST_F(BackendStat, ItemsPointIntoStaticBuffers) {
    const std::string long_name(600, 'n');
    const struct {
        const char *path; std::string meta; std::string name, item_path, id; uint32_t flags; int folder; int64_t size;
    } cases[] = {
        {"Music/a.mp3", R"({".tag":"file","name":"a.mp3","path_display":"/Music/a.mp3","size":4096})",
         "a.mp3", "Music/a.mp3", "", 0x21, 0, 4096},
        {"/Music/a.mp3", dbx::file("/Music/a.mp3", 4096, dbx::id(2)), "a.mp3", dbx::id(2), dbx::id(2), 0x31, 0, 4096},
        {"/Music/Live", dbx::folder("/Music/Live", dbx::id(1)), "Live", dbx::id(1), dbx::id(1), 0x31, 1, -1},
        // No display path: the name comes from the path as given.
        {"/Music/x.mp3", R"({".tag":"file","id":"x1"})", "x.mp3", "id:x1", "x1", 0x31, 0, -1},
        {"/Long/n", R"({"path_display":"/Long/)" + long_name + "\"}", long_name.substr(0, 511), "/Long/n", "",
         0x21, 0, -1},
    };
    qvdbx_backend_item first{};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.item_path);
        io.reply(200, c.meta);
        qvdbx_backend_item item;
        std::memset(&item, kFill, sizeof item);
        ASSERT_EQ(0, backend().stat(nullptr, c.path, &item));
        EXPECT_EQ(72u, item.struct_size);
        EXPECT_EQ(c.flags, item.flags);
        EXPECT_EQ(c.name, item.name);
        EXPECT_EQ(c.item_path, item.path);
        EXPECT_EQ(item.path, item.alt_path);
        EXPECT_EQ(c.folder, item.is_folder);
        EXPECT_EQ(c.size, item.size);
        EXPECT_EQ(-1, item.extra_value);
        EXPECT_EQ(nullptr, item.extra_pointer);
        EXPECT_EQ(0u, dbx::read_at<uint32_t>(&item, 28));
        EXPECT_EQ(c.id, item.id != nullptr ? item.id : "");
        EXPECT_EQ(c.id.empty(), item.id == nullptr);
        if (first.name == nullptr) first = item;
    }
    ASSERT_EQ(5u, io.requests.size());
    EXPECT_EQ(url_of("/2/files/get_metadata"), io.requests[0].url);
    EXPECT_EQ(R"({"path":"/Music/a.mp3"})", io.requests[0].body);
    // Every stat item shares the buffers: the last stat's text is behind the first's pointers.
    EXPECT_EQ(long_name.substr(0, 511), first.name);
    EXPECT_STREQ("/Long/n", first.path);
}

TEST_F(BackendStat, FailuresLeaveTheItemAlone) {
    const struct { const char *name; const char *path; scripted_reply reply; int status; } cases[] = {
        {"null path", nullptr, {}, 6}, {"empty path", "", {}, 6}, {"root", "/", {}, 6},
        {"missing", "/Music/gone.mp3", http(409, kNotFound), 3},
        {"expired, no refresh", "/a", http(401, kExpired), 5},  // unlike list and locator
        {"deleted", "/a", http(200, R"({".tag":"deleted","name":"a"})"), 5},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        capture_io cio;
        restart(cio).reply(c.reply);
        qvdbx_backend_item item;
        std::memset(&item, kFill, sizeof item);
        EXPECT_EQ(c.status, backend().stat(nullptr, c.path, &item));
        EXPECT_TRUE(all_fill(&item, 0, sizeof item));
        EXPECT_EQ(c.status == 6 ? 0u : 1u, cio.requests.size());
    }
    EXPECT_EQ(9, backend().stat(nullptr, "/a", nullptr));
}

// MARK: - Locator

TEST_F(BackendLocator, MapsEveryOutcome) {
    const std::string url = dbx::link(4);
    const struct { const char *name; scripted_reply reply; size_t size; int status; std::string buf; } cases[] = {
        {"link", http(200, dbx::link_answer(url)), url.size() + 1, 0, url},
        {"buffer too small", http(200, dbx::link_answer(url)), url.size(), 5, ""},
        {"missing file", http(409, kNotFound), 512, 3, ""},
        {"expired, no refresh", http(401, kExpired), 512, 4, ""},
        {"token rejected", http(401, "{}"), 512, 4, ""},
        {"throttled", http(429, ""), 512, 5, ""},
        {"no link", http(200, "{}"), 512, 5, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        capture_io cio;
        restart(cio).reply(c.reply);
        std::vector<char> buf(c.size, '#');
        buf[c.size - 1] = '\0';
        EXPECT_EQ(c.status, backend().locator(nullptr, dbx::id(4).c_str(), buf.data(), c.size));
        EXPECT_EQ(c.buf, buf.data());
        EXPECT_EQ(R"({"path":")" + dbx::id(4) + "\"}", cio.requests.at(0).body);
    }
    char buf[] = "abc";
    EXPECT_EQ(5, backend().locator(nullptr, "/a", nullptr, 100));
    EXPECT_EQ(5, backend().locator(nullptr, "/a", buf, 0));
    EXPECT_STREQ("abc", buf);
}

}  // namespace
