// Loads the input as a fixture document, asks the fixture transport a few requests
// directly, then runs a listing, a stat and a link request of the module on its answers.
#include "fuzz_support.h"

namespace {

const std::string ORIGIN = "https://api.dropboxapi.com";

struct probe {
    const char *path;
    const char *body;  // nullptr: asked with get
};

constexpr probe PROBES[] = {
    {"/2/files/list_folder", R"({"path":"/Music","limit":2000})"},
    {"/2/files/list_folder/continue", R"({"cursor":"ZtkX9_EHj3x7PMkVuFIhwKYXEpwpLwyxp9vM"})"},
    {"/2/files/get_temporary_link", R"({"path":"id:a4ayc_80_OEAAAAAAAAAXw"})"},
    {"/oauth2/token", "grant_type=refresh_token&refresh_token=rt&client_id=app"},
    {"/2/files/get_metadata", nullptr},
};

// A request is answered with a body and no error text, or refused with neither a body
// nor, when no fixture matched at all, a status.
void ask(const quendo_io &io, const probe &p) {
    std::string url = ORIGIN + p.path + "?authorization=Bearer%20sl.fuzz";
    char *body = nullptr;
    char *err = nullptr;
    int status = -1;
    int rc = p.body != nullptr
                 ? io.post(io.ctx, url.c_str(), p.body, "application/json", &body, &status, &err)
                 : io.get(io.ctx, url.c_str(), &body, &status, &err);
    FUZZ_REQUIRE(rc == 0 ? body != nullptr && err == nullptr : body == nullptr);
    FUZZ_REQUIRE(err == nullptr || status == 0);
    io.free(io.ctx, body);
    io.free(io.ctx, err);
}

// The module on the fixtures' answers: a whole listing (bounded, since a fixture answers
// every continuation alike), a stat and a link.
void run_module(const quendo_io &io) {
    qvdbx_set_io(&io);
    qvdbx_set_token("sl.fuzz-access-token");
    qvdbx_set_refresh("fuzz-refresh-token", "fuzz-app-key");
    if (qvdbx_list("/Music") == 0) {
        fuzz_check_items_document();
        for (int page = 0; page < 8 && qvdbx_list_next() == 1; ++page) fuzz_check_items_document();
    }
    int64_t size = 0;
    int folder = 0;
    char id[64];
    char display[64];
    qvdbx_stat("/Music/a.mp3", &size, &folder, id, sizeof id, display, sizeof display);
    char link[256];
    qvdbx_locator("id:a4ayc_80_OEAAAAAAAAAXw", link, sizeof link);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text = fuzz_text(data, size);
    qvdbx_doc_ptr doc = qvdbx_json_read(text.data(), text.size());
    int loaded = qvdbx_fake_load(text.c_str());
    FUZZ_REQUIRE((loaded == 0) == yyjson_is_arr(yyjson_doc_get_root(doc.get())));
    quendo_io io{};
    qvdbx_io_fake(&io);
    for (const probe &p : PROBES) ask(io, p);
    run_module(io);
    fuzz_reset();
    return 0;
}
