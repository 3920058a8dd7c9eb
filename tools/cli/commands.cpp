// ls, stat, link and validate over any face (see commands.h).
#include "cli/commands.h"

#include "account/signin.h"
#include "cli/playlist.h"
#include "cli/terminal.h"
#include "host/json_text.h"
#include "serve/serve.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// Names wider than this push their path further right instead of widening every line.
constexpr size_t MAX_NAME_COLUMN = 48;

std::string item_json(const Item &item) {
    std::string json = "{\"name\":" + json_quote(item.name) + ",\"path\":" + json_quote(item.path) +
                       ",\"folder\":" + (item.folder ? "true" : "false") +
                       ",\"size\":" + std::to_string(item.folder ? -1 : item.size);
    if (!item.id.empty()) json += ",\"id\":" + json_quote(item.id);
    return json + "}";
}

// ls --json: the items document goes to stdout as the face reads it from the module.
class DocumentPrinter final : public ListSink {
public:
    bool wants_entries() const override { return false; }
    bool wants_document() const override { return true; }
    void entries(const std::vector<ItemView> &) override {}
    void document(std::string_view piece) override { std::fwrite(piece.data(), 1, piece.size(), stdout); }
};

// ls: a line per entry as each batch arrives, names padded to the batch's widest.
class EntryPrinter final : public ListSink {
public:
    bool wants_entries() const override { return true; }
    bool wants_document() const override { return false; }
    void document(std::string_view) override {}
    void entries(const std::vector<ItemView> &batch) override {
        size_t width = 0;
        for (const ItemView &item : batch) width = std::max(width, display_width(item.name));
        width = std::min(width, MAX_NAME_COLUMN);
        for (const ItemView &item : batch) {
            size_t name_width = display_width(item.name);
            int pad = int(width > name_width ? width - name_width : 0);
            std::printf("%-4s %10s  %.*s%*s  %.*s\n", item.folder ? "dir" : "file",
                        human_size(item.folder, item.size).c_str(), int(item.name.size()),
                        item.name.data(), pad, "", int(item.path.size()), item.path.data());
        }
    }
};

int cmd_ls(Host &h, const Face &face) {
    const char *path = h.opt.args.empty() ? nullptr : h.opt.args[0].c_str();
    bool show_progress = is_terminal(stderr) && is_terminal(stdout);
    if (!h.opt.json) {
        EntryPrinter printer;
        return list_folder(h, face, path, show_progress, printer);
    }
    DocumentPrinter printer;
    int rc = list_folder(h, face, path, show_progress, printer);
    if (rc == EXIT_DONE) std::putchar('\n');
    return rc;
}

int cmd_stat(Host &h, const Face &face) {
    Item item;
    if (int rc = face.stat(h, h.opt.args[0].c_str(), item)) return rc;
    if (h.opt.json) {
        std::printf("%s\n", item_json(item).c_str());
        return EXIT_DONE;
    }
    std::printf("name  %s\nkind  %s\n", item.name.c_str(), item.folder ? "dir" : "file");
    if (item.folder || item.size < 0) std::printf("size  %s\n", human_size(item.folder, item.size).c_str());
    else std::printf("size  %s (%lld bytes)\n", human_size(item.folder, item.size).c_str(), (long long)item.size);
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

int list_folder(Host &h, const Face &face, const char *path, bool show_progress, ListSink &sink) {
    // The handler picks the settings' "Path" itself; the other faces are told it.
    if (!path && std::strcmp(face.name, "handler") != 0) path = h.settings.path.c_str();
    h.progress.enabled = show_progress;
    h.progress.label = path && *path ? path : h.settings.path.empty() ? "/" : h.settings.path;
    int rc = face.list(h, path, sink);
    progress_show(h.progress, true);
    return rc;
}

const Command *find_command(const std::string &name) {
    for (const Command &c : COMMANDS)
        if (name == c.name) return &c;
    return nullptr;
}
