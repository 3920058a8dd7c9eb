// Decoding: metadata objects into entries, list pages into the entry table with their
// cursor and more-pages flag, and the items document as pages are appended.
#include "capture_io.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr char kRealId[] = "id:a4ayc_80_OEAAAAAAAAAXw";
constexpr char kEmptyItems[] = R"({"items":[]})";

std::string text(const char *s) { return s != nullptr ? s : "<null>"; }

int decode(const std::string &page) {
    return qvdbx_fuzz_decode_list_json(reinterpret_cast<const uint8_t *>(page.data()),
                                       page.size());
}

int append(const std::string &page) { return qvdbx_parse_list_result(page.c_str(), 1); }

std::string page_of(const std::vector<std::string> &entries, const std::string &tail = "") {
    std::string body = R"({"entries":[)";
    for (size_t i = 0; i < entries.size(); ++i) body += (i > 0 ? "," : "") + entries[i];
    return body + "]" + tail + "}";
}

// A file as Dropbox lists it; `n` makes its name, id and paths unique.
std::string file_meta(int n) {
    std::string name = "track" + std::to_string(n) + ".mp3";
    return R"({".tag":"file","name":")" + name + R"(","path_lower":"/music/)" + name +
           R"(","path_display":"/Music/)" + name + R"(","id":"id:a4ayc_80_OEAAAAAAAA)" +
           std::to_string(n) + R"(","server_modified":"2023-03-14T09:27:01Z",)" +
           R"("rev":"5f6b2a7c1d0e40000000248a3c1e0","size":)" + std::to_string(1000 + n) +
           R"(,"content_hash":"9b1f0c4e2d3a5b6c7d8e9f00112233445566778899aabbccddeeff00"})";
}

// Entries whose texts need every kind of escaping in the items document.
const std::string kQuotes =
    R"({".tag":"file","name":"say \"hi\" \\ back","path_display":"\/Live\/say \"hi\".mp3",)"
    R"("id":"q1","size":1})";
const std::string kControls =
    R"({"name":"tab\there\nnext\u0001\r","path_lower":"/ctl/x","size":2})";
const std::string kUnicode =
    R"({".tag":"folder","name":"Caf\u00e9 \ud83c\udfb5 \u65e5\u672c",)"
    R"("path_display":"/Caf\u00e9","id":"id:a4ayc_80_OEAAAAAAAAAYc"})";
const std::string kRawUtf8 = "{\"name\":\"Bj\xc3\xb6rk \xe2\x80\x94 J\xc3\xb3ga\","
                             "\"path_lower\":\"/bj\xc3\xb6rk\",\"size\":3}";

class DecodeTest : public ::testing::Test {
protected:
    void SetUp() override { reset_module_state(); }
    void TearDown() override { reset_module_state(); }

    // A listing that the decode under test must replace or keep.
    void hold_previous_listing() {
        ASSERT_EQ(0, decode(page_of({file_meta(1), file_meta(2)},
                                    R"(,"cursor":"old","has_more":true)")));
    }
};

class DecodeMetadata : public DecodeTest {};
class DecodePaths : public DecodeTest {};
class DecodePage : public DecodeTest {};
class DecodeAppend : public DecodeTest {};
class DecodeHarness : public DecodeTest {};

// MARK: - Metadata objects

struct meta_case {
    const char *label;
    const char *meta;
    const char *name;
    const char *path;
    const char *id;            // nullptr: none
    const char *path_display;  // nullptr: none
    int is_folder;
    int64_t size;
};

