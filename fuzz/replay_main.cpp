// Stands in for libFuzzer where it is not available: feeds every file named on the
// command line, or found in a directory named there, to the target once. Test runs use
// it to replay the checked-in corpora.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

namespace fs = std::filesystem;

void collect(const fs::path &arg, std::vector<fs::path> &files) {
    if (!fs::is_directory(arg)) {
        files.push_back(arg);
        return;
    }
    for (const auto &item : fs::directory_iterator(arg)) {
        if (item.is_regular_file()) files.push_back(item.path());
    }
}

bool replay(const fs::path &file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // An allocation of exactly the input's size, as libFuzzer makes, so that a sanitizer
    // catches any read past its end.
    std::unique_ptr<uint8_t[]> data(new uint8_t[bytes.size() + (bytes.empty() ? 1 : 0)]);
    std::copy(bytes.begin(), bytes.end(), data.get());
    LLVMFuzzerTestOneInput(data.get(), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) collect(argv[i], files);
    std::sort(files.begin(), files.end());
    for (const auto &file : files) {
        if (!replay(file)) {
            std::fprintf(stderr, "cannot read %s\n", file.string().c_str());
            return 1;
        }
    }
    std::printf("replayed %zu inputs\n", files.size());
    // An empty corpus would make the test pass without running anything.
    return files.empty() ? 1 : 0;
}
