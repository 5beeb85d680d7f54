// Calibration and clean-up checked on small generated images.
#include "algorithms/calibration.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

namespace {

using Fill = std::function<unsigned(int, int, int)>;

/// A record over an exactly sized vector, plus room for a statistics area when asked.
struct CalImage {
    _ezImage rec{};
    std::vector<unsigned char> buf;
    CalImage(int w, int h, int channels, int depth, const Fill& f = nullptr, size_t extra = 0) {
        buf.assign(size_t(w) * h * channels * depth / 8 + extra, 0);
        ezInitImageHeader(&rec, w, h, channels, depth, 56, buf.data(), 0, 0);
        if (f) fill(f);
    }
    void fill(const Fill& f) {
        for (int y = 0; y < rec.height; ++y)
            for (int x = 0; x < rec.width; ++x)
                for (int k = 0; k < rec.channels; ++k) set(y, x, k, f(y, x, k));
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
    int32_t stat(int i) const {
        int32_t v;
        std::memcpy(&v, rec.tail + 4 * i, 4);
        return v;
    }
};

Fill constant(unsigned v) {
    return [v](int, int, int) { return v; };
}

TEST(CalibFlatField, ScalesByReferenceAndAverage) {
    CalImage frame(6, 4, 3, 8, constant(90)), ref(6, 4, 3, 8, constant(90));
    __calc_avg(&ref.rec, 0);
    const auto orig = frame.buf;
    __flat_field(&frame.rec, &ref.rec); // uniform grey against itself: unchanged
    EXPECT_EQ(frame.buf, orig);

    ref.rec.average0 = 100, ref.rec.average1 = 50, ref.rec.average2 = 200;
    ref.set(0, 0, 0, 7), ref.set(0, 0, 1, 3), ref.set(0, 0, 2, 1);
    frame.set(0, 0, 0, 10), frame.set(0, 0, 1, 10), frame.set(0, 0, 2, 10);
    __flat_field(&frame.rec, &ref.rec);
    EXPECT_EQ(frame.at(0, 0, 0), 142u); // 1000 / 7
    EXPECT_EQ(frame.at(0, 0, 1), 166u); // 500 / 3
    EXPECT_EQ(frame.at(0, 0, 2), 255u); // 2000, saturated
    EXPECT_EQ(frame.at(1, 1, 2), 200u);

    // 16-bit: the high byte is corrected, the low byte stays; one channel uses average1;
    // a zero reference sample counts as 1.
    CalImage w(4, 1, 1, 16, [](int, int x, int) { return 0x40AB + x; });
    CalImage r1(4, 1, 1, 8, [](int, int x, int) { return x == 3 ? 0 : 128; });
    r1.rec.average0 = 1, r1.rec.average1 = 64;
    __flat_field(&w.rec, &r1.rec);
    EXPECT_EQ(w.at(0, 0), 0x20ABu);
    EXPECT_EQ(w.at(0, 3), 0xFFAEu);

    // Exact integer quotients for every sample and reference byte.
    CalImage all(256, 255, 1, 8), div(256, 255, 1, 8, [](int y, int, int) { return y + 1; });
    for (unsigned avg : {251u, 1000u}) { // byte averages and wider ones take different paths
        all.fill([](int, int x, int) { return x; });
        div.rec.average1 = static_cast<uint16_t>(avg);
        __flat_field(&all.rec, &div.rec);
        for (int y = 0; y < 255; ++y)
            for (int x = 0; x < 256; ++x)
                ASSERT_EQ(all.at(y, x), std::min(255u, avg * x / (y + 1))) << y << " " << x;
    }
    CalImage other(5, 4, 3, 8);
    const auto before = frame.buf;
    __flat_field(&frame.rec, &other.rec); // size mismatch
    EXPECT_EQ(frame.buf, before);
}

TEST(CalibDefects, ThresholdsListLimitsAndCorrection) {
    std::vector<_ezPoint> list(16);
    CalImage small(640, 480, 1, 8);
    EXPECT_EQ(__calc_defects(&small.rec, list.data(), 16), -3);
    CalImage img(800, 400, 1, 8, constant(60));
    EXPECT_EQ(__calc_defects(&img.rec, list.data(), 2), -3);
    EXPECT_EQ(__calc_defects(&img.rec, list.data(), 16), 0);
    img.set(10, 20, 0, 200), img.set(10, 22, 0, 70);    // 200 is not above 3 x 70
    img.set(30, 40, 0, 200), img.set(30, 42, 0, 50);    // 200 > 3 x 60
    img.set(50, 60, 0, 255), img.set(50, 62, 0, 85);    // a neighbour above 84
    img.set(1, 100, 0, 255), img.set(200, 798, 0, 255); // outside the searched area
    ASSERT_EQ(__calc_defects(&img.rec, list.data(), 16), 1);
    EXPECT_EQ(list[0].row, 30);
    EXPECT_EQ(list[0].column, 40);
    for (int x = 100; x < 110; ++x) img.set(100, x * 4, 0, 250);
    EXPECT_EQ(__calc_defects(&img.rec, list.data(), 16), 11);
    EXPECT_EQ(__calc_defects(&img.rec, list.data(), 13), -3); // index 10 = capacity - 3
    EXPECT_EQ(list[10].column, 436);

    CalImage w(800, 400, 1, 16, constant(2000));
    w.set(5, 5, 0, 8193);                       // above 8192 and 3 x 2000
    w.set(6, 5, 0, 8192);                       // not above 8192
    w.set(7, 5, 0, 9000), w.set(7, 7, 0, 3000); // not above 3 x 3000
    ASSERT_EQ(__calc_defects(&w.rec, list.data(), 16), 1);
    EXPECT_EQ(list[0].row, 5);

    _ezPoint fix[4] = {{5, 5}, {7, 1}, {400, 5}, {-1, 3}}; // the last three are skipped
    w.set(5, 3, 0, 1234);
    __defects_correction(&w.rec, fix, 4);
    EXPECT_EQ(w.at(5, 5), 1234u);
    EXPECT_EQ(w.at(7, 1), 2000u);
}

TEST(CalibHistogram, OneChannelBounds) {
    CalImage img(10, 10, 1, 8, nullptr, 4 * kHistItems1);
    std::fill(img.buf.begin(), img.buf.end(), 0xEE); // the area is cleared first
    img.fill([](int y, int x, int) { return y == 0 && x < 3 ? 200 : 50 + y; });
    ASSERT_EQ(__calc_histogram(&img.rec), 0);
    EXPECT_EQ(img.stat(200), 3);
    EXPECT_EQ(img.stat(50), 7);
    EXPECT_EQ(img.stat(0), 0);
    EXPECT_EQ(img.stat(kHistLumaLow), 0);    // found but not stored
    EXPECT_EQ(img.stat(kHistLumaHigh), 200); // 100 / 1000 = 0: the last non-zero bin

    // 10000 pixels: the walk stops once more than 10 samples lie at or above the bin.
    CalImage big(
        100, 100, 1, 16,
        [](int y, int x, int) {
            const int i = y * 100 + x;
            return (i < 5 ? 250 : i < 11 ? 240 : 100) * 256 + 0xFF;
        },
        4 * kHistItems1);
    ASSERT_EQ(__calc_histogram(&big.rec), 0);
    EXPECT_EQ(big.stat(250), 5);
    EXPECT_EQ(big.stat(kHistLumaHigh), 240);
    EXPECT_EQ(__calc_histogram(nullptr), -3);
}

TEST(CalibHistogram, ThreeChannelLayoutAndLuminance) {
    CalImage img(
        100, 20, 3, 8,
        [](int y, int x, int k) {
            const int i = y * 100 + x;
            return i < 2 ? 240 + k : i < 3 ? 200 + k : 10 * (k + 1);
        },
        4 * kHistItems3);
    ASSERT_EQ(__calc_histogram(&img.rec), 0);
    const int c0 = histChannelBase(0), c1 = histChannelBase(1), c2 = histChannelBase(2);
    EXPECT_EQ(c0, 258);
    EXPECT_EQ(c2, 774);
    EXPECT_EQ(img.stat(c0 + 10), 1997);
    EXPECT_EQ(img.stat(c2 + 242), 2);
    EXPECT_EQ(img.stat(c0 + 256), 10);
    EXPECT_EQ(img.stat(c1 + 256), 20);
    // 2000 / 1000 = 2: the two samples of the top bin do not exceed it, so the walk goes on.
    EXPECT_EQ(img.stat(c0 + 257), 200);
    EXPECT_EQ(img.stat(c2 + 257), 202);
    EXPECT_EQ(img.stat(20), 6 * 1997 / 10); // (s0 + 6 s1 + 3 s2) / 10
    EXPECT_EQ(img.stat(30), 3 * 1997 / 10);
    EXPECT_EQ(img.stat(240), 0); // 2 / 10
    EXPECT_EQ(img.stat(241), 1); // 12 / 10
    EXPECT_EQ(img.stat(kHistLumaLow), 10);
    EXPECT_EQ(img.stat(kHistLumaHigh), 30);

    CalImage four(4, 4, 4, 8, constant(7), 16); // other channel counts write nothing
    std::fill(four.buf.end() - 16, four.buf.end(), 7);
    EXPECT_EQ(__calc_histogram(&four.rec), 0);
    EXPECT_EQ(four.buf.back(), 7);
}

TEST(CalibMeans, GreyChannelAndBayerPhaseMeans) {
    CalImage g(4, 2, 1, 16, [](int y, int x, int) { return (y * 4 + x) * 256 + 0xFF; });
    EXPECT_FLOAT_EQ(__calc_gray(&g.rec), 3.5f);
    CalImage c(2, 2, 3, 8, [](int, int x, int k) { return k == 0 ? 10 : x * 100; });
    EXPECT_FLOAT_EQ(__calc_gray(&c.rec), 5.0f); // the first width x height samples only

    c.set(1, 1, 2, 0);
    __calc_avg(&c.rec, 0); // zero samples become 1 on the way
    EXPECT_EQ(c.rec.average0, 10);
    EXPECT_EQ(c.rec.average1, (1 + 100 + 1 + 100) / 4);
    EXPECT_EQ(c.rec.average2, (1 + 100 + 1 + 1) / 4);
    EXPECT_EQ(c.at(1, 1, 2), 1u);
    __calc_avg(&c.rec, 2);
    EXPECT_EQ(c.rec.average0, 0);

    // Phases (0,0) = 1, (0,1) = 2, (1,0) = 3, (1,1) = 4 reordered per Bayer code.
    CalImage raw(6, 4, 1, 8, [](int y, int x, int) { return 1 + (y % 2) * 2 + (x % 2); });
    const float expect[5][4] = {
        {1, 2, 3, 4}, {1, 2, 3, 4}, {2, 1, 4, 3}, {4, 2, 3, 1}, {3, 1, 4, 2}};
    float o[5];
    for (int code = 0; code <= 4; ++code) {
        raw.rec.bayer = static_cast<uint8_t>(code);
        ASSERT_EQ(__image_intensity(&raw.rec, &o[4], &o[0], &o[1], &o[2], &o[3]), 0);
        for (int k = 0; k < 4; ++k) EXPECT_FLOAT_EQ(o[k], expect[code][k]) << code;
        EXPECT_FLOAT_EQ(o[4], 2.5f);
    }
    raw.rec.decoded = 1;
    EXPECT_EQ(__image_intensity(&raw.rec, &o[0], &o[1], &o[2], &o[3], &o[4]), -4);
    raw.rec.decoded = 0, raw.rec.depth = 12;
    EXPECT_EQ(__image_intensity(&raw.rec, &o[0], &o[1], &o[2], &o[3], &o[4]), -2);
}

TEST(CalibShift, SaturatesAndRejectsLargeShifts) {
    CalImage b(2, 1, 1, 8, [](int, int x, int) { return x ? 100 : 200; });
    EXPECT_EQ(__shift_operation(&b.rec, 9), -2);
    EXPECT_EQ(__shift_operation(&b.rec, 1), 0);
    EXPECT_EQ(b.at(0, 0), 255u);
    EXPECT_EQ(b.at(0, 1), 200u);
    EXPECT_EQ(__shift_operation(&b.rec, -3), 0);
    EXPECT_EQ(b.at(0, 1), 25u);
    CalImage w(2, 1, 3, 16, [](int, int x, int k) { return x ? 0x0101 * (k + 1) : 0x9000; });
    EXPECT_EQ(__shift_operation(&w.rec, 4), 0);
    EXPECT_EQ(w.at(0, 0, 2), 65535u);
    EXPECT_EQ(w.at(0, 1, 2), 0x3030u);
}

TEST(CalibFilters, MediansMatchSortingAndKeepTheirEdges) {
    std::mt19937 rng(7);
    CalImage src(23, 9, 1, 16, [&](int, int, int) { return rng() & 0xFFFF; }), dst(23, 9, 1, 16);
    __smooth_middle(&src.rec, &dst.rec);
    for (int y = 0; y < 9; ++y) {
        for (int x = 1; x < 22; ++x) {
            std::vector<unsigned> v;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx)
                    v.push_back(src.at(std::clamp(y + dy, 0, 8), x + dx));
            std::nth_element(v.begin(), v.begin() + 4, v.end());
            ASSERT_EQ(dst.at(y, x), v[4]) << y << "," << x;
        }
        EXPECT_EQ(dst.at(y, 22), dst.at(y, 21));
        EXPECT_EQ(dst.at(y, 0), src.at(y > 0 ? y - 1 : 0, 0));
    }

