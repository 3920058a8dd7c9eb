// What every part of qvdbx shares: the exit statuses, the parsed options, the settings,
// the entries as the faces report them and the Host that carries one run's state.
#pragma once

#include "host/exit_status.h"
#include "host/module.h"
#include "transport/progress_io.h"

#include <cstdint>
#include <string>
#include <vector>

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

struct Host {
    Module module;  // the loaded module
    Options opt;
    Settings settings;
    quendo_io transport{};  // the real transport: the module's fixture one, or the live HTTPS one
    quendo_io module_io{};  // what the module is handed: `transport` behind the progress wrapper
    Progress progress;
};