const meta_case kMetaCases[] = {
    {"real id is the locator unchanged",
     R"({".tag":"file","name":"a.mp3","id":"id:a4ayc_80_OEAAAAAAAAAXw","path_lower":"/m/a.mp3",)"
     R"("path_display":"/M/a.mp3","size":7212})",
     "a.mp3", kRealId, kRealId, "/M/a.mp3", 0, 7212},
    {"bare id gets the prefix", R"({"id":"x1","path_lower":"/a/b"})", "Dropbox", "id:x1", "x1",
     nullptr, 0, -1},
    {"empty id", R"({"id":"","path_lower":"/a/b"})", "Dropbox", "id:", "", nullptr, 0, -1},
    {"prefix is case-sensitive", R"({"id":"ID:x1"})", "Dropbox", "id:ID:x1", "ID:x1", nullptr, 0,
     -1},
    {"id not a string", R"({"id":7,"path_lower":"/a/b","path_display":"/A/B"})", "B", "/a/b",
     nullptr, "/A/B", 0, -1},
    {"first id wins", R"({"id":7,"id":"x1","path_lower":"/a/b"})", "Dropbox", "/a/b", nullptr,
     nullptr, 0, -1},
    {"display path as locator", R"({"path_lower":5,"path_display":"/A/b.mp3"})", "b.mp3",
     "/A/b.mp3", nullptr, "/A/b.mp3", 0, -1},
    {"empty object", "{}", "Dropbox", "", nullptr, nullptr, 0, -1},
    {"empty name is kept", R"({"name":"","path_display":"/A/b.mp3"})", "", "/A/b.mp3", nullptr,
     "/A/b.mp3", 0, -1},
    {"first name wins", R"({"name":5,"name":"x","path_display":"/d/e"})", "e", "/d/e", nullptr,
     "/d/e", 0, -1},
    {"trailing slash names nothing", R"({"path_display":"/Music/"})", "", "/Music/", nullptr,
     "/Music/", 0, -1},
    {"folder ignores size", R"({".tag":"folder","name":"M","size":10})", "M", "", nullptr, nullptr,
     1, -1},
    {"first tag wins", R"({".tag":"folder",".tag":"deleted","name":"M"})", "M", "", nullptr,
     nullptr, 1, -1},
    {"tag Folder is a file", R"({".tag":"Folder","size":3})", "Dropbox", "", nullptr, nullptr, 0,
     3},
    {"tag folders is a file", R"({".tag":"folders","size":3})", "Dropbox", "", nullptr, nullptr, 0,
     3},
    {"numeric tag is a file", R"({".tag":5})", "Dropbox", "", nullptr, nullptr, 0, -1},
    {"size zero", R"({"size":0})", "Dropbox", "", nullptr, nullptr, 0, 0},
    {"real size", R"({"size":12.0})", "Dropbox", "", nullptr, nullptr, 0, -1},
    {"exponent size", R"({"size":1e3})", "Dropbox", "", nullptr, nullptr, 0, -1},
    {"string size", R"({"size":"12"})", "Dropbox", "", nullptr, nullptr, 0, -1},
    {"negative size kept", R"({"size":-5})", "Dropbox", "", nullptr, nullptr, 0, -5},
    {"size above int64", R"({"size":9223372036854775808})", "Dropbox", "", nullptr, nullptr, 0,
     INT64_MIN},
    {"first size wins", R"({"size":"1","size":2})", "Dropbox", "", nullptr, nullptr, 0, -1},
};

TEST_F(DecodeMetadata, FieldsAndFallbacks) {
    for (const meta_case &c : kMetaCases) {
        SCOPED_TRACE(c.label);
        ASSERT_EQ(0, decode(page_of({c.meta})));
        ASSERT_EQ(1, qvdbx_count());
        const qvdbx_entry &e = g_qv.entries[0];
        EXPECT_EQ(c.name, text(e.name));
        EXPECT_EQ(c.path, text(e.path));
        EXPECT_EQ(text(c.id), text(e.id));
        EXPECT_EQ(text(c.path_display), text(e.path_display));
        EXPECT_EQ(c.is_folder, e.is_folder);
        EXPECT_EQ(c.size, e.size);
    }
}

TEST_F(DecodeMetadata, DeletedEntriesNeverEnterTheTable) {
    const char *deleted[] = {
        R"({".tag":"deleted","name":"gone.mp3","path_lower":"/gone.mp3","id":"x9"})",
        R"({".tag":"deleted",".tag":"file","name":"gone.mp3"})",
    };
    for (const char *meta : deleted) {
        SCOPED_TRACE(meta);
        ASSERT_EQ(0, decode(page_of({file_meta(1), meta, file_meta(2)})));
        ASSERT_EQ(2, qvdbx_count());
        EXPECT_STREQ("track1.mp3", qvdbx_name(0));
        EXPECT_STREQ("track2.mp3", qvdbx_name(1));
    }
    ASSERT_EQ(0, decode(page_of({R"({".tag":"Deleted","name":"kept.mp3"})"})));
    EXPECT_STREQ("kept.mp3", qvdbx_name(0));
}

