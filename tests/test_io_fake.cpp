// The fixture transport: loading fixture documents, matching requests by URL and body,
// and answering the library's own requests end to end.
#include "capture_io.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

// One answer of a slot, with its buffers already released through the free slot.
struct answer {
    int rc = 0;
    int status = 0;
    std::string body = "<null>";
    std::string err = "<null>";
};

class FakeTest : public ::testing::Test {
protected:
    void SetUp() override {
        reset_module_state();
        io_.ctx = &io_;  // the fake must overwrite every slot
        ASSERT_EQ(&io_, qvdbx_io_fake(&io_));
        ASSERT_TRUE(io_.ctx == nullptr && io_.get && io_.post && io_.free);
    }
    void TearDown() override { reset_module_state(); }

    // `get` true calls the get slot; otherwise post with `body` (may be NULL).
    answer call(bool get, const char *url, const char *body) {
        static char marker;  // outputs must be reset before anything is matched
        char *out_body = &marker;
        char *out_err = &marker;
        answer a;
        a.status = 77;
        a.rc = get ? io_.get(io_.ctx, url, &out_body, &a.status, &out_err)
                   : io_.post(io_.ctx, url, body, "application/json", &out_body, &a.status,
                              &out_err);
        a.body = take(out_body, &marker);
        a.err = take(out_err, &marker);
        return a;
    }
    answer post(const char *url, const char *body = "{}") { return call(false, url, body); }

    std::string take(char *buf, const char *marker) {
        if (buf == marker) {
            ADD_FAILURE() << "output never reset";
            return "<unset>";
        }
        if (buf == nullptr) return "<null>";
        std::string copy = buf;
        io_.free(io_.ctx, buf);
        return copy;
    }

    quendo_io io_{};
};

class FakeLoad : public FakeTest {};
class FakeMatch : public FakeTest {};
class FakeLibrary : public FakeTest {};

constexpr char kAnyUrl[] = "https://api.dropboxapi.com/2/files/list_folder?authorization=x";
constexpr char kNoMatch[] = "fake: no fixture matched";

TEST_F(FakeLoad, DocumentsAndElementsThatYieldNothing) {
    // Every element that qualified would answer every request, so a request that finds
    // no fixture proves the table is empty.
    const struct { const char *json; int rc; } cases[] = {
        {nullptr, -1}, {"", -1}, {"{}", -1}, {"not json", -1}, {"[", -1}, {"[] x", -1},
        {"[]", 0}, {R"([1,"s",null,true,[],{}])", 0},
        {R"([{"status":200,"body":"b"}])", 0}, {R"([{"match":"","body":"b"}])", 0},
        {R"([{"match":"","status":200}])", 0}, {R"([{"match":5,"status":200,"body":"b"}])", 0},
        {R"([{"match":"","status":200,"body":{}}])", 0},
        {R"([{"match":"","status":"200","body":"b"}])", 0},
        {R"([{"match":"","status":200.0,"body":"b"}])", 0},
        {R"([{"match":"","status":2e2,"body":"b"}])", 0},
        {R"([{"match":"","status":true,"body":"b"}])", 0},
        {R"([{"Match":"","status":200,"body":"b"}])", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.json ? c.json : "<null>");
        ASSERT_EQ(0, qvdbx_fake_load(R"([{"match":"","status":200,"body":"old"}])"));
        ASSERT_EQ("old", post(kAnyUrl).body);
        EXPECT_EQ(c.rc, qvdbx_fake_load(c.json));
        answer a = post(kAnyUrl);
        EXPECT_EQ(-1, a.rc);
        EXPECT_EQ(kNoMatch, a.err);
    }
}

