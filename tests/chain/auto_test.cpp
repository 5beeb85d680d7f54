// White balance, automatic gain and the small image measures.
#include <gtest/gtest.h>

#include "chain_model.h"

using namespace chaintest;

TEST(WhiteBalance, AreaMeansGiveGainsRelativeToTheBrightestChannel) {
    for (int depth : {8, 16}) {
        ChainCam cam;
        RawFrame raw(40, 30, depth);
        const int scale = depth == 16 ? 256 : 1;
        raw.fillRggb(80 * scale + 0x7F % scale, 100 * scale, 120 * scale);
        __IMG_RECT area{10, 8, 30, 20};
        ASSERT_EQ(cam._calc_white_balance(raw.data(), &area), 0) << depth;
        int r = 0, g = 0, b = 0;
        cam._digital_gain(&r, &g, &b);
        EXPECT_EQ(r, 96);
        EXPECT_EQ(g, 76);
        EXPECT_EQ(b, 64) << depth;
        // Published with the next frame: the tables are pending until then.
        EXPECT_EQ(cam.software[kSwGainRed].pending, 1);
        EXPECT_EQ(cam.software[kSwGainBlue].pending, 0); // 64 was already the value
    }
}

TEST(WhiteBalance, RefusesEmptyAreasMonochromeCamerasAndBadFrames) {
    ChainCam cam;
    RawFrame raw(40, 30, 8);
    raw.fillRggb(80, 100, 120);
    __IMG_RECT empty{12, 0, 12, 30};
    EXPECT_EQ(cam._calc_white_balance(raw.data(), &empty), -2);
    __IMG_RECT outside{-20, -20, 0, 50};
    EXPECT_EQ(cam._calc_white_balance(raw.data(), &outside), -2);
    int r = 0, g = 0, b = 0;
    cam._digital_gain(&r, &g, &b);
    EXPECT_EQ(r, 64);
    EXPECT_EQ(g, 64);
    EXPECT_EQ(b, 64);
    EXPECT_EQ(cam.software[kSwGainRed].pending, 0);

    // An area that reaches past the image is clipped to it.
    __IMG_RECT wide{-100, -100, 1000, 1000};
    EXPECT_EQ(cam._calc_white_balance(raw.data(), &wide), 0);

    EXPECT_EQ(cam._calc_white_balance(nullptr, nullptr), -2);
    raw.bytes[1] = 'x';
    EXPECT_EQ(cam._calc_white_balance(raw.data(), nullptr), -2);
    ChainCam grey(false);
    EXPECT_EQ(grey._calc_white_balance(raw.data(), nullptr), -4);
}

TEST(WhiteBalance, WholeImageEstimateBalancesTheChannels) {
    ChainCam cam;
    RawFrame raw(64, 48, 8);
    raw.fillRggb(100, 120, 80);
    ASSERT_EQ(cam._calc_white_balance(raw.data(), nullptr), 0);
    int r = 0, g = 0, b = 0;
    cam._digital_gain(&r, &g, &b);
    EXPECT_EQ(r, 76);
    EXPECT_EQ(g, 64);
    EXPECT_EQ(b, 96);
}

namespace {

/// A one-channel 8-bit record with the statistics area after its pixels.
struct GreyImage {
    std::vector<unsigned char> bytes;
    _ezImage* image() { return reinterpret_cast<_ezImage*>(bytes.data()); }
    GreyImage(int width, int height, int value)
        : bytes(kHead + static_cast<size_t>(width) * height + kEzStatisticsBytes, 0) {
        ezInitImageHeader(image(), width, height, 1, 8, kHead, bytes.data() + kHead, 0, 1);
        std::memset(image()->data, value, static_cast<size_t>(width) * height);
    }
};

} // namespace

