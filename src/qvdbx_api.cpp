// The exported flat functions (error getters, transport and credential setters, listing,
// stat and stream links) and the backend function table, under the section names of
// qvdbx.h. Each turns the client core's results into its face's return values; none
// decodes JSON lists itself or reaches the transport but through the core's request
// builders. Owns the static buffers of the backend's stat item.
#include "qvdbx_internal.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

// MARK: - Errors and version --------------------------------------------------

namespace {

constexpr const char *CODE_NAMES[] = {
    "ok",       "auth",     "auth_expired", "not_found", "rate_limited", "transport", "bad_request",
    "unsupported", "cancelled", "protocol", "oom", "invalid_arg", "bad_config",
};
static_assert(std::size(CODE_NAMES) == QVDBX_E_BAD_CONFIG + 1, "one name per code");

// The negated recorded code; a failure never comes back as 0 even if nothing was recorded.
int failure() noexcept { return g_qv.last_code != 0 ? -g_qv.last_code : -QVDBX_E_TRANSPORT; }

int succeed() noexcept {
    qvdbx_set_err(QVDBX_OK, "ok");
    return 0;
}

// Records `code` with a message of the module's own and returns it negated.
int fail_with(int code, const char *message) noexcept {
    qvdbx_set_err(code, "%s", message);
    return -code;
}

}  // namespace

extern "C" {

QVDBX_API const char *qvdbx_last_error(void) noexcept { return g_qv.last_error; }
QVDBX_API int qvdbx_last_code(void) noexcept { return g_qv.last_code; }
QVDBX_API int qvdbx_last_http_code(void) noexcept { return g_qv.last_http_code; }
QVDBX_API int qvdbx_retry_after_s(void) noexcept { return g_qv.retry_after_s; }

QVDBX_API const char *qvdbx_strerror(int code) noexcept {
    return static_cast<unsigned>(code) < std::size(CODE_NAMES) ? CODE_NAMES[code] : "unknown";
}

QVDBX_API const char *qvdbx_version(void) noexcept { return QVDBX_VERSION_STRING; }

}  // extern "C"

// MARK: - Transport -----------------------------------------------------------

extern "C" {

QVDBX_API void qvdbx_set_io(const quendo_io *io) noexcept {
    g_qv.io = io != nullptr ? *io : quendo_io{};
    g_qv.io_installed = io != nullptr ? 1 : 0;
}

}  // extern "C"

// MARK: - Credentials ---------------------------------------------------------

extern "C" {

QVDBX_API void qvdbx_set_token(const char *token) noexcept {
    qvdbx_replace(&g_qv.access_token, qvdbx_strdup(token));
}

QVDBX_API void qvdbx_set_refresh(const char *refresh_token, const char *app_key) noexcept {
    qvdbx_replace(&g_qv.refresh_token, qvdbx_strdup(refresh_token));
    qvdbx_replace(&g_qv.app_key, qvdbx_strdup(app_key));
}

}  // extern "C"

// MARK: - Listing -------------------------------------------------------------

namespace {

constexpr char EMPTY[] = "";

const qvdbx_entry *entry_at(int index) noexcept {
    return index >= 0 && index < g_qv.count ? &g_qv.entries[index] : nullptr;
}

const char *text_or_empty(const char *text) noexcept { return text != nullptr ? text : EMPTY; }

// A list answer's private copy, handed back to the page memory however the scope is left.
struct page_response_deleter {
    void operator()(char *response) const noexcept { qvdbx_done_with_page(response); }
};
using page_response = std::unique_ptr<char, page_response_deleter>;

}  // namespace

