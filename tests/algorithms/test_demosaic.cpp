// Demosaic, colour-correction table and YUV conversion.
#include "algorithms/demosaic.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

using hx::algorithms::DemosaicPath;

namespace {

constexpr unsigned char kSentinel = 0xA5;

/// A raw record and a three-channel output record over owned buffers; the output starts filled
/// with a sentinel so unwritten pixels can be told apart.
struct Frames {
    int width, height, depth;
    std::vector<unsigned char> rawBuf, outBuf;
    _ezImage raw{}, out{};

    Frames(int w, int h, int d, int outChannels = 3)
        : width(w), height(h), depth(d), rawBuf(size_t(w) * h * d / 8),
          outBuf(size_t(w) * h * outChannels * d / 8 + 64, kSentinel) {
        ezInitImageHeader(&raw, w, h, 1, d, 56, rawBuf.data(), 0, 0);
        ezInitImageHeader(&out, w, h, outChannels, d, 56, outBuf.data(), 0, 0);
    }
    void set(int y, int x, unsigned v) {
        if (depth == 8)
            rawBuf[size_t(y) * width + x] = static_cast<unsigned char>(v);
        else
            reinterpret_cast<uint16_t*>(rawBuf.data())[size_t(y) * width + x] = uint16_t(v);
    }
    unsigned get(int y, int x, int s) const {
        const size_t i = (size_t(y) * width + x) * 3 + s;
        return depth == 8 ? outBuf[i] : reinterpret_cast<const uint16_t*>(outBuf.data())[i];
    }
    bool untouched(int y, int x) const {
        const size_t bytes = 3 * depth / 8;
        for (size_t i = 0; i < bytes; ++i)
            if (outBuf[(size_t(y) * width + x) * bytes + i] != kSentinel) return false;
        return true;
    }
    void randomise(std::mt19937& rng) {
        for (auto& b : rawBuf) b = static_cast<unsigned char>(rng());
    }
};

/// Restores the automatic path choice after a test.
struct PathGuard {
    ~PathGuard() { hx::algorithms::setDemosaicPath(DemosaicPath::Auto); }
};

class ColourTable : public ::testing::Test {
protected:
    static void SetUpTestSuite() { __init_algorithms(); }
    static void TearDownTestSuite() { __exit_algorithms(); }
};

const unsigned char* entry(int b, int g, int r) {
    return pCCM + ((size_t(b) << 16) | (size_t(g) << 8) | r) * 3;
}

} // namespace

TEST_F(ColourTable, KnownEntriesAndFullScaleHighlights) {
    ASSERT_NE(pCCM, nullptr);
    const struct {
        int in[3], out[3];
    } cases[] = {{{100, 100, 100}, {111, 90, 96}},
                 {{200, 200, 200}, {217, 186, 194}},
                 {{50, 100, 150}, {30, 106, 166}},
                 {{255, 255, 255}, {255, 255, 255}}};
    for (const auto& c : cases) {
        const unsigned char* e = entry(c.in[0], c.in[1], c.in[2]);
        EXPECT_EQ(e[0], c.out[0]);
        EXPECT_EQ(e[1], c.out[1]);
        EXPECT_EQ(e[2], c.out[2]);
    }
    // A channel at full scale passes unchanged whatever the others are.
    for (int v = 0; v < 256; v += 15) {
        EXPECT_EQ(entry(255, v, 255 - v)[0], 255);
        EXPECT_EQ(entry(v, 255, 255 - v)[1], 255);
        EXPECT_EQ(entry(v, 255 - v, 255)[2], 255);
    }
    EXPECT_EQ(m11, 1.6784839334);
    EXPECT_EQ(m20, 0.0612704825);
}

TEST_F(ColourTable, EveryEntryMatchesThePlainFormulaAndRebuildReuses) {
    PathGuard guard;
    for (DemosaicPath path : {DemosaicPath::Portable, DemosaicPath::Auto}) {
        hx::algorithms::setDemosaicPath(path);
        __exit_algorithms();
        EXPECT_EQ(pCCM, nullptr);
        __init_algorithms();
        unsigned char* before = pCCM;
        __init_algorithms();
        EXPECT_EQ(pCCM, before);
        long mismatches = 0;
        for (int b = 0; b < 256; ++b)
            for (int g = b % 5; g < 256; g += 5)
                for (int r = 0; r < 256; ++r) {
                    unsigned char want[3];
                    hx::algorithms::colourCorrectReference(b, g, r, want);
                    mismatches += std::memcmp(entry(b, g, r), want, 3) != 0;
                }
        EXPECT_EQ(mismatches, 0) << "path " << int(path);
    }
}

