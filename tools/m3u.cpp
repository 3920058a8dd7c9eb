// Which files a playlist takes and its M3U text (see m3u.h).
#include "m3u.h"

#include <algorithm>
#include <cctype>
#include <iterator>

namespace {

constexpr long LINK_LIFE_S = 4 * 3600;  // Dropbox's temporary links last 4 hours

constexpr const char *PLAYABLE[] = {"mp3", "flac", "ogg", "oga", "opus", "m4a", "aac", "wav", "aiff",
                                    "aif", "alac", "wma", "wv", "ape", "mka", "mp4", "m4v", "mkv",
                                    "webm", "mov", "avi"};
constexpr size_t FIRST_VIDEO = 16;  // PLAYABLE[FIRST_VIDEO] onward are video containers

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

// Where the extension of `name` stands in PLAYABLE; its size when it is not there.
size_t playable_index(const std::string &name) {
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return std::size(PLAYABLE);
    std::string ext = lower(name.substr(dot + 1));
    return size_t(std::find_if(std::begin(PLAYABLE), std::end(PLAYABLE), [&](const char *e) { return ext == e; }) -
                  std::begin(PLAYABLE));
}

// The #EXTINF line and the URL of each entry.
std::string m3u_entries(const std::vector<PlaylistEntry> &entries) {
    std::string text;
    for (const PlaylistEntry &e : entries) text += "#EXTINF:-1," + one_line(e.name) + "\n" + e.url + "\n";
    return text;
}

} // namespace

std::string lower(std::string text) {
    for (char &c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool is_playable(const std::string &name) { return playable_index(name) < std::size(PLAYABLE); }

bool is_video(const std::string &name) {
    size_t index = playable_index(name);
    return index >= FIRST_VIDEO && index < std::size(PLAYABLE);
}

bool playlist_order(const std::string &a, const std::string &b) {
    std::string la = lower(a), lb = lower(b);
    return la != lb ? la < lb : a < b;
}

std::string m3u_document(const std::vector<PlaylistEntry> &entries, std::time_t made) {
    return "#EXTM3U\n# the links expire at " + utc_iso8601(made + LINK_LIFE_S) + " (4 hours after they were made)\n" +
           m3u_entries(entries);
}

std::string m3u_stable_document(const std::vector<PlaylistEntry> &entries) {
    return "#EXTM3U\n" + m3u_entries(entries);
}