TEST(AutoGain, RaisesTheGainUntilBrightOrAtTheLimit) {
    ChainCam cam;
    GreyImage dark(100, 100, 60), bright(100, 100, 200);
    // Every second frame: the first call is not due.
    EXPECT_EQ(cam._calc_auto_gain(dark.image(), 2), -3);
    EXPECT_EQ(cam._analog_gain(), 244);
    EXPECT_EQ(cam._calc_auto_gain(dark.image(), 2), -3);
    EXPECT_EQ(cam._analog_gain(), 405);
    EXPECT_DOUBLE_EQ(cam.historyMean[0], 60.0);
    EXPECT_EQ(cam._calc_auto_gain(bright.image(), 1), 0);
    EXPECT_EQ(cam._analog_gain(), 405);

    // Above max - 161 the gain stays and the top level becomes the high bound.
    cam._set_analog_gain(900);
    EXPECT_EQ(cam._calc_auto_gain(dark.image(), 1), 1);
    int32_t high = 0;
    std::memcpy(&high, dark.image()->tail + 257 * 4, 4);
    EXPECT_EQ(high, 60);
    EXPECT_EQ(cam._analog_gain(), 900);
    EXPECT_EQ(cam._calc_auto_gain(nullptr, 1), -2);
}

TEST(Fluorescence, GainSearchThenMeasuredExposure) {
    ChainCam plain;
    EXPECT_EQ(plain._fluorescence_guide(1, 0), -4);

    ChainCam cam;
    cam.setLongExposure();
    cam._set_stretch(10, 100, false);
    cam._set_analog_gain(300);
    ASSERT_EQ(cam._fluorescence_guide(1, 0), 0);
    EXPECT_EQ(cam._analog_gain(), 244);
    int low = -1, high = -1;
    cam._stretch(&low, &high, nullptr);
    EXPECT_EQ(low, 0);
    EXPECT_EQ(high, 255);
    const float start = cam._exposure();

    // The search raises the gain on a dim frame and ends on a bright one.
    GreyImage dark(100, 100, 60), bright(100, 100, 200), measured(100, 100, 120);
    EXPECT_EQ(cam._fluorescence(dark.image(), 1), 0);
    EXPECT_EQ(cam._analog_gain(), 405);
    EXPECT_EQ(cam._fluorescence(bright.image(), 1), 2);
    EXPECT_EQ(cam._fluorescence(bright.image(), 1), 0); // nothing pending any more

    // The measurement scales the exposure by brightness / first search mean (120 / 60).
    EXPECT_EQ(cam._fluorescence_guide(2, 0), 0);
    EXPECT_EQ(cam._fluorescence(measured.image(), 1), 3);
    EXPECT_NEAR(cam._exposure(), 2 * start, start * 0.01);
    EXPECT_EQ(cam._analog_gain(), 244);
    EXPECT_EQ(cam._fluorescence(measured.image(), 1), 0);
}

TEST(Measures, PointGreyRunsAndDilation) {
    ChainCam cam;
    std::vector<unsigned char> buf(kHead + 2 * 3, 0);
    auto* img = reinterpret_cast<_ezImage*>(buf.data());
    ezInitImageHeader(img, 2, 1, 3, 8, kHead, buf.data() + kHead, 0, 1);
    img->data[0] = 10;
    img->data[1] = 20;
    img->data[2] = 30;
    EXPECT_EQ(cam._pt_gray(0, 0, buf.data()), 22);
    EXPECT_EQ(cam._pt_gray(-1, 0, buf.data()), -2);
    EXPECT_EQ(cam._pt_gray(2, 0, buf.data()), -2);
    EXPECT_EQ(cam._pt_gray(0, 1, buf.data()), -2);
    EXPECT_EQ(cam._pt_gray(0, 0, nullptr), -2);

    // Runs of 5 and 9 ending at zeros count; the run that reaches the end does not.
    const unsigned char mask[20] = {1, 1, 1, 1, 1, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 1, 1, 1, 1};
    EXPECT_EQ(CamBayer::_longest_light(mask, 10, 2, 0), (1 + 2 + 4) / 3);
    // Column by column the runs continue across column ends.
    EXPECT_EQ(CamBayer::_longest_light(mask, 10, 2, 1), (1 + 4) / 2);

    unsigned char src[25], dst[25];
    std::memset(src, 1, sizeof src);
    src[0] = 0;
    CamBayer::_dilation(src, 5, 5, dst, 1, 1);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 5; ++x) {
            const bool inner = x >= 1 && x <= 3 && y >= 1 && y <= 3;
            const bool touchesHole = x <= 1 && y <= 1;
            EXPECT_EQ(dst[y * 5 + x], inner && !touchesHole ? 255 : 0) << x << "," << y;
        }
}
