// Geometry operations: cropping, flips, quarter turns, resize, binning, decimation, 16-bit
// fix-up and de-interlacing, checked pixel by pixel on small generated images.
#include "algorithms/geometry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

namespace {

/// An image record over an exactly sized vector, so any stray write shows under ASan.
struct GeoImage {
    _ezImage rec{};
    std::vector<unsigned char> buf;
    GeoImage(int w, int h, int channels, int depth) {
        buf.assign(static_cast<size_t>(w) * h * channels * depth / 8, 0);
        ezInitImageHeader(&rec, w, h, channels, depth, 56, buf.data(), 3, 0);
    }
    int samples() const { return rec.width * rec.height * rec.channels; }
    unsigned at(int y, int x, int k = 0) const {
        const size_t i = (static_cast<size_t>(y) * rec.width + x) * rec.channels + k;
        if (rec.depth == 8) return rec.data[i];
        uint16_t v;
        std::memcpy(&v, rec.data + 2 * i, 2);
        return v;
    }
    void set(int y, int x, int k, unsigned v) {
        const size_t i = (static_cast<size_t>(y) * rec.width + x) * rec.channels + k;
        if (rec.depth == 8)
            rec.data[i] = static_cast<unsigned char>(v);
        else {
            const uint16_t s = static_cast<uint16_t>(v);
            std::memcpy(rec.data + 2 * i, &s, 2);
        }
    }
    void fill(const std::function<unsigned(int, int, int)>& f) {
        for (int y = 0; y < rec.height; ++y)
            for (int x = 0; x < rec.width; ++x)
                for (int k = 0; k < rec.channels; ++k) set(y, x, k, f(y, x, k));
    }
    void expectSize(int w, int h) const {
        EXPECT_EQ(rec.width, w);
        EXPECT_EQ(rec.height, h);
        EXPECT_EQ(rec.stride, w * rec.channels * rec.depth / 8);
        EXPECT_EQ(rec.tail, rec.data + static_cast<size_t>(rec.stride) * h);
        EXPECT_EQ(rec.headerSize, 56);
        EXPECT_EQ(rec.resolution, 3);
    }
};

unsigned pattern(int y, int x, int k) {
    return (y * 31 + x * 7 + k * 3) & 0xFF;
}

TEST(GeometryRoi, FullSizeIsNoOpAndCropPacksRows) {
    GeoImage img(100, 50, 3, 8);
    img.fill(pattern);
    std::memcpy(img.rec.magic, "XXXX", 4); // a header rewrite would restore the magic
    __roi(&img.rec, 0, 0, 100, 50);
    EXPECT_EQ(std::memcmp(img.rec.magic, "XXXX", 4), 0);

    __roi(&img.rec, 4, 4, 92, 42);
    img.expectSize(92, 42);
    EXPECT_EQ(img.rec.stride, 276);
    for (int y = 0; y < 42; ++y)
        for (int x = 0; x < 92; ++x)
            for (int k = 0; k < 3; ++k) ASSERT_EQ(img.at(y, x, k), pattern(y + 4, x + 4, k));
}

TEST(GeometryRoi, RectanglePastTheEdgeIsCutAndOutsideOriginIsRefused) {
    GeoImage img(40, 30, 1, 16);
    img.fill([](int y, int x, int) { return y * 1000 + x; });
    __roi(&img.rec, 35, 20, 20, 20);
    img.expectSize(5, 10);
    EXPECT_EQ(img.at(0, 0), 20035u);
    EXPECT_EQ(img.at(9, 4), 29039u);
    __roi(&img.rec, 5, 0, 2, 2); // origin outside the 5 x 10 image
    img.expectSize(5, 10);
    __roi(&img.rec, -1, 0, 2, 2);
    img.expectSize(5, 10);
}

TEST(GeometryFlip, BothBitsTurnByHalfAndEachBitMirrorsItsAxis) {
    GeoImage sq(3, 3, 1, 8);
    sq.fill([](int y, int x, int) { return y * 3 + x; });
    __flip(&sq.rec, 3);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 3; ++x) EXPECT_EQ(sq.at(y, x), unsigned((2 - y) * 3 + (2 - x)));

    // 16-bit colour pixels are moved whole (6 bytes each).
    GeoImage c(4, 3, 3, 16);
    c.fill([](int y, int x, int k) { return y * 4096 + x * 16 + k; });
    __flip(&c.rec, 1);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x)
            for (int k = 0; k < 3; ++k)
                EXPECT_EQ(c.at(y, x, k), unsigned(y * 4096 + (3 - x) * 16 + k));
    __flip(&c.rec, 2);
    for (int x = 0; x < 4; ++x) EXPECT_EQ(c.at(0, x, 1), unsigned(2 * 4096 + (3 - x) * 16 + 1));
    c.expectSize(4, 3);
}

