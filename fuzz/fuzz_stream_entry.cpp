// Drives the handler's stream_url entry point with the input as its entry document. The
// first byte picks how the fixture transport answers the link request and how large the
// output buffer is; the rest is the entry document.
#include "fuzz_support.h"

#include <iterator>
#include <vector>

namespace {

constexpr char SETTINGS[] = R"({"access_token":"sl.fuzz-access-token"})";
constexpr char LINK[] = "https://uc1a2b3c.dl.dropboxusercontent.com/cd/0/get/CFzE/file";

// How "/2/files/get_temporary_link" is answered; the last answers nothing at all.
std::vector<std::string> link_answers() {
    const std::string too_long(5000, 'a');
    return {
        R"([{"match":"/2/files/get_temporary_link","status":200,"body":"{\"metadata\":)"
        R"({\"name\":\"a.mp3\",\"id\":\"id:a4ayc_80_OEAAAAAAAAAXw\",\"size\":4096},)"
        R"(\"link\":\")" + std::string(LINK) + R"(\"}"}])",
        R"([{"match":"/2/files/get_temporary_link","status":409,"body":)"
        R"("{\"error_summary\":\"path/not_found/..\",\"error\":{\".tag\":\"path\"}}"}])",
        R"([{"match":"/2/files/get_temporary_link","status":401,)"
        R"("body":"{\"error_summary\":\"expired_access_token/\"}"}])",
        R"([{"match":"/2/files/get_temporary_link","status":200,"body":"{\"link\":7}"}])",
        R"([{"match":"/2/files/get_temporary_link","status":200,"body":"{\"link\":\")" +
            too_long + R"(\"}"}])",
        "[]",
    };
}

constexpr int32_t OUT_SIZES[] = {4096, 96, 19, 18, 1, 0};
constexpr char UNTOUCHED = '\x7f';

bool is_status(int32_t status) {
    for (int32_t known : {QVRCH_OK, QVRCH_E_AUTH, QVRCH_E_NOT_FOUND, QVRCH_E_RATE_LIMITED,
                          QVRCH_E_IO, QVRCH_E_FAILED, QVRCH_E_UNSUPPORTED, QVRCH_E_INVALID,
                          QVRCH_E_TOO_SMALL}) {
        if (status == known) return true;
    }
    return false;
}

// The "size" the answer must carry: the entry's integer size when it is 0 or more.
int64_t expected_size(const std::string &entry_json) {
    qvdbx_doc_ptr doc = qvdbx_json_read(entry_json.data(), entry_json.size());
    yyjson_val *size = yyjson_obj_get(yyjson_doc_get_root(doc.get()), "size");
    return yyjson_is_int(size) ? yyjson_get_sint(size) : -1;
}

void check_success(const char *out, int64_t size) {
    qvdbx_doc_ptr doc = qvdbx_json_read(out, std::strlen(out));
    yyjson_val *root = yyjson_doc_get_root(doc.get());
    FUZZ_REQUIRE(fuzz_str_is(yyjson_obj_get(root, "url"), LINK));
    yyjson_val *written = yyjson_obj_get(root, "size");
    FUZZ_REQUIRE(size >= 0 ? yyjson_get_sint(written) == size : written == nullptr);
}

// A failure writes a one-member error document when it fits, and nothing otherwise.
void check_failure(const std::vector<char> &out) {
    if (out[0] == UNTOUCHED) return;
    const char *text = out.data();
    FUZZ_REQUIRE(std::strlen(text) < out.size());
    qvdbx_doc_ptr doc = qvdbx_json_read(text, std::strlen(text));
    yyjson_val *root = yyjson_doc_get_root(doc.get());
    FUZZ_REQUIRE(yyjson_obj_size(root) == 1 && yyjson_is_str(yyjson_obj_get(root, "error")));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    static const std::vector<std::string> answers = link_answers();
    const std::string &fixtures = answers[data[0] % answers.size()];
    int32_t out_len = OUT_SIZES[(data[0] / answers.size()) % std::size(OUT_SIZES)];
    std::string entry = fuzz_text(data + 1, size - 1);

    FUZZ_REQUIRE(qvdbx_fake_load(fixtures.c_str()) == 0);
    quendo_io io{};
    // A buffer one byte longer than announced, so a write past out_len shows up.
    std::vector<char> out(static_cast<size_t>(out_len) + 1, UNTOUCHED);
    int32_t status = qvrch_get()->stream_url(qvdbx_io_fake(&io), SETTINGS, entry.c_str(),
                                             out_len > 0 ? out.data() : nullptr, out_len);
    FUZZ_REQUIRE(is_status(status));
    FUZZ_REQUIRE(out[static_cast<size_t>(out_len)] == UNTOUCHED);
    if (status == QVRCH_OK) {
        check_success(out.data(), expected_size(entry));
    } else if (out_len > 0) {
        FUZZ_REQUIRE(status != QVRCH_E_TOO_SMALL || out[0] == UNTOUCHED);
        out.pop_back();
        check_failure(out);
    }
    fuzz_reset();
    return 0;
}
