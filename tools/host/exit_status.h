// qvdbx's exit statuses, one per failure class, and the class of each of the module's
// error codes.
#pragma once

enum Exit {
    EXIT_DONE = 0,
    EXIT_OTHER = 1,
    EXIT_USAGE = 2,
    EXIT_CONFIG = 3,
    EXIT_AUTH = 4,
    EXIT_NOT_FOUND = 5,
    EXIT_RATE_LIMITED = 6,
};

// The exit status for the module's error code `code` (QVDBX_OK, QVDBX_E_...): EXIT_DONE
// for QVDBX_OK, EXIT_OTHER for a code of no class of its own, including unknown ones.
int code_exit_status(int code);
