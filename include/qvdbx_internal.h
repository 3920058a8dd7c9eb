// Shared by the module's source files and its tests; never installed, never seen by hosts.
// Holds the global client state, the entry record and the internal functions. After
// Memory, its sections are those of the source files that define them, in the same
// order: JSON to Settings in the client core (qvdbx_core.cpp), Entries and paths to List
// pages in the response decoding (qvdbx_parse.cpp).
#ifndef QVDBX_INTERNAL_H
#define QVDBX_INTERNAL_H

#include "qvdbx.h"

#include <yyjson.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#if !defined(YYJSON_VERSION_HEX) || YYJSON_VERSION_HEX < 0x000C00
#error "yyjson 0.12 or newer is required"
#endif

#if defined(__GNUC__) || defined(__clang__)
#define QVDBX_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define QVDBX_PRINTF(fmt, args)
#endif

// MARK: - Memory --------------------------------------------------------------
//
// Every allocation of the module goes through these seams so that the allocation-failure
// build can make the N-th one fail; in the real module they are the C runtime's heap.
// Everything is released with std::free, whichever seam allocated it.
#if defined(QVDBX_FAULT_INJECTION)
void *qvdbx_malloc(size_t size) noexcept;
void *qvdbx_realloc(void *ptr, size_t size) noexcept;
const yyjson_alc *qvdbx_json_alc() noexcept;
#else
inline void *qvdbx_malloc(size_t size) noexcept { return std::malloc(size); }
inline void *qvdbx_realloc(void *ptr, size_t size) noexcept { return std::realloc(ptr, size); }
inline const yyjson_alc *qvdbx_json_alc() noexcept { return nullptr; }
#endif

struct qvdbx_free_deleter {
    void operator()(void *ptr) const noexcept { std::free(ptr); }
};
using qvdbx_heap_str = std::unique_ptr<char, qvdbx_free_deleter>;

struct qvdbx_doc_deleter {
    void operator()(yyjson_doc *doc) const noexcept { yyjson_doc_free(doc); }
};
using qvdbx_doc_ptr = std::unique_ptr<yyjson_doc, qvdbx_doc_deleter>;

struct qvdbx_mut_doc_deleter {
    void operator()(yyjson_mut_doc *doc) const noexcept { yyjson_mut_doc_free(doc); }
};
using qvdbx_mut_doc_ptr = std::unique_ptr<yyjson_mut_doc, qvdbx_mut_doc_deleter>;

// MARK: - JSON ----------------------------------------------------------------

// Strict parse with the default flags of `len` bytes; nullptr on any failure.
qvdbx_doc_ptr qvdbx_json_read(const char *text, size_t len) noexcept;
// Root object of `text` (parsed whole), or nullptr with `doc` empty when it is not one.
yyjson_val *qvdbx_json_read_object(const char *text, qvdbx_doc_ptr &doc) noexcept;
// The same strict parse of the `len` bytes of a private copy made by qvdbx_padded_copy,
// in place: its strings are unescaped inside `text`, which must outlive `doc`.
yyjson_val *qvdbx_json_read_object_in_place(char *text, size_t len, qvdbx_doc_ptr &doc) noexcept;
// A new mutable document whose root is an empty object; nullptr when memory ran out.
qvdbx_mut_doc_ptr qvdbx_json_new_object() noexcept;
// Compact writer, default flags; nullptr when memory ran out or a string is not UTF-8.
qvdbx_heap_str qvdbx_json_write(const yyjson_mut_doc *doc, size_t *len) noexcept;

// MARK: - Page memory ---------------------------------------------------------
//
// Reading a listing page takes two big blocks, the answer's private copy and yyjson's
// values, and the next page needs about as much again. A heap that hands such blocks back
// to the system when they are freed (Windows' does, above about half a megabyte) would
// give fresh memory, and a page fault for every 4 KB of it, for each page; so each kind
// keeps its last block for the next page while the listing goes on.
class qvdbx_block_cache {
public:
    // The kept block when it holds `size` bytes, else a new one; the block is lent out.
    void *take(size_t size) noexcept;
    // The lent block grown to `size` (contents kept); nullptr when memory ran out.
    void *grow(void *block, size_t size) noexcept;
    // Takes back the lent block to keep it (the larger of it and the kept one); any other
    // block is freed.
    void give(void *block) noexcept;
    void release() noexcept;

private:
    void *kept_ = nullptr;
    size_t kept_size_ = 0;
    void *lent_ = nullptr;
    size_t lent_size_ = 0;
};

