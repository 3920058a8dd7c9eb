// The playlist command and its M3U text (see playlist.h).
#include "playlist.h"

#include "commands.h"
#include "files.h"
#include "terminal.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace {

constexpr long LINK_LIFE_S = 4 * 3600;  // Dropbox's temporary links last 4 hours
constexpr int PLAYLIST_MODE = 0644;

constexpr const char *PLAYABLE[] = {"mp3", "flac", "ogg", "oga", "opus", "m4a", "aac", "wav", "aiff",
                                    "aif", "alac", "wma", "wv", "ape", "mka", "mp4", "m4v", "mkv",
                                    "webm", "mov", "avi"};

std::string lower(std::string text) {
    for (char &c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

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

// By name, letter case aside (ties by the bytes), as a person reads an album.
bool by_name(const Item &a, const Item &b) {
    std::string la = lower(a.name), lb = lower(b.name);
    return la != lb ? la < lb : a.name < b.name;
}

} // namespace

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

int cmd_playlist(Host &h, const Face &face) {
    Listing listing;
    bool show = is_terminal(stderr);
    if (int rc = list_folder(h, face, h.opt.args[0].c_str(), show, listing)) return rc;
    std::vector<Item> files;
    for (const Item &item : listing.items)
        if (!item.folder && is_playable(item.name)) files.push_back(item);
    std::sort(files.begin(), files.end(), by_name);

    std::vector<PlaylistEntry> entries;
    size_t left_out = 0;
    std::time_t made = std::time(nullptr);
    for (size_t k = 0; k < files.size(); ++k) {
        if (show) status_line("links " + std::to_string(k + 1) + " of " + std::to_string(files.size()));
        std::string url;
        int rc = face.link(h, files[k].path.c_str(), url);
        // Without valid credentials no further link can succeed.
        if (rc == EXIT_AUTH || rc == EXIT_CONFIG) return rc;
        if (rc == EXIT_DONE) {
            entries.push_back({files[k].name, url});
        } else {
            ++left_out;
            host_failure(rc, "left out " + files[k].name);
        }
    }
    if (show) status_line("");
    std::string text = m3u_document(entries, made);
    std::string error;
    if (h.opt.output.empty()) std::fputs(text.c_str(), stdout);
    else if (!write_file_atomically(h.opt.output, text, PLAYLIST_MODE, error))
        return host_failure(EXIT_OTHER, error);
    if (left_out == 0) return EXIT_DONE;
    return host_failure(EXIT_OTHER, std::to_string(left_out) + " of " + std::to_string(files.size()) +
                                        " files left out");
}
