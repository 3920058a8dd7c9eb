// Reading the settings document (see settings.h).
#include "account/settings.h"

#include "cli/terminal.h"
#include "host/files.h"
#include "host/json_text.h"

#include <cstdlib>

#if defined(_WIN32)
#  include "host/utf16.h"
#endif

std::string saved_settings_path() {
#if defined(_WIN32)
    const wchar_t *appdata = _wgetenv(L"APPDATA");
    if (!appdata || !*appdata) return "";
    return utf8_of(appdata) + "\\qvdbx\\settings.json";
#else
    // A relative XDG_CONFIG_HOME is to be ignored.
    const char *config = std::getenv("XDG_CONFIG_HOME");
    if (config && config[0] == '/') return std::string(config) + "/qvdbx/settings.json";
    const char *home = std::getenv("HOME");
    if (!home || !*home) return "";
    return std::string(home) + "/.config/qvdbx/settings.json";
#endif
}

namespace {

// The settings document of DROPBOX_ACCESS_TOKEN (with DROPBOX_REFRESH_TOKEN and
// DROPBOX_APP_KEY when set); false when the token is not set.
bool settings_from_environment(std::string &text) {
    const char *token = std::getenv("DROPBOX_ACCESS_TOKEN");
    const char *refresh = std::getenv("DROPBOX_REFRESH_TOKEN");
    const char *key = std::getenv("DROPBOX_APP_KEY");
    if (!token || !*token) return false;
    text = "{\"access_token\":" + json_quote(token);
    if (refresh) text += ",\"refresh_token\":" + json_quote(refresh);
    if (key) text += ",\"app_key\":" + json_quote(key);
    text += "}";
    return true;
}

} // namespace

int load_settings(Host &h, const std::string &exe_dir) {
    Settings &s = h.settings;
    std::string file = h.opt.settings;
    if (file.empty() && !h.opt.live) file = demo_fixture_path(exe_dir, "demo-settings.json");
    if (!file.empty()) {
        if (!read_file(file, s.text)) return host_failure(EXIT_CONFIG, "cannot read settings " + file);
    } else if (!settings_from_environment(s.text)) {
        std::string saved = saved_settings_path();
        if (saved.empty() || !read_file(saved, s.text))
            return host_failure(EXIT_CONFIG, "no credentials: sign in with qvdbx auth, give --settings "
                                             "FILE or set DROPBOX_ACCESS_TOKEN");
    }
    read_members(s);
    return -1;
}

void read_members(Settings &s) {
    // The module's rules: the first member of each key counts, values are strings.
    JsonDoc doc(s.text);
    const char *v;
    if ((v = str_member(doc.root(), "access_token"))) s.access_token = v;
    if ((v = str_member(doc.root(), "refresh_token"))) s.refresh_token = v, s.has_refresh_token = true;
    if ((v = str_member(doc.root(), "app_key"))) s.app_key = v, s.has_app_key = true;
    if ((v = str_member(doc.root(), "Path"))) s.path = v;
}
