// The fixture transport: a quendo_io that answers each request from a table of canned
// responses loaded from a JSON document, so the whole module runs with no network. Owns
// the fixture table; never touches the client state.
#include "qvdbx_internal.h"

#include <cstring>

// MARK: - Fixture transport ---------------------------------------------------

namespace {

struct qvdbx_fixture {
    char *match;        // must occur in the request URL
    int32_t status;
    char *body;
    char *body_match;   // when set, must also occur in the request body
};

// The fixture table, zero at load: the records (NULL while empty), how many are held and
// how many the array has room for.
qvdbx_fixture *g_fx;
int32_t g_nfx;
int32_t g_capfx;

constexpr char NO_MATCH[] = "fake: no fixture matched";

bool occurs_in(const char *text, const char *needle) noexcept {
    return text != nullptr && std::strstr(text, needle) != nullptr;
}

bool fixture_matches(const qvdbx_fixture &fx, const char *url, const char *request_body) noexcept {
    if (!occurs_in(url, fx.match)) return false;
    return fx.body_match == nullptr || occurs_in(request_body, fx.body_match);
}

int fake_do(const char *url, const char *request_body, char **out_body, int *out_status,
            char **out_err) noexcept {
    *out_body = nullptr;
    *out_status = 0;
    if (out_err != nullptr) *out_err = nullptr;
    for (int32_t i = 0; i < g_nfx; ++i) {
        if (!fixture_matches(g_fx[i], url, request_body)) continue;
        *out_status = g_fx[i].status;
        *out_body = qvdbx_strdup(g_fx[i].body);
        return *out_body != nullptr ? 0 : -1;
    }
    if (out_err != nullptr) *out_err = qvdbx_strdup(NO_MATCH);
    return -1;
}

int fake_get(void *, const char *url, char **out_body, int *out_status, char **out_err) noexcept {
    return fake_do(url, nullptr, out_body, out_status, out_err);
}

int fake_post(void *, const char *url, const char *request_body, const char *, char **out_body,
              int *out_status, char **out_err) noexcept {
    return fake_do(url, request_body, out_body, out_status, out_err);
}

void fake_free(void *, void *ptr) noexcept { std::free(ptr); }

void release_fixture(qvdbx_fixture &fx) noexcept {
    std::free(fx.match);
    std::free(fx.body);
    std::free(fx.body_match);
}

// Records of the fixture table's first growth; every later growth doubles them.
constexpr int32_t FIRST_FIXTURE_SLOTS = 16;

bool grow_table() noexcept {
    if (g_capfx > INT32_MAX / 2) return false;
    int32_t capacity = g_capfx == 0 ? FIRST_FIXTURE_SLOTS : g_capfx * 2;
    void *grown = qvdbx_realloc(g_fx, static_cast<size_t>(capacity) * sizeof *g_fx);
    if (grown == nullptr) return false;
    g_fx = static_cast<qvdbx_fixture *>(grown);
    g_capfx = capacity;
    return true;
}

enum class fixture_read { skipped, loaded, out_of_memory };

// Reads one element. Elements that are not fixtures are skipped; when a copy fails nothing
// is kept (a fixture without its texts never reaches the matcher) and the load fails, so
// that a missing fixture is never taken for a loaded document.
fixture_read read_fixture(yyjson_val *element, qvdbx_fixture *fx) noexcept {
    if (!yyjson_is_obj(element) || yyjson_obj_size(element) == 0) return fixture_read::skipped;
    yyjson_val *match = yyjson_obj_get(element, "match");
    yyjson_val *status = yyjson_obj_get(element, "status");
    yyjson_val *body = yyjson_obj_get(element, "body");
    if (!yyjson_is_str(match) || !yyjson_is_int(status) || !yyjson_is_str(body)) {
        return fixture_read::skipped;
    }
    const char *body_match = yyjson_get_str(yyjson_obj_get(element, "body_match"));
    fx->match = qvdbx_strdup(yyjson_get_str(match));
    fx->body = qvdbx_strdup(yyjson_get_str(body));
    fx->body_match = qvdbx_strdup(body_match);
    // The low 32 bits of the integer, read as signed.
    fx->status = static_cast<int32_t>(static_cast<uint32_t>(yyjson_get_uint(status)));
    if (fx->match != nullptr && fx->body != nullptr && (body_match == nullptr || fx->body_match != nullptr)) {
        return fixture_read::loaded;
    }
    release_fixture(*fx);
    return fixture_read::out_of_memory;
}

}  // namespace

extern "C" {

QVDBX_API quendo_io *qvdbx_io_fake(quendo_io *io) noexcept {
    io->ctx = nullptr;
    io->get = &fake_get;
    io->post = &fake_post;
    io->free = &fake_free;
    return io;
}

QVDBX_API void qvdbx_fake_reset(void) noexcept {
    for (int32_t i = 0; i < g_nfx; ++i) release_fixture(g_fx[i]);
    std::free(g_fx);
    g_fx = nullptr;
    g_nfx = 0;
    g_capfx = 0;
}

QVDBX_API int qvdbx_fake_load(const char *json) noexcept {
    qvdbx_fake_reset();
    if (json == nullptr) return -1;
    qvdbx_doc_ptr doc = qvdbx_json_read(json, std::strlen(json));
    yyjson_val *root = yyjson_doc_get_root(doc.get());
    if (!yyjson_is_arr(root)) return -1;
    size_t index, count;
    yyjson_val *element;
    yyjson_arr_foreach(root, index, count, element) {
        qvdbx_fixture fx{};
        fixture_read read = read_fixture(element, &fx);
        if (read == fixture_read::skipped) continue;
        if (read == fixture_read::out_of_memory) return -1;
        if (g_nfx == g_capfx && !grow_table()) {
            release_fixture(fx);
            return -1;
        }
        g_fx[g_nfx++] = fx;
    }
    return 0;
}

}  // extern "C"
