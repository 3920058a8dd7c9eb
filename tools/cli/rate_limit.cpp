// The wait after a rate-limited answer (see rate_limit.h).
#include "cli/rate_limit.h"

#include "cli/terminal.h"

#include <algorithm>
#include <chrono>
#include <thread>

bool wait_out_rate_limit(Host &h, int &retries) {
    if (h.module.qvdbx_last_code() != QVDBX_E_RATE_LIMITED || h.opt.no_wait || retries >= MAX_RETRIES)
        return false;
    ++retries;
    long wait = h.module.qvdbx_retry_after_s();
    if (h.opt.max_wait_s >= 0) wait = std::min(wait, h.opt.max_wait_s);
    bool show = is_terminal(stderr);
    for (long left = wait; left > 0; --left) {
        if (show)
            status_line("rate limited: asking again in " + std::to_string(left) + " s (" +
                                        std::to_string(retries) + " of " + std::to_string(MAX_RETRIES) + ")");
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    if (show) status_line("");
    return true;
}
