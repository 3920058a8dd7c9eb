// The Dropbox server of the benchmarks, in-process: the pages of one folder and a
// scripted quendo_io that answers with them, so that a benchmark measures the module and
// not a fixture matcher. Used by the Google Benchmark suite and by the timing harness
// that loads the built module (bench/list_timing.cpp).
#ifndef QVDBX_BENCH_SCRIPTED_SERVER_H
#define QVDBX_BENCH_SCRIPTED_SERVER_H

#include "pages.h"
#include "qvdbx.h"

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace qvdbx_bench {

constexpr int MAX_PAGES = 400;
constexpr char TOKEN[] = "sl.BenchmarkAccessToken-0123456789abcdefghijklmnopqrstuvwxyz"
                         "ABCDEFGHIJKLMNOPQRSTUVWXYZ-0123456789abcdefghijklmnopqrstuvwxyz_0123";
constexpr char FOLDER[] = "/Music";

// The pages of one folder of up to MAX_PAGES pages. A listing of n pages ends with a copy
// of page n - 1 that says "has_more": false; the others say true. Built once, on first use.
class folder_pages {
public:
    folder_pages() {
        for (int i = 0; i < MAX_PAGES; ++i) {
            more_.push_back(list_page(i, true));
            cursors_.push_back(page_cursor(i));
        }
    }
    const std::string &page(int index, int pages) {
        if (index + 1 < pages) return more_[static_cast<size_t>(index)];
        auto last = last_.find(pages);
        if (last == last_.end()) {
            last = last_.emplace(pages, list_page(index, false)).first;
        }
        return last->second;
    }
    const std::string &cursor(int index) const { return cursors_[static_cast<size_t>(index)]; }
    // Bytes of list JSON in a listing of `pages` pages. Generates whatever the listing
    // still lacks, so benchmarks call it before the clock starts.
    size_t bytes(int pages) {
        size_t total = 0;
        for (int i = 0; i < pages; ++i) total += page(i, pages).size();
        return total;
    }

private:
    std::vector<std::string> more_;
    std::vector<std::string> cursors_;
    std::map<int, std::string> last_;
};

inline folder_pages &folder() {
    static folder_pages pages;
    return pages;
}

// MARK: - Scripted transport
//
// Answers in-process with the pre-generated texts, so the benchmarks measure the module
// and not a fixture matcher: the first list request gets page 0, each continuation the
// page after the cursor it carries (checked), metadata and link requests their answers.
// The texts are lent to the module, which copies them; the free slot has nothing to do.

class scripted_server {
public:
    explicit scripted_server(int listing_pages = 0) : pages_(listing_pages) {}

    // The transport record; qvdbx_set_io and the handler copy it.
    quendo_io io() { return quendo_io{this, nullptr, &serve, &lent_not_freed}; }

    const std::string metadata = metadata_answer();
    const std::string link = link_answer();

private:
    const std::string *answer(const char *url, const char *body) {
        std::string_view request(url);
        if (request.find("/2/files/list_folder/continue") != std::string_view::npos) {
            bool in_order = next_ > 0 && next_ < pages_ &&
                            std::string_view(body).find(folder().cursor(next_ - 1)) !=
                                std::string_view::npos;
            return in_order ? &folder().page(next_++, pages_) : nullptr;
        }
        if (request.find("/2/files/list_folder") != std::string_view::npos) {
            next_ = 1;
            return &folder().page(0, pages_);
        }
        if (request.find("/2/files/get_metadata") != std::string_view::npos) return &metadata;
        if (request.find("/2/files/get_temporary_link") != std::string_view::npos) return &link;
        return nullptr;
    }

    static int serve(void *ctx, const char *url, const char *body, const char *, char **out_body,
                     int *out_status, char **) {
        const std::string *text = static_cast<scripted_server *>(ctx)->answer(url, body);
        if (text == nullptr) return 1;
        *out_body = const_cast<char *>(text->c_str());
        *out_status = 200;
        return 0;
    }

    static void lent_not_freed(void *, void *) {}

    int pages_;      // pages in the listing being served
    int next_ = 0;   // the page that the next continuation must ask for
};

}  // namespace qvdbx_bench

#endif  // QVDBX_BENCH_SCRIPTED_SERVER_H