TEST_F(DecodeMetadata, SingleObjectDecodeFailures) {
    struct failure {
        const char *json;
        int rc;
        int code;
        const char *message;
    } cases[] = {
        {nullptr, -1, 5, "before"},
        {"", -1, 9, "metadata not an object"},
        {"[]", -1, 9, "metadata not an object"},
        {"{", -1, 9, "metadata not an object"},
        {"{} {}", -1, 9, "metadata not an object"},
        {R"({".tag":"deleted","name":"a","path_lower":"/a"})", -1, 9, "bad metadata"},
        {R"({".tag":"file","name":"a"})", 0, 5, "before"},
    };
    for (const failure &c : cases) {
        SCOPED_TRACE(text(c.json));
        qvdbx_set_err(5, "before");
        qvdbx_entry entry{};
        EXPECT_EQ(c.rc, qvdbx_parse_metadata(c.json, &entry));
        EXPECT_EQ(c.code, qvdbx_last_code());
        EXPECT_STREQ(c.message, qvdbx_last_error());
        if (c.rc != 0) {
            EXPECT_TRUE(!entry.name && !entry.path && !entry.id && !entry.path_display);
        }
        qvdbx_entry_release(&entry);
    }
}

// MARK: - Paths and locators

TEST_F(DecodePaths, NormalizedPathAndDisplayName) {
    struct path_case {
        const char *input;
        const char *normalized;
        const char *segment;
    } cases[] = {
        {nullptr, "", "Dropbox"},       {"", "", "Dropbox"},
        {"/", "", "Dropbox"},           {"//", "//", "Dropbox"},
        {"Music", "/Music", "Music"},   {"/Music/", "/Music/", ""},
        {"/Music/a.mp3", "/Music/a.mp3", "a.mp3"},
        {"id:abc", "id:abc", "id:abc"}, {"ID:abc", "/ID:abc", "ID:abc"},
        {"id", "/id", "id"},            {"///x", "///x", "x"},
    };
    for (const path_case &c : cases) {
        SCOPED_TRACE(text(c.input));
        std::unique_ptr<char, qvdbx_free_deleter> normalized(qvdbx_normalize_api_path(c.input));
        std::unique_ptr<char, qvdbx_free_deleter> segment(qvdbx_last_segment(c.input));
        EXPECT_EQ(c.normalized, text(normalized.get()));
        EXPECT_EQ(c.segment, text(segment.get()));
    }
}

TEST_F(DecodePaths, BuildLocator) {
    struct locator_case {
        const char *id;
        const char *path;
        const char *locator;
    } cases[] = {
        {"x1", "/a", "id:x1"},  {kRealId, "/a", kRealId},   {"id:", nullptr, "id:"},
        {"ID:x1", nullptr, "id:ID:x1"}, {"", "/a", "/a"},   {nullptr, "rel", "rel"},
        {"", "", ""},           {nullptr, nullptr, ""},
    };
    for (const locator_case &c : cases) {
        SCOPED_TRACE(text(c.id) + " " + text(c.path));
        std::unique_ptr<char, qvdbx_free_deleter> locator(qvdbx_fuzz_build_locator(c.id, c.path));
        EXPECT_EQ(c.locator, text(locator.get()));
    }
}

// MARK: - One page

