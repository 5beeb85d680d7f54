// The base camera under concurrent use: settings change while another thread reads frames, the
// processing side publishes tables, and the camera is unplugged or removed during a read.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "camera_test_model.h"

using namespace camtest;

TEST(CameraThreads, SettersRunWhileFramesAreRead) {
    auto sim = makeSim(0, false);
    TestCam cam;
    ASSERT_EQ(cam.__open_driver(sim), 0);
    cam._sensor_resume();
    cam._set_autoexposure(true);
    std::atomic<bool> stop{false};
    std::atomic<int> frames{0}, failures{0};

    std::thread grab([&] {
        std::vector<unsigned char> buffer(static_cast<size_t>(cam._body()));
        while (!stop.load()) {
            const int r = cam._raw_data(buffer.data(), static_cast<int>(buffer.size()));
            if (r == 0)
                ++frames;
            else if (r != -3)
                ++failures; // -2 would mean the buffer and the frame size disagreed
        }
    });
    std::thread show([&] {
        while (!stop.load()) {
            for (int i = 0; i < kSwCount; ++i)
                cam._swap_software(&cam.software[i], i == kSwSaturation ? 65536 : 256);
            std::this_thread::yield();
        }
    });

    for (int i = 0; i < 300; ++i) {
        cam._set_exposure(1.0f + float(i % 20));
        cam._set_analog_gain(10 + i % 60);
        cam._set_contrast(i % 256);
        cam._set_gamma(20 + i % 130, i % 3);
        cam._set_stretch(i % 100, 100 + i % 150, i % 7 == 0);
        cam._set_digital_gain(16 + i % 200, 64, 64 + i % 100);
        cam._set_resolution(i % 3, false);
        cam._set_roi(i % 50, i % 40, 64 + i, 64 + i);
        cam._set_pixsclock(i % 2);
        if (i % 10 == 0) {
            int w = 0, h = 0;
            cam._raw_size(&w, &h);
            (void)cam._exposure();
        }
    }
    // Keep going until at least a few frames got through with the settings changing.
    for (int i = 0; i < 2000 && frames.load() < 5; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    stop = true;
    grab.join();
    show.join();
    EXPECT_GE(frames.load(), 5);
    EXPECT_EQ(failures.load(), 0);
}

TEST(CameraThreads, UnplugAndRemovalEndAReadInProgress) {
    for (bool markRemoved : {false, true}) {
        hx::sim::SimOptions options;
        options.realTime = true; // a frame takes its exposure time, so the read waits
        auto sim = hx::sim::makeSimCamera(0xC811, 0, options);
        TestCam cam;
        ASSERT_EQ(cam.__open_driver(sim), 0);
        cam._sensor_resume();
        cam._set_exposure(250.0f);
        std::atomic<int> result{1};
        std::atomic<bool> done{false};
        std::thread grab([&] {
            std::vector<unsigned char> buffer(static_cast<size_t>(cam._body()));
            int r = 0;
            // Reads until one fails: the removal must end it.
            while ((r = cam._raw_data(buffer.data(), static_cast<int>(buffer.size()))) == 0) {}
            result = r;
            done = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        // A setter does not wait for the frame in progress.
        EXPECT_EQ(cam._set_contrast(90), 0);
        if (markRemoved)
            cam._mark_removed();
        else
            sim->unplug();
        grab.join();
        EXPECT_TRUE(done.load());
        EXPECT_EQ(result.load(), -3);
        std::vector<unsigned char> buffer(static_cast<size_t>(cam._body()));
        EXPECT_EQ(cam._raw_data(buffer.data(), cam._body()), -3);
    }
}

namespace {

/// Runs one frame read on its own thread. wait() gives its result, or -100 when it has not
/// ended within a minute (the camera is then unplugged, so the thread ends all the same).
struct ReadOnThread {
    TestCam& cam;
    std::shared_ptr<hx::sim::SimCamera> sim;
    std::vector<unsigned char> buffer;
    std::promise<int> result;
    std::thread thread;
    ReadOnThread(TestCam& c, std::shared_ptr<hx::sim::SimCamera> s)
        : cam(c), sim(std::move(s)), buffer(static_cast<size_t>(c._body())) {
        thread = std::thread([this] {
            result.set_value(cam._raw_data(buffer.data(), static_cast<int>(buffer.size())));
        });
    }
    int wait() {
        auto future = result.get_future();
        int r = -100;
        if (future.wait_for(std::chrono::seconds(60)) == std::future_status::ready)
            r = future.get();
        else
            sim->unplug();
        thread.join();
        return r;
    }
};

/// A real-time camera that stops sending behind the camera's back: the host still believes it
/// runs, and the simulated camera itself would wait two minutes before giving up.
std::shared_ptr<hx::sim::SimCamera> silentCamera() {
    hx::sim::SimOptions options;
    options.realTime = true;
    options.readTimeoutMs = 120000;
    return hx::sim::makeSimCamera(0xC811, 0, options);
}

void sendToCamera(hx::sim::SimCamera& sim, uint8_t bRequest) {
    EZURB request{0x40, bRequest, 0, 0, 0, nullptr, 0};
    sim.controlRequest(request);
}

} // namespace

TEST(CameraThreads, AnOverdueFrameEndsTheReadAndTheNextFrameComes) {
    auto sim = silentCamera();
    TestCam cam;
    ASSERT_EQ(cam.__open_driver(sim), 0);
    cam._sensor_resume();
    sendToCamera(*sim, 0xBB);
    ReadOnThread read(cam, sim);
    EXPECT_EQ(read.wait(), -3);
    sendToCamera(*sim, 0xBA);
    std::vector<unsigned char> buffer(static_cast<size_t>(cam._body()));
    EXPECT_EQ(cam._raw_data(buffer.data(), cam._body()), 0);
}

TEST(CameraThreads, CancelAndSuspendEndTheReadInProgressAndLeaveNoCancelBehind) {
    for (ReadEnd how : {ReadEnd::Cancel, ReadEnd::Suspend, ReadEnd::Shutdown}) {
        auto sim = silentCamera();
        TestCam cam;
        cam.unboundedReads = true; // only the end asked for can end this read
        ASSERT_EQ(cam.__open_driver(sim), 0);
        cam._sensor_resume();
        sendToCamera(*sim, 0xBB);
        ReadOnThread read(cam, sim);
        // Whether the cancel finds the read waiting or just starting, the read ends with it.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(cam._end_read(how), 0);
        EXPECT_EQ(read.wait(), -3) << int(how);
        sendToCamera(*sim, 0xBA);
        std::vector<unsigned char> buffer(static_cast<size_t>(cam._body()));
        EXPECT_EQ(cam._raw_data(buffer.data(), cam._body()), how == ReadEnd::Shutdown ? -3 : 0)
            << int(how);
    }
}
