// The handler face: each entry point takes the transport and the settings document with
// every call and answers a JSON document.
#include "faces/faces.h"

#include "cli/rate_limit.h"
#include "cli/terminal.h"
#include "host/json_text.h"

#include <memory>
#include <string_view>
#include <vector>

namespace {

// The buffer for a listing's items document: a folder of a hundred or so entries fits.
// A larger document is read where the handler leaves it after QVRCH_E_TOO_SMALL, from
// qvdbx_result_json(), so that no folder is ever listed twice and no large buffer is
// set aside before it is known to be needed.
constexpr size_t LIST_BUFFER_BYTES = size_t(64) << 10;

int handler_status(int32_t status) {
    switch (status) {
    case QVRCH_E_AUTH: return EXIT_AUTH;
    case QVRCH_E_NOT_FOUND: return EXIT_NOT_FOUND;
    case QVRCH_E_RATE_LIMITED: return EXIT_RATE_LIMITED;
    case QVRCH_E_INVALID: return EXIT_CONFIG;
    default: return EXIT_OTHER;
    }
}

// The handler keeps nothing between calls: a rate-limited call is repeated whole.
bool handler_failed(int32_t status) { return status != QVRCH_OK; }

// A listing whose document did not fit the buffer has still succeeded.
bool handler_list_failed(int32_t status) { return status != QVRCH_OK && status != QVRCH_E_TOO_SMALL; }

// Hands `sink` the entries of the items document `doc`; false when it is unreadable.
bool read_entries(std::string_view doc, ListSink &sink) {
    JsonDoc parsed(doc);
    yyjson_val *items = yyjson_obj_get(parsed.root(), "items");
    if (!yyjson_is_arr(items)) return false;
    std::vector<ItemView> batch;
    batch.reserve(yyjson_arr_size(items));
    size_t index, count;
    yyjson_val *v;
    yyjson_arr_foreach(items, index, count, v) {
        ItemView item;
        const char *path = str_member(v, "path_display");
        item.name = text_view(str_member(v, "name"));
        item.path = text_view(path ? path : str_member(v, "path"));
        item.id = text_view(str_member(v, "id"));
        item.folder = yyjson_is_true(yyjson_obj_get(v, "folder"));
        yyjson_val *size = yyjson_obj_get(v, "size");
        if (yyjson_is_int(size)) item.size = yyjson_get_sint(size);
        batch.push_back(item);
    }
    sink.entries(batch);
    return true;
}

int handler_validate(Host &h) {
    char out[256] = "";
    const qvrch_handler *handler = h.module.qvrch_get();
    int32_t st = retrying(
        h, [&] { return handler->validate(&h.module_io, h.settings.text.c_str(), out, sizeof out); },
        handler_failed);
    return st == QVRCH_OK ? EXIT_DONE : module_failure(h, handler_status(st));
}

int handler_list(Host &h, const char *path, ListSink &sink) {
    const qvrch_handler *handler = h.module.qvrch_get();
    std::unique_ptr<char[]> buf(new char[LIST_BUFFER_BYTES]);
    int32_t st = retrying(h, [&] {
        h.progress.pages = 0;
        h.progress.entries = 0;
        return handler->list(&h.module_io, h.settings.text.c_str(), path, buf.get(),
                             int32_t(LIST_BUFFER_BYTES));
    }, handler_list_failed);
    if (st != QVRCH_OK && st != QVRCH_E_TOO_SMALL) return module_failure(h, handler_status(st));
    std::string_view doc = st == QVRCH_OK ? buf.get() : h.module.qvdbx_result_json();
    if (sink.wants_document()) sink.document(doc);
    if (sink.wants_entries() && !read_entries(doc, sink))
        return host_failure(EXIT_OTHER, "the module answered an unreadable items document");
    return EXIT_DONE;
}

int handler_link(Host &h, const char *path, std::string &url) {
    std::string entry = "{\"path\":" + json_quote(path) + "}";
    std::vector<char> out(LINK_BUFFER_BYTES);
    const qvrch_handler *handler = h.module.qvrch_get();
    int32_t st = retrying(h, [&] {
        return handler->stream_url(&h.module_io, h.settings.text.c_str(), entry.c_str(), out.data(),
                                   int32_t(out.size()));
    }, handler_failed);
    if (st != QVRCH_OK) return module_failure(h, handler_status(st));
    JsonDoc doc(out.data());
    const char *link = str_member(doc.root(), "url");
    if (!link) return host_failure(EXIT_OTHER, "the module answered without a url");
    url = link;
    return EXIT_DONE;
}

} // namespace

const Face HANDLER_FACE = {"handler", handler_validate, handler_list, flat_stat, handler_link};
