// The image record: layout, allocation, copy.
#include <gtest/gtest.h>

#include <cstring>

#include "ezImage/ezImage.h"

TEST(ImageRecord, CreateLaysOutHeader) {
    _ezImage* image = ezCreateImage(640, 480, 8, 3, 56, 2);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(std::memcmp(image->magic, "QREZ", 4), 0);
    EXPECT_EQ(image->stride, 1920);
    EXPECT_EQ(image->tail, image->data + 921600);
    EXPECT_EQ(image->decoded, 0);
    EXPECT_EQ(image->resolution, 2);
    EXPECT_EQ(image->headerSize, 56);
    ezReleaseImage(&image);
    EXPECT_EQ(image, nullptr);
    ezReleaseImage(&image); // a null record is ignored
    EXPECT_EQ(image, nullptr);
}

TEST(ImageRecord, InitKeepsMetadataAndComputesStride) {
    unsigned char buffer[56 + 2000 * 2] = {};
    auto* image = reinterpret_cast<_ezImage*>(buffer);
    image->gain = 77;
    image->average1 = 1234;
    ezInitImageHeader(image, 1000, 2, 1, 16, 56, buffer + 56, 5, 1);
    EXPECT_EQ(image->stride, 2000);
    EXPECT_EQ(image->tail, buffer + 56 + 4000);
    EXPECT_EQ(image->gain, 77);
    EXPECT_EQ(image->average1, 1234);
    EXPECT_EQ(image->decoded, 1);
}

TEST(ImageRecord, CopyMovesPixelsAndMeansOnly) {
    _ezImage* src = ezCreateImage(4, 2, 8, 1, 56, 0);
    _ezImage* dst = ezCreateImage(8, 8, 8, 1, 56, 1);
    ASSERT_TRUE(src && dst);
    for (int i = 0; i < 8; ++i) src->data[i] = static_cast<unsigned char>(i + 1);
    src->average0 = 9;
    src->bayer = 3;
    ezCopyImage(dst, src);
    EXPECT_EQ(std::memcmp(dst->data, src->data, 8), 0);
    EXPECT_EQ(dst->width, 8);
    EXPECT_EQ(dst->average0, 9);
    EXPECT_EQ(dst->bayer, 3);
    ezCopyImage(nullptr, src);
    ezCopyImage(dst, nullptr);
    EXPECT_EQ(ezCreateImage(-1, 5, 8, 1, 56, 0), nullptr);
    ezReleaseImage(&src);
    ezReleaseImage(&dst);
}

TEST(ImageRecord, CreateRefusesSizesTheHeaderCannotHold) {
    struct Case {
        int width, height, depth, channels, headerSize;
        bool made;
        int stride;
    };
    const Case cases[] = {
        {32767, 1, 16, 1, 56, true, 65534}, // the widest 16-bit row that fits
        {32768, 1, 16, 1, 56, false, 0},    // 65536 bytes would be stored as 0
        {65535, 1, 8, 1, 56, true, 65535},
        {65536, 1, 8, 1, 56, false, 0}, // the width itself wraps
        {21845, 1, 8, 3, 56, true, 65535},
        {21846, 1, 8, 3, 56, false, 0},
        {10923, 1, 16, 3, 56, false, 0},
        {4, 65535, 8, 1, 56, true, 4},
        {4, 65536, 8, 1, 56, false, 0},
        {4, 1, 8, 1, 65535, true, 4},
        {4, 1, 8, 1, 65536, false, 0},
    };
    for (const Case& c : cases) {
        _ezImage* image = ezCreateImage(c.width, c.height, c.depth, c.channels, c.headerSize, 0);
        EXPECT_EQ(image != nullptr, c.made) << c.width << "x" << c.height << "x" << c.channels;
        if (!image) continue;
        EXPECT_EQ(image->stride, c.stride);
        EXPECT_EQ(image->tail, image->data + static_cast<size_t>(c.stride) * c.height);
        ezReleaseImage(&image);
    }
}
