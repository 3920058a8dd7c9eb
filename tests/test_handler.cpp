// The remote content handler: its table as a host reads it, settings on every call,
// validate, whole-folder listings, stream URLs, and the error documents with their echo
// rules and buffer limits.
#include "face_fixture.h"

#include <functional>
#include <utility>

namespace {

class HandlerTable : public face_test {};
class HandlerValidate : public face_test {};
class HandlerList : public face_test {};
class HandlerStream : public face_test {};
class HandlerErrors : public face_test {};

const qvrch_handler &handler() { return *qvrch_get(); }

const std::string kSettings = R"({"access_token":")" + std::string(kToken) + "\"}";
const std::string kFailed = R"({"error":"failed"})";

std::string error_doc(const std::string &escaped) { return R"({"error":")" + escaped + "\"}"; }

// A status and what the host finds in its buffer of exactly `out_len` bytes, preset to
// '#'s so that a buffer left alone reads as out_len - 1 of them.
using answer = std::pair<int32_t, std::string>;
using entry_point = std::function<int32_t(char *out, int32_t out_len)>;

answer call(const entry_point &entry, int32_t out_len = 8192) {
    std::vector<char> out(out_len > 0 ? static_cast<size_t>(out_len) : 1, '#');
    out.back() = '\0';
    int32_t status = entry(out.data(), out_len);
    return {status, out.data()};
}

std::string untouched(int32_t out_len) { return std::string(out_len > 1 ? out_len - 1 : 0, '#'); }

entry_point list_of(const quendo_io *io, const std::string &settings, const char *path) {
    return [io, settings, path](char *out, int32_t len) {
        return handler().list(io, settings.c_str(), path, out, len);
    };
}

entry_point stream_of(const quendo_io *io, const std::string &entry) {
    return [io, entry](char *out, int32_t len) {
        return handler().stream_url(io, kSettings.c_str(), entry.c_str(), out, len);
    };
}

// MARK: - Table

// Each slot is called through the bytes at its offset; its answer tells which one it is.
TEST_F(HandlerTable, SlotsAsTheHostReadsThem) {
    const void *h = qvrch_get();
    EXPECT_EQ(h, qvrch_get());
    EXPECT_STREQ("DROPBOX", dbx::read_at<const char *>(h, 0));
    EXPECT_EQ(35, dbx::read_at<int64_t>(h, 8));
    qvdbx_set_io(nullptr);
    const char *s = kSettings.c_str();
    auto validate = dbx::read_at<decltype(qvrch_handler::validate)>(h, 16);
    auto list = dbx::read_at<decltype(qvrch_handler::list)>(h, 24);
    auto stream_url = dbx::read_at<decltype(qvrch_handler::stream_url)>(h, 32);
    EXPECT_EQ(answer(-8, error_doc("auth failed")),
              call([&](char *o, int32_t n) { return validate(nullptr, s, o, n); }));
    EXPECT_EQ(answer(-8, error_doc("no quendo_io installed")),
              call([&](char *o, int32_t n) { return list(nullptr, s, "/a", o, n); }));
    EXPECT_EQ(answer(-8, error_doc("no entry")),
              call([&](char *o, int32_t n) { return stream_url(nullptr, s, nullptr, o, n); }));
}

TEST_F(HandlerTable, SettingsRefusedByEveryEntryPoint) {
    const char *settings[] = {nullptr, "", "[]", R"({"access_token":"","refresh_token":"rt","app_key":"ak"})"};
    quendo_io rec = io.record();
    for (const char *s : settings) {
        SCOPED_TRACE(s ? s : "NULL");
        const entry_point entries[] = {
            [&](char *o, int32_t n) { return handler().validate(&rec, s, o, n); },
            [&](char *o, int32_t n) { return handler().list(&rec, s, "/Music", o, n); },
            [&](char *o, int32_t n) { return handler().stream_url(&rec, s, R"({"path":"/a"})", o, n); },
        };
        for (const auto &entry : entries) EXPECT_EQ(answer(-8, error_doc("bad config")), call(entry));
    }
    EXPECT_TRUE(io.requests.empty());

    // The transport handed to a refused call stays installed.
    qvdbx_set_io(nullptr);
    call([&](char *o, int32_t n) { return handler().validate(&rec, nullptr, o, n); });
    qvdbx_set_token(kToken);
    io.reply(200, music_page(false));
    EXPECT_EQ(0, qvdbx_list("/Music"));
    EXPECT_EQ(1u, io.requests.size());
}