TEST_F(ColourTable, CorrectedDecodeLooksUpPairsOnly) {
    for (int depth : {8, 16}) {
        Frames f(9, 6, depth);
        for (int y = 0; y < 6; ++y)
            for (int x = 0; x < 9; ++x) f.set(y, x, depth == 8 ? 100 : 0x6437);
        __decode_rawdata(&f.raw, &f.out, 3);
        // Row 1 (non-green first) holds pairs at 1..6 and a single site at 7; row 2 starts
        // with a green pixel at 1, then pairs at 2..7.
        const unsigned lo = depth == 8 ? 0 : 0x37, sh = depth == 8 ? 0 : 8;
        for (int x : {1, 2, 5, 6}) {
            EXPECT_EQ(f.get(1, x, 0), (96u << sh) | lo);
            EXPECT_EQ(f.get(1, x, 1), (90u << sh) | lo);
            EXPECT_EQ(f.get(1, x, 2), (111u << sh) | lo);
        }
        const unsigned plain = depth == 8 ? 100 : 0x6437;
        for (int s = 0; s < 3; ++s) {
            EXPECT_EQ(f.get(1, 7, s), plain);
            EXPECT_EQ(f.get(2, 1, s), plain);
            EXPECT_EQ(f.get(2, 7, s), (s == 0 ? 96u : s == 1 ? 90u : 111u) << sh | lo);
        }
    }
}

TEST_F(ColourTable, VectorPathsMatchReferenceOnRandomFrames) {
    PathGuard guard;
    std::mt19937 rng(12345);
    const int widths[] = {3, 4, 5, 6, 7, 36, 37, 38, 39, 70, 71, 101, 134};
    const int heights[] = {4, 5, 7, 8};
    std::vector<DemosaicPath> paths{DemosaicPath::Portable};
    if (hx::algorithms::demosaicHasAvx2()) {
        paths.push_back(DemosaicPath::Avx2);
        paths.push_back(DemosaicPath::Avx2Table);
        paths.push_back(DemosaicPath::Auto); // 16 lanes where the processor has AVX-512
    }
    for (int depth : {8, 16})
        for (int w : widths)
            for (int h : heights)
                for (int bayer = 1; bayer <= 4; ++bayer)
                    for (bool correct : {false, true}) {
                        Frames ref(w, h, depth);
                        ref.randomise(rng);
                        hx::algorithms::decodeRawReference(&ref.raw, &ref.out, bayer, correct);
                        for (DemosaicPath path : paths) {
                            Frames f(w, h, depth);
                            f.rawBuf = ref.rawBuf;
                            hx::algorithms::setDemosaicPath(path);
                            if (correct)
                                __decode_rawdata(&f.raw, &f.out, bayer);
                            else
                                __decode_rawdatafast(&f.raw, &f.out, bayer);
                            ASSERT_EQ(f.outBuf, ref.outBuf)
                                << "depth " << depth << " size " << w << "x" << h << " code "
                                << bayer << " corrected " << correct << " path " << int(path);
                        }
                    }
}

TEST_F(ColourTable, ComputedCorrectionEqualsTheTableForEveryInput) {
    // Every one of the 16.7 million inputs through the correction the vector demosaic uses
    // (computed where the processor allows, 16 lanes or 8, else looked up) and through the
    // plain computed form of the portable path, against the table.
    PathGuard guard;
    for (DemosaicPath path : {DemosaicPath::Auto, DemosaicPath::Avx2, DemosaicPath::Portable}) {
        hx::algorithms::setDemosaicPath(path);
        const size_t n = size_t(1) << 24;
        std::vector<unsigned char> px(3 * n);
        for (size_t i = 0; i < n; ++i) {
            px[3 * i] = static_cast<unsigned char>(i);           // red
            px[3 * i + 1] = static_cast<unsigned char>(i >> 8);  // green
            px[3 * i + 2] = static_cast<unsigned char>(i >> 16); // blue
        }
        hx::algorithms::colourCorrectPixels(px.data(), n);
        long mismatches = 0;
        size_t first = n;
        for (size_t i = 0; i < n; ++i) {
            const unsigned char* e = pCCM + i * 3; // key (blue, green, red) = i
            if (px[3 * i] != e[2] || px[3 * i + 1] != e[1] || px[3 * i + 2] != e[0]) {
                if (!mismatches) first = i;
                ++mismatches;
            }
        }
        EXPECT_EQ(mismatches, 0) << "path " << int(path) << " first at blue " << (first >> 16)
                                 << " green " << ((first >> 8) & 255) << " red " << (first & 255);
    }
}

