// The usage text and the option parser (see options.h).
#include "options.h"

#include <cstdio>

namespace {

constexpr char USAGE[] =
    "usage: qvdbx [options] COMMAND\n"
    "\n"
    "commands:\n"
    "  ls [PATH]        the whole folder, one line per entry: kind, size, name, path\n"
    "  stat PATH        metadata of one file or folder\n"
    "  link PATH        the stream URL of a file, alone on stdout\n"
    "  playlist FOLDER  an extended M3U of the folder's audio and video files, by name,\n"
    "                   with their stream URLs (valid 4 hours); exit 1 when a file's link\n"
    "                   failed (it is named on stderr and left out)\n"
    "  validate         checks the credentials\n"
    "  auth             signs in to Dropbox: prints a page to open, reads the code it\n"
    "                   shows and saves the settings (with --revoke: signs out)\n"
    "  serve [FOLDER]   an HTTP server on this machine: a URL that never expires for every\n"
    "                   file under FOLDER (default: the settings' Path, else the root),\n"
    "                   answered with a redirect to a fresh stream link; each folder is a\n"
    "                   page, ?format=m3u a playlist, ?format=json its items\n"
    "\n"
    "options:\n"
    "  --face F         handler (default), backend or flat: the module face to use\n"
    "  --json           ls and stat print JSON (ls: the module's items document)\n"
    "  -o FILE          playlist: write to FILE instead of stdout\n"
    "  --module FILE    the module (default: next to qvdbx)\n"
    "  --fixtures FILE  fixture document (default: fixtures/demo.json next to qvdbx)\n"
    "  --settings FILE  settings document (default: fixtures/demo-settings.json next to\n"
    "                   qvdbx; with --live: DROPBOX_ACCESS_TOKEN, DROPBOX_REFRESH_TOKEN,\n"
    "                   DROPBOX_APP_KEY, else the settings saved by qvdbx auth)\n"
    "  --live           real HTTPS requests instead of the fixtures\n"
    "  --origin URL     with --live or auth: send to URL instead of\n"
    "                   https://api.dropboxapi.com\n"
    "  --timeout S      with --live: give up on a request after S seconds (default 60)\n"
    "  --max-wait S     wait at most S seconds before asking again after a rate limit\n"
    "                   (HTTP 429; up to 5 times per request)\n"
    "  --no-wait        a rate limit fails at once\n"
    "  --version, -h, --help\n"
    "\n"
    "auth options:\n"
    "  --app-key KEY    the app's key (default: DROPBOX_APP_KEY)\n"
    "  --code CODE      finishes a sign-in begun earlier with the code the page showed\n"
    "  --revoke         revokes the saved tokens and deletes the settings\n"
    "  --settings FILE  where to save (default: $XDG_CONFIG_HOME/qvdbx/settings.json,\n"
    "                   ~/.config/qvdbx/settings.json; %APPDATA%\\qvdbx on Windows)\n"
    "\n"
    "serve options:\n"
    "  --listen A:P     the address to listen on (default 127.0.0.1:8917; port 0: any free\n"
    "                   one); an address beyond this machine requires a key\n"
    "  --key KEY        every URL begins /KEY/ (16 to 128 letters, digits, - and _); made\n"
    "                   up and printed when --listen leaves this machine without one\n"
    "  --link-ttl S     how long a stream link is handed out (default 13800, 4 h less 10 min)\n"
    "  --dir-ttl S      how long a folder listing is kept (default 300)\n"
    "  --max-wait S     after a rate limit, refuse requests that need Dropbox at most S s\n"
    "  --quiet          no access log on stderr\n"
    "\n"
    "exit status: 0 ok, 1 other failure, 2 usage, 3 configuration, 4 authentication,\n"
    "5 not found, 6 rate limited\n";

// A whole number of seconds, at most a day.
bool parse_seconds(const std::string &text, long &out) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    out = std::stol(text);
    return out <= 86400;
}

} // namespace

int usage_failure(const std::string &message) {
    std::fprintf(stderr, "qvdbx: %s\n(qvdbx --help lists the commands and options)\n",
                 message.c_str());
    return EXIT_USAGE;
}

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
        if (arg == "--no-wait") { opt.no_wait = true; continue; }
        if (arg == "--revoke") { opt.revoke = true; continue; }
        if (arg == "--quiet") { opt.quiet = true; continue; }
        std::string value;
        size_t eq = arg.find('=');
        std::string key = arg.substr(0, eq);
        std::string *slot = key == "--face" ? &opt.face
                            : key == "--module" ? &opt.module
                            : key == "--fixtures" ? &opt.fixtures
                            : key == "--settings" ? &opt.settings
                            : key == "--origin" ? &opt.origin
                            : key == "--app-key" ? &opt.app_key
                            : key == "--code" ? &opt.code
                            : key == "-o" || key == "--output" ? &opt.output
                            : key == "--listen" ? &opt.listen
                            : key == "--key" ? &opt.key
                            : nullptr;
        long *number = key == "--max-wait"   ? &opt.max_wait_s
                       : key == "--timeout"  ? &opt.timeout_s
                       : key == "--link-ttl" ? &opt.link_ttl_s
                       : key == "--dir-ttl"  ? &opt.dir_ttl_s
                                             : nullptr;
        if (!slot && !number) return usage_failure("unknown option " + key);
        if (eq != std::string::npos) value = arg.substr(eq + 1);
        else if (k + 1 < argc) value = argv[++k];
        else return usage_failure(key + " needs a value");
        if (value.empty()) return usage_failure(key + " needs a value");
        if (slot) *slot = value;
        else if (!parse_seconds(value, *number) || (number == &opt.timeout_s && *number == 0))
            return usage_failure(key + " takes a number of seconds (" + value + ")");
    }
    return -1;
}
