// Requests to responses (see routes.h). Error bodies are one line of plain text that
// names the kind of failure only: never a token, never a path.
#include "serve/routes.h"

#include "serve/url_path.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr char TEXT[] = "text/plain; charset=utf-8";

Response text(int status, const std::string &line, const std::string &note = "") {
    Response r;
    r.status = status;
    r.content_type = TEXT;
    r.body = line + "\n";
    r.note = note;
    return r;
}

Response redirect(int status, const std::string &location) {
    Response r;
    r.status = status;
    r.headers.emplace_back("Location", location);
    return r;
}

// A folder page may run only its own inline script and style and play media from any
// host; the page's own policy narrows the script and style to their hashes.
constexpr char PAGE_POLICY[] = "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                               "media-src *; img-src data:; base-uri 'none'; form-action 'none'; "
                               "frame-ancestors 'none'";

Response document(const char *type, std::string body) {
    Response r;
    r.content_type = type;
    r.body = std::move(body);
    r.headers.emplace_back("Cache-Control", "no-cache");
    // Read as the type says; URLs, which may hold the key, never leave as a referrer.
    r.headers.emplace_back("X-Content-Type-Options", "nosniff");
    r.headers.emplace_back("Referrer-Policy", "no-referrer");
    return r;
}

// A failure of Dropbox or of the way to it, as players understand it.
Response upstream_failure(const Upstream &up) {
    switch (up.outcome) {
    case Outcome::ok: break;
    case Outcome::not_found:
    case Outcome::conflict: return text(404, "not found");
    case Outcome::bad_input: return text(400, "bad request: Dropbox refused the path", up.reason);
    case Outcome::rate_limited:
    case Outcome::busy: {
        std::string wait = std::to_string(up.retry_after_s);
        Response r = text(503, (up.outcome == Outcome::busy ? "busy" : "rate limited by Dropbox") +
                                   std::string(": retry after ") + wait + " s",
                          up.reason);
        r.headers.emplace_back("Retry-After", wait);
        return r;
    }
    case Outcome::failed: break;
    }
    return text(502, "bad gateway: Dropbox failed", up.reason);
}

// What one request is about, once the checks before routing have passed.
struct Target {
    UrlPath path;
    std::string query;    // raw, without "?"
    std::string format;   // "", "m3u", "json"
    bool recursive = false;
    std::string root;     // the absolute path of the served root: "/" or "/KEY/"
    std::string origin;   // "http://host:port", as the client named the server
};

std::string with_query(std::string location, const std::string &query) {
    return query.empty() ? location : location + "?" + query;
}

// The absolute path of the folder that `t` names, with its slash.
std::string folder_location(const Target &t) {
    const std::vector<std::string> &segments = t.path.segments;
    return t.root + encode_path(segments, segments.size()) + (segments.empty() ? "" : "/");
}

// True when the listing of the parent folder, if cached, shows a folder by that name.
bool cached_as_folder(const ServeConfig &config, Bridge &bridge, const std::vector<std::string> &segments) {
    std::vector<std::string> parent(segments.begin(), segments.end() - 1);
    std::shared_ptr<const Listing> listing = bridge.cached_listing(dropbox_path(config.root, parent));
    return listing && std::any_of(listing->items.begin(), listing->items.end(), [&](const Item &item) {
               return item.folder && item.name == segments.back();
           });
}

Response file_answer(const ServeConfig &config, Bridge &bridge, const Target &t) {
    if (cached_as_folder(config, bridge, t.path.segments)) return redirect(301, with_query(folder_location(t), t.query));
    std::string path = dropbox_path(config.root, t.path.segments);
    StreamLink link;
    Upstream up = bridge.link(path, link);
    if (up.outcome == Outcome::ok) {
        Response r = redirect(302, *link.url);
        r.headers.emplace_back("Cache-Control", "private, max-age=" + std::to_string(link.left_s));
        return r;
    }
    if (up.outcome != Outcome::conflict) return upstream_failure(up);
    // No link for it: a folder named without its slash, or a file Dropbox will not stream.
    bool folder = false;
    Upstream kind = bridge.is_folder(path, folder);
    if (kind.outcome != Outcome::ok) return upstream_failure(kind);
    if (folder) return redirect(301, with_query(folder_location(t), t.query));
    return text(502, "bad gateway: Dropbox gives no link for this file", up.reason);
}

