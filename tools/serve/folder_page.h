// The folder page of qvdbx serve: the index of one folder as a self-contained HTML
// document that also plays the folder in the browser. Pure: no I/O, no state.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct PageEntry {
    std::string name;
    std::string href;  // percent-encoded, relative or absolute
    bool folder = false;
    int64_t size = -1;  // bytes; -1 when unknown (always for folders)
    bool playable = false;
    bool video = false;
};

struct FolderPage {
    std::string title;                                        // display path from the served root, "/" for the root
    std::vector<std::pair<std::string, std::string>> crumbs;  // (name, href) from the served root down to this folder
    std::vector<PageEntry> folders, files;                    // in display order; playable files in the order of ?format=m3u
    std::string m3u_href;                                     // the folder's ?format=m3u link
};

// The page as UTF-8 HTML, every text escaped. It reads as a plain index without
// JavaScript; its inline script plays the playable files in order. Its own policy lets it
// load nothing but the media the links lead to.
std::string folder_page_html(const FolderPage &page);

// `text` with & < > " ' written as character references, and control characters as U+FFFD.
std::string html_escape(const std::string &text);
