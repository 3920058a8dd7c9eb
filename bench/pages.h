// Deterministic Dropbox answers for the benchmarks: list pages of 2000 entries that look
// like a real music library (non-ASCII names, ids, lower and display paths, dates, revs,
// sizes, content hashes, a few folders and deleted entries), and one stat and one link
// answer. The same call always gives the same bytes, so every contender reads the same
// input and the Node peer can be fed the very page the C++ contenders decode.
#ifndef QVDBX_BENCH_PAGES_H
#define QVDBX_BENCH_PAGES_H

#include <string>

namespace qvdbx_bench {

constexpr int ENTRIES_PER_PAGE = 2000;

// Page `index` of a listing, as /2/files/list_folder (index 0) or its continuation
// answers it. It carries page_cursor(index, folder) and the given "has_more". Folders
// differ in their cursors only, so that one server can tell their listings apart.
std::string list_page(int index, bool has_more, int folder = 0);

// The cursor that page `index` carries, i.e. the one that fetches page `index` + 1.
std::string page_cursor(int index, int folder = 0);

// The /2/files/get_metadata answer for one file.
std::string metadata_answer();

// The /2/files/get_temporary_link answer for the same file.
std::string link_answer();

}  // namespace qvdbx_bench

#endif  // QVDBX_BENCH_PAGES_H
