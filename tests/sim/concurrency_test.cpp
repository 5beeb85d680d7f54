// The simulated camera under several threads: blocked reads wake on unplug, and control
// requests run alongside bulk reads.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "sim_test_util.h"
#include "tests/WaitUntil.h"

using namespace hx::sim;
using namespace hx::usb;
using namespace simtest;

namespace {

/// A slow sensor: 1000 lines of 60000 clocks at 1 MHz make a one-minute exposure.
std::shared_ptr<SimCamera> slowCamera() {
    SensorProfile p;
    p.name = "slow";
    p.productId = 0xF001;
    p.resolutions = {{0xC0, 60000, 0, 64, 48, 0}};
    p.clocks = {{0xA0, 1000}};
    p.initialExposureLines = 1000;
    SimOptions options;
    options.realTime = true;
    options.readTimeoutMs = 60000;
    return std::make_shared<SimCamera>(p, nullptr, 0x100, options);
}

TEST(SimConcurrency, UnplugWakesAReadWaitingForItsExposure) {
    auto cam = slowCamera();
    start(*cam);
    std::atomic<bool> reading{false};
    int result = kUsbOk;
    std::thread reader([&] {
        reading = true;
        result = readFrame(*cam, 1 << 16, false).result;
    });
    EXPECT_TRUE(hxtest::waitUntil([&] { return reading.load(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    cam->unplug();
    reader.join(); // without the wake-up this would wait out the minute and get a frame
    EXPECT_EQ(result, kUsbNoDevice);
}

TEST(SimConcurrency, AbortWakesAReadWaitingForTheStart) {
    auto cam = slowCamera();
    cam->open(); // never started: the read waits for a start request
    int result = kUsbOk;
    std::thread reader([&] { result = readFrame(*cam, 1 << 16, false).result; });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    cam->abort();
    reader.join();
    EXPECT_EQ(result, kUsbNoDevice);
}

TEST(SimConcurrency, ControlRequestsWhileFramesFlow) {
    auto cam = makeSimCamera(0xC811);
    start(*cam);
    send(*cam, 0xB4, 0xC2, 100);
    std::atomic<bool> done{false};
    int frames = 0, failures = 0;
    std::thread reader([&] {
        std::vector<uint8_t> buffer(1 << 20);
        for (int i = 0; i < 40; ++i) {
            int received = 0;
            const int r = cam->readPipe(1, buffer.data(), int(buffer.size()), &received);
            if (r == kUsbOk)
                ++frames;
            else if (r != kUsbTimeout)
                ++failures;
            send(*cam, 0xB3);
        }
        done = true;
    });
    std::thread settings([&] {
        uint16_t v = 0;
        while (!done) {
            send(*cam, 0xB7, uint16_t(31 + v % 40), 0x2F);
            send(*cam, 0xB9, (v & 1) ? 5 : 10);
            send(*cam, 0xB4, (v & 2) ? 0xC2 : 0xC1, uint16_t(100 + v % 50));
            if (v % 256 == 0) {
                cam->requestLog();
                cam->clearRequestLog();
                cam->hotPixels();
            }
            ++v;
            std::this_thread::yield();
        }
    });
    reader.join();
    settings.join();
    EXPECT_GT(frames, 0);
    EXPECT_EQ(failures, 0);
}

} // namespace
