// The settings document: where it is read from and the host's own reading of it.
#pragma once

#include "host.h"

#include <string>

// The whole file at `path`; false when it cannot be read.
bool read_file(const std::string &path, std::string &out);

// Reads the settings document: a file, or (with --live) the environment. Returns -1 to
// go on, else the exit status.
int load_settings(Host &h, const std::string &exe_dir);
