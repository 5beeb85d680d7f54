// The base camera under concurrent use: settings change while another thread reads frames, the
// processing side publishes tables, and the camera is unplugged or removed during a read.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <utility>
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

namespace {

/// A camera that stops answering control requests while its gate is shut: every request waits
/// at the gate (at most a minute) and then goes on to the simulated camera. Everything else
/// passes straight through.
class GatedCamera : public hx::usb::UsbDevice {
public:
    explicit GatedCamera(std::shared_ptr<hx::sim::SimCamera> sim) : sim_(std::move(sim)) {}
    uint16_t vendorId() const override { return sim_->vendorId(); }
    uint16_t productId() const override { return sim_->productId(); }
    uint16_t bcdDevice() const override { return sim_->bcdDevice(); }
    int open() override { return sim_->open(); }
    int reset() override { return sim_->reset(); }
    int configurationCount() override { return sim_->configurationCount(); }
    int setConfiguration(int index) override { return sim_->setConfiguration(index); }
    int claimInterface() override { return sim_->claimInterface(); }
    int controlRequest(EZURB& request) override {
        {
            std::unique_lock lock(mutex_);
            ++waiting_;
            changed_.notify_all();
            changed_.wait_for(lock, std::chrono::minutes(1), [this] { return open_; });
            --waiting_;
        }
        return sim_->controlRequest(request);
    }
    int readPipe(int pipe, unsigned char* buffer, int length, int* received) override {
        return sim_->readPipe(pipe, buffer, length, received);
    }
    int clearPipeStall(int pipe) override { return sim_->clearPipeStall(pipe); }
    void abort() override { sim_->abort(); }
    void setReadTimeout(int timeoutMs) override { sim_->setReadTimeout(timeoutMs); }
    void cancelRead() override { sim_->cancelRead(); }
    void clearReadCancel() override { sim_->clearReadCancel(); }
    void close() override { sim_->close(); }

    void shut() {
        std::lock_guard lock(mutex_);
        open_ = false;
    }
    void release() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    /// Waits at most `limit` until a request waits at the gate.
    bool awaitHeldRequest(std::chrono::seconds limit) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [this] { return waiting_ > 0; });
    }

private:
    std::shared_ptr<hx::sim::SimCamera> sim_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = true;
    int waiting_ = 0;
};

/// The register writes (0xB7) the camera received from index `from` on, as (register, value).
std::vector<std::pair<uint16_t, uint16_t>> registerWrites(const hx::sim::SimCamera& sim,
                                                          size_t from) {
    std::vector<std::pair<uint16_t, uint16_t>> writes;
    const auto log = sim.requestLog();
    for (size_t i = from; i < log.size(); ++i)
        if (log[i].bRequest == 0xB7) writes.emplace_back(log[i].wIndex, log[i].wValue);
    return writes;
}

} // namespace

// A camera that stops answering holds up the thread whose request waits for it, and the
// requests made after it, which reach the camera in the order they were made; it never holds
// up the threads that only read settings or publish tables for the conversion.
TEST(CameraThreads, AControlRequestThatWaitsHoldsNoSettingsLock) {
    auto sim = makeSim();
    auto gated = std::make_shared<GatedCamera>(sim);
    TestCam cam;
    ASSERT_EQ(cam.__open_driver(gated), 0);
    cam._sensor_resume();
    std::vector<unsigned char> raw(static_cast<size_t>(cam._body()));
    ASSERT_EQ(cam._raw_data(raw.data(), static_cast<int>(raw.size())), 0);
    const size_t logged = sim->requestLog().size();

    gated->shut();
    std::thread exposure([&] { cam._set_exposure(20.0f); });
    ASSERT_TRUE(gated->awaitHeldRequest(std::chrono::seconds(60)));
    std::thread gain([&] { cam._set_analog_gain(50); });

    // Readers and the conversion go on while the camera does not answer.
    std::promise<void> readersDone;
    std::thread readers([&] {
        int w = 0, h = 0;
        cam._raw_size(&w, &h);
        (void)cam._exposure();
        (void)cam._resolution();
        cam._set_gamma(130);
        std::vector<unsigned char> work(raw), image(raw.size() * 3 + 8192);
        cam._raw2image(work.data(), image.data(), true);
        readersDone.set_value();
    });
    const bool readersFinishedFirst =
        readersDone.get_future().wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    gated->release();
    readers.join();
    exposure.join();
    gain.join();
    EXPECT_TRUE(readersFinishedFirst);

    // 20 ms at 48000 kHz and line length 1948 is 492 lines; gain 50 is register value 177.
    const auto writes = registerWrites(*sim, logged);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0], std::make_pair(uint16_t{0x09}, uint16_t{492}));
    EXPECT_EQ(writes[1], std::make_pair(uint16_t{0x2F}, uint16_t{177}));
    EXPECT_EQ(sim->registerValue(0x09), 492);
    EXPECT_EQ(sim->registerValue(0x2F), 177);
}

// Resolution changes while frames are read: every frame is labelled with the size of the mode
// the camera read it in (only the reading thread sends resolution requests, so the simulated
// camera's mode after a read is the frame's).
TEST(CameraThreads, EveryFrameIsLabelledWithTheModeItWasReadIn) {
    auto sim = makeSim();
    TestCam cam;
    ASSERT_EQ(cam.__open_driver(sim), 0);
    cam._sensor_resume();
    std::atomic<bool> done{false};
    std::atomic<int> frames{0}, mislabelled{0};
    std::thread grab([&] {
        std::vector<unsigned char> buffer(static_cast<size_t>(cam._body()));
        for (int i = 0; i < 150; ++i) {
            if (cam._raw_data(buffer.data(), static_cast<int>(buffer.size())) != 0) continue;
            ++frames;
            const auto* image = reinterpret_cast<const _ezImage*>(buffer.data());
            const ResolutionItem& item = kRes[sim->resolutionIndex()];
            if (image->resolution != sim->resolutionIndex() || image->width != item.sensorWidth ||
                image->height != item.sensorHeight)
                ++mislabelled;
        }
        done = true;
    });
    for (int i = 0; !done.load(); ++i) cam._set_resolution(1 + i % 2, false);
    grab.join();
    EXPECT_GT(frames.load(), 0);
    EXPECT_EQ(mislabelled.load(), 0);
}
