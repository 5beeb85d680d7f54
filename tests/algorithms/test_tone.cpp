// Tone and colour tables, white-balance gains.
#include "algorithms/tone.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace {

/// A 256-entry table with guard bytes on both sides, filled with a marker.
struct Table {
    std::array<unsigned char, 256 + 32> bytes;
    Table() { bytes.fill(0xEE); }
    unsigned char* data() { return bytes.data() + 16; }
    unsigned char operator[](int i) const { return bytes[16 + i]; }
    bool guardsIntact() const {
        for (int i = 0; i < 16; ++i)
            if (bytes[i] != 0xEE || bytes[16 + 256 + i] != 0xEE) return false;
        return true;
    }
};

/// An owned 8-bit record over a vector.
struct Image {
    std::vector<unsigned char> pixels;
    _ezImage rec{};
    Image(int w, int h, int channels) : pixels(size_t(w) * h * channels) {
        ezInitImageHeader(&rec, w, h, channels, 8, 56, pixels.data(), 0, 0);
    }
    void fill(size_t from, size_t count, std::array<unsigned char, 3> rgb) {
        const int c = rec.channels;
        for (size_t i = from; i < from + count; ++i)
            for (int k = 0; k < c; ++k) pixels[i * c + k] = rgb[k];
    }
};

} // namespace

TEST(ToneTables, GammaIdentityBrighteningAndRejectedValues) {
    Table t;
    __matrix_gamma(100, t.data(), 256);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(t[i], i);
    __matrix_gamma(200, t.data(), 256);
    EXPECT_EQ(t[64], 127);
    EXPECT_EQ(t[0], 0);
    EXPECT_EQ(t[255], 255);
    __matrix_gamma(50, t.data(), 256);
    EXPECT_EQ(t[128], 64); // 255 * (128 / 255)^2 = 64.25
    // A gamma without an exponent leaves the table alone.
    Table untouched;
    __matrix_gamma(0, untouched.data(), 256);
    __matrix_gamma(-20, untouched.data(), 256);
    __matrix_gamma(100, nullptr, 256);
    __matrix_gamma(100, untouched.data(), 0);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(untouched[i], 0xEE);
    EXPECT_TRUE(t.guardsIntact());
}

TEST(ToneTables, ContrastPivotsOn128) {
    Table t;
    __matrix_contrast(128, t.data(), 256);
    EXPECT_EQ(t[0], 4);
    EXPECT_EQ(t[255], 251);
    EXPECT_EQ(t[128], 128);
    __matrix_contrast(255, t.data(), 256); // steep: clamps at both ends
    EXPECT_EQ(t[0], 0);
    EXPECT_EQ(t[255], 255);
    EXPECT_EQ(t[128], 128);
    __matrix_contrast(100000, t.data(), 256); // past 90 degrees: still inside the table
    EXPECT_TRUE(t.guardsIntact());
}

TEST(ToneTables, StretchRangesAndBoundsOutsideTheTable) {
    Table t;
    __matrix_stretch(16, 240, t.data(), 256);
    for (int i = 0; i <= 16; ++i) EXPECT_EQ(t[i], 0);
    EXPECT_EQ(t[17], 1); // 255 / 224 = 1.14
    EXPECT_EQ(t[239], 253);
    for (int i = 240; i < 256; ++i) EXPECT_EQ(t[i], 255);
    __matrix_stretch(0, 255, t.data(), 256);
    EXPECT_EQ(t[254], 254);
    EXPECT_EQ(t[255], 255);

    // high <= low: the two outer ranges only, the upper one written last.
    Table u;
    __matrix_stretch(100, 50, u.data(), 256);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(u[i], 0);
    for (int i = 50; i < 256; ++i) EXPECT_EQ(u[i], 255);

    Table v;
    __matrix_stretch(-40, 400, v.data(), 256);
    __matrix_stretch(300, 500, v.data(), 256);
    __matrix_stretch(-300, -100, v.data(), 256);
    EXPECT_TRUE(t.guardsIntact() && u.guardsIntact() && v.guardsIntact());
}

TEST(ToneTables, SaturationMovesAwayFromTheGreenReference) {
    std::vector<unsigned char> s(256 * 256 + 16, 0xEE);
    __matrix_saturation(100, s.data(), 256);
    for (int x = 0; x < 256; x += 51)
        for (int v = 0; v < 256; ++v) ASSERT_EQ(s[x * 256 + v], v);
    __matrix_saturation(0, s.data(), 256);
    for (int x = 0; x < 256; x += 17)
        for (int v = 0; v < 256; v += 5) ASSERT_EQ(s[x * 256 + v], x);
    __matrix_saturation(200, s.data(), 256);
    EXPECT_EQ(s[100 * 256 + 150], 200);
    EXPECT_EQ(s[100 * 256 + 250], 255); // 400 clamps
    EXPECT_EQ(s[200 * 256 + 0], 0);     // -200 clamps
    __matrix_saturation(50, s.data(), 256);
    EXPECT_EQ(s[100 * 256 + 101], 100); // 0.5 truncates towards zero
    EXPECT_EQ(s[100 * 256 + 99], 100);  // -0.5 as well
    EXPECT_EQ(s[256 * 256], 0xEE);
}

