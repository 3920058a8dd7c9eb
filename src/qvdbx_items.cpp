// The items document's writer: one entry as a compact JSON object, written straight into
// the document's buffer with the bytes yyjson's writer gives for the same members (its
// default flags), without building a mutable document first.
#include "qvdbx_internal.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
