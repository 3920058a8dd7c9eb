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
        qvdbx_copy_bytes(*w, piece.data(), piece.size());
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

// The members of a metadata object that decoding reads, each the first of its name as
// yyjson_obj_get finds it, gathered in one walk instead of one search per member.
struct meta_members {
    yyjson_val *tag = nullptr;
    yyjson_val *size = nullptr;
    yyjson_val *name = nullptr;
    yyjson_val *id = nullptr;
    yyjson_val *lower = nullptr;
    yyjson_val *display = nullptr;
};

constexpr int MEMBERS_READ = 6;

yyjson_val **member_slot(meta_members &m, std::string_view key) noexcept {
    switch (key.size()) {
    case 2: return key == "id" ? &m.id : nullptr;
    case 4: return key == ".tag" ? &m.tag : key == "size" ? &m.size : key == "name" ? &m.name : nullptr;
    case 10: return key == "path_lower" ? &m.lower : nullptr;
    case 12: return key == "path_display" ? &m.display : nullptr;
    default: return nullptr;
    }
}

meta_members members_of(yyjson_val *meta) noexcept {
    meta_members m;
    size_t index, count;
    yyjson_val *key, *value;
    int found = 0;
    yyjson_obj_foreach(meta, index, count, key, value) {
        yyjson_val **slot = member_slot(m, std::string_view(unsafe_yyjson_get_str(key), unsafe_yyjson_get_len(key)));
        if (slot == nullptr || *slot != nullptr) continue;
        *slot = value;
        if (++found == MEMBERS_READ) break;  // later ones would be repeats
    }
    return m;
}

// Reads one metadata object into `entry` with its texts borrowed from the parsed
// document; false for a deleted entry. `path` is the id when there is one (its locator
// is made from it), else the lower-case or display path, else "".
bool borrow_from_meta(yyjson_val *meta, qvdbx_entry *entry) noexcept {
    meta_members m = members_of(meta);
    *entry = qvdbx_entry{nullptr, nullptr, nullptr, nullptr, 0, -1};
    if (yyjson_equals_str(m.tag, "deleted")) return false;
    entry->is_folder = yyjson_equals_str(m.tag, "folder") ? 1 : 0;
    if (entry->is_folder == 0 && yyjson_is_int(m.size)) entry->size = yyjson_get_sint(m.size);
    entry->path_display = const_cast<char *>(yyjson_get_str(m.display));
    entry->id = const_cast<char *>(yyjson_get_str(m.id));
    const char *name = yyjson_get_str(m.name);
    const char *lower = yyjson_get_str(m.lower);
    // The fallback name is a suffix of the display path, or the constant root name: both
    // end with a NUL.
    entry->name = const_cast<char *>(name != nullptr ? name : last_segment_of(entry->path_display).data());
    const char *path = entry->id != nullptr ? entry->id : lower != nullptr ? lower : entry->path_display;
    entry->path = const_cast<char *>(path != nullptr ? path : "");
    return true;
}

// Fills `entry` from one metadata object: 0 when filled, 1 for a deleted entry, -1 when
// its texts could not be allocated; nothing is allocated unless 0 is returned.
//
// The four texts share one allocation, which `name` points at: one malloc and one free
// per entry instead of four, and an entry is whole or not decoded at all.
int fill_from_meta(yyjson_val *meta, qvdbx_entry *entry) noexcept {
    qvdbx_entry borrowed;
    if (!borrow_from_meta(meta, &borrowed)) {
        *entry = borrowed;
        return 1;
    }
    std::string_view name = qvdbx_view(borrowed.name), display = qvdbx_view(borrowed.path_display);
    std::string_view id = qvdbx_view(borrowed.id), path = qvdbx_view(borrowed.path);
    std::string_view prefix = borrowed.id != nullptr ? qvdbx_id_prefix(borrowed.id) : "";
    size_t bytes = name.size() + prefix.size() + path.size() + 2 +
                   (borrowed.path_display != nullptr ? display.size() + 1 : 0) +
                   (borrowed.id != nullptr ? id.size() + 1 : 0);
    *entry = qvdbx_entry{nullptr, nullptr, nullptr, nullptr, borrowed.is_folder, borrowed.size};
    char *w = static_cast<char *>(qvdbx_malloc(bytes));
    if (w == nullptr) return -1;
    entry->name = put_text(&w, {name});
    entry->path = put_text(&w, {prefix, path});
    if (borrowed.path_display != nullptr) entry->path_display = put_text(&w, {display});
    if (borrowed.id != nullptr) entry->id = put_text(&w, {id});
    return 0;
}

// MARK: - Text blocks
//
// A page's texts go into one block: its entries are read with their texts borrowed from
// the parsed page, counted, and then copied into a block of exactly that size. Texts
// that two fields share are stored once.

