// Sensor settings of the base camera: resolution, clock, raw depth, exposure and its line-time
// conversion, black level and region of interest.
#include <gtest/gtest.h>

#include "camera_test_model.h"

using namespace camtest;

namespace {

struct OpenCam {
    std::shared_ptr<hx::sim::SimCamera> sim = makeSim();
    TestCam cam;
    explicit OpenCam(bool deep = false) : cam(deep) { EXPECT_EQ(cam.__open_driver(sim), 0); }
};

} // namespace

TEST(CameraSensor, ExposureConvertsMillisecondsToLinesAndBack) {
    OpenCam o;
    TestCam& cam = o.cam;
    o.sim->clearRequestLog();
    EXPECT_EQ(cam._set_exposure(12.175f), 0);
    EXPECT_EQ(cam.exposure.value, 300);
    EXPECT_FLOAT_EQ(cam._exposure(), 12.175f);
    EXPECT_EQ(o.sim->registerValue(0x09), 300);

    // Limits: below one line gives the minimum; far above gives the maximum.
    cam._set_exposure(0.0f);
    EXPECT_EQ(cam.exposure.value, 1);
    cam._set_exposure(1e9f);
    EXPECT_EQ(cam.exposure.value, 6000);
    cam._set_exposure(-5.0f);
    EXPECT_EQ(cam.exposure.value, 1);

    float lo = 0, hi = 0, step = 0;
    EXPECT_EQ(cam._exposure_range(&lo, &hi, &step), 0);
    EXPECT_FLOAT_EQ(lo, 1948.0f / 48000.0f);
    EXPECT_FLOAT_EQ(hi, 5999 * (1948.0f / 48000.0f));
}

TEST(CameraSensor, ClockChangeKeepsTheExposureTime) {
    OpenCam o;
    TestCam& cam = o.cam;
    cam._set_exposure(12.175f);
    ASSERT_EQ(cam._pixsclock(), 0);
    EXPECT_EQ(cam._set_pixsclock(1), 0);
    EXPECT_EQ(cam.exposure.value, 150);
    EXPECT_EQ(cam.lineClock, 24000);
    EXPECT_FLOAT_EQ(cam._exposure(), 12.175f);
    EXPECT_EQ(o.sim->clockIndex(), 1);
    // 301 lines at 24 MHz are 602 at 48 MHz and back again (rounded).
    cam._set_exposure(301.5f * 1948.0f / 24000.0f);
    EXPECT_EQ(cam.exposure.value, 301);
    cam._set_pixsclock(0);
    EXPECT_EQ(cam.exposure.value, 602);
    EXPECT_EQ(cam._set_pixsclock(-1), -2);
    EXPECT_EQ(cam._set_pixsclock(2), -2);
    EXPECT_STREQ(cam._pixsclock_string_at_index(1), "Normal");
    EXPECT_EQ(cam._pixsclock_string_at_index(2), nullptr);
}

TEST(CameraSensor, ResolutionIsPreparedOrSentAndClearsTheRegion) {
    OpenCam o;
    TestCam& cam = o.cam;
    EXPECT_EQ(cam._set_resolution(3, true), -2);
    EXPECT_EQ(cam._set_resolution(-1, false), -2);
    EXPECT_EQ(cam._resolution_count(), 3);
    EXPECT_STREQ(cam._resolution_string_at_index(2), "392x292");
    EXPECT_EQ(cam._resolution_string_at_index(3), nullptr);
    EXPECT_EQ(cam._resolution_width_at_index(0), 1592);
    EXPECT_EQ(cam._resolution_height_at_index(1), 592);
    EXPECT_EQ(cam._resolution_width_at_index(3), -2);

    cam._set_roi(0, 0, 100, 100);
    cam.setHardwareWindow(true);
    o.sim->clearRequestLog();
    EXPECT_EQ(cam._set_resolution(1, false), 0);
    EXPECT_TRUE(o.sim->requestLog().empty());
    EXPECT_TRUE(cam.resolutionPending.load());
    bool on = true;
    cam._roi_state(&on);
    EXPECT_FALSE(on);
    EXPECT_FALSE(cam.hardwareWindow.load());
    // The new line length converts the exposure: 300 lines of 1948 clocks = 730.5 -> 731.
    EXPECT_EQ(cam.exposure.value, 731);
    EXPECT_EQ(cam.resolution.request.wValue, 0xC1);
    EXPECT_EQ(cam.resolution.request.wIndex, 731);
    // An exposure change while the request waits rides along with it.
    cam._set_exposure(100.5f * 800.0f / 48000.0f);
    EXPECT_EQ(cam.resolution.request.wIndex, 100);

    EXPECT_EQ(cam._set_resolution(2, true), 0);
    EXPECT_EQ(o.sim->resolutionIndex(), 2);
    int w = 0, h = 0;
    cam._raw_size(&w, &h);
    EXPECT_EQ(w, 400);
    EXPECT_EQ(h, 300);
}

