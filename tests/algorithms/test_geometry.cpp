// Geometry operations checked pixel by pixel on small generated images.
#include "algorithms/geometry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

namespace {

/// A record over an exactly sized vector, so any stray write shows under ASan.
struct GeoImage {
    _ezImage rec{};
    std::vector<unsigned char> buf;
    GeoImage(int w, int h, int channels, int depth,
             const std::function<unsigned(int, int, int)>& f = nullptr) {
        buf.assign(size_t(w) * h * channels * depth / 8, 0);
        ezInitImageHeader(&rec, w, h, channels, depth, 56, buf.data(), 3, 0);
        for (int y = 0; f && y < h; ++y)
            for (int x = 0; x < w; ++x)
                for (int k = 0; k < channels; ++k) set(y, x, k, f(y, x, k));
    }
    size_t index(int y, int x, int k) const {
        return (size_t(y) * rec.width + x) * rec.channels + k;
    }
    unsigned at(int y, int x, int k = 0) const {
        uint16_t v = 0;
        std::memcpy(&v, rec.data + index(y, x, k) * rec.depth / 8, rec.depth / 8);
        return v;
    }
    void set(int y, int x, int k, unsigned v) {
        std::memcpy(rec.data + index(y, x, k) * rec.depth / 8, &v, rec.depth / 8);
    }
    void expectSize(int w, int h) const {
        EXPECT_EQ(rec.width, w);
        EXPECT_EQ(rec.height, h);
        EXPECT_EQ(rec.stride, w * rec.channels * rec.depth / 8);
        EXPECT_EQ(rec.tail, rec.data + size_t(rec.stride) * h);
        EXPECT_EQ(rec.headerSize, 56);
        EXPECT_EQ(rec.resolution, 3);
    }
};

unsigned pattern(int y, int x, int k) {
    return (y * 31 + x * 7 + k * 3) & 0xFF;
}

TEST(GeometryRoi, FullSizeIsNoOpCropPacksRowsAndOverrunIsCut) {
    GeoImage img(100, 50, 3, 8, pattern);
    std::memcpy(img.rec.magic, "XXXX", 4); // a header rewrite would restore the magic
    __roi(&img.rec, 0, 0, 100, 50);
    EXPECT_EQ(std::memcmp(img.rec.magic, "XXXX", 4), 0);
    __roi(&img.rec, 4, 4, 92, 42);
    img.expectSize(92, 42);
    EXPECT_EQ(img.rec.stride, 276);
    for (int y = 0; y < 42; ++y)
        for (int x = 0; x < 92; ++x)
            for (int k = 0; k < 3; ++k) ASSERT_EQ(img.at(y, x, k), pattern(y + 4, x + 4, k));

    GeoImage w(40, 30, 1, 16, [](int y, int x, int) { return y * 1000 + x; });
    __roi(&w.rec, 35, 20, 20, 20);
    w.expectSize(5, 10);
    EXPECT_EQ(w.at(9, 4), 29039u);
    __roi(&w.rec, 5, 0, 2, 2); // origin outside: refused
    __roi(&w.rec, -1, 0, 2, 2);
    w.expectSize(5, 10);
}

TEST(GeometryFlipRotate, HalfTurnMirrorAndQuarterTurns) {
    GeoImage sq(3, 3, 1, 8, [](int y, int x, int) { return y * 3 + x; });
    __flip(&sq.rec, 3);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(sq.buf[i], 8 - i);

    GeoImage c(4, 3, 3, 16, [](int y, int x, int k) { return y * 4096 + x * 16 + k; });
    __flip(&c.rec, 1); // 6-byte pixels move whole
    for (int x = 0; x < 4; ++x)
        for (int k = 0; k < 3; ++k) EXPECT_EQ(c.at(1, x, k), unsigned(4096 + (3 - x) * 16 + k));
    __flip(&c.rec, 2);
    EXPECT_EQ(c.at(0, 0, 1), unsigned(2 * 4096 + 3 * 16 + 1));

    GeoImage r(3, 2, 3, 8, pattern);
    const auto orig = r.buf;
    __rotate(&r.rec, 3);
    EXPECT_EQ(r.buf, orig);
    r.expectSize(3, 2);
    __rotate(&r.rec, 2); // clockwise: (i, j) -> (j, H - 1 - i)
    r.expectSize(2, 3);
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) EXPECT_EQ(r.at(j, 1 - i, k), pattern(i, j, k));
    __rotate(&r.rec, 1);
    EXPECT_EQ(r.buf, orig);
}

