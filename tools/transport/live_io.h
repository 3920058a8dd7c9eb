// The live HTTPS transport for qvdbx: a quendo_io over the platform's HTTP client (libcurl
// on Linux). Lives in the host, never in the module. Built only where that client is
// available (QVDBX_HAVE_LIVE_IO).
#pragma once

#include "qvdbx.h"

#include <string>

// The origin every module URL begins with, and the host's own requests too (sign-in).
// A literal, so that the URLs and the usage text are joined with it at compile time.
#define DROPBOX_API_ORIGIN "https://api.dropboxapi.com"

struct LiveIoOptions {
    std::string origin;        // replaces DROPBOX_API_ORIGIN in each URL when not empty
    long connect_timeout_s = 10;
    long total_timeout_s = 60;
};

// Fills `io` with the live transport. False (with `error`) when the HTTP client cannot
// start.
// Call live_io_close(io) to release it.
bool live_io_open(quendo_io *io, const LiveIoOptions &options, std::string &error);
void live_io_close(quendo_io *io);
