// The libcurl transport. Honours the quendo_io contract: synchronous; outputs preset to
// NULL/0/NULL; the content type exactly as given and no other request header; the body
// and the error text are malloc'd so that the `free` slot (standard free) releases them;
// 0 when an HTTP exchange took place, whatever its status. TLS peers are verified, no
// redirect is followed, and nothing is ever logged (the token travels in the URL).
#include "transport/live_io.h"
#include "transport/live_io_util.h"

#include <curl/curl.h>

#include <cstring>
#include <memory>
#include <new>

namespace {

struct CurlIo {
    CURL *easy = nullptr;
    std::string origin;
    char errbuf[CURL_ERROR_SIZE] = {};
};

size_t on_data(char *ptr, size_t size, size_t nmemb, void *userdata) {
    size_t n = size * nmemb;
    // 0 aborts the transfer (CURLE_WRITE_ERROR).
    return static_cast<LiveBody *>(userdata)->append(ptr, n) ? n : 0;
}

// One exchange (LiveExchange).
int exchange(void *ctx, const char *url, const char *request_body, const char *content_type,
             char **body, int *status, char **err) {
    CurlIo *io = live_exchange_begin<CurlIo>(ctx, url, body, status, err);
    if (!io) {
        if (err) *err = live_dup_text("curl: bad transport call");
        return -1;
    }
    std::string target;
    std::string type_header;
    try {
        target = live_target(io->origin, url);
        type_header = std::string("Content-Type: ") + (content_type ? content_type : "");
    } catch (const std::bad_alloc &) {
        if (err) *err = live_dup_text("curl: out of memory");
        return -1;
    }

    // The content type and nothing else: curl's default Accept and Expect are removed.
    curl_slist *headers = nullptr;
    curl_slist *more = nullptr;
    if (request_body) {
        headers = curl_slist_append(nullptr, type_header.c_str());
        more = headers ? curl_slist_append(headers, "Accept:") : nullptr;
        more = more ? curl_slist_append(more, "Expect:") : nullptr;
    } else {
        headers = more = curl_slist_append(nullptr, "Accept:");
    }
    if (!more) {
        curl_slist_free_all(headers);
        if (err) *err = live_dup_text("curl: out of memory");
        return -1;
    }

    LiveBody buf;
    io->errbuf[0] = '\0';
    curl_easy_setopt(io->easy, CURLOPT_URL, target.c_str());
    if (request_body) {
        curl_easy_setopt(io->easy, CURLOPT_POST, 1L);
        curl_easy_setopt(io->easy, CURLOPT_POSTFIELDS, request_body);
        curl_easy_setopt(io->easy, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(std::strlen(request_body)));
    } else {
        curl_easy_setopt(io->easy, CURLOPT_HTTPGET, 1L);
    }
    curl_easy_setopt(io->easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(io->easy, CURLOPT_WRITEFUNCTION, on_data);
    curl_easy_setopt(io->easy, CURLOPT_WRITEDATA, &buf);
    CURLcode rc = curl_easy_perform(io->easy);
    curl_easy_setopt(io->easy, CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(headers);

    long code = 0;
    curl_easy_getinfo(io->easy, CURLINFO_RESPONSE_CODE, &code);
    *status = static_cast<int>(code);
    if (rc != CURLE_OK) {
        if (err) {
            const char *why = io->errbuf[0] ? io->errbuf : curl_easy_strerror(rc);
            if (rc == CURLE_WRITE_ERROR) why = buf.over_cap() ? "answer larger than 64 MiB" : "out of memory";
            std::string text = std::string("curl: ") + why;
            *err = live_dup_text(text.c_str());
        }
        return 1;
    }
    *body = buf.release();
    return 0;
}

} // namespace

bool live_io_open(quendo_io *io, const LiveIoOptions &options, std::string &error) {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        error = "libcurl failed to start";
        return false;
    }
    CurlIo *state = new (std::nothrow) CurlIo;
    CURL *easy = state ? curl_easy_init() : nullptr;
    if (!easy) {
        delete state;
        curl_global_cleanup();
        error = "libcurl failed to start";
        return false;
    }
    state->easy = easy;
    state->origin = options.origin;
    bool plain_http = live_plain_http(options.origin);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, state->errbuf);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, options.connect_timeout_s);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT, options.total_timeout_s);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    // HTTPS only; plain HTTP only toward an --origin that names it (the test server).
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, plain_http ? "http" : "https");
#else
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS, plain_http ? CURLPROTO_HTTP : CURLPROTO_HTTPS);
#endif
    live_io_slots<exchange>(io, state);
    return true;
}

void live_io_close(quendo_io *io) {
    std::unique_ptr<CurlIo> state(live_io_take<CurlIo>(io));
    if (!state) return;
    curl_easy_cleanup(state->easy);
    curl_global_cleanup();
}
