// What the live transports (curl_io.cpp, winhttp_io.cpp) share: the origin swap, texts
// handed to the module, and the answer buffer with its size cap. Host only.
#pragma once

#include "qvdbx.h"

#include <cstddef>
#include <cstdlib>
#include <string>

constexpr size_t LIVE_MAX_BODY = size_t(64) << 20;  // answers above 64 MiB are refused

// A malloc'd copy of `text`, for the transport's `free` slot (standard free) to release;
// NULL when memory ran out.
char *live_dup_text(const char *text);

// `url` with DROPBOX_API_ORIGIN replaced by `origin` when `origin` is not empty.
std::string live_target(const std::string &origin, const char *url);

// True when `origin` names plain HTTP: allowed only toward an --origin that says so (the
// test server); everything else is HTTPS.
inline bool live_plain_http(const std::string &origin) { return origin.compare(0, 7, "http://") == 0; }

// Presets an exchange's outputs (no body, status 0, no error) and answers the transport's
// state `ctx`, or nullptr for a call without state, URL, body or status output.
template <class State>
State *live_exchange_begin(void *ctx, const char *url, char **body, int *status, char **err) {
    if (body) *body = nullptr;
    if (status) *status = 0;
    if (err) *err = nullptr;
    return url && body && status ? static_cast<State *>(ctx) : nullptr;
}

// The transport's own state taken out of `io` (nullptr when none is open); `io` is then
// closed.
template <class State> State *live_io_take(quendo_io *io) {
    State *state = static_cast<State *>(io->ctx);
    io->ctx = nullptr;
    return state;
}

// The answer body: malloc'd, NUL-terminated, NULL while empty. Freed unless released.
class LiveBody {
public:
    LiveBody() = default;
    ~LiveBody();
    LiveBody(const LiveBody &) = delete;
    LiveBody &operator=(const LiveBody &) = delete;

    // False when the answer would pass LIVE_MAX_BODY (over_cap() tells) or memory ran out.
    bool append(const char *bytes, size_t n);
    bool over_cap() const { return over_cap_; }
    size_t size() const { return len_; }
    // Hands the buffer over (NULL for an empty answer; the module reads that as "").
    char *release();

private:
    char *data_ = nullptr;
    size_t len_ = 0;
    size_t cap_ = 0;
    bool over_cap_ = false;
};

// One HTTP exchange of a transport; `request_body` NULL means GET.
using LiveExchange = int (*)(void *ctx, const char *url, const char *request_body,
                             const char *content_type, char **body, int *status, char **err);

// Fills the quendo_io slots over `Exchange`: get and post (an absent body is sent empty),
// and free as the standard free, which releases what live_dup_text and LiveBody allocate.
template <LiveExchange Exchange> void live_io_slots(quendo_io *io, void *ctx) {
    io->ctx = ctx;
    io->get = [](void *c, const char *url, char **body, int *status, char **err) {
        return Exchange(c, url, nullptr, nullptr, body, status, err);
    };
    io->post = [](void *c, const char *url, const char *request_body, const char *content_type,
                  char **body, int *status, char **err) {
        return Exchange(c, url, request_body ? request_body : "", content_type, body, status, err);
    };
    io->free = [](void *, void *ptr) { std::free(ptr); };
}
