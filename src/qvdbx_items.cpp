// The items document's writer: one entry as a compact JSON object, written straight into
// the document's buffer with the bytes yyjson's writer gives for the same members (its
// default flags), without building a mutable document first.
#include "qvdbx_internal.h"

#include <cstring>

namespace {

// The longest text a member adds around its value: `,"path_display":"` and `"`.
constexpr size_t MEMBER_OVERHEAD = 20;
// Braces, the two fixed members, the longest size ("-1" or up to 19 digits).
constexpr size_t ITEM_OVERHEAD = 2 + 16 + 8 + 32;
// The longest escape of one byte: \u00XX.
constexpr size_t WORST_ESCAPE = 6;

constexpr uint64_t ONES = 0x0101010101010101ULL;
constexpr uint64_t HIGHS = 0x8080808080808080ULL;

constexpr bool has_zero_byte(uint64_t v) noexcept { return ((v - ONES) & ~v & HIGHS) != 0; }

// True when one of the eight bytes is not printable ASCII to copy as it is: a control
// character, `"`, `\` or a byte of a multi-byte sequence.
bool needs_care(const unsigned char *p) noexcept {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    bool below_space = ((v - ONES * 0x20) & ~v & HIGHS) != 0;
    return (v & HIGHS) != 0 || below_space || has_zero_byte(v ^ (ONES * '"')) ||
           has_zero_byte(v ^ (ONES * '\\'));
}

bool is_plain(unsigned char c) noexcept { return c >= 0x20 && c < 0x80 && c != '"' && c != '\\'; }
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

// `"text"` at w; nullptr when the text is not UTF-8.
char *write_string(char *w, std::string_view text) noexcept {
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    const unsigned char *end = p + text.size();
    *w++ = '"';
    while (p < end) {
        const unsigned char *run = p;
        while (end - p >= 8 && !needs_care(p)) p += 8;
        while (p < end && is_plain(*p)) ++p;
        std::memcpy(w, run, static_cast<size_t>(p - run));
        w += p - run;
        if (p == end) break;
        if (*p < 0x80) {
            w = write_escape(w, *p++);
            continue;
        }
        size_t n = utf8_sequence(p, end);
        if (n == 0) return nullptr;
        std::memcpy(w, p, n);
        w += n;
        p += n;
    }
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
char *write_member(char *w, std::string_view key, const char *value) noexcept {
    if (w == nullptr || value == nullptr) return w;
    return write_string(write_raw(w, key), value);
}

size_t text_bound(const char *text) noexcept {
    return text != nullptr ? MEMBER_OVERHEAD + WORST_ESCAPE * std::strlen(text) : 0;
}

}  // namespace

size_t qvdbx_item_bound(const qvdbx_entry &entry) noexcept {
    return ITEM_OVERHEAD + text_bound(entry.name) + text_bound(entry.path) + text_bound(entry.id) +
           text_bound(entry.path_display);
}

char *qvdbx_write_item(char *out, const qvdbx_entry &entry) noexcept {
    char *w = write_member(out, "{\"name\":", entry.name);
    w = write_member(w, ",\"path\":", entry.path);
    if (w == nullptr) return nullptr;
    w = write_raw(w, entry.is_folder != 0 ? ",\"folder\":true,\"size\":" : ",\"folder\":false,\"size\":");
    w = write_size(w, entry.size);
    w = write_member(w, ",\"id\":", entry.id);
    w = write_member(w, ",\"path_display\":", entry.path_display);
    if (w == nullptr) return nullptr;
    *w++ = '}';
    return w;
}
