// What qvdbx serve answers for a folder, made from its listing: the playlist of stable
// URLs (also through subfolders, within bounds), the items document with each entry's URL,
// and the page for a browser. Pure: no I/O, no HTTP library.
//
// A URL prefix is an absolute URL ending in "/" (".../KEY/Album/"); an entry's URL is the
// prefix and its name, percent-encoded, with a "/" for a folder.
#pragma once

#include "folder_page.h"
#include "host.h"
#include "m3u.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

// How far a playlist through subfolders reaches.
struct WalkLimits {
    size_t depth = 8;         // levels of subfolders below the folder asked for
    size_t entries = 10000;   // playlist entries
    size_t folders = 1000;    // folders listed, the first included
};

// Lists the folder at `segments` (below the served root); false when the listing failed,
// which ends the walk.
using ListFolder = std::function<bool(const std::vector<std::string> &segments, std::shared_ptr<const Listing> &out)>;

struct Walk {
    std::vector<PlaylistEntry> entries;
    bool truncated = false;  // a limit left something out
};

// The entry URL of `name` under `prefix`.
std::string entry_url(const std::string &prefix, const Item &item);

// Folders, then files, each in playlist order.
std::vector<const Item *> display_order(const Listing &listing);

// The playable files of the folder at `segments`, in playlist order, each titled by its
// name; with `recursive`, then each subfolder's in name order, depth first, titled by the
// path below the folder. `root_prefix` is the URL prefix of the served root.
// False when a listing failed.
bool walk_playlist(const std::vector<std::string> &segments, bool recursive, const std::string &root_prefix,
                   const ListFolder &list, const WalkLimits &limits, Walk &out);

// The extended M3U of a walk; a comment says when limits left entries out.
std::string walk_m3u(const Walk &walk, const WalkLimits &limits);

// The items document `items_json` with "url" added to each item; false when it is not an
// items document.
bool items_with_urls(const std::string &items_json, const std::string &prefix, std::string &out);

// The page of the folder at `segments` (below the served root, whose absolute path is
// `root_href`, "/" or "/KEY/").
FolderPage folder_page_of(const Listing &listing, const std::vector<std::string> &segments,
                          const std::string &root_href);
