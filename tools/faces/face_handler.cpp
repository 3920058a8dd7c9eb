// The handler face: each entry point takes the transport and the settings document with
// every call and answers a JSON document.
#include "faces/faces.h"

#include "cli/rate_limit.h"
#include "cli/terminal.h"
#include "host/json_text.h"

#include <vector>

namespace {

// The first buffer for a listing's items document, and the largest asked for: each
// retry after QVRCH_E_TOO_SMALL takes one GROWTH times larger.
constexpr size_t FIRST_LIST_BUFFER = size_t(16) << 20;  // 16 MiB
constexpr size_t MAX_LIST_BUFFER = size_t(1) << 30;     // 1 GiB
constexpr size_t GROWTH = 4;

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

int handler_validate(Host &h) {
    char out[256] = "";
    const qvrch_handler *handler = h.module.qvrch_get();
    int32_t st = retrying(
        h, [&] { return handler->validate(&h.module_io, h.settings.text.c_str(), out, sizeof out); },
        handler_failed);
    return st == QVRCH_OK ? EXIT_DONE : module_failure(h, handler_status(st));
}

int handler_list(Host &h, const char *path, Listing &out) {
    const qvrch_handler *handler = h.module.qvrch_get();
    std::vector<char> buf(FIRST_LIST_BUFFER);
    auto list_whole = [&] {
        h.progress.pages = 0;
        h.progress.entries = 0;
        return handler->list(&h.module_io, h.settings.text.c_str(), path, buf.data(), int32_t(buf.size()));
    };
    int32_t st;
    // A document too large for the buffer is asked for again with a larger one.
    while ((st = retrying(h, list_whole, handler_failed)) == QVRCH_E_TOO_SMALL &&
           buf.size() < MAX_LIST_BUFFER)
        buf.assign(buf.size() * GROWTH, '\0');
    if (st != QVRCH_OK) return module_failure(h, handler_status(st));
    out.json = buf.data();
    JsonDoc doc(out.json);
    yyjson_val *items = yyjson_obj_get(doc.root(), "items");
    if (!yyjson_is_arr(items))
        return host_failure(EXIT_OTHER, "the module answered an unreadable items document");
    size_t index, count;
    yyjson_val *v;
    yyjson_arr_foreach(items, index, count, v) {
        Item item;
        const char *text;
        if ((text = str_member(v, "name"))) item.name = text;
        if ((text = str_member(v, "path_display")) || (text = str_member(v, "path"))) item.path = text;
        if ((text = str_member(v, "id"))) item.id = text;
        item.folder = yyjson_is_true(yyjson_obj_get(v, "folder"));
        yyjson_val *size = yyjson_obj_get(v, "size");
        if (yyjson_is_int(size)) item.size = yyjson_get_sint(size);
        out.items.push_back(item);
    }
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
