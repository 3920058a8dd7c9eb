// Decodes Dropbox metadata objects and list pages into entry records, keeps the entry
// table across pages and writes the items document. Never calls the transport.
#include "qvdbx_internal.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>

namespace {

constexpr std::string_view ROOT_NAME = "Dropbox";
constexpr char EMPTY_ITEMS[] = "{\"items\":[]}";
constexpr std::string_view ITEMS_HEAD = "{\"items\":[";
constexpr std::string_view ITEMS_TAIL = "]}";
constexpr std::string_view ID_PREFIX = "id:";

// The display name of a path: its last segment, "Dropbox" for the root.
std::string_view last_segment_of(const char *path) noexcept {
    if (path == nullptr) return ROOT_NAME;
    std::string_view rest(path);
    rest.remove_prefix(std::min(rest.find_first_not_of('/'), rest.size()));
    if (rest.empty()) return ROOT_NAME;
    size_t slash = rest.rfind('/');
    return slash == std::string_view::npos ? rest : rest.substr(slash + 1);
}

const char *str_member(yyjson_val *obj, const char *key) noexcept {
    return yyjson_get_str(yyjson_obj_get(obj, key));
}

// Writes the pieces and a NUL at *w and moves past them; returns where the text starts.
char *put_text(char **w, std::initializer_list<std::string_view> pieces) noexcept {
    char *start = *w;
    for (std::string_view piece : pieces) {
        std::memcpy(*w, piece.data(), piece.size());
        *w += piece.size();
    }
    *(*w)++ = '\0';
    return start;
}

// "id:" and the id, unless the id already carries that prefix (real Dropbox ids do).
char *id_locator(const char *id) noexcept {
    std::string_view prefix = qvdbx_id_prefix(id);
    std::string_view text = id;
    char *w = static_cast<char *>(qvdbx_malloc(prefix.size() + text.size() + 1));
    return w != nullptr ? put_text(&w, {prefix, text}) : nullptr;
}

// Fills `entry` from one metadata object: 0 when filled, 1 for a deleted entry, -1 when
// its texts could not be allocated; nothing is allocated unless 0 is returned.
//
// The four texts share one allocation, which `name` points at: one malloc and one free
// per entry instead of four, and an entry is whole or not decoded at all.
int fill_from_meta(yyjson_val *meta, qvdbx_entry *entry) noexcept {
    *entry = qvdbx_entry{nullptr, nullptr, nullptr, nullptr, 0, -1};
    yyjson_val *tag = yyjson_obj_get(meta, ".tag");
    if (yyjson_equals_str(tag, "deleted")) return 1;
    entry->is_folder = yyjson_equals_str(tag, "folder") ? 1 : 0;
    yyjson_val *size = yyjson_obj_get(meta, "size");
    if (entry->is_folder == 0 && yyjson_is_int(size)) entry->size = yyjson_get_sint(size);

    const char *display = str_member(meta, "path_display");
    const char *id = str_member(meta, "id");
    const char *name_text = str_member(meta, "name");
    const char *lower = str_member(meta, "path_lower");
    std::string_view name = name_text != nullptr ? name_text : last_segment_of(display);
    // The locator: the id (with its "id:" prefix), else the lower-case or display path.
    std::string_view prefix = id != nullptr ? qvdbx_id_prefix(id) : "";
    std::string_view path = id != nullptr ? id : lower != nullptr ? lower : display != nullptr ? display : "";
    std::string_view display_text = display != nullptr ? display : "";
    std::string_view id_text = id != nullptr ? id : "";
    size_t bytes = name.size() + prefix.size() + path.size() + 2 +
                   (display != nullptr ? display_text.size() + 1 : 0) + (id != nullptr ? id_text.size() + 1 : 0);
    char *w = static_cast<char *>(qvdbx_malloc(bytes));
    if (w == nullptr) return -1;
    entry->name = put_text(&w, {name});
    entry->path = put_text(&w, {prefix, path});
    if (display != nullptr) entry->path_display = put_text(&w, {display_text});
    if (id != nullptr) entry->id = put_text(&w, {id_text});
    return 0;
}

// MARK: - Entry table

bool table_has_room() noexcept {
    if (g_qv.count < g_qv.capacity) return true;
    if (g_qv.capacity > INT32_MAX / 2) return false;
    int32_t capacity = g_qv.capacity == 0 ? 64 : g_qv.capacity * 2;
    void *grown = qvdbx_realloc(g_qv.entries, static_cast<size_t>(capacity) * sizeof(qvdbx_entry));
    if (grown == nullptr) return false;
    g_qv.entries = static_cast<qvdbx_entry *>(grown);
    g_qv.capacity = capacity;
    return true;
}

// Releases the entries from `count` on: a page that fails to decode adds nothing, so
// asking for it again cannot list its entries twice.
void truncate_table(int32_t count) noexcept {
    while (g_qv.count > count) qvdbx_entry_release(&g_qv.entries[--g_qv.count]);
}

// Decodes the elements of "entries" into the table; -1 with the failure recorded.
int append_entries(yyjson_val *entries) noexcept {
    size_t index, count;
    yyjson_val *meta;
    yyjson_arr_foreach(entries, index, count, meta) {
        if (!yyjson_is_obj(meta)) continue;
        qvdbx_entry entry;
        int filled = fill_from_meta(meta, &entry);
        if (filled == 1) continue;
        if (filled != 0) {
            qvdbx_entry_release(&entry);
            qvdbx_set_err(QVDBX_E_PROTOCOL, "bad metadata entry");
            return -1;
        }
        if (!table_has_room()) {
            qvdbx_entry_release(&entry);
            qvdbx_set_err(QVDBX_E_OOM, "oom");
            return -1;
        }
        g_qv.entries[g_qv.count++] = entry;
    }
    return 0;
}

// MARK: - Items document
//
// The document grows with the table: each successful page decode writes only the entries
// added since the last one and splices them in before the closing "]}", so a listing of
// n pages costs O(n) rather than rewriting the whole table after every page. The text is
// byte for byte what writing the whole table at once gives. It is either complete or
// absent: when memory runs out it is dropped, and the next decode writes it anew.

bool add_item(yyjson_mut_doc *doc, yyjson_mut_val *items, const qvdbx_entry &entry) noexcept {
    yyjson_mut_val *item = yyjson_mut_obj(doc);
    if (item == nullptr || !yyjson_mut_arr_append(items, item)) return false;
    bool ok = yyjson_mut_obj_add_str(doc, item, "name", entry.name) &&
              yyjson_mut_obj_add_str(doc, item, "path", entry.path) &&
              yyjson_mut_obj_add_bool(doc, item, "folder", entry.is_folder != 0) &&
              yyjson_mut_obj_add_int(doc, item, "size", entry.size >= 0 ? entry.size : -1);
    if (ok && entry.id != nullptr) ok = yyjson_mut_obj_add_str(doc, item, "id", entry.id);
    if (ok && entry.path_display != nullptr) {
        ok = yyjson_mut_obj_add_str(doc, item, "path_display", entry.path_display);
    }
    return ok;
}

// Table entries from `first` on, as a compact JSON array.
qvdbx_heap_str write_items(int32_t first, size_t *len) noexcept {
    qvdbx_mut_doc_ptr doc(yyjson_mut_doc_new(qvdbx_json_alc()));
    yyjson_mut_val *items = doc ? yyjson_mut_arr(doc.get()) : nullptr;
    if (items == nullptr) return nullptr;
    yyjson_mut_doc_set_root(doc.get(), items);
    for (int32_t i = first; i < g_qv.count; ++i) {
        if (!add_item(doc.get(), items, g_qv.entries[i])) return nullptr;
    }
    return qvdbx_json_write(doc.get(), len);
}

void drop_items_document() noexcept {
    qvdbx_replace(&g_qv.result_json, nullptr);
    g_qv.result_len = 0;
    g_qv.result_cap = 0;
    g_qv.result_count = 0;
}

bool reserve_items_document(size_t size) noexcept {
    if (size <= g_qv.result_cap) return true;
    size_t capacity = g_qv.result_cap * 2 > size ? g_qv.result_cap * 2 : size;
    void *grown = qvdbx_realloc(g_qv.result_json, capacity);
    if (grown == nullptr) return false;
    g_qv.result_json = static_cast<char *>(grown);
    g_qv.result_cap = capacity;
    return true;
}

bool extend_items_document() noexcept {
    bool fresh = g_qv.result_json == nullptr;
    if (!fresh && g_qv.result_count == g_qv.count) return true;
    size_t array_len = 0;
    qvdbx_heap_str array = write_items(fresh ? 0 : g_qv.result_count, &array_len);
    if (!array) return false;
    // The array's elements, without its brackets.
    std::string_view added(array.get() + 1, array_len - 2);
    size_t kept = fresh ? ITEMS_HEAD.size() : g_qv.result_len - ITEMS_TAIL.size();
    bool comma = !fresh && g_qv.result_count > 0 && !added.empty();
    size_t len = kept + (comma ? 1 : 0) + added.size() + ITEMS_TAIL.size();
    if (!reserve_items_document(len + 1)) return false;
    char *w = g_qv.result_json + kept;
    if (fresh) std::memcpy(g_qv.result_json, ITEMS_HEAD.data(), ITEMS_HEAD.size());
    if (comma) *w++ = ',';
    std::memcpy(w, added.data(), added.size());
    w += added.size();
    std::memcpy(w, ITEMS_TAIL.data(), ITEMS_TAIL.size());
    w[ITEMS_TAIL.size()] = '\0';
    g_qv.result_len = len;
    g_qv.result_count = g_qv.count;
    return true;
}

}  // namespace

