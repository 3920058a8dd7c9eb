/* The floor of qvdbx serve's cached redirects: a libmicrohttpd program that answers every
   request with the same 302, built the way qvdbx serve runs the library (a thread per
   connection, poll, the same connection limits; the answer queued once the request has
   ended, which keeps the connection alive). It does nothing else: no path, no lookup, no
   log. Usage: bare_redirect PORT (0: a free one); prints the port, stops on SIGINT or
   SIGTERM. */
#include <microhttpd.h>

#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

static struct MHD_Response *answer;

static enum MHD_Result on_request(void *cls, struct MHD_Connection *connection, const char *url,
                                  const char *method, const char *version, const char *upload,
                                  size_t *upload_size, void **state) {
    static int seen;
    (void)cls, (void)url, (void)method, (void)version, (void)upload;
    if (*state == NULL) {
        *state = &seen;
        return MHD_YES;
    }
    *upload_size = 0;
    return MHD_queue_response(connection, MHD_HTTP_FOUND, answer);
}

int main(int argc, char **argv) {
    sigset_t stop;
    int signal_number;
    struct MHD_Daemon *daemon;
    const union MHD_DaemonInfo *info;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, NULL);

    answer = MHD_create_response_from_buffer(0, "", MHD_RESPMEM_PERSISTENT);
    MHD_add_response_header(answer, "Location",
                            "https://uc0123456789abcdef0123456789.dl.dropboxusercontent.com/cd/0/get/"
                            "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"
                            "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA/file");
    MHD_add_response_header(answer, "Cache-Control", "private, max-age=13800");
    daemon = MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION | MHD_USE_POLL,
                              (uint16_t)(argc > 1 ? atoi(argv[1]) : 0), NULL, NULL, on_request, NULL,
                              MHD_OPTION_CONNECTION_LIMIT, 128u, MHD_OPTION_CONNECTION_TIMEOUT, 20u,
                              MHD_OPTION_CONNECTION_MEMORY_LIMIT, (size_t)32 * 1024, MHD_OPTION_END);
    if (!daemon) {
        fprintf(stderr, "bare_redirect: libmicrohttpd failed to start\n");
        return 1;
    }
    info = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_BIND_PORT);
    printf("%u\n", (unsigned)info->port);
    fflush(stdout);
    sigwait(&stop, &signal_number);
    MHD_stop_daemon(daemon);
    MHD_destroy_response(answer);
    return 0;
}
