// The progress wrapper: the transport the module is handed while a terminal shows the
// progress line. It passes every call to the real transport and counts the list pages
// and their entries as they go through.
#pragma once

#include "qvdbx.h"

#include <string>

struct Progress {
    quendo_io wrapped{};  // the transport every call is passed to
    bool enabled = false;  // counts and shows the line only when set
    std::string label;     // the folder being listed
    int pages = 0;
    long entries = 0;
};

// Fills `wrapper` with the progress wrapper around `transport`, counting into `progress`,
// which must outlive it.
void progress_wrap(const quendo_io &transport, Progress &progress, quendo_io &wrapper);
