// The response decoding: turns Dropbox metadata objects and list pages into entry
// records, keeps the entry table and its texts across pages, and writes the items
// document; owns those parts of g_qv. Never calls the transport. Its sections are those
// of qvdbx_internal.h, then the harness entry points of qvdbx.h.
#include "qvdbx_internal.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// MARK: - Entries and paths ---------------------------------------------------

namespace {

constexpr std::string_view ROOT_NAME = "Dropbox";
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
    size_t bytes = name.size() + prefix.size() + path.size() + 2 +  // name's and path's NULs
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

}  // namespace

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
    char *slashed = static_cast<char *>(qvdbx_malloc(text.size() + 2));  // "/", text, NUL
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

// MARK: - Items writer --------------------------------------------------------
//
// One entry as a compact JSON object, written straight into the document's buffer with
// the bytes yyjson's writer gives for the same members (its default flags), without
// building a mutable document first.

namespace {

// The longest text a member adds around its value: `,"path_display":"` and `"`.
constexpr size_t MEMBER_OVERHEAD = 20;
// Braces, the two fixed members, the longest size ("-1" or up to 19 digits).
constexpr size_t ITEM_OVERHEAD = 2 + 16 + 8 + 32;
// The longest escape of one byte: \u00XX.
constexpr size_t WORST_ESCAPE = 6;

bool is_plain(unsigned char c) noexcept { return c >= 0x20 && c < 0x80 && c != '"' && c != '\\'; }

// Sixteen bytes of a text, one bit per byte (bit i for byte i): those to escape (control
// characters, `"`, `\`) and those of multi-byte sequences.
struct window {
    unsigned escapes;
    unsigned high;
};

constexpr size_t WINDOW = 16;

#if defined(__SSE2__)
window window_at(const unsigned char *p) noexcept {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    // Signed, so bytes from 0x80 on are below 0x20 too; they are taken out again.
    __m128i care = _mm_or_si128(_mm_cmplt_epi8(v, _mm_set1_epi8(0x20)),
                                _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')),
                                             _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))));
    auto high = static_cast<unsigned>(_mm_movemask_epi8(v));
    return {static_cast<unsigned>(_mm_movemask_epi8(care)) & ~high, high};
}

void copy_window(char *w, const unsigned char *p) noexcept {
    _mm_storeu_si128(reinterpret_cast<__m128i *>(w), _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
}
#else
window window_at(const unsigned char *p) noexcept {
    window flags{0, 0};
    for (unsigned i = 0; i < WINDOW; ++i) {
        if (p[i] >= 0x80) flags.high |= 1u << i;
        else if (!is_plain(p[i])) flags.escapes |= 1u << i;
    }
    return flags;
}

void copy_window(char *w, const unsigned char *p) noexcept { std::memcpy(w, p, WINDOW); }
#endif

// Index of the lowest bit set in `bits` (not 0).
unsigned lowest_bit(unsigned bits) noexcept {
#if defined(__GNUC__)
    return static_cast<unsigned>(__builtin_ctz(bits));
#else
    unsigned i = 0;
    while ((bits & (1u << i)) == 0) ++i;
    return i;
#endif
}

bool is_continuation(unsigned char c) noexcept { return (c & 0xC0) == 0x80; }

// Length of the well-formed UTF-8 sequence at p (no overlong forms, no surrogates, nothing
// above U+10FFFF), or 0: the sequences yyjson's writer copies, and the ones it refuses.
size_t utf8_sequence(const unsigned char *p, const unsigned char *end) noexcept {
    unsigned char lead = p[0];
    size_t avail = static_cast<size_t>(end - p);
    if (lead >= 0xC2 && lead <= 0xDF) return avail >= 2 && is_continuation(p[1]) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        unsigned char low = lead == 0xE0 ? 0xA0 : 0x80;
        unsigned char high = lead == 0xED ? 0x9F : 0xBF;
        return avail >= 3 && p[1] >= low && p[1] <= high && is_continuation(p[2]) ? 3 : 0;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        unsigned char low = lead == 0xF0 ? 0x90 : 0x80;
        unsigned char high = lead == 0xF4 ? 0x8F : 0xBF;
        return avail >= 4 && p[1] >= low && p[1] <= high && is_continuation(p[2]) &&
                       is_continuation(p[3])
                   ? 4
                   : 0;
    }
    return 0;
}

