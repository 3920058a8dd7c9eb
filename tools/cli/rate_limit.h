// Waiting out rate limits: an answer of HTTP 429 is asked again after the wait the
// module reports, up to MAX_RETRIES times per request, instead of ending the command.
#pragma once

#include "host/host.h"

constexpr int MAX_RETRIES = 5;

// After a failed call: true when the module's last failure was a rate limit that may be
// waited out (not --no-wait, fewer than MAX_RETRIES `retries`); then it has waited, with
// a countdown when stderr is a terminal, and counted the retry.
bool wait_out_rate_limit(Host &h, int &retries);

// The status of `call()`, asked again while `failed(status)` says it failed and the
// failure is a rate limit that may be waited out. `call` must repeat the same request:
// each face keeps what it needs to resume (cursor, table) across a failed call.
template <class Call, class Failed>
auto retrying(Host &h, Call call, Failed failed) {
    int retries = 0;
    auto status = call();
    while (failed(status) && wait_out_rate_limit(h, retries)) status = call();
    return status;
}