TEST(GeometryRotate, QuarterTurnsMovePixelsAndSwapSides) {
    GeoImage img(3, 2, 3, 8);
    img.fill(pattern);
    const GeoImage orig = img;
    for (int flags : {0, 3, 4}) {
        __rotate(&img.rec, flags);
        EXPECT_EQ(img.buf, orig.buf);
        img.expectSize(3, 2);
    }
    __rotate(&img.rec, 2); // clockwise: (i, j) -> (j, H - 1 - i)
    img.expectSize(2, 3);
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) EXPECT_EQ(img.at(j, 1 - i, k), pattern(i, j, k));
    __rotate(&img.rec, 1); // and back
    img.expectSize(3, 2);
    EXPECT_EQ(img.buf, orig.buf);
    __rotate(&img.rec, 1); // counter-clockwise: (i, j) -> (W - 1 - j, i)
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 3; ++j) EXPECT_EQ(img.at(2 - j, i, 0), pattern(i, j, 0));
}

TEST(GeometryResize, SameSizeCopiesAndUpscaleInterpolates) {
    GeoImage src(5, 6, 3, 8);
    src.fill(pattern);
    GeoImage same(5, 6, 3, 8);
    __resize(&src.rec, &same.rec);
    EXPECT_EQ(same.buf, src.buf);

    // S(y, x) = 40y + 10x on 4 x 4, doubled: weights of 0.5 give exact midpoints.
    GeoImage g(4, 4, 1, 8);
    g.fill([](int y, int x, int) { return 40 * y + 10 * x; });
    GeoImage up(8, 8, 1, 8);
    __resize(&g.rec, &up.rec);
    EXPECT_EQ(up.at(0, 0), 0u);
    EXPECT_EQ(up.at(1, 1), 25u); // (50 + 40 + 10 + 0) / 4
    EXPECT_EQ(up.at(4, 2), 90u);
    EXPECT_EQ(up.at(0, 7), 30u); // right neighbour held at the last column
    // The last three rows look up and left: r = 5 gives y0 = 2, fy = 0.5.
    EXPECT_EQ(up.at(5, 2), 70u); // (S(1,1) + S(2,1)) / 2
    EXPECT_EQ(up.at(5, 1), 60u); // left neighbour held at column 0
    EXPECT_EQ(up.at(6, 4), 140u);
    EXPECT_EQ(up.at(7, 0), 100u); // (S(2,0) + S(3,0)) / 2

    // 16-bit source into an 8-bit destination takes the high byte.
    GeoImage w16(4, 4, 1, 16);
    w16.fill([](int y, int x, int) { return 0x1234 + y * 0x100 + x; });
    GeoImage d8(2, 2, 1, 8);
    __resize(&w16.rec, &d8.rec);
    EXPECT_EQ(d8.at(0, 0), 0x12u);
    EXPECT_EQ(d8.at(1, 1), 0x14u);
    GeoImage mismatch(2, 2, 3, 8);
    __resize(&w16.rec, &mismatch.rec);
    EXPECT_EQ(mismatch.at(0, 0), 0u);
}

TEST(GeometryBinning, MonoBinSaturatesAndRoundsSidesToFour) {
    GeoImage img(1030, 770, 1, 8);
    std::fill(img.buf.begin(), img.buf.end(), 100);
    __mbin(&img.rec, 2, 2);
    img.expectSize(512, 384);
    for (int i = 0; i < 512 * 384; ++i) ASSERT_EQ(img.buf[i], 255) << i;

    GeoImage w(18, 9, 1, 16);
    w.fill([](int y, int x, int) { return y * 100 + x; });
    __mbin(&w.rec, 2, 2);
    w.expectSize(8, 4);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 8; ++j) {
            unsigned sum = 0;
            for (int dy = 0; dy < 2; ++dy)
                for (int dx = 0; dx < 2; ++dx) sum += (2 * i + dy) * 100 + 2 * j + dx;
            EXPECT_EQ(w.at(i, j), sum);
        }

    // Without horizontal binning the rows are still packed to the rounded width.
    GeoImage v(10, 8, 1, 8);
    v.fill([](int y, int x, int) { return y * 10 + x; });
    __mbin(&v.rec, 1, 2);
    v.expectSize(8, 4);
    EXPECT_EQ(v.at(1, 7), unsigned(27 + 37));
    EXPECT_EQ(v.at(3, 0), unsigned(60 + 70));

    GeoImage tiny(6, 6, 1, 8); // 6 / 2 = 3 columns: nothing to bin into
    __mbin(&tiny.rec, 2, 2);
    tiny.expectSize(6, 6);
}

