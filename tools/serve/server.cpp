// The server of qvdbx serve over libmicrohttpd. A thread per connection, so that a request
// waiting on Dropbox holds up no other; connections, their idle time and their memory
// (request line and headers) are bounded. The listening socket is opened here, so that an
// address in use gets one clear line. SIGINT and SIGTERM stop it within two seconds.
//
// libmicrohttpd is handed an unescape function that leaves the path as sent: it is
// decoded once, by url_path, which needs the raw form to refuse encoded slashes and dots.
#include "serve.h"

#include "bridge.h"
#include "options.h"
#include "routes.h"
#include "terminal.h"
#include "url_path.h"

#include <microhttpd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <new>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned CONNECTION_LIMIT = 128;
constexpr unsigned CONNECTION_TIMEOUT_S = 20;   // idle or unfinished, a connection is closed
constexpr size_t CONNECTION_MEMORY = 32 * 1024;  // per connection: request line, headers, answer headers
constexpr size_t MAX_DROPPED_BODY = 64 * 1024;
constexpr long LINK_LIFE_S = 4 * 3600;            // a Dropbox stream link lasts 4 hours
// Links are handed out 10 minutes less, so that a player that starts one late still has
// time to open it (and seek: a seek opens it again).
constexpr long DEFAULT_LINK_TTL_S = LINK_LIFE_S - 600;
constexpr long DEFAULT_DIR_TTL_S = 300;
constexpr auto STOP_GRACE = std::chrono::milliseconds(1500);

struct Server {
    const ServeConfig &config;
    Bridge &bridge;
    bool quiet;
};

// One request, from its request line on: the target as sent (query included), when it
// came, and whether the handler has seen it yet.
struct RequestState {
    std::string target;
    Clock::time_point start;
    bool seen = false;
    size_t body = 0;  // bytes of a request body, read and dropped
};

void *on_request_line(void *, const char *uri, MHD_Connection *) {
    try {
        return new RequestState{uri ? uri : "", Clock::now()};
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

void on_completed(void *, MHD_Connection *, void **state, MHD_RequestTerminationCode) {
    delete static_cast<RequestState *>(*state);
    *state = nullptr;
}

size_t keep_escapes(void *, MHD_Connection *, char *text) { return std::strlen(text); }

MHD_Result queue(MHD_Connection *connection, const Response &r) {
    MHD_Response *answer = MHD_create_response_from_buffer(r.body.size(), const_cast<char *>(r.body.data()),
                                                           MHD_RESPMEM_MUST_COPY);
    if (!answer) return MHD_NO;
    bool ok = r.content_type.empty() ||
              MHD_add_response_header(answer, MHD_HTTP_HEADER_CONTENT_TYPE, r.content_type.c_str()) == MHD_YES;
    for (const auto &[name, value] : r.headers)
        ok = ok && MHD_add_response_header(answer, name.c_str(), value.c_str()) == MHD_YES;
    MHD_Result queued = ok ? MHD_queue_response(connection, unsigned(r.status), answer) : MHD_NO;
    MHD_destroy_response(answer);
    return queued;
}

// The first call comes with the headers; answering then would close the connection, so
// the answer waits for the call that ends the request. No route takes a body: one is read
// and dropped, up to MAX_DROPPED_BODY, past which the connection is closed.
MHD_Result on_request(void *cls, MHD_Connection *connection, const char *, const char *method, const char *,
                      const char *, size_t *upload_size, void **state_slot) {
    const Server &server = *static_cast<const Server *>(cls);
    RequestState *state = static_cast<RequestState *>(*state_slot);
    if (!state) return MHD_NO;  // memory ran out at its request line
    if (!state->seen) {
        state->seen = true;
        return MHD_YES;
    }
    if (*upload_size) {
        state->body += *upload_size;
        *upload_size = 0;
        return state->body <= MAX_DROPPED_BODY ? MHD_YES : MHD_NO;
    }
    try {
        Request request;
        request.method = method;
        request.target = state->target;
        const char *host = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST);
        request.has_host = host != nullptr;
        if (host) request.host = host;
        Response response = route(server.config, server.bridge, request);
        MHD_Result queued = queue(connection, response);
        if (!server.quiet) {
            double ms = std::chrono::duration<double, std::milli>(Clock::now() - state->start).count();
            std::fprintf(stderr, "%s\n", access_line(server.config, request, response, ms).c_str());
        }
        return queued;
    } catch (const std::bad_alloc &) {
        return MHD_NO;  // closes the connection
    }
}

// A listening socket on `where` (its port filled in when it was 0); -1 with `error`.
int open_listener(ListenAddress &where, std::string &error) {
    sockaddr_storage addr{};
    socklen_t len;
    if (where.ipv6) {
        auto *a = reinterpret_cast<sockaddr_in6 *>(&addr);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(where.port);
        inet_pton(AF_INET6, where.ip.c_str(), &a->sin6_addr);
        len = sizeof *a;
    } else {
        auto *a = reinterpret_cast<sockaddr_in *>(&addr);
        a->sin_family = AF_INET;
        a->sin_port = htons(where.port);
        inet_pton(AF_INET, where.ip.c_str(), &a->sin_addr);
        len = sizeof *a;
    }
    int fd = socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    bool ok = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
              (!where.ipv6 || setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one) == 0) &&
              bind(fd, reinterpret_cast<sockaddr *>(&addr), len) == 0 && listen(fd, SOMAXCONN) == 0 &&
              getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0;
    if (!ok) {
        error = "cannot listen on " + where.host + ":" + std::to_string(where.port) + ": " + std::strerror(errno);
        if (fd >= 0) close(fd);
        return -1;
    }
    where.port = ntohs(where.ipv6 ? reinterpret_cast<sockaddr_in6 *>(&addr)->sin6_port
                                  : reinterpret_cast<sockaddr_in *>(&addr)->sin_port);
    return fd;
}