TEST(CameraSensor, RegionIsClampedAndAligned) {
    OpenCam o;
    TestCam& cam = o.cam;
    EXPECT_EQ(cam._set_roi(-5, 3, 10000, 7), 0);
    int x, y, w, h;
    cam._roi(&x, &y, &w, &h);
    EXPECT_EQ(x, 0);
    EXPECT_EQ(y, 2);
    EXPECT_EQ(w, 1592);
    EXPECT_EQ(h, 8);
    bool on = false;
    cam._roi_state(&on);
    EXPECT_TRUE(on);

    // Alignment: x to 4, y to 2, size + 8 to 4 and 2.
    cam._set_roi(7, 5, 101, 51);
    cam._roi(&x, &y, &w, &h);
    EXPECT_EQ(x, 4);
    EXPECT_EQ(y, 4);
    EXPECT_EQ(w, 100);
    EXPECT_EQ(h, 50);

    // An origin beyond the image keeps a region of at least 8 x 8 inside it.
    cam._set_roi(5000, 5000, 20, 20);
    cam._roi(&x, &y, &w, &h);
    EXPECT_GE(w, 8);
    EXPECT_GE(h, 8);
    EXPECT_LE(x + w, 1592);
    EXPECT_LE(y + h, 1192);

    // Switching the region off while the camera delivers only the region: item 0 next read.
    cam._set_resolution(1, true);
    cam._set_roi(0, 0, 64, 64);
    cam.setHardwareWindow(true);
    EXPECT_EQ(cam._set_roi_state(false), 0);
    EXPECT_EQ(cam._resolution(), 0);
    EXPECT_TRUE(cam.resolutionPending.load());
}

TEST(CameraSensor, RawDepthFollowsTheClockTable) {
    // Without deep clocks 16-bit data is never possible.
    OpenCam plain;
    for (int c = 0; c < 2; ++c) EXPECT_EQ(plain.cam._raw_depth_state(c), -4);
    EXPECT_EQ(plain.cam._raw_depth_state(2), -2);
    EXPECT_EQ(plain.cam._set_raw_depth(16), -4);

    OpenCam o(true);
    TestCam& cam = o.cam;
    EXPECT_EQ(cam._raw_depth_state(1), 4); // 24 MHz at full resolution
    EXPECT_EQ(cam._raw_depth_state(2), 0);
    EXPECT_EQ(cam._set_pixsclock(2), 0);
    EXPECT_EQ(cam._set_raw_depth(12), -2);
    EXPECT_EQ(cam._set_raw_depth(16), 0);
    EXPECT_EQ(o.sim->bitDepth(), 16);
    // 16-bit at full resolution refuses a 24 MHz clock.
    EXPECT_EQ(cam._set_pixsclock(1), 4);
    EXPECT_EQ(cam._pixsclock(), 2);
    // The first item has shift 1: at resolution 0 it selects the next one down.
    cam._set_raw_depth(8);
    EXPECT_EQ(cam._set_pixsclock(0), 4);
    EXPECT_EQ(cam._pixsclock(), 1);
    cam._set_resolution(1, true);
    EXPECT_EQ(cam._set_pixsclock(0), 0);
    EXPECT_EQ(cam._pixsclock(), 0);
}

TEST(CameraSensor, BlackLevelAndLongExposure) {
    OpenCam o;
    TestCam& cam = o.cam;
    EXPECT_EQ(cam._set_blacklevel(5), -4);
    EXPECT_EQ(cam._blacklevel_range(nullptr, nullptr, nullptr), -4);
    EXPECT_EQ(cam._restart_state(), -4);
    cam.setBlackLevelSupported();
    EXPECT_EQ(cam._set_blacklevel(101), -2);
    EXPECT_EQ(cam._set_blacklevel(40), 0);
    EXPECT_EQ(o.sim->registerValue(0x02), 40);
    EXPECT_EQ(cam._blacklevel(), 40);

    cam.setLongExposure(100);
    // 13000 lines = 2 periods of 6000 and 1000 lines.
    o.sim->clearRequestLog();
    cam._set_exposure(13000 * 1948.0f / 48000.0f + 0.001f);
    EXPECT_EQ(cam.longExposure.value, 2);
    EXPECT_EQ(cam.exposure.value, 1000);
    EXPECT_EQ(o.sim->requestLog().size(), 2u);
    // The same split again sends nothing.
    o.sim->clearRequestLog();
    cam._set_exposure(13000 * 1948.0f / 48000.0f + 0.001f);
    EXPECT_TRUE(o.sim->requestLog().empty());
    EXPECT_EQ(cam._restart_state(), 0);
    o.sim->clearRequestLog();
    EXPECT_EQ(cam._restart_exposure(), 0);
    const auto log = o.sim->requestLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].bRequest, 0xBB);
    EXPECT_EQ(log[1].bRequest, 0xB4);
    EXPECT_EQ(log[1].wIndex, 13000);
    EXPECT_EQ(log[1].wValue, 0xC0);
}
