// The WinHTTP transport (Windows). Honours the quendo_io contract as the libcurl one does:
// synchronous; outputs preset to NULL/0/NULL; the content type exactly as given and no
// other request header (no user agent, no cookies, no accept list); the body and the
// error text are malloc'd so that the `free` slot (standard free) releases them; 0 when an
// HTTP exchange took place, whatever its status. TLS peers are verified (WinHTTP's
// default, never relaxed here), no redirect is followed, and nothing is ever logged (the
// token travels in the URL, which no error text repeats).
#include "host/utf16.h"
#include "transport/live_io.h"
#include "transport/live_io_util.h"

#include <windows.h>
#include <winhttp.h>

#include <cstring>
#include <cwchar>
#include <memory>
#include <new>

namespace {

struct WinHttpIo {
    HINTERNET session = nullptr;
    std::string origin;
    INTERNET_SCHEME scheme = INTERNET_SCHEME_HTTPS;  // the only one allowed
    DWORD connect_ms = 0;
    DWORD total_ms = 0;
};

// A WinHTTP handle closed when it leaves scope.
class Handle {
public:
    explicit Handle(HINTERNET h) : h_(h) {}
    ~Handle() {
        if (h_) WinHttpCloseHandle(h_);
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    HINTERNET get() const { return h_; }

private:
    HINTERNET h_;
};

// A failed exchange: the error text, and 1 or -1 as the contract's result.
int fail(char **err, const std::string &why, int result = 1) {
    if (err) *err = live_dup_text(("winhttp: " + why).c_str());
    return result;
}

// WinHTTP's own words for an error code, with the code.
std::string describe(DWORD code) {
    switch (code) {
    case ERROR_WINHTTP_TIMEOUT: return "operation timed out";
    case ERROR_WINHTTP_NAME_NOT_RESOLVED: return "could not resolve host";
    case ERROR_WINHTTP_CANNOT_CONNECT: return "could not connect to server";
    case ERROR_WINHTTP_SECURE_FAILURE: return "TLS certificate verification failed";
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR: return "TLS handshake failed";
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE: return "invalid answer from the server";
    case ERROR_NOT_ENOUGH_MEMORY: return "out of memory";
    default: break;
    }
    char text[256] = "";
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             GetModuleHandleW(L"winhttp.dll"), code, 0, text, sizeof text, nullptr);
    while (n > 0 && std::strchr(" \r\n.", text[n - 1])) text[--n] = '\0';
    return (n ? std::string(text) : std::string("error")) + " (" + std::to_string(code) + ")";
}

// Milliseconds left before `deadline`, at least 1 (WinHTTP reads 0 as "no limit").
DWORD remaining_ms(ULONGLONG deadline) {
    ULONGLONG now = GetTickCount64();
    return now < deadline ? DWORD(deadline - now) : 1;
}

bool set_dword(HINTERNET h, DWORD option, DWORD value) {
    return WinHttpSetOption(h, option, &value, sizeof value) != FALSE;
}

// The Content-Length the server declared; false when it declared none.
bool declared_length(HINTERNET request, unsigned long long &length) {
    wchar_t text[32];
    DWORD size = sizeof text;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX,
                             text, &size, WINHTTP_NO_HEADER_INDEX))
        return false;
    wchar_t *end = nullptr;
    length = std::wcstoull(text, &end, 10);
    return end != text && *end == L'\0';
}

// What one read asks for; the answer grows in `body`, so the size only sets how many
// reads an answer takes.
constexpr DWORD READ_CHUNK_BYTES = 16384;

// Reads the whole answer into `body` within the deadline.
DWORD read_body(HINTERNET request, ULONGLONG deadline, LiveBody &body) {
    char chunk[READ_CHUNK_BYTES];
    for (;;) {
        if (GetTickCount64() >= deadline) return ERROR_WINHTTP_TIMEOUT;
        if (!set_dword(request, WINHTTP_OPTION_RECEIVE_TIMEOUT, remaining_ms(deadline)))
            return GetLastError();
        DWORD got = 0;
        if (!WinHttpReadData(request, chunk, sizeof chunk, &got)) return GetLastError();
        if (got == 0) return ERROR_SUCCESS;
        if (!body.append(chunk, got)) return ERROR_INSUFFICIENT_BUFFER;
    }
}

