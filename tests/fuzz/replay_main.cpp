// Runs a fuzz target outside the fuzzer: over every input file named on the command line (or
// every file of a named directory), and writes the target's seeds with --seeds DIR. Inputs
// ending in ".hex" are hexadecimal text (whitespace and '#' comments ignored), so that inputs
// kept as regression tests stay readable in the tree.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "FuzzSupport.h"

namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> fromHex(const std::vector<uint8_t>& text) {
    std::vector<uint8_t> bytes;
    int high = -1;
    bool comment = false;
    for (uint8_t c : text) {
        if (comment) {
            comment = c != '\n';
            continue;
        }
        if (c == '#') {
            comment = true;
            continue;
        }
        if (!std::isxdigit(c)) continue;
        const int v = std::isdigit(c) ? c - '0' : std::tolower(c) - 'a' + 10;
        if (high < 0) {
            high = v;
        } else {
            bytes.push_back(static_cast<uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    return bytes;
}

int runFile(const fs::path& path) {
    std::vector<uint8_t> bytes = hxfuzz::readBytes(path.string());
    if (path.extension() == ".hex") bytes = fromHex(bytes);
    // A private copy of exactly the input's size, so reads past its end are caught.
    std::vector<uint8_t> input(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(input.empty() ? nullptr : input.data(), input.size());
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--seeds") == 0) {
        std::error_code ec;
        fs::create_directories(argv[2], ec);
        if (HalvexFuzzSeeds(argv[2]) != 0) {
            std::fprintf(stderr, "cannot write the seeds into %s\n", argv[2]);
            return 1;
        }
        return 0;
    }
    long count = 0;
    for (int i = 1; i < argc; ++i) {
        const fs::path path(argv[i]);
        if (fs::is_directory(path)) {
            std::vector<fs::path> files;
            for (const auto& entry : fs::directory_iterator(path))
                if (entry.is_regular_file()) files.push_back(entry.path());
            std::sort(files.begin(), files.end());
            for (const fs::path& file : files) count += runFile(file);
        } else if (fs::is_regular_file(path)) {
            count += runFile(path);
        } else {
            std::fprintf(stderr, "no input at %s\n", argv[i]);
            return 1;
        }
    }
    if (count == 0) {
        std::fprintf(stderr, "no inputs replayed\n");
        return 1;
    }
    std::printf("%ld inputs replayed, 0 failed\n", count);
    return 0;
}