TEST(GeometryBinning, BayerBinKeepsTheMosaicPhase) {
    // RGGB: R = 10, G = 20 / 21, B = 30; 2 x 2 binning sums four same-colour samples.
    GeoImage img(16, 16, 1, 8);
    img.fill([](int y, int x, int) {
        return (y % 2 == 0) ? (x % 2 == 0 ? 10 : 20) : (x % 2 == 0 ? 21 : 30);
    });
    __cbin(&img.rec, 2, 2);
    img.expectSize(8, 8);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
            EXPECT_EQ(img.at(y, x),
                      (y % 2 == 0) ? (x % 2 == 0 ? 40u : 80u) : (x % 2 == 0 ? 84u : 120u));

    // Horizontal only (the doubled read-out mode), 16-bit, with distinct samples.
    GeoImage w(16, 4, 1, 16);
    w.fill([](int y, int x, int) { return 1000 * y + x; });
    __cbin(&w.rec, 2, 1);
    w.expectSize(8, 4);
    for (int y = 0; y < 4; ++y)
        for (int k = 0; k < 4; ++k) {
            EXPECT_EQ(w.at(y, 2 * k), unsigned(2000 * y + 4 * k + 4 * k + 2));
            EXPECT_EQ(w.at(y, 2 * k + 1), unsigned(2000 * y + (4 * k + 1) + (4 * k + 3)));
        }

    GeoImage sat(8, 8, 1, 16);
    sat.fill([](int, int, int) { return 40000; });
    __cbin(&sat.rec, 2, 2);
    sat.expectSize(4, 4);
    EXPECT_EQ(sat.at(3, 3), 65535u);
}

TEST(GeometryBinning, ColourBinSumsEachChannelAndClamps) {
    GeoImage img(8, 9, 3, 8);
    img.fill([](int y, int x, int k) { return k == 2 ? 200 : y + x + k; });
    __colorbin(&img.rec, 2, 2);
    img.expectSize(4, 4);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            EXPECT_EQ(img.at(i, j, 0), unsigned(4 * (2 * i + 2 * j) + 4));
            EXPECT_EQ(img.at(i, j, 1), unsigned(4 * (2 * i + 2 * j) + 8));
            EXPECT_EQ(img.at(i, j, 2), 255u);
        }
}

TEST(GeometrySkip, KeepsWholeSamplePairsAndRowPairs) {
    GeoImage img(8, 4, 1, 8);
    img.fill([](int y, int x, int) { return y * 16 + x; });
    __skip(&img.rec, 2, 1);
    img.expectSize(4, 4);
    const int cols[4] = {0, 1, 4, 5};
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) EXPECT_EQ(img.at(y, x), unsigned(y * 16 + cols[x]));

    GeoImage w(8, 8, 1, 16);
    w.fill([](int y, int x, int) { return y * 256 + x; });
    __skip(&w.rec, 2, 2);
    w.expectSize(4, 4);
    const int rows[4] = {0, 1, 4, 5};
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) EXPECT_EQ(w.at(y, x), unsigned(rows[y] * 256 + cols[x]));
}

TEST(GeometryRmac, ByteSwapAndTwelveBitAlignment) {
    GeoImage img(3, 2, 1, 16);
    img.fill([](int y, int x, int) { return 0x1234 + y * 0x1111 + x; });
    const auto orig = img.buf;
    __rmac(&img.rec, 0);
    EXPECT_EQ(img.at(0, 0), 0x3412u);
    __rmac(&img.rec, 0);
    EXPECT_EQ(img.buf, orig);

    img.buf[0] = 0xAB, img.buf[1] = 0x0C;
    img.buf[2] = 0xFF, img.buf[3] = 0xFF;
    __rmac(&img.rec, 1);
    EXPECT_EQ(img.at(0, 0), 0xABC0u);
    EXPECT_EQ(img.at(0, 1), 0xFFF0u);

    GeoImage b(4, 1, 1, 8);
    b.fill([](int, int x, int) { return x + 1; });
    const auto bytes = b.buf;
    __rmac(&b.rec, 0);
    __rmac(&b.rec, 1);
    EXPECT_EQ(b.buf, bytes);
}

TEST(GeometryInterlace, FieldsAreWovenAndBadLayoutsRefused) {
    GeoImage img(3, 8, 1, 8);
    img.fill([](int y, int, int) { return y; });
    const auto orig = img.buf;
    __interlace(&img.rec, 1, 3); // 1 + 4 > 3: rows would come from outside the field
    EXPECT_EQ(img.buf, orig);
    __interlace(&img.rec, 0, 4);
    const unsigned expect[8] = {0, 4, 1, 5, 2, 6, 3, 7};
    for (int y = 0; y < 8; ++y) EXPECT_EQ(img.at(y, 2), expect[y]);
}

TEST(GeometryBadInput, DegenerateRecordsAreLeftAlone) {
    _ezImage none{};
    GeoImage empty(0, 5, 1, 8);
    GeoImage odd(8, 8, 1, 12);
    for (_ezImage* r : {static_cast<_ezImage*>(nullptr), &none, &empty.rec, &odd.rec}) {
        __roi(r, 0, 0, 1, 1);
        __flip(r, 3);
        __rotate(r, 1);
        __resize(r, r);
        __mbin(r, 2, 2);
        __cbin(r, 2, 2);
        __colorbin(r, 2, 2);
        __skip(r, 2, 2);
        __rmac(r, 0);
        __interlace(r, 0, 4);
    }
    EXPECT_EQ(odd.rec.width, 8);
    GeoImage ok(8, 8, 1, 8);
    __mbin(&ok.rec, 0, 2);
    __skip(&ok.rec, 0, -1);
    __resize(&ok.rec, nullptr);
    ok.expectSize(8, 8);
}

} // namespace
