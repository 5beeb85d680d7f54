// The USB layer of the base camera over the simulated camera: opening, control requests around
// stalls, firmware versions, user-information memory, sensor start and stop.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "camera_test_model.h"

using namespace camtest;
using hx::usb::kUsbIoError;
using hx::usb::kUsbPipeStalled;

namespace {

/// Counts logged requests with a given bRequest.
int countRequests(const hx::sim::SimCamera& sim, uint8_t bRequest) {
    int n = 0;
    for (const auto& r : sim.requestLog())
        if (r.bRequest == bRequest) ++n;
    return n;
}

/// A device whose open fails, or whose interface cannot be claimed.
class RefusingDevice : public hx::usb::UsbDevice {
public:
    explicit RefusingDevice(bool failOpen) : failOpen_(failOpen) {}
    uint16_t vendorId() const override { return 0x0547; }
    uint16_t productId() const override { return 0xC811; }
    uint16_t bcdDevice() const override { return 0x0100; }
    int open() override { return failOpen_ ? kUsbIoError : 0; }
    int reset() override { return 0; }
    int configurationCount() override { return 1; }
    int setConfiguration(int) override { return 0; }
    int claimInterface() override { return kUsbIoError; }
    int controlRequest(EZURB&) override {
        ++requests;
        return 0;
    }
    int readPipe(int, unsigned char*, int, int* received) override {
        ++requests;
        *received = 0;
        return 0;
    }
    int clearPipeStall(int) override { return 0; }
    void abort() override {}
    void close() override { ++closes; }
    int requests = 0;
    int closes = 0;

private:
    bool failOpen_;
};

} // namespace

TEST(CameraUsb, OpenReadsIdsAndRefusedDevicesAreNeverUsed) {
    auto sim = makeSim(0xA001);
    TestCam cam;
    ASSERT_EQ(cam.__open_driver(sim), 0);
    EXPECT_TRUE(sim->isOpen());
    EXPECT_EQ(cam._idproduct(), 0xC811);
    EXPECT_EQ(cam._idvendor(), 0x0547);
    EXPECT_EQ(cam._bcddevice(), 0xA001);
    EXPECT_EQ(cam.__open_driver(nullptr), -3);

    for (bool failOpen : {true, false}) {
        auto dev = std::make_shared<RefusingDevice>(failOpen);
        TestCam refused;
        EXPECT_EQ(refused.__open_driver(dev), -3);
        EXPECT_GE(dev->closes, 1);
        // Nothing reaches a device that could not be opened.
        EXPECT_EQ(refused._sensor_resume(), 0);
        std::vector<unsigned char> buffer(static_cast<size_t>(refused._body()));
        EXPECT_EQ(refused._raw_data(buffer.data(), refused._body()), -3);
        EXPECT_EQ(dev->requests, 0);
    }
}

TEST(CameraUsb, ControlRequestAroundStalls) {
    auto sim = makeSim();
    TestCam cam;
    ASSERT_EQ(cam.__open_driver(sim), 0);

    // One attempt that stalls: the result is that of clearing the stall.
    sim->clearRequestLog();
    sim->stallPipe(0, 1);
    EZURB request{0x40, 0xB7, 77, 0x2F, 0, nullptr, 0};
    EXPECT_EQ(cam._sumbit_ctl_urb(1000, 1, &request), 0);
    EXPECT_NE(sim->registerValue(0x2F), 77);
    // The pipe is usable again.
    EXPECT_EQ(cam._sumbit_ctl_urb(1000, 1, &request), 0);
    EXPECT_EQ(sim->registerValue(0x2F), 77);

    // Two attempts: a stall, then success.
    sim->stallPipe(0, 1);
    request.wValue = 78;
    EXPECT_EQ(cam._sumbit_ctl_urb(1000, 2, &request), 0);
    EXPECT_EQ(sim->registerValue(0x2F), 78);

    // A device that is gone reports so, and a null request is refused.
    EXPECT_EQ(cam._sumbit_ctl_urb(1000, 1, nullptr), hx::usb::kUsbBadArgument);
    sim->unplug();
    EXPECT_EQ(cam._sumbit_ctl_urb(1000, 3, &request), hx::usb::kUsbNoDevice);
}

TEST(CameraUsb, FirmwareVersionIsSignedLittleEndian) {
    TestCam cam;
    EXPECT_EQ(cam._versions(nullptr), -2);
    auto sim = makeSim();
    ASSERT_EQ(cam.__open_driver(sim), 0);
    int version = 0;
    EXPECT_EQ(cam._versions(&version), 0);
    EXPECT_EQ(version, 258);

    hx::sim::SensorProfile profile = hx::sim::findSensorProfile(0xC811, 0x0100);
    profile.productId = 0xC0FE;
    profile.firmwareVersion = -1;
    hx::sim::registerSensorProfile(profile);
    auto other = hx::sim::makeSimCamera(0xC0FE);
    TestCam second;
    ASSERT_EQ(second.__open_driver(other), 0);
    EXPECT_EQ(second._versions(&version), 0);
    EXPECT_EQ(version, -1);
}

