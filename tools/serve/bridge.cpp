// The bridge to the module (see bridge.h).
#include "serve/bridge.h"

#include "cli/terminal.h"
#include "host/json_text.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

using std::chrono::duration_cast;
using std::chrono::milliseconds;

// A request waits this long for the module at most, then is asked to come back.
constexpr std::chrono::seconds LOCK_WAIT{20};
constexpr long BUSY_RETRY_S = 5;

int64_t steady_ms() {
    return duration_cast<milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A URL that can go into a Location header as it is.
bool usable_link(const std::string &url) {
    bool scheme = url.compare(0, 8, "https://") == 0 || url.compare(0, 7, "http://") == 0;
    return scheme && std::none_of(url.begin(), url.end(), [](char c) {
               return static_cast<unsigned char>(c) <= 0x20 || c == 0x7F;
           });
}

// The settings document with the first "access_token" member (the one the module reads)
// set to `token`; unchanged when it cannot be read.
std::string with_access_token(const std::string &settings, const std::string &token) {
    yyjson_doc *doc = yyjson_read(settings.data(), settings.size(), 0);
    yyjson_mut_doc *mut = doc ? yyjson_doc_mut_copy(doc, nullptr) : nullptr;
    yyjson_doc_free(doc);
    if (!mut) return settings;
    std::string out = settings;
    yyjson_mut_val *root = yyjson_mut_doc_get_root(mut);
    yyjson_mut_val *value = yyjson_mut_strncpy(mut, token.data(), token.size());
    if (value && yyjson_mut_obj_replace(root, yyjson_mut_str(mut, "access_token"), value)) {
        if (char *text = yyjson_mut_write(mut, 0, nullptr)) {
            out = text;
            std::free(text);
        }
    }
    yyjson_mut_doc_free(mut);
    return out;
}

} // namespace

Bridge::Bridge(Host &h, const Face &face, const BridgeOptions &options)
    : h_(h), face_(face), max_wait_s_(options.max_wait_s), links_(options.link_ttl, LINK_CAPACITY),
      listings_(options.dir_ttl, LISTING_ENTRIES) {
    tap_.inner = h.module_io;
    h.module_io = quendo_io{&tap_, h.module_io.get ? tap_get : nullptr, tap_post, tap_free};
}

Bridge::~Bridge() { h_.module_io = tap_.inner; }

int Bridge::tap_post(void *ctx, const char *url, const char *body, const char *type, char **out, int *status,
                     char **err) {
    Tap &tap = *static_cast<Tap *>(ctx);
    int rc = tap.inner.post(tap.inner.ctx, url, body, type, out, status, err);
    if (rc == 0 && *status == 200 && *out && std::strstr(url, "/oauth2/token")) {
        JsonDoc answer(*out);
        if (const char *token = str_member(answer.root(), "access_token")) tap.fresh_token = token;
    }
    return rc;
}

int Bridge::tap_get(void *ctx, const char *url, char **out, int *status, char **err) {
    Tap &tap = *static_cast<Tap *>(ctx);
    return tap.inner.get(tap.inner.ctx, url, out, status, err);
}

void Bridge::tap_free(void *ctx, void *ptr) {
    Tap &tap = *static_cast<Tap *>(ctx);
    if (tap.inner.free) tap.inner.free(tap.inner.ctx, ptr);
    else std::free(ptr);
}

long Bridge::blocked_for_s() const {
    int64_t left = blocked_until_ms_.load() - steady_ms();
    return left > 0 ? long((left + 999) / 1000) : 0;
}

void Bridge::keep_fresh_token() {
    if (tap_.fresh_token.empty()) return;
    h_.settings.text = with_access_token(h_.settings.text, tap_.fresh_token);
    h_.settings.access_token = tap_.fresh_token;
    tap_.fresh_token.clear();
}

template <class Call> Upstream Bridge::under_lock(Call call) {
    if (long wait = blocked_for_s()) return {Outcome::rate_limited, wait, "waiting out a rate limit"};
    std::unique_lock<std::timed_mutex> hold(module_lock_, std::defer_lock);
    if (!hold.try_lock_for(LOCK_WAIT)) return {Outcome::busy, BUSY_RETRY_S, "the module stayed busy"};
    // A request ahead of this one may have met a rate limit meanwhile.
    if (long wait = blocked_for_s()) return {Outcome::rate_limited, wait, "waiting out a rate limit"};
    Upstream result = call();
    keep_fresh_token();
    return result;
}

// Right after a face call, while the module lock is held: its error record is this call's.
Upstream Bridge::outcome_of(int status) {
    if (status == EXIT_DONE) return {};
    int code = h_.module.qvdbx_last_code();
    Upstream up{Outcome::failed, 0, std::string(h_.module.qvdbx_strerror(code)) + ": " + redact(h_, h_.module.qvdbx_last_error())};
    if (status == EXIT_NOT_FOUND) {
        up.outcome = Outcome::not_found;
    } else if (status == EXIT_RATE_LIMITED) {
        long wait = std::max(1, h_.module.qvdbx_retry_after_s());
        if (max_wait_s_ >= 0) wait = std::max(1L, std::min(wait, max_wait_s_));
        blocked_until_ms_.store(steady_ms() + wait * 1000);
        up.outcome = Outcome::rate_limited;
        up.retry_after_s = wait;
    } else if (status == EXIT_OTHER && code == QVDBX_E_BAD_REQUEST) {
        int http = h_.module.qvdbx_last_http_code();
        up.outcome = http == 409 ? Outcome::conflict : http == 400 ? Outcome::bad_input : Outcome::failed;
    }
    return up;
}

Upstream Bridge::link(const std::string &path, StreamLink &out) {
    auto fresh = [&] {
        auto hit = links_.find(path, Clock::now());
        if (hit.value) out = {hit.value, long(duration_cast<std::chrono::seconds>(hit.left).count())};
        return hit.value != nullptr;
    };
    if (fresh()) return {};
    return under_lock([&] {
        if (fresh()) return Upstream{};  // made while this request waited
        std::string url;
        Upstream up = outcome_of(face_.link(h_, path.c_str(), url));
        if (up.outcome != Outcome::ok) return up;
        if (!usable_link(url)) return Upstream{Outcome::failed, 0, "the module answered an unusable link"};
        out.url = std::make_shared<const std::string>(std::move(url));
        out.left_s = long(duration_cast<std::chrono::seconds>(links_.ttl()).count());
        links_.put(path, out.url, Clock::now());
        return up;
    });
}

Upstream Bridge::listing(const std::string &path, std::shared_ptr<const Listing> &out) {
    auto fresh = [&] { return (out = listings_.find(path, Clock::now()).value) != nullptr; };
    if (fresh()) return {};
    return under_lock([&] {
        if (fresh()) return Upstream{};
        auto listing = std::make_shared<Listing>();
        Upstream up = outcome_of(face_.list(h_, path.c_str(), *listing));
        if (up.outcome != Outcome::ok) return up;
        out = listing;
        listings_.put(path, out, Clock::now(), listing->items.size() + 1);
        return up;
    });
}

std::shared_ptr<const Listing> Bridge::cached_listing(const std::string &path) const {
    return listings_.find(path, Clock::now()).value;
}

Upstream Bridge::is_folder(const std::string &path, bool &folder) {
    return under_lock([&] {
        Item item;
        Upstream up = outcome_of(face_.stat(h_, path.c_str(), item));
        folder = item.folder;
        return up;
    });
}
