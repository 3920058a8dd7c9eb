// The playlist command (see playlist.h).
#include "playlist.h"

#include "commands.h"
#include "files.h"
#include "m3u.h"
#include "terminal.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr int PLAYLIST_MODE = 0644;

bool by_name(const Item &a, const Item &b) { return playlist_order(a.name, b.name); }

} // namespace

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
