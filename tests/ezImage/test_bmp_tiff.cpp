// BMP and TIFF writers: exact layouts, and read-back by an independent reader (a bitmap reader
// written here from the format's public layout; libtiff).
#include <gtest/gtest.h>

#include <tiffio.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "ezImage/grfmt_bmp.h"
#include "ezimage_test_util.h"

using hxtest::le16;
using hxtest::le32;
using hxtest::readFile;
using hxtest::RegistryTest;
using hxtest::sampleAt;

namespace {
/// A minimal reader of uncompressed 8/24/32-bit bottom-up bitmaps; returns red, green, blue per
/// pixel (grey through the palette). Empty on any inconsistency.
std::vector<int> readBmp(const std::vector<unsigned char>& b, int& width, int& height) {
    if (b.size() < 54 || b[0] != 'B' || b[1] != 'M') return {};
    const uint32_t offBits = le32(b, 10);
    width = static_cast<int>(le32(b, 18));
    height = static_cast<int>(le32(b, 22));
    const int bpp = static_cast<int>(le16(b, 28));
    const int bytesPerPixel = bpp / 8;
    const size_t stride = (static_cast<size_t>(width) * bytesPerPixel + 3) / 4 * 4;
    if (le32(b, 2) != b.size() || le32(b, 30) != 0 || offBits + stride * height != b.size())
        return {};
    std::vector<int> rgb;
    for (int y = 0; y < height; ++y) {
        const size_t row = offBits + stride * (height - 1 - y);
        for (int x = 0; x < width; ++x) {
            const unsigned char* p = &b[row + static_cast<size_t>(x) * bytesPerPixel];
            if (bytesPerPixel == 1) {
                const unsigned char* entry = &b[54 + 4 * p[0]];
                rgb.insert(rgb.end(), {entry[2], entry[1], entry[0]});
            } else {
                rgb.insert(rgb.end(), {p[2], p[1], p[0]});
            }
        }
    }
    return rgb;
}

int highByte(const _ezImage& im, int x, int y, int c) {
    const int v = sampleAt(im, x, y, c);
    return im.depth == 16 ? v >> 8 : v;
}
} // namespace

TEST_F(RegistryTest, BmpOfAGreyImageHasPaletteAndPaddedBottomUpRows) {
    hxtest::ImagePtr im = hxtest::patternImage(3, 2, 8, 1);
    ASSERT_TRUE(ezSaveImage(dir.file("g.bmp"), im.get()));
    const auto b = readFile(dir.file("g.bmp"));
    ASSERT_EQ(b.size(), 1086u);
    EXPECT_EQ(le32(b, 2), 1086u);
    EXPECT_EQ(le32(b, 6), 0u);
    EXPECT_EQ(le32(b, 10), 1078u);
    EXPECT_EQ(le32(b, 14), 40u);
    EXPECT_EQ(le16(b, 26), 1u);
    EXPECT_EQ(le16(b, 28), 8u);
    for (int i = 30; i < 54; ++i) EXPECT_EQ(b[i], 0);
    for (int i = 0; i < 256; ++i) EXPECT_EQ(le32(b, 54 + 4 * i), i * 0x010101u) << i;
    // Last image row first, each followed by one zero byte of padding.
    const unsigned char expect[8] = {im->data[3], im->data[4], im->data[5], 0,
                                     im->data[0], im->data[1], im->data[2], 0};
    EXPECT_EQ(std::memcmp(&b[1078], expect, 8), 0);
}

TEST_F(RegistryTest, BmpKeepsHighBytesInBlueGreenRedOrder) {
    for (int depth : {8, 16})
        for (int channels : {1, 3, 4}) {
            SCOPED_TRACE(testing::Message() << depth << "-bit, " << channels << " channels");
            hxtest::ImagePtr im = hxtest::patternImage(7, 5, depth, channels);
            const std::string path = dir.file("c.dib");
            ASSERT_TRUE(ezSaveImage(path, im.get()));
            const auto b = readFile(path);
            EXPECT_EQ(le16(b, 28), channels * 8u);
            if (channels == 4) { // the fourth byte holds the fourth sample
                EXPECT_EQ(b[54 + 3], highByte(*im, 0, 4, 3));
            }
            int w = 0, h = 0;
            const auto rgb = readBmp(b, w, h);
            ASSERT_EQ(rgb.size(), 7u * 5 * 3);
            for (int y = 0, i = 0; y < 5; ++y)
                for (int x = 0; x < 7; ++x)
                    for (int c = 0; c < 3; ++c, ++i)
                        ASSERT_EQ(rgb[i], highByte(*im, x, y, channels == 1 ? 0 : c))
                            << x << "," << y << "," << c;
        }
}

