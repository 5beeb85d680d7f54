// The frame information block in a record's head and the Bayer code arithmetic of cut and
// flipped mosaics.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "ezImage/ezImage.h"

namespace {

/// The colour (0 red, 1 green, 2 blue) at (x, y) of a mosaic with the given code.
int colourAt(int code, int x, int y) {
    const char* name = ezBayerName(code);
    const char c = name[(y & 1) * 2 + (x & 1)];
    return c == 'R' ? 0 : c == 'G' ? 1 : 2;
}

} // namespace

TEST(BayerCodes, ShiftAndFlipAgreeWithTheMosaicTheyDescribe) {
    EXPECT_EQ(ezShiftBayer(0, 1, 1), 0);
    EXPECT_EQ(ezBayerName(0), nullptr);
    EXPECT_EQ(ezBayerName(5), nullptr);
    for (int code = 1; code <= 4; ++code) {
        // A mosaic cut at (dx, dy) shows at its (x, y) what the whole one shows at (x+dx, y+dy).
        for (int dx = 0; dx < 4; ++dx)
            for (int dy = 0; dy < 4; ++dy)
                for (int x = 0; x < 2; ++x)
                    for (int y = 0; y < 2; ++y)
                        EXPECT_EQ(colourAt(ezShiftBayer(code, dx, dy), x, y),
                                  colourAt(code, x + dx, y + dy));
        // Flipping a w x h mosaic puts its last column (row) first; odd and even sizes differ.
        for (int w : {6, 7})
            for (int h : {4, 5})
                for (int flip = 0; flip < 4; ++flip)
                    for (int x = 0; x < 2; ++x)
                        for (int y = 0; y < 2; ++y) {
                            const int sx = (flip & 1) ? w - 1 - x : x;
                            const int sy = (flip & 2) ? h - 1 - y : y;
                            EXPECT_EQ(colourAt(ezFlipBayer(code, flip, w, h), x, y),
                                      colourAt(code, sx, sy))
                                << code << " " << flip << " " << w << "x" << h;
                        }
    }
    EXPECT_STREQ(ezBayerName(3), "RGGB");
    EXPECT_EQ(ezFlipBayer(3, 1, 1600, 1200), 4); // RGGB mirrored over an even width: GRBG
}

TEST(FrameInfoBlock, TravelsInTheHeaderAreaOfOneBufferRecordsOnly) {
    std::vector<unsigned char> buffer(512 + 16);
    auto* image = reinterpret_cast<_ezImage*>(buffer.data());
    ezInitImageHeader(image, 4, 4, 1, 8, 512, buffer.data() + 512, 0, 0);
    HalvexFrameInfo info{};
    EXPECT_FALSE(ezReadFrameInfo(*image, info)); // no block yet

    HalvexFrameInfo written{};
    written.sequence = 42;
    written.exposureMs = 12.5f;
    std::strcpy(written.model, "VAh200C1");
    ASSERT_TRUE(ezWriteFrameInfo(*image, written));
    EXPECT_EQ(std::memcmp(buffer.data() + 56, "HXFI", 4), 0);
    ASSERT_TRUE(ezReadFrameInfo(*image, info));
    EXPECT_EQ(info.size, sizeof(HalvexFrameInfo));
    EXPECT_EQ(info.sequence, 42u);
    EXPECT_FLOAT_EQ(info.exposureMs, 12.5f);
    EXPECT_STREQ(info.model, "VAh200C1");

    // A smaller capacity fills only that much.
    HalvexFrameInfo part;
    std::memset(&part, 0xAB, sizeof part);
    ASSERT_TRUE(ezReadFrameInfo(buffer.data(), &part, 16));
    EXPECT_EQ(part.sequence, 42u);
    EXPECT_EQ(static_cast<unsigned char>(part.model[0]), 0xAB);

    // A record whose pixels lie elsewhere does not own the bytes after it.
    image->data = nullptr;
    EXPECT_FALSE(ezReadFrameInfo(*image, info));
    image->data = buffer.data() + 512;

    // A block that claims more than the header area holds is refused, as is a small header.
    uint32_t huge = 1000;
    std::memcpy(buffer.data() + 60, &huge, 4);
    EXPECT_FALSE(ezReadFrameInfo(*image, info));
    ASSERT_TRUE(ezWriteFrameInfo(*image, written));
    image->headerSize = 100;
    EXPECT_FALSE(ezReadFrameInfo(buffer.data(), &info, sizeof info));
    EXPECT_FALSE(ezWriteFrameInfo(*image, written));
    image->headerSize = 512;

    ezClearFrameInfo(*image);
    EXPECT_FALSE(ezReadFrameInfo(*image, info));
}
