// Allocation-failure driver. Each exported operation runs with the first, the second, the
// third ... allocation of the module failing (that one alone, or that one and every later
// one) until a run reaches no failure. At every point the result must be one that the
// operation gives for an exhausted heap, the state must stay consistent, and the same
// operation, set up again on what the failure left behind, must then give the full result.
// In the sanitizer build LeakSanitizer checks each operation's runs.
#include "capture_io.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define QVDBX_HAVE_LSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QVDBX_HAVE_LSAN 1
#endif
#endif
#if defined(QVDBX_HAVE_LSAN)
#include <sanitizer/lsan_interface.h>
#endif

// MARK: - The heap seams of the fault build
//
// Every allocation of the module, its own and yyjson's, is counted, and the armed one
// fails (with `g_persistent`, every later one too). Freeing stays std::free.

namespace {

long g_armed;  // 0: nothing fails
bool g_persistent;
long g_seen;
bool g_reached;

bool fail_now() noexcept {
    if (g_armed == 0) return false;
    ++g_seen;
    bool fail = g_seen == g_armed || (g_persistent && g_seen > g_armed);
    g_reached = g_reached || fail;
    return fail;
}

void arm(long n, bool persistent) noexcept {
    g_armed = n;
    g_persistent = persistent;
    g_seen = 0;
    g_reached = false;
}

// Stops failing; true when the armed allocation was reached.
bool disarm() noexcept {
    g_armed = 0;
    return g_reached;
}

void *json_malloc(void *, size_t size) { return qvdbx_malloc(size); }
void *json_realloc(void *, void *ptr, size_t, size_t size) { return qvdbx_realloc(ptr, size); }
void json_free(void *, void *ptr) { std::free(ptr); }
const yyjson_alc g_json_alc = {json_malloc, json_realloc, json_free, nullptr};

}  // namespace

void *qvdbx_malloc(size_t size) noexcept { return fail_now() ? nullptr : std::malloc(size); }
void *qvdbx_realloc(void *ptr, size_t size) noexcept { return fail_now() ? nullptr : std::realloc(ptr, size); }
const yyjson_alc *qvdbx_json_alc() noexcept { return &g_json_alc; }

namespace {

// MARK: - The server's answers

std::string quoted(const std::string &text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + '"';
}

std::string fixture(const char *match, int status, const std::string &body,
                    const char *body_match = nullptr) {
    std::string fx = "{\"match\":" + quoted(match) + ",\"status\":" + std::to_string(status) +
                     ",\"body\":" + quoted(body);
    if (body_match != nullptr) fx += ",\"body_match\":" + quoted(body_match);
    return fx + "}";
}

const std::string kOldPage =
    R"({"entries":[{"name":"old","path_lower":"/old/x"}],"cursor":"c0","has_more":true})";
const std::string kPage1 =
    R"({"entries":[{".tag":"folder","name":"Music","id":"a1","path_lower":"/music","path_display":"/Music"},)"
    R"({".tag":"deleted","name":"gone"},7,)"
    R"({".tag":"file","name":"b.mp3","path_lower":"/music/b.mp3","path_display":"/Music/b.mp3","size":4096},)"
    R"({"name":"c \"q\".flac","path_display":"/Music/c \"q\".flac","size":-5}],"cursor":"c1","has_more":true})";
const std::string kPage2 =
    R"({"entries":[{".tag":"file","name":"d.mp3","id":"d4","path_display":"/Music/d.mp3","size":0},)"
    R"({".tag":"folder","name":"Sub","path_lower":"/music/sub","path_display":"/Music/Sub","size":9}],)"
    R"("cursor":"c2","has_more":false})";
const std::string kMeta =
    R"({".tag":"file","name":"Song.mp3","id":"s1","path_lower":"/m/song.mp3","path_display":"/M/Song.mp3","size":42})";
