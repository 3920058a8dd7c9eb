// Client core: the error record, authenticated URLs, the two posts and their buffer
// handling, status classification, token refresh with its single retry, the exact
// request bodies, and the settings loader.
#include "capture_io.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace {

const std::string kOrigin = "https://api.dropboxapi.com";
const std::string kTokenUrl = kOrigin + "/oauth2/token";
constexpr char kFormUrl[] = "https://x.test/t?a=1";  // used as given, no token added
constexpr char kJson[] = "application/json";
constexpr char kForm[] = "application/x-www-form-urlencoded";
constexpr char kExpiredBody[] =
    R"({"error_summary":"expired_access_token/","error":{".tag":"expired_access_token"}})";

// A scripted transport reply; a NULL body or error text leaves that output unset.
scripted_reply http(int status, const char *body, int rc = 0, const char *err = nullptr) {
    scripted_reply r;
    r.rc = rc;
    r.status = status;
    r.has_body = body != nullptr;
    r.body = body != nullptr ? body : "";
    r.has_err = err != nullptr;
    r.err = err != nullptr ? err : "";
    return r;
}

std::string text(const char *s) { return s != nullptr ? s : "<null>"; }

// The outputs of one call that hands back a heap response.
struct outcome {
    int rc = 0;
    int status = 0;
    std::string response = "<null>";
};

// Runs `call` with a response slot preset to a marker, so a slot left unset shows up.
template <typename F>
outcome run(F call, int preset_status = -77) {
    static char marker;
    char *resp = &marker;
    outcome out;
    out.status = preset_status;
    out.rc = call(&resp, &out.status);
    if (resp == &marker) {
        ADD_FAILURE() << "response slot never written";
    } else {
        out.response = text(resp);
        std::free(resp);
    }
    return out;
}

class CoreTest : public ::testing::Test {
protected:
    void SetUp() override { reset_module_state(); }
    void TearDown() override { reset_module_state(); }
};

class CoreErrors : public CoreTest {};
class CoreUrl : public CoreTest {};
class CorePost : public CoreTest {};
class CoreClassify : public CoreTest {};
class CoreRefresh : public CoreTest {};
class CoreBuilders : public CoreTest {};
class CoreSettings : public CoreTest {};

// MARK: - Error record

TEST_F(CoreErrors, NamesVersionAndBoundedMessages) {
    const struct { int code; const char *name; } names[] = {
        {QVDBX_OK, "ok"}, {QVDBX_E_AUTH, "auth"}, {QVDBX_E_AUTH_EXPIRED, "auth_expired"},
        {QVDBX_E_NOT_FOUND, "not_found"}, {QVDBX_E_RATE_LIMITED, "rate_limited"},
        {QVDBX_E_TRANSPORT, "transport"}, {QVDBX_E_BAD_REQUEST, "bad_request"},
        {QVDBX_E_UNSUPPORTED, "unsupported"}, {QVDBX_E_CANCELLED, "cancelled"},
        {QVDBX_E_PROTOCOL, "protocol"}, {QVDBX_E_OOM, "oom"},
        {QVDBX_E_INVALID_ARG, "invalid_arg"}, {QVDBX_E_BAD_CONFIG, "bad_config"},
        {13, "unknown"}, {-1, "unknown"}, {INT_MIN, "unknown"}, {INT_MAX, "unknown"},
    };
    qvdbx_set_err(QVDBX_E_PROTOCOL, "recorded");  // names never come from the record
    for (const auto &n : names) {
        SCOPED_TRACE(n.code);
        EXPECT_STREQ(n.name, qvdbx_strerror(n.code));
    }
    // The text is made of the three numbers, so neither can change without the other.
    EXPECT_EQ(std::to_string(QVDBX_VERSION_MAJOR) + "." + std::to_string(QVDBX_VERSION_MINOR) +
                  "." + std::to_string(QVDBX_VERSION_PATCH),
              QVDBX_VERSION_STRING);
    EXPECT_STREQ(QVDBX_VERSION_STRING, qvdbx_version());
    EXPECT_EQ(qvdbx_version(), qvdbx_version());

    qvdbx_set_err(QVDBX_E_TRANSPORT, nullptr);
    EXPECT_EQ(5, qvdbx_last_code());
    EXPECT_STREQ("", qvdbx_last_error());

    std::string long_msg(600, 'x');
    qvdbx_set_err(QVDBX_E_PROTOCOL, "%s", long_msg.c_str());
    EXPECT_EQ(long_msg.substr(0, 511), qvdbx_last_error());
}

