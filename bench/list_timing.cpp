// Times whole-folder listings through a built module, loaded the way a host loads it
// (dlopen on Linux, LoadLibrary on Windows), so that the Linux .so and the Windows DLL
// run the same workload: the handler's list entry point and the flat face over folders
// of 25, 100 and 400 pages served by the in-process scripted server. Google Benchmark is
// not available for the Windows cross build, hence this small harness; bench/wine_run.sh
// runs it against both modules in alternating rounds.
//
//   list_timing MODULE [ROUNDS]     one line per face and folder size: the median
//                                   milliseconds per page over ROUNDS listings (default 5)
#include "scripted_server.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

using qvdbx_bench::ENTRIES_PER_PAGE;

void *load_module(const char *path) {
#if defined(_WIN32)
    return reinterpret_cast<void *>(LoadLibraryA(path));
#else
    return dlopen(path, RTLD_NOW | RTLD_LOCAL);
#endif
}

// Every export of the module, each a pointer named as the export; the names come from
// the one exports list (qvdbx_exports.inc, which the build generates from it).
struct module_exports {
#define QVDBX_EXPORT(name) decltype(&::name) name = nullptr;
#include "qvdbx_exports.inc"
#undef QVDBX_EXPORT
};

template <typename F>
void bind(void *module, F &slot, const char *name) {
#if defined(_WIN32)
    FARPROC found = GetProcAddress(static_cast<HMODULE>(module), name);
#else
    void *found = dlsym(module, name);
#endif
    if (found == nullptr) {
        std::fprintf(stderr, "list_timing: the module does not export %s\n", name);
        std::exit(1);
    }
    std::memcpy(&slot, &found, sizeof slot);
}

module_exports bind_exports(void *module) {
    module_exports m;
#define QVDBX_EXPORT(name) bind(module, m.name, #name);
#include "qvdbx_exports.inc"
#undef QVDBX_EXPORT
    return m;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// One listing through the handler, its answer copied into the host's buffer.
bool handler_listing(const module_exports &m, int pages, std::vector<char> &answer) {
    qvdbx_bench::scripted_server server(pages);
    quendo_io io = server.io();
    std::string settings = std::string("{\"access_token\":\"") + qvdbx_bench::TOKEN + "\"}";
    return m.qvrch_get()->list(&io, settings.c_str(), qvdbx_bench::FOLDER, answer.data(),
                               static_cast<int32_t>(answer.size())) == QVRCH_OK;
}

// One listing through the flat face, page after page, then its document.
bool flat_listing(const module_exports &m, int pages) {
    qvdbx_bench::scripted_server server(pages);
    quendo_io io = server.io();
    m.qvdbx_set_io(&io);
    m.qvdbx_set_token(qvdbx_bench::TOKEN);
    int rc = m.qvdbx_list(qvdbx_bench::FOLDER);
    while (rc >= 0 && (rc = m.qvdbx_list_next()) == 1) {}
    bool whole = rc == 0 && m.qvdbx_count() > 0 && m.qvdbx_result_json()[0] == '{';
    m.qvdbx_set_io(nullptr);
    return whole;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: list_timing MODULE [ROUNDS]\n");
        return 2;
    }
    int rounds = argc == 3 ? std::max(1, std::atoi(argv[2])) : 5;
    void *module = load_module(argv[1]);
    if (module == nullptr) {
        std::fprintf(stderr, "list_timing: cannot load %s\n", argv[1]);
        return 1;
    }
    module_exports exports = bind_exports(module);
    qvdbx_bench::folder_pages &pages = qvdbx_bench::folder();
    std::vector<char> answer(static_cast<size_t>(qvdbx_bench::MAX_PAGES) * ENTRIES_PER_PAGE * 320);
    for (int folder_pages : {25, 100, 400}) {
        pages.bytes(folder_pages);  // generated before the clock starts
        for (const char *face : {"handler", "flat"}) {
            std::vector<double> per_page;
            for (int round = 0; round < rounds; ++round) {
                auto start = std::chrono::steady_clock::now();
                bool ok = std::strcmp(face, "handler") == 0 ? handler_listing(exports, folder_pages, answer)
                                                            : flat_listing(exports, folder_pages);
                if (!ok) {
                    std::fprintf(stderr, "list_timing: the %s listing of %d pages failed\n", face, folder_pages);
                    return 1;
                }
                per_page.push_back(seconds_since(start) * 1e3 / folder_pages);
            }
            std::printf("%s %d %.4f\n", face, folder_pages, median(per_page));
            std::fflush(stdout);
        }
    }
    return 0;
}
