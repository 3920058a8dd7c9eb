// The backend face: the host installs the transport (the backend installs none), opens
// with the settings document and lists page by page, handing each next_cursor back.
// The items documents of the pages are joined into one.
#include "faces/faces.h"

#include "cli/rate_limit.h"
#include "cli/terminal.h"

#include <vector>

namespace {

constexpr uint64_t PAGE_CAPACITY = 2000;  // Dropbox's largest page

// A page's items document is ITEMS_OPEN, the items, ITEMS_CLOSE: the pages' items are
// joined under one pair.
constexpr char ITEMS_OPEN[] = "{\"items\":[";
constexpr char ITEMS_CLOSE[] = "]}";

int backend_status(int st) {
    switch (st) {
    case QVDBX_BACKEND_NOT_FOUND: return EXIT_NOT_FOUND;
    case QVDBX_BACKEND_AUTH: return EXIT_AUTH;
    case QVDBX_BACKEND_OPEN_FAILED: return EXIT_CONFIG;
    default: return EXIT_OTHER;
    }
}

int backend_open(Host &h) {
    h.module.qvdbx_set_io(&h.module_io);
    int st = h.module.qvdbx_backend()->open(nullptr, h.settings.text.c_str());
    return st == QVDBX_BACKEND_OK ? EXIT_DONE : module_failure(h, backend_status(st));
}

bool backend_failed(int st) { return st != QVDBX_BACKEND_OK; }

ItemView view_of(const qvdbx_backend_item &r) {
    return {text_view(r.name), text_view(r.path), text_view(r.id), r.is_folder != 0, r.size};
}

// Hands `sink` the items of the page's items document `doc`, joined to the earlier pages'
// under one ITEMS_OPEN ... ITEMS_CLOSE; `first` tells whether any came before.
void page_document(std::string_view doc, bool &first, ListSink &sink) {
    size_t open = sizeof ITEMS_OPEN - 1, close = sizeof ITEMS_CLOSE - 1;
    if (doc.size() <= open + close) return;
    if (!first) sink.document(",");
    sink.document(doc.substr(open, doc.size() - open - close));
    first = false;
}

// Lists `path` page by page into `sink`; `pages` 1 stops after the first page.
int backend_pages(Host &h, const char *path, uint64_t capacity, int pages, ListSink &sink) {
    if (int rc = backend_open(h)) return rc;
    const qvdbx_backend_table *b = h.module.qvdbx_backend();
    std::vector<qvdbx_backend_item> records(capacity);
    std::vector<ItemView> batch;
    bool first = true;
    const char *cursor = nullptr;
    if (sink.wants_document()) sink.document(ITEMS_OPEN);
    for (int page = 0; pages == 0 || page < pages; ++page) {
        qvdbx_list_request req{};
        // The cursor handed in stays valid after a failure: the same request resumes.
        int st = retrying(h, [&] {
            req = qvdbx_list_request{};
            req.cursor = cursor;
            req.items = records.data();
            req.capacity = capacity;
            return b->list(nullptr, path, &req);
        }, backend_failed);
        if (st != QVDBX_BACKEND_OK) {
            int rc = module_failure(h, backend_status(st));
            b->close(nullptr);
            return rc;
        }
        // The records and the page's document hold until the next request.
        if (sink.wants_entries()) {
            batch.clear();
            for (uint64_t k = 0; k < req.count; ++k) batch.push_back(view_of(records[k]));
            sink.entries(batch);
        }
        if (sink.wants_document()) page_document(h.module.qvdbx_result_json(), first, sink);
        if (!req.has_more) break;
        if (!req.next_cursor) {
            b->close(nullptr);
            return host_failure(EXIT_OTHER, "the module reported more pages but no cursor");
        }
        cursor = req.next_cursor;
    }
    b->close(nullptr);
    if (sink.wants_document()) sink.document(ITEMS_CLOSE);
    return EXIT_DONE;
}

int backend_list(Host &h, const char *path, ListSink &sink) {
    return backend_pages(h, path, PAGE_CAPACITY, 0, sink);
}

int backend_validate(Host &h) {
    Listing first;
    first.keep_document = false;
    return backend_pages(h, "", 1, 1, first);
}

int backend_stat(Host &h, const char *path, Item &item) {
    if (int rc = backend_open(h)) return rc;
    qvdbx_backend_item r{};
    int st = retrying(h, [&] { return h.module.qvdbx_backend()->stat(nullptr, path, &r); }, backend_failed);
    if (st != QVDBX_BACKEND_OK) return module_failure(h, backend_status(st));
    item = to_item(view_of(r));
    return EXIT_DONE;
}

int backend_link(Host &h, const char *path, std::string &url) {
    if (int rc = backend_open(h)) return rc;
    std::vector<char> buf(LINK_BUFFER_BYTES);
    const qvdbx_backend_table *b = h.module.qvdbx_backend();
    int st = retrying(h, [&] { return b->locator(nullptr, path, buf.data(), buf.size()); }, backend_failed);
    if (st != QVDBX_BACKEND_OK) return module_failure(h, backend_status(st));
    url = buf.data();
    return EXIT_DONE;
}

} // namespace

const Face BACKEND_FACE = {"backend", backend_validate, backend_list, backend_stat, backend_link};
