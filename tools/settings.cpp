// Reading the settings document (see settings.h).
#include "settings.h"

#include "json_text.h"
#include "terminal.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

bool read_file(const std::string &path, std::string &out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    out = text.str();
    return !in.bad();
}

int load_settings(Host &h, const std::string &exe_dir) {
    Settings &s = h.settings;
    std::string file = h.opt.settings;
    if (file.empty() && !h.opt.live) file = exe_dir + "fixtures/demo-settings.json";
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