Response folder_answer(const ServeConfig &config, Bridge &bridge, const Target &t) {
    const std::vector<std::string> &segments = t.path.segments;
    if (t.format == "m3u") {
        Upstream failure;
        ListFolder list = [&](const std::vector<std::string> &at, std::shared_ptr<const Listing> &out) {
            failure = bridge.listing(dropbox_path(config.root, at), out);
            return failure.outcome == Outcome::ok;
        };
        Walk walk;
        if (!walk_playlist(segments, t.recursive, t.origin + t.root, list, config.limits, walk))
            return upstream_failure(failure);
        return document("audio/x-mpegurl; charset=utf-8", walk_m3u(walk, config.limits));
    }
    std::shared_ptr<const Listing> listing;
    Upstream up = bridge.listing(dropbox_path(config.root, segments), listing);
    if (up.outcome != Outcome::ok) return upstream_failure(up);
    if (t.format == "json") {
        std::string json;
        if (!items_with_urls(listing->json, t.origin + folder_location(t), json))
            return text(502, "bad gateway: the module answered an unreadable items document");
        return document("application/json", std::move(json));
    }
    Response page = document("text/html; charset=utf-8", folder_page_html(folder_page_of(*listing, segments, t.root)));
    page.headers.emplace_back("Content-Security-Policy", PAGE_POLICY);
    return page;
}

// Reads ?format= and &recursive=; false for values it does not know.
bool read_query(Target &t) {
    std::vector<std::pair<std::string, std::string>> pairs;
    if (!parse_query(t.query, pairs)) return false;
    for (const auto &[name, value] : pairs) {
        if (name == "format") {
            if (value != "m3u" && value != "json" && value != "html") return false;
            t.format = value == "html" ? "" : value;
        } else if (name == "recursive") {
            if (value != "0" && value != "1") return false;
            t.recursive = value == "1";
        }
    }
    return true;
}

} // namespace

Response route(const ServeConfig &config, Bridge &bridge, const Request &request) {
    if (request.target.size() > MAX_REQUEST_TARGET) return text(414, "request line too long");
    Target t;
    size_t question = request.target.find('?');
    std::string path = request.target.substr(0, question);
    if (question != std::string::npos) t.query = request.target.substr(question + 1);
    // The query may go back in a Location header: only what a URL may hold.
    if (std::any_of(t.query.begin(), t.query.end(), [](char c) {
            return static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) == 0x7F;
        }))
        return text(400, std::string("bad request: ") + path_fault_text(PathFault::control));

    // Without a key, only this machine's own names: a web page cannot reach the bridge
    // through a name of its own that resolves here.
    std::string host_name;
    bool plain_host = request.has_host && host_header_name(request.host, host_name);
    if (config.key.empty() && request.has_host && !(plain_host && host_allowed(host_name, config.listen)))
        return text(403, "forbidden");
    t.origin = "http://" + (plain_host ? request.host : config.listen.host + ":" + std::to_string(config.listen.port));

    t.root = "/";
    if (!config.key.empty()) {
        size_t end = path.find('/', 1);
        bool keyed = !path.empty() && path[0] == '/' &&
                     key_matches(path.substr(1, end == std::string::npos ? std::string::npos : end - 1), config.key);
        if (!keyed) return text(404, "not found");
        t.root += config.key + "/";
        if (end == std::string::npos) return redirect(301, with_query(t.root, t.query));
        path.erase(0, end);
    }
    if (request.method != "GET" && request.method != "HEAD") {
        Response r = text(405, "method not allowed");
        r.headers.emplace_back("Allow", "GET, HEAD");
        return r;
    }
    PathFault fault = parse_url_path(path, t.path);
    if (fault != PathFault::none) return text(400, std::string("bad request: ") + path_fault_text(fault));
    if (!read_query(t)) return text(400, "bad request: unknown format or recursive value");
    return t.path.folder ? folder_answer(config, bridge, t) : file_answer(config, bridge, t);
}

std::string access_line(const ServeConfig &config, const Request &request, const Response &response, double ms) {
    char timing[32];
    std::snprintf(timing, sizeof timing, "%.1f ms", ms);
    std::string line = loggable_target(request.method, false) + " " +
                       loggable_target(request.target, !config.key.empty()) + " " +
                       std::to_string(response.status) + " " + timing;
    return response.note.empty() ? line : line + " (" + response.note + ")";
}
