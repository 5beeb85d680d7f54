// Frame reads of the base camera over the simulated camera: buffer limits, markers, faults,
// the image record in the head, and raw statistics that follow the sensor settings.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "camera_test_model.h"
#include "sim/SensorProfile.h"
#include "sim/WireFormat.h"

using namespace camtest;

namespace {

constexpr int kFullFrame = 1600 * 1200 + 512; // 8-bit, a whole number of 512-byte blocks

struct Running {
    std::shared_ptr<hx::sim::SimCamera> sim;
    TestCam cam;
    std::vector<unsigned char> buffer;
    explicit Running(uint16_t bcd = 0, bool deep = false, bool flat = true)
        : sim(makeSim(bcd, flat)), cam(deep) {
        EXPECT_EQ(cam.__open_driver(sim), 0);
        cam._sensor_resume();
        buffer.resize(static_cast<size_t>(cam._body()) * 2);
    }
    int read() { return cam._raw_data(buffer.data(), static_cast<int>(buffer.size())); }
    _ezImage* image() { return reinterpret_cast<_ezImage*>(buffer.data()); }
    /// Mean of the 8-bit samples of the last frame.
    double mean() {
        const _ezImage* im = image();
        double sum = 0;
        const size_t n = size_t(im->width) * im->height;
        for (size_t i = 0; i < n; ++i) sum += im->data[i];
        return sum / double(n);
    }
};

/// A camera whose next bulk transfer fails after the frame has left it: the frame is gone and
/// the camera waits for its acknowledge.
class FailingTransfer : public hx::sim::SimCamera {
public:
    FailingTransfer()
        : SimCamera(hx::sim::findSensorProfile(0xC811, 0), hx::sim::makeWireFormat(0xC811, 0),
                    hx::sim::findSensorProfile(0xC811, 0).bcdDevice, hx::sim::SimOptions{}) {}
    int readPipe(int pipe, unsigned char* buffer, int length, int* received) override {
        const int result = SimCamera::readPipe(pipe, buffer, length, received);
        return failNext.exchange(false) ? hx::usb::kUsbIoError : result;
    }
    std::atomic<bool> failNext{false};
};

int countRequests(const std::vector<hx::sim::LoggedRequest>& log, uint8_t bRequest) {
    int n = 0;
    for (const auto& r : log) n += r.bRequest == bRequest;
    return n;
}

} // namespace

TEST(CameraFrame, ReadWritesTheRecordAndChecksTheBufferSize) {
    Running r;
    ASSERT_EQ(r.cam._body(), 1920000 + 512 + 2048);
    EXPECT_EQ(r.cam._raw_data(r.buffer.data(), kFullFrame - 1), -2);
    EXPECT_EQ(r.cam._raw_data(nullptr, kFullFrame), -2);
    ASSERT_EQ(r.cam._raw_data(r.buffer.data(), kFullFrame), 0);
    const _ezImage* im = r.image();
    EXPECT_EQ(std::memcmp(im->magic, "QREZ", 4), 0);
    EXPECT_EQ(im->width, 1600);
    EXPECT_EQ(im->height, 1200);
    EXPECT_EQ(im->depth, 8);
    EXPECT_EQ(im->channels, 1);
    EXPECT_EQ(im->headerSize, 512);
    EXPECT_EQ(im->data, r.buffer.data() + 512);
    EXPECT_EQ(im->resolution, 0);
    EXPECT_EQ(im->decoded, 0);

    // A pending resolution goes out with the next read, which then has the new size.
    r.cam._set_resolution(2, false);
    EXPECT_EQ(r.read(), 0);
    EXPECT_EQ(r.sim->resolutionIndex(), 2);
    EXPECT_EQ(r.image()->width, 400);
    EXPECT_EQ(r.image()->resolution, 2);

    // 800 x 600: the read asks for whole blocks (480256 bytes), but the pixels reach 480512.
    r.cam._set_resolution(1, false);
    EXPECT_EQ(r.cam._raw_data(r.buffer.data(), 480256), -2);
    EXPECT_EQ(r.cam._raw_data(r.buffer.data(), 480512), 0);
    EXPECT_EQ(r.image()->height, 600);
}

