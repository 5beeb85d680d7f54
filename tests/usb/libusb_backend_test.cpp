// The product's libusb backend, unchanged, against cameras emulated at the kernel interface:
// arrival and removal through udev events, control requests with their exact setup packets,
// frames carried by bulk URBs, stalled pipes, a cable pulled during a frame read, and abort.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "EmulatedCamera.h"
#include "camera/CamRegistry.h"
#include "usb/LibusbBus.h"
#include "usb/LibusbDevice.h"

namespace {

using hx::test::EmulatedCamera;
using hx::test::SetupPacket;

constexpr uint16_t kColour = 0xA811; ///< three resolution items, the largest over one chunk
constexpr uint16_t kOther = 0xC003;

struct HotPlugLog {
    std::vector<std::pair<std::string, int>> messages;
};

void recordHotPlug(void* application, const char* name, int code) {
    static_cast<HotPlugLog*>(application)->messages.emplace_back(name, code);
}

class LibusbBackend : public ::testing::Test {
protected:
    void SetUp() override {
        if (!hx::test::emulatedUsb())
            GTEST_SKIP() << "USB emulation unavailable: " << hx::test::emulatedUsbUnavailable();
        unsetenv("HALVEX_NO_USB");
        unsetenv("HALVEX_SIMULATE");
        dir_ = std::filesystem::temp_directory_path() /
               ("halvex-usb-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override {
        ExitDevice();
        cameras_.clear();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    EmulatedCamera& plug(uint16_t productId) {
        cameras_.push_back(std::make_unique<EmulatedCamera>(productId));
        return *cameras_.back();
    }
    void start() {
        const std::string docs = dir_.string() + "/";
        ASSERT_EQ(InitDevice(&recordHotPlug, &log_, docs.c_str()), 0);
    }
    /// Applies device events until the condition holds; false after ten seconds without it.
    bool pumpUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            PumpDeviceEvents(50);
        }
        return true;
    }
    /// Starts the library with one camera present and returns its registered name.
    std::string startWithCamera(EmulatedCamera& camera) {
        start();
        if (DeviceCount() != 1) return "";
        std::string name = DeviceName(0);
        camera.clearControlLog();
        camera.sim().clearRequestLog();
        return name;
    }
    std::vector<unsigned char> frameBuffer(const std::string& name) {
        return std::vector<unsigned char>(static_cast<size_t>(RecvMemSize(name.c_str())));
    }