// MARK: - URLs

TEST_F(CoreUrl, BearerIsPercentEncodedIntoTheQuery) {
    const struct { const char *token; const char *path; const char *tail; } cases[] = {
        {"abc", "/2/files/list_folder", "/2/files/list_folder?authorization=Bearer%20abc"},
        {nullptr, "/2/x", "/2/x?authorization=Bearer%20"},
        {"", "/2/x", "/2/x?authorization=Bearer%20"},
        {"t", "/2/x?a=1", "/2/x?a=1&authorization=Bearer%20t"},
        {"t", "", "?authorization=Bearer%20t"},
        {"a+b/c=d", "/p", "/p?authorization=Bearer%20a%2Bb%2Fc%3Dd"},
        {"-._~AZaz09", "/p", "/p?authorization=Bearer%20-._~AZaz09"},
        {"%?& \t", "/p", "/p?authorization=Bearer%20%25%3F%26%20%09"},
        // Bytes are encoded one by one, unsigned, with upper-case digits.
        {"\xc3\xa9\x7f\xab\xff", "/p", "/p?authorization=Bearer%20%C3%A9%7F%AB%FF"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(text(c.token) + " " + c.path);
        qvdbx_set_token(c.token);
        qvdbx_heap_str url(qvdbx_auth_url(c.path));
        ASSERT_NE(nullptr, url);
        EXPECT_EQ(kOrigin + c.tail, url.get());
    }
    EXPECT_EQ(nullptr, qvdbx_auth_url(nullptr));
}

TEST_F(CoreUrl, LongTokenIsCarriedWhole) {
    std::string token(10000, 'a');
    token.back() = '=';
    qvdbx_set_token(token.c_str());
    qvdbx_heap_str url(qvdbx_auth_url("/2/x"));
    ASSERT_NE(nullptr, url);
    EXPECT_EQ(kOrigin + "/2/x?authorization=Bearer%20" + token.substr(0, 9999) + "%3D", url.get());
}

// MARK: - Posts

TEST_F(CorePost, TransportOutputsAndBufferRelease) {
    const std::string long_err(600, 'e');
    const struct {
        const char *name;
        scripted_reply reply;
        int rc;
        const char *response;  // nullptr: none handed back
        int code;              // 7: nothing recorded
        std::string message;
        int http;
    } cases[] = {
        {"HTTP error is an answer", http(404, R"({"e":1})"), 0, R"({"e":1})", 7, "sentinel", 404},
        {"no body is an empty answer", http(200, nullptr), 0, "", 7, "sentinel", 200},
        {"error text beside success", http(201, "b", 0, "ignored"), 0, "b", 7, "sentinel", 201},
        {"failure with text", http(0, nullptr, 1, "refused"), -1, nullptr, 5, "refused", 0},
        {"failure keeps its status", http(502, "partial", -3), -1, nullptr, 5, "transport failure",
         502},
        {"text is no format", http(0, nullptr, 1, "%s%n%d%%"), -1, nullptr, 5, "%s%n%d%%", 0},
        {"long error text is cut", http(503, "b", 1, long_err.c_str()), -1, nullptr, 5,
         long_err.substr(0, 511), 503},
    };
    for (const auto &c : cases) {
        for (bool form : {false, true}) {
            for (bool with_free : {true, false}) {
                SCOPED_TRACE(std::string(c.name) + (form ? " form" : " json") +
                             (with_free ? " free slot" : " no free slot"));
                reset_module_state();
                capture_io io;
                io.install(with_free);
                io.reply(c.reply);
                qvdbx_set_token("tok");
                qvdbx_set_err(QVDBX_E_UNSUPPORTED, "sentinel");
                g_qv.last_http_code = 418;
                outcome out = run([form](char **r, int *s) {
                    return form ? qvdbx_http_post_form(kFormUrl, nullptr, r, s)
                                : qvdbx_http_post_json("/2/x", nullptr, r, s);
                });
                EXPECT_EQ(c.rc, out.rc);
                EXPECT_EQ(text(c.response), out.response);
                EXPECT_EQ(c.http, out.status);
                EXPECT_EQ(c.http, qvdbx_last_http_code());
                EXPECT_EQ(c.code, qvdbx_last_code());
                EXPECT_EQ(c.message, qvdbx_last_error());
                ASSERT_EQ(1u, io.requests.size());
                const captured_request &req = io.requests[0];
                EXPECT_EQ(form ? kFormUrl : kOrigin + "/2/x?authorization=Bearer%20tok", req.url);
                EXPECT_EQ(form ? "" : "null", req.body);
                EXPECT_EQ(form ? kForm : kJson, req.content_type);
                // Without a free slot the buffers go to the standard free (the leak
                // checker of the sanitizer build proves they do).
                EXPECT_EQ(with_free ? io.handed_out : 0u, io.released);
                EXPECT_TRUE(io.all_released());
            }
        }
    }
}

TEST_F(CorePost, MissingTransportRefusesWithoutCalling) {
    capture_io io;
    for (bool remove : {true, false}) {
        SCOPED_TRACE(remove ? "removed" : "post slot NULL");
        quendo_io rec = io.record();
        if (!remove) rec.post = nullptr;
        qvdbx_set_io(&rec);
        if (remove) qvdbx_set_io(nullptr);
        g_qv.last_http_code = 418;
        for (bool form : {false, true}) {
            qvdbx_set_err(QVDBX_OK, "ok");
            outcome out = run(
                [form](char **r, int *s) {
                    return form ? qvdbx_http_post_form(kTokenUrl.c_str(), "", r, s)
                                : qvdbx_http_post_json("/2/x", "{}", r, s);
                },
                99);
            EXPECT_EQ(-1, out.rc);
            EXPECT_EQ("<null>", out.response);
            EXPECT_EQ(form ? 99 : 0, out.status);  // the form post leaves it untouched
            EXPECT_EQ(QVDBX_E_BAD_CONFIG, qvdbx_last_code());
            EXPECT_STREQ("no quendo_io installed", qvdbx_last_error());
            EXPECT_EQ(418, qvdbx_last_http_code());
        }
    }
    EXPECT_TRUE(io.requests.empty());
}

// MARK: - Status classification

TEST_F(CoreClassify, StatusAndMarkersPickTheCode) {
    const struct {
        int status;
        const char *body;
        int code;
        const char *message;  // nullptr: the earlier record stays
    } cases[] = {
        {429, "", 4, "rate limited; retry after 60s"},
        {429, kExpiredBody, 4, "rate limited; retry after 60s"},
        {401, kExpiredBody, 2, "expired_access_token"},
        {401, "", 1, "invalid_access_token / unauthorized"},
        {401, nullptr, 1, "invalid_access_token / unauthorized"},
        {401, "EXPIRED_ACCESS_TOKEN", 1, "invalid_access_token / unauthorized"},
        {400, "Error: Invalid authorization header", 1, "invalid authorization (400 text/plain)"},
        {400, "bad authorization value", 1, "invalid authorization (400 text/plain)"},
        {400, "invalid authorization", 6, "bad request"}, {400, nullptr, 6, "bad request"},
        {409, R"({"error_summary":"path/not_found/.."})", 3, "path not found"},
        {409, "not_found", 3, "path not found"}, {409, "path/conflict/file", 6, "conflict"},
        {409, nullptr, 6, "conflict"}, {500, "", 5, "HTTP 500"}, {502, "", 5, "HTTP 502"},
        {599, "", 5, "HTTP 599"}, {600, "", 5, "HTTP 600"},
        {200, kExpiredBody, 0, nullptr}, {204, "", 0, nullptr}, {299, "", 0, nullptr},
        {300, "", 6, "HTTP 300"}, {199, "", 6, "HTTP 199"}, {403, "", 6, "HTTP 403"},
        {404, "not_found", 6, "HTTP 404"}, {0, "", 6, "HTTP 0"}, {-1, "", 6, "HTTP -1"},
        {INT_MIN, "", 6, "HTTP -2147483648"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.status) + " " + text(c.body));
        qvdbx_set_err(QVDBX_E_UNSUPPORTED, "sentinel");
        g_qv.retry_after_s = 99;
        EXPECT_EQ(c.code, qvdbx_map_http(c.status, c.body));
        EXPECT_EQ(c.message ? c.code : 7, qvdbx_last_code());
        EXPECT_STREQ(c.message ? c.message : "sentinel", qvdbx_last_error());
        EXPECT_EQ(c.status == 429 ? 60 : 0, qvdbx_retry_after_s());
    }
}