TEST(CameraFrame, SixteenBitFramesAreWholeBlocksInLittleEndian) {
    Running r(0, true);
    ASSERT_EQ(r.cam._set_pixsclock(2), 0);
    ASSERT_EQ(r.cam._set_raw_depth(16), 0);
    const int total = 1600 * 1200 * 2 + 512;
    ASSERT_EQ(total, 3840512);
    std::vector<unsigned char> buffer(static_cast<size_t>(total));
    EXPECT_EQ(r.cam._raw_data(buffer.data(), total - 1), -2);
    ASSERT_EQ(r.cam._raw_data(buffer.data(), total), 0);
    const auto* im = reinterpret_cast<_ezImage*>(buffer.data());
    EXPECT_EQ(im->depth, 16);
    EXPECT_EQ(im->stride, 3200);
    // A flat grey scene: the high byte (second, little-endian) carries the level.
    long high = 0;
    for (int i = 0; i < 1000; ++i) high += im->data[2 * i + 1];
    EXPECT_GT(high / 1000, 10);
}

TEST(CameraFrame, MarkersAndFaultsAreRejected) {
    Running r;
    ASSERT_EQ(r.read(), 0);
    r.sim->omitNextMarker();
    EXPECT_EQ(r.read(), -3);
    EXPECT_EQ(r.read(), 0);
    r.sim->strayHeadAtBlock(3);
    EXPECT_EQ(r.read(), -3);
    EXPECT_EQ(r.read(), 0);

    // A stalled bulk pipe fails the read and is cleared for the next one.
    r.sim->stallPipe(1, 1);
    EXPECT_EQ(r.read(), -3);
    int ok = 0;
    for (int i = 0; i < 3 && ok == 0; ++i) ok = r.read() == 0;
    EXPECT_TRUE(ok);

    // A short transfer is judged by the blocks that arrived.
    r.sim->shortenNextTransfer(4096);
    EXPECT_EQ(r.read(), 0);

    // Unplugged: the read gives up.
    r.sim->unplug();
    EXPECT_EQ(r.read(), -3);
}

TEST(CameraFrame, AFailedTransferIsAcknowledgedSoTheCameraSendsAgain) {
    auto sim = std::make_shared<FailingTransfer>();
    TestCam cam;
    ASSERT_EQ(cam.__open_driver(sim), 0);
    cam._sensor_resume();
    std::vector<unsigned char> buffer(static_cast<size_t>(cam._body()));
    const int size = static_cast<int>(buffer.size());
    ASSERT_EQ(cam._raw_data(buffer.data(), size), 0);
    sim->clearRequestLog();
    sim->failNext = true;
    EXPECT_EQ(cam._raw_data(buffer.data(), size), -3);
    EXPECT_EQ(countRequests(sim->requestLog(), 0xB3), 1);
    // Without that acknowledge the camera would never send the next frame.
    EXPECT_EQ(cam._raw_data(buffer.data(), size), 0);
    EXPECT_EQ(cam._raw_data(buffer.data(), size), 0);
}

TEST(CameraFrame, PendingCancelEndsTheNextReadAtOnceAndOnlyThatOne) {
    Running r;
    ASSERT_EQ(r.read(), 0);
    const uint64_t frames = r.sim->framesDelivered();
    r.sim->clearRequestLog();
    EXPECT_EQ(r.cam._end_read(ReadEnd::Cancel), 0);
    EXPECT_EQ(r.cam._end_read(ReadEnd::Cancel), 0); // cancels do not add up
    EXPECT_EQ(r.read(), -3);
    EXPECT_TRUE(r.sim->requestLog().empty()); // nothing was sent, no frame was taken
    EXPECT_EQ(r.sim->framesDelivered(), frames);
    EXPECT_EQ(r.read(), 0);

    // Starting or stopping the sensor forgets a waiting cancel.
    for (ReadEnd forget : {ReadEnd::Resume, ReadEnd::Suspend}) {
        r.cam._end_read(ReadEnd::Cancel);
        r.cam._end_read(forget);
        EXPECT_EQ(r.read(), 0);
    }
    // After shutdown no read starts any more.
    r.cam._end_read(ReadEnd::Shutdown);
    r.sim->clearRequestLog();
    EXPECT_EQ(r.read(), -3);
    EXPECT_EQ(r.read(), -3);
    EXPECT_TRUE(r.sim->requestLog().empty());
}

TEST(CameraFrame, AStoppedSensorGivesNoFrameAndIsNotAsked) {
    Running r;
    r.cam._sensor_suspend();
    r.sim->clearRequestLog();
    EXPECT_EQ(r.read(), -3);
    EXPECT_TRUE(r.sim->requestLog().empty());
    r.cam._sensor_resume();
    EXPECT_EQ(r.read(), 0);
}

