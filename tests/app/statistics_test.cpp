// The live tools' measurements on frames made here: histogram and clipping, display stretch,
// focus figures, the exposure scale and the sequence schedule.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "app/tools/DisplayPipeline.h"
#include "app/tools/ExposureControl.h"
#include "app/tools/FrameStatistics.h"
#include "app/tools/SequenceRunner.h"

using namespace hx::app;

namespace {

/// A frame of random samples with some at both ends of the range.
std::vector<unsigned char> randomFrame(int width, int height, int depth, int channels,
                                       unsigned seed) {
    std::mt19937 random(seed);
    const size_t n = static_cast<size_t>(width) * height * channels;
    std::vector<unsigned char> bytes(n * (depth == 16 ? 2 : 1));
    const int full = depth == 16 ? 65535 : 255;
    std::uniform_int_distribution<int> value(0, full), pick(0, 19);
    for (size_t i = 0; i < n; ++i) {
        int v = value(random);
        if (pick(random) == 0) v = 0;
        if (pick(random) == 1) v = full;
        if (depth == 16) {
            bytes[2 * i] = static_cast<unsigned char>(v & 0xFF);
            bytes[2 * i + 1] = static_cast<unsigned char>(v >> 8);
        } else {
            bytes[i] = static_cast<unsigned char>(v);
        }
    }
    return bytes;
}

/// A star of Gaussian profile (sigma in pixels) on a background with a fixed ripple, 16-bit grey.
std::vector<unsigned char> starFrame(int size, double sigma, double cx, double cy) {
    std::vector<unsigned char> bytes(static_cast<size_t>(size) * size * 2);
    const double flux = 4.0e6; // the same light, spread wider when out of focus
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            const double r2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
            const double star =
                flux / (2 * M_PI * sigma * sigma) * std::exp(-r2 / (2 * sigma * sigma));
            const double ripple = 20.0 * ((x * 7 + y * 13) % 5);
            const int v = std::clamp(static_cast<int>(1000 + ripple + star), 0, 65535);
            const size_t i = static_cast<size_t>(y) * size + x;
            bytes[2 * i] = static_cast<unsigned char>(v & 0xFF);
            bytes[2 * i + 1] = static_cast<unsigned char>(v >> 8);
        }
    return bytes;
}

} // namespace

TEST(FrameStatistics, HistogramAndClippedCountsEqualAReferenceCount) {
    struct Case {
        int depth, channels;
    } cases[] = {{8, 1}, {16, 1}, {8, 3}, {16, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.depth << " bit, " << c.channels << " channels");
        const int w = 37, h = 23; // odd sizes: no row or pixel is left out
        auto bytes = randomFrame(w, h, c.depth, c.channels, 7u + c.depth + c.channels);
        const FrameView frame{bytes.data(), w, h, c.depth, c.channels};
        const Histogram hist = computeHistogram(frame);

        std::array<std::array<uint32_t, 256>, 3> bins{};
        uint64_t low = 0, high = 0;
        for (int p = 0; p < w * h; ++p) {
            bool l = false, hi = false;
            for (int ch = 0; ch < c.channels; ++ch) {
                const size_t i = static_cast<size_t>(p) * c.channels + ch;
                const int v =
                    c.depth == 16 ? (bytes[2 * i] | bytes[2 * i + 1] << 8) >> 8 : bytes[i];
                ++bins[ch][v];
                l |= v == 0;
                hi |= v == 255;
            }
            low += l;
            high += hi;
        }
        EXPECT_EQ(hist.channels, c.channels);
        EXPECT_EQ(hist.pixels, uint64_t(w * h));
        for (int ch = 0; ch < c.channels; ++ch) EXPECT_EQ(hist.bins[ch], bins[ch]) << ch;
        EXPECT_EQ(hist.clippedLow, low);
        EXPECT_EQ(hist.clippedHigh, high);
        EXPECT_GT(low, 0u);
        EXPECT_GT(high, 0u);
    }
}

