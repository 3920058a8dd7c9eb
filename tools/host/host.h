// What every part of qvdbx shares: the exit statuses, the parsed options, the settings,
// the entries as the faces report them and the Host that carries one run's state.
#pragma once

#include "host/exit_status.h"
#include "host/module.h"
#include "transport/progress_io.h"

#include <cstdint>
#include <string>
#include <string_view>
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

// An entry as a face reads it from the module's own storage, without a copy: valid only
// during the ListSink::entries call that hands it over.
struct ItemView {
    std::string_view name, path, id;
    bool folder = false;
    int64_t size = -1;
};

// A copy the host keeps.
inline Item to_item(const ItemView &v) {
    return {std::string(v.name), std::string(v.path), std::string(v.id), v.folder, v.size};
}

// Takes a listing as a face produces it: the entries a batch at a time (each page of the
// backend, the whole folder on the other faces) and the items document in pieces, all
// read from the module's storage and valid only during the call. A face reads only what
// the sink wants, so that a command keeps nothing it does not need.
class ListSink {
public:
    virtual ~ListSink() = default;
    virtual bool wants_entries() const = 0;
    virtual bool wants_document() const = 0;
    virtual void entries(const std::vector<ItemView> &batch) = 0;
    virtual void document(std::string_view piece) = 0;
};

// A listing the host keeps: every entry, and the items document unless told otherwise.
struct Listing final : ListSink {
    std::vector<Item> items;
    std::string json;  // one items document for the whole folder
    bool keep_document = true;

    bool wants_entries() const override { return true; }
    bool wants_document() const override { return keep_document; }
    void entries(const std::vector<ItemView> &batch) override {
        for (const ItemView &v : batch) items.push_back(to_item(v));
    }
    void document(std::string_view piece) override { json.append(piece); }
};

struct Host {
    Module module;  // the loaded module
    Options opt;
    Settings settings;
    quendo_io transport{};  // the real transport: the module's fixture one, or the live HTTPS one
    quendo_io module_io{};  // what the module is handed: `transport` behind the progress wrapper
    Progress progress;
};