// MARK: - Token refresh and retry

outcome get_metadata() {
    return run([](char **r, int *s) { return qvdbx_rpc_get_metadata("/a", r, s); });
}

TEST_F(CoreRefresh, AuthFailureRefreshesOnceAndResends) {
    const struct { scripted_reply first; int code; const char *message; } cases[] = {
        {http(401, kExpiredBody), 2, "expired_access_token"},
        {http(401, "{}"), 1, "invalid_access_token / unauthorized"},
        {http(400, "Invalid authorization value"), 1, "invalid authorization (400 text/plain)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        reset_module_state();
        capture_io io;
        io.install();
        qvdbx_set_token("old");
        qvdbx_set_refresh("r /+=\xc3\xa9", "k&y");
        io.reply(c.first).reply(http(200, R"({"access_token":"new tok","expires_in":14400})"))
            .reply(http(200, R"({"ok":1})"));

        outcome out = get_metadata();
        EXPECT_EQ(0, out.rc);
        EXPECT_EQ(R"({"ok":1})", out.response);
        EXPECT_EQ(200, out.status);
        ASSERT_EQ(3u, io.requests.size());
        EXPECT_EQ(kOrigin + "/2/files/get_metadata?authorization=Bearer%20old", io.requests[0].url);
        EXPECT_EQ(kTokenUrl, io.requests[1].url);
        EXPECT_EQ(kForm, io.requests[1].content_type);
        EXPECT_EQ("grant_type=refresh_token&refresh_token=r%20%2F%2B%3D%C3%A9&client_id=k%26y",
                  io.requests[1].body);
        EXPECT_EQ(kOrigin + "/2/files/get_metadata?authorization=Bearer%20new%20tok",
                  io.requests[2].url);
        EXPECT_EQ(io.requests[0].body, io.requests[2].body);
        EXPECT_STREQ("new tok", g_qv.access_token);
        EXPECT_STREQ("r /+=\xc3\xa9", g_qv.refresh_token);
        EXPECT_STREQ("k&y", g_qv.app_key);
        // Success after a refresh does not overwrite the first answer's record.
        EXPECT_EQ(c.code, qvdbx_last_code());
        EXPECT_STREQ(c.message, qvdbx_last_error());
        EXPECT_TRUE(io.all_released());
    }
}

TEST_F(CoreRefresh, RefusalsAndTheSingleRetry) {
    const scripted_reply expired = http(401, kExpiredBody);
    const scripted_reply fresh = http(200, R"({"access_token":"new"})");
    const char *expired_msg = "expired_access_token";
    const char *invalid_msg = "invalid_access_token / unauthorized";
    const char *no_token = "refresh response missing access_token";
    const struct {
        const char *refresh, *key;
        std::vector<scripted_reply> replies;
        size_t requests;
        int code;
        const char *message, *response, *token;  // response nullptr: none handed back
    } cases[] = {
        {nullptr, "k", {expired}, 1, 2, expired_msg, kExpiredBody, "old"},
        {"r", nullptr, {expired}, 1, 2, expired_msg, kExpiredBody, "old"},
        {"", "k", {expired}, 1, 2, expired_msg, nullptr, "old"},
        {"r", "", {http(401, "{}")}, 1, 1, invalid_msg, nullptr, "old"},
        {"r", "k", {expired, http(400, R"({"error":"invalid_grant"})")}, 2, 2,
         "refresh invalid_grant", nullptr, "old"},
        {"r", "k", {expired, http(400, R"({"error":"invalid_client"})")}, 2, 1,
         "refresh failed HTTP 400", nullptr, "old"},
        {"r", "k", {expired, http(201, R"({"access_token":"new"})")}, 2, 1,
         "refresh failed HTTP 201", nullptr, "old"},
        {"r", "k", {expired, http(200, R"({"access_token":5})")}, 2, 9, no_token, nullptr, "old"},
        {"r", "k", {expired, http(200, "{}")}, 2, 9, no_token, nullptr, "old"},
        {"r", "k", {expired, http(200, "access_token=new")}, 2, 9, no_token, nullptr, "old"},
        {"r", "k", {expired, http(200, R"({"access_token":"n"}x)")}, 2, 9, no_token,
         nullptr, "old"},
        {"r", "k", {expired, http(200, R"({"access_token":null,"access_token":"n"})")},
         2, 9, no_token, nullptr, "old"},
        {"r", "k", {expired, http(0, nullptr, 1, "dns")}, 2, 5, "dns", nullptr, "old"},
        {"r", "k", {expired, fresh, http(401, "{}")}, 3, 1, invalid_msg, "{}", "new"},
        {"r", "k", {expired, fresh, expired}, 3, 2, expired_msg, kExpiredBody, "new"},
        {"r", "k", {expired, fresh, http(0, nullptr, 1, "reset")}, 3, 5, "reset", nullptr,
         "new"},
        {"r", "k", {http(429, "")}, 1, 4, "rate limited; retry after 60s", "", "old"},
        {"r", "k", {http(409, "path/not_found")}, 1, 3, "path not found", "path/not_found", "old"},
        {"r", "k", {http(500, "down")}, 1, 5, "HTTP 500", "down", "old"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(&c - cases) + ": " + c.message);
        reset_module_state();
        capture_io io;
        io.install();
        qvdbx_set_token("old");
        qvdbx_set_refresh(c.refresh, c.key);
        for (const auto &r : c.replies) io.reply(r);
        io.reply(http(200, "{}"));  // would answer a request that must not be sent

        outcome out = get_metadata();
        EXPECT_EQ(-1, out.rc);
        EXPECT_EQ(c.requests, io.requests.size());
        EXPECT_EQ(c.code, qvdbx_last_code());
        EXPECT_STREQ(c.message, qvdbx_last_error());
        EXPECT_EQ(text(c.response), out.response);
        EXPECT_STREQ(c.token, g_qv.access_token);
        EXPECT_TRUE(io.all_released());
    }
}

TEST_F(CoreRefresh, LongRefreshTokenIsSentWhole) {
    capture_io io;
    io.install();
    std::string refresh(5000, 'r');
    qvdbx_set_token("old");
    qvdbx_set_refresh((refresh + "/").c_str(), "key");
    io.reply(401, kExpiredBody).reply(200, R"({"access_token":"new"})").reply(200, "{}");
    EXPECT_EQ(0, get_metadata().rc);
    ASSERT_EQ(3u, io.requests.size());
    EXPECT_EQ("grant_type=refresh_token&refresh_token=" + refresh + "%2F&client_id=key",
              io.requests[1].body);
}

TEST_F(CoreRefresh, SettersCopyAndClear) {
    char token[] = "tok";
    qvdbx_set_token(token);
    qvdbx_set_refresh("r", "k");
    token[0] = 'X';  // the stored value is a private copy
    EXPECT_STREQ("tok", g_qv.access_token);
    qvdbx_set_refresh(nullptr, nullptr);
    qvdbx_set_token(nullptr);
    EXPECT_EQ(nullptr, g_qv.refresh_token);
    EXPECT_EQ(nullptr, g_qv.app_key);
    EXPECT_EQ(nullptr, g_qv.access_token);
}

// MARK: - Request builders

enum class rpc { list, meta, link, account };

TEST_F(CoreBuilders, BodiesAndPaths) {
    const struct {
        rpc call;
        const char *path, *cursor;
        int limit;
        const char *api, *body;  // body nullptr: not valid UTF-8, so refused unsent
    } cases[] = {
        {rpc::list, "/\xff", nullptr, 10, nullptr, nullptr},
        {rpc::list, "/a", "c\xc3", 10, nullptr, nullptr},
        {rpc::meta, "/\x80", nullptr, 0, nullptr, nullptr},
        {rpc::link, "/a\xe6\x97", nullptr, 0, nullptr, nullptr},
        {rpc::list, "", nullptr, 2000, "/2/files/list_folder", R"({"path":"","limit":2000})"},
        {rpc::list, nullptr, nullptr, 0, "/2/files/list_folder", R"({"path":""})"},
        {rpc::list, "/a", nullptr, -5, "/2/files/list_folder", R"({"path":"/a"})"},
        {rpc::list, "/a", nullptr, 1, "/2/files/list_folder", R"({"path":"/a","limit":1})"},
        {rpc::list, "/a", "", 3, "/2/files/list_folder", R"({"path":"/a","limit":3})"},
        {rpc::list, "/a", "AAB==", 5, "/2/files/list_folder/continue", R"({"cursor":"AAB=="})"},
        // The cursor wins, so a path that could not be written does not matter.
        {rpc::list, "\xff", "c", 5, "/2/files/list_folder/continue", R"({"cursor":"c"})"},
        {rpc::list, nullptr, "a\"b", 0, "/2/files/list_folder/continue", R"({"cursor":"a\"b"})"},
        {rpc::list, "/a\"b\\c\n\x01", nullptr, 0, "/2/files/list_folder",
         R"({"path":"/a\"b\\c\n\u0001"})"},
        {rpc::meta, "/M\xc3\xbasica/\xe6\x97\xa5", nullptr, 0, "/2/files/get_metadata",
         "{\"path\":\"/M\xc3\xbasica/\xe6\x97\xa5\"}"},
        {rpc::meta, nullptr, nullptr, 0, "/2/files/get_metadata", R"({"path":""})"},
        {rpc::link, "id:abc", nullptr, 0, "/2/files/get_temporary_link", R"({"path":"id:abc"})"},
        {rpc::link, "/a/b", nullptr, 0, "/2/files/get_temporary_link", R"({"path":"/a/b"})"},
        {rpc::account, nullptr, nullptr, 0, "/2/users/get_current_account", "null"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(text(c.body) + " " + text(c.path));
        reset_module_state();
        capture_io io;
        io.install();
        qvdbx_set_token("t");
        io.reply(200, R"({"r":1})");
        outcome out = run([&c](char **r, int *s) {
            switch (c.call) {
            case rpc::list: return qvdbx_rpc_list_folder(c.path, c.cursor, c.limit, r, s);
            case rpc::meta: return qvdbx_rpc_get_metadata(c.path, r, s);
            case rpc::link: return qvdbx_rpc_get_temp_link(c.path, r, s);
            case rpc::account: break;
            }
            return qvdbx_rpc_get_current_account(r, s);
        });
        if (c.body == nullptr) {
            EXPECT_EQ(-1, out.rc);
            EXPECT_EQ("<null>", out.response);
            EXPECT_EQ(QVDBX_E_OOM, qvdbx_last_code());
            EXPECT_STREQ("oom", qvdbx_last_error());
            EXPECT_TRUE(io.requests.empty());
            continue;
        }
        EXPECT_EQ(0, out.rc);
        EXPECT_EQ(R"({"r":1})", out.response);
        EXPECT_EQ(200, out.status);
        ASSERT_EQ(1u, io.requests.size());
        EXPECT_EQ(kOrigin + c.api + "?authorization=Bearer%20t", io.requests[0].url);
        EXPECT_EQ(c.body, io.requests[0].body);
        EXPECT_EQ(kJson, io.requests[0].content_type);
    }
}