// MARK: - Entries and paths

void qvdbx_entry_release(qvdbx_entry *entry) noexcept {
    std::free(entry->name);  // the entry's one allocation, holding all four texts
    entry->name = entry->path = entry->path_display = entry->id = nullptr;
}

const char *qvdbx_id_prefix(const char *id) noexcept {
    return std::string_view(id).substr(0, ID_PREFIX.size()) == ID_PREFIX ? "" : "id:";
}

int qvdbx_parse_metadata(const char *json, qvdbx_entry *entry) noexcept {
    if (json == nullptr || entry == nullptr) return -1;
    qvdbx_doc_ptr doc;
    yyjson_val *root = qvdbx_json_read_object(json, doc);
    if (root == nullptr) {
        qvdbx_set_err(QVDBX_E_PROTOCOL, "metadata not an object");
        return -1;
    }
    if (fill_from_meta(root, entry) != 0) {
        qvdbx_set_err(QVDBX_E_PROTOCOL, "bad metadata");
        return -1;
    }
    return 0;
}

char *qvdbx_normalize_api_path(const char *path) noexcept {
    if (qvdbx_is_empty(path) || std::strcmp(path, "/") == 0) return qvdbx_strdup("");
    std::string_view text(path);
    if (text.front() == '/' || text.substr(0, ID_PREFIX.size()) == ID_PREFIX) return qvdbx_strdup(path);
    char *slashed = static_cast<char *>(qvdbx_malloc(text.size() + 2));
    if (slashed != nullptr) {
        slashed[0] = '/';
        std::memcpy(slashed + 1, path, text.size() + 1);
    }
    return slashed;
}

