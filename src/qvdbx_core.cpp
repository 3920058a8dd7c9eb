// The client core: owns the global state g_qv and its error record, the JSON helpers and
// the page memory; makes authenticated posts through the host transport, classifies HTTP
// statuses, refreshes the token for one retry, builds the Dropbox requests and loads the
// settings document. Never decodes listing answers and never calls the host transport
// except through its post slot. Its sections are those of qvdbx_internal.h.
#include "qvdbx_internal.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#if defined(_WIN32) && defined(__SSE2__)
#include <emmintrin.h>
#endif

// MARK: - JSON ----------------------------------------------------------------

namespace {

yyjson_val *root_object(qvdbx_doc_ptr &doc) noexcept {
    yyjson_val *root = yyjson_doc_get_root(doc.get());
    if (!yyjson_is_obj(root)) {
        doc.reset();
        return nullptr;
    }
    return root;
}

}  // namespace

qvdbx_doc_ptr qvdbx_json_read(const char *text, size_t len) noexcept {
    // Without YYJSON_READ_INSITU the input is only read.
    return qvdbx_doc_ptr(
        yyjson_read_opts(const_cast<char *>(text), len, 0, qvdbx_json_alc(), nullptr));
}

yyjson_val *qvdbx_json_read_object(const char *text, qvdbx_doc_ptr &doc) noexcept {
    doc = text != nullptr ? qvdbx_json_read(text, std::strlen(text)) : nullptr;
    return root_object(doc);
}

yyjson_val *qvdbx_json_read_object_in_place(char *text, size_t len, qvdbx_doc_ptr &doc) noexcept {
    // In place, yyjson accepts exactly what it accepts from a read-only copy and yields
    // the same values; it skips copying the text into a buffer of its own. Its values go
    // into the page block cache.
    static const yyjson_alc page_values = {
        [](void *, size_t size) { return g_qv.page_values.take(size); },
        [](void *, void *block, size_t, size_t size) { return g_qv.page_values.grow(block, size); },
        [](void *, void *block) { g_qv.page_values.give(block); },
        nullptr,
    };
    doc = qvdbx_doc_ptr(yyjson_read_opts(text, len, YYJSON_READ_INSITU, &page_values, nullptr));
    return root_object(doc);
}

qvdbx_mut_doc_ptr qvdbx_json_new_object() noexcept {
    qvdbx_mut_doc_ptr doc(yyjson_mut_doc_new(qvdbx_json_alc()));
    yyjson_mut_val *root = doc ? yyjson_mut_obj(doc.get()) : nullptr;
    if (root == nullptr) return nullptr;
    yyjson_mut_doc_set_root(doc.get(), root);
    return doc;
}

qvdbx_heap_str qvdbx_json_write(const yyjson_mut_doc *doc, size_t *len) noexcept {
    return qvdbx_heap_str(yyjson_mut_write_opts(doc, 0, qvdbx_json_alc(), len, nullptr));
}

// MARK: - Page memory ---------------------------------------------------------

void *qvdbx_block_cache::take(size_t size) noexcept {
    void *block = nullptr;
    if (kept_ != nullptr && kept_size_ >= size) {
        block = kept_;
        size = kept_size_;
        kept_ = nullptr;
        kept_size_ = 0;
    } else {
        block = qvdbx_malloc(size);
    }
    // An earlier lent block that was not given back has been freed by its owner.
    lent_ = block;
    lent_size_ = block != nullptr ? size : 0;
    return block;
}

void *qvdbx_block_cache::grow(void *block, size_t size) noexcept {
    if (block == lent_ && size <= lent_size_) return block;
    void *grown = qvdbx_realloc(block, size);
    if (grown != nullptr && block == lent_) {
        lent_ = grown;
        lent_size_ = size;
    }
    return grown;
}

void qvdbx_block_cache::give(void *block) noexcept {
    if (block == nullptr) return;
    if (block != lent_) {
        std::free(block);
        return;
    }
    if (kept_size_ > lent_size_) {
        std::free(block);
    } else {
        std::free(kept_);
        kept_ = block;
        kept_size_ = lent_size_;
    }
    lent_ = nullptr;
    lent_size_ = 0;
}

void qvdbx_block_cache::release() noexcept {
    std::free(kept_);
    kept_ = nullptr;
    kept_size_ = 0;
    lent_ = nullptr;  // its holder frees it
    lent_size_ = 0;
}

