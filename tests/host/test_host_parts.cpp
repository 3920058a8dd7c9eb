// Parts of the command-line host reached through its library: the exit status of every
// module code, the error line of a failed module call, the face and command tables, the
// progress wrapper's counting, and the UTF-16 conversions of the Windows build.
#include "cli/commands.h"
#include "cli/terminal.h"
#include "faces/faces.h"
#include "host/exit_status.h"
#include "transport/progress_io.h"
#if defined(_WIN32)
#  include "host/utf16.h"
#endif

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

TEST(ExitStatus, EveryModuleCodeHasItsClass) {
    const std::pair<int, int> cases[] = {
        {QVDBX_OK, EXIT_DONE},           {QVDBX_E_AUTH, EXIT_AUTH},
        {QVDBX_E_AUTH_EXPIRED, EXIT_AUTH}, {QVDBX_E_NOT_FOUND, EXIT_NOT_FOUND},
        {QVDBX_E_RATE_LIMITED, EXIT_RATE_LIMITED}, {QVDBX_E_TRANSPORT, EXIT_OTHER},
        {QVDBX_E_BAD_REQUEST, EXIT_OTHER}, {QVDBX_E_UNSUPPORTED, EXIT_OTHER},
        {QVDBX_E_CANCELLED, EXIT_OTHER},   {QVDBX_E_PROTOCOL, EXIT_OTHER},
        {QVDBX_E_OOM, EXIT_OTHER},         {QVDBX_E_INVALID_ARG, EXIT_OTHER},
        {QVDBX_E_BAD_CONFIG, EXIT_CONFIG}, {QVDBX_E_BAD_CONFIG + 1, EXIT_OTHER},
        {-QVDBX_E_AUTH, EXIT_OTHER},       {INT_MIN, EXIT_OTHER}, {INT_MAX, EXIT_OTHER}};
    for (const auto &[code, status] : cases) EXPECT_EQ(code_exit_status(code), status) << code;
}

int recorded_code = QVDBX_OK;

// A module whose error record holds `recorded_code`, its message naming a token.
Host host_with_error_record() {
    Host h;
    h.settings.access_token = "sl.secret-token";
    h.module.qvdbx_last_code = []() noexcept { return recorded_code; };
    h.module.qvdbx_last_error = []() noexcept { return "refused sl.secret-token"; };
    h.module.qvdbx_strerror = [](int code) noexcept { return code == QVDBX_OK ? "ok" : "code name"; };
    h.module.qvdbx_retry_after_s = []() noexcept { return 7; };
    return h;
}

TEST(ModuleFailure, RecordedCodeDecidesAndTheFaceFallbackServesOnlyWithoutOne) {
    struct Case {
        int code, fallback, status;
        const char *line;
    };
    const Case cases[] = {
        {QVDBX_OK, EXIT_CONFIG, EXIT_CONFIG, "qvdbx: refused <redacted> (ok)\n"},
        {QVDBX_E_NOT_FOUND, EXIT_OTHER, EXIT_NOT_FOUND, "qvdbx: refused <redacted> (code name)\n"},
        {QVDBX_E_TRANSPORT, EXIT_AUTH, EXIT_OTHER, "qvdbx: refused <redacted> (code name)\n"},
        {QVDBX_E_RATE_LIMITED, EXIT_OTHER, EXIT_RATE_LIMITED,
         "qvdbx: refused <redacted> (code name, wait 7 s)\n"}};
    for (const Case &c : cases) {
        recorded_code = c.code;
        Host h = host_with_error_record();
        testing::internal::CaptureStderr();
        EXPECT_EQ(module_failure(h, c.fallback), c.status) << c.code;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.line);
    }
}