    // In place over the high bytes of a 16-bit colour image: a lone spike goes, the low bytes
    // and the outer columns stay.
    CalImage c(5, 4, 3, 16, [](int, int x, int k) { return 0x3200 + x * 3 + k; });
    c.set(2, 2, 1, 0xFF07);
    c.set(1, 0, 0, 0xFF00);
    __smooth(&c.rec, 1);
    EXPECT_EQ(c.at(2, 2, 1), 0x3207u);
    EXPECT_EQ(c.at(1, 0, 0), 0xFF00u);
    const auto keep = c.buf;
    __smooth(&c.rec, 3);
    EXPECT_EQ(c.buf, keep);
}

TEST(CalibFilters, SmoothingAndSharpeningReadTheRewrittenRowAbove) {
    CalImage img(3, 3, 1, 8);
    img.set(0, 1, 0, 160);
    __smooth(&img.rec, 2);
    EXPECT_EQ(img.at(0, 1), 60u); // (4 x 160 + 2 x 160, the row above being itself) >> 4
    EXPECT_EQ(img.at(1, 1), 7u);  // 2 x 60 >> 4, from the rewritten row 0
    EXPECT_EQ(img.at(2, 1), 0u);

    CalImage lap(4, 3, 1, 8, constant(100));
    lap.set(1, 1, 0, 120);
    lap.set(1, 2, 0, 10);
    __laplace(&lap.rec, 0);
    EXPECT_EQ(lap.at(0, 1), 80u);  // 500 - 100 - 100 - 100 - 120
    EXPECT_EQ(lap.at(1, 1), 255u); // 600 - 80 (rewritten) - 100 - 100 - 10, clamped
    EXPECT_EQ(lap.at(1, 2), 0u);
    EXPECT_EQ(lap.at(1, 0), 100u);
}

TEST(CalibRepair, StepEdgeAndCross) {
    CalImage s(3, 2, 1, 8, [](int y, int x, int) { return y * 100 + x * 20; });
    __repair_step(&s.rec);
    EXPECT_EQ(s.at(0, 0), (100u + 20u) / 4);
    EXPECT_EQ(s.at(0, 1), 10u + (120u + 40u) / 4);
    EXPECT_EQ(s.at(0, 2), 40u); // the last pixel before the last row stays

    CalImage e(10, 7, 3, 8, [](int y, int x, int k) { return y * 16 + x + k; });
    __repair_edge(&e.rec, 1);
    EXPECT_EQ(e.at(3, 1, 2), unsigned(3 * 16 + 2 + 2));
    EXPECT_EQ(e.at(3, 9, 1), unsigned(3 * 16 + 7 + 1));
    EXPECT_EQ(e.at(0, 5, 0), unsigned(16 + 5));
    EXPECT_EQ(e.at(6, 9, 0), unsigned(5 * 16 + 7));
    const auto keep = e.buf;
    __repair_edge(&e.rec, 3); // 12 border columns do not fit in 10
    EXPECT_EQ(e.buf, keep);

    CalImage x(200, 120, 3, 8, constant(77));
    __cross(&x.rec);
    EXPECT_EQ(x.at(60, 51, 0), 0u); // horizontal bar: rows 59, 60, columns 51 ... 149
    EXPECT_EQ(x.at(59, 149, 2), 255u);
    EXPECT_EQ(x.at(60, 50, 2), 77u);
    EXPECT_EQ(x.at(11, 99, 2), 255u); // vertical bar: columns 99, 100, rows 11 ... 109
    EXPECT_EQ(x.at(10, 100, 2), 77u);
    EXPECT_EQ(x.at(30, 98, 2), 77u);
    CalImage tiny(3, 2, 1, 8); // clipped to the image
    __cross(&tiny.rec);
    EXPECT_EQ(tiny.at(1, 2), 255u);
}

TEST(CalibBadInput, DegenerateRecordsChangeNothing) {
    _ezImage none{};
    CalImage empty(0, 4, 1, 8), odd(8, 8, 1, 12);
    std::fill(odd.buf.begin(), odd.buf.end(), 9);
    _ezPoint p[3] = {};
    float f[5];
    for (_ezImage* r : {static_cast<_ezImage*>(nullptr), &none, &empty.rec, &odd.rec}) {
        __flat_field(r, r);
        EXPECT_EQ(__calc_defects(r, p, 3), -3);
        __defects_correction(r, p, 3);
        EXPECT_EQ(__calc_gray(r), 0.0f);
        __calc_avg(r, 0);
        __image_intensity(r, &f[0], &f[1], &f[2], &f[3], &f[4]);
        __shift_operation(r, 1);
        __smooth(r, 1);
        __smooth_middle(r, r);
        __laplace(r, 0);
        __repair_step(r);
        __repair_edge(r, 1);
        __cross(r);
    }
    EXPECT_EQ(__calc_histogram(&none), -3);
    EXPECT_EQ(odd.buf, std::vector<unsigned char>(96, 9));

    CalImage narrow(2, 3, 1, 16, constant(0x0909)), out(2, 3, 1, 16); // too narrow for 3 x 3
    __smooth(&narrow.rec, 1);
    __laplace(&narrow.rec, 0);
    EXPECT_EQ(narrow.buf, std::vector<unsigned char>(12, 9));
    __smooth_middle(&narrow.rec, &out.rec);
    EXPECT_EQ(out.buf, narrow.buf);
}

} // namespace
