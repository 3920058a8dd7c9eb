// The paths of qvdbx serve: a request's raw path decoded exactly once and checked, the
// Dropbox path under the served folder that it names, and the other way, names back into
// percent-encoded URL paths. Pure: no I/O, no HTTP library.
//
// Confinement rests on the checks here: a decoded segment is never empty, ".", "..", nor
// holds a slash, so joining segments under the served folder cannot leave it.
#pragma once

#include <string>
#include <utility>
#include <vector>

// Why a raw path is refused (each answered 400).
enum class PathFault {
    none,
    not_absolute,   // does not begin with "/" (an absolute-form or "*" target)
    bad_escape,     // "%" not followed by two hex digits
    encoded_slash,  // "%2F" or "%5C": a slash inside a name
    dot_segment,    // "." or ".." (also written %2e)
    empty_segment,  // "//"
    control,        // NUL or another control character
    bad_utf8,       // not valid UTF-8 once decoded
};

// A short English text for the 400 body ("encoded slash").
const char *path_fault_text(PathFault fault);

struct UrlPath {
    std::vector<std::string> segments;  // decoded names, from the served root down
    bool folder = false;                // written with a trailing slash (the root always)
};

// Decodes and checks `raw`, a request path without its query ("/a/b%20c.flac").
PathFault parse_url_path(const std::string &raw, UrlPath &out);

// The fault of a decoded name as a path segment: none for a plain name.
PathFault name_fault(const std::string &name);

// `raw` with each %XX decoded, once; false on a bad escape.
bool pct_decode(const std::string &raw, std::string &out);

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or values past
// U+10FFFF).
bool valid_utf8(const std::string &text);

// The first `count` segments, each percent-encoded, joined with "/" ("" for none).
std::string encode_path(const std::vector<std::string> &segments, size_t count);

// The served folder as the module takes it: a leading slash, none at the end, "" for
// the root ("Music/" -> "/Music", "/" -> "").
std::string served_folder(const std::string &folder);

// A request target as the access log shows it: control characters and bytes past ASCII
// as "?", cut to 300 bytes, and with `hide_key` the first path segment (the key) as
// "<key>", whatever it holds.
std::string loggable_target(const std::string &target, bool hide_key);

// The query of a request target split into decoded (name, value) pairs, in order; false
// on a bad escape.
bool parse_query(const std::string &raw, std::vector<std::pair<std::string, std::string>> &out);

// The Dropbox path of `segments` under `root` (a served_folder()); the root itself when
// there are none, "/" for Dropbox's root.
std::string dropbox_path(const std::string &root, const std::vector<std::string> &segments);
