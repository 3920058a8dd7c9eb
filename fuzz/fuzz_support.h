// Shared by the fuzz targets: the reset that makes every input run alone, the invariant
// check that turns a broken promise into a crash, and the items-document oracle.
#ifndef QVDBX_FUZZ_SUPPORT_H
#define QVDBX_FUZZ_SUPPORT_H

#include "qvdbx_internal.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// libFuzzer counts an abort as a crash and keeps the input that caused it.
#define FUZZ_REQUIRE(cond) ((cond) ? (void)0 : fuzz_fail(#cond, __FILE__, __LINE__))

[[noreturn]] inline void fuzz_fail(const char *what, const char *file, int line) {
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, what);
    std::abort();
}

// The input up to its first NUL: the module reads NUL-terminated documents.
inline std::string fuzz_text(const uint8_t *data, size_t size) {
    const uint8_t *end = std::find(data, data + size, uint8_t{0});
    return std::string(reinterpret_cast<const char *>(data), static_cast<size_t>(end - data));
}

// Returns the module to its load state, releasing everything an input made it hold, so
// that inputs neither depend on each other nor leave memory behind.
inline void fuzz_reset() {
    qvdbx_clear_entries();
    qvdbx_fake_reset();
    qvdbx_set_io(nullptr);
    qvdbx_set_token(nullptr);
    qvdbx_set_refresh(nullptr, nullptr);
    qvdbx_replace(&g_qv.default_path, nullptr);
    g_qv.cancel_requested = 0;
    g_qv.last_code = 0;
    g_qv.last_http_code = 0;
    g_qv.retry_after_s = 0;
    g_qv.last_error[0] = '\0';
}

inline bool fuzz_str_is(yyjson_val *val, const char *expected) {
    return yyjson_is_str(val) && std::strlen(expected) == yyjson_get_len(val) &&
           std::strcmp(yyjson_get_str(val), expected) == 0;
}

// An optional member is present exactly when the entry holds the value.
inline bool fuzz_optional_is(yyjson_val *item, const char *key, const char *expected) {
    yyjson_val *val = yyjson_obj_get(item, key);
    return expected == nullptr ? val == nullptr : fuzz_str_is(val, expected);
}

inline bool fuzz_item_matches(yyjson_val *item, const qvdbx_entry &entry) {
    yyjson_val *size = yyjson_obj_get(item, "size");
    size_t members = 4 + (entry.id != nullptr ? 1 : 0) + (entry.path_display != nullptr ? 1 : 0);
    return yyjson_obj_size(item) == members &&
           fuzz_str_is(yyjson_obj_get(item, "name"), entry.name) &&
           fuzz_str_is(yyjson_obj_get(item, "path"), entry.path) &&
           yyjson_get_bool(yyjson_obj_get(item, "folder")) == (entry.is_folder != 0) &&
           yyjson_is_int(size) && yyjson_get_sint(size) == (entry.size >= 0 ? entry.size : -1) &&
           fuzz_optional_is(item, "id", entry.id) &&
           fuzz_optional_is(item, "path_display", entry.path_display);
}

// After a successful decode the items document describes the whole table, entry by
// entry, and is compact JSON.
inline void fuzz_check_items_document() {
    FUZZ_REQUIRE(g_qv.result_json != nullptr);
    const char *text = qvdbx_result_json();
    FUZZ_REQUIRE(std::strlen(text) == g_qv.result_len);
    qvdbx_doc_ptr doc = qvdbx_json_read(text, g_qv.result_len);
    yyjson_val *root = yyjson_doc_get_root(doc.get());
    FUZZ_REQUIRE(yyjson_is_obj(root) && yyjson_obj_size(root) == 1);
    yyjson_val *items = yyjson_obj_get(root, "items");
    FUZZ_REQUIRE(yyjson_is_arr(items));
    FUZZ_REQUIRE(yyjson_arr_size(items) == static_cast<size_t>(g_qv.count));
    for (int32_t i = 0; i < g_qv.count; ++i) {
        yyjson_val *item = yyjson_arr_get(items, static_cast<size_t>(i));
        FUZZ_REQUIRE(fuzz_item_matches(item, g_qv.entries[i]));
    }
    qvdbx_mut_doc_ptr copy(yyjson_doc_mut_copy(doc.get(), nullptr));
    qvdbx_heap_str compact = qvdbx_json_write(copy.get(), nullptr);
    FUZZ_REQUIRE(compact && std::strcmp(compact.get(), text) == 0);
}

#endif