char *write_escape(char *w, unsigned char c) noexcept {
    static constexpr char hex[] = "0123456789ABCDEF";
    *w++ = '\\';
    switch (c) {
    case '"': *w++ = '"'; break;
    case '\\': *w++ = '\\'; break;
    case '\b': *w++ = 'b'; break;
    case '\t': *w++ = 't'; break;
    case '\n': *w++ = 'n'; break;
    case '\f': *w++ = 'f'; break;
    case '\r': *w++ = 'r'; break;
    default:
        std::memcpy(w, "u00", 3);
        w[3] = hex[c >> 4];
        w[4] = hex[c & 0x0F];
        w += 5;
    }
    return w;
}

// `"text"` at w, escaping what needs it; nullptr when the text is not UTF-8. Copies a
// window at a time up to the next byte that needs care (the room for the worst case
// leaves space for a whole window).
char *write_escaped(char *w, std::string_view text) noexcept {
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    const unsigned char *end = p + text.size();
    *w++ = '"';
    while (p < end) {
        if (static_cast<size_t>(end - p) >= WINDOW) {
            window flags = window_at(p);
            copy_window(w, p);
            unsigned care = flags.escapes | flags.high;
            size_t plain = care == 0 ? WINDOW : lowest_bit(care);
            p += plain;
            w += plain;
            if (plain == WINDOW) continue;
        } else if (is_plain(*p)) {
            *w++ = static_cast<char>(*p++);
            continue;
        }
        if (*p < 0x80) {
            w = write_escape(w, *p++);
            continue;
        }
        size_t n = utf8_sequence(p, end);
        if (n == 0) return nullptr;
        for (size_t i = 0; i < n; ++i) w[i] = static_cast<char>(p[i]);
        w += n;
        p += n;
    }
    *w++ = '"';
    return w;
}

// What a text holds besides printable ASCII, a window at a time, the last window
// overlapping the one before it.
window kinds_of(std::string_view text) noexcept {
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    size_t n = text.size();
    window kinds{0, 0};
    if (n < WINDOW) {
        for (size_t i = 0; i < n; ++i) {
            kinds.high |= p[i] >= 0x80;
            kinds.escapes |= p[i] < 0x80 && !is_plain(p[i]);
        }
        return kinds;
    }
    for (size_t i = 0;; i += WINDOW) {
        window flags = window_at(p + (i + WINDOW < n ? i : n - WINDOW));
        kinds.escapes |= flags.escapes;
        kinds.high |= flags.high;
        if (i + WINDOW >= n) return kinds;
    }
}

bool is_utf8(std::string_view text) noexcept {
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    const unsigned char *end = p + text.size();
    while (p < end) {
        if (static_cast<size_t>(end - p) >= WINDOW) {
            unsigned high = window_at(p).high;
            if (high == 0) {
                p += WINDOW;
                continue;
            }
            p += lowest_bit(high);
        } else if (*p < 0x80) {
            ++p;
            continue;
        }
        size_t n = utf8_sequence(p, end);
        if (n == 0) return false;
        p += n;
    }
    return true;
}

// `"text"` at w; nullptr when the text is not UTF-8. A text with nothing to escape, as
// most are, is copied as it is once its multi-byte sequences are known to be UTF-8.
char *write_string(char *w, std::string_view text) noexcept {
    window kinds = kinds_of(text);
    if (kinds.escapes != 0) return write_escaped(w, text);
    if (kinds.high != 0 && !is_utf8(text)) return nullptr;
    *w++ = '"';
    qvdbx_copy_bytes(w, text.data(), text.size());
    w += text.size();
    *w++ = '"';
    return w;
}

char *write_raw(char *w, std::string_view raw) noexcept {
    std::memcpy(w, raw.data(), raw.size());
    return w + raw.size();
}

char *write_size(char *w, int64_t size) noexcept {
    if (size < 0) return write_raw(w, "-1");
    char digits[20];
    char *d = digits + sizeof digits;
    auto value = static_cast<uint64_t>(size);
    do {
        *--d = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    return write_raw(w, std::string_view(d, static_cast<size_t>(digits + sizeof digits - d)));
}

// `key` and its string value, or nothing when the value is absent.
char *write_member(char *w, std::string_view key, std::string_view value) noexcept {
    if (w == nullptr || value.data() == nullptr) return w;
    return write_string(write_raw(w, key), value);
}

size_t text_bound(std::string_view text) noexcept {
    return text.data() != nullptr ? MEMBER_OVERHEAD + WORST_ESCAPE * text.size() : 0;
}

std::string_view optional_text(const char *text) noexcept {
    return text != nullptr ? qvdbx_view(text) : std::string_view();
}

}  // namespace

