// qvdbx: a command-line host for the quendo-quendovue-dropbox-client module. It treats the
// module exactly as a media player does: loads it at run time, hands it a transport (the
// module's own fixture transport, or the live HTTPS transport with --live) and goes
// through one of its three faces (handler table, backend table, flat functions).
// This file holds the entry point: it checks the command line, loads the module, reads
// the settings, opens the transport and runs the command.
#include "account/settings.h"
#include "cli/commands.h"
#include "cli/options.h"
#include "cli/terminal.h"
#include "host/files.h"
#include "host/module.h"
#if defined(QVDBX_HAVE_LIVE_IO)
#  include "transport/live_io.h"
#endif

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#if defined(_WIN32)
#  include "host/utf16.h"

#  include <windows.h>
#  include <shellapi.h>
#endif

namespace {

// Installs the transport: the module's fixture transport, or the live HTTPS transport.
int open_transport(Host &h, const std::string &exe_dir) {
    if (h.opt.live) {
#if defined(QVDBX_HAVE_LIVE_IO)
        LiveIoOptions options;
        options.origin = h.opt.origin;
        if (h.opt.timeout_s > 0) {
            options.total_timeout_s = h.opt.timeout_s;
            options.connect_timeout_s = std::min(options.connect_timeout_s, h.opt.timeout_s);
        }
        std::string error;
        if (!live_io_open(&h.transport, options, error)) return host_failure(EXIT_CONFIG, error);
#else
        return host_failure(EXIT_CONFIG, "this qvdbx was built without the live transport");
#endif
    } else {
        std::string file =
            h.opt.fixtures.empty() ? demo_fixture_path(exe_dir, "demo.json") : h.opt.fixtures;
        std::string text;
        if (!read_file(file, text)) return host_failure(EXIT_CONFIG, "cannot read fixtures " + file);
        if (h.module.qvdbx_fake_load(text.c_str()) != 0)
            return host_failure(EXIT_CONFIG, "fixtures " + file + " are not a fixture document");
        h.module.qvdbx_io_fake(&h.transport);
    }
    progress_wrap(h.transport, h.progress, h.module_io);
    return -1;
}

void close_transport(Host &h) {
#if defined(QVDBX_HAVE_LIVE_IO)
    if (h.opt.live && h.transport.ctx) live_io_close(&h.transport);
#else
    (void)h;
#endif
}

int run(int argc, char **argv) {
    Host h;
    bool want_version = false;
    int rc = parse_options(argc, argv, h.opt, want_version);
    if (rc >= 0) return rc;

    const Face *face = find_face(h.opt.face);
    if (!face) return usage_failure("unknown face " + h.opt.face + " (handler, backend or flat)");
    const Command *command = find_command(h.opt.command);
    if (command && command->own_settings) h.opt.live = true;
    if (!h.opt.origin.empty() && !h.opt.live) return usage_failure("--origin needs --live");
    if (!want_version) {
        if (h.opt.command.empty()) return usage_failure("no command given");
        if (!command) return usage_failure("unknown command " + h.opt.command);
        if (h.opt.args.size() < command->min_args || h.opt.args.size() > command->max_args)
            return usage_failure(std::string("wrong number of arguments for ") + command->name);
    }

    std::string exe_dir = executable_dir(argv[0]);
    std::string module_file = h.opt.module.empty() ? module_default_path(argv[0]) : h.opt.module;
    std::string error;
    if (!module_load(module_file, h.module, error)) return host_failure(EXIT_CONFIG, error);
    if (want_version) {
        // The header's version, as the build's and the version resource's.
        std::printf("qvdbx %s (module %s)\n", QVDBX_VERSION_STRING, h.module.qvdbx_version());
        return EXIT_DONE;
    }
    if (!command->own_settings && (rc = load_settings(h, exe_dir)) >= 0) return rc;
    if ((rc = open_transport(h, exe_dir)) >= 0) return rc;
    rc = command->run(h, *face);
    std::fflush(stdout);
    h.module.qvdbx_set_io(nullptr);  // the module keeps no pointer to the transport about to close
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
    for (int k = 0; wargv && k < wargc; ++k) args.push_back(utf8_of(wargv[k]));
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