extern "C" {

QVDBX_API int qvdbx_list(const char *path) noexcept {
    qvdbx_heap_str api_path(qvdbx_normalize_api_path(path));
    if (!api_path) return fail_with(QVDBX_E_OOM, "oom");
    if (qvdbx_is_empty(g_qv.access_token)) return fail_with(QVDBX_E_AUTH, "no access_token");
    g_qv.cancel_requested = 0;
    char *raw = nullptr;
    int status = 0;
    size_t len = 0;
    int rc = qvdbx_rpc_list_folder(api_path.get(), nullptr, QVDBX_PAGE_LIMIT, &raw, &status, &len);
    page_response response(raw);
    if (rc != 0 || qvdbx_parse_list_response(response.get(), len, 0) != 0) return failure();
    return succeed();
}

QVDBX_API int qvdbx_list_next(void) noexcept {
    if (g_qv.has_more == 0 || g_qv.cursor == nullptr) return 0;
    if (g_qv.cancel_requested != 0) return fail_with(QVDBX_E_CANCELLED, "cancelled");
    char *raw = nullptr;
    int status = 0;
    size_t len = 0;
    int rc = qvdbx_rpc_list_folder("", g_qv.cursor, 0, &raw, &status, &len);
    page_response response(raw);
    if (rc != 0 || qvdbx_parse_list_response(response.get(), len, 1) != 0) return failure();
    return g_qv.has_more != 0 ? 1 : 0;
}

QVDBX_API void qvdbx_cancel(void) noexcept { g_qv.cancel_requested = 1; }

QVDBX_API int qvdbx_count(void) noexcept { return g_qv.count; }

QVDBX_API const char *qvdbx_name(int index) noexcept {
    const qvdbx_entry *entry = entry_at(index);
    return entry != nullptr ? text_or_empty(entry->name) : EMPTY;
}

QVDBX_API int qvdbx_is_folder(int index) noexcept {
    const qvdbx_entry *entry = entry_at(index);
    return entry != nullptr ? entry->is_folder : 0;
}

QVDBX_API int64_t qvdbx_size(int index) noexcept {
    const qvdbx_entry *entry = entry_at(index);
    return entry != nullptr ? entry->size : -1;
}

QVDBX_API const char *qvdbx_id(int index) noexcept {
    const qvdbx_entry *entry = entry_at(index);
    return entry != nullptr ? text_or_empty(entry->id) : EMPTY;
}

QVDBX_API const char *qvdbx_path_display(int index) noexcept {
    const qvdbx_entry *entry = entry_at(index);
    return entry != nullptr ? text_or_empty(entry->path_display) : EMPTY;
}

}  // extern "C"

// MARK: - Stat and stream links -----------------------------------------------

namespace {

using path_rpc = int (*)(const char *path, char **response, int *status) noexcept;

// Sends a request about one path, normalised first. The answer body, or nullptr with the
// negated code in *result.
qvdbx_heap_str request_about(path_rpc rpc, const char *path, int *result) noexcept {
    qvdbx_heap_str api_path(qvdbx_normalize_api_path(path));
    if (!api_path) {
        *result = fail_with(QVDBX_E_OOM, "oom");
        return nullptr;
    }
    char *raw = nullptr;
    int status = 0;
    int rc = rpc(api_path.get(), &raw, &status);
    qvdbx_heap_str response(raw);
    if (rc != 0) {
        *result = failure();
        return nullptr;
    }
    return response;
}

bool is_root_text(const char *path) noexcept {
    return qvdbx_is_empty(path) || std::strcmp(path, "/") == 0;
}

// Releases a decoded entry's strings however the scope is left.
struct scoped_entry {
    qvdbx_entry entry{};
    ~scoped_entry() { qvdbx_entry_release(&entry); }
};

void copy_text(char *out, size_t len, const char *text) noexcept {
    if (out != nullptr && len != 0) std::snprintf(out, len, "%s", text_or_empty(text));
}

}  // namespace

extern "C" {

QVDBX_API int qvdbx_stat(const char *path, int64_t *size_out, int *is_folder_out, char *id_out,
                         size_t id_len, char *display_out, size_t display_len) noexcept {
    if (is_root_text(path)) return fail_with(QVDBX_E_UNSUPPORTED, "root metadata unsupported");
    int result = 0;
    qvdbx_heap_str response = request_about(&qvdbx_rpc_get_metadata, path, &result);
    if (!response) return result;
    scoped_entry decoded;
    if (qvdbx_parse_metadata(response.get(), &decoded.entry) != 0) return failure();
    if (size_out != nullptr) *size_out = decoded.entry.size;
    if (is_folder_out != nullptr) *is_folder_out = decoded.entry.is_folder;
    copy_text(id_out, id_len, decoded.entry.id);
    copy_text(display_out, display_len, decoded.entry.path_display);
    return succeed();
}

QVDBX_API int qvdbx_locator(const char *path, char *buf, size_t size) noexcept {
    if (buf == nullptr || size == 0) return fail_with(QVDBX_E_INVALID_ARG, "bad buffer");
    buf[0] = '\0';
    int result = 0;
    qvdbx_heap_str response = request_about(&qvdbx_rpc_get_temp_link, path, &result);
    if (!response) return result;
    qvdbx_doc_ptr doc;
    const char *link = yyjson_get_str(yyjson_obj_get(qvdbx_json_read_object(response.get(), doc), "link"));
    if (link == nullptr) return fail_with(QVDBX_E_PROTOCOL, "temporary link missing");
    size_t needed = std::strlen(link) + 1;
    if (needed > size) return fail_with(QVDBX_E_INVALID_ARG, "locator buffer too small");
    std::memcpy(buf, link, needed);
    return succeed();
}

}  // extern "C"