// Returns a list answer's private copy to its cache while the listing has more pages,
// else frees it.
void qvdbx_done_with_page(char *response) noexcept;
// Frees the kept page blocks.
void qvdbx_release_page_memory() noexcept;

// MARK: - State ---------------------------------------------------------------

// One listed file or folder; name and path are always set, path_display and id may be
// null. A decoded metadata record owns its four texts in one heap block that `name`
// points at, released with qvdbx_entry_release. The table's records own nothing: their
// texts live in the text blocks of their pages (qvdbx_state::text_blocks).
struct qvdbx_entry {
    char *name;
    char *path;          // locator for later requests: "id:..." or a lower-case/display path
    char *path_display;
    char *id;
    int32_t is_folder;
    int64_t size;        // bytes; -1 when not given and always for folders
};

struct qvdbx_state {
    quendo_io io;
    int32_t io_installed;
    char *access_token;
    char *refresh_token;
    char *app_key;
    char *default_path;
    qvdbx_entry *entries;
    int32_t count;
    int32_t capacity;
    // The texts of the table's entries, one heap block per decoded page, chained through
    // a pointer at the start of each block (newest first). A block never moves, so the
    // texts stay where they are while later pages are appended.
    char *text_blocks;
    char *cursor;
    int32_t has_more;
    // Set by qvdbx_cancel, possibly from another thread while a listing runs.
    std::atomic<int32_t> cancel_requested;
    int32_t last_code;
    int32_t last_http_code;
    int32_t retry_after_s;
    char last_error[512];
    // The items document. It is extended page by page rather than rewritten, so a
    // listing of n pages costs O(n): `result_len` bytes are in use out of `result_cap`,
    // and the first `result_count` table entries are written into it. `result_json` is
    // `result_buf` while the document is whole and null while there is none; a new
    // listing keeps the buffer (and the table's records) to write into them again.
    char *result_json;
    char *result_buf;
    size_t result_len;
    size_t result_cap;
    int32_t result_count;
    char *handed_cursor;
    qvdbx_block_cache page_copies;
    qvdbx_block_cache page_values;
};

extern qvdbx_state g_qv;

// MARK: - Error record and strings --------------------------------------------

// Records a failure: the code and a message of at most 511 characters. Outside text
// must only ever be an argument of "%s".
void qvdbx_set_err(int code, const char *format, ...) noexcept QVDBX_PRINTF(2, 3);
// Heap copy of `s` up to its first NUL; nullptr for nullptr or when memory ran out.
char *qvdbx_strdup(const char *s) noexcept;
// The same copy followed by the zero padding that yyjson's in-place reading needs; its
// length in *len when len is not null.
char *qvdbx_padded_copy(const char *s, size_t *len = nullptr) noexcept;
// strlen, also for texts as long as a list page (see qvdbx_core.cpp).
size_t qvdbx_text_len(const char *s) noexcept;
// The text of `s` ("" for null) without a second look at its bytes.
inline std::string_view qvdbx_view(const char *s) noexcept {
    return s != nullptr ? std::string_view(s, qvdbx_text_len(s)) : std::string_view("");
}
// memcpy of a short text, inline: a C runtime's memcpy call costs more than the copy.
inline void qvdbx_copy_bytes(char *dst, const char *src, size_t n) noexcept {
    if (n >= 8) {
        for (size_t i = 0; i + 8 < n; i += 8) std::memcpy(dst + i, src + i, 8);
        std::memcpy(dst + n - 8, src + n - 8, 8);
    } else if (n >= 4) {
        std::memcpy(dst, src, 4);
        std::memcpy(dst + n - 4, src + n - 4, 4);
    } else {
        for (size_t i = 0; i < n; ++i) dst[i] = src[i];
    }
}
// Replaces an owned string field with `value` (which it takes over).
void qvdbx_replace(char **field, char *value) noexcept;

inline bool qvdbx_is_empty(const char *s) noexcept { return s == nullptr || *s == '\0'; }

// MARK: - Authenticated requests ----------------------------------------------

// Full authenticated URL for an API path; nullptr for a null path or no memory.
char *qvdbx_auth_url(const char *path) noexcept;
// JSON post to an API path with the bearer token; 0, or -1 with the failure recorded.
// With `response_len`, the body's length is stored there too.
int qvdbx_http_post_json(const char *path, const char *body, char **response, int *status,
                         size_t *response_len = nullptr) noexcept;
