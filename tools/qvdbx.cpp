// qvdbx: a command-line host for the quendo-quendovue-dropbox-client module. It treats the
// module exactly as a media player does: loads it at run time, hands it a transport (the
// module's own fixture transport, or the live HTTPS transport with --live) and goes
// through one of its three faces (handler table, backend table, flat functions).
#include "module.h"
#if defined(QVDBX_HAVE_LIVE_IO)
#  include "live_io.h"
#endif

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <yyjson.h>

#if defined(_WIN32)
#  include <io.h>
#  include <windows.h>
#  include <shellapi.h>
#  define QV_ISATTY(f) _isatty(_fileno(f))
#else
#  include <unistd.h>
#  define QV_ISATTY(f) isatty(fileno(f))
#endif

namespace {

constexpr char VERSION[] = "1.0.0";

// MARK: - JSON ---------------------------------------------------------------
// The host reads the module's answers, list pages and settings with the same JSON library
// the module uses, linked into the host on its own.

class JsonDoc {
public:
    explicit JsonDoc(const std::string &text) : doc_(yyjson_read(text.data(), text.size(), 0)) {}
    ~JsonDoc() { yyjson_doc_free(doc_); }
    JsonDoc(const JsonDoc &) = delete;
    JsonDoc &operator=(const JsonDoc &) = delete;
    yyjson_val *root() const { return yyjson_doc_get_root(doc_); }

private:
    yyjson_doc *doc_;
};

// The first member `key` of an object when it is a string, else nullptr.
const char *str_member(yyjson_val *obj, const char *key) {
    return yyjson_get_str(yyjson_obj_get(obj, key));
}

// `text` as a JSON string literal, quotes included.
std::string json_quote(const std::string &text) {
    yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
    yyjson_mut_doc_set_root(doc, yyjson_mut_strncpy(doc, text.data(), text.size()));
    size_t len = 0;
    char *out = yyjson_mut_write(doc, YYJSON_WRITE_ALLOW_INVALID_UNICODE, &len);
    std::string quoted = out ? std::string(out, len) : "\"\"";
    std::free(out);
    yyjson_mut_doc_free(doc);
    return quoted;
}

// Exit statuses, one per failure class.
enum Exit {
    EXIT_DONE = 0,
    EXIT_OTHER = 1,
    EXIT_USAGE = 2,
    EXIT_CONFIG = 3,
    EXIT_AUTH = 4,
    EXIT_NOT_FOUND = 5,
    EXIT_RATE_LIMITED = 6,
};

constexpr char USAGE[] =
    "usage: qvdbx [options] ls [PATH] | stat PATH | link PATH | validate\n"
    "\n"
    "  ls [PATH]        the whole folder, one line per entry: kind, size, name, path\n"
    "  stat PATH        metadata of one file or folder\n"
    "  link PATH        the stream URL of a file, alone on stdout\n"
    "  validate         checks the credentials\n"
    "\n"
    "options:\n"
    "  --face F         handler (default), backend or flat: the module face to use\n"
    "  --json           ls and stat print JSON (ls: the module's items document)\n"
    "  --module FILE    the module (default: next to qvdbx)\n"
    "  --fixtures FILE  fixture document (default: fixtures/demo.json next to qvdbx)\n"
    "  --settings FILE  settings document (default: fixtures/demo-settings.json next to\n"
    "                   qvdbx; with --live: DROPBOX_ACCESS_TOKEN, DROPBOX_REFRESH_TOKEN,\n"
    "                   DROPBOX_APP_KEY)\n"
    "  --live           real HTTPS requests instead of the fixtures\n"
    "  --origin URL     with --live: send to URL instead of https://api.dropboxapi.com\n"
    "  --version, -h, --help\n"
    "\n"
    "exit status: 0 ok, 1 other failure, 2 usage, 3 configuration, 4 authentication,\n"
    "5 not found, 6 rate limited\n";

struct Options {
    std::string face = "handler";
    std::string module;
    std::string fixtures;
    std::string settings;
    std::string origin;
    bool live = false;
    bool json = false;
    std::string command;
    std::vector<std::string> args;
};

// The credentials and default folder, as the module's settings document holds them.
struct Settings {
    std::string text;  // the document handed to the handler and backend faces
    std::string access_token, refresh_token, app_key, path;
    bool has_refresh_token = false, has_app_key = false;
};

// One entry as every face reports it. `path` is the display path when the face gives
// one (handler, flat), else the locator (backend).
struct Item {
    std::string name, path, id;
    bool folder = false;
    int64_t size = -1;
};

struct Listing {
    std::vector<Item> items;
    std::string json;  // one items document for the whole folder
};

// Counts list pages as they pass through the transport, for the progress line.
struct Progress {
    quendo_io inner{};
    bool enabled = false;
    std::string label;
    int pages = 0;
    long entries = 0;
    size_t shown = 0;
};

struct Host {
    Module m;
    Options opt;
    Settings settings;
    quendo_io io{};  // what the module is handed: the progress wrapper
    quendo_io base{};  // the real transport
    Progress progress;
};

// MARK: - Output helpers ----------------------------------------------------

// Hides anything that looks like a credential before a message is printed.
std::string redact(const Host &h, std::string text) {
    for (const std::string *secret : {&h.settings.access_token, &h.settings.refresh_token}) {
        if (secret->size() < 4) continue;
        for (size_t at; (at = text.find(*secret)) != std::string::npos;)
            text.replace(at, secret->size(), "<redacted>");
    }
    // Dropbox access tokens, including refreshed ones the host never saw, begin "sl.".
    for (size_t at = 0; (at = text.find("sl.", at)) != std::string::npos; at += 3) {
        size_t end = at + 3;
        while (end < text.size() && (std::isalnum(static_cast<unsigned char>(text[end])) ||
                                     std::strchr("-_.~+/=%", text[end])))
            ++end;
        if (end - at >= 12) text.replace(at, end - at, "sl.<redacted>");
    }
    return text;
}

int host_failure(int status, const std::string &message) {
    std::fprintf(stderr, "qvdbx: %s\n", message.c_str());
    return status;
}

// Prints the module's error record and picks the exit status from its code; `fallback`
// serves when the record holds no failure code.
int module_failure(const Host &h, int fallback) {
    int code = h.m.last_code();
    int status = fallback;
    switch (code) {
    case QVDBX_OK: break;
    case QVDBX_E_AUTH:
    case QVDBX_E_AUTH_EXPIRED: status = EXIT_AUTH; break;
    case QVDBX_E_NOT_FOUND: status = EXIT_NOT_FOUND; break;
    case QVDBX_E_RATE_LIMITED: status = EXIT_RATE_LIMITED; break;
    case QVDBX_E_BAD_CONFIG: status = EXIT_CONFIG; break;
    default: status = EXIT_OTHER;
    }
    std::string message = redact(h, h.m.last_error());
    if (message.empty()) message = "failed";
    if (code == QVDBX_E_RATE_LIMITED)
        std::fprintf(stderr, "qvdbx: %s (%s, wait %d s)\n", message.c_str(), h.m.strerror(code),
                     h.m.retry_after_s());
    else
        std::fprintf(stderr, "qvdbx: %s (%s)\n", message.c_str(), h.m.strerror(code));
    return status;
}

std::string human_size(const Item &item) {
    if (item.folder) return "-";
    if (item.size < 0) return "?";
    if (item.size < 1024) return std::to_string(item.size) + " B";
    static const char *const UNITS[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double value = double(item.size) / 1024;
    int unit = 0;
    while (value >= 1023.95 && unit < 5) value /= 1024, ++unit;
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, UNITS[unit]);
    return text;
}

// Terminal columns of a UTF-8 text: East Asian wide characters take two.
size_t display_width(const std::string &text) {
    size_t width = 0;
    for (size_t k = 0; k < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[k]);
        int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        uint32_t cp = extra ? c & (0x3F >> extra) : c;
        for (++k; extra > 0 && k < text.size(); --extra, ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(text[k]) & 0x3F);
        bool wide = (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) ||
                    (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
                    (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
                    (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x1F300 && cp <= 0x1FAFF) ||
                    (cp >= 0x20000 && cp <= 0x3FFFD);
        width += wide ? 2 : 1;
    }
    return width;
}

bool read_file(const std::string &path, std::string &out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    out = text.str();
    return !in.bad();
}

// MARK: - Progress transport ------------------------------------------------

// Rewrites the progress line in place; `done` erases it.
void progress_show(Progress &p, bool done) {
    if (!p.enabled || (done && p.shown == 0)) return;
    std::string line;
    if (!done)
        line = "listing " + p.label + ": " + std::to_string(p.pages) + (p.pages == 1 ? " page, " : " pages, ") +
               std::to_string(p.entries) + " entries";
    size_t pad = p.shown > line.size() ? p.shown - line.size() : 0;
    std::fprintf(stderr, "\r%s%*s%s", line.c_str(), int(pad), "", done ? "\r" : "");
    std::fflush(stderr);
    p.shown = line.size();
}

int progress_post(void *ctx, const char *url, const char *request_body, const char *content_type,
                  char **body, int *status, char **err) {
    Progress &p = *static_cast<Progress *>(ctx);
    int rc = p.inner.post(p.inner.ctx, url, request_body, content_type, body, status, err);
    if (p.enabled && rc == 0 && *status / 100 == 2 && *body &&
        std::strstr(url, "/2/files/list_folder")) {
        JsonDoc page(*body);
        yyjson_val *entries = yyjson_obj_get(page.root(), "entries");
        if (yyjson_is_arr(entries)) {
            size_t index, count;
            yyjson_val *e;
            yyjson_arr_foreach(entries, index, count, e) {
                p.entries += yyjson_is_obj(e) && !yyjson_equals_str(yyjson_obj_get(e, ".tag"), "deleted");
            }
            ++p.pages;
            progress_show(p, false);
        }
    }
    return rc;
}

int progress_get(void *ctx, const char *url, char **body, int *status, char **err) {
    Progress &p = *static_cast<Progress *>(ctx);
    return p.inner.get(p.inner.ctx, url, body, status, err);
}

void progress_free(void *ctx, void *ptr) {
    Progress &p = *static_cast<Progress *>(ctx);
    if (p.inner.free) p.inner.free(p.inner.ctx, ptr);
    else std::free(ptr);
}

// MARK: - Handler face ------------------------------------------------------
// Each entry point takes the transport and the settings document with every call.
// The handler table has no stat entry point; stat goes through the flat function.

int handler_status(int32_t status) {
    switch (status) {
    case QVRCH_E_AUTH: return EXIT_AUTH;
    case QVRCH_E_NOT_FOUND: return EXIT_NOT_FOUND;
    case QVRCH_E_RATE_LIMITED: return EXIT_RATE_LIMITED;
    case QVRCH_E_INVALID: return EXIT_CONFIG;
    default: return EXIT_OTHER;
    }
}

int handler_validate(Host &h) {
    char out[256] = "";
    int32_t st = h.m.handler()->validate(&h.io, h.settings.text.c_str(), out, sizeof out);
    return st == QVRCH_OK ? EXIT_DONE : module_failure(h, handler_status(st));
}

int handler_list(Host &h, const char *path, Listing &out) {
    const qvrch_handler *handler = h.m.handler();
    std::vector<char> buf(size_t(16) << 20);
    int32_t st;
    // A document too large for the buffer is asked for again with a larger one.
    while ((st = handler->list(&h.io, h.settings.text.c_str(), path, buf.data(),
                               int32_t(buf.size()))) == QVRCH_E_TOO_SMALL &&
           buf.size() < (size_t(1) << 30)) {
        buf.assign(buf.size() * 4, '\0');
        h.progress.pages = 0;
        h.progress.entries = 0;
    }
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
    std::vector<char> out(16384);
    int32_t st = h.m.handler()->stream_url(&h.io, h.settings.text.c_str(), entry.c_str(),
                                           out.data(), int32_t(out.size()));
    if (st != QVRCH_OK) return module_failure(h, handler_status(st));
    JsonDoc doc(out.data());
    const char *link = str_member(doc.root(), "url");
    if (!link) return host_failure(EXIT_OTHER, "the module answered without a url");
    url = link;
    return EXIT_DONE;
}

// MARK: - Flat face ---------------------------------------------------------
// The host installs the transport and the credentials with the setters, then calls.

int flat_setup(Host &h) {
    if (h.settings.access_token.empty())
        return host_failure(EXIT_CONFIG, "the settings hold no access_token");
    h.m.set_io(&h.io);
    h.m.set_token(h.settings.access_token.c_str());
    h.m.set_refresh(h.settings.has_refresh_token ? h.settings.refresh_token.c_str() : nullptr,
                    h.settings.has_app_key ? h.settings.app_key.c_str() : nullptr);
    return EXIT_DONE;
}

int flat_code_status(int rc) {
    switch (-rc) {
    case QVDBX_E_AUTH:
    case QVDBX_E_AUTH_EXPIRED: return EXIT_AUTH;
    case QVDBX_E_NOT_FOUND: return EXIT_NOT_FOUND;
    case QVDBX_E_RATE_LIMITED: return EXIT_RATE_LIMITED;
    case QVDBX_E_BAD_CONFIG: return EXIT_CONFIG;
    default: return EXIT_OTHER;
    }
}

int flat_list(Host &h, const char *path, Listing &out) {
    if (int rc = flat_setup(h)) return rc;
    int rc = h.m.list(path);
    if (rc == 0)
        while ((rc = h.m.list_next()) == 1) {
            // Each call appends a page: 1 while more remain, 0 after the last.
        }
    if (rc < 0) return module_failure(h, flat_code_status(rc));
    for (int k = 0, n = h.m.count(); k < n; ++k) {
        Item item;
        item.name = h.m.name(k);
        item.path = h.m.path_display(k);
        item.id = h.m.id(k);
        item.folder = h.m.is_folder(k) != 0;
        item.size = h.m.size(k);
        out.items.push_back(item);
    }
    out.json = h.m.result_json();
    return EXIT_DONE;
}

int flat_validate(Host &h) {
    if (int rc = flat_setup(h)) return rc;
    int rc = h.m.list("");
    return rc == 0 ? EXIT_DONE : module_failure(h, flat_code_status(rc));
}

int flat_stat(Host &h, const char *path, Item &item) {
    if (int rc = flat_setup(h)) return rc;
    int64_t size = -1;
    int folder = 0;
    char id[512] = "", display[4096] = "";
    int rc = h.m.stat(path, &size, &folder, id, sizeof id, display, sizeof display);
    if (rc != 0) return module_failure(h, flat_code_status(rc));
    item.path = display;
    item.name = item.path.substr(item.path.find_last_of('/') + 1);
    item.id = id;
    item.folder = folder != 0;
    item.size = size;
    return EXIT_DONE;
}

int flat_link(Host &h, const char *path, std::string &url) {
    if (int rc = flat_setup(h)) return rc;
    std::vector<char> buf(16384);
    int rc = h.m.locator(path, buf.data(), buf.size());
    if (rc != 0) return module_failure(h, flat_code_status(rc));
    url = buf.data();
    return EXIT_DONE;
}

// MARK: - Backend face ------------------------------------------------------
// The host installs the transport (the backend installs none), opens with the settings
// document and lists page by page, handing each next_cursor back. ls --json joins the
// items documents of the pages into one.

constexpr uint64_t PAGE_CAPACITY = 2000;  // Dropbox's largest page

int backend_status(int st) {
    switch (st) {
    case QVDBX_BACKEND_NOT_FOUND: return EXIT_NOT_FOUND;
    case QVDBX_BACKEND_AUTH: return EXIT_AUTH;
    case QVDBX_BACKEND_OPEN_FAILED: return EXIT_CONFIG;
    default: return EXIT_OTHER;
    }
}

int backend_open(Host &h) {
    h.m.set_io(&h.io);
    int st = h.m.backend()->open(nullptr, h.settings.text.c_str());
    return st == QVDBX_BACKEND_OK ? EXIT_DONE : module_failure(h, backend_status(st));
}

// Lists `path` page by page; `pages` 1 stops after the first page.
int backend_pages(Host &h, const char *path, uint64_t capacity, int pages, Listing &out) {
    if (int rc = backend_open(h)) return rc;
    const qvdbx_backend_table *b = h.m.backend();
    std::vector<qvdbx_backend_item> records(capacity);
    std::string joined;
    const char *cursor = nullptr;
    for (int page = 0; pages == 0 || page < pages; ++page) {
        qvdbx_list_request req{};
        req.cursor = cursor;
        req.items = records.data();
        req.capacity = capacity;
        int st = b->list(nullptr, path, &req);
        if (st != QVDBX_BACKEND_OK) {
            int rc = module_failure(h, backend_status(st));
            b->close(nullptr);
            return rc;
        }
        for (uint64_t k = 0; k < req.count; ++k) {
            const qvdbx_backend_item &r = records[k];
            Item item;
            item.name = r.name ? r.name : "";
            item.path = r.path ? r.path : "";
            item.id = r.id ? r.id : "";
            item.folder = r.is_folder != 0;
            item.size = r.size;
            out.items.push_back(item);
        }
        // This page's items document is {"items":[...]}: keep what the brackets hold.
        std::string doc = h.m.result_json();
        if (doc.size() > 12) joined += (joined.empty() ? "" : ",") + doc.substr(10, doc.size() - 12);
        if (!req.has_more) break;
        if (!req.next_cursor) {
            b->close(nullptr);
            return host_failure(EXIT_OTHER, "the module reported more pages but no cursor");
        }
        cursor = req.next_cursor;
    }
    b->close(nullptr);
    out.json = "{\"items\":[" + joined + "]}";
    return EXIT_DONE;
}

int backend_list(Host &h, const char *path, Listing &out) {
    return backend_pages(h, path, PAGE_CAPACITY, 0, out);
}

int backend_validate(Host &h) {
    Listing first;
    return backend_pages(h, "", 1, 1, first);
}

int backend_stat(Host &h, const char *path, Item &item) {
    if (int rc = backend_open(h)) return rc;
    qvdbx_backend_item r{};
    int st = h.m.backend()->stat(nullptr, path, &r);
    if (st != QVDBX_BACKEND_OK) return module_failure(h, backend_status(st));
    item.name = r.name ? r.name : "";
    item.path = r.path ? r.path : "";
    item.id = r.id ? r.id : "";
    item.folder = r.is_folder != 0;
    item.size = r.size;
    return EXIT_DONE;
}

int backend_link(Host &h, const char *path, std::string &url) {
    if (int rc = backend_open(h)) return rc;
    std::vector<char> buf(16384);
    int st = h.m.backend()->locator(nullptr, path, buf.data(), buf.size());
    if (st != QVDBX_BACKEND_OK) return module_failure(h, backend_status(st));
    url = buf.data();
    return EXIT_DONE;
}

// MARK: - Face table --------------------------------------------------------

struct Face {
    const char *name;
    int (*validate)(Host &);
    int (*list)(Host &, const char *path, Listing &);  // path NULL: the settings' "Path"
    int (*stat)(Host &, const char *path, Item &);
    int (*link)(Host &, const char *path, std::string &url);
};

const Face FACES[] = {
    {"handler", handler_validate, handler_list, flat_stat, handler_link},
    {"backend", backend_validate, backend_list, backend_stat, backend_link},
    {"flat", flat_validate, flat_list, flat_stat, flat_link},
};

// MARK: - Commands ----------------------------------------------------------

std::string item_json(const Item &item) {
    std::string json = "{\"name\":" + json_quote(item.name) + ",\"path\":" + json_quote(item.path) +
                       ",\"folder\":" + (item.folder ? "true" : "false") +
                       ",\"size\":" + std::to_string(item.folder ? -1 : item.size);
    if (!item.id.empty()) json += ",\"id\":" + json_quote(item.id);
    return json + "}";
}

int cmd_ls(Host &h, const Face &face) {
    const char *path = h.opt.args.empty() ? nullptr : h.opt.args[0].c_str();
    // The handler picks the settings' "Path" itself; the other faces are told it.
    if (!path && std::strcmp(face.name, "handler") != 0) path = h.settings.path.c_str();
    h.progress.enabled = QV_ISATTY(stderr) && QV_ISATTY(stdout);
    h.progress.label = path && *path ? path : h.settings.path.empty() ? "/" : h.settings.path;
    Listing listing;
    int rc = face.list(h, path, listing);
    progress_show(h.progress, true);
    if (rc) return rc;
    if (h.opt.json) {
        std::printf("%s\n", listing.json.c_str());
        return EXIT_DONE;
    }
    size_t width = 0;
    for (const Item &item : listing.items) width = std::max(width, display_width(item.name));
    width = std::min<size_t>(width, 48);
    for (const Item &item : listing.items) {
        size_t pad = width > display_width(item.name) ? width - display_width(item.name) : 0;
        std::printf("%-4s %10s  %s%*s  %s\n", item.folder ? "dir" : "file", human_size(item).c_str(),
                    item.name.c_str(), int(pad), "", item.path.c_str());
    }
    return EXIT_DONE;
}

int cmd_stat(Host &h, const Face &face) {
    Item item;
    if (int rc = face.stat(h, h.opt.args[0].c_str(), item)) return rc;
    if (h.opt.json) {
        std::printf("%s\n", item_json(item).c_str());
        return EXIT_DONE;
    }
    std::printf("name  %s\nkind  %s\n", item.name.c_str(), item.folder ? "dir" : "file");
    if (item.folder || item.size < 0) std::printf("size  %s\n", human_size(item).c_str());
    else std::printf("size  %s (%lld bytes)\n", human_size(item).c_str(), (long long)item.size);
    std::printf("path  %s\n", item.path.c_str());
    if (!item.id.empty()) std::printf("id    %s\n", item.id.c_str());
    return EXIT_DONE;
}

int cmd_link(Host &h, const Face &face) {
    std::string url;
    if (int rc = face.link(h, h.opt.args[0].c_str(), url)) return rc;
    std::printf("%s\n", url.c_str());
    return EXIT_DONE;
}

int cmd_validate(Host &h, const Face &face) {
    if (int rc = face.validate(h)) return rc;
    std::printf("ok\n");
    return EXIT_DONE;
}

struct Command {
    const char *name;
    size_t min_args, max_args;
    int (*run)(Host &, const Face &);
};

const Command COMMANDS[] = {
    {"ls", 0, 1, cmd_ls},
    {"stat", 1, 1, cmd_stat},
    {"link", 1, 1, cmd_link},
    {"validate", 0, 0, cmd_validate},
};

// MARK: - Set-up ------------------------------------------------------------

int usage_failure(const std::string &message) {
    std::fprintf(stderr, "qvdbx: %s\n(qvdbx --help lists the commands and options)\n",
                 message.c_str());
    return EXIT_USAGE;
}

// Fills `opt`; returns -1 to go on, else the exit status (help, version, usage error).
int parse_options(int argc, char **argv, Options &opt, bool &want_version) {
    bool options_done = false;
    for (int k = 1; k < argc; ++k) {
        std::string arg = argv[k];
        if (options_done || arg.size() < 2 || arg[0] != '-') {
            if (opt.command.empty()) opt.command = arg;
            else opt.args.push_back(arg);
            continue;
        }
        if (arg == "--") { options_done = true; continue; }
        if (arg == "-h" || arg == "--help") { std::fputs(USAGE, stdout); return EXIT_DONE; }
        if (arg == "--version") { want_version = true; continue; }
        if (arg == "--live") { opt.live = true; continue; }
        if (arg == "--json") { opt.json = true; continue; }
        std::string value;
        size_t eq = arg.find('=');
        std::string key = arg.substr(0, eq);
        std::string *slot = key == "--face" ? &opt.face
                            : key == "--module" ? &opt.module
                            : key == "--fixtures" ? &opt.fixtures
                            : key == "--settings" ? &opt.settings
                            : key == "--origin" ? &opt.origin
                            : nullptr;
        if (!slot) return usage_failure("unknown option " + key);
        if (eq != std::string::npos) value = arg.substr(eq + 1);
        else if (k + 1 < argc) value = argv[++k];
        else return usage_failure(key + " needs a value");
        if (value.empty()) return usage_failure(key + " needs a value");
        *slot = value;
    }
    return -1;
}

// Reads the settings document: a file, or (with --live) the environment.
int load_settings(Host &h, const std::string &exe_dir) {
    Settings &s = h.settings;
    std::string file = h.opt.settings;
    if (file.empty() && !h.opt.live) file = demo_fixture_path(exe_dir, "demo-settings.json");
    if (!file.empty()) {
        if (!read_file(file, s.text)) return host_failure(EXIT_CONFIG, "cannot read settings " + file);
    } else {
        const char *token = std::getenv("DROPBOX_ACCESS_TOKEN");
        const char *refresh = std::getenv("DROPBOX_REFRESH_TOKEN");
        const char *key = std::getenv("DROPBOX_APP_KEY");
        if (!token || !*token)
            return host_failure(EXIT_CONFIG,
                                "no credentials: give --settings FILE or set DROPBOX_ACCESS_TOKEN");
        s.text = "{\"access_token\":" + json_quote(token);
        if (refresh) s.text += ",\"refresh_token\":" + json_quote(refresh);
        if (key) s.text += ",\"app_key\":" + json_quote(key);
        s.text += "}";
    }
    // The host's own reading, for the flat face's setters: the module's rules (the first
    // member of each key counts, values are strings, the token is not empty).
    JsonDoc doc(s.text);
    const char *v;
    if ((v = str_member(doc.root(), "access_token"))) s.access_token = v;
    if ((v = str_member(doc.root(), "refresh_token"))) s.refresh_token = v, s.has_refresh_token = true;
    if ((v = str_member(doc.root(), "app_key"))) s.app_key = v, s.has_app_key = true;
    if ((v = str_member(doc.root(), "Path"))) s.path = v;
    return -1;
}

// Installs the transport: the module's fixture transport, or the live HTTPS transport.
int open_transport(Host &h, const std::string &exe_dir) {
    if (h.opt.live) {
#if defined(QVDBX_HAVE_LIVE_IO)
        LiveIoOptions options;
        options.origin = h.opt.origin;
        std::string error;
        if (!live_io_open(&h.base, options, error)) return host_failure(EXIT_CONFIG, error);
#else
        return host_failure(EXIT_CONFIG, "this qvdbx was built without the live transport");
#endif
    } else {
        std::string file =
            h.opt.fixtures.empty() ? demo_fixture_path(exe_dir, "demo.json") : h.opt.fixtures;
        std::string text;
        if (!read_file(file, text)) return host_failure(EXIT_CONFIG, "cannot read fixtures " + file);
        if (h.m.fake_load(text.c_str()) != 0)
            return host_failure(EXIT_CONFIG, "fixtures " + file + " are not a fixture document");
        h.m.io_fake(&h.base);
    }
    h.progress.inner = h.base;
    h.io.ctx = &h.progress;
    h.io.get = h.base.get ? progress_get : nullptr;
    h.io.post = progress_post;
    h.io.free = progress_free;
    return -1;
}

void close_transport(Host &h) {
#if defined(QVDBX_HAVE_LIVE_IO)
    if (h.opt.live && h.base.ctx) live_io_close(&h.base);
#else
    (void)h;
#endif
}

int run(int argc, char **argv) {
    Host h;
    bool want_version = false;
    int rc = parse_options(argc, argv, h.opt, want_version);
    if (rc >= 0) return rc;

    const Face *face = nullptr;
    for (const Face &f : FACES)
        if (h.opt.face == f.name) face = &f;
    if (!face) return usage_failure("unknown face " + h.opt.face + " (handler, backend or flat)");
    if (!h.opt.origin.empty() && !h.opt.live) return usage_failure("--origin needs --live");
    const Command *command = nullptr;
    for (const Command &c : COMMANDS)
        if (h.opt.command == c.name) command = &c;
    if (!want_version) {
        if (h.opt.command.empty()) return usage_failure("no command given");
        if (!command) return usage_failure("unknown command " + h.opt.command);
        if (h.opt.args.size() < command->min_args || h.opt.args.size() > command->max_args)
            return usage_failure(std::string("wrong number of arguments for ") + command->name);
    }

    std::string exe_dir = executable_dir(argv[0]);
    std::string module = h.opt.module.empty() ? module_default_path(argv[0]) : h.opt.module;
    std::string error;
    if (!module_load(module, h.m, error)) return host_failure(EXIT_CONFIG, error);
    if (want_version) {
        std::printf("qvdbx %s (module %s)\n", VERSION, h.m.version());
        return EXIT_DONE;
    }
    if ((rc = load_settings(h, exe_dir)) >= 0) return rc;
    if ((rc = open_transport(h, exe_dir)) >= 0) return rc;
    rc = command->run(h, *face);
    std::fflush(stdout);
    h.m.set_io(nullptr);  // the module keeps no pointer to the transport about to close
    close_transport(h);
    return rc;
}

} // namespace

int main(int argc, char **argv) {
#if defined(_WIN32)
    // Paths are UTF-8 throughout, as the module takes them: the arguments are read as
    // UTF-16 and converted, and the console prints UTF-8.
    SetConsoleOutputCP(CP_UTF8);
    int wargc = 0;
    LPWSTR *wargv = CommandLineToArgvW(GetCommandLineW(), &wargc);
    std::vector<std::string> args;
    for (int k = 0; wargv && k < wargc; ++k) {
        int n = WideCharToMultiByte(CP_UTF8, 0, wargv[k], -1, nullptr, 0, nullptr, nullptr);
        std::string arg(n > 0 ? size_t(n) : 1, '\0');
        if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wargv[k], -1, &arg[0], n, nullptr, nullptr);
        args.push_back(arg.c_str());
    }
    if (wargv) {
        LocalFree(wargv);
        std::vector<char *> utf8;
        for (std::string &arg : args) utf8.push_back(&arg[0]);
        utf8.push_back(nullptr);
        return run(int(args.size()), utf8.data());
    }
#endif
    return run(argc, argv);
}
