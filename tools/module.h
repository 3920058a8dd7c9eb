// Loads the quendo-quendovue-dropbox-client module at run time, as a media player does,
// and binds the exported names that qvdbx uses. qvdbx is never linked to the module.
#pragma once

#include "qvdbx.h"

#include <string>

struct Module {
    decltype(&::qvdbx_version) version = nullptr;
    decltype(&::qvdbx_last_error) last_error = nullptr;
    decltype(&::qvdbx_last_code) last_code = nullptr;
    decltype(&::qvdbx_last_http_code) last_http_code = nullptr;
    decltype(&::qvdbx_retry_after_s) retry_after_s = nullptr;
    decltype(&::qvdbx_strerror) strerror = nullptr;
    decltype(&::qvdbx_set_io) set_io = nullptr;
    decltype(&::qvdbx_set_token) set_token = nullptr;
    decltype(&::qvdbx_set_refresh) set_refresh = nullptr;
    decltype(&::qvdbx_list) list = nullptr;
    decltype(&::qvdbx_list_next) list_next = nullptr;
    decltype(&::qvdbx_count) count = nullptr;
    decltype(&::qvdbx_name) name = nullptr;
    decltype(&::qvdbx_is_folder) is_folder = nullptr;
    decltype(&::qvdbx_size) size = nullptr;
    decltype(&::qvdbx_id) id = nullptr;
    decltype(&::qvdbx_path_display) path_display = nullptr;
    decltype(&::qvdbx_result_json) result_json = nullptr;
    decltype(&::qvdbx_stat) stat = nullptr;
    decltype(&::qvdbx_locator) locator = nullptr;
    decltype(&::qvdbx_backend) backend = nullptr;
    decltype(&::qvrch_get) handler = nullptr;
    decltype(&::qvdbx_io_fake) io_fake = nullptr;
    decltype(&::qvdbx_fake_load) fake_load = nullptr;
};

// The module's file next to the running executable (argv0 is the fallback for finding
// it), else in the plug-in folder where the bundles install it.
std::string module_default_path(const char *argv0);

// The demo fixture file `name` in fixtures/ next to the executable, else where the bundles
// install it. `exe_dir` as executable_dir() gives it.
std::string demo_fixture_path(const std::string &exe_dir, const char *name);

// The directory of the running executable, with a trailing separator.
std::string executable_dir(const char *argv0);

// Opens the module and binds every name above. On failure `error` names the file and
// what is missing (the loader's text, or the list of absent symbols). The module is
// never unloaded: a player keeps it for the life of the process.
bool module_load(const std::string &path, Module &m, std::string &error);
