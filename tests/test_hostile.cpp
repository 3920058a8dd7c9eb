// Hostile transports: every entry point against answers drawn from a seeded generator
// (random statuses and return codes; missing, binary, truncated and multi-megabyte bodies;
// error texts with format characters and invalid UTF-8), with and without a free slot.
// Whatever comes back, the module releases each buffer once, succeeds only on a 2xx answer
// it can decode, and fails with a named code, a bounded message and its face's status.
#include "capture_io.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <random>
#include <string>
#include <tuple>

#if defined(__SANITIZE_ADDRESS__)
#define QVDBX_HAVE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QVDBX_HAVE_ASAN 1
#endif
#endif
#if defined(QVDBX_HAVE_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace {

class rng {
public:
    explicit rng(uint64_t seed) : gen_(seed) {}
    size_t below(size_t n) { return static_cast<size_t>((gen_() >> 16) % n); }
    bool chance(size_t percent) { return below(100) < percent; }
    template <typename T, size_t N> T pick(const T (&pool)[N]) { return pool[below(N)]; }

private:
    std::mt19937_64 gen_;  // its output sequence is fixed by the standard
};

// MARK: - Answers

std::string word(rng &r) {
    static const char *const pool[] = {"a", "Music", "/Music/b.mp3", "id:x1", "sl.secret", "\\\"q\\\"",
                                       "\xc3\xa9", "\xff\xfe", "%s%n%x", ""};
    return r.pick(pool);
}

std::string member_value(rng &r, const char *key) {
    if (std::strcmp(key, ".tag") == 0) {
        static const char *const tags[] = {"\"folder\"", "\"file\"", "\"deleted\"", "5"};
        return r.pick(tags);
    }
    if (std::strcmp(key, "size") == 0) {
        static const char *const sizes[] = {"0", "4096", "-5", "1.5", "\"12\"", "18446744073709551615"};
        return r.pick(sizes);
    }
    return r.chance(90) ? "\"" + word(r) + "\"" : "7";
}

std::string metadata(rng &r) {
    static const char *const keys[] = {".tag", "name", "id", "path_lower", "path_display", "size"};
    std::string meta = "{";
    for (const char *key : keys) {
        if (!r.chance(60)) continue;
        if (meta.size() > 1) meta += ",";
        meta += std::string("\"") + key + "\":" + member_value(r, key);
    }
    return meta + "}";
}

std::string page(rng &r, size_t entries) {
    std::string body = "{\"entries\":[";
    for (size_t i = 0; i < entries; ++i) body += (i > 0 ? "," : "") + (r.chance(90) ? metadata(r) : "null");
    body += std::string("],\"has_more\":") + (r.chance(40) ? "true" : "false");
    return body + (r.chance(80) ? ",\"cursor\":\"" + word(r) + "\"}" : "}");
}

std::string random_bytes(rng &r, size_t n) {
    std::string bytes(n, '\0');
    for (char &c : bytes) c = static_cast<char>(r.below(256));
    return bytes;
}

std::string huge(rng &r) {
    switch (r.below(3)) {
    case 0: return page(r, 20000);
    case 1: return "{\"link\":\"https://dl/" + std::string(3u << 20, 'x') + "\"}";
    default: return random_bytes(r, 2u << 20);
    }
}

// A body of the shape that the request asks for.
std::string shaped(rng &r, const std::string &url) {
    if (url.find("/oauth2/token") != std::string::npos) {
        return r.chance(80) ? "{\"access_token\":\"" + word(r) + "\"}" : "{\"access_token\":5}";
    }
    if (url.find("list_folder") != std::string::npos) return page(r, r.below(6));
    if (url.find("get_metadata") != std::string::npos) return metadata(r);
    if (url.find("get_temporary_link") != std::string::npos) {
        // Links around the 4096 bytes that the callers offer, terminator included.
        std::string link = r.chance(30) ? std::string(4094 + r.below(4), 'l') : "https://dl/" + word(r);
        return "{\"link\":\"" + link + "\"}";
    }
    return "{}";
}

