// The sign-in and sign-out of qvdbx auth (see signin.h). Every request goes through the
// live transport like the module's own, so --origin applies; only the content type is
// sent as a header. No token, no verifier is ever printed.
#include "account/signin.h"

#include "account/oauth.h"
#include "account/settings.h"
#include "cli/terminal.h"
#include "host/files.h"
#include "host/json_text.h"
#include "transport/live_io.h"

#include <algorithm>
#include <cstdlib>
#include <iostream>

namespace {

constexpr char TOKEN_URL[] = DROPBOX_API_ORIGIN "/oauth2/token";
constexpr char REVOKE_URL[] = DROPBOX_API_ORIGIN "/2/auth/token/revoke";
constexpr char FORM_TYPE[] = "application/x-www-form-urlencoded";
constexpr int PRIVATE_FILE = 0600;

struct Answer {
    int rc = -1;  // the transport's: 0 when an HTTP exchange took place
    int status = 0;
    std::string body, error;
};

Answer post(Host &h, const std::string &url, const std::string &body, const char *type) {
    Answer a;
    char *out = nullptr, *err = nullptr;
    a.rc = h.transport.post(h.transport.ctx, url.c_str(), body.c_str(), type, &out, &a.status, &err);
    if (out) a.body = out;
    if (err) a.error = redact(h, err);
    for (char *ptr : {out, err})
        if (h.transport.free) h.transport.free(h.transport.ctx, ptr);
    return a;
}

// The member `key` of an answer's JSON object, "" when absent.
std::string member(const Answer &a, const char *key) {
    JsonDoc doc(a.body);
    const char *value = str_member(doc.root(), key);
    return value ? value : "";
}

// The OAuth error code of an answer, fit to print: printable ASCII as the codes are, so
// that no server can write control sequences to the terminal.
std::string oauth_error(const Answer &a) {
    std::string error = member(a, "error").substr(0, 64);
    bool printable = std::all_of(error.begin(), error.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
    return printable ? error : "?";
}

int transport_failure(const Answer &a, const std::string &what) {
    return host_failure(EXIT_OTHER, what + ": " + (a.error.empty() ? "transport failure" : a.error));
}

// MARK: - Sign-in -----------------------------------------------------------

// A sign-in between its authorize URL and its code, kept next to the settings so that
// `qvdbx auth --code CODE` can finish it later.
struct Pending {
    std::string app_key, verifier;
};

bool read_pending(const std::string &file, Pending &p) {
    std::string text;
    if (!read_file(file, text)) return false;
    JsonDoc doc(text);
    const char *key = str_member(doc.root(), "app_key");
    const char *verifier = str_member(doc.root(), "code_verifier");
    if (!key || !verifier) return false;
    p.app_key = key;
    p.verifier = verifier;
    return true;
}

// Saves the settings (or the pending sign-in) document; the default folder is made
// private first.
int save(Host &h, const std::string &file, const std::string &text) {
    std::string error;
    bool own_folder = h.opt.settings.empty();
    if ((own_folder && !make_private_dir(parent_dir(file), error)) ||
        !write_file_atomically(file, text, PRIVATE_FILE, error))
        return host_failure(EXIT_CONFIG, error);
    return EXIT_DONE;
}

// Makes the verifier, saves it as pending and shows the page to open.
int start(Host &h, const std::string &pending_file, Pending &p) {
    p.app_key = h.opt.app_key;
    const char *env_key = std::getenv("DROPBOX_APP_KEY");
    if (p.app_key.empty() && env_key) p.app_key = env_key;
    if (p.app_key.empty())
        return host_failure(EXIT_CONFIG, "no app key: give --app-key KEY or set DROPBOX_APP_KEY");
    std::string challenge;
    if (!make_code_verifier(p.verifier) || (challenge = code_challenge(p.verifier)).empty())
        return host_failure(EXIT_OTHER, "the system's random source or SHA-256 failed");
    std::string doc = "{\"app_key\":" + json_quote(p.app_key) + ",\"code_verifier\":" + json_quote(p.verifier) + "}\n";
    if (int rc = save(h, pending_file, doc)) return rc;
    std::printf("Open this page, sign in to Dropbox and allow access:\n\n  %s\n\n"
                "Then paste the access code that the page shows: ",
                authorize_url(p.app_key, challenge).c_str());
    std::fflush(stdout);
    return EXIT_DONE;
}

// The code the user pastes, without surrounding blanks; "" at the end of input.
std::string read_code() {
    std::string line;
    std::getline(std::cin, line);
    size_t first = line.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return "";
    return line.substr(first, line.find_last_not_of(" \t\r\n") - first + 1);
}

int exchange_code(Host &h, const Pending &p, const std::string &code, std::string &settings_doc) {
    Answer a = post(h, TOKEN_URL, code_grant_form(code, p.app_key, p.verifier), FORM_TYPE);
    if (a.rc != 0) return transport_failure(a, "the token request failed");
    std::string error = redact(h, oauth_error(a));
    if (error == "invalid_grant")
        return host_failure(EXIT_AUTH, "the access code is wrong, used or expired (invalid_grant): "
                                       "run qvdbx auth again");
    if (a.status != 200)
        return host_failure(a.status / 100 == 4 ? EXIT_AUTH : EXIT_OTHER,
                            "the sign-in was refused: HTTP " + std::to_string(a.status) +
                                (error.empty() ? "" : " " + error));
    std::string access = member(a, "access_token"), refresh = member(a, "refresh_token");
    if (access.empty() || refresh.empty())
        return host_failure(EXIT_OTHER, "the token answer holds no access_token or refresh_token");
    h.settings.access_token = access;
    h.settings.refresh_token = refresh;
    settings_doc = "{\n  \"access_token\": " + json_quote(access) + ",\n  \"refresh_token\": " +
                   json_quote(refresh) + ",\n  \"app_key\": " + json_quote(p.app_key) + "\n}\n";
    return EXIT_DONE;
}

int sign_in(Host &h, const std::string &file) {
    std::string pending_file = file + ".pending";
    Pending p;
    std::string code = h.opt.code;
    if (!code.empty()) {
        if (!read_pending(pending_file, p))
            return host_failure(EXIT_CONFIG, "no sign-in waits for a code: run qvdbx auth first");
    } else {
        if (int rc = start(h, pending_file, p)) return rc;
        code = read_code();
        std::printf("\n");
        if (code.empty())
            return host_failure(EXIT_AUTH, "no access code read; once the page shows it, run: "
                                           "qvdbx auth --code CODE");
    }
    std::string doc;
    if (int rc = exchange_code(h, p, code, doc)) return rc;
    if (int rc = save(h, file, doc)) return rc;
    remove_file(pending_file);
    std::printf("Signed in. The settings are saved in %s\n", file.c_str());
    return EXIT_DONE;
}

// MARK: - Sign-out ----------------------------------------------------------

// Revokes `token` (and with it its refresh token): Dropbox's RPC without arguments takes
// the body null.
Answer revoke_token(Host &h, const std::string &token) {
    return post(h, std::string(REVOKE_URL) + "?authorization=" + pct_encode("Bearer " + token), "null",
                "application/json");
}

int sign_out(Host &h, const std::string &file) {
    Settings &s = h.settings;
    if (!read_file(file, s.text)) return host_failure(EXIT_CONFIG, "not signed in: cannot read " + file);
    read_members(s);
    if (s.access_token.empty()) return host_failure(EXIT_CONFIG, file + " holds no access_token");
    Answer a = revoke_token(h, s.access_token);
    // The saved access token lives 4 hours; an expired one is renewed once to revoke it.
    if (a.rc == 0 && a.status == 401 && !s.refresh_token.empty() && !s.app_key.empty()) {
        Answer renewed = post(h, TOKEN_URL, refresh_grant_form(s.refresh_token, s.app_key), FORM_TYPE);
        if (renewed.rc != 0) return transport_failure(renewed, "the token request failed");
        std::string token = member(renewed, "access_token");
        if (renewed.status == 200 && !token.empty()) a = revoke_token(h, token);
    }
    if (a.rc != 0) return transport_failure(a, "the sign-out failed");
    // 401: the tokens were revoked already; the file is of no use any more.
    if (a.status != 200 && a.status != 401)
        return host_failure(EXIT_OTHER, "the sign-out failed: HTTP " + std::to_string(a.status) + "; " +
                                            file + " is kept");
    if (!remove_file(file)) return host_failure(EXIT_OTHER, "the tokens are revoked, but " + file + " remains");
    std::printf("Signed out: the tokens are %s and %s is deleted.\n",
                a.status == 200 ? "revoked" : "no longer valid", file.c_str());
    return EXIT_DONE;
}

} // namespace

int cmd_auth(Host &h, const Face &) {
    std::string file = h.opt.settings.empty() ? saved_settings_path() : h.opt.settings;
    if (file.empty())
        return host_failure(EXIT_CONFIG, "no folder for the settings (HOME is not set): give --settings FILE");
    return h.opt.revoke ? sign_out(h, file) : sign_in(h, file);
}
