// The module's error codes by exit status (see exit_status.h).
#include "host/exit_status.h"

#include "qvdbx.h"

int code_exit_status(int code) {
    switch (code) {
    case QVDBX_OK: return EXIT_DONE;
    case QVDBX_E_AUTH:
    case QVDBX_E_AUTH_EXPIRED: return EXIT_AUTH;
    case QVDBX_E_NOT_FOUND: return EXIT_NOT_FOUND;
    case QVDBX_E_RATE_LIMITED: return EXIT_RATE_LIMITED;
    case QVDBX_E_BAD_CONFIG: return EXIT_CONFIG;
    default: return EXIT_OTHER;
    }
}