TEST(FrameStatistics, OverlayMarksExactlyTheClippedPixelsAndNeverWritesTheFrame) {
    for (int channels : {1, 3}) {
        SCOPED_TRACE(channels);
        const int w = 29, h = 17;
        auto bytes = randomFrame(w, h, 16, channels, 99u + channels);
        const auto before = bytes;
        const FrameView frame{bytes.data(), w, h, 16, channels};
        DisplayPipeline pipeline;
        DisplaySettings settings;
        settings.overlay = true;
        settings.stretch = StretchMode::Automatic;
        pipeline.setSettings(settings);
        const QImage image = pipeline.render(frame, {});
        ASSERT_EQ(image.format(), QImage::Format_RGB888);
        int marked = 0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const size_t p = static_cast<size_t>(y) * w + x;
                const QRgb rgb = image.pixel(x, y);
                const bool red = rgb == qRgb(255, 0, 0), blue = rgb == qRgb(0, 0, 255);
                if (clippedHighPixel(frame, p)) {
                    EXPECT_TRUE(red) << x << "," << y;
                } else if (clippedLowPixel(frame, p)) {
                    EXPECT_TRUE(blue) << x << "," << y;
                } else if (channels == 1) {
                    // Grey pixels never look like a mark.
                    EXPECT_EQ(qRed(rgb), qGreen(rgb));
                    EXPECT_EQ(qGreen(rgb), qBlue(rgb));
                }
                marked += red || blue;
            }
        int clipped = 0;
        for (int p = 0; p < w * h; ++p)
            clipped += clippedHighPixel(frame, p) || clippedLowPixel(frame, p);
        EXPECT_EQ(marked, clipped);
        EXPECT_GT(clipped, 0);
        EXPECT_EQ(bytes, before);
    }
}

TEST(FrameStatistics, StretchOffShowsTheMostSignificantByteAndManualPointsAreExact) {
    const int w = 256, h = 1;
    std::vector<unsigned char> bytes(w * 2);
    for (int x = 0; x < w; ++x) {
        bytes[2 * x] = static_cast<unsigned char>(0xFF - x); // the low byte never shows
        bytes[2 * x + 1] = static_cast<unsigned char>(x);
    }
    DisplayPipeline pipeline;
    QImage off = pipeline.render(FrameView{bytes.data(), w, h, 16, 1}, {});
    ASSERT_EQ(off.format(), QImage::Format_Grayscale8);
    for (int x = 0; x < w; ++x) ASSERT_EQ(off.constScanLine(0)[x], x);

    // Black at 20 %, white at 80 % of the full scale: 51 and 204 on 8 bits.
    const auto table = stretchTable(8, {0.2, 0.8});
    EXPECT_EQ(table[0], 0);
    EXPECT_EQ(table[51], 0);
    EXPECT_EQ(table[52], 2); // 1.67 rounds up
    EXPECT_EQ(table[54], 5); // exactly 5
    EXPECT_EQ(table[203], 253);
    EXPECT_EQ(table[204], 255);
    EXPECT_EQ(table[255], 255);
    const auto wide = stretchTable(16, {0.0, 0.5});
    EXPECT_EQ(wide[0], 0);
    EXPECT_EQ(wide[32767], 255);
    EXPECT_EQ(wide[65535], 255);
    EXPECT_EQ(wide[16384], 128);
}

TEST(FrameStatistics, AutomaticStretchSpreadsAFaintFrameOverTheDisplay) {
    // A faint 16-bit frame: every sample between 1000 and 1999, all of it black unstretched.
    const int w = 100, h = 100;
    std::vector<unsigned char> bytes(w * h * 2);
    for (int i = 0; i < w * h; ++i) {
        const int v = 1000 + i % 1000;
        bytes[2 * i] = static_cast<unsigned char>(v & 0xFF);
        bytes[2 * i + 1] = static_cast<unsigned char>(v >> 8);
    }
    const FrameView frame{bytes.data(), w, h, 16, 1};
    const StretchPoints p = automaticStretch(frame);
    EXPECT_NEAR(p.black * 65536, 1000, 32);
    EXPECT_NEAR(p.white * 65536, 2000, 32);
    DisplayPipeline pipeline;
    pipeline.setSettings({StretchMode::Automatic, {}, false, FocusMode::Off, {}});
    const QImage image = pipeline.render(frame, {});
    int lo = 255, hi = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            lo = std::min<int>(lo, image.constScanLine(y)[x]);
            hi = std::max<int>(hi, image.constScanLine(y)[x]);
        }
    EXPECT_LE(lo, 5);
    EXPECT_GE(hi, 250);
}