TEST(GrayPalette, SpreadsLevelsAndComplements) {
    PaletteEntry p[256];
    FillGrayPalette(p, 2, false);
    EXPECT_EQ(p[0].b, 0);
    EXPECT_EQ(p[1].g, 85);
    EXPECT_EQ(p[3].r, 255);
    EXPECT_EQ(p[3].a, 0);
    FillGrayPalette(p, 1, true);
    EXPECT_EQ(p[0].r, 255);
    EXPECT_EQ(p[1].r, 0);
    p[5].r = 42;
    FillGrayPalette(p, 0, false); // nothing to fill, no division by zero
    FillGrayPalette(p, 9, false);
    EXPECT_EQ(p[5].r, 42);
}

namespace {
struct TiffLayout {
    uint32_t ifd;
    std::vector<std::array<uint32_t, 4>> entries; // tag, type, count, value
};

TiffLayout parseTiff(const std::vector<unsigned char>& b) {
    TiffLayout t{le32(b, 4), {}};
    const uint32_t n = le16(b, t.ifd);
    for (uint32_t i = 0; i < n; ++i) {
        const size_t e = t.ifd + 2 + 12 * i;
        t.entries.push_back({le16(b, e), le16(b, e + 2), le32(b, e + 4), le32(b, e + 8)});
    }
    EXPECT_EQ(le32(b, t.ifd + 2 + 12 * n), 0u);
    EXPECT_EQ(t.ifd + 2 + 12 * n + 4, b.size());
    return t;
}

std::array<uint32_t, 4> entry(const TiffLayout& t, uint32_t tag) {
    for (const auto& e : t.entries)
        if (e[0] == tag) return e;
    ADD_FAILURE() << "no tag " << tag;
    return {};
}

/// Reads the file through libtiff and compares every sample with the record.
void expectTiffPixels(const std::string& path, const _ezImage& im) {
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    ASSERT_NE(tif, nullptr);
    uint32_t w = 0, h = 0;
    uint16_t bits = 0, spp = 0, photometric = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetField(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
    EXPECT_EQ(w, im.width);
    EXPECT_EQ(h, im.height);
    EXPECT_EQ(bits, im.depth);
    EXPECT_EQ(spp, im.channels);
    EXPECT_EQ(photometric, im.channels == 1 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB);
    std::vector<unsigned char> row(TIFFScanlineSize(tif));
    for (uint32_t y = 0; y < h; ++y) {
        ASSERT_EQ(TIFFReadScanline(tif, row.data(), y), 1) << y;
        for (uint32_t x = 0; x < w; ++x)
            for (int c = 0; c < im.channels; ++c) {
                const size_t i = (static_cast<size_t>(x) * im.channels + c);
                const int v = im.depth == 8 ? row[i] : reinterpret_cast<uint16_t*>(row.data())[i];
                ASSERT_EQ(v, sampleAt(im, x, y, c)) << x << "," << y << "," << c;
            }
    }
    TIFFClose(tif);
}
} // namespace

TEST_F(RegistryTest, TiffStoresManyStripsOutOfLine) {
    hxtest::ImagePtr im = hxtest::patternImage(640, 480, 8, 1);
    const std::string path = dir.file("g.tif");
    ASSERT_TRUE(ezSaveImage(path, im.get()));
    const auto b = readFile(path);
    EXPECT_EQ(std::memcmp(b.data(), "II*\0", 4), 0);
    const TiffLayout t = parseTiff(b);
    ASSERT_EQ(t.entries.size(), 9u);
    const uint32_t tags[9] = {256, 257, 258, 259, 262, 273, 277, 278, 279};
    for (int i = 0; i < 9; ++i) EXPECT_EQ(t.entries[i][0], tags[i]);
    EXPECT_EQ(entry(t, 258)[3], 8u);
    EXPECT_EQ(entry(t, 278)[3], 12u);
    const auto offsets = entry(t, 273), counts = entry(t, 279);
    EXPECT_EQ(offsets[2], 40u);
    EXPECT_EQ(counts[1], 3u); // 16-bit counts
    EXPECT_EQ(counts[2], 40u);
    // Strips start right after the header, the offsets array follows the last strip, then the
    // counts array, then the directory.
    EXPECT_EQ(offsets[3], 8u + 640 * 480);
    EXPECT_EQ(le32(b, offsets[3]), 8u);
    EXPECT_EQ(le32(b, offsets[3] + 4 * 39), 8u + 39 * 12 * 640);
    EXPECT_EQ(counts[3], offsets[3] + 160);
    EXPECT_EQ(le16(b, counts[3] + 2 * 39), 12u * 640);
    EXPECT_EQ(t.ifd, counts[3] + 80);
    expectTiffPixels(path, *im);
}

TEST_F(RegistryTest, TiffStripLayoutCases) {
    struct Case {
        int w, h, depth, channels;
        uint32_t rowsPerStrip, strips;
    };
    // 8000 × 3 × 2 = 48000 bytes a row: one row per strip. 2048 × 2 grey 16-bit: exactly two
    // strips with both counts inside the entry. 30000-pixel RGB 16-bit: strips above 65535 bytes.
    for (const Case& c :
         {Case{8000, 3, 16, 3, 1, 3}, Case{2048, 4, 16, 1, 2, 2}, Case{30000, 2, 16, 3, 1, 2},
          Case{5, 3, 8, 4, 3, 1}, Case{3, 1, 16, 1, 1, 1}}) {
        SCOPED_TRACE(testing::Message()
                     << c.w << "x" << c.h << " " << c.depth << "/" << c.channels);
        hxtest::ImagePtr im = hxtest::patternImage(c.w, c.h, c.depth, c.channels);
        const std::string path = dir.file("s.tiff");
        ASSERT_TRUE(ezSaveImage(path, im.get()));
        const auto b = readFile(path);
        const TiffLayout t = parseTiff(b);
        EXPECT_EQ(entry(t, 278)[3], c.rowsPerStrip);
        EXPECT_EQ(entry(t, 273)[2], c.strips);
        const uint32_t stripBytes = c.rowsPerStrip * c.w * c.channels * c.depth / 8;
        const auto counts = entry(t, 279);
        if (c.strips == 1) {
            EXPECT_EQ(counts[1], 4u);
            EXPECT_EQ(counts[3], stripBytes);
            EXPECT_EQ(entry(t, 273)[3], 8u);
        } else if (stripBytes > 0xFFFF) {
            EXPECT_EQ(counts[1], 4u);
            EXPECT_EQ(le32(b, counts[3]), stripBytes);
        } else if (c.strips == 2) {
            EXPECT_EQ(counts[1], 3u);
            EXPECT_EQ(counts[3], stripBytes | stripBytes << 16);
        }
        const auto bits = entry(t, 258);
        EXPECT_EQ(bits[2], static_cast<uint32_t>(c.channels));
        if (c.channels > 1) {
            for (int i = 0; i < c.channels; ++i) EXPECT_EQ(le16(b, bits[3] + 2 * i), c.depth + 0u);
        }
        expectTiffPixels(path, *im);
    }
}

TEST_F(RegistryTest, TiffDirectoryAndArraysStartOnWordBoundaries) {
    struct Case {
        int w, h, depth, channels;
    };
    // Odd pixel byte counts: one strip of grey, one strip of RGB with a bits array, many strips
    // of grey with offsets and counts arrays; and an even count, which needs no pad.
    for (const Case& c : {Case{3, 3, 8, 1}, Case{5, 3, 8, 3}, Case{641, 37, 8, 1}, Case{7, 5, 8, 3},
                          Case{4, 3, 8, 1}}) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << "/" << c.channels);
        hxtest::ImagePtr im = hxtest::patternImage(c.w, c.h, c.depth, c.channels);
        const std::string path = dir.file("odd.tif");
        ASSERT_TRUE(ezSaveImage(path, im.get()));
        const auto b = readFile(path);
        const TiffLayout t = parseTiff(b);
        EXPECT_EQ(t.ifd % 2, 0u);
        const uint32_t pixelEnd = 8u + static_cast<uint32_t>(c.w * c.h * c.channels);
        const uint32_t arrays = pixelEnd + pixelEnd % 2;
        if (pixelEnd % 2 != 0) {
            EXPECT_EQ(b[pixelEnd], 0);
        }
        // The strips stay where they were, back to back after the header.
        const auto offsets = entry(t, 273);
        if (offsets[2] == 1) {
            EXPECT_EQ(offsets[3], 8u);
        } else {
            EXPECT_EQ(le32(b, offsets[3]), 8u);
        }
        // Every value that does not fit its entry lies at an even offset, the first one right
        // after the pad.
        uint32_t first = t.ifd;
        for (const auto& e : t.entries) {
            const uint32_t size = e[2] * (e[1] == 3 ? 2u : 4u);
            if (size <= 4) continue;
            EXPECT_EQ(e[3] % 2, 0u) << "tag " << e[0];
            first = std::min(first, e[3]);
        }
        EXPECT_EQ(first, arrays);
        expectTiffPixels(path, *im);
    }
}