TEST_F(DecodePage, FirstPageReplacesTheListing) {
    struct page_case {
        const char *body;
        int count;
        int has_more;
        const char *cursor;  // nullptr: none
    } cases[] = {
        {R"({"entries":[]})", 0, 0, nullptr},
        {R"({"entries":[],"has_more":true,"cursor":"c1"})", 0, 1, "c1"},
        {R"({"entries":[],"has_more":1,"cursor":""})", 0, 0, ""},
        {R"({"entries":[],"has_more":"true"})", 0, 0, nullptr},
        {R"({"entries":[],"has_more":false,"has_more":true})", 0, 0, nullptr},
        {R"({"entries":[],"has_more":true,"has_more":false})", 0, 1, nullptr},
        {R"({"entries":[],"cursor":7,"cursor":"c2"})", 0, 0, nullptr},
        {R"({"entries":[7,"file",null,[],{}]})", 1, 0, nullptr},
        {R"({"entries":[{}],"entries":{}})", 1, 0, nullptr},
    };
    for (const page_case &c : cases) {
        SCOPED_TRACE(c.body);
        hold_previous_listing();
        ASSERT_EQ(0, decode(c.body));
        EXPECT_EQ(c.count, qvdbx_count());
        EXPECT_EQ(c.has_more, g_qv.has_more);
        EXPECT_EQ(text(c.cursor), text(g_qv.cursor));
        if (c.count == 0) {
            EXPECT_STREQ(kEmptyItems, qvdbx_result_json());
        }
    }
}

TEST_F(DecodePage, UndecodableFirstPageLeavesNothing) {
    struct failure {
        const char *body;  // nullptr: no body at all
        const char *message;
    } cases[] = {
        {nullptr, "empty list body"},
        {"", "list result not an object"},
        {"[]", "list result not an object"},
        {"{", "list result not an object"},
        {"null", "list result not an object"},
        {R"({"entries":[]} {})", "list result not an object"},
        {"{}", "list result missing entries[]"},
        {R"({"entries":{}})", "list result missing entries[]"},
        {R"({"Entries":[]})", "list result missing entries[]"},
        {R"({"entries":null,"entries":[]})", "list result missing entries[]"},
    };
    for (const failure &c : cases) {
        SCOPED_TRACE(text(c.body));
        hold_previous_listing();
        EXPECT_EQ(-1, qvdbx_parse_list_result(c.body, 0));
        EXPECT_EQ(QVDBX_E_PROTOCOL, qvdbx_last_code());
        EXPECT_STREQ(c.message, qvdbx_last_error());
        EXPECT_EQ(0, qvdbx_count());
        EXPECT_EQ(0, g_qv.has_more);
        EXPECT_EQ(nullptr, g_qv.cursor);
        EXPECT_EQ(nullptr, g_qv.result_json);
        EXPECT_STREQ(kEmptyItems, qvdbx_result_json());
    }
}

TEST_F(DecodePage, ItemsDocumentIsExact) {
    std::string escapes =
        R"({".tag":"file","name":"q\"b\\s\u0001\n\t\/\u00e9\ud83c\udfb5",)"
        R"("path_display":"\/Caf\u00e9\/x"})";
    ASSERT_EQ(0, decode(page_of({
        R"({".tag":"folder","name":"Music","id":"a1","path_lower":"/music",)"
        R"("path_display":"/Music"})",
        R"({".tag":"deleted","name":"old.mp3","path_lower":"/old.mp3"})",
        R"({".tag":"file","name":"b.mp3","path_lower":"/music/b.mp3",)"
        R"("path_display":"/Music/b.mp3","size":4096})",
        R"({".tag":"file","name":"neg","id":"id:a4ayc_80_OEAAAAAAAAAXw","size":-5})",
        escapes,
    }, R"(,"cursor":"c1","has_more":true)")));
    EXPECT_EQ(-5, qvdbx_size(2));
    std::string expected =
        R"({"items":[{"name":"Music","path":"id:a1","folder":true,"size":-1,"id":"a1",)"
        R"("path_display":"/Music"},)"
        R"({"name":"b.mp3","path":"/music/b.mp3","folder":false,"size":4096,)"
        R"("path_display":"/Music/b.mp3"},)"
        R"({"name":"neg","path":"id:a4ayc_80_OEAAAAAAAAAXw","folder":false,"size":-1,)"
        R"("id":"id:a4ayc_80_OEAAAAAAAAAXw"},)"
        R"({"name":"q\"b\\s\u0001\n\t/)" "\xc3\xa9\xf0\x9f\x8e\xb5"
        R"(","path":"/Caf)" "\xc3\xa9" R"(/x","folder":false,"size":-1,"path_display":"/Caf)"
        "\xc3\xa9" R"(/x"}]})";
    EXPECT_EQ(expected, qvdbx_result_json());
}

