// What every part of qvdbx shares: the exit statuses, the parsed options, the settings,
// the entries as the faces report them and the Host that carries one run's state.
#pragma once

#include "module.h"

#include <cstdint>
#include <string>
#include <vector>

// Exit statuses, one per failure class.
enum Exit {
    EXIT_DONE = 0,
    EXIT_OTHER = 1,
    EXIT_USAGE = 2,
    EXIT_CONFIG = 3,
    EXIT_AUTH = 4,
    EXIT_NOT_FOUND = 5,
    EXIT_RATE_LIMITED = 6,
};

struct Options {
    std::string face = "handler";
    std::string module;
    std::string fixtures;
    std::string settings;
    std::string origin;
    std::string app_key, code;  // auth
    std::string output;         // playlist: -o FILE
    bool live = false;
    bool json = false;
    bool no_wait = false;       // a 429 fails at once
    bool revoke = false;        // auth --revoke
    long max_wait_s = -1;       // caps each wait after a 429; -1: as the module says
    long timeout_s = 0;         // with --live: each request's time limit; 0: the default
    std::string listen, key;    // serve: --listen ADDR:PORT, --key KEY
    long link_ttl_s = -1, dir_ttl_s = -1;  // serve: how long links and listings are kept; -1: the defaults
    bool quiet = false;         // serve: no access log
    std::string command;
    std::vector<std::string> args;
};

// The credentials and default folder, as the module's settings document holds them.
struct Settings {
    std::string text;  // the document handed to the handler and backend faces
    std::string access_token, refresh_token, app_key, path;
    bool has_refresh_token = false, has_app_key = false;
};

// One entry as every face reports it. `path` is the display path when the face gives
// one (handler, flat), else the locator (backend).
struct Item {
    std::string name, path, id;
    bool folder = false;
    int64_t size = -1;
};

struct Listing {
    std::vector<Item> items;
    std::string json;  // one items document for the whole folder
};

// Counts list pages as they pass through the transport, for the progress line.
struct Progress {
    quendo_io inner{};
    bool enabled = false;
    std::string label;
    int pages = 0;
    long entries = 0;
};

struct Host {
    Module m;
    Options opt;
    Settings settings;
    quendo_io io{};  // what the module is handed: the progress wrapper
    quendo_io base{};  // the real transport
    Progress progress;
};