namespace {

/// Runs the pixels (red, green, blue) of px through the computed correction and counts those
/// that differ from the table.
long correctedMismatches(std::vector<unsigned char> px) {
    const std::vector<unsigned char> in = px;
    hx::algorithms::colourCorrectPixels(px.data(), px.size() / 3);
    long mismatches = 0;
    for (size_t i = 0; i < px.size(); i += 3) {
        const unsigned char* e = entry(in[i + 2], in[i + 1], in[i]);
        mismatches += px[i] != e[2] || px[i + 1] != e[1] || px[i + 2] != e[0];
    }
    return mismatches;
}

/// Every input that keep accepts, in order, with filler after every 15 of them (none when
/// filler is negative), as pixels (red, green, blue).
template <typename Keep> std::vector<unsigned char> inputPixels(Keep keep, int filler) {
    std::vector<unsigned char> px(size_t(3) << 25);
    size_t n = 0;
    int run = 0;
    for (int b = 0; b < 256; ++b)
        for (int g = 0; g < 256; ++g)
            for (int r = 0; r < 256; ++r) {
                if (!keep(b, g, r)) continue;
                px[n] = uint8_t(r), px[n + 1] = uint8_t(g), px[n + 2] = uint8_t(b);
                n += 3;
                if (filler >= 0 && ++run == 15) {
                    run = 0;
                    px[n] = px[n + 1] = px[n + 2] = uint8_t(filler);
                    n += 3;
                }
            }
    px.resize(n);
    return px;
}

} // namespace

TEST_F(ColourTable, EveryFormOfTheComputedCorrectionEqualsTheTable) {
    // The 16-lane correction and the plain one of the portable path take a shorter form for
    // groups of pixels that need no fade (all inputs at or below 180) or no full-scale
    // override (no input at 255). Each form, over every input it can meet, against the table:
    // a grey of 255 in every group (of 16 or 64 pixels) forces the complete form, one of 200
    // the fade without override, and the dark inputs alone the shortest.
    PathGuard guard;
    auto all = [](int, int, int) { return true; };
    auto belowFull = [](int b, int g, int r) { return b < 255 && g < 255 && r < 255; };
    auto dark = [](int b, int g, int r) { return b <= 180 && g <= 180 && r <= 180; };
    for (DemosaicPath path : {DemosaicPath::Auto, DemosaicPath::Portable}) {
        hx::algorithms::setDemosaicPath(path);
        EXPECT_EQ(correctedMismatches(inputPixels(all, 255)), 0)
            << "with full-scale override, path " << int(path);
        EXPECT_EQ(correctedMismatches(inputPixels(belowFull, 200)), 0)
            << "fade only, path " << int(path);
        EXPECT_EQ(correctedMismatches(inputPixels(dark, -1)), 0) << "no fade, path " << int(path);
    }
}

