// The live HTTPS transport for qvdbx: a quendo_io over libcurl. Lives in the host, never
// in the module. Built only when libcurl is available (QVDBX_HAVE_CURL).
#pragma once

#include "qvdbx.h"

#include <string>

// The origin every module URL begins with.
constexpr char DROPBOX_API_ORIGIN[] = "https://api.dropboxapi.com";

struct CurlIoOptions {
    std::string origin;        // replaces DROPBOX_API_ORIGIN in each URL when not empty
    long connect_timeout_s = 10;
    long total_timeout_s = 60;
};

// Fills `io` with the libcurl transport. False (with `error`) when libcurl cannot start.
// Call curl_io_close(io) to release it.
bool curl_io_open(quendo_io *io, const CurlIoOptions &options, std::string &error);
void curl_io_close(quendo_io *io);
