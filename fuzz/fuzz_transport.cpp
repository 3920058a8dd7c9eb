// A host transport whose answers come from the input, one per line: "<status> <body>",
// "<status>" alone for an answer without a body, or "!<text>" for a failure below HTTP.
// The module lists a folder to its end (refreshing the token when asked to), then stats a
// file and fetches a link, until the answers run out. The transport checks what the
// module sends and that it releases every buffer exactly once; the driver checks the
// table and the items document after every call.
#include "fuzz_support.h"

#include <cctype>
#include <deque>
#include <set>

namespace {

const std::string ORIGIN = "https://api.dropboxapi.com";
const std::string TOKEN_URL = ORIGIN + "/oauth2/token";

struct answer {
    int rc = 0;
    int status = 0;
    bool has_body = false;
    std::string text;  // the body, or the error text of a failure
};

answer parse_answer(const std::string &line) {
    answer a;
    if (!line.empty() && line[0] == '!') {
        a.rc = 1;
        a.text = line.substr(1);
        return a;
    }
    size_t i = line.empty() || line[0] != '-' ? 0 : 1;
    size_t digits_end = i;
    while (digits_end < line.size() && digits_end - i < 9 &&
           std::isdigit(static_cast<unsigned char>(line[digits_end])) != 0) {
        ++digits_end;
    }
    a.status = digits_end > i ? std::stoi(line.substr(0, digits_end)) : 0;
    a.has_body = digits_end < line.size();
    if (a.has_body) a.text = line.substr(digits_end + (line[digits_end] == ' ' ? 1 : 0));
    return a;
}

struct scripted_transport {
    std::deque<answer> answers;
    std::set<void *> live;
    int api_posts = 0;
    int token_posts = 0;
    std::string last_api_path;
    std::string last_api_body;
    bool after_token = false;

    char *hand_out(const std::string &text) {
        char *buf = static_cast<char *>(std::malloc(text.size() + 1));
        std::memcpy(buf, text.c_str(), text.size() + 1);
        live.insert(buf);
        return buf;
    }

    // What the module sends: a JSON post to an API path with the bearer token in the URL,
    // or the refresh form; the request after a refresh repeats the one before it.
    void check_request(const std::string &url, const char *body, const char *content_type) {
        FUZZ_REQUIRE(url.compare(0, ORIGIN.size(), ORIGIN) == 0);
        if (url == TOKEN_URL) {
            FUZZ_REQUIRE(std::strcmp(content_type, "application/x-www-form-urlencoded") == 0);
            FUZZ_REQUIRE(std::strncmp(body, "grant_type=refresh_token&", 25) == 0);
            FUZZ_REQUIRE(api_posts > 0 && !after_token);
            ++token_posts;
            after_token = true;
            return;
        }
        FUZZ_REQUIRE(std::strcmp(content_type, "application/json") == 0);
        FUZZ_REQUIRE(url.find("?authorization=Bearer%20") != std::string::npos);
        std::string path = url.substr(0, url.find('?'));
        if (after_token) FUZZ_REQUIRE(path == last_api_path && body == last_api_body);
        after_token = false;
        ++api_posts;
        last_api_path = path;
        last_api_body = body;
    }

    static int post(void *ctx, const char *url, const char *body, const char *content_type,
                    char **out_body, int *out_status, char **out_err) {
        auto *self = static_cast<scripted_transport *>(ctx);
        FUZZ_REQUIRE(url != nullptr && body != nullptr && content_type != nullptr);
        FUZZ_REQUIRE(*out_body == nullptr && *out_status == 0 && *out_err == nullptr);
        self->check_request(url, body, content_type);
        if (self->answers.empty()) {
            *out_err = self->hand_out("fuzz: no more answers");
            return 1;
        }
        answer a = self->answers.front();
        self->answers.pop_front();
        *out_status = a.status;
        if (a.rc != 0) {
            *out_err = self->hand_out(a.text);
        } else if (a.has_body) {
            *out_body = self->hand_out(a.text);
        }
        return a.rc;
    }

    static void release(void *ctx, void *ptr) {
        auto *self = static_cast<scripted_transport *>(ctx);
        FUZZ_REQUIRE(self->live.erase(ptr) == 1);
        std::free(ptr);
    }
};

// The listing as it stood before a call, to compare with what a failed call leaves.
struct listing {
    int32_t count;
    int32_t has_more;
    std::string cursor;
    std::string document;
    const char *first_name;

    static listing now() {
        return {g_qv.count, g_qv.has_more, g_qv.cursor != nullptr ? g_qv.cursor : "<none>",
                qvdbx_result_json(), g_qv.count > 0 ? g_qv.entries[0].name : nullptr};
    }
    bool operator==(const listing &o) const {
        return count == o.count && has_more == o.has_more && cursor == o.cursor &&
               document == o.document && first_name == o.first_name;
    }
};

// Runs one flat call: it sends one request, at most one refresh and one repeat, and
// releases every buffer it was handed.
template <typename Call>
int run_call(scripted_transport &t, Call call) {
    int api = t.api_posts;
    int token = t.token_posts;
    t.after_token = false;
    int rc = call();
    FUZZ_REQUIRE(t.api_posts - api <= 2 && t.token_posts - token <= 1);
    FUZZ_REQUIRE(t.live.empty());
    return rc;
}

void list_to_the_end(scripted_transport &t) {
    if (run_call(t, [] { return qvdbx_list("/Music"); }) != 0) return;
    fuzz_check_items_document();
    for (;;) {
        listing before = listing::now();
        int next = run_call(t, [] { return qvdbx_list_next(); });
        if (next < 0) {
            FUZZ_REQUIRE(listing::now() == before);
            return;
        }
        FUZZ_REQUIRE(g_qv.count >= before.count);
        if (before.count > 0) FUZZ_REQUIRE(g_qv.entries[0].name == before.first_name);
        fuzz_check_items_document();
        if (next == 0) return;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    scripted_transport t;
    std::string input(reinterpret_cast<const char *>(data), size);
    for (size_t start = 0; start <= input.size();) {
        size_t end = std::min(input.find('\n', start), input.size());
        t.answers.push_back(parse_answer(input.substr(start, end - start)));
        start = end + 1;
    }
    quendo_io io{&t, nullptr, &scripted_transport::post, &scripted_transport::release};
    qvdbx_set_io(&io);
    qvdbx_set_token("sl.fuzz-old-access-token");
    qvdbx_set_refresh("fuzz-refresh-token", "fuzz-app-key");

    list_to_the_end(t);
    int64_t file_size = 0;
    int folder = 0;
    char id[64];
    char display[64];
    run_call(t, [&] {
        return qvdbx_stat("/Music/a.mp3", &file_size, &folder, id, sizeof id, display,
                          sizeof display);
    });
    char link[256];
    run_call(t, [&] { return qvdbx_locator("id:a4ayc_80_OEAAAAAAAAAXw", link, sizeof link); });
    fuzz_reset();
    return 0;
}