void qvdbx_done_with_page(char *response) noexcept {
    if (g_qv.has_more != 0) {
        g_qv.page_copies.give(response);
        return;
    }
    qvdbx_release_page_memory();
    std::free(response);
}

void qvdbx_release_page_memory() noexcept {
    g_qv.page_copies.release();
    g_qv.page_values.release();
}

// MARK: - State ---------------------------------------------------------------

qvdbx_state g_qv;

// MARK: - Error record and strings --------------------------------------------

void qvdbx_set_err(int code, const char *format, ...) noexcept {
    g_qv.last_code = code;
    g_qv.last_error[0] = '\0';
    if (format == nullptr) return;
    va_list args;
    va_start(args, format);
    std::vsnprintf(g_qv.last_error, sizeof g_qv.last_error, format, args);
    va_end(args);
}

char *qvdbx_strdup(const char *s) noexcept {
    if (s == nullptr) return nullptr;
    size_t size = std::strlen(s) + 1;
    char *copy = static_cast<char *>(qvdbx_malloc(size));
    if (copy != nullptr) std::memcpy(copy, s, size);
    return copy;
}

// Programs for Windows that run under Wine get a C runtime whose strlen goes a byte at a
// time (0.16 ms for a list page of 906 KB, against 0.01 ms with glibc; a third of the
// entries' texts' time), so there the module scans aligned sixteen-byte blocks itself.
// An aligned block never reaches into the next page of memory, so the bytes it reads
// past the terminator are always readable, as in any C runtime's strlen.
size_t qvdbx_text_len(const char *s) noexcept {
#if defined(_WIN32) && defined(__SSE2__)
    const char *p = s;
    for (; reinterpret_cast<uintptr_t>(p) % 16 != 0; ++p) {
        if (*p == '\0') return static_cast<size_t>(p - s);
    }
    const __m128i zero = _mm_setzero_si128();
    for (;; p += 16) {
        __m128i block = _mm_load_si128(reinterpret_cast<const __m128i *>(p));
        auto nul = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, zero)));
        if (nul != 0) return static_cast<size_t>(p - s) + static_cast<size_t>(__builtin_ctz(nul));
    }
#else
    return std::strlen(s);
#endif
}

char *qvdbx_padded_copy(const char *s, size_t *len_out) noexcept {
    size_t len = qvdbx_text_len(s);
    if (len_out != nullptr) *len_out = len;
    char *copy = static_cast<char *>(g_qv.page_copies.take(len + YYJSON_PADDING_SIZE));
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, s, len);
    std::memset(copy + len, 0, YYJSON_PADDING_SIZE);
    return copy;
}

void qvdbx_replace(char **field, char *value) noexcept {
    std::free(*field);
    *field = value;
}

// MARK: - Authenticated requests ----------------------------------------------

namespace {

// The Dropbox API origin; every request URL and the token URL begin with it.
constexpr char API_BASE[] = "https://api.dropboxapi.com";
constexpr char AUTH_PARAM[] = "authorization=";
constexpr char BEARER[] = "Bearer ";

bool is_unreserved(unsigned char c) noexcept {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '.' || c == '_' || c == '~';
}

// RFC 3986 percent-encoding of every byte outside the unreserved set; measured first so
// that it allocates exactly once.
char *pct_encode(std::string_view s) noexcept {
    static constexpr char hex[] = "0123456789ABCDEF";
    size_t len = 0;
    for (unsigned char c : s) len += is_unreserved(c) ? 1 : 3;
    char *out = static_cast<char *>(qvdbx_malloc(len + 1));
    if (out == nullptr) return nullptr;
    char *w = out;
    for (unsigned char c : s) {
        if (is_unreserved(c)) {
            *w++ = static_cast<char>(c);
        } else {
            *w++ = '%';
            *w++ = hex[c >> 4];
            *w++ = hex[c & 0x0F];
        }
    }
    *w = '\0';
    return out;
}

void release_host_buffer(char *ptr) noexcept {
    if (ptr == nullptr) return;
    if (g_qv.io.free != nullptr) {
        g_qv.io.free(g_qv.io.ctx, ptr);
    } else {
        std::free(ptr);
    }
}

bool transport_installed() noexcept { return g_qv.io_installed != 0 && g_qv.io.post != nullptr; }

// Calls the post slot and turns its outputs into the contract of both posts: the status
// is stored, every host buffer is released once, and the body comes back as a private
// copy ("" when there was none), padded so that it can be parsed in place.
int post_and_copy(const char *url, const char *body, const char *content_type,
                  char **response, int *status, size_t *response_len) noexcept {
    char *host_body = nullptr;
    char *host_err = nullptr;
    int host_status = 0;
    int rc = g_qv.io.post(g_qv.io.ctx, url, body, content_type, &host_body, &host_status,
                          &host_err);
    g_qv.last_http_code = host_status;
    if (status != nullptr) *status = host_status;
    if (rc != 0) {
        if (host_err != nullptr) {
            qvdbx_set_err(QVDBX_E_TRANSPORT, "%s", host_err);
        } else {
            qvdbx_set_err(QVDBX_E_TRANSPORT, "transport failure");
        }
        release_host_buffer(host_err);
        release_host_buffer(host_body);
        return -1;
    }
    release_host_buffer(host_err);
    *response = qvdbx_padded_copy(host_body != nullptr ? host_body : "", response_len);
    release_host_buffer(host_body);
    if (*response == nullptr) {
        qvdbx_set_err(QVDBX_E_OOM, "oom");
        return -1;
    }
    return 0;
}

bool refuse_without_transport() noexcept {
    if (transport_installed()) return false;
    qvdbx_set_err(QVDBX_E_BAD_CONFIG, "no quendo_io installed");
    return true;
}

}  // namespace

