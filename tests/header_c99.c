/* The public header as a C host sees it: strict C99, every record layout pinned. */
#include "qvdbx.h"

QVDBX_STATIC_ASSERT(sizeof(int64_t) == 8, "64-bit sizes");
QVDBX_STATIC_ASSERT(QVDBX_E_BAD_CONFIG == 12, "thirteen error codes");
QVDBX_STATIC_ASSERT(QVDBX_VERSION_HEX == ((QVDBX_VERSION_MAJOR << 16) |
                                         (QVDBX_VERSION_MINOR << 8) | QVDBX_VERSION_PATCH),
                    "the hex version is the three numbers");

int qvdbx_header_c99_anchor(void);
int qvdbx_header_c99_anchor(void) { return QVRCH_E_TOO_SMALL; }
