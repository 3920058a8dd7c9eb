// The commands: what each one does over a face, and how many arguments it takes.
#pragma once

#include "faces/faces.h"

#include <string>

struct Command {
    const char *name;
    size_t min_args, max_args;
    int (*run)(Host &, const Face &);
    bool own_settings;  // reads and writes the settings itself, always over the live transport
};

// Lists `path` (NULL: the settings' "Path") through `face` into `sink`, with the progress
// line on stderr when `show_progress`.
int list_folder(Host &h, const Face &face, const char *path, bool show_progress, ListSink &sink);

// The command called `name`, or nullptr.
const Command *find_command(const std::string &name);