char *qvdbx_auth_url(const char *path) noexcept {
    if (path == nullptr) return nullptr;
    // The bearer value is sized from the token, so a long token is never cut.
    const char *token = g_qv.access_token != nullptr ? g_qv.access_token : "";
    size_t bearer_size = sizeof BEARER + std::strlen(token);
    qvdbx_heap_str bearer(static_cast<char *>(qvdbx_malloc(bearer_size)));
    if (!bearer) return nullptr;
    std::snprintf(bearer.get(), bearer_size, "%s%s", BEARER, token);
    qvdbx_heap_str encoded(pct_encode(bearer.get()));
    if (!encoded) return nullptr;
    bearer.reset();
    size_t size = sizeof API_BASE + std::strlen(path) + 1 + sizeof AUTH_PARAM +
                  std::strlen(encoded.get());
    char *url = static_cast<char *>(qvdbx_malloc(size));
    if (url == nullptr) return nullptr;
    char separator = std::strchr(path, '?') != nullptr ? '&' : '?';
    std::snprintf(url, size, "%s%s%c%s%s", API_BASE, path, separator, AUTH_PARAM, encoded.get());
    return url;
}

int qvdbx_http_post_json(const char *path, const char *body, char **response, int *status,
                         size_t *response_len) noexcept {
    *response = nullptr;
    if (status != nullptr) *status = 0;
    if (refuse_without_transport()) return -1;
    qvdbx_heap_str url(qvdbx_auth_url(path));
    if (!url) {
        qvdbx_set_err(QVDBX_E_OOM, "oom");
        return -1;
    }
    return post_and_copy(url.get(), body != nullptr ? body : "null", "application/json",
                         response, status, response_len);
}

int qvdbx_http_post_form(const char *url, const char *body, char **response,
                         int *status) noexcept {
    *response = nullptr;
    if (refuse_without_transport()) return -1;
    return post_and_copy(url, body != nullptr ? body : "", "application/x-www-form-urlencoded",
                         response, status, nullptr);
}

// MARK: - Status classification -----------------------------------------------

namespace {

// Seconds to wait after a 429. The transport hands over no response headers, so the
// server's own hint is never seen and the wait is a constant.
constexpr int RATE_LIMIT_WAIT_S = 60;

bool contains(const char *haystack, std::string_view needle) noexcept {
    return haystack != nullptr && std::string_view(haystack).find(needle) != std::string_view::npos;
}

// Records the fixed `message` under `code` and answers the code.
int classified(int code, const char *message) noexcept {
    qvdbx_set_err(code, "%s", message);
    return code;
}

}  // namespace

