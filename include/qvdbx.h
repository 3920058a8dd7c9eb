/*
 * quendo-quendovue-dropbox-client: a Dropbox client module for media-player hosts.
 *
 * The module browses the folders and files of a user's Dropbox and turns a file into a
 * playable stream URL (a Dropbox temporary link). It performs no networking of its own:
 * the host installs an HTTP transport (quendo_io) and the module builds every URL and
 * request body, hands them to the transport and decodes the answers.
 *
 * Three faces share one client core:
 *   - the flat functions below, which return 0 (or a documented non-negative value) on
 *     success and a negated error code (-1 .. -12) on failure;
 *   - the backend table (qvdbx_backend), whose operations return small positive statuses;
 *   - the remote-content handler table (qvrch_get), whose entry points answer with a JSON
 *     document and a negative status on failure.
 *
 * Threads: the module keeps one global state and takes no locks. Calls must not overlap;
 * the only exception is qvdbx_cancel, which may be called from any thread at any time.
 *
 * Strings handed to the host are borrowed unless a function says otherwise; each
 * function states how long they stay valid. This header compiles as C99 and as C++.
 */
#ifndef QVDBX_H
#define QVDBX_H

#include <stddef.h>
#include <stdint.h>

#if defined(QVDBX_BUILD)
#  if defined(_WIN32)
#    define QVDBX_API __declspec(dllexport)
#  else
#    define QVDBX_API __attribute__((visibility("default")))
#  endif
#else
#  define QVDBX_API
#endif

