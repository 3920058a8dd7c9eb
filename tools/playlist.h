// qvdbx playlist FOLDER: an extended M3U of the folder's playable files with their
// stream links, for a player that takes a whole album at once.
#pragma once

#include "faces.h"

#include <ctime>
#include <string>
#include <vector>

// True when `name` ends in an audio or video extension a player takes (any letter case).
bool is_playable(const std::string &name);

struct PlaylistEntry {
    std::string name, url;
};

// The extended M3U of `entries`, whose links were made from `made` on (they expire 4 hours
// later).
std::string m3u_document(const std::vector<PlaylistEntry> &entries, std::time_t made);

int cmd_playlist(Host &h, const Face &face);