std::string body_for(rng &r, const std::string &url) {
    static const char *const markers[] = {"expired_access_token", "path/not_found", "invalid_grant",
                                          "Invalid authorization"};
    size_t roll = r.below(100);
    if (roll < 1) return huge(r);
    if (roll < 10) return random_bytes(r, r.below(64));
    if (roll < 16) return r.pick(markers);
    std::string body = shaped(r, url);
    if (roll < 26) body.resize(r.below(body.size() + 1));
    return body;
}

std::string error_text(rng &r) {
    std::string text = "%s%n%x\xff\xc3(";
    size_t len = r.chance(25) ? 600 + r.below(400) : r.below(40);
    while (text.size() < len) text += "%n\xfe";
    if (r.chance(10)) text.insert(r.below(text.size()), 1, '\0');
    return text;
}

scripted_reply hostile_reply(rng &r, const std::string &url) {
    static const int statuses[] = {200, 200, 200, 200, 204, 299, 0,   -1,  199, 302,     400,
                                   401, 401, 404, 409, 429, 500, 503, 600, INT_MIN, INT_MAX};
    scripted_reply reply;
    reply.rc = r.chance(15) ? (r.chance(50) ? 1 : INT_MIN) : 0;
    reply.status = r.pick(statuses);
    reply.has_body = !r.chance(10);
    reply.body = body_for(r, url);
    reply.has_err = r.chance(30);
    reply.err = error_text(r);
    return reply;
}

// MARK: - What a decodable answer is

using doc_ptr = std::unique_ptr<yyjson_doc, decltype(&yyjson_doc_free)>;

yyjson_val *object_root(const std::string &text, doc_ptr &doc) {
    doc.reset(yyjson_read(text.c_str(), std::strlen(text.c_str()), 0));
    yyjson_val *root = yyjson_doc_get_root(doc.get());
    return yyjson_is_obj(root) ? root : nullptr;
}

bool list_shape(yyjson_val *root) { return yyjson_is_arr(yyjson_obj_get(root, "entries")); }
bool meta_shape(yyjson_val *root) { return !yyjson_equals_str(yyjson_obj_get(root, ".tag"), "deleted"); }
// A link that fits, with its terminator, in the 4096 bytes that every caller here offers.
bool link_shape(yyjson_val *root) {
    yyjson_val *link = yyjson_obj_get(root, "link");
    return yyjson_is_str(link) && yyjson_get_len(link) < 4096;
}

// Handler statuses by error code.
constexpr int32_t kStatusOfCode[] = {0, -1, -1, -2, -3, -4, -5, -6, -5, -5, -5, -8, -8};
constexpr char kMarker[] = "untouched";
constexpr char kSettings[] = R"({"access_token":"t","refresh_token":"r","app_key":"k"})";
const char *const kPaths[] = {"", "Music", "/a/b.mp3", "id:x1", "\xff"};

class Hostile : public ::testing::TestWithParam<std::tuple<uint64_t, bool>> {
protected:
    void SetUp() override {
        reset_module_state();
        io_.generator = [this](const captured_request &request) {
            last_ = hostile_reply(rng_, request.url);
            last_url_ = request.url;
            ++sent_;
            return last_;
        };
        record_ = io_.record(std::get<1>(GetParam()));
        qvdbx_set_io(&record_);
    }
    void TearDown() override { reset_module_state(); }

    // The last answer was a 2xx to an API request, with a body of `shape` (any body when null).
    bool answered(bool (*shape)(yyjson_val *)) const {
        if (sent_ == 0 || last_.rc != 0 || last_.status < 200 || last_.status > 299) return false;
        if (last_url_.find("/oauth2/token") != std::string::npos) return false;
        doc_ptr doc(nullptr, &yyjson_doc_free);
        yyjson_val *root = object_root(last_.has_body ? last_.body : "", doc);
        return shape == nullptr || (root != nullptr && shape(root));
    }

