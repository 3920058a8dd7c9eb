// The settings document: where it is read from and the host's own reading of it.
#pragma once

#include "host/host.h"

#include <string>

// Where qvdbx auth saves the settings: $XDG_CONFIG_HOME/qvdbx/settings.json (default
// ~/.config/qvdbx/settings.json), %APPDATA%\qvdbx\settings.json on Windows; "" when the
// environment names no such folder.
std::string saved_settings_path();

// Reads the settings document: --settings FILE, else the demo's (fixtures) or, with
// --live, the environment's token or the saved settings. Returns -1 to go on, else the
// exit status.
int load_settings(Host &h, const std::string &exe_dir);

// Fills the credentials and the folder of `s` from s.text: the host's own reading, for
// the flat face's setters and for sign-out.
void read_members(Settings &s);