TEST(CameraFrame, ReadsWaitForTheExposureTheReadOutAndAMargin) {
    TestCam cam;
    cam.setLongExposure(3000);
    // 300 lines of 1948 clocks at 48 MHz: 12.175 ms, and 1200 lines of read-out: 48.7 ms; the
    // 1.92 MB transfer at the slowest bulk rate: 96 ms.
    ASSERT_EQ(cam._set_exposure(12.175f), 0);
    EXPECT_GE(cam.frameTimeoutMs(), 2000 + 12 + 48 + 96);
    EXPECT_LT(cam.frameTimeoutMs(), 2000 + 13 + 49 + 97);
    // A ten-minute exposure is never cut short.
    ASSERT_EQ(cam._set_exposure(600000.0f), 0);
    ASSERT_GT(cam._exposure(), 599990.0f);
    EXPECT_GE(cam.frameTimeoutMs(), 600000 + 2000);
}

TEST(CameraFrame, DevicesOfRelease0xA001NeedNoStartMarker) {
    Running r(0xA001);
    r.sim->omitNextMarker();
    EXPECT_EQ(r.read(), 0);
}

TEST(CameraFrame, RegionOfInterestCropsTheFrame) {
    Running r;
    r.cam._set_roi(100, 50, 200, 120);
    ASSERT_EQ(r.read(), 0);
    EXPECT_EQ(r.image()->width, 208);
    EXPECT_EQ(r.image()->height, 128);
}

TEST(CameraFrame, RawStatisticsFollowExposureGainAndBlackLevel) {
    Running r;
    r.cam.setBlackLevelSupported();
    r.cam._set_exposure(5.0f);
    ASSERT_EQ(r.read(), 0);
    const double base = r.mean();
    EXPECT_GT(base, 5.0);
    EXPECT_LT(base, 200.0);

    r.cam._set_exposure(10.0f);
    ASSERT_EQ(r.read(), 0);
    const double longer = r.mean();
    EXPECT_GT(longer, base * 1.5);

    r.cam._set_exposure(5.0f);
    r.cam._set_analog_gain(60);
    ASSERT_EQ(r.read(), 0);
    const double gained = r.mean();
    EXPECT_GT(gained, base * 1.3);

    r.cam._set_analog_gain(30);
    r.cam._set_blacklevel(60);
    ASSERT_EQ(r.read(), 0);
    EXPECT_LT(r.mean(), base);
}

TEST(CameraFrame, AutomaticExposureScalesTowardsTheTarget) {
    TestCam cam;
    auto sim = makeSim();
    ASSERT_EQ(cam.__open_driver(sim), 0);
    cam._set_resolution(1, true);
    cam._set_aetarget(128);
    std::vector<unsigned char> pixels(64 * 64);
    _ezImage image{};
    ezInitImageHeader(&image, 64, 64, 1, 8, 0, pixels.data(), 1, 0);

    const float tenMs = 600.5f * 800.0f / 48000.0f; // exactly 600 lines: 10 ms
    cam._set_exposure(tenMs);
    ASSERT_FLOAT_EQ(cam._exposure(), 10.0f);
    std::fill(pixels.begin(), pixels.end(), 120); // within 16 of the target
    cam._calc_auto_exposure(&image, 0);
    EXPECT_FLOAT_EQ(cam._exposure(), 10.0f);
    std::fill(pixels.begin(), pixels.end(), 100);
    cam._calc_auto_exposure(&image, 0);
    EXPECT_FLOAT_EQ(cam._exposure(), 12.8f);

    // Every third call: the first call computes, the next two only count.
    int computed = 0;
    for (int call = 0; call < 7; ++call) {
        cam._set_exposure(tenMs);
        cam._calc_auto_exposure(&image, 3);
        if (cam._exposure() != 10.0f) computed |= 1 << call;
    }
    EXPECT_EQ(computed, 0b1001001);

    // A dark frame counts as mean 10 and the new time is capped at 300 ms.
    cam.setLongExposure(100);
    cam._set_exposure(100.0f);
    std::fill(pixels.begin(), pixels.end(), 0);
    cam._calc_auto_exposure(&image, 0);
    EXPECT_FLOAT_EQ(cam._exposure(), 300.0f);
    EXPECT_EQ(cam._calc_auto_exposure(nullptr, 0), -2);
}