// Form post to a complete URL, without the bearer token.
int qvdbx_http_post_form(const char *url, const char *body, char **response,
                         int *status) noexcept;

// MARK: - Status classification -----------------------------------------------

// Error code for an HTTP answer (0 for 2xx), recorded unless 0; rewrites retry_after_s.
int qvdbx_map_http(int status, const char *body) noexcept;

// MARK: - Token refresh and retry ---------------------------------------------

// Refresh-token grant; 0 when a new access token is stored.
int qvdbx_try_refresh() noexcept;

// MARK: - Request builders ----------------------------------------------------

// The most entries a list_folder page may ask for: the API takes 1 to 2000.
constexpr int QVDBX_PAGE_LIMIT = 2000;

// The four Dropbox calls: 0 on a 2xx answer (body in *response, a qvdbx_padded_copy),
// -1 with the failure recorded. *response may hold an error body either way; the caller
// frees it.
int qvdbx_rpc_list_folder(const char *path, const char *cursor, int limit, char **response,
                          int *status, size_t *response_len = nullptr) noexcept;
int qvdbx_rpc_get_metadata(const char *path, char **response, int *status) noexcept;
int qvdbx_rpc_get_temp_link(const char *path, char **response, int *status) noexcept;
int qvdbx_rpc_get_current_account(char **response, int *status) noexcept;

// MARK: - Settings ------------------------------------------------------------

// Replaces the credentials and the default path from a settings document.
int qvdbx_load_settings(const char *json, int require_token) noexcept;

// MARK: - Entries and paths ---------------------------------------------------

// Frees a decoded entry's texts and leaves its text pointers null.
void qvdbx_entry_release(qvdbx_entry *entry) noexcept;
// Decodes one metadata object into `entry`, which then owns its texts; 0, or -1 (with
// the failure recorded unless an argument is null).
int qvdbx_parse_metadata(const char *json, qvdbx_entry *entry) noexcept;
// A host path in API form, a heap copy: "" for the root (null, "" and "/"), else
// beginning with "/" or "id:". nullptr when memory ran out.
char *qvdbx_normalize_api_path(const char *path) noexcept;
// Heap copy of a path's display name: its last segment, "Dropbox" for the root.
char *qvdbx_last_segment(const char *path) noexcept;
// "" when `id` already carries the "id:" prefix of a Dropbox id, else "id:".
const char *qvdbx_id_prefix(const char *id) noexcept;

// MARK: - Items writer --------------------------------------------------------
//
// Writes an entry as the items document's object, byte for byte what yyjson's compact
// writer gives for the same members: `"` `\` and control characters escaped, `/` and
// other UTF-8 as they are, a text that is not UTF-8 refused.

// An entry as the items writer reads it, its texts measured once; an absent id or
// display path has no data.
struct qvdbx_item {
    std::string_view name, path, id, path_display;
    bool is_folder;
    int64_t size;
};

qvdbx_item qvdbx_item_of(const qvdbx_entry &entry) noexcept;
// Bytes that qvdbx_write_item may write for `item`.
size_t qvdbx_item_bound(const qvdbx_item &item) noexcept;
// Writes the object at `out` (room for qvdbx_item_bound bytes); its end, or nullptr when a
// text is not UTF-8.
char *qvdbx_write_item(char *out, const qvdbx_item &item) noexcept;

// MARK: - Items document ------------------------------------------------------

// Bytes of qvdbx_result_json().
size_t qvdbx_result_len() noexcept;

// MARK: - Entry table ---------------------------------------------------------

// Empties the listing (entries, cursor, items document) and frees what it holds.
void qvdbx_clear_entries() noexcept;

// MARK: - List pages ----------------------------------------------------------

// Decodes a list page into the listing: a new one when `append` is 0, else its next page.
// 0, or -1 with the failure recorded: a page that fails adds nothing, and a first page
// that fails leaves an empty listing.
int qvdbx_parse_list_result(const char *json, int append) noexcept;
// The same decode of an answer's private copy (qvdbx_padded_copy) of `len` bytes, parsed
// in place.
int qvdbx_parse_list_response(char *response, size_t len, int append) noexcept;

#endif  // QVDBX_INTERNAL_H
