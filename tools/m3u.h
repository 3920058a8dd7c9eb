// What a playlist holds: the files a player takes (by extension) and the extended M3U
// text of their links. No I/O.
#pragma once

#include <ctime>
#include <string>
#include <vector>

// `text` with ASCII letters in lower case.
std::string lower(std::string text);

// True when `name` ends in an audio or video extension a player takes (any letter case).
bool is_playable(const std::string &name);

// True when `name` ends in one of those video extensions.
bool is_video(const std::string &name);

// The order of a playlist: by name, letter case aside (ties by the bytes), as a person
// reads an album.
bool playlist_order(const std::string &a, const std::string &b);

struct PlaylistEntry {
    std::string name, url;
};

// The extended M3U of `entries`, whose links were made from `made` on (they expire 4 hours
// later).
std::string m3u_document(const std::vector<PlaylistEntry> &entries, std::time_t made);

// The extended M3U of `entries` whose URLs do not expire: no expiry line.
std::string m3u_stable_document(const std::vector<PlaylistEntry> &entries);