#if defined(__cplusplus)
#  define QVDBX_NOEXCEPT noexcept
extern "C" {
#else
#  define QVDBX_NOEXCEPT
#endif

/* MARK: - Errors and version ------------------------------------------------ */

/** Error codes. Flat functions return them negated; the error record keeps the last one. */
typedef enum qvdbx_code {
    QVDBX_OK = 0,              /* "ok" */
    QVDBX_E_AUTH = 1,          /* credentials rejected, refresh failed, no access token */
    QVDBX_E_AUTH_EXPIRED = 2,  /* access token expired, refresh token rejected */
    QVDBX_E_NOT_FOUND = 3,     /* the path does not exist */
    QVDBX_E_RATE_LIMITED = 4,  /* HTTP 429; see qvdbx_retry_after_s() */
    QVDBX_E_TRANSPORT = 5,     /* the transport failed, or the server answered 5xx */
    QVDBX_E_BAD_REQUEST = 6,   /* any other unexpected HTTP status */
    QVDBX_E_UNSUPPORTED = 7,   /* stat of the root folder */
    QVDBX_E_CANCELLED = 8,     /* a listing stopped by a cancel flag */
    QVDBX_E_PROTOCOL = 9,      /* an answer without the expected shape */
    QVDBX_E_OOM = 10,          /* memory ran out; the message is always "oom" */
    QVDBX_E_INVALID_ARG = 11,  /* unusable caller buffer */
    QVDBX_E_BAD_CONFIG = 12    /* no transport installed, or unusable settings */
} qvdbx_code;

/** Message of the last recorded failure (at most 511 characters), "" before any.
    The array lives as long as the module; the next recorded failure overwrites it. */
QVDBX_API const char *qvdbx_last_error(void) QVDBX_NOEXCEPT;

/** Code of the last recorded failure, or 0 after an explicit success ("ok").
    The record is sticky: most successful calls leave an earlier failure in place. */
QVDBX_API int qvdbx_last_code(void) QVDBX_NOEXCEPT;

/** HTTP status the transport reported for the last request; 0 before any. */
QVDBX_API int qvdbx_last_http_code(void) QVDBX_NOEXCEPT;

/** Seconds to wait after a rate-limited answer (60), 0 after any other answer. */
QVDBX_API int qvdbx_retry_after_s(void) QVDBX_NOEXCEPT;

/** Static name of a code ("ok", "auth", ...); "unknown" for anything outside 0..12. */
QVDBX_API const char *qvdbx_strerror(int code) QVDBX_NOEXCEPT;

/** The module's version, MAJOR.MINOR.PATCH. A host compiled against this header can
    compare these macros with qvdbx_version() of the module it loaded. Each is one plain
    #define line: the build reads the project's version from them. */

/** The major version. */
#define QVDBX_VERSION_MAJOR 1

/** The minor version. */
#define QVDBX_VERSION_MINOR 0

/** The patch version. */
#define QVDBX_VERSION_PATCH 0

/** The version in hex: (MAJOR << 16) | (MINOR << 8) | PATCH, for #if comparisons. */
#define QVDBX_VERSION_HEX 0x010000

/** The version text: the three numbers joined by dots. */
#define QVDBX_VERSION_STRING "1.0.0"

/** Static version text of the module: QVDBX_VERSION_STRING of the header it was built
    with. The same pointer on every call. */
QVDBX_API const char *qvdbx_version(void) QVDBX_NOEXCEPT;

/* MARK: - Transport --------------------------------------------------------- */

/** The host's HTTP transport: four pointer-sized slots, 32 bytes on 64-bit platforms.

    post: called synchronously with `ctx`, the complete URL, the request body and the
    content type ("application/json" or "application/x-www-form-urlencoded"); no other
    header is ever needed (the bearer token travels in the URL's "authorization"
    parameter). The module presets *body = NULL, *status = 0, *err = NULL. Return 0 when
    the HTTP exchange took place (any status), nonzero for a failure below HTTP, with an
    optional message in *err. Every non-NULL buffer placed in *body or *err passes to the
    module, which releases it exactly once through `free` when set, else the standard
    free() of the process heap.
    get: carried but never called by the module. */
typedef struct quendo_io {
    void *ctx;
    int (*get)(void *ctx, const char *url, char **body, int *status, char **err);
    int (*post)(void *ctx, const char *url, const char *request_body,
                const char *content_type, char **body, int *status, char **err);
    void (*free)(void *ctx, void *ptr);
} quendo_io;

/** Installs a copy of `io` (the host may discard its record afterwards); NULL removes
    the transport. A record whose `post` is NULL makes every request fail with
    QVDBX_E_BAD_CONFIG "no quendo_io installed". */
QVDBX_API void qvdbx_set_io(const quendo_io *io) QVDBX_NOEXCEPT;

/* MARK: - Credentials ------------------------------------------------------- */

/** Stores a copy of the OAuth2 access token; NULL leaves no token. */
QVDBX_API void qvdbx_set_token(const char *token) QVDBX_NOEXCEPT;

/** Stores copies of the refresh token and the app key (OAuth2 client id) together; a
    NULL argument clears its value. With both non-empty, a request rejected for an
    invalid or expired token is sent once more after one token refresh. */
QVDBX_API void qvdbx_set_refresh(const char *refresh_token, const char *app_key) QVDBX_NOEXCEPT;

/* MARK: - Listing ----------------------------------------------------------- */

/** Lists the first page of `path` ("Music", "/Music" or an "id:..." locator; NULL, ""
    and "/" mean the root) into the entry table, replacing the previous listing.
    Returns 0 ("ok" recorded) or a negated code: -1 without an access token (nothing
    sent), -12 without a transport, -3 for a missing folder, -9 for a bad answer, ...
    A failed request leaves the previous listing readable. */
QVDBX_API int qvdbx_list(const char *path) QVDBX_NOEXCEPT;

/** Appends the next page of the current listing. Returns 1 when a page was appended and
    more remain, 0 when the last page was appended or nothing is left to fetch (nothing
    sent), -8 once qvdbx_cancel() was called (until the next qvdbx_list), or a negated
    code; a failed request leaves the table and cursor as they were, so it can be retried.
    Entry strings read before the append stay valid. */
QVDBX_API int qvdbx_list_next(void) QVDBX_NOEXCEPT;

/** Makes the next qvdbx_list_next() fail with -8 without sending anything. Never
    interrupts a request. Safe to call from any thread at any time. */
QVDBX_API void qvdbx_cancel(void) QVDBX_NOEXCEPT;

/** Number of entries in the table. */
QVDBX_API int qvdbx_count(void) QVDBX_NOEXCEPT;

/** Fields of entry `index` (0 <= index < qvdbx_count()). Strings are never NULL: a
    missing value or an index out of range gives "". They stay valid until the table is
    emptied (the next qvdbx_list, backend list or close, handler list, or decode harness).
    Out of range: qvdbx_is_folder 0, qvdbx_size -1. A folder's size is always -1, as is a
    file's whose size was not given. */
QVDBX_API const char *qvdbx_name(int index) QVDBX_NOEXCEPT;
QVDBX_API int qvdbx_is_folder(int index) QVDBX_NOEXCEPT;
QVDBX_API int64_t qvdbx_size(int index) QVDBX_NOEXCEPT;
QVDBX_API const char *qvdbx_id(int index) QVDBX_NOEXCEPT;
QVDBX_API const char *qvdbx_path_display(int index) QVDBX_NOEXCEPT;

/** The items document of the whole table, for example
    {"items":[{"name":"a.mp3","path":"id:...","folder":false,"size":4096,"id":"id:...",
    "path_display":"/Music/a.mp3"}]}: compact JSON; "path" is the locator to pass back for
    stat and links; "size" is -1 for folders and unknown sizes; "id" and "path_display"
    appear only when known. {"items":[]} when the table is empty. Borrowed; valid until
    the next page decode or until the table is emptied. */
QVDBX_API const char *qvdbx_result_json(void) QVDBX_NOEXCEPT;

/* MARK: - Stat and stream links --------------------------------------------- */

/** Metadata of one file or folder (not the root: NULL, "" and "/" give -7 with nothing
    sent). On success writes each output whose pointer is not NULL (and whose length is
    not 0): the size (-1 for folders and unknown sizes), the folder flag, the id and the
    display path, the texts cut to fit and always terminated. Outputs are untouched on
    failure. Returns 0 ("ok" recorded) or a negated code (-3 missing, -9 bad answer). */
QVDBX_API int qvdbx_stat(const char *path, int64_t *size_out, int *is_folder_out,
                         char *id_out, size_t id_len,
                         char *display_out, size_t display_len) QVDBX_NOEXCEPT;

/** Writes a temporary, directly streamable link to the file `path` into `buf`. Returns 0
    ("ok" recorded) or a negated code: -11 for a NULL or empty buffer (nothing written)
    or one too small for the link, -9 for an answer without a link, -3 for a missing
    file. After any failure past the buffer check `buf` holds "". */
QVDBX_API int qvdbx_locator(const char *path, char *buf, size_t size) QVDBX_NOEXCEPT;

/* MARK: - Backend table ----------------------------------------------------- */

/** Backend statuses: returned by the table's operations (close returns nothing). */
#define QVDBX_BACKEND_OK 0
#define QVDBX_BACKEND_NOT_FOUND 3
#define QVDBX_BACKEND_AUTH 4
#define QVDBX_BACKEND_FAILED 5
#define QVDBX_BACKEND_UNSUPPORTED 6
#define QVDBX_BACKEND_CANCELLED 7
#define QVDBX_BACKEND_OPEN_FAILED 8
#define QVDBX_BACKEND_BAD_ARGUMENT 9
#define QVDBX_BACKEND_OOM 10

/** Item flags: always QVDBX_ITEM_FLAGS; QVDBX_ITEM_HAS_ID is added when `id` is set. */
#define QVDBX_ITEM_FLAGS 0x21u
#define QVDBX_ITEM_HAS_ID 0x10u

/** One listed or stat'ed entry (72 bytes). The module zeroes it before filling it.
    Listed items point into the entry table; stat items into static buffers that the
    next stat overwrites. The host never releases these strings. */
typedef struct qvdbx_backend_item {
    uint32_t struct_size;     /* 72 */
    uint32_t flags;           /* 0x21, or 0x31 when `id` is set */
    const char *name;         /* display name */
    const char *path;         /* locator to pass back: "id:..." when the id is known */
    int32_t is_folder;        /* 1 for a folder */
    int64_t size;             /* bytes; -1 for folders and unknown sizes */
    int64_t extra_value;      /* always -1 */
    void *extra_pointer;      /* always NULL */
    const char *id;           /* Dropbox id, or NULL */
    const char *alt_path;     /* the same pointer as `path` */
} qvdbx_backend_item;

/** One page request of the backend's list operation. The module reads and writes only
    these 64 bytes. */
typedef struct qvdbx_list_request {
    uint64_t reserved;              /* neither read nor written */
    const char *cursor;             /* in: previous next_cursor; NULL or "" = first page */
    qvdbx_backend_item *items;      /* in: the host's records */
    uint64_t capacity;              /* in: records in `items`, at least 1 */
    uint64_t count;                 /* out: records filled */
    int32_t has_more;               /* out: 1 when a further page exists */
    const char *next_cursor;        /* out: owned by the module; NULL when no further page */
    const int32_t *cancel;          /* in: optional; nonzero stops the listing (status 7) */
} qvdbx_list_request;

/** The backend table (72 bytes). Every operation ignores its first argument.
    open:    loads a settings document (NULL counts as "{}", which holds no token) and
             replaces all stored credentials; 0, or 8 without a usable access token.
    list:    one page of `path` (or the page after request->cursor) into request->items;
             continuation pages replace the previous page in the entry table. 0, 3, 4, 5,
             7 (cancelled), 9 (bad request record), 10.
    stat:    metadata of one path into *item; 0, 3, 5 (any other failure, authentication
             included), 6 (root), 9 (item NULL).
    locator: stream link into buf; 0, 3, 4 (authentication), 5 (anything else).
    close:   empties the entry table; credentials and transport stay. */
typedef struct qvdbx_backend_table {
    uint32_t struct_size;     /* 72 */
    const char *name;         /* "dropbox" */
    uint32_t flags;           /* 11 */
    void *reserved;           /* NULL */
    int (*open)(void *ctx, const char *settings);
    int (*list)(void *ctx, const char *path, qvdbx_list_request *request);
    int (*stat)(void *ctx, const char *path, qvdbx_backend_item *item);
    int (*locator)(void *ctx, const char *path, char *buf, size_t size);
    void (*close)(void *ctx);
} qvdbx_backend_table;

/** The backend table; the same read-only pointer on every call. */
QVDBX_API const qvdbx_backend_table *qvdbx_backend(void) QVDBX_NOEXCEPT;

/* MARK: - Remote content handler -------------------------------------------- */

/** Handler statuses. -7 is never produced. */
#define QVRCH_OK 0
#define QVRCH_E_AUTH (-1)
#define QVRCH_E_NOT_FOUND (-2)
#define QVRCH_E_RATE_LIMITED (-3)
#define QVRCH_E_IO (-4)
#define QVRCH_E_FAILED (-5)
#define QVRCH_E_UNSUPPORTED (-6)
#define QVRCH_E_INVALID (-8)
#define QVRCH_E_TOO_SMALL (-9)

/** The handler table (40 bytes). Each entry point stands alone: it installs `io` when
    not NULL, loads `settings_json` (which must hold a non-empty "access_token"; else
    {"error":"bad config"} and -8) and answers with compact JSON written into `out`
    (`out_len` bytes, the terminator included). Failures write {"error":"..."} when it
    fits (or {"error":"failed"} for messages that are long or may hold a token); a
    missing or small buffer gives -9 with `out` untouched.
    validate:   checks the account; "{}".
    list:       the whole folder `path` (NULL or "" = the settings' "Path", else the
                root), all pages, as the items document (see qvdbx_result_json).
    stream_url: `entry_json` is an object with "path" (or "id", or "Path") and an optional
                integer "size"; answers {"url":"...","size":N}. */
typedef struct qvrch_handler {
    const char *name;         /* "DROPBOX" */
    int64_t handler_id;       /* 35 */
    int32_t (*validate)(const quendo_io *io, const char *settings_json,
                        char *out, int32_t out_len);
    int32_t (*list)(const quendo_io *io, const char *settings_json, const char *path,
                    char *out, int32_t out_len);
    int32_t (*stream_url)(const quendo_io *io, const char *settings_json,
                          const char *entry_json, char *out, int32_t out_len);
} qvrch_handler;

/** The handler table; the same read-only pointer on every call. */
QVDBX_API const qvrch_handler *qvrch_get(void) QVDBX_NOEXCEPT;

/* MARK: - Fixture transport ------------------------------------------------- */

/** Fills `io` (not NULL) with the fixture transport and returns it; installs nothing.
    Each request is answered by the first loaded fixture whose "match" occurs in the URL
    and whose optional "body_match" occurs in the request body; with none, the request
    fails with "fake: no fixture matched". */
QVDBX_API quendo_io *qvdbx_io_fake(quendo_io *io) QVDBX_NOEXCEPT;

/** Replaces the fixtures with those of a JSON array of objects
    {"match": text, "status": integer, "body": text, "body_match": text (optional)};
    other elements are skipped. 0, or -1 (NULL, not JSON, not an array, out of memory:
    the table is then empty, or holds the fixtures loaded before memory ran out). */
QVDBX_API int qvdbx_fake_load(const char *json) QVDBX_NOEXCEPT;

/** Empties the fixture table. */
QVDBX_API void qvdbx_fake_reset(void) QVDBX_NOEXCEPT;

/* MARK: - Harness entry points ---------------------------------------------- */

/** Decodes `len` bytes (up to the first NUL) as a first list page, as qvdbx_list would.
    0, or -1 (NULL bytes, out of memory, or an undecodable page with the code recorded). */
QVDBX_API int qvdbx_fuzz_decode_list_json(const uint8_t *bytes, uint64_t len) QVDBX_NOEXCEPT;

/** The locator of an entry: the id when it begins with "id:", else "id:" and the id when
    the id is not empty, else a copy of `path` (or ""). The caller releases it with
    free(); NULL when memory ran out. */
QVDBX_API char *qvdbx_fuzz_build_locator(const char *id, const char *path) QVDBX_NOEXCEPT;

#if defined(__cplusplus)
} /* extern "C" */
#endif

