// Differential check of the items writer: an entry table built from the input is written
// by the module's writer and by yyjson's compact writer (the mutable document the module
// used to build), and the two must give the same text, or both refuse it.
//
// Input: entries one after the other. Each starts with a flags byte (bit 0 folder, bit 1
// has an id, bit 2 has a display path, bits 3-4 the size: -1, one byte, eight bytes, or
// a negative one), then its texts (name, path, then id and display path when present),
// each a length byte and that many bytes (a length of 255 repeats the text's first
// byte 255..4335 times, for long texts). Texts end at their first NUL, as the table's do.
#include "fuzz_support.h"

#include <memory>
#include <vector>

namespace {

class reader {
public:
    reader(const uint8_t *data, size_t size) : p_(data), end_(data + size) {}
    bool done() const { return p_ == end_; }
    uint8_t byte() { return p_ < end_ ? *p_++ : 0; }
    std::string text() {
        uint8_t len = byte();
        if (len == 255) return std::string(255 + 16 * static_cast<size_t>(byte()), static_cast<char>(byte()));
        size_t n = std::min<size_t>(len, static_cast<size_t>(end_ - p_));
        std::string out(reinterpret_cast<const char *>(p_), n);
        p_ += n;
        return out;
    }
    int64_t size(uint8_t kind) {
        if (kind == 0) return -1;
        if (kind == 1) return byte();
        uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v = v << 8 | byte();
        int64_t value = static_cast<int64_t>(v & INT64_MAX);
        return kind == 2 ? value : -value - 1;
    }

private:
    const uint8_t *p_;
    const uint8_t *end_;
};

struct fuzz_entry {
    std::string name, path, id, display;
    bool has_id, has_display;
    qvdbx_entry entry;  // points into the strings above
};

std::vector<fuzz_entry> entries_of(const uint8_t *data, size_t size) {
    reader in(data, size);
    std::vector<fuzz_entry> table;
    while (!in.done() && table.size() < 64) {
        uint8_t flags = in.byte();
        fuzz_entry e;
        e.has_id = (flags & 2) != 0;
        e.has_display = (flags & 4) != 0;
        e.name = in.text();
        e.path = in.text();
        if (e.has_id) e.id = in.text();
        if (e.has_display) e.display = in.text();
        e.entry = qvdbx_entry{nullptr, nullptr, nullptr, nullptr, flags & 1, in.size((flags >> 3) & 3)};
        table.push_back(std::move(e));
    }
    for (fuzz_entry &e : table) {  // the strings no longer move
        e.entry.name = e.name.data();
        e.entry.path = e.path.data();
        e.entry.id = e.has_id ? e.id.data() : nullptr;
        e.entry.path_display = e.has_display ? e.display.data() : nullptr;
    }
    return table;
}

// The items as the module's writer gives them, "[a,b]"; false when it refuses one. Each
// item goes into a buffer of exactly its bound, so writing past it is caught.
bool module_text(const std::vector<fuzz_entry> &table, std::string *out) {
    *out = "[";
    for (const fuzz_entry &e : table) {
        qvdbx_item item = qvdbx_item_of(e.entry);
        size_t bound = qvdbx_item_bound(item);
        std::unique_ptr<char[]> buffer(new char[bound]);
        char *end = qvdbx_write_item(buffer.get(), item);
        if (end == nullptr) return false;
        FUZZ_REQUIRE(end > buffer.get() && static_cast<size_t>(end - buffer.get()) <= bound);
        if (out->size() > 1) *out += ',';
        out->append(buffer.get(), static_cast<size_t>(end - buffer.get()));
    }
    *out += ']';
    return true;
}

bool add_yyjson_item(yyjson_mut_doc *doc, yyjson_mut_val *items, const qvdbx_entry &entry) {
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

// The same items written by yyjson; false when its writer refuses them.
bool yyjson_text(const std::vector<fuzz_entry> &table, std::string *out) {
    qvdbx_mut_doc_ptr doc(yyjson_mut_doc_new(nullptr));
    yyjson_mut_val *items = yyjson_mut_arr(doc.get());
    yyjson_mut_doc_set_root(doc.get(), items);
    for (const fuzz_entry &e : table) FUZZ_REQUIRE(add_yyjson_item(doc.get(), items, e.entry));
    size_t len = 0;
    qvdbx_heap_str text(yyjson_mut_write(doc.get(), 0, &len));
    if (!text) return false;
    out->assign(text.get(), len);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<fuzz_entry> table = entries_of(data, size);
    std::string ours, theirs;
    bool written = module_text(table, &ours);
    FUZZ_REQUIRE(written == yyjson_text(table, &theirs));
    FUZZ_REQUIRE(!written || ours == theirs);
    return 0;
}
