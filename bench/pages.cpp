// The answers are laid out as the Dropbox API sends them: on one line, with ", " between
// members and ": " after keys. No generated text needs JSON escaping.
#include "pages.h"

#include <cstdint>
#include <cstdio>
#include <iterator>

namespace qvdbx_bench {
namespace {

constexpr const char *ARTISTS[] = {
    "Sigur Rós", "Beyoncé", "Björk", "東京事変", "宇多田ヒカル", "Ólafur Arnalds", "Mötley Crüe",
    "Motörhead", "Café Tacvba", "Hélène Grimaud", "Antonín Dvořák", "Radiohead", "Nina Simone",
    "Caetano Veloso", "Rosalía", "Jóhann Jóhannsson", "Zoë Keating", "Miles Davis",
    "The Beatles", "Ólöf Arnalds",
};
constexpr const char *ALBUMS[] = {
    "Ágætis byrjun", "Lemonade", "Homogenic", "東京", "Kid A", "Kind of Blue", "Takk…",
    "Vespertine", "El Mal Querer", "Symphonie Nr. 9", "Live at Montreux", "Abbey Road",
    "Fantasma", "Orphée", "Into the Trees", "Première",
};
constexpr const char *TITLES[] = {
    "Svefn-g-englar", "Hoppípolla", "Formation", "Jóga", "Everything in Its Right Place",
    "So What", "Glósóli", "Hyperballad", "Malamente", "Largo", "Feeling Good", "Come Together",
    "Sæglópur", "Pagan Poetry", "Bagdad", "Días de Verano", "夜空ノムコウ", "First Love",
    "Überall", "Naïve Melody", "Señorita", "Nocturne", "Ça plane pour moi", "Für Elise",
};
constexpr const char *EXTENSIONS[] = {"mp3", "flac", "m4a", "ogg", "opus", "wav"};

constexpr char HEX[] = "0123456789abcdef";
constexpr char ID_CHARS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-";

// splitmix64: a tiny generator whose stream is fixed by its seed, so an entry's text
// depends only on its position in the listing.
class generator {
public:
    explicit generator(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    template <size_t N>
    const char *pick(const char *const (&pool)[N]) { return pool[next() % N]; }
    std::string chars(const char *alphabet, size_t alphabet_len, size_t count) {
        std::string out;
        out.reserve(count);
        for (size_t i = 0; i < count; ++i) out += alphabet[next() % alphabet_len];
        return out;
    }

private:
    uint64_t state_;
};

std::string hex_chars(generator &gen, size_t count) { return gen.chars(HEX, 16, count); }
std::string id_chars(generator &gen, size_t count) {
    return gen.chars(ID_CHARS, sizeof ID_CHARS - 1, count);
}

// Dropbox's lower-case path, for the scripts used here: ASCII and the Latin-1 capitals
// (UTF-8 C3 80..9E except the multiplication sign); CJK has no case.
std::string lower_path(const std::string &path) {
    // A small letter's code is its capital's plus 0x20, in ASCII as in Latin-1 (whose
    // letters differ in the second UTF-8 byte alone).
    constexpr int TO_SMALL = 'a' - 'A';
    std::string out = path;
    for (size_t i = 0; i < out.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(out[i]);
        if (c >= 'A' && c <= 'Z') out[i] = static_cast<char>(c + TO_SMALL);
        bool latin1_capital = c == 0xC3 && i + 1 < out.size() &&
                              static_cast<unsigned char>(out[i + 1]) >= 0x80 &&
                              static_cast<unsigned char>(out[i + 1]) <= 0x9E &&
                              static_cast<unsigned char>(out[i + 1]) != 0x97;
        if (latin1_capital) out[i + 1] = static_cast<char>(out[i + 1] + TO_SMALL);
    }
    return out;
}

std::string timestamp(uint64_t n) {
    char text[32];
    std::snprintf(text, sizeof text, "20%02u-%02u-%02uT%02u:%02u:%02uZ",
                  static_cast<unsigned>(15 + n % 10), static_cast<unsigned>(1 + n / 10 % 12),
                  static_cast<unsigned>(1 + n / 120 % 28), static_cast<unsigned>(n / 3 % 24),
                  static_cast<unsigned>(n / 7 % 60), static_cast<unsigned>(n / 11 % 60));
    return text;
}

// Appends one JSON object member by member.
class object_writer {
public:
    explicit object_writer(std::string &out) : out_(out) {}
    object_writer &str(const char *key, const std::string &value) {
        return raw(key, '"' + value + '"');
    }
    object_writer &raw(const char *key, const std::string &value) {
        out_ += first_ ? "{\"" : ", \"";
        first_ = false;
        out_ += key;
        out_ += "\": ";
        out_ += value;
        return *this;
    }
    void close() { out_ += '}'; }

private:
    std::string &out_;
    bool first_ = true;
};

enum class kind { file, folder, deleted };

// About one entry in a hundred is deleted and two in a hundred are folders.
kind kind_of(uint64_t n) {
    if (n % 97 == 13) return kind::deleted;
    if (n % 53 == 7) return kind::folder;
    return kind::file;
}

// Entry `n` of the listing (counted across pages).
void append_entry(std::string &out, uint64_t n) {
    generator gen(n * 2654435761u + 17);
    kind k = kind_of(n);
    std::string folder = std::string("/Music/") + gen.pick(ARTISTS) + "/" + gen.pick(ALBUMS);
    char name[160];
    if (k == kind::folder) {
        std::snprintf(name, sizeof name, "Disc %u", static_cast<unsigned>(1 + n % 4));
    } else {
        std::snprintf(name, sizeof name, "%02u %s.%s", static_cast<unsigned>(1 + n % 24),
                      gen.pick(TITLES), gen.pick(EXTENSIONS));
    }
    std::string display = folder + "/" + name;
    object_writer entry(out);
    const char *tag = k == kind::file ? "file" : k == kind::folder ? "folder" : "deleted";
    entry.str(".tag", tag).str("name", name).str("path_lower", lower_path(display))
        .str("path_display", display);
    if (k != kind::deleted) entry.str("id", "id:" + id_chars(gen, 22));
    if (k == kind::file) {
        entry.str("client_modified", timestamp(n)).str("server_modified", timestamp(n + 5))
            .str("rev", hex_chars(gen, 15))
            .raw("size", std::to_string(2000000 + gen.next() % 80000000))
            .raw("is_downloadable", "true")
            .str("content_hash", hex_chars(gen, 64));
    }
    entry.close();
}

}  // namespace

std::string page_cursor(int index, int folder) {
    generator gen(0xC0FFEEull + static_cast<uint64_t>(index) + (static_cast<uint64_t>(folder) << 32));
    return "AAH" + id_chars(gen, 197);
}

std::string list_page(int index, bool has_more, int folder) {
    std::string out = "{\"entries\": [";
    out.reserve(ENTRIES_PER_PAGE * 460);
    uint64_t first = static_cast<uint64_t>(index) * ENTRIES_PER_PAGE;
    for (uint64_t n = first; n < first + ENTRIES_PER_PAGE; ++n) {
        if (n != first) out += ", ";
        append_entry(out, n);
    }
    out += "], \"cursor\": \"" + page_cursor(index, folder) + "\", \"has_more\": ";
    out += has_more ? "true}" : "false}";
    return out;
}

std::string metadata_answer() {
    std::string out;
    append_entry(out, 1);
    return out;
}

std::string link_answer() {
    generator gen(0x11Eull);
    std::string out = "{\"metadata\": ";
    append_entry(out, 1);
    out += ", \"link\": \"https://uc" + hex_chars(gen, 26) +
           ".dl.dropboxusercontent.com/cd/0/get/" + id_chars(gen, 160) + "/file\"}";
    return out;
}

}  // namespace qvdbx_bench