const std::string kLink = "https://dl.example/x";
// Both pages as the items document must write them.
constexpr char kItems[] =
    R"({"items":[{"name":"Music","path":"id:a1","folder":true,"size":-1,"id":"a1","path_display":"/Music"},)"
    R"({"name":"b.mp3","path":"/music/b.mp3","folder":false,"size":4096,"path_display":"/Music/b.mp3"},)"
    R"({"name":"c \"q\".flac","path":"/Music/c \"q\".flac","folder":false,"size":-1,"path_display":"/Music/c \"q\".flac"},)"
    R"({"name":"d.mp3","path":"id:d4","folder":false,"size":0,"id":"d4","path_display":"/Music/d.mp3"},)"
    R"({"name":"Sub","path":"/music/sub","folder":true,"size":-1,"path_display":"/Music/Sub"}]})";
constexpr char kSettings[] = R"({"access_token":"t","refresh_token":"r","app_key":"k","Path":"Music"})";

const std::string kFixtures =
    "[" + fixture("Bearer%20old", 401, R"({"error_summary":"expired_access_token/"})") + "," +
    fixture("/oauth2/token", 200, R"({"access_token":"new"})") + "," +
    fixture("/2/files/list_folder", 200, kOldPage, "\"/Old\"") + "," +
    fixture("/2/files/list_folder/continue", 200, kPage2) + "," +
    fixture("/2/files/list_folder", 200, kPage1) + "," +
    fixture("/2/files/get_metadata", 200, kMeta) + "," +
    fixture("/2/files/get_temporary_link", 200, "{\"link\":" + quoted(kLink) + "}") + "," +
    fixture("/2/users/get_current_account", 200, R"({"account_id":"a"})") + "]";

// One entry as its page describes it.
struct want {
    const char *name, *path, *id, *display;
    int folder;
    int64_t size;
};
const std::vector<want> kWant1 = {
    {"Music", "id:a1", "a1", "/Music", 1, -1},
    {"b.mp3", "/music/b.mp3", nullptr, "/Music/b.mp3", 0, 4096},
    {"c \"q\".flac", "/Music/c \"q\".flac", nullptr, "/Music/c \"q\".flac", 0, -5},
};
const std::vector<want> kWant2 = {
    {"d.mp3", "id:d4", "d4", "/Music/d.mp3", 0, 0},
    {"Sub", "/music/sub", nullptr, "/Music/Sub", 1, -1},
};
std::vector<want> both_pages() {
    std::vector<want> all = kWant1;
    all.insert(all.end(), kWant2.begin(), kWant2.end());
    return all;
}

// MARK: - State predicates

bool same(const char *a, const char *b) { return a == b || (a && b && std::strcmp(a, b) == 0); }

// `field` holds `value`, or, after a failure, what a failed copy leaves in its place.
bool field_is(const char *field, const char *value, bool exact, const char *fallback = nullptr) {
    return same(field, value) || (!exact && same(field, fallback));
}

// An entry exactly as its page describes it: a text lost to memory fails the decode, so
// no entry in the table ever lacks a field or holds a fallback in its place.
bool entry_ok(const qvdbx_entry &e, const want &w) {
    return e.is_folder == w.folder && e.size == w.size && same(e.path, w.path) && same(e.id, w.id) &&
           same(e.path_display, w.display) && same(e.name, w.name);
}

// Table entries from `from` on hold `w` from its start.
bool entries_ok(const std::vector<want> &w, int from) {
    if (g_qv.count - from > static_cast<int>(w.size())) return false;
    for (int i = from; i < g_qv.count; ++i) {
        if (!entry_ok(g_qv.entries[i], w[static_cast<size_t>(i - from)])) return false;
    }
    return true;
}

// Everything a decode may change, the first `n` entries included, as one text.
std::string snapshot(int n) {
    std::string s;
    auto add = [&s](const char *text) { s.append(text != nullptr ? text : "<null>").push_back('|'); };
    for (int i = 0; i < n && i < g_qv.count; ++i) {
        const qvdbx_entry &e = g_qv.entries[i];
        for (const char *text : {e.name, e.path, e.id, e.path_display}) add(text);
        s += std::to_string(e.is_folder) + "," + std::to_string(e.size) + "|";
    }
    for (const char *text : {g_qv.cursor, g_qv.result_json, g_qv.handed_cursor}) add(text);
    return s + std::to_string(g_qv.has_more);
}

