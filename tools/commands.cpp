// ls, stat, link and validate over any face (see commands.h).
#include "commands.h"

#include "json_text.h"
#include "playlist.h"
#include "serve/serve.h"
#include "signin.h"
#include "terminal.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

std::string item_json(const Item &item) {
    std::string json = "{\"name\":" + json_quote(item.name) + ",\"path\":" + json_quote(item.path) +
                       ",\"folder\":" + (item.folder ? "true" : "false") +
                       ",\"size\":" + std::to_string(item.folder ? -1 : item.size);
    if (!item.id.empty()) json += ",\"id\":" + json_quote(item.id);
    return json + "}";
}

int cmd_ls(Host &h, const Face &face) {
    const char *path = h.opt.args.empty() ? nullptr : h.opt.args[0].c_str();
    Listing listing;
    if (int rc = list_folder(h, face, path, is_terminal(stderr) && is_terminal(stdout), listing)) return rc;
    if (h.opt.json) {
        std::printf("%s\n", listing.json.c_str());
        return EXIT_DONE;
    }
    size_t width = 0;
    for (const Item &item : listing.items) width = std::max(width, display_width(item.name));
    width = std::min<size_t>(width, 48);
    for (const Item &item : listing.items) {
        size_t pad = width > display_width(item.name) ? width - display_width(item.name) : 0;
        std::printf("%-4s %10s  %s%*s  %s\n", item.folder ? "dir" : "file", human_size(item).c_str(),
                    item.name.c_str(), int(pad), "", item.path.c_str());
    }
    return EXIT_DONE;
}

int cmd_stat(Host &h, const Face &face) {
    Item item;
    if (int rc = face.stat(h, h.opt.args[0].c_str(), item)) return rc;
    if (h.opt.json) {
        std::printf("%s\n", item_json(item).c_str());
        return EXIT_DONE;
    }
    std::printf("name  %s\nkind  %s\n", item.name.c_str(), item.folder ? "dir" : "file");
    if (item.folder || item.size < 0) std::printf("size  %s\n", human_size(item).c_str());
    else std::printf("size  %s (%lld bytes)\n", human_size(item).c_str(), (long long)item.size);
    std::printf("path  %s\n", item.path.c_str());
    if (!item.id.empty()) std::printf("id    %s\n", item.id.c_str());
    return EXIT_DONE;
}

int cmd_link(Host &h, const Face &face) {
    std::string url;
    if (int rc = face.link(h, h.opt.args[0].c_str(), url)) return rc;
    std::printf("%s\n", url.c_str());
    return EXIT_DONE;
}

int cmd_validate(Host &h, const Face &face) {
    if (int rc = face.validate(h)) return rc;
    std::printf("ok\n");
    return EXIT_DONE;
}

const Command COMMANDS[] = {
    {"ls", 0, 1, cmd_ls, false},
    {"stat", 1, 1, cmd_stat, false},
    {"link", 1, 1, cmd_link, false},
    {"validate", 0, 0, cmd_validate, false},
    {"playlist", 1, 1, cmd_playlist, false},
    {"auth", 0, 0, cmd_auth, true},
    {"serve", 0, 1, cmd_serve, false},
};

} // namespace

int list_folder(Host &h, const Face &face, const char *path, bool show_progress, Listing &listing) {
    // The handler picks the settings' "Path" itself; the other faces are told it.
    if (!path && std::strcmp(face.name, "handler") != 0) path = h.settings.path.c_str();
    h.progress.enabled = show_progress;
    h.progress.label = path && *path ? path : h.settings.path.empty() ? "/" : h.settings.path;
    int rc = face.list(h, path, listing);
    progress_show(h.progress, true);
    return rc;
}

const Command *find_command(const std::string &name) {
    for (const Command &c : COMMANDS)
        if (name == c.name) return &c;
    return nullptr;
}

const Face *find_face(const std::string &name) {
    for (const Face *f : {&HANDLER_FACE, &BACKEND_FACE, &FLAT_FACE})
        if (name == f->name) return f;
    return nullptr;
}