    // A failure recorded as its code says; a transport failure carries the transport's text.
    void expect_recorded_failure() const {
        EXPECT_NE(qvdbx_last_code(), 0);
        EXPECT_STRNE(qvdbx_strerror(qvdbx_last_code()), "unknown");
        if (sent_ == 0 || last_.rc == 0) return;
        EXPECT_EQ(qvdbx_last_code(), QVDBX_E_TRANSPORT);
        std::string text = last_.has_err ? std::string(last_.err.c_str()).substr(0, 511) : "transport failure";
        EXPECT_EQ(qvdbx_last_error(), text);
    }

    void expect_flat(int rc, bool success) const {
        EXPECT_EQ(rc >= 0, success) << rc << " " << qvdbx_last_error();
        if (rc >= 0) return;
        EXPECT_EQ(-rc, qvdbx_last_code());
        expect_recorded_failure();
    }

    // The backend's status for a failure: 3 not found, `auth` for codes 1 and 2, 6 for the
    // root's metadata, 5 for the rest.
    void expect_backend(int status, bool success, int auth) const {
        EXPECT_EQ(status == 0, success) << status << " " << qvdbx_last_error();
        if (status == 0) return;
        int code = qvdbx_last_code();
        int want = code == 3 ? 3 : code == 7 ? 6 : (code == 1 || code == 2) ? auth : 5;
        EXPECT_EQ(status, want) << qvdbx_last_error();
        expect_recorded_failure();
    }

    // A handler answer: success, a buffer too small for a whole listing, or the status of
    // the recorded code with the output untouched or an error document.
    void expect_handler(int32_t status, bool success, bool validate) {
        ASSERT_NE(std::memchr(out_, '\0', sizeof out_), nullptr);
        if (status == QVRCH_E_TOO_SMALL) {
            EXPECT_GE(std::strlen(qvdbx_result_json()), sizeof out_);
            return;
        }
        EXPECT_EQ(status == 0, success) << status << " " << out_;
        if (status == 0) return;
        int code = qvdbx_last_code();
        ASSERT_TRUE(code >= 0 && code <= QVDBX_E_BAD_CONFIG);
        EXPECT_EQ(status, validate && code == 0 ? QVRCH_E_AUTH : kStatusOfCode[code]);
        if (std::strcmp(out_, kMarker) == 0) return;
        doc_ptr doc(nullptr, &yyjson_doc_free);
        yyjson_val *root = object_root(out_, doc);
        EXPECT_TRUE(yyjson_obj_size(root) == 1 && yyjson_is_str(yyjson_obj_get(root, "error"))) << out_;
    }

    // Each buffer handed out went back once: through the slot, or to the standard free().
    void expect_released() {
        EXPECT_TRUE(io_.all_released());
        EXPECT_EQ(io_.handed_out, io_.released + io_.unowned.size());
#if defined(QVDBX_HAVE_ASAN)
        for (void *ptr : io_.unowned) EXPECT_TRUE(__asan_address_is_poisoned(ptr)) << "buffer kept";
#endif
        io_.handed_out = io_.released = 0;
        io_.unowned.clear();
        io_.requests.clear();
    }

    void expect_consistent() const {
        EXPECT_NE(std::memchr(qvdbx_last_error(), '\0', 512), nullptr);
        for (int i = -1; i <= qvdbx_count(); ++i) {
            EXPECT_TRUE(qvdbx_name(i) && qvdbx_id(i) && qvdbx_path_display(i));
        }
        doc_ptr doc(nullptr, &yyjson_doc_free);
        EXPECT_TRUE(yyjson_is_arr(yyjson_obj_get(object_root(qvdbx_result_json(), doc), "items")));
    }

    void run_one(size_t which);
    void backend_list(const char *path);
    void backend_page(const char *path);