// MARK: - Pages appended

// One page of a sequence: its entries, or a body that must not decode.
struct step {
    std::vector<std::string> entries;
    const char *broken = nullptr;
};

struct sequence_case {
    const char *label;
    std::vector<step> steps;
};

step broken(const char *body) { return step{{}, body}; }

// What a failed decode must leave exactly as it was.
struct snapshot {
    const char *document;
    std::string contents;
    int count;
    int has_more;
    std::string cursor;

    static snapshot take() {
        return {qvdbx_result_json(), qvdbx_result_json(), qvdbx_count(), g_qv.has_more,
                text(g_qv.cursor)};
    }
    void expect_same() const {
        EXPECT_EQ(document, qvdbx_result_json());
        EXPECT_EQ(contents, qvdbx_result_json());
        EXPECT_EQ(count, qvdbx_count());
        EXPECT_EQ(has_more, g_qv.has_more);
        EXPECT_EQ(cursor, text(g_qv.cursor));
    }
};

const sequence_case kSequences[] = {
    {"three then two",
     {{{file_meta(1), file_meta(2), file_meta(3)}}, {{file_meta(4), file_meta(5)}}}},
    {"empty pages around entries",
     {{{}}, {{file_meta(1), file_meta(2)}}, {{}}, {{file_meta(3)}}, {{}}}},
    {"failed pages between",
     {{{file_meta(1)}},
      broken("not json"),
      {{}},
      broken(R"({"entries":{}})"),
      {{file_meta(2), file_meta(3)}},
      broken("[]"),
      {{file_meta(4)}}}},
    {"failed first page", {broken("{"), {{file_meta(1)}}, {{file_meta(2)}}}},
    {"escaping", {{{kQuotes}}, {{kControls, kUnicode}}, {{kRawUtf8}}}},
    {"skipped elements",
     {{{file_meta(1), R"({".tag":"deleted","name":"x"})", "7"}}, {{"null", file_meta(2)}}}},
};

TEST_F(DecodeAppend, DocumentEqualsTheWholeTableWrittenAtOnce) {
    for (const sequence_case &c : kSequences) {
        SCOPED_TRACE(c.label);
        reset_module_state();
        std::vector<std::string> all;
        for (size_t i = 0; i < c.steps.size(); ++i) {
            SCOPED_TRACE("page " + std::to_string(i));
            const step &s = c.steps[i];
            if (s.broken != nullptr) {
                snapshot before = snapshot::take();
                EXPECT_EQ(-1, i == 0 ? decode(s.broken) : append(s.broken));
                EXPECT_EQ(QVDBX_E_PROTOCOL, qvdbx_last_code());
                if (i > 0) before.expect_same();
                continue;
            }
            std::string cursor = "c" + std::to_string(i);
            std::string page =
                page_of(s.entries, R"(,"cursor":")" + cursor + R"(","has_more":true)");
            ASSERT_EQ(0, i == 0 ? decode(page) : append(page));
            EXPECT_EQ(cursor, text(g_qv.cursor));
            all.insert(all.end(), s.entries.begin(), s.entries.end());
        }
        std::string extended = qvdbx_result_json();
        int count = qvdbx_count();
        ASSERT_EQ(0, decode(page_of(all)));
        EXPECT_EQ(qvdbx_count(), count);
        EXPECT_EQ(qvdbx_result_json(), extended);
    }
}

TEST_F(DecodeAppend, FurtherPageReplacesCursorAndFlag) {
    ASSERT_EQ(0, decode(page_of({file_meta(1)}, R"(,"cursor":"c1","has_more":true)")));
    ASSERT_EQ(0, append(page_of({file_meta(2)})));
    EXPECT_EQ(nullptr, g_qv.cursor);
    EXPECT_EQ(0, g_qv.has_more);
    ASSERT_EQ(0, append(page_of({}, R"(,"cursor":"c3","has_more":true)")));
    EXPECT_STREQ("c3", g_qv.cursor);
    EXPECT_EQ(1, g_qv.has_more);
    EXPECT_EQ(2, qvdbx_count());
}

