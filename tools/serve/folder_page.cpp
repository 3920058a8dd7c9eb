// The folder page (see folder_page.h): a plain index, subfolders first, then files with
// their sizes, and a link to the folder's playlist. The page loads nothing and runs no
// script; its own policy says so, and it sends no referrer (URLs may hold the key).
#include "serve/folder_page.h"

namespace {

constexpr char HEAD[] =
    "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">\n"
    "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
    "<meta name=\"referrer\" content=\"no-referrer\">\n"
    "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'\">\n"
    "<style>body{font:15px/1.45 system-ui,sans-serif;margin:1.5em}"
    "table{border-collapse:collapse}td{padding:.1em 1.5em .1em 0}"
    "td.size{text-align:right;font-variant-numeric:tabular-nums}nav a{margin-right:.2em}</style>\n";

// Bytes with thousands grouped: 1234567 -> "1,234,567"; "" when unknown.
std::string grouped_size(int64_t size) {
    if (size < 0) return "";
    std::string digits = std::to_string(size), out;
    for (size_t k = 0; k < digits.size(); ++k) {
        if (k && (digits.size() - k) % 3 == 0) out += ',';
        out += digits[k];
    }
    return out;
}

std::string link(const std::string &href, const std::string &text) {
    return "<a href=\"" + html_escape(href) + "\">" + html_escape(text) + "</a>";
}

std::string entry_row(const PageEntry &e) {
    std::string kind = e.folder ? "folder" : e.video ? "file video" : e.playable ? "file audio" : "file";
    return "<tr class=\"" + kind + "\"><td>" + link(e.href, e.folder ? e.name + "/" : e.name) +
           "</td><td class=\"size\">" + grouped_size(e.folder ? -1 : e.size) + "</td></tr>\n";
}

} // namespace

std::string html_escape(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string folder_page_html(const FolderPage &page) {
    std::string html = HEAD;
    html += "<title>" + html_escape(page.title) + "</title></head><body>\n<nav>";
    for (size_t k = 0; k < page.crumbs.size(); ++k)
        html += (k ? " / " : "") + link(page.crumbs[k].second, page.crumbs[k].first);
    html += "</nav>\n<h1>" + html_escape(page.title) + "</h1>\n";
    html += "<p>" + link(page.m3u_href, "Playlist (M3U)") + "</p>\n<table>\n";
    for (const PageEntry &e : page.folders) html += entry_row(e);
    for (const PageEntry &e : page.files) html += entry_row(e);
    html += "</table>\n</body></html>\n";
    return html;
}
