// Decodes the input as a first list page. On success the items document must describe the
// table, the locator harness must agree with the decoded locators, and appending the same
// page again must give the document with every item twice: extending the document page by
// page has to match writing the whole table at once.
#include "fuzz_support.h"

namespace {

// {"items":[X]} becomes {"items":[X,X]}; an empty array stays empty.
std::string doubled(const std::string &document) {
    constexpr size_t head = sizeof "{\"items\":[" - 1;
    constexpr size_t tail = sizeof "]}" - 1;
    std::string items = document.substr(head, document.size() - head - tail);
    if (items.empty()) return document;
    return document.substr(0, head) + items + "," + items + document.substr(document.size() - tail);
}

void check_append_of_same_page(const std::string &page) {
    std::string first = qvdbx_result_json();
    int32_t count = g_qv.count;
    FUZZ_REQUIRE(qvdbx_parse_list_result(page.c_str(), 1) == 0);
    FUZZ_REQUIRE(g_qv.count == 2 * count);
    fuzz_check_items_document();
    FUZZ_REQUIRE(qvdbx_result_json() == doubled(first));
}

// Where an entry has an id, the locator harness agrees with the decoder's locator.
void check_locators() {
    for (int32_t i = 0; i < g_qv.count; ++i) {
        const qvdbx_entry &entry = g_qv.entries[i];
        if (qvdbx_is_empty(entry.id)) continue;
        qvdbx_heap_str locator(qvdbx_fuzz_build_locator(entry.id, entry.path_display));
        FUZZ_REQUIRE(locator && std::strcmp(locator.get(), entry.path) == 0);
    }
}

// A page that does not decode leaves a first listing empty.
void check_failed_first_page() {
    FUZZ_REQUIRE(g_qv.last_code == QVDBX_E_PROTOCOL);
    FUZZ_REQUIRE(g_qv.count == 0 && g_qv.cursor == nullptr && g_qv.has_more == 0);
    FUZZ_REQUIRE(g_qv.result_json == nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (qvdbx_fuzz_decode_list_json(data, size) == 0) {
        FUZZ_REQUIRE(g_qv.count <= g_qv.capacity);
        fuzz_check_items_document();
        check_locators();
        check_append_of_same_page(fuzz_text(data, size));
    } else {
        check_failed_first_page();
    }
    fuzz_reset();
    return 0;
}
