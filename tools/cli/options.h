// The command line: the usage text and the parsing of options and arguments.
#pragma once

#include "host/host.h"

#include <string>

// Prints the message and a pointer to --help; returns EXIT_USAGE.
int usage_failure(const std::string &message);

// Fills `opt`; returns -1 to go on, else the exit status (help, version, usage error).
int parse_options(int argc, char **argv, Options &opt, bool &want_version);
