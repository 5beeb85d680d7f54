// RAW container: exact file sizes and header bytes, round trips, and hostile files.
#include <gtest/gtest.h>

#include <cstring>

#include "ezImage/bitstrm.h"
#include "ezImage/grfmt_raw.h"
#include "ezimage_test_util.h"

using hxtest::le16;
using hxtest::readFile;
using hxtest::RegistryTest;
using hxtest::writeFile;

TEST_F(RegistryTest, RawOfACameraFrameKeepsItsWholeHead) {
    // One buffer: a 512-byte camera head, the record at its start, pixels right after it.
    const int w = 1280, h = 960, head = 512;
    std::vector<unsigned char> frame(head + w * 2 * h);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<unsigned char>(i * 13 + 5);
    auto* rec = reinterpret_cast<_ezImage*>(frame.data());
    ezInitImageHeader(rec, w, h, 1, 16, head, frame.data() + head, 3, 0);
    rec->bayer = 2;
    rec->gain = 321;

    ASSERT_TRUE(ezSaveImage(dir.file("frame.raw"), rec));
    const auto bytes = readFile(dir.file("frame.raw"));
    ASSERT_EQ(bytes.size(), 2458112u);
    EXPECT_EQ(std::memcmp(bytes.data(), "QREZ", 4), 0);
    EXPECT_EQ(le16(bytes, 12), 512u);
    EXPECT_EQ(bytes[10], 2);
    EXPECT_EQ(le16(bytes, 34), 321u);
    for (int i = 16; i < 32; ++i) EXPECT_EQ(bytes[i], 0) << "pointer byte " << i;
    EXPECT_TRUE(std::equal(bytes.begin() + 56, bytes.end(), frame.begin() + 56));

    // Read back: same geometry and pixels.
    _ezImage* back = ezLoadImage(dir.file("frame.raw"));
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->width, w);
    EXPECT_EQ(back->height, h);
    EXPECT_EQ(back->depth, 16);
    EXPECT_EQ(back->headerSize, head);
    EXPECT_EQ(std::memcmp(back->data, frame.data() + head, w * 2 * h), 0);
    ezReleaseImage(&back);
}

TEST_F(RegistryTest, RawOfASeparateRecordIsHeaderAndPixels) {
    hxtest::ImagePtr small = hxtest::patternImage(4, 2, 8, 1);
    ASSERT_TRUE(ezSaveImage(dir.file("small.raw"), small.get()));
    const auto bytes = readFile(dir.file("small.raw"));
    ASSERT_EQ(bytes.size(), 64u);
    EXPECT_EQ(std::memcmp(bytes.data() + 56, small->data, 8), 0);

    // A separate record that claims a longer header: the gap is written as zeros, not read from
    // beyond the record.
    small->headerSize = 100;
    ASSERT_TRUE(ezSaveImage(dir.file("gap.raw"), small.get()));
    const auto gap = readFile(dir.file("gap.raw"));
    ASSERT_EQ(gap.size(), 108u);
    EXPECT_TRUE(std::all_of(gap.begin() + 56, gap.begin() + 100, [](auto b) { return b == 0; }));
    _ezImage* back = ezLoadImage(dir.file("gap.raw"));
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(std::memcmp(back->data, small->data, 8), 0);
    ezReleaseImage(&back);

    // Colour records are written but refused by the reader.
    hxtest::ImagePtr rgb = hxtest::patternImage(3, 3, 8, 3);
    ASSERT_TRUE(ezSaveImage(dir.file("rgb.raw"), rgb.get()));
    EXPECT_EQ(readFile(dir.file("rgb.raw")).size(), 56u + 27u);
    EXPECT_EQ(ezLoadImage(dir.file("rgb.raw")), nullptr);
}

namespace {
std::vector<unsigned char> rawHeader(int w, int h, int depth, int channels, int offset) {
    std::vector<unsigned char> b(56, 0);
    std::memcpy(b.data(), "QREZ", 4);
    b[4] = w & 0xFF, b[5] = (w >> 8) & 0xFF;
    b[6] = h & 0xFF, b[7] = (h >> 8) & 0xFF;
    b[8] = static_cast<unsigned char>(depth);
    b[9] = static_cast<unsigned char>(channels);
    b[12] = offset & 0xFF, b[13] = (offset >> 8) & 0xFF;
    return b;
}
} // namespace

