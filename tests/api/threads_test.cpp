// The registry under concurrent use: cameras come and go while other threads call the API.
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "ApiFixture.h"
#include "camera/CamBase.h"

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
    while (calls.load() < 1) std::this_thread::yield();
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