TEST(Tables, FacesAndCommandsAreFoundByTheirExactName) {
    for (const char *name : {"handler", "backend", "flat"}) {
        const Face *face = find_face(name);
        ASSERT_NE(face, nullptr) << name;
        EXPECT_STREQ(face->name, name);
    }
    for (const char *name : {"ls", "stat", "link", "validate", "playlist", "auth"}) {
        const Command *command = find_command(name);
        ASSERT_NE(command, nullptr) << name;
        EXPECT_STREQ(command->name, name);
        EXPECT_EQ(command->own_settings, std::strcmp(name, "auth") == 0) << name;
    }
    for (const char *name : {"", "Handler", "flat ", "gui"}) EXPECT_EQ(find_face(name), nullptr) << name;
    for (const char *name : {"", "LS", "list", "auth2"}) EXPECT_EQ(find_command(name), nullptr) << name;
}

// A transport that answers every post with `answer` and `status`, and counts releases.
struct CannedTransport {
    std::string answer;
    int answer_status = 200;
    int released = 0;

    quendo_io io() {
        quendo_io io{};
        io.ctx = this;
        io.post = [](void *ctx, const char *, const char *, const char *, char **body, int *status,
                     char **err) {
            auto &t = *static_cast<CannedTransport *>(ctx);
            *body = static_cast<char *>(std::malloc(t.answer.size() + 1));
            std::memcpy(*body, t.answer.c_str(), t.answer.size() + 1);
            *status = t.answer_status;
            *err = nullptr;
            return 0;
        };
        io.free = [](void *ctx, void *ptr) {
            ++static_cast<CannedTransport *>(ctx)->released;
            std::free(ptr);
        };
        return io;
    }
};

TEST(ProgressWrapper, CountsSuccessfulListPagesAndTheirLiveEntries) {
    const char *page = R"({"entries":[{".tag":"file"},{".tag":"deleted"},{".tag":"folder"}],"has_more":true})";
    struct Case {
        const char *url;
        int status, pages;
        long entries;
    };
    const Case cases[] = {{"https://a/2/files/list_folder", 200, 1, 2},
                          {"https://a/2/files/list_folder/continue", 200, 1, 2},
                          {"https://a/2/files/list_folder", 429, 0, 0},
                          {"https://a/2/files/get_metadata", 200, 0, 0}};
    for (const Case &c : cases) {
        CannedTransport transport{page, c.status};
        quendo_io real = transport.io();
        Progress progress;
        progress.enabled = true;
        progress.label = "/Music";
        quendo_io wrapper{};
        progress_wrap(real, progress, wrapper);
        EXPECT_EQ(wrapper.get, nullptr) << "no get slot where the transport has none";

        char *body = nullptr, *err = nullptr;
        int status = 0;
        testing::internal::CaptureStderr();
        EXPECT_EQ(wrapper.post(wrapper.ctx, c.url, "{}", "application/json", &body, &status, &err), 0);
        progress_show(progress, true);
        std::string shown = testing::internal::GetCapturedStderr();
        EXPECT_STREQ(body, page);
        EXPECT_EQ(status, c.status);
        wrapper.free(wrapper.ctx, body);
        EXPECT_EQ(transport.released, 1) << "the answer goes back to the real transport";
        EXPECT_EQ(progress.pages, c.pages) << c.url;
        EXPECT_EQ(progress.entries, c.entries) << c.url;
        EXPECT_EQ(shown.find("listing /Music: 1 page, 2 entries") != std::string::npos, c.pages == 1) << shown;
    }
}

#if defined(_WIN32)
TEST(Utf16, ConvertsBothWaysWholeTextsIncludingSurrogatePairsAndNul) {
    const std::pair<std::string, std::wstring> cases[] = {
        {"", L""},
        {"settings.json", L"settings.json"},
        {"Sigur R\xc3\xb3s", L"Sigur R\u00f3s"},
        {"\xe6\x97\xa5\xe6\x9c\xac", L"\u65e5\u672c"},
        {"\xf0\x9f\x8e\xb5.flac", L"\xd83c\xdfb5.flac"},
        {std::string("a\0b", 3), std::wstring(L"a\0b", 3)}};
    for (const auto &[utf8, utf16] : cases) {
        EXPECT_EQ(utf16_of(utf8), utf16) << utf8;
        EXPECT_EQ(utf8_of(utf16), utf8) << utf8;
    }
    EXPECT_EQ(utf16_of("a\xff" "b"), L"a\ufffd" L"b");
}
#endif

} // namespace