TEST_F(FakeLoad, StatusKeepsTheLow32Bits) {
    const struct { const char *status; int expect; } cases[] = {
        {"200", 200}, {"0", 0}, {"-1", -1}, {"4294967496", 200}, {"-4294967096", 200},
        {"2147483648", INT_MIN}, {"18446744073709551615", -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.status);
        std::string doc = std::string(R"([{"match":"","status":)") + c.status + R"(,"body":"b"}])";
        ASSERT_EQ(0, qvdbx_fake_load(doc.c_str()));
        answer a = post(kAnyUrl);
        EXPECT_EQ(0, a.rc);
        EXPECT_EQ(c.expect, a.status);
        EXPECT_EQ("b", a.body);
        EXPECT_EQ("<null>", a.err);
    }
}

TEST_F(FakeLoad, GrowsPastSixteenKeepingOrder) {
    std::string doc = "[";
    for (int i = 0; i < 40; ++i) {
        doc += R"({"match":"/f/)" + std::to_string(i) + R"(/","status":)" +
               std::to_string(200 + i) + R"(,"body":"b)" + std::to_string(i) + "\"},";
    }
    doc += R"({"match":"/f/3/","status":500,"body":"late duplicate"}])";
    ASSERT_EQ(0, qvdbx_fake_load(doc.c_str()));
    for (int i = 0; i < 40; ++i) {
        SCOPED_TRACE(i);
        std::string url = "https://h/f/" + std::to_string(i) + "/x";
        answer a = post(url.c_str());
        EXPECT_EQ(0, a.rc);
        EXPECT_EQ(200 + i, a.status);
        EXPECT_EQ("b" + std::to_string(i), a.body);
    }
    qvdbx_fake_reset();
    EXPECT_EQ(-1, post("https://h/f/3/x").rc);
}

TEST_F(FakeMatch, FirstFixtureWhoseTextsOccurAnswers) {
    constexpr char kApi[] = R"([
        {"match":"/2/files/list_folder/continue","status":200,"body":"C"},
        {"match":"/2/files/list_folder","status":200,"body":"L"},
        {"match":"/2/files/get_metadata","body_match":"\"path\":\"/b\"","status":409,"body":"B"},
        {"match":"/2/files/get_metadata","status":200,"body":"M"},
        {"match":"/2/files/get_metadata","status":500,"body":"never"},
        {"match":"/oauth2/token","body_match":"","status":200,"body":"T"},
        {"match":"/2/users","body_match":7,"status":200,"body":"U"},
        {"match":"first","match":"second","status":200,"body":"F"}])";
    constexpr char kReversed[] = R"([
        {"match":"/2/files/list_folder","status":200,"body":"L"},
        {"match":"/2/files/list_folder/continue","status":200,"body":"C"}])";
    constexpr char kAll[] = R"([{"match":"","status":204,"body":""}])";
    const struct {
        const char *doc;
        bool get;
        const char *url, *body, *answer;  // answer nullptr: no fixture matched
        int status;
    } cases[] = {
        {kApi, false, "https://a/2/files/list_folder/continue?x", "{}", "C", 200},
        {kApi, false, "https://a/2/files/list_folder?x", "{}", "L", 200},
        {kApi, false, "https://a/2/files/get_metadata?x", R"({"path":"/b"})", "B", 409},
        {kApi, false, "https://a/2/files/get_metadata?x", R"({"path":"/a"})", "M", 200},
        {kApi, false, "https://a/2/files/get_metadata?x", nullptr, "M", 200},
        {kApi, true, "https://a/2/files/get_metadata?x", nullptr, "M", 200},
        {kApi, false, "https://a/oauth2/token", "", "T", 200},
        {kApi, false, "https://a/oauth2/token", nullptr, nullptr, 0},
        {kApi, true, "https://a/oauth2/token", nullptr, nullptr, 0},
        {kApi, true, "https://a/2/users/get_current_account", nullptr, "U", 200},
        {kApi, false, "https://a/2/FILES/list_folder", "{}", nullptr, 0},
        {kApi, false, "https://a/second", "{}", nullptr, 0},
        {kApi, false, "https://a/first", "{}", "F", 200},
        {kReversed, false, "https://a/2/files/list_folder/continue?x", "{}", "L", 200},
        {kAll, true, "x", nullptr, "", 204},
        {kAll, false, "", nullptr, "", 204},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.get ? "get " : "post ") + c.url + " " +
                     (c.body ? c.body : "<null>"));
        ASSERT_EQ(0, qvdbx_fake_load(c.doc));
        answer a = call(c.get, c.url, c.body);
        EXPECT_EQ(c.answer ? 0 : -1, a.rc);
        EXPECT_EQ(c.status, a.status);
        EXPECT_EQ(c.answer ? c.answer : "<null>", a.body);
        EXPECT_EQ(c.answer ? "<null>" : kNoMatch, a.err);
    }
}

