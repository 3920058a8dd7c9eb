// The memory a listing keeps and reuses: the page block cache, texts that two fields share
// in a page's text block, and a new listing written into the buffers of the one before.
#include "capture_io.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

int decode(const std::string &page) {
    return qvdbx_fuzz_decode_list_json(reinterpret_cast<const uint8_t *>(page.data()), page.size());
}

std::string page_of(const std::vector<std::string> &entries, bool more) {
    std::string body = R"({"entries":[)";
    for (size_t i = 0; i < entries.size(); ++i) body += (i > 0 ? "," : "") + entries[i];
    return body + R"(],"cursor":"c","has_more":)" + (more ? "true}" : "false}");
}

class PageMemory : public ::testing::Test {
protected:
    void SetUp() override { reset_module_state(); }
    void TearDown() override { reset_module_state(); }
};

// MARK: - Block cache

TEST_F(PageMemory, CacheLendsTheKeptBlockWhenItIsLargeEnough) {
    qvdbx_block_cache cache;
    void *first = cache.take(1000);
    ASSERT_NE(nullptr, first);
    cache.give(first);
    EXPECT_EQ(first, cache.take(800)) << "a smaller request reuses the kept block";
    void *grown = cache.grow(first, 1000);
    EXPECT_EQ(first, grown) << "growing within the block's real size keeps it";
    cache.give(grown);
    void *larger = cache.take(5000);
    EXPECT_NE(first, larger) << "a block too small is not lent";
    static_cast<char *>(larger)[4999] = 'x';
    cache.give(larger);
    EXPECT_EQ(larger, cache.take(4000)) << "the larger block is the one kept";
    void *foreign = std::malloc(16);
    cache.give(foreign);  // not lent by the cache: freed, not kept (LeakSanitizer checks)
    cache.release();
    std::free(larger);  // lent, so its holder frees it
}

// MARK: - Shared texts

struct shared_case {
    const char *label;
    const char *meta;
    const char *name, *path, *id, *display;  // nullptr: none
};

const shared_case kShared[] = {
    {"name ends the display path", R"({"name":"b.mp3","path_display":"/M/b.mp3"})", "b.mp3", "/M/b.mp3", nullptr, "/M/b.mp3"},
    {"name ends it inside a segment", R"({"name":"b.mp3","path_display":"/M/ab.mp3"})", "b.mp3", "/M/ab.mp3", nullptr, "/M/ab.mp3"},
    {"name is the whole display path", R"({"name":"/M","path_display":"/M"})", "/M", "/M", nullptr, "/M"},
    {"name longer than the display path", R"({"name":"x/M","path_display":"/M"})", "x/M", "/M", nullptr, "/M"},
    {"name not at the end", R"({"name":"M","path_display":"/M/x"})", "M", "/M/x", nullptr, "/M/x"},
    {"lower path equal to the display path", R"({"name":"a","path_lower":"/m/a","path_display":"/m/a"})", "a", "/m/a", nullptr, "/m/a"},
    {"lower path differs in case", R"({"name":"a","path_lower":"/m/a","path_display":"/M/a"})", "a", "/m/a", nullptr, "/M/a"},
    {"id is exactly the prefix", R"({"name":"a","id":"id:"})", "a", "id:", "id:", nullptr},
    {"prefixed id shared with its locator", R"({"name":"a","id":"id:q1"})", "a", "id:q1", "id:q1", nullptr},
    {"bare id inside its locator", R"({"name":"a","id":"q1","path_display":"/a"})", "a", "id:q1", "q1", "/a"},
    {"texts cut at a NUL", R"({"name":"a\u0000b","id":"q\u0000r","path_display":"/x/a\u0000y"})", "a", "id:q", "q", "/x/a"},
};

std::string text(const char *s) { return s != nullptr ? s : "<none>"; }

TEST_F(PageMemory, SharedTextsReadAsTheirOwn) {
    for (const shared_case &c : kShared) {
        SCOPED_TRACE(c.label);
        // Twice on one page: the second entry's texts follow the first's in the block.
        ASSERT_EQ(0, decode(page_of({c.meta, c.meta}, false)));
        ASSERT_EQ(2, qvdbx_count());
        for (int i = 0; i < 2; ++i) {
            const qvdbx_entry &e = g_qv.entries[i];
            EXPECT_EQ(c.name, text(e.name));
            EXPECT_EQ(c.path, text(e.path));
            EXPECT_EQ(text(c.id), text(e.id));
            EXPECT_EQ(text(c.display), text(e.path_display));
        }
    }
}

// MARK: - Buffers of the listing before

std::string entry(int n, const std::string &folder) {
    std::string name = "track " + std::to_string(n) + ".flac";
    return R"({".tag":"file","name":")" + name + R"(","id":"id:a4ayc_80_OEAAAAAAA)" + std::to_string(n) +
           R"(","path_display":"/)" + folder + "/" + name + R"(","size":)" + std::to_string(n) + "}";
}

// The document of a listing of `pages` pages of `per_page` entries, decoded from an empty
// module, and the same listing decoded over whatever the module holds.
std::string listing(int pages, int per_page, const std::string &folder) {
    for (int p = 0; p < pages; ++p) {
        std::vector<std::string> entries;
        for (int i = 0; i < per_page; ++i) entries.push_back(entry(p * per_page + i, folder));
        std::string page = page_of(entries, p + 1 < pages);
        int rc = p == 0 ? decode(page) : qvdbx_parse_list_result(page.c_str(), 1);
        if (rc != 0) return "<failed>";
    }
    return qvdbx_result_json();
}

TEST_F(PageMemory, ListingOverAnEarlierOneIsExact) {
    const struct { int pages, per_page; const char *folder; } listings[] = {
        {4, 50, "Long"}, {1, 3, "Short"}, {4, 50, "Long"}, {4, 51, "Longer"}, {2, 10, "Mid"},
    };
    for (const auto &l : listings) {
        SCOPED_TRACE(l.folder);
        reset_module_state();
        std::string fresh = listing(l.pages, l.per_page, l.folder);
        ASSERT_EQ(l.pages * l.per_page, qvdbx_count());
        std::string over_itself = listing(l.pages, l.per_page, l.folder);
        EXPECT_EQ(fresh, over_itself);
        for (const auto &before : listings) {
            listing(before.pages, before.per_page, before.folder);
            EXPECT_EQ(fresh, listing(l.pages, l.per_page, l.folder)) << "after " << before.folder;
            EXPECT_EQ(l.pages * l.per_page, qvdbx_count());
            EXPECT_EQ("track 0.flac", text(qvdbx_name(0)));
            EXPECT_EQ("/" + std::string(l.folder) + "/track 0.flac", text(qvdbx_path_display(0)));
        }
    }
}

}  // namespace
