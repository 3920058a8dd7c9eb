// Error lines, listing columns and the progress line (see terminal.h).
#include "terminal.h"

#include "json_text.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#  include <io.h>
#else
#  include <unistd.h>
#endif

namespace {

// Columns of the status line now on stderr; 0 when none is shown.
size_t status_width = 0;

bool failure_lines = true;

} // namespace

bool is_terminal(std::FILE *stream) {
#if defined(_WIN32)
    return _isatty(_fileno(stream)) != 0;
#else
    return isatty(fileno(stream)) != 0;
#endif
}

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

void show_failure_lines(bool shown) { failure_lines = shown; }

int host_failure(int status, const std::string &message) {
    if (!failure_lines) return status;
    status_line("");
    std::fprintf(stderr, "qvdbx: %s\n", message.c_str());
    return status;
}

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
    if (!failure_lines) return status;
    std::string message = redact(h, h.m.last_error());
    if (message.empty()) message = "failed";
    status_line("");
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

// MARK: - Progress transport ------------------------------------------------

void status_line(const std::string &line) {
    if (line.empty() && status_width == 0) return;
    size_t width = display_width(line);
    size_t pad = status_width > width ? status_width - width : 0;
    std::fprintf(stderr, "\r%s%*s%s", line.c_str(), int(pad), "", line.empty() ? "\r" : "");
    std::fflush(stderr);
    status_width = width;
}

void progress_show(Progress &p, bool done) {
    if (!p.enabled) return;
    if (done) return status_line("");
    status_line("listing " + p.label + ": " + std::to_string(p.pages) +
                       (p.pages == 1 ? " page, " : " pages, ") + std::to_string(p.entries) + " entries");
}

namespace {

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

} // namespace

void progress_install(Host &h) {
    h.progress.inner = h.base;
    h.io.ctx = &h.progress;
    h.io.get = h.base.get ? progress_get : nullptr;
    h.io.post = progress_post;
    h.io.free = progress_free;
}
