// The HTML page of a folder that qvdbx serve answers to a browser. Everything it shows
// comes in a FolderPage; the page is one pure function of it, so the way it renders can
// change without touching the server. No I/O.
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
    std::vector<PageEntry> folders, files;                    // in display order; files in the order of ?format=m3u for playable ones
    std::string m3u_href;                                     // the folder's ?format=m3u link
};

// UTF-8 HTML, every text escaped.
std::string folder_page_html(const FolderPage &page);

// `text` with & < > " ' written as character references.
std::string html_escape(const std::string &text);
