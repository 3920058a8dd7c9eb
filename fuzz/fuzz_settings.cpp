// Opens the backend with the input as its settings document, then loads it again without
// requiring a token, and checks what was stored against the document itself.
#include "fuzz_support.h"

namespace {

// What the loader must store for `key`: the first member's string (up to its first NUL,
// as copies are made), or nothing when that member is missing or not a string.
bool stored_as(yyjson_val *root, const char *key, const char *field, bool need_text) {
    const char *value = yyjson_get_str(yyjson_obj_get(root, key));
    if (value == nullptr || (need_text && *value == '\0')) return field == nullptr;
    return field != nullptr && std::strcmp(field, value) == 0;
}

void check_stored(yyjson_val *root) {
    FUZZ_REQUIRE(stored_as(root, "access_token", g_qv.access_token, true));
    FUZZ_REQUIRE(stored_as(root, "refresh_token", g_qv.refresh_token, false));
    FUZZ_REQUIRE(stored_as(root, "app_key", g_qv.app_key, false));
    FUZZ_REQUIRE(stored_as(root, "Path", g_qv.default_path, false));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text = fuzz_text(data, size);
    qvdbx_doc_ptr doc = qvdbx_json_read(text.data(), text.size());
    yyjson_val *root = yyjson_doc_get_root(doc.get());
    bool object = yyjson_is_obj(root);

    const qvdbx_backend_table *backend = qvdbx_backend();
    int opened = backend->open(nullptr, text.c_str());
    FUZZ_REQUIRE(opened == QVDBX_BACKEND_OK || opened == QVDBX_BACKEND_OPEN_FAILED);
    FUZZ_REQUIRE((opened == QVDBX_BACKEND_OK) == (object && !qvdbx_is_empty(g_qv.access_token)));
    FUZZ_REQUIRE(opened == QVDBX_BACKEND_OK || g_qv.last_code == QVDBX_E_BAD_CONFIG);
    if (object) check_stored(root);

    int loaded = qvdbx_load_settings(text.c_str(), 0);
    FUZZ_REQUIRE((loaded == 0) == object);
    if (object) check_stored(root);

    backend->close(nullptr);
    fuzz_reset();
    return 0;
}