// MARK: - Backend table -------------------------------------------------------

namespace {

// A stat item owns nothing: its texts live in these static buffers, the next stat
// overwrites them, and longer texts are cut to the buffer.
constexpr size_t NAME_BUF_SIZE = 512;
constexpr size_t PATH_BUF_SIZE = 1024;
constexpr size_t ID_BUF_SIZE = 256;
char g_name_buf[NAME_BUF_SIZE];
char g_path_buf[PATH_BUF_SIZE];
char g_id_buf[ID_BUF_SIZE];

// Table flags defined by the host's interface; the module writes them and reads none.
constexpr uint32_t BACKEND_FLAGS = 11;

constexpr uint32_t ITEM_SIZE = sizeof(qvdbx_backend_item);

int backend_status(int code) noexcept {
    switch (code) {
    case QVDBX_E_NOT_FOUND: return QVDBX_BACKEND_NOT_FOUND;
    case QVDBX_E_AUTH:
    case QVDBX_E_AUTH_EXPIRED: return QVDBX_BACKEND_AUTH;
    case QVDBX_E_CANCELLED: return QVDBX_BACKEND_CANCELLED;
    default: return QVDBX_BACKEND_FAILED;
    }
}

// The page "limit" for a host's capacity: the API takes 1 to 2000, and a capacity whose
// low 32 bits are not a positive number sends none.
int page_limit(uint64_t capacity) noexcept {
    int32_t as_int = static_cast<int32_t>(static_cast<uint32_t>(capacity));
    if (as_int <= 0) return 0;
    return capacity > static_cast<uint64_t>(QVDBX_PAGE_LIMIT) ? QVDBX_PAGE_LIMIT : as_int;
}

void fill_item(qvdbx_backend_item *item, const qvdbx_entry &entry) noexcept {
    *item = qvdbx_backend_item{};
    item->struct_size = ITEM_SIZE;
    item->flags = QVDBX_ITEM_FLAGS | (entry.id != nullptr ? QVDBX_ITEM_HAS_ID : 0u);
    item->name = entry.name;
    item->path = entry.path;
    item->is_folder = entry.is_folder;
    item->size = entry.size;
    item->extra_value = -1;
    item->id = entry.id;
    item->alt_path = entry.path;
}

// Fills the host's records from the table; false when the host's cancel flag stopped it.
bool fill_items(qvdbx_list_request *request) noexcept {
    uint64_t n = std::min<uint64_t>(static_cast<uint64_t>(g_qv.count), request->capacity);
    request->count = 0;
    for (uint64_t i = 0; i < n; ++i) {
        if (request->cancel != nullptr && *request->cancel != 0) {
            qvdbx_set_err(QVDBX_E_CANCELLED, "cancelled");
            return false;
        }
        fill_item(&request->items[i], g_qv.entries[i]);
    }
    request->count = n;
    return true;
}

void hand_out_cursor(qvdbx_list_request *request) noexcept {
    bool more = g_qv.has_more != 0 && g_qv.cursor != nullptr;
    qvdbx_replace(&g_qv.handed_cursor, more ? qvdbx_strdup(g_qv.cursor) : nullptr);
    request->has_more = more ? 1 : 0;
    request->next_cursor = g_qv.handed_cursor;
}

int backend_open(void *, const char *settings) noexcept {
    return qvdbx_load_settings(settings != nullptr ? settings : "{}", 1) == 0
               ? QVDBX_BACKEND_OK
               : QVDBX_BACKEND_OPEN_FAILED;
}

int backend_list(void *, const char *path, qvdbx_list_request *request) noexcept {
    if (request == nullptr || request->capacity == 0 || request->items == nullptr) {
        return QVDBX_BACKEND_BAD_ARGUMENT;
    }
    qvdbx_heap_str api_path(qvdbx_normalize_api_path(path));
    if (!api_path) return QVDBX_BACKEND_OOM;
    const char *cursor = qvdbx_is_empty(request->cursor) ? nullptr : request->cursor;
    char *raw = nullptr;
    int status = 0;
    size_t len = 0;
    int rc = qvdbx_rpc_list_folder(api_path.get(), cursor, page_limit(request->capacity), &raw,
                                   &status, &len);
    page_response response(raw);
    if (rc != 0) return backend_status(g_qv.last_code);
    // The cursor handed out last time stays alive until this call succeeds, so a host
    // that retries a failed or cancelled page with it never reads released memory.
    qvdbx_heap_str previous(g_qv.handed_cursor);
    g_qv.handed_cursor = nullptr;
    if (qvdbx_parse_list_response(response.get(), len, 0) != 0) {
        g_qv.handed_cursor = previous.release();
        return QVDBX_BACKEND_FAILED;
    }
    if (!fill_items(request)) {
        g_qv.handed_cursor = previous.release();
        return QVDBX_BACKEND_CANCELLED;
    }
    hand_out_cursor(request);
    return QVDBX_BACKEND_OK;
}

// Writes the stat item into the static buffers; `path` is the host's text as given.
void fill_stat_item(qvdbx_backend_item *item, const char *path, const char *name, const char *id,
                    int is_folder, int64_t size) noexcept {
    std::snprintf(g_name_buf, sizeof g_name_buf, "%s", name);
    if (*id != '\0') {
        std::snprintf(g_path_buf, sizeof g_path_buf, "%s%s", qvdbx_id_prefix(id), id);
    } else {
        std::snprintf(g_path_buf, sizeof g_path_buf, "%s", path);
    }
    *item = qvdbx_backend_item{};
    item->struct_size = ITEM_SIZE;
    item->flags = QVDBX_ITEM_FLAGS;
    item->name = g_name_buf;
    item->path = g_path_buf;
    item->is_folder = is_folder;
    item->size = size;
    item->extra_value = -1;
    if (*id != '\0') {
        std::snprintf(g_id_buf, sizeof g_id_buf, "%s", id);
        item->id = g_id_buf;
        item->flags |= QVDBX_ITEM_HAS_ID;
    }
    item->alt_path = g_path_buf;
}

int backend_stat(void *, const char *path, qvdbx_backend_item *item) noexcept {
    if (item == nullptr) return QVDBX_BACKEND_BAD_ARGUMENT;
    int64_t size = -1;
    int is_folder = 0;
    char id[ID_BUF_SIZE] = {0};
    char display[PATH_BUF_SIZE] = {0};
    int rc = qvdbx_stat(path, &size, &is_folder, id, sizeof id, display, sizeof display);
    if (rc == -QVDBX_E_UNSUPPORTED) return QVDBX_BACKEND_UNSUPPORTED;
    if (rc == -QVDBX_E_NOT_FOUND) return QVDBX_BACKEND_NOT_FOUND;
    if (rc != 0) return QVDBX_BACKEND_FAILED;
    // A name lost to memory fails the call rather than handing the host an empty one.
    qvdbx_heap_str name(qvdbx_last_segment(*display != '\0' ? display : path));
    if (!name) {
        qvdbx_set_err(QVDBX_E_OOM, "oom");
        return QVDBX_BACKEND_FAILED;
    }
    fill_stat_item(item, path, name.get(), id, is_folder, size);
    return QVDBX_BACKEND_OK;
}

int backend_locator(void *, const char *path, char *buf, size_t size) noexcept {
    int rc = qvdbx_locator(path, buf, size);
    if (rc == 0) return QVDBX_BACKEND_OK;
    if (rc == -QVDBX_E_NOT_FOUND) return QVDBX_BACKEND_NOT_FOUND;
    if (rc == -QVDBX_E_AUTH || rc == -QVDBX_E_AUTH_EXPIRED) return QVDBX_BACKEND_AUTH;
    return QVDBX_BACKEND_FAILED;
}

void backend_close(void *) noexcept { qvdbx_clear_entries(); }

const qvdbx_backend_table g_backend = {
    sizeof(qvdbx_backend_table), "dropbox", BACKEND_FLAGS, nullptr,
    &backend_open, &backend_list, &backend_stat, &backend_locator, &backend_close,
};

}  // namespace

extern "C" {

QVDBX_API const qvdbx_backend_table *qvdbx_backend(void) noexcept { return &g_backend; }

}  // extern "C"
