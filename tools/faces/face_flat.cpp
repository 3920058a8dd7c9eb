// The flat face: the host installs the transport and the credentials with the setters,
// then calls the functions and reads the entry table through the accessors.
#include "faces/faces.h"

#include "cli/rate_limit.h"
#include "cli/terminal.h"

#include <vector>

namespace {

int flat_setup(Host &h) {
    if (h.settings.access_token.empty())
        return host_failure(EXIT_CONFIG, "the settings hold no access_token");
    h.module.qvdbx_set_io(&h.module_io);
    h.module.qvdbx_set_token(h.settings.access_token.c_str());
    h.module.qvdbx_set_refresh(h.settings.has_refresh_token ? h.settings.refresh_token.c_str() : nullptr,
                               h.settings.has_app_key ? h.settings.app_key.c_str() : nullptr);
    return EXIT_DONE;
}

// A failed flat call returns its code negated.
int flat_code_status(int rc) { return code_exit_status(-rc); }

bool flat_failed(int rc) { return rc < 0; }

// `call` retried after rate limits; a failed flat call changes nothing in the module, so
// the same call resumes where it stopped.
template <class Call> int flat_retrying(Host &h, Call call) { return retrying(h, call, flat_failed); }

int flat_list(Host &h, const char *path, ListSink &sink) {
    if (int rc = flat_setup(h)) return rc;
    int rc = flat_retrying(h, [&] { return h.module.qvdbx_list(path); });
    if (rc == 0)
        while ((rc = flat_retrying(h, [&] { return h.module.qvdbx_list_next(); })) == 1) {
            // Each call appends a page: 1 while more remain, 0 after the last.
        }
    if (rc < 0) return module_failure(h, flat_code_status(rc));
    if (sink.wants_entries()) {
        std::vector<ItemView> batch(size_t(h.module.qvdbx_count()));
        for (int32_t k = 0; k < int32_t(batch.size()); ++k) {
            ItemView &item = batch[size_t(k)];
            item.name = text_view(h.module.qvdbx_name(k));
            item.path = text_view(h.module.qvdbx_path_display(k));
            item.id = text_view(h.module.qvdbx_id(k));
            item.folder = h.module.qvdbx_is_folder(k) != 0;
            item.size = h.module.qvdbx_size(k);
        }
        sink.entries(batch);
    }
    if (sink.wants_document()) sink.document(h.module.qvdbx_result_json());
    return EXIT_DONE;
}

int flat_validate(Host &h) {
    if (int rc = flat_setup(h)) return rc;
    int rc = flat_retrying(h, [&] { return h.module.qvdbx_list(""); });
    return rc == 0 ? EXIT_DONE : module_failure(h, flat_code_status(rc));
}

int flat_link(Host &h, const char *path, std::string &url) {
    if (int rc = flat_setup(h)) return rc;
    std::vector<char> buf(LINK_BUFFER_BYTES);
    int rc = flat_retrying(h, [&] { return h.module.qvdbx_locator(path, buf.data(), buf.size()); });
    if (rc != 0) return module_failure(h, flat_code_status(rc));
    url = buf.data();
    return EXIT_DONE;
}

} // namespace

int flat_stat(Host &h, const char *path, Item &item) {
    if (int rc = flat_setup(h)) return rc;
    int64_t size = -1;
    int folder = 0;
    char id[512] = "", display[4096] = "";
    int rc = flat_retrying(h, [&] {
        return h.module.qvdbx_stat(path, &size, &folder, id, sizeof id, display, sizeof display);
    });
    if (rc != 0) return module_failure(h, flat_code_status(rc));
    item.path = display;
    item.name = item.path.substr(item.path.find_last_of('/') + 1);
    item.id = id;
    item.folder = folder != 0;
    item.size = size;
    return EXIT_DONE;
}

const Face FLAT_FACE = {"flat", flat_validate, flat_list, flat_stat, flat_link};
