// The progress wrapper (see progress_io.h).
#include "transport/progress_io.h"

#include "cli/terminal.h"
#include "host/json_text.h"

#include <cstdlib>
#include <cstring>

namespace {

int progress_post(void *ctx, const char *url, const char *request_body, const char *content_type,
                  char **body, int *status, char **err) {
    Progress &p = *static_cast<Progress *>(ctx);
    int rc = p.wrapped.post(p.wrapped.ctx, url, request_body, content_type, body, status, err);
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
    return p.wrapped.get(p.wrapped.ctx, url, body, status, err);
}

void progress_free(void *ctx, void *ptr) {
    Progress &p = *static_cast<Progress *>(ctx);
    if (p.wrapped.free) p.wrapped.free(p.wrapped.ctx, ptr);
    else std::free(ptr);
}

} // namespace

void progress_wrap(const quendo_io &transport, Progress &progress, quendo_io &wrapper) {
    progress.wrapped = transport;
    wrapper.ctx = &progress;
    wrapper.get = transport.get ? progress_get : nullptr;
    wrapper.post = progress_post;
    wrapper.free = progress_free;
}
