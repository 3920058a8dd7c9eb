// Which files a playlist takes and its M3U text (see m3u.h).
#include "cli/m3u.h"

#include <algorithm>
#include <cctype>

namespace {

constexpr long LINK_LIFE_S = 4 * 3600;  // Dropbox's temporary links last 4 hours

constexpr const char *PLAYABLE[] = {"mp3", "flac", "ogg", "oga", "opus", "m4a", "aac", "wav", "aiff",
                                    "aif", "alac", "wma", "wv", "ape", "mka", "mp4", "m4v", "mkv",
                                    "webm", "mov", "avi"};


std::string utc_iso8601(std::time_t when) {
    std::tm parts{};
#if defined(_WIN32)
    gmtime_s(&parts, &when);
#else
    gmtime_r(&when, &parts);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

// A name on one line: a line break would end the entry.
std::string one_line(std::string text) {
    for (char &c : text)
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    return text;
}

} // namespace

std::string lower(std::string text) {
    for (char &c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool is_playable(const std::string &name) {
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return false;
    std::string ext = lower(name.substr(dot + 1));
    return std::any_of(std::begin(PLAYABLE), std::end(PLAYABLE), [&](const char *e) { return ext == e; });
}

std::string m3u_document(const std::vector<PlaylistEntry> &entries, std::time_t made) {
    std::string text = "#EXTM3U\n# the links expire at " + utc_iso8601(made + LINK_LIFE_S) +
                       " (4 hours after they were made)\n";
    for (const PlaylistEntry &e : entries) text += "#EXTINF:-1," + one_line(e.name) + "\n" + e.url + "\n";
    return text;
}

