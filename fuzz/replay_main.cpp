// Replays stored inputs through one fuzz target without libFuzzer, so the
// ordinary build and test run keep every seed and every past crash
// reproducer passing. Arguments are files or folders; folders are read in
// name order, and hidden files (such as .gitkeep) are skipped.
#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "fuzz/fuzz_common.h"

namespace {

bool replay_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fprintf(stderr, "replay: cannot read %s\n", path.c_str());
        return false;
    }
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Print the name first: if the target aborts, the log says which input.
    fprintf(stderr, "replay: %s (%zu bytes)\n", path.c_str(), bytes.size());
    // A heap copy of exactly the input's size, as libFuzzer passes it.
    std::vector<uint8_t> data(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(data.empty() ? nullptr : data.data(), data.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    size_t replayed = 0;
    bool failed = false;
    for (int i = 1; i < argc; ++i) {
        std::filesystem::path arg(argv[i]);
        std::error_code ec;
        if (std::filesystem::is_directory(arg, ec)) {
            std::vector<std::filesystem::path> files;
            for (const auto& entry : std::filesystem::directory_iterator(arg, ec)) {
                if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') {
                    files.push_back(entry.path());
                }
            }
            if (ec) {
                fprintf(stderr, "replay: cannot list %s\n", argv[i]);
                failed = true;
                continue;
            }
            std::sort(files.begin(), files.end());
            for (const auto& file : files) {
                if (replay_file(file)) {
                    ++replayed;
                } else {
                    failed = true;
                }
            }
        } else if (std::filesystem::is_regular_file(arg, ec)) {
            if (replay_file(arg)) {
                ++replayed;
            } else {
                failed = true;
            }
        } else {
            fprintf(stderr, "replay: no such file or folder: %s\n", argv[i]);
            failed = true;
        }
    }
    // A run that replays nothing has lost its corpus, which is a failure too.
    if (replayed == 0) {
        fprintf(stderr, "replay: no inputs found\n");
        return 1;
    }
    printf("replay: %zu inputs passed\n", replayed);
    return failed ? 1 : 0;
}
