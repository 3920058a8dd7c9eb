// The remote content handler: a read-only table of three stand-alone entry points that
// take the transport and the settings with every call and answer with JSON documents and
// handler statuses. Keeps no state of its own and never calls the transport itself:
// listings and links go through the flat face, the account check through the core's
// request builder.
#include "qvdbx_internal.h"

#include <cstdio>
#include <cstring>
#include <iterator>

// MARK: - Remote content handler ----------------------------------------------

namespace {

// Handler status for each error code; anything outside 0..12 is a plain failure.
constexpr int32_t STATUS_OF_CODE[] = {
    QVRCH_OK,     QVRCH_E_AUTH,   QVRCH_E_AUTH,        QVRCH_E_NOT_FOUND, QVRCH_E_RATE_LIMITED,
    QVRCH_E_IO,   QVRCH_E_FAILED, QVRCH_E_UNSUPPORTED, QVRCH_E_FAILED,    QVRCH_E_FAILED,
    QVRCH_E_FAILED, QVRCH_E_INVALID, QVRCH_E_INVALID,
};
static_assert(std::size(STATUS_OF_CODE) == QVDBX_E_BAD_CONFIG + 1, "one status per code");

constexpr size_t LINK_SIZE = 4096;
// Messages this long, or holding what may be part of an access token ("sl."), are not
// echoed to the host.
constexpr size_t MAX_ECHOED_MESSAGE = 80;

int32_t status_of(int code) noexcept {
    return static_cast<unsigned>(code) < std::size(STATUS_OF_CODE) ? STATUS_OF_CODE[code]
                                                                   : QVRCH_E_FAILED;
}

// Copies `text` (`len` bytes and its NUL) into the host's buffer when it fits.
bool copy_out(char *out, int32_t out_len, const char *text, size_t len) noexcept {
    if (out == nullptr || out_len <= 0 || len >= static_cast<size_t>(out_len)) return false;
    std::memcpy(out, text, len + 1);
    return true;
}

bool may_echo(const char *message) noexcept {
    return message != nullptr && std::strstr(message, "sl.") == nullptr &&
           std::strlen(message) < MAX_ECHOED_MESSAGE;
}

qvdbx_heap_str error_document(const char *message, size_t *len) noexcept {
    qvdbx_mut_doc_ptr doc = qvdbx_json_new_object();
    if (!doc) return nullptr;
    yyjson_mut_obj_add_strcpy(doc.get(), yyjson_mut_doc_get_root(doc.get()), "error", message);
    return qvdbx_json_write(doc.get(), len);
}

// Writes {"error":message}; messages that may not be echoed, or whose document cannot be
// written, give {"error":"failed"}. A document that does not fit leaves `out` untouched.
void write_err(char *out, int32_t out_len, const char *message) noexcept {
    char fallback[256];
    int fallback_len = std::snprintf(fallback, sizeof fallback, "{\"error\":%s}", "\"failed\"");
    if (may_echo(message)) {
        size_t len = 0;
        qvdbx_heap_str doc = error_document(message, &len);
        if (doc) {
            copy_out(out, out_len, doc.get(), len);
            return;
        }
    }
    copy_out(out, out_len, fallback, static_cast<size_t>(fallback_len));
}

int32_t fail(char *out, int32_t out_len, const char *message, int32_t status) noexcept {
    write_err(out, out_len, message);
    return status;
}

int32_t fail_with_last_error(char *out, int32_t out_len, int result) noexcept {
    return fail(out, out_len, qvdbx_last_error(), status_of(-result));
}

// The start every entry point shares: install the transport, load the settings.
bool configure(const quendo_io *io, const char *settings_json) noexcept {
    if (io != nullptr) qvdbx_set_io(io);
    return qvdbx_load_settings(settings_json != nullptr ? settings_json : "{}", 1) == 0;
}

int32_t h_validate(const quendo_io *io, const char *settings_json, char *out,
                   int32_t out_len) noexcept {
    if (!configure(io, settings_json)) return fail(out, out_len, "bad config", QVRCH_E_INVALID);
    char *raw = nullptr;
    int status = 0;
    int rc = qvdbx_rpc_get_current_account(&raw, &status);
    std::free(raw);
    if (rc != 0) {
        int code = g_qv.last_code != 0 ? g_qv.last_code : QVDBX_E_AUTH;
        return fail(out, out_len, "auth failed", status_of(code));
    }
    return copy_out(out, out_len, "{}", 2) ? QVRCH_OK : QVRCH_E_TOO_SMALL;
}

const char *folder_to_list(const char *path) noexcept {
    if (!qvdbx_is_empty(path)) return path;
    return !qvdbx_is_empty(g_qv.default_path) ? g_qv.default_path : "";
}

int32_t h_list(const quendo_io *io, const char *settings_json, const char *path, char *out,
               int32_t out_len) noexcept {
    if (!configure(io, settings_json)) return fail(out, out_len, "bad config", QVRCH_E_INVALID);
    int rc = qvdbx_list(folder_to_list(path));
    if (rc != 0) return fail_with_last_error(out, out_len, rc);
    while (g_qv.has_more != 0) {
        int next = qvdbx_list_next();
        if (next < 0) return fail_with_last_error(out, out_len, next);
        if (next == 0) break;
    }
    // The entries are all held but their document could not be written: an empty list
    // would be a wrong answer, so this is reported, and recorded, as the failure it is.
    if (g_qv.result_json == nullptr && g_qv.count > 0) {
        qvdbx_set_err(QVDBX_E_OOM, "oom");
        return fail_with_last_error(out, out_len, -QVDBX_E_OOM);
    }
    return copy_out(out, out_len, qvdbx_result_json(), qvdbx_result_len()) ? QVRCH_OK : QVRCH_E_TOO_SMALL;
}

// The locator text of an entry document: the first string among "path", "id", "Path".
const char *entry_locator(yyjson_val *entry) noexcept {
    for (const char *key : {"path", "id", "Path"}) {
        const char *text = yyjson_get_str(yyjson_obj_get(entry, key));
        if (text != nullptr) return text;
    }
    return nullptr;
}

qvdbx_heap_str stream_document(const char *link, int64_t size, size_t *len) noexcept {
    qvdbx_mut_doc_ptr doc = qvdbx_json_new_object();
    if (!doc) return nullptr;
    yyjson_mut_val *root = yyjson_mut_doc_get_root(doc.get());
    bool ok = yyjson_mut_obj_add_strcpy(doc.get(), root, "url", link);
    if (ok && size >= 0) ok = yyjson_mut_obj_add_int(doc.get(), root, "size", size);
    return ok ? qvdbx_json_write(doc.get(), len) : nullptr;
}

int32_t h_stream_url(const quendo_io *io, const char *settings_json, const char *entry_json,
                     char *out, int32_t out_len) noexcept {
    if (!configure(io, settings_json)) return fail(out, out_len, "bad config", QVRCH_E_INVALID);
    if (entry_json == nullptr) return fail(out, out_len, "no entry", QVRCH_E_INVALID);
    qvdbx_doc_ptr doc;
    yyjson_val *entry = qvdbx_json_read_object(entry_json, doc);
    if (entry == nullptr) return fail(out, out_len, "bad entry", QVRCH_E_INVALID);
    const char *locator = entry_locator(entry);
    if (locator == nullptr) return fail(out, out_len, "entry missing path", QVRCH_E_INVALID);
    yyjson_val *size_val = yyjson_obj_get(entry, "size");
    int64_t size = yyjson_is_int(size_val) ? yyjson_get_sint(size_val) : -1;
    char link[LINK_SIZE];
    int rc = qvdbx_locator(locator, link, sizeof link);
    doc.reset();
    if (rc != 0) return fail_with_last_error(out, out_len, rc);
    size_t len = 0;
    qvdbx_heap_str answer = stream_document(link, size, &len);
    if (!answer) return QVRCH_E_IO;
    return copy_out(out, out_len, answer.get(), len) ? QVRCH_OK : QVRCH_E_TOO_SMALL;
}

// The number the host knows this handler by; its meaning lies in the host.
constexpr int64_t HANDLER_ID = 35;

const qvrch_handler g_handler = {"DROPBOX", HANDLER_ID, &h_validate, &h_list, &h_stream_url};

}  // namespace

extern "C" QVDBX_API const qvrch_handler *qvrch_get(void) noexcept { return &g_handler; }
