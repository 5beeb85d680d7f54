// The simulated sensor's physics: exposure, gain, black level, dark current, hot pixels,
// colour mosaic, saturation and determinism.
#include <gtest/gtest.h>

#include <algorithm>

#include "sim_test_util.h"

using namespace hx::sim;
using namespace hx::usb;
using namespace simtest;

namespace {

/// A small monochrome sensor for quick measurements: 256 x 192 at 24 MHz, linear gain.
SensorProfile smallProfile(int bayer = 0) {
    SensorProfile p;
    p.name = "small";
    p.productId = 0xF000;
    p.resolutions = {{0xC0, 1000, 0, 256, 192, 0}};
    p.clocks = {{0xA0, 24000}};
    p.gainRegister = 0x35;
    p.exposureRegister = 0x09;
    p.blackLevelRegister = 0x02;
    p.bayer = bayer;
    p.gainLaw = GainLaw::Linear;
    p.gainUnity = 32;
    p.initialGainRegister = 32;
    return p;
}

std::shared_ptr<SimCamera> smallCamera(SimOptions options, int bayer = 0) {
    auto cam = std::make_shared<SimCamera>(smallProfile(bayer),
                                           std::make_unique<HeadMarkerFormat>(), 0x100, options);
    start(*cam);
    send(*cam, 0xB9, 5); // 16-bit for fine measurements
    return cam;
}

/// Mean 16-bit level of the next frame after writing one register.
double meanAfter(SimCamera& cam, uint16_t reg, uint16_t value) {
    send(cam, 0xB7, value, reg);
    Read r = readFrame(cam);
    EXPECT_EQ(r.result, kUsbOk);
    return mean16(r);
}

TEST(SimPhysics, BrighterWithExposureAndGainDarkerWithBlackLevel) {
    auto cam = smallCamera(quiet());
    // Exposure 100 -> 200 -> 400 lines: the signal above the pedestal doubles each time.
    const double e1 = meanAfter(*cam, 0x09, 100);
    const double e2 = meanAfter(*cam, 0x09, 200);
    const double e4 = meanAfter(*cam, 0x09, 400);
    EXPECT_LT(e1, e2);
    EXPECT_LT(e2, e4);
    const double pedestal = cam->profile().pedestal;
    EXPECT_NEAR((e4 - pedestal) / (e2 - pedestal), 2.0, 0.02);
    EXPECT_NEAR((e2 - pedestal) / (e1 - pedestal), 2.0, 0.02);

    const double g1 = meanAfter(*cam, 0x35, 32);
    const double g2 = meanAfter(*cam, 0x35, 64);
    EXPECT_NEAR((g2 - pedestal) / (g1 - pedestal), 2.0, 0.02);

    const double b0 = meanAfter(*cam, 0x02, 0);
    const double b5 = meanAfter(*cam, 0x02, 5);
    const double b10 = meanAfter(*cam, 0x02, 10);
    EXPECT_GT(b0, b5);
    EXPECT_GT(b5, b10);
    EXPECT_NEAR(b0 - b10, 10 * cam->profile().blackLevelStep, 2.0);
}

TEST(SimPhysics, GainLawsAreMonotonic) {
    // The register values the models send for rising user gains.
    auto cam = makeSimCamera(0xC811);
    cam->open();
    double last = 0;
    for (int g = 1; g <= 80; ++g) {
        const int reg = g <= 32 ? g + 31 : g + 127;
        send(*cam, 0xB7, uint16_t(reg), 0x2F);
        EXPECT_GT(cam->linearGain(), last) << "gain " << g;
        last = cam->linearGain();
    }
    SensorProfile coarse = smallProfile();
    coarse.gainLaw = GainLaw::Coarse3FFine;
    SimCamera other(coarse, nullptr, 0x100, quiet());
    other.open();
    last = 0;
    for (int g = 1; g <= 174; ++g) {
        const int reg = g < 64 ? g : 256 * g - 16065;
        send(other, 0xB7, uint16_t(reg), 0x35);
        EXPECT_GT(other.linearGain(), last) << "gain " << g;
        last = other.linearGain();
    }
}

TEST(SimPhysics, DarkCurrentGrowsWithExposureAndTemperature) {
    SimOptions options = quiet();
    options.flatColour = {0, 0, 0};
    auto cam = smallCamera(options);
    // 24000 lines of 1000 clocks at 24 MHz = 1 s.
    const double d1 = meanAfter(*cam, 0x09, 24000);
    const double d2 = meanAfter(*cam, 0x09, 48000);
    EXPECT_GT(d1, cam->profile().pedestal);
    EXPECT_GT(d2 - cam->profile().pedestal, 1.9 * (d1 - cam->profile().pedestal));

    options.ambientCelsius = 40;
    auto warm = smallCamera(options);
    EXPECT_GT(meanAfter(*warm, 0x09, 24000), d1 + 1);
}

TEST(SimPhysics, HotPixelsStayPutAndGrowWithExposure) {
    SimOptions options = quiet();
    options.flatColour = {0, 0, 0};
    options.hotPixels = true;
    SensorProfile profile = smallProfile();
    profile.hotPixelFraction = 1.0 / 500;
    auto cam = std::make_shared<SimCamera>(profile, nullptr, 0x100, options);
    start(*cam);
    send(*cam, 0xB9, 5);
    const auto hot = cam->hotPixels();
    ASSERT_GE(hot.size(), 50u);
    auto level = [](const Read& r, int x, int y) {
        const size_t i = 512 + 2 * (size_t(y) * 256 + x);
        return (r.bytes[i] << 8) | r.bytes[i + 1];
    };
    send(*cam, 0xB7, 2400, 0x09); // 0.1 s
    Read a = readFrame(*cam);
    Read b = readFrame(*cam);
    send(*cam, 0xB7, 24000, 0x09); // 1 s
    Read c = readFrame(*cam);
    std::vector<int> levels;
    for (int y = 0; y < 192; ++y)
        for (int x = 0; x < 256; ++x) levels.push_back(level(a, x, y));
    std::nth_element(levels.begin(), levels.begin() + levels.size() / 2, levels.end());
    const int background = levels[levels.size() / 2];
    int brighter = 0;
    for (auto [x, y] : hot) {
        EXPECT_EQ(level(a, x, y), level(b, x, y)); // same place, same level, frame after frame
        EXPECT_GT(level(a, x, y), background);
        brighter += level(c, x, y) > level(a, x, y);
    }
    EXPECT_EQ(brighter, int(hot.size()));
}

TEST(SimPhysics, BayerPhasesMatchTheCode) {
    // A red scene: for each code the red cell of the 2 x 2 mosaic is where the code puts it.
    const int redCell[5][2] = {{-1, -1}, {1, 1}, {1, 0}, {0, 0}, {0, 1}}; // (row, column)
    for (int code = 0; code <= 4; ++code) {
        SimOptions options = quiet();
        options.flatColour = {0.8, 0.0, 0.0};
        auto cam = smallCamera(options, code);
        Read r = readFrame(*cam);
        ASSERT_EQ(r.result, kUsbOk);
        auto at = [&](int row, int col) {
            const size_t i = 512 + 2 * (size_t(row + 10) * 256 + col + 10);
            return (r.bytes[i] << 8) | r.bytes[i + 1];
        };
        const double pedestal = cam->profile().pedestal;
        for (int row = 0; row < 2; ++row) {
            for (int col = 0; col < 2; ++col) {
                const bool red = row == redCell[code][0] && col == redCell[code][1];
                if (code == 0 || red)
                    EXPECT_GT(at(row, col), pedestal + 1000) << code << row << col;
                else
                    EXPECT_NEAR(at(row, col), pedestal, 2) << code << row << col;
            }
        }
    }
}

TEST(SimPhysics, SaturatesAndVignettes) {
    SimOptions options = quiet();
    options.flatColour = {1, 1, 1};
    auto cam = smallCamera(options);
    send(*cam, 0xB9, 10);
    send(*cam, 0xB7, 60000, 0x09);
    Read full = readFrame(*cam);
    EXPECT_EQ(*std::min_element(full.bytes.begin() + 512, full.bytes.end()), 255);

    options.vignetting = true;
    options.flatColour = {0.5, 0.5, 0.5};
    auto v = smallCamera(options);
    Read r = readFrame(*v);
    auto at = [&](int x, int y) {
        const size_t i = 512 + 2 * (size_t(y) * 256 + x);
        return (r.bytes[i] << 8) | r.bytes[i + 1];
    };
    EXPECT_GT(at(128, 96), at(0, 0) + 100);
    EXPECT_GT(at(128, 96), at(128, 0));
}

TEST(SimPhysics, SameSeedSameBytes) {
    auto run = [](uint64_t seed) {
        SimOptions options;
        options.seed = seed;
        auto cam = makeSimCamera(0xC811, 0, options);
        start(*cam);
        send(*cam, 0xB4, 0xC2, 200);
        std::vector<uint8_t> all;
        for (int i = 0; i < 3; ++i) {
            Read r = readFrame(*cam);
            all.insert(all.end(), r.bytes.begin(), r.bytes.end());
        }
        return all;
    };
    const auto a = run(7), b = run(7), c = run(8);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
}

TEST(SimPhysics, SceneMovesBetweenFrames) {
    SimOptions options = quiet(SimScene::MicroscopeSlide);
    options.motion = true;
    auto cam = makeSimCamera(0xC811, 0, options);
    start(*cam);
    Read a = readFrame(*cam), b = readFrame(*cam);
    EXPECT_NE(a.bytes, b.bytes);
    options.motion = false;
    auto still = makeSimCamera(0xC811, 0, options);
    start(*still);
    Read c = readFrame(*still), d = readFrame(*still);
    EXPECT_EQ(std::vector<uint8_t>(c.bytes.begin() + 512, c.bytes.end()),
              std::vector<uint8_t>(d.bytes.begin() + 512, d.bytes.end()));
}

TEST(SimPhysics, ARepeatedPictureStaysUntilTheShapeChanges) {
    SimOptions options = quiet(SimScene::MicroscopeSlide);
    options.motion = true;
    options.repeatPicture = true;
    auto cam = makeSimCamera(0xC811, 0, options);
    start(*cam);
    Read a = readFrame(*cam), b = readFrame(*cam);
    ASSERT_EQ(a.result, 0);
    ASSERT_EQ(a.bytes.size(), b.bytes.size());
    // The scene moved, the picture did not (the head carries the frame number).
    EXPECT_TRUE(std::equal(a.bytes.begin() + 512, a.bytes.end(), b.bytes.begin() + 512));
    // Another resolution renders its own picture at its own size; the bits and the markers
    // still follow the requests.
    send(*cam, 0xB4, 0xC2, 300);
    ASSERT_EQ(cam->resolutionIndex(), 2);
    Read c = readFrame(*cam);
    ASSERT_EQ(c.result, 0);
    EXPECT_NE(c.bytes.size(), a.bytes.size());
    cam->pressSnapshotButton();
    Read d = readFrame(*cam);
    EXPECT_NE(d.bytes, c.bytes);
}

} // namespace