TEST_F(DecodeAppend, GrowthKeepsEntryStringsInPlace) {
    auto page_from = [](int first, int count) {
        std::vector<std::string> entries;
        for (int n = first; n < first + count; ++n) entries.push_back(file_meta(n));
        return page_of(entries, R"(,"cursor":"c","has_more":true)");
    };
    ASSERT_EQ(0, decode(page_from(0, 1)));
    const char *name0 = qvdbx_name(0);
    const char *id0 = qvdbx_id(0);
    const char *display0 = qvdbx_path_display(0);
    struct growth {
        int entries;
        int count;
        int capacity;
    } pages[] = {{63, 64, 64}, {1, 65, 128}, {63, 128, 128}, {1, 129, 256}, {40, 169, 256}};
    const char *name64 = nullptr;
    for (const growth &g : pages) {
        SCOPED_TRACE(g.count);
        ASSERT_EQ(0, append(page_from(qvdbx_count(), g.entries)));
        EXPECT_EQ(g.count, qvdbx_count());
        EXPECT_EQ(g.capacity, g_qv.capacity);
        if (name64 == nullptr && g.count > 64) name64 = qvdbx_name(64);
        EXPECT_EQ(name0, qvdbx_name(0));
        EXPECT_EQ(id0, qvdbx_id(0));
        EXPECT_EQ(display0, qvdbx_path_display(0));
        if (name64 != nullptr) {
            EXPECT_EQ(name64, qvdbx_name(64));
        }
    }
    EXPECT_STREQ("track0.mp3", name0);
    EXPECT_STREQ("track64.mp3", name64);
    for (int i = 0; i < qvdbx_count(); ++i) {
        ASSERT_EQ("track" + std::to_string(i) + ".mp3", qvdbx_name(i));
    }
}

// MARK: - Harness entry point

TEST_F(DecodeHarness, ReadsUpToTheFirstNul) {
    struct bytes_case {
        const char *label;
        std::string bytes;
        int rc;
        int count;
    } cases[] = {
        {"garbage after a NUL", std::string(R"({"entries":[{"name":"a"}]})") + '\0' + "garbage",
         0, 1},
        {"NUL inside the page", std::string(R"({"entries":[)") + '\0' + "]}", -1, 0},
        {"leading NUL", std::string(1, '\0') + R"({"entries":[]})", -1, 0},
        {"no terminator", R"({"entries":[{"name":"a"},{"name":"b"}]})", 0, 2},
    };
    for (const bytes_case &c : cases) {
        SCOPED_TRACE(c.label);
        // An allocation of exactly the bytes, so that reading past them is caught.
        std::unique_ptr<uint8_t[]> exact(new uint8_t[c.bytes.size()]);
        std::copy(c.bytes.begin(), c.bytes.end(), exact.get());
        EXPECT_EQ(c.rc, qvdbx_fuzz_decode_list_json(exact.get(), c.bytes.size()));
        EXPECT_EQ(c.count, qvdbx_count());
    }
}

TEST_F(DecodeHarness, RefusedInputLeavesEverythingAlone) {
    const uint8_t byte = '{';
    struct refusal {
        const char *label;
        const uint8_t *bytes;
        uint64_t len;
    } cases[] = {
        {"null bytes", nullptr, 10},
        {"length whose terminator cannot be counted", &byte, UINT64_MAX},
    };
    for (const refusal &c : cases) {
        SCOPED_TRACE(c.label);
        hold_previous_listing();
        std::string document = qvdbx_result_json();
        qvdbx_set_err(5, "before");
        EXPECT_EQ(-1, qvdbx_fuzz_decode_list_json(c.bytes, c.len));
        EXPECT_EQ(2, qvdbx_count());
        EXPECT_STREQ("old", g_qv.cursor);
        EXPECT_EQ(document, qvdbx_result_json());
        EXPECT_EQ(5, qvdbx_last_code());
        EXPECT_STREQ("before", qvdbx_last_error());
    }
}

}  // namespace