// Where a page's texts go: only counted while `w` is null, else written at `w`.
struct text_sink {
    char *w = nullptr;
    size_t bytes = 0;

    char *put(std::string_view first, std::string_view second = {}) noexcept {
        bytes += first.size() + second.size() + 1;
        return w != nullptr ? put_text(&w, {first, second}) : nullptr;
    }
};

char *offset(char *text, size_t by) noexcept { return text != nullptr ? text + by : nullptr; }

bool ends_with(std::string_view text, std::string_view tail) noexcept {
    return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

// `borrowed` with its texts put into `sink`: the name inside the display path when it
// ends it, the id inside its locator ("id:" and the id) or the locator being the id
// itself, a path equal to the display path stored once.
qvdbx_entry place_texts(const qvdbx_entry &borrowed, text_sink &sink) noexcept {
    qvdbx_entry placed = borrowed;
    std::string_view display = qvdbx_view(borrowed.path_display), name = qvdbx_view(borrowed.name);
    char *display_text = borrowed.path_display != nullptr ? sink.put(display) : nullptr;
    bool name_in_display = borrowed.path_display != nullptr && ends_with(display, name);
    placed.path_display = display_text;
    placed.name = name_in_display ? offset(display_text, display.size() - name.size()) : sink.put(name);
    if (borrowed.id != nullptr) {
        std::string_view prefix = qvdbx_id_prefix(borrowed.id);
        placed.path = sink.put(prefix, qvdbx_view(borrowed.id));
        placed.id = offset(placed.path, prefix.size());
    } else {
        std::string_view path = qvdbx_view(borrowed.path);
        bool is_display = borrowed.path_display != nullptr && display == path;
        placed.path = is_display ? display_text : sink.put(path);
    }
    return placed;
}

// Puts the texts of entries[first, count) into a new block; false when memory ran out.
bool keep_page_texts(int32_t first) noexcept {
    text_sink counter;
    for (int32_t i = first; i < g_qv.count; ++i) place_texts(g_qv.entries[i], counter);
    char *block = static_cast<char *>(qvdbx_malloc(sizeof(char *) + counter.bytes));
    if (block == nullptr) return false;
    std::memcpy(block, &g_qv.text_blocks, sizeof(char *));
    g_qv.text_blocks = block;
    text_sink writer{block + sizeof(char *)};
    for (int32_t i = first; i < g_qv.count; ++i) g_qv.entries[i] = place_texts(g_qv.entries[i], writer);
    return true;
}

char *next_block(char *block) noexcept {
    char *next;
    std::memcpy(&next, block, sizeof next);
    return next;
}

// Frees the text blocks added since `kept` was the newest.
void release_blocks_until(char *kept) noexcept {
    while (g_qv.text_blocks != kept) {
        char *next = next_block(g_qv.text_blocks);
        std::free(g_qv.text_blocks);
        g_qv.text_blocks = next;
    }
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

// The table as it was before a page: a page that fails to decode adds nothing, so asking
// for it again cannot list its entries twice.
struct table_mark {
    int32_t count = g_qv.count;
    char *blocks = g_qv.text_blocks;

    void restore() const noexcept {
        g_qv.count = count;
        release_blocks_until(blocks);
    }
};

// Decodes the elements of "entries" into the table; -1 with the failure recorded.
int append_entries(yyjson_val *entries) noexcept {
    int32_t first = g_qv.count;
    size_t index, count;
    yyjson_val *meta;
    yyjson_arr_foreach(entries, index, count, meta) {
        if (!yyjson_is_obj(meta)) continue;
        qvdbx_entry entry;
        if (!borrow_from_meta(meta, &entry)) continue;
        if (!table_has_room()) {
            qvdbx_set_err(QVDBX_E_OOM, "oom");
            return -1;
        }
        g_qv.entries[g_qv.count++] = entry;
    }
    if (g_qv.count > first && !keep_page_texts(first)) {
        qvdbx_set_err(QVDBX_E_PROTOCOL, "bad metadata entry");
        return -1;
    }
    return 0;
}

// Gives back what the table's records hold beyond its entries; a failure keeps them.
void fit_table() noexcept {
    if (g_qv.count == 0 || g_qv.count == g_qv.capacity) return;
    void *fitted = qvdbx_realloc(g_qv.entries, static_cast<size_t>(g_qv.count) * sizeof(qvdbx_entry));
    if (fitted == nullptr) return;
    g_qv.entries = static_cast<qvdbx_entry *>(fitted);
    g_qv.capacity = g_qv.count;
}

// MARK: - Items document
//
// The document grows with the table: each successful page decode writes only the entries
// added since the last one in place of the closing "]}", so a listing of n pages costs
// O(n) rather than rewriting the whole table after every page. The text is byte for byte
// what writing the whole table at once with yyjson gives. It is either complete or
// absent: when memory runs out, or a text is not UTF-8, it is dropped, and the next
// decode writes it anew.

void release_items_buffer() noexcept {
    qvdbx_replace(&g_qv.result_buf, nullptr);
    g_qv.result_cap = 0;
}

void forget_items_document() noexcept {
    g_qv.result_json = nullptr;
    g_qv.result_len = 0;
    g_qv.result_count = 0;
}

void drop_items_document() noexcept {
    forget_items_document();
    release_items_buffer();
}

bool reserve_items_document(size_t size) noexcept {
    if (size <= g_qv.result_cap) return true;
    size_t capacity = g_qv.result_cap * 2 > size ? g_qv.result_cap * 2 : size;
    void *grown = qvdbx_realloc(g_qv.result_buf, capacity);
    if (grown == nullptr) return false;
    g_qv.result_buf = static_cast<char *>(grown);
    g_qv.result_cap = capacity;
    return true;
}

// Room that every write leaves for the closing "]}" and the terminator.
constexpr size_t ITEMS_END_ROOM = ITEMS_TAIL.size() + 1;

// Writes `item` at *len in the document, growing it when the item may not fit.
//
// Where the room left is below the item's worst case, the item is written aside first,
// and the buffer grows only when it really does not fit: a listing written into the
// buffer of an earlier one of the same folder, fitted to that document, then fits to the
// last byte instead of doubling the buffer for its last items.
bool append_item(const qvdbx_item &item, size_t *len) noexcept {
    size_t bound = qvdbx_item_bound(item);
    char aside[1024];
    if (*len + bound + ITEMS_END_ROOM > g_qv.result_cap && bound <= sizeof aside) {
        char *end = qvdbx_write_item(aside, item);
        if (end == nullptr) return false;
        auto size = static_cast<size_t>(end - aside);
        if (!reserve_items_document(*len + size + ITEMS_END_ROOM)) return false;
        std::memcpy(g_qv.result_buf + *len, aside, size);
        *len += size;
        return true;
    }
    if (!reserve_items_document(*len + bound + ITEMS_END_ROOM)) return false;
    char *end = qvdbx_write_item(g_qv.result_buf + *len, item);
    if (end == nullptr) return false;
    *len = static_cast<size_t>(end - g_qv.result_buf);
    return true;
}

bool extend_items_document() noexcept {
    bool fresh = g_qv.result_json == nullptr;
    if (!fresh && g_qv.result_count == g_qv.count) return true;
    g_qv.result_json = nullptr;  // until it is whole again
    size_t len = fresh ? ITEMS_HEAD.size() : g_qv.result_len - ITEMS_TAIL.size();
    if (!reserve_items_document(len + ITEMS_END_ROOM)) return false;
    if (fresh) std::memcpy(g_qv.result_buf, ITEMS_HEAD.data(), ITEMS_HEAD.size());
    for (int32_t i = fresh ? 0 : g_qv.result_count; i < g_qv.count; ++i) {
        if (i > 0) g_qv.result_buf[len++] = ',';
        if (!append_item(qvdbx_item_of(g_qv.entries[i]), &len)) return false;
    }
    std::memcpy(g_qv.result_buf + len, ITEMS_TAIL.data(), ITEMS_TAIL.size());
    g_qv.result_len = len + ITEMS_TAIL.size();
    g_qv.result_buf[g_qv.result_len] = '\0';
    g_qv.result_count = g_qv.count;
    g_qv.result_json = g_qv.result_buf;
    return true;
}

// Gives back the document buffer's room beyond the document; a failure keeps it.
void fit_items_document() noexcept {
    if (g_qv.result_json == nullptr || g_qv.result_cap == g_qv.result_len + 1) return;
    void *fitted = qvdbx_realloc(g_qv.result_buf, g_qv.result_len + 1);
    if (fitted == nullptr) return;
    g_qv.result_buf = g_qv.result_json = static_cast<char *>(fitted);
    g_qv.result_cap = g_qv.result_len + 1;
}

// Empties the listing for a new one, keeping the records and the document buffer to be
// written again: listing a folder anew then reuses memory that is already in use instead
// of asking the system for fresh memory each time.
void start_listing() noexcept {
    release_blocks_until(nullptr);
    g_qv.count = 0;
    qvdbx_replace(&g_qv.cursor, nullptr);
    g_qv.has_more = 0;
    qvdbx_replace(&g_qv.handed_cursor, nullptr);
    forget_items_document();
}

}  // namespace

// MARK: - Entries and paths

void qvdbx_entry_release(qvdbx_entry *entry) noexcept {
    std::free(entry->name);  // the entry's one allocation, holding all four texts
    entry->name = entry->path = entry->path_display = entry->id = nullptr;
}

const char *qvdbx_id_prefix(const char *id) noexcept {
    // Compared byte by byte, which stops at the terminator of a shorter id.
    bool prefixed = id[0] == ID_PREFIX[0] && id[1] == ID_PREFIX[1] && id[2] == ID_PREFIX[2];
    return prefixed ? "" : "id:";
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

namespace {

// Takes the page's entries, cursor and more-pages flag into the listing and extends the
// document; -1 with the failure recorded, the table as it was before the page.
int take_page(yyjson_val *root, qvdbx_doc_ptr &doc) noexcept {
    yyjson_val *entries = yyjson_obj_get(root, "entries");
    if (!yyjson_is_arr(entries)) {
        qvdbx_set_err(QVDBX_E_PROTOCOL, "list result missing entries[]");
        return -1;
    }
    table_mark kept;
    if (append_entries(entries) != 0) {
        kept.restore();
        return -1;
    }
    // A cursor lost to memory would end the listing early as if it were complete.
    const char *cursor = str_member(root, "cursor");
    char *cursor_copy = qvdbx_strdup(cursor);
    if (cursor != nullptr && cursor_copy == nullptr) {
        kept.restore();
        qvdbx_set_err(QVDBX_E_OOM, "oom");
        return -1;
    }
    g_qv.has_more = yyjson_is_true(yyjson_obj_get(root, "has_more")) ? 1 : 0;
    qvdbx_replace(&g_qv.cursor, cursor_copy);
    doc.reset();
    if (!extend_items_document()) drop_items_document();
    // The last page: the table and the document keep no more room than they fill, and
    // no page memory is kept for a next page.
    if (g_qv.has_more == 0) {
        fit_table();
        fit_items_document();
        qvdbx_release_page_memory();
    }
    return 0;
}

// A list page read by `read_root` (null for no body); a first page that fails leaves an
// empty listing that holds no memory.
template <typename ReadRoot>
int decode_list_page(bool has_body, int append, ReadRoot read_root) noexcept {
    if (append == 0) start_listing();
    int rc = -1;
    qvdbx_doc_ptr doc;
    yyjson_val *root = has_body ? read_root(doc) : nullptr;
    if (!has_body) {
        qvdbx_set_err(QVDBX_E_PROTOCOL, "empty list body");
    } else if (root == nullptr) {
        qvdbx_set_err(QVDBX_E_PROTOCOL, "list result not an object");
    } else {
        rc = take_page(root, doc);
    }
    if (rc != 0 && append == 0) qvdbx_clear_entries();
    return rc;
}

}  // namespace

int qvdbx_parse_list_result(const char *json, int append) noexcept {
    return decode_list_page(json != nullptr, append,
                            [json](qvdbx_doc_ptr &doc) { return qvdbx_json_read_object(json, doc); });
}

int qvdbx_parse_list_response(char *response, size_t len, int append) noexcept {
    return decode_list_page(response != nullptr, append, [response, len](qvdbx_doc_ptr &doc) {
        return qvdbx_json_read_object_in_place(response, len, doc);
    });
}

void qvdbx_clear_entries() noexcept {
    start_listing();
    qvdbx_release_page_memory();
    std::free(g_qv.entries);
    g_qv.entries = nullptr;
    g_qv.capacity = 0;
    release_items_buffer();
}

size_t qvdbx_result_len() noexcept {
    return g_qv.result_json != nullptr ? g_qv.result_len : sizeof EMPTY_ITEMS - 1;
}

extern "C" {

QVDBX_API const char *qvdbx_result_json(void) noexcept {
    return g_qv.result_json != nullptr ? g_qv.result_json : EMPTY_ITEMS;
}

QVDBX_API int qvdbx_fuzz_decode_list_json(const uint8_t *bytes, uint64_t len) noexcept {
    if (bytes == nullptr || len >= SIZE_MAX) return -1;
    // Room for the padding of an in-place read, its first byte the terminator.
    if (len > SIZE_MAX - YYJSON_PADDING_SIZE) return -1;
    qvdbx_heap_str text(static_cast<char *>(qvdbx_malloc(static_cast<size_t>(len) + YYJSON_PADDING_SIZE)));
    if (!text) return -1;
    std::memcpy(text.get(), bytes, static_cast<size_t>(len));
    text.get()[len] = '\0';
    return qvdbx_parse_list_response(text.get(), std::strlen(text.get()), 0);
}

QVDBX_API char *qvdbx_fuzz_build_locator(const char *id, const char *path) noexcept {
    if (!qvdbx_is_empty(id)) return id_locator(id);
    return qvdbx_strdup(qvdbx_is_empty(path) ? "" : path);
}

}  // extern "C"