MHD_Daemon *start_daemon(int fd, bool ipv6, Server &server) {
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION | MHD_USE_POLL |
                     (ipv6 ? MHD_USE_IPv6 : 0);
    return MHD_start_daemon(flags, 0, nullptr, nullptr, on_request, &server,
                            MHD_OPTION_LISTEN_SOCKET, MHD_socket(fd),
                            MHD_OPTION_CONNECTION_LIMIT, CONNECTION_LIMIT,
                            MHD_OPTION_CONNECTION_TIMEOUT, CONNECTION_TIMEOUT_S,
                            MHD_OPTION_CONNECTION_MEMORY_LIMIT, CONNECTION_MEMORY,
                            MHD_OPTION_UNESCAPE_CALLBACK, keep_escapes, nullptr,
                            MHD_OPTION_URI_LOG_CALLBACK, on_request_line, nullptr,
                            MHD_OPTION_NOTIFY_COMPLETED, on_completed, nullptr,
                            MHD_OPTION_END);
}

// Stops the daemon; a request that still waits on Dropbox after the grace is left behind,
// since its answer would reach nobody.
void stop_within_grace(MHD_Daemon *daemon) {
    std::promise<void> stopped;
    std::future<void> done = stopped.get_future();
    std::thread stopper([&] {
        MHD_stop_daemon(daemon);
        stopped.set_value();
    });
    if (done.wait_for(STOP_GRACE) != std::future_status::ready) {
        std::fflush(nullptr);
        _exit(EXIT_DONE);
    }
    stopper.join();
}

// Fills `config` and `bridge` from the options; -1 to go on, else the exit status.
int read_serve_options(const Host &h, ServeConfig &config, BridgeOptions &bridge) {
    if (!parse_listen(h.opt.listen, config.listen))
        return usage_failure("--listen takes ADDR:PORT, ADDR an IP address (" + h.opt.listen + ")");
    if (!h.opt.key.empty() && !valid_key(h.opt.key))
        return usage_failure("--key takes 16 to 128 letters, digits, '-' and '_'");
    config.key = h.opt.key;
    // Beyond this machine, every URL carries a key.
    if (config.key.empty() && !config.listen.loopback && !make_key(config.key))
        return host_failure(EXIT_OTHER, "no random source for a key");
    long link_ttl = h.opt.link_ttl_s < 0 ? DEFAULT_LINK_TTL_S : h.opt.link_ttl_s;
    if (link_ttl < 1 || link_ttl > LINK_LIFE_S)
        return usage_failure("--link-ttl takes 1 to " + std::to_string(LINK_LIFE_S) +
                             " seconds (a stream link lasts 4 hours)");
    bridge.link_ttl = std::chrono::seconds(link_ttl);
    bridge.dir_ttl = std::chrono::seconds(h.opt.dir_ttl_s < 0 ? DEFAULT_DIR_TTL_S : h.opt.dir_ttl_s);
    bridge.max_wait_s = h.opt.max_wait_s;
    if (h.settings.access_token.empty()) return host_failure(EXIT_CONFIG, "the settings hold no access_token");
    config.root = served_folder(h.opt.args.empty() ? h.settings.path : h.opt.args[0]);
    return -1;
}

} // namespace

int cmd_serve(Host &h, const Face &face) {
    ServeConfig config;
    BridgeOptions options;
    if (int rc = read_serve_options(h, config, options); rc >= 0) return rc;
    std::string error;
    int fd = open_listener(config.listen, error);
    if (fd < 0) return host_failure(EXIT_CONFIG, error);

    h.opt.no_wait = true;  // a rate limit is answered with its wait, never slept on
    Bridge bridge(h, face, options);
    Server server{config, bridge, h.opt.quiet};
    // The daemon's threads inherit the blocked signals; this thread takes them in sigwait.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    show_failure_lines(false);
    MHD_Daemon *daemon = start_daemon(fd, config.listen.ipv6, server);
    if (!daemon) {
        show_failure_lines(true);
        close(fd);
        return host_failure(EXIT_OTHER, "libmicrohttpd failed to start");
    }
    std::printf("Serving %s at http://%s:%u/%s (Ctrl-C stops)\n", config.root.empty() ? "/" : config.root.c_str(),
                config.listen.host.c_str(), unsigned(config.listen.port),
                config.key.empty() ? "" : (config.key + "/").c_str());
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stop, &signal);
    stop_within_grace(daemon);
    show_failure_lines(true);
    return EXIT_DONE;
}