std::string g_before;
int g_before_count;

void take_before() {
    g_before_count = g_qv.count;
    g_before = snapshot(g_before_count);
}

bool kept() { return snapshot(g_before_count) == g_before; }
bool unchanged() { return g_qv.count == g_before_count && kept(); }

// A first-page decode failed: the table was emptied and the page added nothing to it.
bool cleared() {
    return g_qv.count == 0 && g_qv.cursor == nullptr && g_qv.has_more == 0 && g_qv.result_json == nullptr;
}

using yyjson_doc_ptr = std::unique_ptr<yyjson_doc, decltype(&yyjson_doc_free)>;

yyjson_doc_ptr parse(const char *text) {
    return yyjson_doc_ptr(yyjson_read(text, std::strlen(text), 0), &yyjson_doc_free);
}

bool item_ok(yyjson_val *item, const qvdbx_entry &e) {
    auto str = [item](const char *key) { return yyjson_get_str(yyjson_obj_get(item, key)); };
    return same(str("name"), e.name) && same(str("path"), e.path) && same(str("id"), e.id) &&
           same(str("path_display"), e.path_display) &&
           yyjson_get_bool(yyjson_obj_get(item, "folder")) == (e.is_folder != 0) &&
           yyjson_get_sint(yyjson_obj_get(item, "size")) == (e.size >= 0 ? e.size : -1) &&
           yyjson_obj_size(item) == 4u + (e.id != nullptr) + (e.path_display != nullptr);
}

// Items in the document, which must write the first entries of the table; -1 when it does not.
int document_items() {
    yyjson_doc_ptr doc = parse(qvdbx_result_json());
    yyjson_val *root = yyjson_doc_get_root(doc.get());
    yyjson_val *items = yyjson_obj_get(root, "items");
    if (yyjson_obj_size(root) != 1 || !yyjson_is_arr(items)) return -1;
    if (yyjson_arr_size(items) > static_cast<size_t>(g_qv.count)) return -1;
    size_t i, n;
    yyjson_val *item;
    yyjson_arr_foreach(items, i, n, item) {
        if (!item_ok(item, g_qv.entries[i])) return -1;
    }
    return static_cast<int>(yyjson_arr_size(items));
}

bool document_whole() { return g_qv.result_json != nullptr && document_items() == g_qv.count; }

// The table holds `w`; its document is whole, or absent after a failed write.
bool listed(const std::vector<want> &w, bool exact) {
    return g_qv.count == static_cast<int>(w.size()) && entries_ok(w, 0) &&
           (document_whole() || (!exact && g_qv.result_json == nullptr));
}

std::string dump() { return "state: " + std::to_string(g_qv.count) + " entries, " + snapshot(g_qv.count); }

// What holds after every run, failed or not.
void expect_consistent() {
    ASSERT_GE(g_qv.count, 0);
    ASSERT_LE(g_qv.count, g_qv.capacity);
    ASSERT_EQ(qvdbx_count(), g_qv.count);
    for (int i = -1; i <= g_qv.count; ++i) {
        ASSERT_TRUE(qvdbx_name(i) && qvdbx_id(i) && qvdbx_path_display(i));
        EXPECT_TRUE(qvdbx_is_folder(i) == 0 || qvdbx_is_folder(i) == 1);
        bool valid = i >= 0 && i < g_qv.count;
        EXPECT_TRUE(valid ? g_qv.entries[i].name && g_qv.entries[i].path
                          : *qvdbx_name(i) == '\0' && *qvdbx_id(i) == '\0' && qvdbx_size(i) == -1);
    }
    EXPECT_GE(document_items(), 0) << qvdbx_result_json();
    EXPECT_NE(std::memchr(qvdbx_last_error(), '\0', 512), nullptr);
    EXPECT_STRNE(qvdbx_strerror(qvdbx_last_code()), "unknown");
}

// MARK: - Outcomes