TEST(GeometryResize, SameSizeCopiesUpscaleInterpolatesAndDepthsBridge) {
    GeoImage src(5, 6, 3, 8, pattern), same(5, 6, 3, 8);
    __resize(&src.rec, &same.rec);
    EXPECT_EQ(same.buf, src.buf);

    // S(y, x) = 40y + 10x doubled: half weights give exact midpoints.
    GeoImage g(4, 4, 1, 8, [](int y, int x, int) { return 40 * y + 10 * x; }), up(8, 8, 1, 8);
    __resize(&g.rec, &up.rec);
    EXPECT_EQ(up.at(1, 1), 25u); // (50 + 40 + 10 + 0) / 4
    EXPECT_EQ(up.at(4, 2), 90u);
    EXPECT_EQ(up.at(0, 7), 30u); // right neighbour held at the last column
    // The last three rows look up and left: row 5 has y0 = 2, fy = 0.5.
    EXPECT_EQ(up.at(5, 2), 70u); // (S(1,1) + S(2,1)) / 2
    EXPECT_EQ(up.at(5, 1), 60u); // left neighbour held at column 0
    EXPECT_EQ(up.at(7, 0), 100u);

    GeoImage w16(4, 4, 1, 16, [](int y, int x, int) { return 0x1234 + y * 0x100 + x; });
    GeoImage d8(2, 2, 1, 8);
    __resize(&w16.rec, &d8.rec); // high bytes
    EXPECT_EQ(d8.at(0, 0), 0x12u);
    EXPECT_EQ(d8.at(1, 1), 0x14u);
}

TEST(GeometryBinning, MonoBinSaturatesAndPacksToMultiplesOfFour) {
    GeoImage img(1030, 770, 1, 8, [](int, int, int) { return 100; });
    __mbin(&img.rec, 2, 2);
    img.expectSize(512, 384);
    for (int i = 0; i < 512 * 384; ++i) ASSERT_EQ(img.buf[i], 255) << i;

    GeoImage w(18, 9, 1, 16, [](int y, int x, int) { return y * 100 + x; });
    __mbin(&w.rec, 2, 2);
    w.expectSize(8, 4);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 8; ++j) EXPECT_EQ(w.at(i, j), unsigned(4 * (200 * i + 2 * j) + 202));

    // Without horizontal binning the rows are still packed to the rounded width.
    GeoImage v(10, 8, 1, 8, [](int y, int x, int) { return y * 10 + x; });
    __mbin(&v.rec, 1, 2);
    v.expectSize(8, 4);
    EXPECT_EQ(v.at(1, 7), 27u + 37u);
    GeoImage four(16, 17, 1, 16, [](int y, int x, int) { return y + x; });
    __mbin(&four.rec, 4, 4);
    four.expectSize(4, 4);
    EXPECT_EQ(four.at(3, 2), unsigned(16 * (12 + 8) + 4 * 6 + 4 * 6));
    GeoImage tiny(6, 6, 1, 8); // 6 / 2 < 4 columns: nothing to bin into
    __mbin(&tiny.rec, 2, 2);
    tiny.expectSize(6, 6);
}

