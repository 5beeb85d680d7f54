// Shared pieces of the fuzz targets: a private scratch directory, checks that end the run with a
// message (so the fuzzer keeps the input), and seed files.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

/// One input of a target; every target defines it.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
/// Writes the target's seed inputs into an existing directory; 0 on success.
extern "C" int HalvexFuzzSeeds(const char* directory);

namespace hxfuzz {

/// A directory of this process under the temporary directory, made on first use and removed
/// at exit.
inline const std::string& scratchDir() {
    static const std::string dir = [] {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/hx-fuzz-XXXXXX";
        if (!mkdtemp(pattern.data())) std::abort();
        static const std::string keep = pattern;
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(keep, ec);
        });
        return pattern + "/";
    }();
    return dir;
}

/// Ends the run when a property of the product does not hold.
inline void check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

inline bool writeBytes(const std::string& path, const void* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    return static_cast<bool>(out);
}

inline std::vector<uint8_t> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

/// Writes one seed file named `name` into `directory`.
inline bool seed(const char* directory, const std::string& name,
                 const std::vector<uint8_t>& bytes) {
    return writeBytes(std::string(directory) + "/" + name, bytes.data(), bytes.size());
}

inline void put16(std::vector<uint8_t>& b, size_t offset, unsigned value) {
    if (b.size() < offset + 2) b.resize(offset + 2, 0);
    b[offset] = static_cast<uint8_t>(value & 0xFF);
    b[offset + 1] = static_cast<uint8_t>((value >> 8) & 0xFF);
}

} // namespace hxfuzz