struct outcome {
    int rc;
    int code;
    std::string message;
    bool operator==(const outcome &o) const { return rc == o.rc && code == o.code && message == o.message; }
};
using outcomes = std::vector<outcome>;

// Nothing recorded: the record set up before the run is still there.
constexpr char kBefore[] = "before";
outcome untouched(int rc) { return {rc, QVDBX_E_RATE_LIMITED, kBefore}; }
outcome ok(int rc = 0) { return {rc, 0, "ok"}; }
const outcome kOom = {-10, 10, "oom"};
const outcome kTransport = {-5, 5, "transport failure"};  // the fixture's copy failed
const outcome kNoLink = {-9, 9, "temporary link missing"};
const outcomes kListFailures = {kOom, kTransport, {-9, 9, "list result not an object"}, {-9, 9, "bad metadata entry"}};
const outcomes kMetaFailures = {kOom, kTransport, {-9, 9, "metadata not an object"}, {-9, 9, "bad metadata"}};
const outcomes kLinkFailures = {kOom, kTransport, kNoLink};
// A value of the settings that cannot be copied fails the load rather than being dropped.
const outcomes kBadSettings = {{-8, 12, "settings not a JSON object"}, {-8, 12, "access_token required"}, {-8, 10, "oom"}};

// The same failures as a face reports them: its status `rc`, the same record.
outcome as(outcome o, int rc) { return {rc, o.code, o.message}; }
outcomes as(outcomes list, int rc) {
    for (outcome &o : list) o.rc = rc;
    return list;
}
outcomes operator+(outcomes a, const outcomes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string error_doc(const std::string &message) { return "{\"error\":" + quoted(message) + "}"; }
// An error document with `message`, or the fallback when it could not be written.
bool is_error_doc(const char *out, const std::string &message) {
    return out == error_doc(message) || std::string(out) == R"({"error":"failed"})";
}

// MARK: - Set-up shared by the operations

quendo_io g_fake;
const qvdbx_backend_table *bk() { return qvdbx_backend(); }
const qvrch_handler *handler() { return qvrch_get(); }

void serve(const char *token) {
    ASSERT_EQ(qvdbx_fake_load(kFixtures.c_str()), 0);
    qvdbx_set_io(qvdbx_io_fake(&g_fake));
    qvdbx_set_token(token);
    qvdbx_set_refresh(nullptr, nullptr);
}

void mark_record() { qvdbx_set_err(QVDBX_E_RATE_LIMITED, "%s", kBefore); }

char g_out[4096];
constexpr char kMarker[] = "untouched";

// A listing that an operation must replace, or leave in place.
void previous_listing() {
    serve("t");
    ASSERT_EQ(qvdbx_list("/Old"), 0);
    mark_record();
    std::snprintf(g_out, sizeof g_out, "%s", kMarker);
}

// MARK: - The state each result must leave ("exact": nothing failed)

void first_page_state(const outcome &got, bool exact) {
    if (got.rc == 0) {
        EXPECT_TRUE(listed(kWant1, exact) && same(g_qv.cursor, "c1") && g_qv.has_more == 1) << dump();
        return;
    }
    EXPECT_TRUE(got.code == QVDBX_E_PROTOCOL ? cleared() : unchanged() || (got.code == QVDBX_E_OOM && cleared()))
        << dump();
}

void next_page_state(const outcome &got, bool exact) {
    if (got.rc == 0) {
        EXPECT_TRUE(listed(both_pages(), exact) && same(g_qv.cursor, "c2") && !g_qv.has_more) << dump();
        return;
    }
    // A failed further page adds nothing, so asking for it again cannot list it twice.
    EXPECT_TRUE(unchanged()) << dump();
}

int64_t g_size;
int g_folder;
char g_id[16], g_display[64];

void stat_state(const outcome &got, bool) {
    EXPECT_TRUE(unchanged()) << dump();
    if (got.rc != 0) {
        EXPECT_TRUE(g_size == 7 && g_folder == 7 && same(g_id, kMarker) && same(g_display, kMarker));
        return;
    }
    EXPECT_TRUE(g_size == 42 && g_folder == 0 && same(g_id, "s1") && same(g_display, "/M/Song.mp3"));
}

void link_state(const outcome &got, bool) {
    EXPECT_TRUE(unchanged()) << dump();
    EXPECT_EQ(g_out, got.rc == 0 ? kLink : "");
}

void refresh_state(const outcome &got, bool) {
    EXPECT_EQ(g_out, got.rc == 0 ? kLink : "");
    EXPECT_TRUE(same(g_qv.refresh_token, "r") && same(g_qv.app_key, "k"));
    // The new token is stored once the refresh went through; a failed copy of it leaves none.
    const char *token = g_qv.access_token;
    bool declined = got.code == QVDBX_E_AUTH_EXPIRED || got.message == "refresh response missing access_token";
    if (got.rc == 0 || got == kNoLink) {
        EXPECT_STREQ(token, "new");
    } else if (declined) {
        EXPECT_STREQ(token, "old");
    } else {
        EXPECT_TRUE(same(token, "old") || same(token, "new") || (got == kOom && token == nullptr));
    }
}

void open_state(const outcome &got, bool exact) {
    if (got.message == "settings not a JSON object") {
        EXPECT_TRUE(same(g_qv.access_token, "tok") && same(g_qv.refresh_token, "pr") && same(g_qv.app_key, "pk") &&
                    same(g_qv.default_path, "/P"));
        return;
    }
    // A successful load holds every value; a failed one may have lost any of them.
    bool whole = exact || got.rc == 0;
    bool lost_later = got.code == QVDBX_E_OOM && same(g_qv.access_token, "t");
    EXPECT_TRUE(got.rc == 0 ? same(g_qv.access_token, "t") : g_qv.access_token == nullptr || lost_later);
    EXPECT_TRUE(field_is(g_qv.refresh_token, "r", whole) && field_is(g_qv.app_key, "k", whole) &&
                field_is(g_qv.default_path, "Music", whole));
}

int g_truncated;  // listings cut short by a lost cursor, reported with the counts
int g_absorbed;   // failed allocations after which the operation still reported success

qvdbx_backend_item g_items[8];
qvdbx_list_request g_request;
const char *g_handed;  // the next_cursor that the call before handed out
std::string g_handed_text;

bool item_is_entry(const qvdbx_backend_item &item, const qvdbx_entry &e) {
    return item.struct_size == 72 && item.name == e.name && item.path == e.path && item.alt_path == e.path &&
           item.id == e.id && item.is_folder == e.is_folder && item.size == e.size && item.extra_value == -1 &&
           item.extra_pointer == nullptr && item.flags == (e.id != nullptr ? 0x31u : 0x21u);
}

// One backend page of `w`, after an earlier call handed out a cursor.
void backend_list_state(const outcome &got, bool exact, const std::vector<want> &w, const char *next) {
    if (got.rc != 0) {
        // A failed page leaves the request alone and the cursor handed out before alive.
        EXPECT_TRUE(g_request.count == 77 && g_request.has_more == 7 && g_request.next_cursor == kMarker);
        EXPECT_TRUE(g_qv.handed_cursor == g_handed && same(g_handed, g_handed_text.c_str()));
        EXPECT_TRUE(unchanged() || (got.code != QVDBX_E_TRANSPORT && cleared())) << dump();
        return;
    }
    EXPECT_TRUE(listed(w, exact) && g_request.count == w.size()) << dump();
    for (size_t i = 0; i < g_request.count; ++i) EXPECT_TRUE(item_is_entry(g_items[i], g_qv.entries[i]));
    bool handed = g_request.has_more == (next != nullptr) && g_request.next_cursor == g_qv.handed_cursor &&
                  same(g_request.next_cursor, next);
    // Without memory for a copy of the cursor, the host hears of no further page, or gets
    // the promise of one without its cursor.
    bool lost = !exact && g_request.next_cursor == nullptr && g_qv.handed_cursor == nullptr &&
                (g_request.has_more == 1 || g_qv.cursor == nullptr);
    EXPECT_TRUE(handed || lost);
    if (!handed && g_request.has_more == 0) ++g_truncated;
}

qvdbx_backend_item g_stat_item;

void backend_stat_state(const outcome &got, bool) {
    EXPECT_TRUE(unchanged()) << dump();
    const qvdbx_backend_item &item = g_stat_item;
    if (got.rc != 0) {
        qvdbx_backend_item marked;
        std::memset(&marked, 0x5A, sizeof marked);
        EXPECT_EQ(std::memcmp(&item, &marked, sizeof marked), 0);
        return;
    }
    EXPECT_TRUE(item.struct_size == 72 && item.size == 42 && item.is_folder == 0 && item.extra_value == -1 &&
                item.alt_path == item.path && same(item.id, "s1") && same(item.path, "id:s1") &&
                item.flags == 0x31 && same(item.name, "Song.mp3"));
}

void validate_state(const outcome &got, bool) {
    if (got.rc == 0) {
        EXPECT_STREQ(g_out, "{}");
    } else {
        EXPECT_TRUE(is_error_doc(g_out, got.rc == -8 ? "bad config" : "auth failed")) << g_out;
    }
}

// Before it was mended, a document that could not be written gave {"error":"oom"} and -5
// while the record still said "ok".
void handler_list_state(const outcome &got, bool exact) {
    if (got.rc != 0) {
        EXPECT_TRUE(is_error_doc(g_out, got.rc == QVRCH_E_INVALID ? "bad config" : got.message)) << g_out;
        return;
    }
    EXPECT_TRUE(document_whole() && same(g_out, qvdbx_result_json())) << g_out;
    if (exact) { EXPECT_STREQ(g_out, kItems); }
    // A cursor lost to memory fails the listing rather than cutting it short.
    EXPECT_TRUE(listed(both_pages(), exact)) << dump();
}

void stream_url_state(const outcome &got, bool) {
    if (got.rc == 0) {
        EXPECT_STREQ(g_out, R"({"url":"https://dl.example/x","size":42})");
    } else if (got == ok(-4)) {
        EXPECT_STREQ(g_out, kMarker);  // the answer itself could not be written
    } else {
        const char *message = got.code == 4 ? "bad entry" : got.rc == QVRCH_E_INVALID ? "bad config" : nullptr;
        EXPECT_TRUE(is_error_doc(g_out, message != nullptr ? message : got.message)) << g_out;
    }
}

// Fixtures /f00/ to /f16/, enough to make the table grow past its first 16 records.
std::string numbered(int i) { return (i < 10 ? "0" : "") + std::to_string(i); }

std::string many_fixtures() {
    std::string doc = "[";
    for (int i = 0; i < 17; ++i) {
        doc += (i > 0 ? "," : "") + fixture(("/f" + numbered(i) + "/").c_str(), 200 + i, "b" + numbered(i));
    }
    return doc + "]";
}

// The status the fixture transport answers `url` with and its body; -1 when none matched.
int probe(const std::string &url, std::string *body) {
    quendo_io io{};
    qvdbx_io_fake(&io);
    char *out = nullptr, *err = nullptr;
    int status = 0;
    int rc = io.post(io.ctx, url.c_str(), "{}", "application/json", &out, &status, &err);
    body->assign(out != nullptr ? out : "");
    io.free(io.ctx, out);
    io.free(io.ctx, err);
    return rc == 0 ? status : -1;
}

void fake_load_state(const outcome &got, bool) {
    std::string body;
    EXPECT_EQ(probe("/2/files/get_metadata", &body), -1);  // the table loaded before is gone
    int loaded = 0;
    for (int i = 0; i < 17; ++i) {
        int status = probe("https://x/f" + numbered(i) + "/", &body);
        if (status == -1) continue;
        ++loaded;
        EXPECT_TRUE(status == 200 + i && body == "b" + numbered(i));
        EXPECT_TRUE(got.rc == 0 || i < 16);  // a failed load stops at the element it could not keep
    }
    // A fixture whose copy failed fails the load: a successful one holds every fixture.
    EXPECT_TRUE(got.rc != 0 || loaded == 17);
}

// MARK: - The operations

struct fault_case {
    const char *name;
    std::function<void()> setup;  // the starting state, built through the API on whatever is there
    std::function<int()> run;
    outcome clean;                // the result when nothing fails
    outcomes failures;            // the further results that a failed allocation may give
    std::function<void(const outcome &, bool exact)> state;
};

int list_music() { return qvdbx_list("Music"); }

void setup_backend(const char *first_path) {
    serve("t");
    ASSERT_EQ(bk()->open(nullptr, kSettings), 0);
    g_request = qvdbx_list_request{};
    g_request.items = g_items;
    g_request.capacity = 8;
    ASSERT_EQ(bk()->list(nullptr, first_path, &g_request), 0);
    g_handed = g_request.next_cursor;
    g_handed_text = g_handed;
    g_request.count = 77;
    g_request.has_more = 7;
    g_request.next_cursor = kMarker;
    mark_record();
}

int backend_list() { return bk()->list(nullptr, "Music", &g_request); }
const outcomes kBackendListFailures = outcomes{untouched(QVDBX_BACKEND_OOM)} + as(kListFailures, 5);

void stat_setup() {
    previous_listing();
    g_size = g_folder = 7;
    std::snprintf(g_id, sizeof g_id, "%s", kMarker);
    std::snprintf(g_display, sizeof g_display, "%s", kMarker);
    std::memset(&g_stat_item, 0x5A, sizeof g_stat_item);
}

int locate() { return qvdbx_locator("/M/Song.mp3", g_out, 64); }

void handler_setup() {
    serve("x");
    mark_record();
    std::snprintf(g_out, sizeof g_out, "%s", kMarker);
}

const std::vector<fault_case> &cases() {
    static const std::vector<fault_case> all = {
        {"list_first_page", previous_listing, list_music, ok(), kListFailures, first_page_state},
        {"list_continuation", [] { previous_listing(); ASSERT_EQ(list_music(), 0); mark_record(); },
         [] { return qvdbx_list_next(); }, untouched(0), kListFailures, next_page_state},
        {"stat", stat_setup,
         [] { return qvdbx_stat("M/Song.mp3", &g_size, &g_folder, g_id, sizeof g_id, g_display, sizeof g_display); },
         ok(), kMetaFailures, stat_state},
        {"locator", previous_listing, locate, ok(), kLinkFailures, link_state},
        {"refresh_and_retry", [] { handler_setup(); qvdbx_set_token("old"); qvdbx_set_refresh("r", "k"); }, locate,
         ok(), kLinkFailures + outcomes{{-2, 2, "expired_access_token"}, {-9, 9, "refresh response missing access_token"}},
         refresh_state},
        {"backend_open",
         [] {
             ASSERT_EQ(qvdbx_load_settings(R"({"access_token":"t","refresh_token":"pr","app_key":"pk","Path":"/P"})", 1), 0);
             qvdbx_set_token("tok");
             mark_record();
         },
         [] { return bk()->open(nullptr, kSettings); }, untouched(0), as(kBadSettings, QVDBX_BACKEND_OPEN_FAILED),
         open_state},
        {"backend_list_first_page", [] { setup_backend("/Old"); }, backend_list, untouched(0), kBackendListFailures,
         [](const outcome &got, bool exact) { backend_list_state(got, exact, kWant1, "c1"); }},
        {"backend_list_continuation", [] { setup_backend("Music"); g_request.cursor = g_handed; }, backend_list,
         untouched(0), kBackendListFailures,
         [](const outcome &got, bool exact) { backend_list_state(got, exact, kWant2, nullptr); }},
        {"backend_stat", stat_setup, [] { return bk()->stat(nullptr, "M/Song.mp3", &g_stat_item); }, ok(),
         as(kMetaFailures, QVDBX_BACKEND_FAILED), backend_stat_state},
        {"backend_locator", previous_listing, [] { return bk()->locator(nullptr, "/M/Song.mp3", g_out, 64); }, ok(),
         as(kLinkFailures, QVDBX_BACKEND_FAILED), link_state},
        {"handler_validate", handler_setup,
         [] { return handler()->validate(&g_fake, kSettings, g_out, sizeof g_out); }, untouched(0),
         kBadSettings + outcomes{as(kOom, -5), as(kTransport, -4)}, validate_state},
        {"handler_list", handler_setup,
         [] { return handler()->list(&g_fake, kSettings, nullptr, g_out, sizeof g_out); }, ok(),
         kBadSettings + as(kListFailures, -5) + outcomes{as(kTransport, -4)},
         handler_list_state},
        {"handler_stream_url", handler_setup,
         [] { return handler()->stream_url(&g_fake, kSettings, R"({"path":"/M/Song.mp3","size":42})", g_out, sizeof g_out); },
         ok(), kBadSettings + outcomes{untouched(-8), ok(-4), as(kOom, -5), as(kNoLink, -5), as(kTransport, -4)},
         stream_url_state},
        {"fixture_load", [] { serve("t"); mark_record(); }, [] { return qvdbx_fake_load(many_fixtures().c_str()); },
         untouched(0), {untouched(-1)}, fake_load_state},
        {"harness_decode_list", previous_listing,
         [] { return qvdbx_fuzz_decode_list_json(reinterpret_cast<const uint8_t *>(kPage1.data()), kPage1.size()); },
         untouched(0), outcomes{untouched(-1)} + as(kListFailures, -1), first_page_state},
        {"harness_build_locator", mark_record,
         [] {
             char *locator = qvdbx_fuzz_build_locator("x1", "/a");
             int rc = locator == nullptr ? -1 : same(locator, "id:x1") ? 0 : -2;
             std::free(locator);
             return rc;
         },
         untouched(0), {untouched(-1)}, [](const outcome &, bool) {}},
    };
    return all;
}

// MARK: - Driver

// Runs the operation once, the n-th allocation failing (0: none); true when it was reached.
bool run_once(const fault_case &c, long n, bool persistent) {
    c.setup();
    take_before();
    arm(n, persistent);
    int rc = c.run();
    bool failed = disarm();
    expect_consistent();
    outcome got = {rc, qvdbx_last_code(), qvdbx_last_error()};
    outcomes allowed = failed ? c.failures : outcomes{};
    allowed.push_back(c.clean);
    if (std::find(allowed.begin(), allowed.end(), got) == allowed.end()) {
        ADD_FAILURE() << "outcome " << got.rc << " / " << got.code << " \"" << got.message << "\"";
    }
    c.state(got, !failed);
    g_absorbed += failed && got == c.clean;
    return failed;
}

class Fault : public ::testing::TestWithParam<std::tuple<size_t, bool>> {};

TEST_P(Fault, EveryAllocationFailsInTurn) {
    const fault_case &c = cases()[std::get<0>(GetParam())];
    bool persistent = std::get<1>(GetParam());
    reset_module_state();
    long points = 0;
    for (long n = 1; run_once(c, n, persistent); ++n) {
        points = n;
        // The same operation, set up again on what the failure left: the full result.
        run_once(c, 0, persistent);
        if (HasFailure()) {
            ADD_FAILURE() << c.name << " with allocation " << n << " failing";
            break;
        }
    }
    reset_module_state();
#if defined(QVDBX_HAVE_LSAN)
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0) << c.name << " leaked";
#endif
    EXPECT_GT(points, 0);
    RecordProperty("failure_points", static_cast<int>(points));
    std::printf("[ FAULT    ] %-26s %-10s %3ld failure points, %2d ended in success, %d listings cut short\n",
                c.name, persistent ? "persistent" : "single", points, g_absorbed, g_truncated);
    g_truncated = g_absorbed = 0;
}

INSTANTIATE_TEST_SUITE_P(Ops, Fault, ::testing::Combine(::testing::Range<size_t>(0, cases().size()), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<Fault::ParamType> &p) {
                             return std::string(cases()[std::get<0>(p.param)].name) +
                                    (std::get<1>(p.param) ? "_persistent" : "_single");
                         });

}  // namespace