TEST(CameraUsb, UserMemoryChunksStayInsideTheCallersBytes) {
    auto sim = makeSim();
    TestCam cam;
    ASSERT_EQ(cam.__open_driver(sim), 0);
    EXPECT_EQ(cam._wmem_inf(nullptr, 10), -2);
    EXPECT_EQ(cam._rmem_inf(nullptr, 10), -2);

    // 200 bytes: three whole chunks and one of 8 bytes, ascending from 0x41.
    std::vector<char> text(200);
    for (int i = 0; i < 200; ++i) text[i] = static_cast<char>('A' + i % 26);
    sim->clearRequestLog();
    EXPECT_EQ(cam._wmem_inf(text.data(), 200), 0);
    const auto log = sim->requestLog();
    ASSERT_EQ(log.size(), 4u);
    const uint16_t first[] = {0x41, 0x81, 0xC1, 0x101};
    const uint16_t last[] = {0x80, 0xC0, 0x100, 0x108};
    const uint16_t length[] = {64, 64, 64, 8};
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(log[k].bmRequestType, 0x40);
        EXPECT_EQ(log[k].bRequest, 0xB0);
        EXPECT_EQ(log[k].wValue, first[k]);
        EXPECT_EQ(log[k].wIndex, last[k]);
        EXPECT_EQ(log[k].wLength, length[k]);
        ASSERT_EQ(log[k].data.size(), length[k]);
        EXPECT_EQ(0, std::memcmp(log[k].data.data(), text.data() + 64 * k, length[k]));
    }
    const auto memory = sim->userMemory();
    EXPECT_EQ(0, std::memcmp(memory.data(), text.data(), 200));

    // 1000 bytes move only 512, in eight requests.
    std::vector<char> big(1000, 'z');
    sim->clearRequestLog();
    cam._wmem_inf(big.data(), 1000);
    EXPECT_EQ(countRequests(*sim, 0xB0), 8);

    // A read moves min(length, 512) bytes in the same chunks and ends them with a 0.
    std::vector<char> back(64 + 16, '#');
    sim->clearRequestLog();
    EXPECT_EQ(cam._rmem_inf(back.data(), 70), 0);
    EXPECT_EQ(std::string(back.data()), std::string(70, 'z'));
    EXPECT_EQ(back[70], 0);
    EXPECT_EQ(back[71], '#');
    const auto reads = sim->requestLog();
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[1].bmRequestType, 0xC0);
    EXPECT_EQ(reads[1].bRequest, 0xB1);
    EXPECT_EQ(reads[1].wValue, 0x81);
    EXPECT_EQ(reads[1].wIndex, 0x86);
    EXPECT_EQ(reads[1].wLength, 6);
    std::vector<char> all(600, '#');
    EXPECT_EQ(cam._rmem_inf(all.data(), 600), 0);
    EXPECT_EQ(std::strlen(all.data()), 512u);
    EXPECT_EQ(all[513], '#');
    std::vector<char> none(4, '#');
    EXPECT_EQ(cam._rmem_inf(none.data(), 0), 0);
    EXPECT_EQ(none[0], 0);
    EXPECT_EQ(none[1], '#');
}

TEST(CameraUsb, ResumeReappliesSettingsAndSuspendStops) {
    auto sim = makeSim();
    TestCam cam;
    ASSERT_EQ(cam.__open_driver(sim), 0);
    EXPECT_EQ(cam._state(), 0);
    sim->clearRequestLog();
    EXPECT_EQ(cam._sensor_resume(), 0);
    EXPECT_EQ(cam._state(), 1);
    EXPECT_TRUE(sim->running());
    const auto log = sim->requestLog();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(log.front().bRequest, 0xBA);
    // Clock, gain (user 30 -> register 61) and resolution carrying the exposure lines.
    EXPECT_EQ(sim->registerValue(0x2F), 61);
    EXPECT_EQ(log.back().bRequest, 0xB4);
    EXPECT_EQ(log.back().wValue, 0xC0);
    EXPECT_EQ(log.back().wIndex, 300);
    EXPECT_EQ(cam._sensor_suspend(), 0);
    EXPECT_EQ(cam._state(), 0);
    EXPECT_FALSE(sim->running());

    // A camera marked removed stays marked, and the destructor stops a running sensor.
    {
        TestCam running;
        auto dev = makeSim();
        ASSERT_EQ(running.__open_driver(dev), 0);
        running._sensor_resume();
        dev->clearRequestLog();
        sim = dev;
    }
    EXPECT_EQ(countRequests(*sim, 0xBB), 1);
    cam._mark_removed();
    cam._sensor_suspend();
    EXPECT_EQ(cam._state(), 3);
}
