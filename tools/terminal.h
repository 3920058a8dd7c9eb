// What qvdbx prints besides its results: error lines (credentials hidden), sizes and
// column widths for listings, and the progress line that a terminal shows on stderr.
#pragma once

#include "host.h"

#include <cstdio>
#include <string>

bool is_terminal(std::FILE *stream);

// `text` with anything that looks like a credential hidden.
std::string redact(const Host &h, std::string text);

// Whether host_failure and module_failure print their line (on by default). A server
// turns them off: its access log says how each request ended.
void show_failure_lines(bool shown);

// Prints "qvdbx: message" and returns `status`.
int host_failure(int status, const std::string &message);

// Prints the module's error record and picks the exit status from its code; `fallback`
// serves when the record holds no failure code.
int module_failure(const Host &h, int fallback);

std::string human_size(const Item &item);

// Terminal columns of a UTF-8 text: East Asian wide characters take two.
size_t display_width(const std::string &text);

// Rewrites the terminal's status line on stderr with `line`; "" erases it. Error lines
// erase it first.
void status_line(const std::string &line);

// Rewrites the progress line in place; `done` erases it.
void progress_show(Progress &p, bool done);

// Makes h.io the progress wrapper around h.base.
void progress_install(Host &h);
