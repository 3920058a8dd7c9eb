// qvdbx serve in a build without libmicrohttpd (a bare packager's build, Windows for now):
// the command says so and stops with the configuration status.
#include "serve.h"

#include "terminal.h"

int cmd_serve(Host &, const Face &) {
#if defined(_WIN32)
    return host_failure(EXIT_CONFIG, "serve is not in this build yet");
#else
    return host_failure(EXIT_CONFIG, "serve is not in this build: it was built without libmicrohttpd");
#endif
}
