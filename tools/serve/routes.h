// What qvdbx serve answers: one request in, one response out, whatever HTTP library
// carries them. A file is a redirect to its stream link; a folder with its slash is a page,
// a playlist (?format=m3u) or an items document (?format=json); one without it is sent to
// the slash. Before any of that: the Host check (no key), the key, the method and the path.
#pragma once

#include "access.h"
#include "bridge.h"
#include "documents.h"

#include <string>
#include <utility>
#include <vector>

// Request targets longer than this are refused (414).
constexpr size_t MAX_REQUEST_TARGET = 8192;

struct ServeConfig {
    std::string root;  // the served folder as served_folder() gives it, "" for Dropbox's root
    ListenAddress listen;
    std::string key;  // "" when URLs carry none
    WalkLimits limits;
};

struct Request {
    std::string method;
    std::string target;  // as sent: the raw path and query
    bool has_host = false;
    std::string host;    // the Host header
};

struct Response {
    int status = 200;
    std::string content_type;  // "" for none
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string note;  // why it failed, for the access log; never a credential
};

Response route(const ServeConfig &config, Bridge &bridge, const Request &request);

// The access log's line for a request (no line break): method, target with the key hidden
// and control characters replaced, status, milliseconds, and the note if any.
std::string access_line(const ServeConfig &config, const Request &request, const Response &response, double ms);