TEST_F(ColourTable, LongRowsOfDarkBrightAndSaturatedStretchesMatchReference) {
    // Rows long enough for several vector (and plain) blocks plus every kind of tail, with
    // stretches that stay dark, reach into the fade, clip at 0 and 255, or are random, so that
    // blocks of each correction form and mixtures of them occur at both depths and with every
    // Bayer code.
    PathGuard guard;
    std::mt19937 rng(2024);
    for (int depth : {8, 16})
        for (int w : {131, 132, 133, 197, 262, 263, 329})
            for (int bayer = 1; bayer <= 4; ++bayer) {
                Frames ref(w, 7, depth);
                for (int y = 0; y < 7; ++y)
                    for (int x = 0; x < w; ++x) {
                        const int kind = (x / 23 + y) % 5;
                        unsigned v = rng() & 255;
                        if (kind == 0) v = v * 180 / 255;
                        if (kind == 1) v = 170 + v % 30;
                        if (kind == 2) v = (v & 1) ? 255 : 254;
                        if (kind == 3) v = v & 3;
                        ref.set(y, x, depth == 8 ? v : (v << 8) | (rng() & 255));
                    }
                hx::algorithms::decodeRawReference(&ref.raw, &ref.out, bayer, true);
                for (DemosaicPath path :
                     {DemosaicPath::Auto, DemosaicPath::Avx2, DemosaicPath::Portable}) {
                    Frames f(w, 7, depth);
                    f.rawBuf = ref.rawBuf;
                    hx::algorithms::setDemosaicPath(path);
                    __decode_rawdata(&f.raw, &f.out, bayer);
                    ASSERT_EQ(f.outBuf, ref.outBuf) << "depth " << depth << " width " << w
                                                    << " code " << bayer << " path " << int(path);
                }
            }
}

TEST_F(ColourTable, RowRangesEqualTheWholeFrame) {
    PathGuard guard;
    std::mt19937 rng(99);
    std::vector<DemosaicPath> paths{DemosaicPath::Portable, DemosaicPath::Auto};
    if (hx::algorithms::demosaicHasAvx2()) paths.push_back(DemosaicPath::Avx2);
    for (DemosaicPath path : paths)
        for (int depth : {8, 16})
            for (auto [w, h] : {std::pair{5, 4}, {37, 11}, {70, 9}})
                for (int bayer = 1; bayer <= 4; ++bayer)
                    for (bool correct : {false, true}) {
                        hx::algorithms::setDemosaicPath(path);
                        Frames whole(w, h, depth);
                        whole.randomise(rng);
                        if (correct)
                            __decode_rawdata(&whole.raw, &whole.out, bayer);
                        else
                            __decode_rawdatafast(&whole.raw, &whole.out, bayer);
                        const size_t row = size_t(w) * 3 * depth / 8;
                        for (auto [y0, y1] : {std::pair{1, h - 2}, {1, 2}, {h - 3, h - 2}}) {
                            std::vector<unsigned char> rows((y1 - y0) * row, kSentinel);
                            ASSERT_TRUE(hx::algorithms::decodeRawRows(&whole.raw, bayer, correct,
                                                                      y0, y1, rows.data()));
                            for (int y = y0; y < y1; ++y)
                                for (size_t b = 0; b < row; ++b) {
                                    // Columns 0 and w - 1 stay as they were.
                                    const bool edge = b < row / w || b >= row - row / w;
                                    const unsigned char want =
                                        edge ? kSentinel : whole.outBuf[y * row + b];
                                    ASSERT_EQ(rows[(y - y0) * row + b], want)
                                        << w << "x" << h << " depth " << depth << " code " << bayer
                                        << " rows " << y0 << "-" << y1 << " at " << y;
                                }
                        }
                        std::vector<unsigned char> rows(row * h);
                        EXPECT_FALSE(hx::algorithms::decodeRawRows(&whole.raw, bayer, correct, 0, 2,
                                                                   rows.data()));
                        EXPECT_FALSE(hx::algorithms::decodeRawRows(&whole.raw, bayer, correct, 1,
                                                                   h - 1, rows.data()));
                        EXPECT_FALSE(hx::algorithms::decodeRawRows(&whole.raw, 0, correct, 1, 2,
                                                                   rows.data()));
                    }
}