/* MARK: - Record layouts ---------------------------------------------------- */

#if defined(__cplusplus)
#  define QVDBX_STATIC_ASSERT static_assert
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#  define QVDBX_STATIC_ASSERT _Static_assert
#else
/* C99 has no _Static_assert (glibc supplies one, mingw-w64 does not): a negative array
   size stops the build instead. */
#  define QVDBX_STATIC_ASSERT(expr, what) extern int qvdbx_layout_check[(expr) ? 1 : -1]
#endif

#if UINTPTR_MAX == UINT64_MAX
QVDBX_STATIC_ASSERT(sizeof(quendo_io) == 32, "quendo_io is 32 bytes");
QVDBX_STATIC_ASSERT(offsetof(quendo_io, post) == 16, "quendo_io.post");
QVDBX_STATIC_ASSERT(offsetof(quendo_io, free) == 24, "quendo_io.free");
QVDBX_STATIC_ASSERT(sizeof(qvdbx_backend_item) == 72, "qvdbx_backend_item is 72 bytes");
QVDBX_STATIC_ASSERT(offsetof(qvdbx_backend_item, name) == 8, "item.name");
QVDBX_STATIC_ASSERT(offsetof(qvdbx_backend_item, path) == 16, "item.path");
QVDBX_STATIC_ASSERT(offsetof(qvdbx_backend_item, is_folder) == 24, "item.is_folder");
QVDBX_STATIC_ASSERT(offsetof(qvdbx_backend_item, size) == 32, "item.size");
QVDBX_STATIC_ASSERT(offsetof(qvdbx_backend_item, extra_value) == 40, "item.extra_value");
QVDBX_STATIC_ASSERT(offsetof(qvdbx_backend_item, extra_pointer) == 48, "item.extra_pointer");
QVDBX_STATIC_ASSERT(offsetof(qvdbx_backend_item, id) == 56, "item.id");
QVDBX_STATIC_ASSERT(offsetof(qvdbx_backend_item, alt_path) == 64, "item.alt_path");
QVDBX_STATIC_ASSERT(sizeof(qvdbx_list_request) == 64, "qvdbx_list_request is 64 bytes");
QVDBX_STATIC_ASSERT(offsetof(qvdbx_list_request, cursor) == 8, "request.cursor");
QVDBX_STATIC_ASSERT(offsetof(qvdbx_list_request, items) == 16, "request.items");
QVDBX_STATIC_ASSERT(offsetof(qvdbx_list_request, capacity) == 24, "request.capacity");
QVDBX_STATIC_ASSERT(offsetof(qvdbx_list_request, count) == 32, "request.count");
QVDBX_STATIC_ASSERT(offsetof(qvdbx_list_request, has_more) == 40, "request.has_more");
QVDBX_STATIC_ASSERT(offsetof(qvdbx_list_request, next_cursor) == 48, "request.next_cursor");
QVDBX_STATIC_ASSERT(offsetof(qvdbx_list_request, cancel) == 56, "request.cancel");
QVDBX_STATIC_ASSERT(sizeof(qvdbx_backend_table) == 72, "qvdbx_backend_table is 72 bytes");
QVDBX_STATIC_ASSERT(offsetof(qvdbx_backend_table, name) == 8, "table.name");
QVDBX_STATIC_ASSERT(offsetof(qvdbx_backend_table, flags) == 16, "table.flags");
QVDBX_STATIC_ASSERT(offsetof(qvdbx_backend_table, reserved) == 24, "table.reserved");
QVDBX_STATIC_ASSERT(offsetof(qvdbx_backend_table, open) == 32, "table.open");
QVDBX_STATIC_ASSERT(offsetof(qvdbx_backend_table, list) == 40, "table.list");
QVDBX_STATIC_ASSERT(offsetof(qvdbx_backend_table, stat) == 48, "table.stat");
QVDBX_STATIC_ASSERT(offsetof(qvdbx_backend_table, locator) == 56, "table.locator");
QVDBX_STATIC_ASSERT(offsetof(qvdbx_backend_table, close) == 64, "table.close");
QVDBX_STATIC_ASSERT(sizeof(qvrch_handler) == 40, "qvrch_handler is 40 bytes");
QVDBX_STATIC_ASSERT(offsetof(qvrch_handler, handler_id) == 8, "handler.handler_id");
QVDBX_STATIC_ASSERT(offsetof(qvrch_handler, validate) == 16, "handler.validate");
QVDBX_STATIC_ASSERT(offsetof(qvrch_handler, list) == 24, "handler.list");
QVDBX_STATIC_ASSERT(offsetof(qvrch_handler, stream_url) == 32, "handler.stream_url");
#endif

#endif /* QVDBX_H */