char *qvdbx_last_segment(const char *path) noexcept {
    std::string_view segment = last_segment_of(path);
    char *w = static_cast<char *>(qvdbx_malloc(segment.size() + 1));
    return w != nullptr ? put_text(&w, {segment}) : nullptr;
}

// MARK: - List pages

int qvdbx_parse_list_result(const char *json, int append) noexcept {
    if (append == 0) qvdbx_clear_entries();
    if (json == nullptr) {
        qvdbx_set_err(QVDBX_E_PROTOCOL, "empty list body");
        return -1;
    }
    qvdbx_doc_ptr doc;
    yyjson_val *root = qvdbx_json_read_object(json, doc);
    if (root == nullptr) {
        qvdbx_set_err(QVDBX_E_PROTOCOL, "list result not an object");
        return -1;
    }
    yyjson_val *entries = yyjson_obj_get(root, "entries");
    if (!yyjson_is_arr(entries)) {
        qvdbx_set_err(QVDBX_E_PROTOCOL, "list result missing entries[]");
        return -1;
    }
    int32_t kept = g_qv.count;
    if (append_entries(entries) != 0) {
        truncate_table(kept);
        return -1;
    }
    // A cursor lost to memory would end the listing early as if it were complete.
    const char *cursor = str_member(root, "cursor");
    char *cursor_copy = qvdbx_strdup(cursor);
    if (cursor != nullptr && cursor_copy == nullptr) {
        truncate_table(kept);
        qvdbx_set_err(QVDBX_E_OOM, "oom");
        return -1;
    }
    g_qv.has_more = yyjson_is_true(yyjson_obj_get(root, "has_more")) ? 1 : 0;
    qvdbx_replace(&g_qv.cursor, cursor_copy);
    doc.reset();
    if (!extend_items_document()) drop_items_document();
    return 0;
}

void qvdbx_clear_entries() noexcept {
    for (int32_t i = 0; i < g_qv.count; ++i) qvdbx_entry_release(&g_qv.entries[i]);
    std::free(g_qv.entries);
    g_qv.entries = nullptr;
    g_qv.count = 0;
    g_qv.capacity = 0;
    qvdbx_replace(&g_qv.cursor, nullptr);
    g_qv.has_more = 0;
    qvdbx_replace(&g_qv.handed_cursor, nullptr);
    drop_items_document();
}

extern "C" {

QVDBX_API const char *qvdbx_result_json(void) noexcept {
    return g_qv.result_json != nullptr ? g_qv.result_json : EMPTY_ITEMS;
}

QVDBX_API int qvdbx_fuzz_decode_list_json(const uint8_t *bytes, uint64_t len) noexcept {
    if (bytes == nullptr || len >= SIZE_MAX) return -1;
    qvdbx_heap_str text(static_cast<char *>(qvdbx_malloc(static_cast<size_t>(len) + 1)));
    if (!text) return -1;
    std::memcpy(text.get(), bytes, static_cast<size_t>(len));
    text.get()[len] = '\0';
    return qvdbx_parse_list_result(text.get(), 0);
}

QVDBX_API char *qvdbx_fuzz_build_locator(const char *id, const char *path) noexcept {
    if (!qvdbx_is_empty(id)) return id_locator(id);
    return qvdbx_strdup(qvdbx_is_empty(path) ? "" : path);
}

}  // extern "C"
