// Loads the quendo-quendovue-dropbox-client module at run time, as a media player does,
// and binds every exported name. qvdbx is never linked to the module.
#pragma once

#include "qvdbx.h"

#include <string>

// Every export of the module, each a pointer named as the export (h.module.qvdbx_list).
// The names come from the one exports list (src/qvdbx_exports.txt), which the build
// writes out as QVDBX_EXPORT(name) lines.
struct Module {
#define QVDBX_EXPORT(name) decltype(&::name) name = nullptr;
#include "qvdbx_exports.inc"
#undef QVDBX_EXPORT
};

// The module's file next to the running executable (argv0 is the fallback for finding
// it), else in the plug-in folder where the bundles install it.
std::string module_default_path(const char *argv0);

// The demo fixture file `name` in fixtures/ next to the executable, else where the bundles
// install it. `exe_dir` as executable_dir() gives it.
std::string demo_fixture_path(const std::string &exe_dir, const char *name);

// The directory of the running executable, with a trailing separator.
std::string executable_dir(const char *argv0);

// Opens the module and binds every export. On failure `error` names the file and
// what is missing (the loader's text, or the list of absent symbols). The module is
// never unloaded: a player keeps it for the life of the process.
bool module_load(const std::string &path, Module &m, std::string &error);