// MARK: - Validate

TEST_F(HandlerValidate, AnswersAndStatuses) {
    const std::string account = R"({"account_id":"dbid:AAH4f99T0taONIb-OurWxbNQ6ywGRopQngc"})";
    const std::string auth_failed = error_doc("auth failed");
    const struct { const char *name; scripted_reply reply; int32_t out_len; answer want; } cases[] = {
        {"account", http(200, account), 3, {0, "{}"}},
        {"no room for {}", http(200, account), 2, {-9, untouched(2)}},
        {"expired, no refresh", http(401, kExpired), 64, {-1, auth_failed}},
        {"throttled", http(429, ""), 64, {-3, auth_failed}},
        {"transport", broken("connection refused"), 64, {-4, auth_failed}},
        {"bad request", http(400, "Error in call to API function"), 64, {-5, auth_failed}},
        // A document that does not fit is not swapped for the shorter fallback.
        {"document one byte too big", http(401, "{}"), 23, {-1, untouched(23)}},
        {"document just fits", http(401, "{}"), 24, {-1, auth_failed}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        capture_io cio;
        restart(cio).reply(c.reply);
        quendo_io rec = cio.record();
        EXPECT_EQ(c.want, call([&](char *o, int32_t n) { return handler().validate(&rec, kSettings.c_str(), o, n); },
                               c.out_len));
        ASSERT_EQ(1u, cio.requests.size());
        EXPECT_EQ(url_of("/2/users/get_current_account"), cio.requests[0].url);
        EXPECT_EQ("null", cio.requests[0].body);
        EXPECT_TRUE(cio.all_released());
    }
    io.install();
    EXPECT_EQ(-9, handler().validate(nullptr, kSettings.c_str(), nullptr, 64));
}

// MARK: - List

TEST_F(HandlerList, WholeFolderOverSeveralPagesInOneDocument) {
    const std::string settings = R"({"access_token":")" + std::string(kToken) + R"(","Path":"/Music"})";
    const std::vector<std::string> paths = {dbx::id(1), dbx::id(2), "/music/b.flac",
                                            dbx::id(3), dbx::id(4), dbx::id(5)};
    quendo_io rec = io.record();
    std::string doc;
    // With room to spare, then with exactly enough, then one byte short.
    for (int pass = 0; pass < 3; ++pass) {
        SCOPED_TRACE(pass);
        int32_t out_len = pass == 0 ? 8192 : static_cast<int32_t>(doc.size()) + (pass == 1 ? 1 : 0);
        io.requests.clear();
        io.reply(200, music_page())
            .reply(200, dbx::page({dbx::file("/Music/c.mp3", 5120, dbx::id(3)),
                                   dbx::file("/Music/d.mp3", 6144, dbx::id(4))}, kCursor2, true))
            .reply(200, dbx::page({dbx::file("/Music/e.mp3", 7340032, dbx::id(5))}, "", false));
        answer a = call(list_of(&rec, settings, nullptr), out_len);
        if (pass == 0) doc = a.second;
        EXPECT_EQ(answer(pass < 2 ? 0 : -9, pass < 2 ? doc : untouched(out_len)), a);
        EXPECT_EQ(doc, qvdbx_result_json());  // still readable after a refusal
        ASSERT_EQ(3u, io.requests.size());
        EXPECT_EQ(R"({"path":"/Music","limit":2000})", io.requests[0].body);
        EXPECT_EQ(continue_body(kCursor1), io.requests[1].body);
        EXPECT_EQ(continue_body(kCursor2), io.requests[2].body);
    }
    EXPECT_EQ(paths, item_paths(doc.c_str()));
    EXPECT_TRUE(io.all_released());
}

TEST_F(HandlerList, FolderFromThePathOrTheSettings) {
    const std::string id = dbx::id(7);
    const struct { const char *member; const char *path; std::string sent; } cases[] = {
        {R"(,"Path":"/Music")", nullptr, "/Music"},
        {R"(,"Path":"/Music")", "", "/Music"},
        {R"(,"Path":"/Music")", "Live", "/Live"},
        {R"(,"Path":"Podcasts")", nullptr, "/Podcasts"},
        {R"(,"Path":"")", nullptr, ""},
        {"", "/", ""},
        {"", "ID:x", "/ID:x"},
        {"", id.c_str(), id},
    };
    quendo_io rec = io.record();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.member + c.sent);
        io.requests.clear();
        io.reply(200, music_page(false));
        const std::string settings = R"({"access_token":")" + std::string(kToken) + "\"" + c.member + "}";
        EXPECT_EQ(0, call(list_of(&rec, settings, c.path)).first);
        ASSERT_EQ(1u, io.requests.size());
        EXPECT_EQ(R"({"path":")" + c.sent + R"(","limit":2000})", io.requests[0].body);
    }
}

