// Runs the fuzz target once over each file given, or each file of each
// directory given, as libFuzzer would for a corpus without mutating it.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void RunFile(const std::filesystem::path& path, unsigned* count)
{
    std::ifstream file(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                               std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    ++*count;
}

}  // namespace

int main(int argc, char** argv)
{
    unsigned count = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path path(argv[i]);
        if (std::filesystem::is_directory(path)) {
            std::vector<std::filesystem::path> files;
            for (const auto& entry : std::filesystem::directory_iterator(path)) {
                if (entry.is_regular_file()) {
                    files.push_back(entry.path());
                }
            }
            std::sort(files.begin(), files.end());
            for (const auto& file : files) {
                RunFile(file, &count);
            }
        } else {
            RunFile(path, &count);
        }
    }
    if (count == 0) {
        fprintf(stderr, "%s: no input\n", argv[0]);
        return 1;
    }
    printf("%s: %u inputs, no invariant broken\n", argv[0], count);
    return 0;
}