TEST_F(FakeMatch, AnswersAreFreshCopiesAndErrorTextIsOptional) {
    ASSERT_EQ(0, qvdbx_fake_load(R"([{"match":"u","status":200,"body":"same"}])"));
    char *first = nullptr, *second = nullptr, *body = nullptr;
    int status = 77;
    ASSERT_EQ(0, io_.post(nullptr, "u", "{}", "application/json", &first, &status, nullptr));
    first[0] = 'X';  // must not reach the table
    ASSERT_EQ(0, io_.get(nullptr, "u", &second, &status, nullptr));
    EXPECT_STREQ("same", second);
    io_.free(nullptr, first);
    io_.free(nullptr, second);
    // Without an error slot a miss is still reported (and nothing is left to leak).
    EXPECT_EQ(-1, io_.post(nullptr, "v", "{}", "application/json", &body, &status, nullptr));
    EXPECT_EQ(nullptr, body);
    EXPECT_EQ(0, status);
}

TEST_F(FakeLibrary, EmptyTableFailsEveryRequest) {
    qvdbx_set_io(&io_);
    qvdbx_set_token("t");
    char buf[64] = "untouched";
    g_qv.last_http_code = 418;
    EXPECT_EQ(-QVDBX_E_TRANSPORT, qvdbx_locator("/a.mp3", buf, sizeof buf));
    EXPECT_STREQ("", buf);
    EXPECT_EQ(QVDBX_E_TRANSPORT, qvdbx_last_code());
    EXPECT_STREQ(kNoMatch, qvdbx_last_error());
    EXPECT_EQ(0, qvdbx_last_http_code());
}

TEST_F(FakeLibrary, RefreshAndRetryAnsweredByFixtures) {
    // Loaded before the transport is installed: installing leaves the table alone.
    ASSERT_EQ(0, qvdbx_fake_load(R"([
        {"match":"Bearer%20old","status":401,
         "body":"{\"error\":{\".tag\":\"expired_access_token\"}}"},
        {"match":"/oauth2/token","body_match":"refresh_token=r%2B1&client_id=k1",
         "status":200,"body":"{\"access_token\":\"new\"}"},
        {"match":"/2/files/get_temporary_link?authorization=Bearer%20new","status":4294967496,
         "body":"{\"link\":\"https://dl.example/a.mp3\"}"}])"));
    qvdbx_set_io(&io_);
    qvdbx_set_token("old");
    qvdbx_set_refresh("r+1", "k1");
    char buf[64];
    ASSERT_EQ(0, qvdbx_locator("/a.mp3", buf, sizeof buf));
    EXPECT_STREQ("https://dl.example/a.mp3", buf);
    EXPECT_EQ(200, qvdbx_last_http_code());
    EXPECT_STREQ("new", g_qv.access_token);

    // A failed load empties the table the library was using.
    EXPECT_EQ(-1, qvdbx_fake_load(nullptr));
    EXPECT_EQ(-QVDBX_E_TRANSPORT, qvdbx_locator("/a.mp3", buf, sizeof buf));
    EXPECT_STREQ(kNoMatch, qvdbx_last_error());
}

}  // namespace