    std::filesystem::path dir_;
    HotPlugLog log_;
    std::vector<std::unique_ptr<EmulatedCamera>> cameras_;
};

const _ezImage* record(const std::vector<unsigned char>& buffer) {
    return reinterpret_cast<const _ezImage*>(buffer.data());
}

std::vector<SetupPacket> withRequest(const std::vector<SetupPacket>& log, uint8_t bRequest) {
    std::vector<SetupPacket> out;
    for (const SetupPacket& p : log)
        if (p.bRequest == bRequest) out.push_back(p);
    return out;
}

TEST_F(LibusbBackend, RegistryTakesInPresentAndArrivingCamerasAndDropsThemOnRemoval) {
    EmulatedCamera& present = plug(kColour);
    start();
    ASSERT_EQ(DeviceCount(), 1);
    const std::string first = DeviceName(0);
    EXPECT_EQ(DeviceProduct(first.c_str()), kColour);
    EXPECT_EQ(DeviceVendor(first.c_str()), 0x0547);
    EXPECT_EQ(DeviceBcd(first.c_str()), present.sim().bcdDevice());
    ASSERT_EQ(log_.messages.size(), 1u);
    EXPECT_EQ(log_.messages[0], std::make_pair(first, 0));
    // Opening went through the node: port reset, then the interface claimed.
    EXPECT_GE(present.counts().resets, 1);
    EXPECT_EQ(present.counts().claims, 1);
    EXPECT_TRUE(present.sim().isOpen());

    // A device of the vendor that no model serves arrives first and is passed over; events
    // come in order, so it would be in the registry by the time the camera is.
    EmulatedCamera& foreign = plug(0x1234);
    foreign.announce();
    EmulatedCamera& later = plug(kOther);
    later.announce();
    ASSERT_TRUE(pumpUntil([] { return DeviceCount() == 2; }));
    std::string second;
    for (int i = 0; i < DeviceCount(); ++i)
        if (DeviceProduct(DeviceName(i)) == kOther) second = DeviceName(i);
    ASSERT_FALSE(second.empty());
    EXPECT_EQ(log_.messages.back(), std::make_pair(second, 0));
    EXPECT_EQ(log_.messages.size(), 2u);
    EXPECT_EQ(foreign.counts().claims, 0);

    later.unplug();
    ASSERT_TRUE(pumpUntil([] { return DeviceCount() == 1; }));
    EXPECT_EQ(log_.messages.back(), std::make_pair(second, 3));
    EXPECT_EQ(DeviceProduct(second.c_str()), 0);
    // The other camera is untouched and still answers.
    EXPECT_EQ(std::string(DeviceName(0)), first);
    EXPECT_EQ(DeviceProduct(first.c_str()), kColour);
    present.clearControlLog();
    DeviceVersion(first.c_str());
    EXPECT_EQ(withRequest(present.controlLog(), 0xB6).size(), 1u);
}

TEST_F(LibusbBackend, RestartedLibraryTakesInTheCameraAgainAndReadsFrames) {
    EmulatedCamera& camera = plug(kColour);
    start();
    ASSERT_EQ(DeviceCount(), 1);
    ExitDevice();
    EXPECT_EQ(camera.counts().releases, 1); // the interface was given back
    start();
    ASSERT_EQ(DeviceCount(), 1);
    const std::string name = DeviceName(0); // a new instance, so a new name
    EXPECT_EQ(DeviceProduct(name.c_str()), kColour);
    EXPECT_EQ(camera.counts().claims, 2);
    const char* n = name.c_str();
    ASSERT_GE(SetResolution(GetResolutionCount(n) - 1, n), 0);
    ASSERT_EQ(ResumeDevice(n), 0);
    std::vector<unsigned char> raw = frameBuffer(name);
    EXPECT_EQ(GetRawData(raw.data(), static_cast<int>(raw.size()), n), 0);
    SuspendDevice(n);
}

TEST_F(LibusbBackend, ControlRequestsReachTheCameraWithTheirExactSetupPackets) {
    EmulatedCamera& camera = plug(kColour);
    const std::string name = startWithCamera(camera);
    ASSERT_FALSE(name.empty());
    const char* n = name.c_str();

    // A sensor register write: 0xB7 out, value in wValue, register in wIndex, no data stage.
    int low = 0, high = 0, step = 0;
    ASSERT_EQ(GetAnaloggainRange(&low, &high, &step, n), 0);
    SetAnaloggain(low + (high - low) / 2, n);
    auto writes = withRequest(camera.controlLog(), 0xB7);
    ASSERT_FALSE(writes.empty());
    for (const SetupPacket& p : writes) {
        EXPECT_EQ(p.bmRequestType, 0x40);
        EXPECT_EQ(p.wLength, 0);
        EXPECT_EQ(p.status, 0);
        EXPECT_EQ(camera.sim().registerValue(p.wIndex), p.wValue) << "register " << p.wIndex;
    }

    // The user memory: 64-byte chunks from address 0x41 up, out with 0xB0 and back with 0xB1.
    std::vector<char> text(200);
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('A' + i % 26);
    text.resize(512 + 64, 0);
    camera.clearControlLog();
    ASSERT_EQ(WriteInf(text.data(), 200, n), 0);
    auto chunks = withRequest(camera.controlLog(), 0xB0);
    ASSERT_EQ(chunks.size(), 4u);
    for (size_t k = 0; k < chunks.size(); ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(chunks[k].bmRequestType, 0x40);
        EXPECT_EQ(chunks[k].wValue, 0x41 + 64 * k);
        if (k < 3) {
            EXPECT_EQ(chunks[k].wIndex, 0x41 + 64 * k + 63);
            ASSERT_EQ(chunks[k].wLength, 64);
            EXPECT_TRUE(std::equal(chunks[k].data.begin(), chunks[k].data.end(),
                                   text.begin() + 64 * static_cast<long>(k)));
        }
    }
    const auto memory = camera.sim().userMemory();
    EXPECT_TRUE(std::equal(text.begin(), text.begin() + 200, memory.begin()));

    std::vector<char> back(512 + 64 + 1, 'x');
    camera.clearControlLog();
    ASSERT_EQ(ReadInf(back.data(), 200, n), 0);
    auto reads = withRequest(camera.controlLog(), 0xB1);
    ASSERT_EQ(reads.size(), 4u);
    EXPECT_EQ(reads[0].bmRequestType, 0xC0);
    EXPECT_EQ(reads[0].wValue, 0x41);
    EXPECT_EQ(reads[0].wIndex, 0x80);
    EXPECT_EQ(reads[0].wLength, 64);
    // The last chunk asks for the 8 bytes the write sent; all 200 come back, then the 0.
    EXPECT_EQ(reads[3].wValue, 0x101);
    EXPECT_EQ(reads[3].wLength, 8);
    EXPECT_TRUE(std::equal(text.begin(), text.begin() + 200, back.begin()));
    EXPECT_EQ(back[200], 0);
    EXPECT_EQ(back[201], 'x');

    // The version query: 0xB6 in, wIndex 2, 64 bytes; the first two bytes are the version.
    camera.clearControlLog();
    const int version = DeviceVersion(n);
    auto queries = withRequest(camera.controlLog(), 0xB6);
    ASSERT_EQ(queries.size(), 1u);
    const SetupPacket& q = queries[0];
    EXPECT_EQ(q.bmRequestType, 0xC0);
    EXPECT_EQ(q.wValue, 0);
    EXPECT_EQ(q.wIndex, 2);
    EXPECT_EQ(q.wLength, 64);
    ASSERT_GE(q.data.size(), 2u);
    EXPECT_EQ(version, static_cast<int16_t>(q.data[0] | q.data[1] << 8));

    // A stalled default pipe fails that one request only; the next one goes through.
    camera.sim().stallPipe(hx::usb::kControlPipe, 1);
    camera.clearControlLog();
    DeviceVersion(n);
    EXPECT_EQ(DeviceVersion(n), version);
    queries = withRequest(camera.controlLog(), 0xB6);
    ASSERT_EQ(queries.size(), 2u);
    EXPECT_EQ(queries[0].status, -EPIPE);
    EXPECT_EQ(queries[1].status, 0);

    // Every request crossed the node unchanged: the camera logged the same packets.
    camera.clearControlLog();
    camera.sim().clearRequestLog();
    SetExposure(20.0f, n);
    SetBlacklevel(3, n);
    ResumeDevice(n);
    SuspendDevice(n);
    const auto node = camera.controlLog();
    const auto seen = camera.sim().requestLog();
    ASSERT_EQ(node.size(), seen.size());
    ASSERT_FALSE(node.empty());
    for (size_t i = 0; i < node.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(node[i].bmRequestType, seen[i].bmRequestType);
        EXPECT_EQ(node[i].bRequest, seen[i].bRequest);
        EXPECT_EQ(node[i].wValue, seen[i].wValue);
        EXPECT_EQ(node[i].wIndex, seen[i].wIndex);
        EXPECT_EQ(node[i].wLength, seen[i].wLength);
    }
}

TEST_F(LibusbBackend, FramesArriveThroughBulkTransfersAndDecode) {
    EmulatedCamera& camera = plug(kColour);
    const std::string name = startWithCamera(camera);
    ASSERT_FALSE(name.empty());
    const char* n = name.c_str();
    std::vector<unsigned char> raw = frameBuffer(name);
    ASSERT_FALSE(raw.empty());

    // The smallest item: one URB per frame.
    const int items = GetResolutionCount(n);
    ASSERT_GE(items, 2);
    ASSERT_GE(SetResolution(items - 1, n), 0);
    ASSERT_EQ(ResumeDevice(n), 0);
    int width = 0, height = 0;
    ASSERT_EQ(GetRawSize(&width, &height, n), 0);
    for (int frame = 0; frame < 3; ++frame) {
        SCOPED_TRACE(frame);
        ASSERT_EQ(GetRawData(raw.data(), static_cast<int>(raw.size()), n), 0);
        EXPECT_EQ(record(raw)->width, width);
        EXPECT_EQ(record(raw)->height, height);
    }
    const int channels = GetImageChannles(n);
    std::vector<unsigned char> image(raw.size() * static_cast<size_t>(channels) + 65536);
    ASSERT_EQ(DecodeRaw2Image(raw.data(), image.data(), n), 0);
    const _ezImage* decoded = reinterpret_cast<const _ezImage*>(image.data());
    EXPECT_EQ(decoded->channels, channels);
    EXPECT_GT(decoded->width, 0);

    // The largest item spans several chunks: the frame is put together from several URBs.
    ASSERT_GE(SetResolution(0, n), 0);
    ASSERT_EQ(GetRawSize(&width, &height, n), 0);
    raw = frameBuffer(name);
    // The new item takes effect with the next read; a frame of the old one may still be on its
    // way, and the read-out drops it.
    int r = -1;
    for (int attempt = 0; attempt < 3 && r != 0; ++attempt)
        r = GetRawData(raw.data(), static_cast<int>(raw.size()), n);
    ASSERT_EQ(r, 0);
    const size_t transfer = camera.sim().currentTransferSize();
    ASSERT_GT(transfer, static_cast<size_t>(hx::usb::LibusbDevice::kChunkBytes));
    const hx::test::NodeCounts before = camera.counts();
    ASSERT_EQ(GetRawData(raw.data(), static_cast<int>(raw.size()), n), 0);
    const hx::test::NodeCounts after = camera.counts();
    EXPECT_EQ(record(raw)->width, width);
    EXPECT_EQ(record(raw)->height, height);
    const size_t chunks = (transfer + hx::usb::LibusbDevice::kChunkBytes - 1) /
                          static_cast<size_t>(hx::usb::LibusbDevice::kChunkBytes);
    EXPECT_GE(static_cast<size_t>(after.bulkCompletions - before.bulkCompletions), chunks);
    EXPECT_EQ(static_cast<size_t>(after.bulkBytes - before.bulkBytes), transfer);
    image.assign(raw.size() * static_cast<size_t>(channels) + 65536, 0);
    EXPECT_EQ(DecodeRaw2Image(raw.data(), image.data(), n), 0);

    // A frame that ends early. Chunks already in flight behind it catch the start of the next
    // frame; those bytes must open the next read, which then brings that frame whole: nothing
    // the camera sent is lost or read twice.
    camera.sim().shortenNextTransfer(static_cast<int>(transfer / 2));
    GetRawData(raw.data(), static_cast<int>(raw.size()), n); // judged by the read-out
    ASSERT_EQ(GetRawData(raw.data(), static_cast<int>(raw.size()), n), 0);
    EXPECT_EQ(record(raw)->width, width);
    EXPECT_EQ(record(raw)->height, height);
    const hx::test::NodeCounts next = camera.counts();
    EXPECT_EQ(static_cast<size_t>(next.bulkBytes - after.bulkBytes),
              (transfer - transfer / 2) + transfer);
    EXPECT_EQ(next.pendingBulk, 0);
    SuspendDevice(n);
}

TEST_F(LibusbBackend, StalledBulkPipeIsClearedAndTheNextFrameArrives) {
    EmulatedCamera& camera = plug(kColour);
    const std::string name = startWithCamera(camera);
    ASSERT_FALSE(name.empty());
    const char* n = name.c_str();
    ASSERT_GE(SetResolution(GetResolutionCount(n) - 1, n), 0);
    ASSERT_EQ(ResumeDevice(n), 0);
    std::vector<unsigned char> raw = frameBuffer(name);
    ASSERT_EQ(GetRawData(raw.data(), static_cast<int>(raw.size()), n), 0);

    camera.sim().stallPipe(hx::usb::kBulkInPipe, 1);
    EXPECT_NE(GetRawData(raw.data(), static_cast<int>(raw.size()), n), 0);
    EXPECT_EQ(camera.counts().clearHalts, 1);
    int r = -1;
    for (int attempt = 0; attempt < 3 && r != 0; ++attempt)
        r = GetRawData(raw.data(), static_cast<int>(raw.size()), n);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(camera.counts().clearHalts, 1);
    SuspendDevice(n);
}

TEST_F(LibusbBackend, UnplugDuringAFrameReadEndsTheReadAndTheCamera) {
    EmulatedCamera& camera = plug(kColour);
    const std::string name = startWithCamera(camera);
    ASSERT_FALSE(name.empty());
    const char* n = name.c_str();
    ASSERT_GE(SetResolution(GetResolutionCount(n) - 1, n), 0);
    ASSERT_EQ(ResumeDevice(n), 0);

    // The camera holds its frame back, so the read is waiting on the bulk pipe when the cable
    // goes.
    camera.holdBulk(true);
    int result = 0;
    std::thread grab([&] {
        std::vector<unsigned char> raw = frameBuffer(name);
        result = GetRawData(raw.data(), static_cast<int>(raw.size()), n);
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (camera.counts().pendingBulk == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_GT(camera.counts().pendingBulk, 0);
    camera.unplug();
    EXPECT_TRUE(pumpUntil([] { return DeviceCount() == 0; }));
    grab.join();
    EXPECT_NE(result, 0);
    EXPECT_EQ(log_.messages.back(), std::make_pair(name, 3));
    EXPECT_EQ(camera.counts().pendingBulk, 0);
}

/// The backend alone: abort() takes back every URB of a frame read that is waiting on the
/// pipe, the read answers kUsbNoDevice, and later requests do not reach the camera.
TEST(LibusbDeviceEmulated, AbortTakesBackEveryUrbInFlight) {
    if (!hx::test::emulatedUsb())
        GTEST_SKIP() << "USB emulation unavailable: " << hx::test::emulatedUsbUnavailable();
    EmulatedCamera camera(kColour);
    hx::usb::LibusbBus bus;
    std::shared_ptr<hx::usb::UsbDevice> device;
    ASSERT_TRUE(bus.start([](uint16_t, uint16_t productId) { return productId == kColour; },
                          [&](const hx::usb::UsbEvent& e) {
                              if (e.kind == hx::usb::UsbEvent::Kind::Arrived) device = e.device;
                          }));
    ASSERT_TRUE(device);
    EXPECT_TRUE(bus.hotplug()); // arrivals and removals come as udev events, not by polling
    ASSERT_EQ(device->open(), hx::usb::kUsbOk);
    ASSERT_EQ(device->setConfiguration(0), hx::usb::kUsbOk);
    ASSERT_EQ(device->claimInterface(), hx::usb::kUsbOk);

    camera.holdBulk(true);
    constexpr int kPieces = 3;
    std::vector<unsigned char> buffer(size_t{kPieces} * hx::usb::LibusbDevice::kChunkBytes);
    int result = hx::usb::kUsbOk, received = -1;
    std::thread reader([&] {
        result = device->readPipe(hx::usb::kBulkInPipe, buffer.data(),
                                  static_cast<int>(buffer.size()), &received);
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (camera.counts().pendingBulk < kPieces && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_GE(camera.counts().pendingBulk, kPieces);
    device->abort();
    reader.join();
    EXPECT_EQ(result, hx::usb::kUsbNoDevice);
    EXPECT_EQ(received, 0);
    const hx::test::NodeCounts counts = camera.counts();
    EXPECT_EQ(counts.discards, counts.bulkSubmits); // every URB was taken back
    EXPECT_EQ(counts.pendingBulk, 0);
    EXPECT_EQ(counts.bulkBytes, 0);

    camera.clearControlLog();
    unsigned char reply[64];
    EZURB version{0xC0, 0xB6, 0, 2, 64, reply, 0};
    EXPECT_EQ(device->controlRequest(version), hx::usb::kUsbNoDevice);
    EXPECT_TRUE(camera.controlLog().empty());
    device->close();
    device.reset();
    bus.stop();
}

/// The backend alone: a bulk read that the camera does not answer ends at its time limit and
/// on cancelRead(), taking back every URB each time, and the device reads on afterwards.
TEST(LibusbDeviceEmulated, HeldReadsEndAtTheirLimitAndOnCancelAndTheDeviceReadsOn) {
    if (!hx::test::emulatedUsb())
        GTEST_SKIP() << "USB emulation unavailable: " << hx::test::emulatedUsbUnavailable();
    EmulatedCamera camera(kColour);
    hx::usb::LibusbBus bus;
    std::shared_ptr<hx::usb::UsbDevice> device;
    ASSERT_TRUE(bus.start([](uint16_t, uint16_t productId) { return productId == kColour; },
                          [&](const hx::usb::UsbEvent& e) {
                              if (e.kind == hx::usb::UsbEvent::Kind::Arrived) device = e.device;
                          }));
    ASSERT_TRUE(device);
    ASSERT_EQ(device->open(), hx::usb::kUsbOk);
    ASSERT_EQ(device->setConfiguration(0), hx::usb::kUsbOk);
    ASSERT_EQ(device->claimInterface(), hx::usb::kUsbOk);
    EZURB start{0x40, 0xBA, 0, 0, 0, nullptr, 0};
    ASSERT_EQ(device->controlRequest(start), hx::usb::kUsbOk);

    camera.holdBulk(true);
    std::vector<unsigned char> buffer(size_t{2} * hx::usb::LibusbDevice::kChunkBytes);
    const int length = static_cast<int>(buffer.size());
    int received = -1;
    device->setReadTimeout(300);
    EXPECT_EQ(device->readPipe(hx::usb::kBulkInPipe, buffer.data(), length, &received),
              hx::usb::kUsbTimeout);
    EXPECT_EQ(received, 0);
    EXPECT_EQ(camera.counts().pendingBulk, 0);

    device->setReadTimeout(0);
    int result = hx::usb::kUsbOk;
    std::thread reader(
        [&] { result = device->readPipe(hx::usb::kBulkInPipe, buffer.data(), length, &received); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (camera.counts().pendingBulk < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_GE(camera.counts().pendingBulk, 2);
    device->cancelRead();
    reader.join();
    EXPECT_EQ(result, hx::usb::kUsbCancelled);
    EXPECT_EQ(camera.counts().pendingBulk, 0);

    // A cancel with no read waits for the next one; clearing it lets the next read through.
    device->cancelRead();
    EXPECT_EQ(device->readPipe(hx::usb::kBulkInPipe, buffer.data(), length, &received),
              hx::usb::kUsbCancelled);
    device->cancelRead();
    device->clearReadCancel();
    camera.holdBulk(false);
    device->setReadTimeout(10000);
    EXPECT_EQ(device->readPipe(hx::usb::kBulkInPipe, buffer.data(), length, &received),
              hx::usb::kUsbOk);
    EXPECT_GT(received, 0);
    device->close();
    device.reset();
    bus.stop();
}

} // namespace