TEST(ToneTables, ChannelGainWith64AsUnity) {
    Table t;
    __matrix_channel(64, t.data(), 256);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(t[i], i);
    __matrix_channel(128, t.data(), 256);
    EXPECT_EQ(t[100], 200);
    EXPECT_EQ(t[127], 254);
    for (int i = 128; i < 256; ++i) EXPECT_EQ(t[i], 255);
    __matrix_channel(96, t.data(), 256);
    EXPECT_EQ(t[3], 4); // 4.5 truncates
    __matrix_channel(-64, t.data(), 256);
    EXPECT_EQ(t[200], 0);
    EXPECT_TRUE(t.guardsIntact());
}

TEST(WhiteBalance, GainsFromMaskedChannelMeans) {
    Image img(20, 2, 3);
    Image mask(20, 2, 1);
    std::fill(mask.pixels.begin(), mask.pixels.end(), 1);
    int gains[3] = {-7, -7, -7};

    img.fill(0, 40, {100, 120, 80});
    ASSERT_EQ(_color_temperature(&img.rec, &mask.rec, gains), 0);
    EXPECT_EQ(gains[0], 76);
    EXPECT_EQ(gains[1], 64);
    EXPECT_EQ(gains[2], 96);

    // 64 * 100 / 10 = 640 would exceed 250: the darkest channel gets 250 instead.
    img.fill(0, 40, {10, 100, 100});
    ASSERT_EQ(_color_temperature(&img.rec, &mask.rec, gains), 0);
    EXPECT_EQ(gains[0], 250);
    EXPECT_EQ(gains[1], 25);
    EXPECT_EQ(gains[2], 25);

    // Only masked pixels count; fewer than 10 leaves the gains as they were.
    std::fill(mask.pixels.begin(), mask.pixels.end(), 0);
    for (int i = 0; i < 9; ++i) mask.pixels[i] = 255;
    gains[0] = gains[1] = gains[2] = 11;
    EXPECT_EQ(_color_temperature(&img.rec, &mask.rec, gains), -1);
    EXPECT_EQ(gains[0], 11);
    mask.pixels[30] = 1;
    img.fill(30, 1, {200, 0, 40});
    ASSERT_EQ(_color_temperature(&img.rec, &mask.rec, gains), 0);
    // means: (9*10 + 200) / 10 = 29, (900 + 0) / 10 = 90, (900 + 40) / 10 = 94
    EXPECT_EQ(gains[0], 207);
    EXPECT_EQ(gains[1], 66);
    EXPECT_EQ(gains[2], 64);

    // One channel: near-white samples are left out.
    Image grey(12, 1, 1);
    Image all(12, 1, 1);
    std::fill(all.pixels.begin(), all.pixels.end(), 1);
    grey.fill(0, 12, {90, 0, 0});
    grey.pixels[11] = 253;
    EXPECT_EQ(_color_temperature(&grey.rec, &all.rec, gains), 0);
    EXPECT_EQ(gains[0], 64);
    EXPECT_EQ(gains[2], 64);
    grey.pixels[10] = 254;
    grey.pixels[9] = 255;
    EXPECT_EQ(_color_temperature(&grey.rec, &all.rec, gains), -1);

    EXPECT_EQ(_color_temperature(nullptr, &mask.rec, gains), -2);
    EXPECT_EQ(_color_temperature(&img.rec, &grey.rec, gains), -2); // mask size differs
}

TEST(WhiteBalance, ThresholdLeavesOutTheDarkBackgroundAndHighlights) {
    // 100 dark grey pixels (level 10), 100 grey pixels (level 60), 200 tinted pixels (level 110)
    // and 20 white ones (level 255). The threshold lands at 60: the dark ones and the white
    // ones drop out, so the means are (86, 100, 73) rather than (67, 77, 57) with the dark
    // ones or higher with the white ones.
    Image img(42, 10, 3);
    img.fill(0, 100, {10, 10, 10});
    img.fill(100, 100, {60, 60, 60});
    img.fill(200, 200, {100, 120, 80});
    img.fill(400, 20, {255, 255, 255});
    int gains[3] = {0, 0, 0};
    ASSERT_EQ(__white_balance(&img.rec, gains), 0);
    EXPECT_EQ(gains[0], 74);
    EXPECT_EQ(gains[1], 64);
    EXPECT_EQ(gains[2], 87);

    // Only near-white pixels: nothing to estimate from.
    Image white(16, 16, 3);
    white.fill(0, 256, {252, 252, 252});
    gains[0] = 5;
    EXPECT_EQ(__white_balance(&white.rec, gains), -1);
    EXPECT_EQ(gains[0], 5);

    Image wide(600, 8, 1);
    wide.fill(0, 4800, {70, 0, 0});
    EXPECT_EQ(__white_balance(&wide.rec, gains), 0); // reduced to 512 wide first
    EXPECT_EQ(gains[0], 64);

    Image empty(0, 0, 3);
    EXPECT_EQ(__white_balance(&empty.rec, gains), -2);
    EXPECT_EQ(__white_balance(nullptr, gains), -2);
    EXPECT_EQ(__white_balance(&img.rec, nullptr), -2);
}
