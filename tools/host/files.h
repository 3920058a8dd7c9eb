// Files qvdbx reads and writes itself: the settings it saves after a sign-in, the sign-in
// waiting for its code, playlists. Paths are UTF-8 on every platform.
#pragma once

#include <string>

// The whole file at `path`; false when it cannot be read.
bool read_file(const std::string &path, std::string &out);

// Replaces `path` with `text` so that no reader, crash or full disk ever sees half a file:
// a temporary file in the same folder, flushed to disk, then renamed over `path`. `mode`
// is the new file's permission bits (POSIX). False with `error` on failure; `path` is then
// as it was.
bool write_file_atomically(const std::string &path, const std::string &text, int mode,
                           std::string &error);

// Creates `dir` and any missing parents; `dir` itself is then readable by its owner only
// (mode 0700 on POSIX). False with `error` on failure.
bool make_private_dir(const std::string &dir, std::string &error);

// Deletes `path`; true when it is gone (or was never there).
bool remove_file(const std::string &path);

// The folder that holds `path`, without a trailing separator ("" when `path` names none).
std::string parent_dir(const std::string &path);