TEST(GeometryBinning, BayerAndColourBinKeepTheirStructure) {
    // RGGB with R = 10, G = 20 / 21, B = 30 stays RGGB with four-sample sums.
    auto rggb = [](int y, int x, int) { return y % 2 ? (x % 2 ? 30 : 21) : (x % 2 ? 20 : 10); };
    GeoImage img(16, 16, 1, 8, rggb);
    __cbin(&img.rec, 2, 2);
    img.expectSize(8, 8);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) EXPECT_EQ(img.at(y, x), 4u * rggb(y, x, 0));

    GeoImage big(32, 32, 1, 8, rggb);
    __cbin(&big.rec, 4, 4);
    big.expectSize(8, 8);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) EXPECT_EQ(big.at(y, x), std::min(255u, 16u * rggb(y, x, 0)));

    GeoImage w(16, 4, 1, 16, [](int y, int x, int) { return 1000 * y + x; });
    __cbin(&w.rec, 2, 1); // the doubled read-out mode
    w.expectSize(8, 4);
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(w.at(3, 2 * k), unsigned(6000 + 8 * k + 2));
        EXPECT_EQ(w.at(3, 2 * k + 1), unsigned(6000 + 8 * k + 4));
    }
    GeoImage sat(8, 8, 1, 16, [](int, int, int) { return 40000; });
    __cbin(&sat.rec, 2, 2);
    EXPECT_EQ(sat.at(3, 3), 65535u);

    GeoImage c(8, 9, 3, 8, [](int y, int x, int k) { return k == 2 ? 200 : y + x + k; });
    __colorbin(&c.rec, 2, 2);
    c.expectSize(4, 4);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            EXPECT_EQ(c.at(i, j, 1), unsigned(8 * (i + j) + 8));
            EXPECT_EQ(c.at(i, j, 2), 255u);
        }
}

TEST(GeometrySkipInterlace, WholeSamplePairsAndWovenFields) {
    GeoImage w(8, 8, 1, 16, [](int y, int x, int) { return y * 256 + x; });
    __skip(&w.rec, 2, 2);
    w.expectSize(4, 4);
    const int keep[4] = {0, 1, 4, 5};
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) EXPECT_EQ(w.at(y, x), unsigned(keep[y] * 256 + keep[x]));

    GeoImage f(3, 8, 1, 8, [](int y, int, int) { return y; });
    const auto orig = f.buf;
    __interlace(&f.rec, 1, 3); // rows would come from outside the first field
    EXPECT_EQ(f.buf, orig);
    __interlace(&f.rec, 0, 4);
    const unsigned woven[8] = {0, 4, 1, 5, 2, 6, 3, 7};
    for (int y = 0; y < 8; ++y) EXPECT_EQ(f.at(y, 2), woven[y]);
}

TEST(GeometryRmac, ByteSwapAndTwelveBitAlignment) {
    GeoImage img(3, 2, 1, 16, [](int y, int x, int) { return 0x1234 + y * 0x1111 + x; });
    const auto orig = img.buf;
    __rmac(&img.rec, 0);
    EXPECT_EQ(img.at(0, 0), 0x3412u);
    __rmac(&img.rec, 0);
    EXPECT_EQ(img.buf, orig);
    img.buf[0] = 0xAB, img.buf[1] = 0x0C, img.buf[2] = 0xFF, img.buf[3] = 0xFF;
    __rmac(&img.rec, 1);
    EXPECT_EQ(img.at(0, 0), 0xABC0u);
    EXPECT_EQ(img.at(0, 1), 0xFFF0u);
    GeoImage b(4, 1, 1, 8, [](int, int x, int) { return x + 1; });
    __rmac(&b.rec, 0);
    EXPECT_EQ(b.at(0, 0), 1u);
}

TEST(GeometryBadInput, DegenerateRecordsAreLeftAlone) {
    _ezImage none{};
    GeoImage empty(0, 5, 1, 8), odd(8, 8, 1, 12), ok(8, 8, 1, 8);
    for (_ezImage* r : {static_cast<_ezImage*>(nullptr), &none, &empty.rec, &odd.rec}) {
        __roi(r, 0, 0, 1, 1);
        __flip(r, 3);
        __rotate(r, 1);
        __resize(r, r);
        __resize(r, &ok.rec);
        __mbin(r, 2, 2);
        __cbin(r, 2, 2);
        __colorbin(r, 2, 2);
        __skip(r, 2, 2);
        __rmac(r, 0);
        __interlace(r, 0, 4);
    }
    odd.expectSize(8, 8);
    __mbin(&ok.rec, 0, 2);
    __skip(&ok.rec, 0, -1);
    __resize(&ok.rec, nullptr);
    ok.expectSize(8, 8);
}

} // namespace
