// Request paths (see url_path.h).
#include "url_path.h"

#include "oauth.h"

#include <algorithm>
#include <cstdint>

namespace {

constexpr size_t LOGGED_TARGET_MAX = 300;

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool has_control(const std::string &text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7F) return true;
    return false;
}

// One raw segment (between slashes) decoded and checked.
PathFault decode_segment(const std::string &raw, std::string &name) {
    if (!pct_decode(raw, name)) return PathFault::bad_escape;
    return name_fault(name);
}

} // namespace

PathFault name_fault(const std::string &name) {
    if (name.empty()) return PathFault::empty_segment;
    // A backslash is refused with the slash: some file systems take it for one.
    if (name.find_first_of("/\\") != std::string::npos) return PathFault::encoded_slash;
    if (name == "." || name == "..") return PathFault::dot_segment;
    if (has_control(name)) return PathFault::control;
    if (!valid_utf8(name)) return PathFault::bad_utf8;
    return PathFault::none;
}

const char *path_fault_text(PathFault fault) {
    switch (fault) {
    case PathFault::none: return "ok";
    case PathFault::not_absolute: return "not an absolute path";
    case PathFault::bad_escape: return "bad percent escape";
    case PathFault::encoded_slash: return "slash inside a name";
    case PathFault::dot_segment: return "dot segment";
    case PathFault::empty_segment: return "empty segment";
    case PathFault::control: return "control character";
    case PathFault::bad_utf8: return "not UTF-8";
    }
    return "bad path";
}

bool pct_decode(const std::string &raw, std::string &out) {
    out.clear();
    out.reserve(raw.size());
    for (size_t k = 0; k < raw.size(); ++k) {
        if (raw[k] != '%') {
            out += raw[k];
            continue;
        }
        int high = k + 2 < raw.size() ? hex_value(raw[k + 1]) : -1;
        int low = high >= 0 ? hex_value(raw[k + 2]) : -1;
        if (low < 0) return false;
        out += char(high * 16 + low);
        k += 2;
    }
    return true;
}

bool valid_utf8(const std::string &text) {
    for (size_t k = 0; k < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[k]);
        if (c < 0x80) {
            ++k;
            continue;
        }
        int extra = (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
        if (extra < 0 || k + size_t(extra) >= text.size()) return false;
        uint32_t cp = c & (0x3F >> extra);
        for (int n = 1; n <= extra; ++n) {
            unsigned char t = static_cast<unsigned char>(text[k + n]);
            if ((t & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (t & 0x3F);
        }
        static const uint32_t SMALLEST[] = {0, 0x80, 0x800, 0x10000};
        if (cp < SMALLEST[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        k += size_t(extra) + 1;
    }
    return true;
}

PathFault parse_url_path(const std::string &raw, UrlPath &out) {
    out = UrlPath{};
    if (raw.empty() || raw[0] != '/') return PathFault::not_absolute;
    size_t at = 1;
    while (at < raw.size()) {
        size_t end = raw.find('/', at);
        std::string name;
        PathFault fault = decode_segment(raw.substr(at, end - at), name);
        if (fault != PathFault::none) return fault;
        out.segments.push_back(std::move(name));
        if (end == std::string::npos) return PathFault::none;
        at = end + 1;
    }
    out.folder = true;
    return PathFault::none;
}

std::string encode_path(const std::vector<std::string> &segments, size_t count) {
    std::string path;
    for (size_t k = 0; k < count && k < segments.size(); ++k) path += (k ? "/" : "") + pct_encode(segments[k]);
    return path;
}

std::string served_folder(const std::string &folder) {
    size_t begin = folder.find_first_not_of('/');
    if (begin == std::string::npos) return "";
    size_t end = folder.find_last_not_of('/');
    return "/" + folder.substr(begin, end - begin + 1);
}

std::string dropbox_path(const std::string &root, const std::vector<std::string> &segments) {
    std::string path = root;
    for (const std::string &name : segments) path += "/" + name;
    return path.empty() ? "/" : path;
}

std::string loggable_target(const std::string &target, bool hide_key) {
    std::string shown = target;
    if (hide_key && !shown.empty() && shown[0] == '/') {
        size_t end = shown.find_first_of("/?", 1);
        shown.replace(1, end == std::string::npos ? std::string::npos : end - 1, "<key>");
    }
    if (shown.size() > LOGGED_TARGET_MAX) shown = shown.substr(0, LOGGED_TARGET_MAX) + "...";
    for (char &c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = '?';
    return shown;
}

bool parse_query(const std::string &raw, std::vector<std::pair<std::string, std::string>> &out) {
    out.clear();
    for (size_t at = 0; at < raw.size();) {
        size_t end = std::min(raw.find('&', at), raw.size());
        std::string pair = raw.substr(at, end - at);
        size_t eq = pair.find('=');
        std::string name, value;
        if (!pct_decode(pair.substr(0, eq), name) ||
            !pct_decode(eq == std::string::npos ? "" : pair.substr(eq + 1), value))
            return false;
        if (!pair.empty()) out.emplace_back(std::move(name), std::move(value));
        at = end + 1;
    }
    return true;
}
