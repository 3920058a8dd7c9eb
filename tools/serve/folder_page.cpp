// The folder page (see folder_page.h). Names and links only ever reach the document
// escaped; the script reads its tracks from the links' data- attributes, so no outside
// text is ever written inside <script> or <style>.
#include "serve/folder_page.h"

#include <cstdio>

namespace {

// Light and dark, laptop and phone; system fonts only.
constexpr const char *STYLE = R"css(
:root{color-scheme:light dark;--bg:#fbfbfa;--fg:#1d1d1f;--muted:#6b6b70;--line:#e4e4e7;
--panel:#ffffff;--accent:#0a66c2;--hit:#e8f0fb;--bad:#b3261e}
@media (prefers-color-scheme:dark){:root{--bg:#161618;--fg:#ececee;--muted:#9d9da5;
--line:#2c2c31;--panel:#1f1f23;--accent:#6cb0ff;--hit:#1d2b3d;--bad:#ff8a80}}
*{box-sizing:border-box}
body{margin:0 auto;max-width:56rem;padding:0 1rem 2rem;background:var(--bg);color:var(--fg);
font:16px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,"Noto Sans","DejaVu Sans",sans-serif}
a{color:var(--accent);text-decoration:none}
a:hover,a:focus-visible{text-decoration:underline}
header{padding:1.25rem 0 .5rem}
.crumbs{font-size:.9rem;color:var(--muted);overflow-wrap:anywhere}
.crumbs span[aria-hidden]{margin:0 .35rem}
h1{font-size:1.5rem;margin:.2rem 0 .25rem;overflow-wrap:anywhere}
.summary{margin:0;color:var(--muted);font-size:.9rem}
.summary a{margin-left:.5rem}
.player{position:sticky;top:0;z-index:1;margin:.75rem 0;padding:.75rem;background:var(--panel);
border:1px solid var(--line);border-radius:.75rem;box-shadow:0 2px 10px rgba(0,0,0,.08)}
.player[hidden]{display:none}
.now{font-weight:600;overflow-wrap:anywhere;min-height:1.45em}
.player audio,.player video{display:block;width:100%;margin:.5rem 0}
.player video{max-height:60vh;background:#000;border-radius:.5rem}
.player [hidden]{display:none}
.buttons{display:flex;gap:.5rem}
button{font:inherit;padding:.35rem .9rem;border:1px solid var(--line);border-radius:.5rem;
background:var(--bg);color:var(--fg);cursor:pointer}
button:hover{border-color:var(--accent)}
.status{margin:.5rem 0 0;font-size:.9rem}
.status:empty{display:none}
.status.error{color:var(--bad)}
h2{font-size:.8rem;letter-spacing:.06em;text-transform:uppercase;color:var(--muted);margin:1.25rem 0 .35rem}
ul{list-style:none;margin:0;padding:0;border:1px solid var(--line);border-radius:.75rem;
background:var(--panel);overflow:hidden}
li{display:flex;align-items:baseline;gap:.75rem;padding:.55rem .75rem;border-top:1px solid var(--line)}
li:first-child{border-top:0}
li a{flex:1;min-width:0;overflow-wrap:anywhere}
li.playing{background:var(--hit)}
li.playing a{font-weight:600}
.kind{font-size:.75rem;padding:0 .45rem;border:1px solid var(--line);border-radius:1rem;color:var(--muted)}
li.playing .kind{border-color:var(--accent);color:var(--accent)}
.size{color:var(--muted);font-size:.9rem;font-variant-numeric:tabular-nums;white-space:nowrap}
@media (max-width:30rem){body{padding:0 .6rem 1.5rem}li{padding:.6rem}h1{font-size:1.25rem}}
)css";

// The player. Tracks are the links marked data-track, in document order (the order of
// the folder's playlist); a link stays a plain link when the script does not run.
constexpr const char *SCRIPT = R"js(
(function () {
  'use strict';
  var links = Array.prototype.slice.call(document.querySelectorAll('a[data-track]'));
  if (!links.length) return;
  var player = document.getElementById('player');
  var audio = document.getElementById('audio');
  var video = document.getElementById('video');
  var now = document.getElementById('now');
  var status = document.getElementById('status');
  var folderTitle = document.title;
  var current = -1, media = audio, retried = false, generation = 0;
  player.hidden = false;

  function say(text, error) {
    status.textContent = text;
    status.className = error ? 'status error' : 'status';
  }
  function name(i) { return links[i].getAttribute('data-name'); }
  function showTitle() {
    if (current < 0) return;
    document.title = (media.paused ? '' : '\u25B6 ') + name(current) + ' \u2013 ' + folderTitle;
  }
  function play() {
    var started = media.play();
    if (started) started.catch(function (e) {
      if (e.name === 'NotAllowedError') say('Press play to start.');
    });
  }
  function load() {
    media.src = links[current].href;
    play();
  }
  function mark(i, on) {
    var row = links[i].parentNode;
    row.classList.toggle('playing', on);
    if (on) links[i].setAttribute('aria-current', 'true');
    else links[i].removeAttribute('aria-current');
  }
  // Plays track i; keepStatus leaves a message about the track before it on the page.
  function start(i, keepStatus) {
    if (i < 0 || i >= links.length) return;
    var wanted = links[i].getAttribute('data-track') === 'video' ? video : audio;
    if (wanted !== media) {
      media.pause();
      media.removeAttribute('src');
      media.load();
      media.hidden = true;
    }
    if (current >= 0) mark(current, false);
    current = i;
    media = wanted;
    media.hidden = false;
    retried = false;
    generation++;
    mark(i, true);
    now.textContent = name(i);
    if (!keepStatus) say('');
    if ('mediaSession' in navigator && window.MediaMetadata)
      navigator.mediaSession.metadata = new MediaMetadata({title: name(i), album: folderTitle});
    load();
    showTitle();
  }
  function next() { start(current < 0 ? 0 : current + 1); }
  function previous() { start(current < 0 ? 0 : Math.max(current - 1, 0)); }
  function toggle() {
    if (current < 0) start(0);
    else if (media.paused) play();
    else media.pause();
  }
  function why(error) {
    if (!error) return 'unknown error';
    if (error.code === 2) return 'network error';
    if (error.code === 3) return 'the file could not be decoded';
    return 'the link was refused or has expired';
  }

  [audio, video].forEach(function (el) {
    el.addEventListener('ended', function () { if (el === media) start(current + 1); });
    el.addEventListener('play', function () { if (el === media) showTitle(); });
    el.addEventListener('pause', function () { if (el === media) showTitle(); });
    el.addEventListener('playing', function () { if (el === media && retried) say(''); });
    el.addEventListener('error', function () {
      if (el !== media || !el.getAttribute('src')) return;
      var track = name(current), reason = why(el.error);
      if (!retried) {
        // Once more, a moment later: a link may have been refused for a passing reason.
        retried = true;
        say('Could not play \u201C' + track + '\u201D (' + reason + '); asking again\u2026', true);
        var asked = generation;
        setTimeout(function () { if (asked === generation) load(); }, 1000);
        return;
      }
      say('Could not play \u201C' + track + '\u201D (' + reason + '); skipped.', true);
      if (current + 1 < links.length) start(current + 1, true);
    });
  });

  document.getElementById('previous').addEventListener('click', previous);
  document.getElementById('next').addEventListener('click', next);
  document.addEventListener('click', function (e) {
    var link = e.target.closest && e.target.closest('a[data-track]');
    if (!link || e.button !== 0 || e.ctrlKey || e.metaKey || e.shiftKey || e.altKey) return;
    e.preventDefault();
    var i = links.indexOf(link);
    if (i === current) toggle();
    else start(i);
  });
  // Space plays or pauses and the arrows change track, except where the key means
  // something else: in the media controls (seeking) and in form fields.
  document.addEventListener('keydown', function (e) {
    if (e.defaultPrevented || e.ctrlKey || e.metaKey || e.altKey) return;
    var t = e.target;
    if (t === audio || t === video || /^(INPUT|TEXTAREA|SELECT)$/.test(t.tagName) || t.isContentEditable)
      return;
    if (e.key === ' ' || e.key === 'Spacebar') toggle();
    else if (e.key === 'ArrowRight') next();
    else if (e.key === 'ArrowLeft') previous();
    else return;
    e.preventDefault();
  });
  if ('mediaSession' in navigator) {
    navigator.mediaSession.setActionHandler('previoustrack', previous);
    navigator.mediaSession.setActionHandler('nexttrack', next);
  }
})();
)js";

// A link as an attribute. A relative reference whose first segment holds a colon would
// read as a scheme ("javascript:..."); "./" keeps it a path.
std::string href_attr(const std::string &href) {
    size_t colon = href.find(':');
    bool scheme_like = colon != std::string::npos && href.find_first_of("/?#") > colon;
    return html_escape(scheme_like ? "./" + href : href);
}

// The page's sizes: whole units from 10 on, as file managers show them ("39 KiB"), where
// the terminal's human_size keeps a decimal for its aligned columns.
std::string page_size(int64_t bytes) {
    if (bytes < 0) return "";
    if (bytes < 1024) return std::to_string(bytes) + " B";
    const char *units[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
    double value = double(bytes) / 1024;
    size_t unit = 0;
    while (value >= 1024 && unit + 1 < sizeof units / sizeof *units) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, value < 10 ? "%.1f %s" : "%.0f %s", value, units[unit]);
    return text;
}

// Exact bytes with thousands grouped: 1234567 -> "1,234,567".
std::string grouped(int64_t bytes) {
    std::string digits = std::to_string(bytes), out;
    for (size_t k = 0; k < digits.size(); ++k) {
        if (k && (digits.size() - k) % 3 == 0) out += ',';
        out += digits[k];
    }
    return out;
}

std::string count(size_t n, const char *one, const char *many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

void append_crumbs(std::string &html, const FolderPage &page) {
    html += "<nav class=\"crumbs\" aria-label=\"Path\">";
    for (size_t k = 0; k < page.crumbs.size(); ++k) {
        const auto &[name, href] = page.crumbs[k];
        // Read as a path: no separator after a name that ends in one, as the root's "/".
        if (k && (page.crumbs[k - 1].first.empty() || page.crumbs[k - 1].first.back() != '/'))
            html += "<span aria-hidden=\"true\">/</span>";
        const char *here = k + 1 == page.crumbs.size() ? " aria-current=\"page\"" : "";
        html += "<a href=\"" + href_attr(href) + "\"" + here + ">" + html_escape(name) + "</a>";
    }
    html += "</nav>\n";
}

void append_folders(std::string &html, const std::vector<PageEntry> &folders) {
    if (folders.empty()) return;
    html += "<h2>Folders</h2>\n<ul class=\"folders\">\n";
    for (const PageEntry &f : folders)
        html += "<li><a href=\"" + href_attr(f.href) + "\">" + html_escape(f.name) + "/</a></li>\n";
    html += "</ul>\n";
}

void append_files(std::string &html, const std::vector<PageEntry> &files) {
    if (files.empty()) return;
    html += "<h2>Files</h2>\n<ul class=\"files\">\n";
    for (const PageEntry &f : files) {
        std::string name = html_escape(f.name);
        std::string kind = f.video ? "video" : "audio";
        html += "<li><a href=\"" + href_attr(f.href) + "\"";
        if (f.playable) html += " data-track=\"" + kind + "\" data-name=\"" + name + "\"";
        html += ">" + name + "</a>";
        if (f.playable) html += "<span class=\"kind\">" + kind + "</span>";
        std::string size = page_size(f.size);
        if (!size.empty())
            html += "<span class=\"size\" title=\"" + grouped(f.size) + " bytes\">" + size + "</span>";
        html += "</li>\n";
    }
    html += "</ul>\n";
}

std::string summary(const FolderPage &page) {
    size_t playable = 0;
    for (const PageEntry &f : page.files) playable += f.playable;
    std::string text = count(page.folders.size(), "folder", "folders") + " \xC2\xB7 " +
                       count(page.files.size(), "file", "files");
    if (playable) text += " \xC2\xB7 " + std::to_string(playable) + " playable";
    return text;
}

// The page runs its own script and style and nothing else, and loads only media (from the
// bridge, which redirects to the links' host) and no other resource. The hashes are those
// of SCRIPT and STYLE; a unit test recomputes them.
constexpr const char *POLICY =
    "default-src 'none'; script-src 'sha256-w2Rf86vCNWf7KibifcfxIPks2YDHI+/LA4sdhpnX4Lw='; "
    "style-src 'sha256-DLXiCAyikpIT/cMy9CRh3J2Cqjm9SORAs4BS8trJvsQ='; media-src *; img-src data:; "
    "base-uri 'none'; form-action 'none'";

// Hidden until the script shows it: without JavaScript the page is the plain index.
constexpr const char *PLAYER =
    "<section id=\"player\" class=\"player\" aria-label=\"Player\" hidden>\n"
    "<div class=\"now\" id=\"now\" aria-live=\"polite\"></div>\n"
    "<audio id=\"audio\" controls preload=\"none\"></audio>\n"
    "<video id=\"video\" controls preload=\"none\" playsinline hidden></video>\n"
    "<div class=\"buttons\"><button type=\"button\" id=\"previous\">\xE2\x80\xB9 Previous</button>"
    "<button type=\"button\" id=\"next\">Next \xE2\x80\xBA</button></div>\n"
    "<p id=\"status\" class=\"status\" role=\"alert\"></p>\n"
    "</section>\n";

} // namespace

// Control characters have no place in a name on a page.
std::string html_escape(const std::string &text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) out += "\xEF\xBF\xBD";
            else out += c;
        }
    }
    return out;
}

std::string folder_page_html(const FolderPage &page) {
    std::string title = html_escape(page.title);
    std::string html =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        "<meta name=\"color-scheme\" content=\"light dark\">\n"
        "<meta http-equiv=\"Content-Security-Policy\" content=\"" + std::string(POLICY) + "\">\n"
        // The page's address may hold the access key: no other host is told it.
        "<meta name=\"referrer\" content=\"no-referrer\">\n"
        // No request for /favicon.ico, which would be taken for a file of the folder.
        "<link rel=\"icon\" href=\"data:,\">\n"
        "<title>" + title + "</title>\n<style>" + STYLE + "</style>\n</head>\n<body>\n<header>\n";
    append_crumbs(html, page);
    html += "<h1>" + title + "</h1>\n<p class=\"summary\">" + summary(page);
    if (!page.m3u_href.empty())
        html += "<a href=\"" + href_attr(page.m3u_href) + "\" type=\"audio/x-mpegurl\">Playlist (M3U)</a>";
    html += "</p>\n</header>\n";
    html += PLAYER;
    append_folders(html, page.folders);
    append_files(html, page.files);
    html += "<script>";
    html += SCRIPT;
    html += "</script>\n</body>\n</html>\n";
    return html;
}
