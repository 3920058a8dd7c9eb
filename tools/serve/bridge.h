// Between the HTTP requests of qvdbx serve and the module. Every call into the module goes
// through one lock, since the module's state is global; stream links and folder listings
// are kept in caches of their own, which requests read without that lock. After a
// rate-limited answer, requests that need Dropbox are turned away at once until the wait
// is over: the bridge never sleeps on it. A token that the module's refresh fetched is
// kept for the calls that follow, so it refreshes once, not on every request.
#pragma once

#include "faces/faces.h"
#include "serve/ttl_cache.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

enum class Outcome {
    ok,
    not_found,
    conflict,      // Dropbox's 409 other than not found: not a file, not a folder, restricted
    bad_input,     // Dropbox's 400: the path is not one it takes
    rate_limited,  // wait retry_after_s
    busy,          // the module stayed taken too long; wait retry_after_s
    failed,        // authentication that no refresh mends, the transport, anything else
};

struct Upstream {
    Outcome outcome = Outcome::ok;
    long retry_after_s = 0;
    std::string reason;  // the module's message with credentials hidden, for the access log
};

struct BridgeOptions {
    std::chrono::seconds link_ttl{13800};
    std::chrono::seconds dir_ttl{300};
    long max_wait_s = -1;  // caps the wait after a rate limit; -1: as the module says
};

struct StreamLink {
    std::shared_ptr<const std::string> url;
    long left_s = 0;  // whole seconds it is still handed out
};

class Bridge {
public:
    // Wraps h.module_io for as long as the bridge lives; `face` makes every call.
    Bridge(Host &h, const Face &face, const BridgeOptions &options);
    ~Bridge();
    Bridge(const Bridge &) = delete;
    Bridge &operator=(const Bridge &) = delete;

    // The stream link of the file at Dropbox path `path`: cached, or made now.
    Upstream link(const std::string &path, StreamLink &out);

    // The whole folder at Dropbox path `path` ("/" for the root): cached, or listed now.
    Upstream listing(const std::string &path, std::shared_ptr<const Listing> &out);

    // The listing of `path` when the cache holds it fresh, else null; never asks Dropbox.
    std::shared_ptr<const Listing> cached_listing(const std::string &path) const;

    // Whether `path` is a folder (asked every time; only for the rare URL that names a
    // folder without its slash).
    Upstream is_folder(const std::string &path, bool &folder);

    // Caps of the caches: links kept at most, and the entries of all listings kept (each
    // listing weighs one more than its entries), so that memory follows the entries held
    // rather than the count of folders: room for one folder of 200,000 files, or many
    // small ones.
    static constexpr size_t LINK_CAPACITY = 10000;
    static constexpr size_t LISTING_ENTRIES = 250000;

private:
    using Clock = std::chrono::steady_clock;
    struct Tap {
        quendo_io inner{};
        std::string fresh_token;  // from a refresh the module made in the current call
    };

    // Runs `call` (which returns an Upstream) under the module lock, unless a rate limit
    // or a long wait for the lock turns the request away.
    template <class Call> Upstream under_lock(Call call);
    Upstream outcome_of(int status);
    long blocked_for_s() const;
    void keep_fresh_token();

    static int tap_post(void *ctx, const char *url, const char *body, const char *type, char **out, int *status,
                        char **err);
    static int tap_get(void *ctx, const char *url, char **out, int *status, char **err);
    static void tap_free(void *ctx, void *ptr);

    Host &h_;
    const Face &face_;
    const long max_wait_s_;
    Tap tap_;
    std::timed_mutex module_lock_;
    std::atomic<int64_t> blocked_until_ms_{0};  // steady clock; 0: not blocked
    TtlCache<std::string> links_;
    TtlCache<Listing> listings_;
};