TEST_F(HandlerList, FailuresOfAnyPage) {
    const struct {
        const char *name; std::vector<scripted_reply> replies; int32_t status; const char *message;
    } cases[] = {
        {"missing folder", {http(409, kNotFound)}, -2, "path not found"},
        {"expired, no refresh", {http(401, kExpired)}, -1, "expired_access_token"},
        {"throttled", {http(429, "")}, -3, "rate limited; retry after 60s"},
        {"bad request", {http(400, "")}, -5, "bad request"},
        {"undecodable", {http(200, "{")}, -5, "list result not an object"},
        {"second page server", {http(200, music_page()), http(502, "")}, -4, "HTTP 502"},
        {"second page undecodable", {http(200, music_page()), http(200, R"({"entries":5})")}, -5,
         "list result missing entries[]"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        capture_io cio;
        restart(cio);
        for (const auto &r : c.replies) cio.reply(r);
        quendo_io rec = cio.record();
        EXPECT_EQ(answer(c.status, error_doc(c.message)), call(list_of(&rec, kSettings, "/Music")));
        EXPECT_EQ(c.replies.size(), cio.requests.size());
        EXPECT_TRUE(cio.all_released());
    }

    // A cancel that arrives while the first page is on its way ends the listing.
    io.install();
    dbx::hooked_io hook;
    hook.inner = io.record();
    hook.before = [](int n) {
        if (n == 0) qvdbx_cancel();
    };
    quendo_io hooked = hook.record();
    io.reply(200, music_page());
    EXPECT_EQ(answer(-5, error_doc("cancelled")), call(list_of(&hooked, kSettings, "/Music")));
    EXPECT_EQ(1, hook.calls);
}

// MARK: - Stream URLs

TEST_F(HandlerStream, EntryDocuments) {
    const std::string url = dbx::link(7);
    const std::string id = dbx::id(2);
    const answer plain = {0, R"({"url":")" + url + "\"}"};
    auto sized = [&url](const char *size) { return answer(0, R"({"url":")" + url + R"(","size":)" + size + "}"); };
    const struct { std::string entry; answer want; const char *sent; } cases[] = {
        {R"({"name":"a.mp3","path":")" + id + R"(","size":4096})", sized("4096"), id.c_str()},
        {R"({"path":5,"id":")" + id + "\"}", plain, id.c_str()},
        {R"({"Path":"Music/a.mp3"})", plain, "/Music/a.mp3"},
        {R"({"path":"","size":0})", sized("0"), ""},
        {R"({"path":"/a","size":9223372036854775807})", sized("9223372036854775807"), "/a"},
        {R"({"path":"/a","size":1.5})", plain, "/a"},
        {R"({"path":"/a","size":"4096"})", plain, "/a"},
        {R"({"path":"/a","size":-1})", plain, "/a"},
        {R"({"path":"/a","size":18446744073709551615})", plain, "/a"},
        {R"({"path":null,"path":"/a"})", {-8, error_doc("entry missing path")}, nullptr},
        {"{}", {-8, error_doc("entry missing path")}, nullptr},
        {"[]", {-8, error_doc("bad entry")}, nullptr},
        {R"({"path":)", {-8, error_doc("bad entry")}, nullptr},
    };
    quendo_io rec = io.record();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.entry);
        io.requests.clear();
        io.reply(200, dbx::link_answer(url));
        EXPECT_EQ(c.want, call(stream_of(&rec, c.entry)));
        ASSERT_EQ(c.sent ? 1u : 0u, io.requests.size());
        EXPECT_TRUE(!c.sent || io.requests[0].body == R"({"path":")" + std::string(c.sent) + "\"}");
    }
    EXPECT_EQ(answer(-8, error_doc("no entry")),
              call([&](char *o, int32_t n) { return handler().stream_url(&rec, kSettings.c_str(), nullptr, o, n); }));
}