TEST_F(RegistryTest, HostileRawFilesAreRefusedOrReadSafely) {
    const std::string path = dir.file("bad.raw");
    // Refused at the header: zero or oversized geometry, colour, odd depths, other signatures.
    for (const auto& header :
         {rawHeader(0, 10, 8, 1, 56), rawHeader(10, 0, 8, 1, 56),
          rawHeader(65535, 65535, 16, 1, 56), rawHeader(20000, 20000, 8, 1, 56),
          rawHeader(10, 10, 8, 3, 56), rawHeader(10, 10, 12, 1, 56), rawHeader(10, 10, 0, 1, 56)}) {
        writeFile(path, header);
        EXPECT_EQ(ezLoadImage(path), nullptr);
    }
    writeFile(path, {'Q', 'R', 'E', 'Z', 10, 0});
    EXPECT_EQ(ezLoadImage(path), nullptr);
    writeFile(path, {'Q', 'R', 'E'});
    EXPECT_EQ(ezLoadImage(path), nullptr);
    writeFile(path, {});
    EXPECT_EQ(ezLoadImage(path), nullptr);
    EXPECT_EQ(ezLoadImage(dir.file("absent.raw")), nullptr);

    // Accepted headers over missing data: pixels past the end read as zero.
    auto truncated = rawHeader(100, 50, 16, 1, 56);
    truncated.resize(56 + 10, 0x7F);
    writeFile(path, truncated);
    _ezImage* image = ezLoadImage(path);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->data[9], 0x7F);
    EXPECT_EQ(image->data[10], 0);
    EXPECT_EQ(image->data[100 * 2 * 50 - 1], 0);
    ezReleaseImage(&image);

    // Pixels beyond the end of the file read as zero; pixels inside the 56-byte record could
    // not be saved back as they were read, so such files are refused.
    for (int offset : {65535, 56}) {
        writeFile(path, rawHeader(64, 64, 8, 1, offset));
        image = ezLoadImage(path);
        ASSERT_NE(image, nullptr) << offset;
        EXPECT_EQ(image->headerSize, offset);
        ezReleaseImage(&image);
    }
    for (int offset : {0, 1, 4, 55}) {
        writeFile(path, rawHeader(64, 64, 8, 1, offset));
        EXPECT_EQ(ezLoadImage(path), nullptr) << offset;
    }

    // A decoder used without a successful header reads nothing.
    RawDecoder decoder;
    RBaseStream stream;
    hxtest::ImagePtr target(ezCreateImage(4, 4, 8, 1, 56, 0));
    EXPECT_FALSE(decoder.readData(*target, stream));
}

TEST_F(RegistryTest, RawRowsWiderThanTheRecordCanDescribeAreRefused) {
    const std::string path = dir.file("wide.raw");
    // 32767 samples of 16 bits are 65534 bytes a row: loaded, and saved back byte for byte.
    auto wide = rawHeader(32767, 2, 16, 1, 56);
    for (int i = 0; i < 32767 * 2 * 2; ++i)
        wide.push_back(static_cast<unsigned char>(i * 7 + i / 65534));
    writeFile(path, wide);
    _ezImage* image = ezLoadImage(path);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->stride, 65534);
    EXPECT_EQ(image->data[65534], wide[56 + 65534]); // the second row starts where it should
    ASSERT_TRUE(ezSaveImage(dir.file("again.raw"), image));
    const auto again = readFile(dir.file("again.raw"));
    ASSERT_EQ(again.size(), wide.size());
    EXPECT_EQ(le16(again, 14), 65534u);
    EXPECT_TRUE(std::equal(again.begin() + 56, again.end(), wide.begin() + 56));
    ezReleaseImage(&image);

    // One sample more would need a 65536-byte row: refused rather than loaded with rows
    // misplaced. At 8 bits the same width is fine.
    writeFile(path, rawHeader(32768, 2, 16, 1, 56));
    EXPECT_EQ(ezLoadImage(path), nullptr);
    auto narrow = rawHeader(32768, 2, 8, 1, 56);
    narrow.resize(56 + 65536, 1);
    writeFile(path, narrow);
    image = ezLoadImage(path);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->stride, 32768);
    ezReleaseImage(&image);
}

TEST_F(RegistryTest, RawWriterRefusesRecordsThatWouldNotReadBack) {
    hxtest::ImagePtr image = hxtest::patternImage(8, 4, 16, 1);
    // A stride that disagrees with the geometry (as a wrapped 16-bit row length would).
    image->stride = 8;
    EXPECT_FALSE(ezSaveImage(dir.file("stride.raw"), image.get()));
    image->stride = 16;
    // A header shorter than the record: the pixels would start inside it.
    image->headerSize = 0;
    EXPECT_FALSE(ezSaveImage(dir.file("head0.raw"), image.get()));
    image->headerSize = 55;
    EXPECT_FALSE(ezSaveImage(dir.file("head55.raw"), image.get()));
    EXPECT_TRUE(dir.entries().empty());
    image->headerSize = 56;
    EXPECT_TRUE(ezSaveImage(dir.file("good.raw"), image.get()));
}