// One exchange (LiveExchange).
int exchange(void *ctx, const char *url, const char *request_body, const char *content_type,
             char **body, int *status, char **err) {
    WinHttpIo *io = live_exchange_begin<WinHttpIo>(ctx, url, body, status, err);
    if (!io) return fail(err, "bad transport call", -1);
    size_t body_len = request_body ? std::strlen(request_body) : 0;
    if (body_len > MAXDWORD) return fail(err, "request too large", -1);
    std::wstring target;
    std::wstring header;
    try {
        target = utf16_of(live_target(io->origin, url));
        if (request_body && content_type && *content_type)
            header = L"Content-Type: " + utf16_of(content_type);
    } catch (const std::bad_alloc &) {
        return fail(err, "out of memory", -1);
    }

    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = DWORD(-1);
    if (!WinHttpCrackUrl(target.c_str(), DWORD(target.size()), 0, &parts) || !parts.lpszUrlPath)
        return fail(err, "malformed URL");
    if (parts.nScheme != io->scheme) return fail(err, "protocol not allowed");

    ULONGLONG deadline = GetTickCount64() + io->total_ms;
    std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    // Path and query exactly as the module wrote them: already percent-encoded.
    std::wstring object(parts.lpszUrlPath, parts.dwUrlPathLength + parts.dwExtraInfoLength);
    Handle connection(WinHttpConnect(io->session, host.c_str(), parts.nPort, 0));
    if (!connection.get()) return fail(err, describe(GetLastError()));
    DWORD flags = WINHTTP_FLAG_ESCAPE_DISABLE | WINHTTP_FLAG_ESCAPE_DISABLE_QUERY |
                  (parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0);
    Handle request(WinHttpOpenRequest(connection.get(), request_body ? L"POST" : L"GET",
                                      object.c_str(), nullptr, WINHTTP_NO_REFERER,
                                      WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
    DWORD sent_ms = remaining_ms(deadline);
    bool ready = request.get() &&
                 set_dword(request.get(), WINHTTP_OPTION_DISABLE_FEATURE,
                           WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_REDIRECTS |
                               WINHTTP_DISABLE_AUTHENTICATION) &&
                 WinHttpSetTimeouts(request.get(), int(io->connect_ms), int(io->connect_ms),
                                    int(sent_ms), int(sent_ms));
    bool answered = ready &&
                    WinHttpSendRequest(request.get(),
                                       header.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : header.c_str(),
                                       header.empty() ? 0 : DWORD(header.size()),
                                       const_cast<char *>(request_body), DWORD(body_len),
                                       DWORD(body_len), 0) &&
                    set_dword(request.get(), WINHTTP_OPTION_RECEIVE_TIMEOUT, remaining_ms(deadline)) &&
                    WinHttpReceiveResponse(request.get(), nullptr);
    if (!answered) return fail(err, describe(GetLastError()));

    DWORD code = 0;
    DWORD size = sizeof code;
    if (!WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &code, &size, WINHTTP_NO_HEADER_INDEX))
        return fail(err, describe(GetLastError()));
    *status = int(code);
    // A declared length above the cap is refused unread; an answer that ends before its
    // declared length is a failed exchange, never a shorter body (WinHTTP reports the
    // early close as the end of the data).
    unsigned long long declared = 0;
    bool has_length = declared_length(request.get(), declared);
    if (has_length && declared > LIVE_MAX_BODY) return fail(err, "answer larger than 64 MiB");
    LiveBody answer;
    DWORD read = read_body(request.get(), deadline, answer);
    if (read == ERROR_INSUFFICIENT_BUFFER)
        return fail(err, answer.over_cap() ? "answer larger than 64 MiB" : "out of memory");
    if (read != ERROR_SUCCESS) return fail(err, describe(read));
    if (has_length && answer.size() != declared) return fail(err, "answer cut short");
    *body = answer.release();
    return 0;
}

DWORD to_ms(long seconds) {
    return seconds <= 0 ? 1 : seconds >= long(MAXDWORD / 1000) ? MAXDWORD : DWORD(seconds) * 1000;
}

} // namespace

bool live_io_open(quendo_io *io, const LiveIoOptions &options, std::string &error) {
    WinHttpIo *state = new (std::nothrow) WinHttpIo;
    // No user agent: the session adds no header of its own to the requests.
    HINTERNET session = state ? WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                            WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0)
                              : nullptr;
    if (!session || !set_dword(session, WINHTTP_OPTION_REDIRECT_POLICY,
                               WINHTTP_OPTION_REDIRECT_POLICY_NEVER)) {
        if (session) WinHttpCloseHandle(session);
        delete state;
        error = "WinHTTP failed to start";
        return false;
    }
    state->session = session;
    state->origin = options.origin;
    // HTTPS only; plain HTTP only toward an --origin that names it (the test server).
    if (live_plain_http(options.origin)) state->scheme = INTERNET_SCHEME_HTTP;
    state->connect_ms = to_ms(options.connect_timeout_s);
    state->total_ms = to_ms(options.total_timeout_s);
    live_io_slots<exchange>(io, state);
    return true;
}

void live_io_close(quendo_io *io) {
    std::unique_ptr<WinHttpIo> state(live_io_take<WinHttpIo>(io));
    if (state) WinHttpCloseHandle(state->session);
}