TEST_F(HandlerStream, LinkFailuresAndBuffers) {
    const std::string head = "https://uc1a2b3c.dl.dropboxusercontent.com/cd/0/get/";
    const std::string link4095 = head + std::string(4095 - head.size(), 'A');
    const std::string url = dbx::link(3);
    const std::string doc = R"({"url":")" + url + "\"}";
    const int32_t fits = static_cast<int32_t>(doc.size()) + 1;
    const struct { const char *name; scripted_reply reply; int32_t out_len; answer want; } cases[] = {
        {"missing file", http(409, kNotFound), 256, {-2, error_doc("path not found")}},
        {"no link", http(200, R"({"metadata":{}})"), 256, {-5, error_doc("temporary link missing")}},
        {"link of 4096 bytes", http(200, dbx::link_answer(link4095 + "B")), 256,
         {-8, error_doc("locator buffer too small")}},
        {"link of 4095 bytes", http(200, dbx::link_answer(link4095)), 8192, {0, R"({"url":")" + link4095 + "\"}"}},
        {"answer just fits", http(200, dbx::link_answer(url)), fits, {0, doc}},
        {"answer one byte too big", http(200, dbx::link_answer(url)), fits - 1, {-9, untouched(fits - 1)}},
        {"no room at all", http(200, dbx::link_answer(url)), 0, {-9, ""}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        capture_io cio;
        restart(cio).reply(c.reply);
        quendo_io rec = cio.record();
        EXPECT_EQ(c.want, call(stream_of(&rec, R"({"path":"/a.mp3"})"), c.out_len));
        EXPECT_TRUE(cio.all_released());
    }
}

// MARK: - Error documents

// A transport failure's text becomes the error message, which drives the writer.
answer failed_list(const std::string &transport_error, int32_t out_len = 8192) {
    capture_io cio;
    cio.reply(broken(transport_error));
    quendo_io rec = cio.record();
    answer a = call(list_of(&rec, kSettings, "/Music"), out_len);
    qvdbx_set_io(nullptr);
    return a;
}

TEST_F(HandlerErrors, WhatIsEchoed) {
    const std::string m79(79, 'm'), m80(80, 'm');
    const struct { const char *name; std::string message, out; } cases[] = {
        {"79 bytes", m79, error_doc(m79)},
        {"80 bytes", m80, kFailed},
        {"token fragment", "Bearer sl.u.AGd3 rejected", kFailed},
        {"only the fragment", "sl.", kFailed},
        {"near misses", "ssl_read: SL.U rejected", error_doc("ssl_read: SL.U rejected")},
        {"quotes and a backslash", R"(proxy said "no" \ retry)", error_doc(R"(proxy said \"no\" \\ retry)")},
        {"control characters", "line1\nline2\t", error_doc(R"(line1\nline2\t)")},
        {"79 bytes, longer once escaped", std::string(78, 'q') + "\"", error_doc(std::string(78, 'q') + "\\\"")},
        {"invalid UTF-8", "bad byte \xff here", kFailed},
        {"empty", "", error_doc("")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(answer(-4, c.out), failed_list(c.message));
    }
}

TEST_F(HandlerErrors, BuffersTooSmallForTheDocument) {
    const std::string message = "connection reset", m80(80, 'm');
    const int32_t doc_len = static_cast<int32_t>(error_doc(message).size());
    const struct { std::string message; int32_t out_len; std::string out; } cases[] = {
        {message, doc_len, untouched(doc_len)},  // the fallback would fit, but is not used
        {message, doc_len + 1, error_doc(message)},
        {m80, 18, untouched(18)},
        {m80, 19, kFailed},
        {m80, 0, ""},
        {m80, -19, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message.substr(0, 20) + " into " + std::to_string(c.out_len));
        EXPECT_EQ(answer(-4, c.out), failed_list(c.message, c.out_len));
    }
    capture_io cio;
    cio.reply(broken(message));
    quendo_io rec = cio.record();
    EXPECT_EQ(-4, handler().list(&rec, kSettings.c_str(), "/Music", nullptr, 64));
}

}  // namespace
