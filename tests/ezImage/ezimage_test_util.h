// Shared helpers of the image-file tests: a scratch directory, generated images, file bytes.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "ezImage/ezImage.h"

namespace hxtest {

/// A fresh directory under the system temp directory, removed with everything in it.
class ScratchDir {
public:
    ScratchDir() {
        static std::atomic<int> serial{0};
        path_ = std::filesystem::temp_directory_path() /
                ("hx-ezimage-" + std::to_string(getpid()) + "-" + std::to_string(serial++));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path_, ec);
    }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    const std::filesystem::path& path() const { return path_; }
    /// Names of every entry in the directory (to find stray temporary files).
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(path_))
            names.push_back(e.path().filename().string());
        return names;
    }

private:
    std::filesystem::path path_;
};

/// Owns a record from ezCreateImage.
struct ImageReleaser {
    void operator()(_ezImage* image) const { ezReleaseImage(&image); }
};
using ImagePtr = std::unique_ptr<_ezImage, ImageReleaser>;

/// Reads sample c of pixel (x, y) from a record (16-bit samples little-endian).
inline int sampleAt(const _ezImage& im, int x, int y, int c) {
    const size_t bps = im.depth / 8;
    const unsigned char* p =
        im.data + (static_cast<size_t>(y) * im.width * im.channels + x * im.channels + c) * bps;
    return bps == 1 ? p[0] : p[0] | (p[1] << 8);
}

/// An image whose samples differ from their neighbours in x, y and channel, and whose 16-bit
/// samples have distinct high and low bytes: any swapped byte, channel or row shows.
inline ImagePtr patternImage(int width, int height, int depth, int channels) {
    ImagePtr im(ezCreateImage(width, height, depth, channels, 56, 0));
    if (!im) {
        // Rows longer than the 16-bit stride can describe: ezCreateImage refuses them, but a
        // caller may still lay such a record out itself (the writers use the geometry).
        auto* record = static_cast<_ezImage*>(std::calloc(1, sizeof(_ezImage)));
        auto* pixels = static_cast<unsigned char*>(
            std::malloc(static_cast<size_t>(width) * height * channels * depth / 8));
        ezInitImageHeader(record, width, height, channels, depth, 56, pixels, 0, 0);
        im.reset(record);
    }
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < channels; ++c) {
                const size_t i = (static_cast<size_t>(y) * width + x) * channels + c;
                if (depth == 8) {
                    im->data[i] = static_cast<unsigned char>(x * 7 + y * 13 + c * 101);
                } else {
                    const unsigned v = (x * 263u + y * 4099u + c * 20011u) & 0xFFFF;
                    im->data[2 * i] = static_cast<unsigned char>(v);
                    im->data[2 * i + 1] = static_cast<unsigned char>(v >> 8);
                }
            }
    return im;
}

/// A smooth scene (lossy codecs are compared against it within a tolerance).
inline ImagePtr smoothImage(int width, int height, int depth, int channels) {
    ImagePtr im(ezCreateImage(width, height, depth, channels, 56, 0));
    const int scale = depth == 16 ? 257 : 1;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < channels; ++c) {
                const double v = 128 + 90 * std::sin(x / 23.0 + c) * std::cos(y / 31.0 - c);
                const unsigned s = static_cast<unsigned>(v) * scale;
                const size_t i = (static_cast<size_t>(y) * width + x) * channels + c;
                if (depth == 8) {
                    im->data[i] = static_cast<unsigned char>(s);
                } else {
                    im->data[2 * i] = static_cast<unsigned char>(s);
                    im->data[2 * i + 1] = static_cast<unsigned char>(s >> 8);
                }
            }
    return im;
}

inline std::vector<unsigned char> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeFile(const std::string& path, const std::vector<unsigned char>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

inline uint32_t le16(const std::vector<unsigned char>& b, size_t at) {
    return b.at(at) | (b.at(at + 1) << 8);
}
inline uint32_t le32(const std::vector<unsigned char>& b, size_t at) {
    return le16(b, at) | (le16(b, at + 2) << 16);
}

/// Registers the codecs for the duration of a test.
class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override { ezInitGrfmt(); }
    void TearDown() override { exExitGrfmt(); }
    ScratchDir dir;
};

} // namespace hxtest
