// Host-side settings of the base camera: curve setters with their shadow tables, publishing,
// stretch, gains, and the switches that exist only on colour cameras.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "algorithms/algorithms.h"
#include "camera_test_model.h"

using namespace camtest;

namespace {

std::vector<unsigned char> table(void (*build)(int, unsigned char*, int), int value) {
    std::vector<unsigned char> t(256);
    build(value, t.data(), 256);
    return t;
}

bool same(const unsigned char* a, const std::vector<unsigned char>& b) {
    return std::memcmp(a, b.data(), b.size()) == 0;
}

} // namespace

TEST(CameraSoftware, CurvesGoToTheShadowAndArePublishedOnSwap) {
    TestCam cam;
    SoftWareValue& contrast = cam.software[kSwContrast];
    EXPECT_EQ(cam._set_contrast(128), 0); // unchanged value: nothing pending
    EXPECT_EQ(contrast.pending, 0);
    EXPECT_TRUE(same(contrast.table, table(__matrix_contrast, 128)));

    cam._set_contrast(200);
    EXPECT_EQ(contrast.pending, 1);
    EXPECT_TRUE(same(contrast.shadow, table(__matrix_contrast, 200)));
    EXPECT_TRUE(same(contrast.table, table(__matrix_contrast, 128)));
    EXPECT_EQ(cam._swap_software(&contrast, 256), 0);
    EXPECT_EQ(contrast.pending, 0);
    EXPECT_TRUE(same(contrast.table, table(__matrix_contrast, 200)));

    // Nothing pending: the live table stays as it is.
    contrast.shadow[0] ^= 0xFF;
    cam._swap_software(&contrast, 256);
    EXPECT_TRUE(same(contrast.table, table(__matrix_contrast, 200)));
    // A record that is not the camera's, or an oversized copy, is refused or limited.
    SoftWareValue foreign{};
    EXPECT_EQ(cam._swap_software(&foreign, 256), -2);
    EXPECT_EQ(cam._swap_software(nullptr, 256), -2);
    cam._set_gamma(120);
    EXPECT_EQ(cam._swap_software(&cam.software[kSwGamma0], 1 << 20), 0);
    EXPECT_TRUE(same(cam.software[kSwGamma0].table, table(__matrix_gamma, 120)));

    EXPECT_EQ(cam._set_gamma(151), 0);
    EXPECT_EQ(cam._gamma(), 120);
    cam._set_gamma(20);
    EXPECT_EQ(cam._gamma(), 20);
    cam._set_saturation(300);
    EXPECT_EQ(cam._saturation(), 100);
    cam._set_saturation(50);
    EXPECT_EQ(cam._saturation(), 50);
    std::vector<unsigned char> sat(65536);
    __matrix_saturation(50, sat.data(), 256);
    EXPECT_EQ(0, std::memcmp(cam.software[kSwSaturation].shadow, sat.data(), sat.size()));
}

TEST(CameraSoftware, PerChannelSettingsAndOneChannelCameras) {
    TestCam colour;
    colour._set_gamma(120, 2);
    EXPECT_EQ(colour._gamma(2), 120);
    EXPECT_EQ(colour._gamma(0), 100);
    EXPECT_EQ(colour._set_gamma(120, 3), -2);
    EXPECT_EQ(colour._gamma(-1), -2);

    TestCam mono;
    mono.makeMonochrome();
    mono._set_gamma(120, 2);
    EXPECT_EQ(mono._gamma(0), 120);
    EXPECT_EQ(mono.software[kSwGamma0 + 2].value, 100);
    EXPECT_EQ(mono._saturation(), -4);
    int lo = 0, hi = 0, step = 0;
    EXPECT_EQ(mono._saturation_range(&lo, &hi, &step), -4);
    EXPECT_EQ(mono._digital_gain(&lo, &hi, &step), -4);
    bool on = false;
    mono._set_monochrome(true);
    EXPECT_EQ(mono._monochrome(&on), -4);
    mono._set_saturation(50);
    EXPECT_EQ(mono.software[kSwSaturation].value, 100);
    EXPECT_EQ(mono.software[kSwSaturation].pending, 0);
}

TEST(CameraSoftware, DigitalGainsCheckEachChannel) {
    TestCam cam;
    cam._set_digital_gain(100, 10, 64); // green out of range, blue unchanged
    int r = 0, g = 0, b = 0;
    EXPECT_EQ(cam._digital_gain(&r, &g, &b), 0);
    EXPECT_EQ(r, 100);
    EXPECT_EQ(g, 64);
    EXPECT_EQ(b, 64);
    EXPECT_EQ(cam.software[kSwGainRed].pending, 1);
    EXPECT_EQ(cam.software[kSwGainGreen].pending, 0);
    EXPECT_EQ(cam.software[kSwGainBlue].pending, 0);
    EXPECT_TRUE(same(cam.software[kSwGainRed].shadow, table(__matrix_channel, 100)));
    int lo = 0, hi = 0, step = 0;
    cam._digital_gain_range(&lo, &hi, &step);
    EXPECT_EQ(lo, 16);
    EXPECT_EQ(hi, 240);

    cam._set_aetarget(59);
    EXPECT_EQ(cam._aetarget(), 110);
    cam._set_aetarget(180);
    EXPECT_EQ(cam._aetarget(), 180);
    cam._set_flip(0x1FE);
    EXPECT_EQ(cam._flip(), -2); // the low byte, read back sign-extended
}

TEST(CameraSoftware, StretchKeepsItsRangeOnBadInput) {
    TestCam cam;
    SoftWareValue& s = cam.software[kSwStretch0];
    EXPECT_EQ(cam._set_stretch(10, 200, false), 0);
    EXPECT_TRUE(same(
        s.shadow, table([](int, unsigned char* t, int n) { __matrix_stretch(10, 200, t, n); }, 0)));
    cam._swap_software(&s, 256);
    EXPECT_EQ(cam._set_stretch(0, 0, true), 0);
    bool automatic = false;
    int low = 0, high = 0;
    cam._stretch(&low, &high, &automatic);
    EXPECT_TRUE(automatic);
    EXPECT_EQ(low, 10);
    EXPECT_EQ(high, 200);
    EXPECT_EQ(s.pending, 0);

    EXPECT_EQ(cam._set_stretch(200, 100, false), -2);
    cam._stretch(&low, &high, &automatic);
    EXPECT_FALSE(automatic);
    EXPECT_EQ(low, 10);
    EXPECT_EQ(high, 200);
    EXPECT_EQ(s.pending, 1);
    EXPECT_EQ(cam._set_stretch(-1, 100, false), -2);
    EXPECT_EQ(cam._set_stretch(0, 256, false), -2);

    EXPECT_EQ(cam._set_stretch(5, 50, false, 1), 0);
    cam._stretch(&low, &high, nullptr, 1);
    EXPECT_EQ(low, 5);
    EXPECT_EQ(cam._stretch(&low, &high, nullptr, 3), -2);
    EXPECT_EQ(cam._stretch_range(&low, &high, nullptr), 0);
    EXPECT_EQ(high, 255);
}
