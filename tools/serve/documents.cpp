// Folder answers from listings (see documents.h). Entries whose names could not be a path
// segment (a slash, "..", control characters: never from Dropbox, but an answer is input)
// are left out of every answer, so no URL made here can lead outside the served folder.
#include "documents.h"

#include "oauth.h"
#include "url_path.h"

#include <yyjson.h>

#include <algorithm>
#include <cstdlib>

namespace {

bool plain(const Item &item) { return name_fault(item.name) == PathFault::none; }

struct Walker {
    const std::string &root_prefix;
    const ListFolder &list;
    const WalkLimits &limits;
    bool recursive;
    Walk &out;
    size_t folders = 0;

    // Stops without listing once a limit is reached; false when a listing failed.
    bool visit(std::vector<std::string> &segments, size_t depth, const std::string &title_prefix) {
        if (folders >= limits.folders || out.entries.size() >= limits.entries) {
            out.truncated = true;
            return true;
        }
        ++folders;
        std::shared_ptr<const Listing> listing;
        if (!list(segments, listing)) return false;
        std::string prefix = root_prefix + encode_path(segments, segments.size()) + (segments.empty() ? "" : "/");
        std::vector<const Item *> items = display_order(*listing);
        for (const Item *item : items) {
            if (item->folder || !is_playable(item->name)) continue;
            if (out.entries.size() >= limits.entries) {
                out.truncated = true;
                return true;
            }
            out.entries.push_back({title_prefix + item->name, entry_url(prefix, *item)});
        }
        if (!recursive) return true;
        for (const Item *item : items) {
            if (!item->folder) continue;
            if (depth >= limits.depth) {
                out.truncated = true;
                return true;
            }
            segments.push_back(item->name);
            bool ok = visit(segments, depth + 1, title_prefix + item->name + "/");
            segments.pop_back();
            if (!ok) return false;
        }
        return true;
    }
};

} // namespace

std::string entry_url(const std::string &prefix, const Item &item) {
    return prefix + pct_encode(item.name) + (item.folder ? "/" : "");
}

std::vector<const Item *> display_order(const Listing &listing) {
    std::vector<const Item *> items;
    for (const Item &item : listing.items)
        if (plain(item)) items.push_back(&item);
    std::sort(items.begin(), items.end(), [](const Item *a, const Item *b) {
        return a->folder != b->folder ? a->folder : playlist_order(a->name, b->name);
    });
    return items;
}

bool walk_playlist(const std::vector<std::string> &segments, bool recursive, const std::string &root_prefix,
                   const ListFolder &list, const WalkLimits &limits, Walk &out) {
    Walker walker{root_prefix, list, limits, recursive, out};
    std::vector<std::string> path = segments;
    return walker.visit(path, 0, "");
}

std::string walk_m3u(const Walk &walk, const WalkLimits &limits) {
    std::string text = m3u_stable_document(walk.entries);
    if (walk.truncated)
        text += "# more was left out: a playlist reaches " + std::to_string(limits.depth) + " levels down, " +
                std::to_string(limits.folders) + " folders and " + std::to_string(limits.entries) + " entries\n";
    return text;
}

bool items_with_urls(const std::string &items_json, const std::string &prefix, std::string &out) {
    yyjson_doc *doc = yyjson_read(items_json.data(), items_json.size(), 0);
    yyjson_mut_doc *mut = doc ? yyjson_doc_mut_copy(doc, nullptr) : nullptr;
    yyjson_doc_free(doc);
    if (!mut) return false;
    yyjson_mut_val *items = yyjson_mut_obj_get(yyjson_mut_doc_get_root(mut), "items");
    bool ok = yyjson_mut_is_arr(items);
    size_t index, count;
    yyjson_mut_val *entry;
    yyjson_mut_arr_foreach(items, index, count, entry) {
        Item item;
        const char *name = yyjson_mut_get_str(yyjson_mut_obj_get(entry, "name"));
        if (!yyjson_mut_is_obj(entry) || !name) continue;
        item.name = name;
        item.folder = yyjson_mut_is_true(yyjson_mut_obj_get(entry, "folder"));
        if (plain(item)) ok = ok && yyjson_mut_obj_add_strcpy(mut, entry, "url", entry_url(prefix, item).c_str());
    }
    char *text = ok ? yyjson_mut_write(mut, 0, nullptr) : nullptr;
    yyjson_mut_doc_free(mut);
    if (!text) return false;
    out = text;
    std::free(text);
    return true;
}

FolderPage folder_page_of(const Listing &listing, const std::vector<std::string> &segments,
                          const std::string &root_href) {
    FolderPage page;
    page.title = "/";
    for (size_t k = 0; k < segments.size(); ++k) page.title += (k ? "/" : "") + segments[k];
    page.crumbs.emplace_back("/", root_href);
    for (size_t k = 0; k < segments.size(); ++k)
        page.crumbs.emplace_back(segments[k], root_href + encode_path(segments, k + 1) + "/");
    for (const Item *item : display_order(listing)) {
        PageEntry e;
        e.name = item->name;
        e.href = entry_url("", *item);
        e.folder = item->folder;
        e.size = item->folder ? -1 : item->size;
        e.playable = !item->folder && is_playable(item->name);
        e.video = e.playable && is_video(item->name);
        (item->folder ? page.folders : page.files).push_back(e);
    }
    page.m3u_href = "?format=m3u";
    return page;
}