    rng rng_{std::get<0>(GetParam()) * 2 + std::get<1>(GetParam())};
    capture_io io_;
    quendo_io record_{};
    scripted_reply last_;
    std::string last_url_;
    int sent_ = 0;
    char out_[1 << 16];
    const char *handed_ = nullptr;  // a next_cursor the host may still pass back
};

// Two pages in a row, the second often asking for the page after the first.
void Hostile::backend_list(const char *path) {
    for (int call = 0; call < 2; ++call) backend_page(path);
}

void Hostile::backend_page(const char *path) {
    sent_ = 0;
    qvdbx_backend_item items[4];
    qvdbx_list_request request{};
    request.items = items;
    request.capacity = 4;
    request.cursor = handed_ != nullptr && rng_.chance(75) ? handed_ : nullptr;
    const char *before = g_qv.handed_cursor;
    int status = qvdbx_backend()->list(nullptr, path, &request);
    expect_backend(status, answered(list_shape), QVDBX_BACKEND_AUTH);
    if (status == 0) {
        EXPECT_LE(request.count, 4u);
        EXPECT_EQ(request.next_cursor, g_qv.handed_cursor);
        handed_ = request.next_cursor;
    } else {
        EXPECT_EQ(g_qv.handed_cursor, before);  // still valid to pass back
    }
}

void Hostile::run_one(size_t which) {
    std::snprintf(out_, sizeof out_, "%s", kMarker);
    char buf[4096] = "";
    const qvrch_handler *handler = qvrch_get();
    const char *path = rng_.pick(kPaths);
    int rc = 0;
    // Each call runs before its answers are judged.
    switch (which) {
    case 0:
        rc = qvdbx_list(path);
        handed_ = nullptr;
        return expect_flat(rc, answered(list_shape));
    case 1:
        rc = qvdbx_list_next();
        return expect_flat(rc, sent_ == 0 ? rc == 0 : answered(list_shape));
    case 2:
        rc = qvdbx_stat(path, nullptr, nullptr, buf, sizeof buf, buf, 8);
        return expect_flat(rc, answered(meta_shape));
    case 3:
        rc = qvdbx_locator(path, buf, sizeof buf);
        EXPECT_TRUE(rc == 0 || buf[0] == '\0');
        return expect_flat(rc, answered(link_shape));
    case 4: return backend_list(path);
    case 5: {
        qvdbx_backend_item item{};
        rc = qvdbx_backend()->stat(nullptr, path, &item);
        return expect_backend(rc, answered(meta_shape), QVDBX_BACKEND_FAILED);
    }
    case 6:
        rc = qvdbx_backend()->locator(nullptr, path, buf, sizeof buf);
        return expect_backend(rc, answered(link_shape), QVDBX_BACKEND_AUTH);
    case 7:
        rc = handler->validate(&record_, kSettings, out_, sizeof out_);
        return expect_handler(rc, answered(nullptr), true);
    case 8:
        rc = handler->list(&record_, kSettings, path, out_, sizeof out_);
        handed_ = nullptr;
        return expect_handler(rc, answered(list_shape), false);
    default:
        rc = handler->stream_url(&record_, kSettings, R"({"path":"/a.mp3","size":1})", out_, sizeof out_);
        return expect_handler(rc, answered(link_shape), false);
    }
}

TEST_P(Hostile, AnswersNeverBreakTheModule) {
    for (int i = 0; i < 500 && !HasFailure(); ++i) {
        qvdbx_set_token("t");
        qvdbx_set_refresh("r", "k");
        sent_ = 0;
        size_t which = rng_.below(10);
        SCOPED_TRACE("iteration " + std::to_string(i) + ", operation " + std::to_string(which));
        run_one(which);
        expect_released();
        expect_consistent();
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, Hostile, ::testing::Combine(::testing::Values(1u, 2u, 3u), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<Hostile::ParamType> &p) {
                             return "seed" + std::to_string(std::get<0>(p.param)) +
                                    (std::get<1>(p.param) ? "_free_slot" : "_no_free_slot");
                         });

}  // namespace
