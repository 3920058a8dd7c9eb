// Plug-in loading: dlopen/dlsym, or LoadLibraryA/GetProcAddress on Windows.
#include "module.h"

#include <cstring>
#include <fstream>
#include <initializer_list>
#include <vector>

#if defined(_WIN32)
#  include <windows.h>
#else
#  include <dlfcn.h>
#  include <unistd.h>
#endif

namespace {

#if defined(_WIN32)
constexpr char MODULE_FILE[] = "quendo-quendovue-dropbox-client.dll";
constexpr char SEPARATORS[] = "\\/";
#else
constexpr char MODULE_FILE[] = "quendo-quendovue-dropbox-client.so";
constexpr char SEPARATORS[] = "/";
#endif

std::string dir_of(const std::string &file) {
    size_t cut = file.find_last_of(SEPARATORS);
    return cut == std::string::npos ? std::string() : file.substr(0, cut + 1);
}

// `dir` followed by the first of `relatives` that names a readable file, else by the
// first of them (for the error message).
std::string first_existing(const std::string &dir, std::initializer_list<std::string> relatives) {
    for (const std::string &relative : relatives)
        if (std::ifstream(dir + relative).good()) return dir + relative;
    return dir + *relatives.begin();
}

struct Binder {
#if defined(_WIN32)
    HMODULE handle;
#else
    void *handle;
#endif
    std::vector<std::string> missing;

    template <class F> void bind(F &slot, const char *name) {
        static_assert(sizeof(F) == sizeof(void *), "function pointers are pointer-sized");
#if defined(_WIN32)
        FARPROC sym = GetProcAddress(handle, name);
#else
        void *sym = dlsym(handle, name);
#endif
        if (sym) std::memcpy(&slot, &sym, sizeof slot);
        else missing.push_back(name);
    }
};

} // namespace

std::string executable_dir(const char *argv0) {
#if defined(_WIN32)
    char buf[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
    if (n > 0 && n < sizeof buf) return dir_of(std::string(buf, n));
#else
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf);
    if (n > 0 && size_t(n) < sizeof buf) return dir_of(std::string(buf, size_t(n)));
#endif
    return dir_of(argv0 ? argv0 : "");
}

std::string module_default_path(const char *argv0) {
    return first_existing(executable_dir(argv0),
                          {MODULE_FILE, std::string(QVDBX_INSTALLED_MODULE_DIR) + MODULE_FILE});
}

std::string demo_fixture_path(const std::string &exe_dir, const char *name) {
    std::string file = std::string("fixtures/") + name;
    return first_existing(exe_dir, {file, QVDBX_INSTALLED_DATA_DIR + file});
}

bool module_load(const std::string &path, Module &m, std::string &error) {
    Binder b{};
#if defined(_WIN32)
    b.handle = LoadLibraryA(path.c_str());
    if (!b.handle) {
        DWORD code = GetLastError();
        char why[256] = "";
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                       why, sizeof why, nullptr);
        std::string text = why;
        while (!text.empty() && std::strchr(" \r\n.", text.back())) text.pop_back();
        error = "cannot load module " + path + ": " + (text.empty() ? "error" : text) + " (" +
                std::to_string(code) + ")";
        return false;
    }
#else
    b.handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!b.handle) {
        const char *why = dlerror();
        error = "cannot load module " + path + ": " + (why ? why : "unknown error");
        return false;
    }
#endif
    b.bind(m.version, "qvdbx_version");
    b.bind(m.last_error, "qvdbx_last_error");
    b.bind(m.last_code, "qvdbx_last_code");
    b.bind(m.last_http_code, "qvdbx_last_http_code");
    b.bind(m.retry_after_s, "qvdbx_retry_after_s");
    b.bind(m.strerror, "qvdbx_strerror");
    b.bind(m.set_io, "qvdbx_set_io");
    b.bind(m.set_token, "qvdbx_set_token");
    b.bind(m.set_refresh, "qvdbx_set_refresh");
    b.bind(m.list, "qvdbx_list");
    b.bind(m.list_next, "qvdbx_list_next");
    b.bind(m.count, "qvdbx_count");
    b.bind(m.name, "qvdbx_name");
    b.bind(m.is_folder, "qvdbx_is_folder");
    b.bind(m.size, "qvdbx_size");
    b.bind(m.id, "qvdbx_id");
    b.bind(m.path_display, "qvdbx_path_display");
    b.bind(m.result_json, "qvdbx_result_json");
    b.bind(m.stat, "qvdbx_stat");
    b.bind(m.locator, "qvdbx_locator");
    b.bind(m.backend, "qvdbx_backend");
    b.bind(m.handler, "qvrch_get");
    b.bind(m.io_fake, "qvdbx_io_fake");
    b.bind(m.fake_load, "qvdbx_fake_load");
    if (b.missing.empty()) return true;
    error = "module " + path + " lacks ";
    error += b.missing.size() == 1 ? "the symbol " : "the symbols ";
    for (size_t k = 0; k < b.missing.size(); ++k) error += (k ? ", " : "") + b.missing[k];
    return false;
}