// MARK: - Settings

TEST_F(CoreSettings, DocumentsReplaceAllCredentials) {
    constexpr const char *kOld = "old";
    // A document that is refused before it is read leaves everything stored.
    const char *const refused[] = {nullptr, "", "[]", "5", "null", "{", "{} x", "{/*c*/}",
                                   "{\"access_token\":\"\xff\"}"};
    const struct {
        const char *json;
        int require, rc;
        const char *message;  // nullptr: nothing recorded
        const char *token, *refresh, *key, *path;
    } cases[] = {
        {"{}", 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr},
        {"{}", 1, -1, "access_token required", nullptr, nullptr, nullptr, nullptr},
        {R"({"access_token":""})", 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr},
        {R"({"access_token":5})", 1, -1, "access_token required", nullptr, nullptr, nullptr,
         nullptr},
        {R"({"access_token":"t","refresh_token":"r","app_key":"k","Path":"/M"})", 1, 0, nullptr,
         "t", "r", "k", "/M"},
        {R"({"refresh_token":"r","app_key":"k"})", 1, -1, "access_token required",
         nullptr, "r", "k", nullptr},
        {R"({"refresh_token":"","app_key":"","Path":""})", 0, 0, nullptr, nullptr, "", "", ""},
        {R"({"path":"/M","Access_Token":"t","APP_KEY":"k"})", 0, 0, nullptr,
         nullptr, nullptr, nullptr, nullptr},
        {R"({"app_key":1,"app_key":"k","access_token":"","access_token":"t"})", 0, 0, nullptr,
         nullptr, nullptr, nullptr, nullptr},
        {R"({"access_token":"a","access_token":"b"})", 1, 0, nullptr, "a", nullptr, nullptr,
         nullptr},
        {R"({"access_token":{},"refresh_token":[],"app_key":true,"Path":null,"x":1})", 0, 0,
         nullptr, nullptr, nullptr, nullptr, nullptr},
        {R"({"access_token":"ab\u0000cd"})", 1, 0, nullptr, "ab", nullptr, nullptr, nullptr},
    };
    auto check = [&](const char *json, int require, int rc, const char *message,
                     const char *token, const char *refresh, const char *key, const char *path) {
        SCOPED_TRACE(text(json) + " require " + std::to_string(require));
        qvdbx_set_token(kOld);
        qvdbx_set_refresh(kOld, kOld);
        qvdbx_replace(&g_qv.default_path, qvdbx_strdup(kOld));
        qvdbx_set_err(QVDBX_E_UNSUPPORTED, "sentinel");
        EXPECT_EQ(rc, qvdbx_load_settings(json, require));
        EXPECT_EQ(message ? 12 : 7, qvdbx_last_code());
        EXPECT_STREQ(message ? message : "sentinel", qvdbx_last_error());
        EXPECT_STREQ(token, g_qv.access_token);
        EXPECT_STREQ(refresh, g_qv.refresh_token);
        EXPECT_STREQ(key, g_qv.app_key);
        EXPECT_STREQ(path, g_qv.default_path);
    };
    for (const char *json : refused) {
        check(json, 1, -1, qvdbx_is_empty(json) ? "empty settings" : "settings not a JSON object",
              kOld, kOld, kOld, kOld);
    }
    for (const auto &c : cases) {
        check(c.json, c.require, c.rc, c.message, c.token, c.refresh, c.key, c.path);
    }
}

}  // namespace