TEST(Demosaic, HandComputedPixels) {
    PathGuard guard;
    const unsigned rows[5][6] = {{10, 20, 30, 40, 50, 60},
                                 {11, 23, 35, 47, 59, 71},
                                 {5, 9, 14, 20, 27, 35},
                                 {100, 90, 80, 70, 60, 50},
                                 {1, 2, 3, 4, 5, 6}};
    // RGGB: row 1 is a blue row starting with a blue site, row 2 a red row starting with green.
    const unsigned want[2][4][3] = {
        {{15, 19, 23}, {22, 28, 35}, {30, 39, 47}, {39, 48, 59}},
        {{10, 9, 57}, {14, 36, 58}, {21, 39, 59}, {27, 44, 60}},
    };
    for (int depth : {8, 16})
        for (DemosaicPath path : {DemosaicPath::Portable, DemosaicPath::Avx2}) {
            hx::algorithms::setDemosaicPath(path);
            Frames f(6, 5, depth);
            for (int y = 0; y < 5; ++y)
                for (int x = 0; x < 6; ++x) f.set(y, x, rows[y][x]);
            __decode_rawdatafast(&f.raw, &f.out, 3);
            EXPECT_EQ(f.out.decoded, 1);
            for (int y = 1; y <= 2; ++y)
                for (int x = 1; x <= 4; ++x)
                    for (int s = 0; s < 3; ++s)
                        EXPECT_EQ(f.get(y, x, s), want[y - 1][x - 1][s])
                            << "pixel " << y << "," << x << " sample " << s;
            for (int x = 0; x < 6; ++x) {
                EXPECT_TRUE(f.untouched(0, x));
                EXPECT_TRUE(f.untouched(3, x));
                EXPECT_TRUE(f.untouched(4, x));
            }
            for (int y = 1; y <= 2; ++y) {
                EXPECT_TRUE(f.untouched(y, 0));
                EXPECT_TRUE(f.untouched(y, 5));
            }
        }
}

TEST(Demosaic, UniformGreyStaysGreyInsideAnUntouchedBorder) {
    for (int depth : {8, 16})
        for (int bayer = 1; bayer <= 4; ++bayer) {
            const int w = 41, h = 9;
            const unsigned v = depth == 8 ? 77 : 51234;
            Frames f(w, h, depth);
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) f.set(y, x, v);
            __decode_rawdatafast(&f.raw, &f.out, bayer);
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) {
                    const bool written = y >= 1 && y <= h - 3 && x >= 1 && x <= w - 2;
                    if (!written) {
                        EXPECT_TRUE(f.untouched(y, x)) << y << "," << x;
                        continue;
                    }
                    for (int s = 0; s < 3; ++s) ASSERT_EQ(f.get(y, x, s), v) << y << "," << x;
                }
        }
}

TEST(Demosaic, NarrowFramesWriteOnlyWhereTheWindowFits) {
    // Width 5: every row writes pixels 1 to 3, whichever site it starts with.
    for (int bayer = 1; bayer <= 4; ++bayer) {
        Frames f(5, 6, 8);
        for (int y = 0; y < 6; ++y)
            for (int x = 0; x < 5; ++x) f.set(y, x, 40 + 3 * x + 7 * y);
        __decode_rawdatafast(&f.raw, &f.out, bayer);
        for (int y = 1; y <= 3; ++y) {
            EXPECT_TRUE(f.untouched(y, 0));
            EXPECT_TRUE(f.untouched(y, 4));
            for (int x = 1; x <= 3; ++x) EXPECT_FALSE(f.untouched(y, x)) << bayer << ":" << y;
        }
    }
    // Fewer than 4 rows, or fewer than 3 columns: nothing is written, decoded is still set.
    for (auto [w, h] : {std::pair{64, 3}, std::pair{2, 8}, std::pair{1, 1}, std::pair{0, 0}}) {
        Frames f(w, h, 8);
        std::mt19937 rng(1);
        f.randomise(rng);
        const auto before = f.outBuf;
        __decode_rawdata(&f.raw, &f.out, 2);
        __decode_rawdatafast(&f.raw, &f.out, 4);
        EXPECT_EQ(f.outBuf, before) << w << "x" << h;
        EXPECT_EQ(f.out.decoded, 1);
    }
}

TEST(Demosaic, MonochromeCopiesExactlyTheSamples) {
    Frames f(640, 480, 8, 1);
    std::mt19937 rng(3);
    f.randomise(rng);
    f.out.decoded = 0;
    __decode_rawdatafast(&f.raw, &f.out, 0);
    EXPECT_EQ(f.out.decoded, 1);
    EXPECT_EQ(0, std::memcmp(f.outBuf.data(), f.rawBuf.data(), 307200));
    EXPECT_EQ(f.outBuf[307200], kSentinel);

    Frames g(33, 7, 16, 1);
    g.randomise(rng);
    __decode_rawdata(&g.raw, &g.out, 0);
    EXPECT_EQ(0, std::memcmp(g.outBuf.data(), g.rawBuf.data(), 33 * 7 * 2));
    EXPECT_EQ(g.outBuf[33 * 7 * 2], kSentinel);
}