qvdbx_item qvdbx_item_of(const qvdbx_entry &entry) noexcept {
    return {optional_text(entry.name), optional_text(entry.path), optional_text(entry.id),
            optional_text(entry.path_display), entry.is_folder != 0, entry.size};
}

size_t qvdbx_item_bound(const qvdbx_item &item) noexcept {
    return ITEM_OVERHEAD + text_bound(item.name) + text_bound(item.path) + text_bound(item.id) +
           text_bound(item.path_display);
}

char *qvdbx_write_item(char *out, const qvdbx_item &item) noexcept {
    char *w = write_member(out, "{\"name\":", item.name);
    w = write_member(w, ",\"path\":", item.path);
    if (w == nullptr) return nullptr;
    w = write_raw(w, item.is_folder ? ",\"folder\":true,\"size\":" : ",\"folder\":false,\"size\":");
    w = write_size(w, item.size);
    w = write_member(w, ",\"id\":", item.id);
    w = write_member(w, ",\"path_display\":", item.path_display);
    if (w == nullptr) return nullptr;
    *w++ = '}';
    return w;
}

// MARK: - Items document ------------------------------------------------------
//
// The document grows with the table: each successful page decode writes only the entries
// added since the last one in place of the closing "]}", so a listing of n pages costs
// O(n) rather than rewriting the whole table after every page. The text is byte for byte
// what writing the whole table at once with yyjson gives. It is either complete or
// absent: when memory runs out, or a text is not UTF-8, it is dropped, and the next
// decode writes it anew.

namespace {

constexpr char EMPTY_ITEMS[] = "{\"items\":[]}";
constexpr std::string_view ITEMS_HEAD = "{\"items\":[";
constexpr std::string_view ITEMS_TAIL = "]}";

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
    char aside[1024];  // the worst case of an entry with up to about 150 bytes of texts
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

}  // namespace

size_t qvdbx_result_len() noexcept {
    return g_qv.result_json != nullptr ? g_qv.result_len : sizeof EMPTY_ITEMS - 1;
}

extern "C" {

QVDBX_API const char *qvdbx_result_json(void) noexcept {
    return g_qv.result_json != nullptr ? g_qv.result_json : EMPTY_ITEMS;
}

}  // extern "C"

// MARK: - Entry table ---------------------------------------------------------
//
// The table's entries keep their texts in blocks, one per page: a page's entries are read
// with their texts borrowed from the parsed page, counted, and then copied into a block
// of exactly that size. Texts that two fields share are stored once.

namespace {

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

// Slots of the table's first growth; every later growth doubles them.
constexpr int32_t FIRST_TABLE_SLOTS = 64;

bool table_has_room() noexcept {
    if (g_qv.count < g_qv.capacity) return true;
    if (g_qv.capacity > INT32_MAX / 2) return false;
    int32_t capacity = g_qv.capacity == 0 ? FIRST_TABLE_SLOTS : g_qv.capacity * 2;
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

void qvdbx_clear_entries() noexcept {
    start_listing();
    qvdbx_release_page_memory();
    std::free(g_qv.entries);
    g_qv.entries = nullptr;
    g_qv.capacity = 0;
    release_items_buffer();
}

// MARK: - List pages ----------------------------------------------------------

namespace {

const char *str_member(yyjson_val *obj, const char *key) noexcept {
    return yyjson_get_str(yyjson_obj_get(obj, key));
}

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

// MARK: - Harness entry points ------------------------------------------------

namespace {

// "id:" and the id, unless the id already carries that prefix (real Dropbox ids do).
char *id_locator(const char *id) noexcept {
    std::string_view prefix = qvdbx_id_prefix(id);
    std::string_view text = id;
    char *w = static_cast<char *>(qvdbx_malloc(prefix.size() + text.size() + 1));
    return w != nullptr ? put_text(&w, {prefix, text}) : nullptr;
}

}  // namespace

extern "C" {

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
