// The registry under concurrent use: cameras come and go while other threads call the API.
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "ApiFixture.h"
#include "camera/CamBase.h"
#include "tests/WaitUntil.h"

TEST_F(ApiTest, FrameReadOfARemovedRunningCameraGivesUpAndTheObjectDiesAfterIt) {
    start();
    // A real-time camera with a long exposure, so that the unplug finds a read in progress.
    hx::sim::SimOptions options;
    options.realTime = true;
    size_t before = log_.messages.size();
    hx::sim::SimBus::instance().plug(0xC003, 0, options);
    ASSERT_EQ(PumpDeviceEvents(0), 1);
    ASSERT_GT(log_.messages.size(), before);
    std::string name = log_.messages.back().first;
    SetExposure(3000.0f, name.c_str());
    ASSERT_EQ(ResumeDevice(name.c_str()), 0);
    std::weak_ptr<CamBase> weak = hx::cam::CamRegistry::instance().find(name.c_str());
    std::atomic<int> calls{0};
    std::thread grab([&] {
        std::vector<unsigned char> buffer(RecvMemSize(name.c_str()));
        for (;;) {
            ++calls;
            int r = GetRawData(buffer.data(), static_cast<int>(buffer.size()), name.c_str());
            if (r == -1) return; // the name is gone
        }
    });
    EXPECT_TRUE(hxtest::waitUntil([&] { return calls.load() >= 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(UnplugSimulatedCameraByName(name.c_str()), 0);
    EXPECT_EQ(PumpDeviceEvents(0), 1);
    EXPECT_EQ(DeviceCount(), 0);
    grab.join();
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(log_.messages.back(), std::make_pair(name, 3));
}

TEST_F(ApiTest, PlugAndUnplugWhileAnotherThreadUsesEveryCamera) {
    start();
    std::atomic<bool> done{false};
    std::atomic<long> calls{0};
    std::thread user([&] {
        std::vector<unsigned char> buffer;
        while (!done) {
            int count = DeviceCount();
            for (int i = 0; i < count + 1; ++i) {
                const char* name = DeviceName(i);
                int size = RecvMemSize(name);
                if (size > 0 && static_cast<int>(buffer.size()) < size) buffer.resize(size);
                int w = 0, h = 0;
                GetRawSize(&w, &h, name);
                SetExposure(5.0f, name);
                GetExposure(name);
                SetGamma(120, name);
                if (DeviceState(name) == 1 && size > 0) GetRawData(buffer.data(), size, name);
                ++calls;
            }
        }
    });
    std::vector<uint64_t> keys;
    for (int round = 0; round < 12; ++round) {
        uint64_t key = 0;
        std::string name = plug(round % 2 ? 0xA811 : 0xA00A, 0, &key);
        if (!name.empty()) ResumeDevice(name.c_str());
        keys.push_back(key);
        if (keys.size() > 2) {
            UnplugSimulatedCamera(keys.front());
            keys.erase(keys.begin());
            PumpDeviceEvents(0);
        }
    }
    done = true;
    user.join();
    EXPECT_GT(calls.load(), 0);
    EXPECT_EQ(DeviceCount(), 2);
    int arrived = 0, removed = 0;
    for (auto& [name, code] : log_.messages) (code == 0 ? arrived : removed)++;
    EXPECT_EQ(arrived, 12);
    EXPECT_EQ(removed, 10);
}

namespace {

/// A cooled camera in real time, taking ten-minute exposures: a frame read waits for minutes
/// unless something ends it.
class LongExposureTest : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        start();
        hx::sim::SimOptions options;
        options.realTime = true;
        size_t before = log_.messages.size();
        hx::sim::SimBus::instance().plug(
            static_cast<uint16_t>(hx::sim::simProductIdForClass("VDh694M1")), 0, options);
        PumpDeviceEvents(0);
        ASSERT_GT(log_.messages.size(), before);
        name_ = log_.messages.back().first;
        ASSERT_EQ(ResumeDevice(name()), 0);
        SetResolution(2, name()); // small binned frames
        ASSERT_EQ(SetExposure(600000.0f, name()), 0);
        ASSERT_GT(GetExposure(name()), 599000.0f);
        buffer_.resize(static_cast<size_t>(RecvMemSize(name())));
    }
    const char* name() const { return name_.c_str(); }
    int read() { return GetRawData(buffer_.data(), static_cast<int>(buffer_.size()), name()); }
    /// Starts a read on its own thread and lets it begin waiting.
    void startRead() {
        future_ = promise_.get_future();
        grab_ = std::thread([this] { promise_.set_value(read()); });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    /// The read's result, or -100 when it has not ended within a minute (the camera is then
    /// unplugged, so that the thread ends all the same).
    int readResult() {
        int r = -100;
        if (future_.wait_for(std::chrono::seconds(60)) == std::future_status::ready)
            r = future_.get();
        else
            for (uint64_t key : hx::sim::SimBus::instance().keys())
                hx::sim::SimBus::instance().unplug(key);
        grab_.join();
        return r;
    }

    std::string name_;
    std::vector<unsigned char> buffer_;
    std::promise<int> promise_;
    std::future<int> future_;
    std::thread grab_;
};

} // namespace

TEST_F(LongExposureTest, CancelRawDataEndsTheReadAndTheCameraReadsOn) {
    EXPECT_EQ(CancelRawData("no such camera"), -1);
    startRead();
    EXPECT_EQ(CancelRawData(name()), 0);
    EXPECT_EQ(readResult(), -3);
    // Ready for the next read, and no cancel was left behind for it.
    ASSERT_EQ(SetExposure(20.0f, name()), 0);
    EXPECT_EQ(read(), 0);
}

TEST_F(LongExposureTest, SuspendDeviceEndsTheReadAndForgetsAWaitingCancel) {
    startRead();
    EXPECT_EQ(SuspendDevice(name()), 0);
    EXPECT_EQ(readResult(), -3);
    EXPECT_EQ(DeviceState(name()), 0);
    EXPECT_EQ(read(), -3); // a stopped camera sends no frame

    ASSERT_EQ(SetExposure(20.0f, name()), 0);
    EXPECT_EQ(CancelRawData(name()), 0); // waits for the next read...
    EXPECT_EQ(ResumeDevice(name()), 0);  // ...and is forgotten
    EXPECT_EQ(read(), 0);
    EXPECT_EQ(CancelRawData(name()), 0);
    EXPECT_EQ(SuspendDevice(name()), 0);
    EXPECT_EQ(ResumeDevice(name()), 0);
    EXPECT_EQ(read(), 0);
}

TEST_F(LongExposureTest, ExitDeviceEndsTheReadInProgress) {
    startRead();
    ExitDevice();
    EXPECT_EQ(readResult(), -3);
    EXPECT_EQ(read(), -1);
}

// A thread converts and saves frames of a colour camera with colour enhancement on while the
// main thread shuts the library down and starts it again: the colour table and the codecs stay
// valid for every call that is still running, and conversions after a restart are corrected
// by a whole table again.
TEST_F(ApiTest, ShutdownAndRestartWhileAnotherThreadDecodesAndSaves) {
    setenv("HALVEX_SIMULATE", "VAh200C1", 1);
    start();
    ASSERT_EQ(DeviceCount(), 1);
    std::string first = DeviceName(0);
    ASSERT_EQ(ResumeDevice(first.c_str()), 0);
    std::vector<unsigned char> raw(static_cast<size_t>(RecvMemSize(first.c_str())));
    int r = -3;
    for (int attempt = 0; attempt < 20 && r != 0 && r != 1; ++attempt)
        r = GetRawData(raw.data(), static_cast<int>(raw.size()), first.c_str());
    ASSERT_TRUE(r == 0 || r == 1) << r;

    std::mutex nameMutex;
    std::string current = first;
    std::atomic<bool> done{false};
    std::atomic<long> decodes{0};
    const std::string shot = (dir_ / "shot").string();
    std::thread worker([&] {
        std::vector<unsigned char> work(raw.size()), image(raw.size() * 3 + 8192);
        for (long turn = 0; !done.load(); ++turn) {
            std::string name;
            {
                std::lock_guard lock(nameMutex);
                name = current;
            }
            SetColorEnhancement(true, name.c_str());
            std::memcpy(work.data(), raw.data(), raw.size());
            if (DecodeRaw2Image(work.data(), image.data(), name.c_str()) == 0) ++decodes;
            // The raw record goes through the chain once more on its way to the TIFF file.
            if (turn % 4 == 0) SaveFile(raw.data(), shot.c_str(), 2, name.c_str());
        }
    });
    // A failed assertion below returns early: the worker is stopped and joined on the way out.
    struct StopAndJoin {
        std::atomic<bool>& done;
        std::thread& worker;
        ~StopAndJoin() {
            done = true;
            if (worker.joinable()) worker.join();
        }
    } stopAndJoin{done, worker};
    for (int cycle = 0; cycle < 6; ++cycle) {
        // Let a conversion of this run's camera begin, then pull the library from under it.
        const long seen = decodes.load();
        ASSERT_TRUE(
            hxtest::waitUntil([&] { return decodes.load() > seen; }, std::chrono::seconds(60)));
        ExitDevice();
        ASSERT_EQ(InitDevice(&recordHotPlug, &log_, docs_.c_str()), 0);
        ASSERT_EQ(DeviceCount(), 1);
        std::lock_guard lock(nameMutex);
        current = DeviceName(0);
    }
    done = true;
    worker.join();
    EXPECT_GE(decodes.load(), 6);

    // After all this the library has its table again: enhancement changes the picture.
    const char* name = DeviceName(0);
    std::vector<unsigned char> work(raw), plain(raw.size() * 3 + 8192), enhanced(plain.size());
    SetColorEnhancement(false, name);
    ASSERT_EQ(DecodeRaw2Image(work.data(), plain.data(), name), 0);
    work = raw;
    SetColorEnhancement(true, name);
    ASSERT_EQ(DecodeRaw2Image(work.data(), enhanced.data(), name), 0);
    const auto* header = reinterpret_cast<const _ezImage*>(plain.data());
    const size_t bytes = static_cast<size_t>(header->stride) * header->height;
    ASSERT_GT(bytes, 0u);
    EXPECT_NE(
        std::memcmp(plain.data() + header->headerSize, enhanced.data() + header->headerSize, bytes),
        0);
}