TEST(Demosaic, BadRecordsChangeNothing) {
    Frames f(16, 8, 8);
    std::mt19937 rng(9);
    f.randomise(rng);
    const auto before = f.outBuf;
    auto expectUnchanged = [&](const char* what) {
        EXPECT_EQ(f.outBuf, before) << what;
        f.out.decoded = 0;
    };
    __decode_rawdatafast(nullptr, &f.out, 1);
    EXPECT_EQ(f.out.decoded, 1);
    expectUnchanged("null raw");
    __decode_rawdatafast(&f.raw, nullptr, 1);
    __decode_rawdata(nullptr, nullptr, 3);
    __decode_rawdatafast(&f.raw, &f.out, 5);
    expectUnchanged("unknown code");
    __decode_rawdatafast(&f.raw, &f.out, -1);
    expectUnchanged("negative code");

    _ezImage small = f.out;
    ezInitImageHeader(&small, 16, 4, 3, 8, 56, f.outBuf.data(), 0, 0);
    __decode_rawdatafast(&f.raw, &small, 1);
    expectUnchanged("output smaller than the raw frame");
    _ezImage odd = f.raw;
    ezInitImageHeader(&odd, 16, 8, 1, 12, 56, f.rawBuf.data(), 0, 0);
    __decode_rawdatafast(&odd, &f.out, 1);
    expectUnchanged("depth 12");
    _ezImage noData = f.raw;
    noData.data = nullptr;
    __decode_rawdatafast(&noData, &f.out, 1);
    __decode_rawdatafast(&noData, &f.out, 0);
    expectUnchanged("raw without pixels");
    _ezImage mono = f.out;
    ezInitImageHeader(&mono, 16, 8, 1, 8, 56, f.outBuf.data(), 0, 0);
    _ezImage big = f.raw;
    ezInitImageHeader(&big, 16, 9, 1, 8, 56, f.rawBuf.data(), 0, 0);
    __decode_rawdatafast(&big, &mono, 0);
    expectUnchanged("copy larger than the output");

    Frames w(16, 8, 16);
    const auto wBefore = w.outBuf;
    ezInitImageHeader(&w.out, 16, 7, 3, 16, 56, w.outBuf.data() + 1, 0, 0);
    ezInitImageHeader(&w.raw, 16, 7, 1, 16, 56, w.rawBuf.data() + 1, 0, 0);
    __decode_rawdatafast(&w.raw, &w.out, 3);
    EXPECT_EQ(w.outBuf, wBefore) << "16-bit samples at an odd address";
}

TEST(Yuv422, ConvertsBothByteOrdersWithClamping) {
    // Two pixels: (Y 128, U 128, V 128) is mid grey, (Y 255 with the same U and V) clamps.
    const unsigned char yuyv[4] = {128, 128, 255, 128};
    const unsigned char uyvy[4] = {128, 128, 128, 255};
    for (bool packedYuyv : {true, false}) {
        unsigned char dst[6 + 3];
        std::memset(dst, kSentinel, sizeof dst);
        __yuv422_rgb888(const_cast<unsigned char*>(packedYuyv ? yuyv : uyvy), dst, 2, 1,
                        packedYuyv);
        for (int s = 0; s < 3; ++s) {
            EXPECT_EQ(dst[s], 130);
            EXPECT_EQ(dst[3 + s], 255);
        }
        EXPECT_EQ(dst[6], kSentinel);
    }
    // Strong chroma shared by a bright and a dark pixel: blue lands in sample 0, red in 2.
    unsigned char group[4] = {255, 240, 16, 16}; // Y0 U Y1 V
    unsigned char dst[6];
    __yuv422_rgb888(group, dst, 2, 1, true);
    EXPECT_EQ(dst[0], 255); // 504 clamps
    EXPECT_EQ(dst[1], 255); // 325 clamps
    EXPECT_EQ(dst[2], 99);
    EXPECT_EQ(dst[3], 226);
    EXPECT_EQ(dst[4], 47);
    EXPECT_EQ(dst[5], 0); // below zero
    __yuv422_rgb888(nullptr, dst, 2, 1, true);
    __yuv422_rgb888(group, dst, 0, 1, true);
}
