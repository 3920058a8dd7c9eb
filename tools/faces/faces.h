// The three faces of the module, each behind the same five operations so that every
// command runs through any of them.
#pragma once

#include "host/host.h"

#include <string>
#include <string_view>

struct Face {
    const char *name;
    int (*validate)(Host &);
    int (*list)(Host &, const char *path, ListSink &);  // path NULL: the settings' "Path"
    int (*stat)(Host &, const char *path, Item &);
    int (*link)(Host &, const char *path, std::string &url);
};

// Room for a stream link, or for the handler's answer that holds one: Dropbox's links
// take a few hundred bytes.
constexpr size_t LINK_BUFFER_BYTES = 16384;

extern const Face HANDLER_FACE;
extern const Face BACKEND_FACE;
extern const Face FLAT_FACE;

// A text of the module's as a view; "" for NULL.
inline std::string_view text_view(const char *text) { return text ? std::string_view(text) : std::string_view(); }

// The handler table has no stat entry point; its face stats through the flat function.
int flat_stat(Host &h, const char *path, Item &item);

// The face called `name`, or nullptr.
const Face *find_face(const std::string &name);