TEST(FrameStatistics, FocusFiguresFollowTheBlurOfAStar) {
    const int size = 64;
    const PixelBox box{8, 8, 48, 48};
    double lastHfr = 0, lastEnergy = 1e9;
    for (double sigma : {0.8, 1.2, 1.8, 2.6, 3.6, 5.0}) {
        SCOPED_TRACE(sigma);
        auto bytes = starFrame(size, sigma, 31.3, 32.6);
        const FrameView frame{bytes.data(), size, size, 16, 1};
        const double hfr = halfFluxRadius(frame, box);
        const double energy = gradientEnergy(frame, box);
        EXPECT_GT(hfr, lastHfr);
        EXPECT_LT(energy, lastEnergy);
        lastHfr = hfr;
        lastEnergy = energy;
    }
    // A box without a star has no half-flux radius; a box too small has no figure at all.
    auto empty = starFrame(size, 1.0, -100, -100);
    EXPECT_LT(halfFluxRadius(FrameView{empty.data(), size, size, 16, 1}, box), 0);
    EXPECT_LT(gradientEnergy(FrameView{empty.data(), size, size, 16, 1}, {0, 0, 1, 1}), 0);
    // Boxes reaching out of the frame are clipped to it.
    auto star = starFrame(size, 1.5, 5, 5);
    EXPECT_GT(halfFluxRadius(FrameView{star.data(), size, size, 16, 1}, {-20, -20, 40, 40}), 0);
}

TEST(ExposureScale, LogarithmicSliderEndsAreTheRangeAndValuesRoundTrip) {
    using EC = ExposureControl;
    const struct {
        double min, max;
    } ranges[] = {{0.0, 60000.0}, {0.05, 3600000.0}, {1.0, 2.0}, {0.1, 0.1}};
    for (const auto& r : ranges) {
        SCOPED_TRACE(testing::Message() << r.min << " .. " << r.max);
        EXPECT_EQ(EC::sliderToMilliseconds(0, r.min, r.max), r.min);
        EXPECT_EQ(EC::sliderToMilliseconds(EC::kSliderSteps, r.min, r.max), r.max);
        EXPECT_EQ(EC::millisecondsToSlider(r.min, r.min, r.max), 0);
        if (r.max > r.min) {
            EXPECT_EQ(EC::millisecondsToSlider(r.max, r.min, r.max), EC::kSliderSteps);
        }
        double last = -1;
        for (int p = 0; p <= EC::kSliderSteps; p += 50) {
            const double ms = EC::sliderToMilliseconds(p, r.min, r.max);
            EXPECT_GE(ms, last);
            last = ms;
            if (r.max > r.min && p > 0) {
                EXPECT_EQ(EC::millisecondsToSlider(ms, r.min, r.max), p);
            }
        }
    }
    // A scale of hours still has fine steps at the short end: the first step is below 1.1 x.
    const double first = EC::sliderToMilliseconds(1, 0.05, 3600000.0);
    EXPECT_LT(first / 0.05, 1.1);

    const struct {
        double value;
        EC::Unit unit;
        double ms;
    } units[] = {{250, EC::Microseconds, 0.25},
                 {12.5, EC::Milliseconds, 12.5},
                 {30, EC::Seconds, 30000},
                 {1, EC::Microseconds, 0.001}};
    for (const auto& u : units) {
        EXPECT_DOUBLE_EQ(EC::toMilliseconds(u.value, u.unit), u.ms);
        EXPECT_DOUBLE_EQ(EC::fromMilliseconds(u.ms, u.unit), u.value);
    }
}

TEST(SequenceSchedule, FramesAreDueAtStartPlusKIntervalsHoweverLateTheLastOne) {
    SequenceSchedule s;
    s.start = std::chrono::steady_clock::time_point(std::chrono::seconds(1000));
    s.interval = std::chrono::microseconds(1500000);
    EXPECT_EQ(s.due(0), s.start);
    EXPECT_EQ(s.due(10000) - s.start, std::chrono::seconds(15000)); // no drift after hours
    // Frame 3 was saved 0.4 s late: frame 4 is still due at start + 4 intervals.
    const auto late = s.due(3) + std::chrono::milliseconds(400);
    EXPECT_EQ(s.waitFor(4, late), std::chrono::microseconds(1100000));
    // A frame already overdue is taken at once.
    EXPECT_EQ(s.waitFor(2, late), std::chrono::microseconds(0));
}