int qvdbx_map_http(int status, const char *body) noexcept {
    g_qv.retry_after_s = 0;
    if (status == 429) {
        g_qv.retry_after_s = RATE_LIMIT_WAIT_S;
        qvdbx_set_err(QVDBX_E_RATE_LIMITED, "rate limited; retry after %ds", RATE_LIMIT_WAIT_S);
        return QVDBX_E_RATE_LIMITED;
    }
    if (status == 401)
        return contains(body, "expired_access_token")
                   ? classified(QVDBX_E_AUTH_EXPIRED, "expired_access_token")
                   : classified(QVDBX_E_AUTH, "invalid_access_token / unauthorized");
    if (status == 400)
        return contains(body, "Invalid authorization") || contains(body, "authorization value")
                   ? classified(QVDBX_E_AUTH, "invalid authorization (400 text/plain)")
                   : classified(QVDBX_E_BAD_REQUEST, "bad request");
    if (status == 409)
        return contains(body, "not_found") ? classified(QVDBX_E_NOT_FOUND, "path not found")
                                           : classified(QVDBX_E_BAD_REQUEST, "conflict");
    if (status >= 500) {
        qvdbx_set_err(QVDBX_E_TRANSPORT, "HTTP %d", status);
        return QVDBX_E_TRANSPORT;
    }
    if (status >= 200 && status <= 299) return QVDBX_OK;
    qvdbx_set_err(QVDBX_E_BAD_REQUEST, "HTTP %d", status);
    return QVDBX_E_BAD_REQUEST;
}

// MARK: - Token refresh and retry ---------------------------------------------

namespace {

constexpr char TOKEN_PATH[] = "/oauth2/token";

// Reads "access_token" from a 200 answer of the token endpoint and stores it.
int store_refreshed_token(const char *response) noexcept {
    qvdbx_doc_ptr doc;
    yyjson_val *root = qvdbx_json_read_object(response, doc);
    const char *token = yyjson_get_str(yyjson_obj_get(root, "access_token"));
    if (token == nullptr) {
        qvdbx_set_err(QVDBX_E_PROTOCOL, "refresh response missing access_token");
        return -1;
    }
    qvdbx_replace(&g_qv.access_token, qvdbx_strdup(token));
    if (g_qv.access_token == nullptr) {
        qvdbx_set_err(QVDBX_E_OOM, "oom");
        return -1;
    }
    return 0;
}

// The refresh-token grant form, built at its exact length so that no credential is cut.
char *refresh_form_body() noexcept {
    static constexpr char head[] = "grant_type=refresh_token&refresh_token=";
    static constexpr char mid[] = "&client_id=";
    qvdbx_heap_str refresh(pct_encode(g_qv.refresh_token));
    qvdbx_heap_str client(pct_encode(g_qv.app_key));
    if (!refresh || !client) return nullptr;
    size_t size = sizeof head + std::strlen(refresh.get()) + sizeof mid + std::strlen(client.get());
    char *body = static_cast<char *>(qvdbx_malloc(size));
    if (body != nullptr) std::snprintf(body, size, "%s%s%s%s", head, refresh.get(), mid, client.get());
    return body;
}

bool has_refresh_credentials() noexcept {
    return !qvdbx_is_empty(g_qv.refresh_token) && !qvdbx_is_empty(g_qv.app_key);
}

// The road of every Dropbox call: post and classify; after an authentication failure,
// with refresh credentials, one token refresh and one retry, never more.
int rpc_with_refresh(const char *path, const char *body, char **response, int *status,
                     size_t *response_len = nullptr) noexcept {
    if (qvdbx_http_post_json(path, body, response, status, response_len) != 0) return -1;
    int code = qvdbx_map_http(*status, *response);
    if (code == QVDBX_OK) return 0;
    if (code != QVDBX_E_AUTH && code != QVDBX_E_AUTH_EXPIRED) return -1;
    if (g_qv.refresh_token == nullptr || g_qv.app_key == nullptr) return -1;
    std::free(*response);
    *response = nullptr;
    if (qvdbx_try_refresh() != 0) return -1;
    if (qvdbx_http_post_json(path, body, response, status, response_len) != 0) return -1;
    return qvdbx_map_http(*status, *response) == QVDBX_OK ? 0 : -1;
}

}  // namespace

int qvdbx_try_refresh() noexcept {
    if (!has_refresh_credentials()) return -1;
    qvdbx_heap_str body(refresh_form_body());
    if (!body) return -1;
    char *raw = nullptr;
    int status = 0;
    char url[sizeof API_BASE + sizeof TOKEN_PATH];
    std::snprintf(url, sizeof url, "%s%s", API_BASE, TOKEN_PATH);
    if (qvdbx_http_post_form(url, body.get(), &raw, &status) != 0) return -1;
    qvdbx_heap_str response(raw);
    if (status != 200) {
        if (contains(response.get(), "invalid_grant")) {
            qvdbx_set_err(QVDBX_E_AUTH_EXPIRED, "refresh invalid_grant");
        } else {
            qvdbx_set_err(QVDBX_E_AUTH, "refresh failed HTTP %d", status);
        }
        return -1;
    }
    return store_refreshed_token(response.get());
}

// MARK: - Request builders ----------------------------------------------------

namespace {

// Writes `doc` and sends it; an unwritable body (no memory, or a string that is not
// UTF-8) is reported as "oom" and nothing is sent.
int send_document(const char *api_path, const qvdbx_mut_doc_ptr &doc, char **response,
                  int *status, size_t *response_len = nullptr) noexcept {
    *response = nullptr;
    qvdbx_heap_str body = doc ? qvdbx_json_write(doc.get(), nullptr) : nullptr;
    if (!body) {
        qvdbx_set_err(QVDBX_E_OOM, "oom");
        return -1;
    }
    return rpc_with_refresh(api_path, body.get(), response, status, response_len);
}

// Adds a copied string member to the root object; false when memory ran out.
bool add_string(const qvdbx_mut_doc_ptr &doc, const char *key, const char *value) noexcept {
    return doc && yyjson_mut_obj_add_strcpy(doc.get(), yyjson_mut_doc_get_root(doc.get()), key,
                                            value != nullptr ? value : "");
}

int rpc_with_path(const char *api_path, const char *path, char **response, int *status) noexcept {
    qvdbx_mut_doc_ptr doc = qvdbx_json_new_object();
    // A body missing a member would ask for something else: it is not sent.
    if (!add_string(doc, "path", path)) doc.reset();
    return send_document(api_path, doc, response, status);
}

}  // namespace

int qvdbx_rpc_list_folder(const char *path, const char *cursor, int limit, char **response,
                          int *status, size_t *response_len) noexcept {
    qvdbx_mut_doc_ptr doc = qvdbx_json_new_object();
    if (!qvdbx_is_empty(cursor)) {
        if (!add_string(doc, "cursor", cursor)) doc.reset();
        return send_document("/2/files/list_folder/continue", doc, response, status, response_len);
    }
    bool built = add_string(doc, "path", path) &&
                 (limit <= 0 ||
                  yyjson_mut_obj_add_int(doc.get(), yyjson_mut_doc_get_root(doc.get()), "limit", limit));
    if (!built) doc.reset();
    return send_document("/2/files/list_folder", doc, response, status, response_len);
}

int qvdbx_rpc_get_metadata(const char *path, char **response, int *status) noexcept {
    return rpc_with_path("/2/files/get_metadata", path, response, status);
}

int qvdbx_rpc_get_temp_link(const char *path, char **response, int *status) noexcept {
    return rpc_with_path("/2/files/get_temporary_link", path, response, status);
}

int qvdbx_rpc_get_current_account(char **response, int *status) noexcept {
    *response = nullptr;
    return rpc_with_refresh("/2/users/get_current_account", "null", response, status);
}

// MARK: - Settings ------------------------------------------------------------

namespace {

// Replaces `field` with a copy of the first member `key` when it is a string (and, with
// `non_empty`, not ""), else with NULL; false when a value could not be copied.
bool load_setting(char **field, yyjson_val *root, const char *key, bool non_empty) noexcept {
    const char *value = yyjson_get_str(yyjson_obj_get(root, key));
    if (value != nullptr && non_empty && *value == '\0') value = nullptr;
    qvdbx_replace(field, qvdbx_strdup(value));
    return value == nullptr || *field != nullptr;
}

}  // namespace

int qvdbx_load_settings(const char *json, int require_token) noexcept {
    if (qvdbx_is_empty(json)) {
        qvdbx_set_err(QVDBX_E_BAD_CONFIG, "empty settings");
        return -1;
    }
    qvdbx_doc_ptr doc;
    yyjson_val *root = qvdbx_json_read_object(json, doc);
    if (root == nullptr) {
        qvdbx_set_err(QVDBX_E_BAD_CONFIG, "settings not a JSON object");
        return -1;
    }
    bool copied = load_setting(&g_qv.access_token, root, "access_token", true);
    copied &= load_setting(&g_qv.refresh_token, root, "refresh_token", false);
    copied &= load_setting(&g_qv.app_key, root, "app_key", false);
    copied &= load_setting(&g_qv.default_path, root, "Path", false);
    doc.reset();
    // A value lost to memory would silently change what the caller configured (another
    // folder, no refresh), so it fails the load.
    if (!copied) {
        qvdbx_set_err(QVDBX_E_OOM, "oom");
        return -1;
    }
    if (require_token != 0 && qvdbx_is_empty(g_qv.access_token)) {
        qvdbx_set_err(QVDBX_E_BAD_CONFIG, "access_token required");
        return -1;
    }
    return 0;
}
