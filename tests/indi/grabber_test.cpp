// The driver's frame reading thread on simulated cameras: exposures, damaged frames, abort,
// streaming and a camera that leaves mid-stream; run under ThreadSanitizer in CI.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <set>
#include <string>
#include <thread>

#include "SimulatedLibrary.h"
#include "camera/CamApi.h"
#include "camera/CamRegistry.h"
#include "indi/FrameGrabber.h"
#include "sim/SimBus.h"

using hx::indi::ExposureJob;
using hx::indi::FrameGrabber;
using hx::indi::FrameView;
using hx::indi::GrabResult;
using Clock = std::chrono::steady_clock;

namespace {

class GrabberTest : public SimulatedLibraryTest {
protected:
    void TearDown() override {
        grabber_.reset();
        SimulatedLibraryTest::TearDown();
    }
    /// Plugs and starts a camera; the grabber reads it.
    void plug(unsigned short product, unsigned short bcd = 0, bool realTime = false) {
        name_ = plugCamera(product, bcd, realTime);
        ASSERT_FALSE(name_.empty());
        ASSERT_EQ(ResumeDevice(name_.c_str()), 0);
        grabber_ = std::make_unique<FrameGrabber>(name_);
    }
    std::shared_ptr<hx::sim::SimCamera> sim() {
        return hx::sim::SimBus::instance().camera(
            hx::cam::CamRegistry::instance().keyOf(name_.c_str()));
    }
    /// Waits for the grabber's results, pumping device events meanwhile; bounded.
    std::vector<GrabResult> results(double seconds) {
        const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
        while (Clock::now() < deadline) {
            pollfd p{grabber_->eventFd(), POLLIN, 0};
            if (::poll(&p, 1, 50) > 0) return grabber_->takeResults();
            PumpDeviceEvents(0);
        }
        return {};
    }
    GrabResult exposeOnce(double ms) {
        SetExposure(static_cast<float>(ms), name_.c_str());
        ExposureJob job;
        job.milliseconds = GetExposure(name_.c_str()); // what the camera can do of ms
        job.restart = ResetSupport(name_.c_str()) == 0;
        const uint64_t id = grabber_->expose(job);
        auto r = results(20);
        EXPECT_EQ(r.size(), 1u);
        if (r.empty()) return {};
        EXPECT_EQ(r.front().job, id);
        return std::move(r.front());
    }

    std::string name_;
    std::unique_ptr<FrameGrabber> grabber_;
};

TEST_F(GrabberTest, AnExposureDeliversOneFrameOfTheCamerasSize) {
    plug(0xA811); // VAh200C1
    const GrabResult r = exposeOnce(10);
    ASSERT_EQ(r.kind, GrabResult::Kind::Exposed) << r.message;
    EXPECT_EQ(r.frame.width, 1600);
    EXPECT_EQ(r.frame.height, 1200);
    EXPECT_EQ(r.frame.depth, 8);
    EXPECT_EQ(r.frame.pixels.size(), 1600u * 1200u);
    ASSERT_TRUE(r.frame.hasInfo);
    EXPECT_NEAR(r.frame.info.exposureMs, 10, 0.1);
}

TEST_F(GrabberTest, ADamagedFrameEndsTheExposureAndTheNextWorks) {
    plug(0xE00C, 0xA001); // VDh694M1, end-marker frames
    sim()->omitNextMarker();
    GrabResult r = exposeOnce(10);
    EXPECT_EQ(r.kind, GrabResult::Kind::Failed);
    EXPECT_FALSE(r.message.empty());
    r = exposeOnce(10);
    EXPECT_EQ(r.kind, GrabResult::Kind::Exposed) << r.message;
    EXPECT_EQ(r.frame.width, 2736);
}

TEST_F(GrabberTest, AbortedExposuresReportNothingAndTheNextOneWorks) {
    plug(0xE00C, 0xA001, true);
    SetExposure(30000, name_.c_str());
    ExposureJob job;
    job.milliseconds = GetExposure(name_.c_str());
    job.restart = true;
    grabber_->expose(job);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    grabber_->abort();
    EXPECT_FALSE(grabber_->exposing());
    const GrabResult r = exposeOnce(50);
    EXPECT_EQ(r.kind, GrabResult::Kind::Exposed) << r.message;
}

TEST_F(GrabberTest, EndingTheGrabberEndsALongRead) {
    plug(0xE00C, 0xA001, true);
    SetExposure(30000, name_.c_str());
    ExposureJob job;
    job.milliseconds = GetExposure(name_.c_str());
    job.restart = true;
    grabber_->expose(job);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // The read waits for a 30 s frame; ending the grabber cancels it. The bound is generous.
    auto ended = std::async(std::launch::async, [&] { grabber_.reset(); });
    EXPECT_EQ(ended.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    ended.wait();
    // The camera is ready for the next reader.
    grabber_ = std::make_unique<FrameGrabber>(name_);
    const GrabResult r = exposeOnce(50);
    EXPECT_EQ(r.kind, GrabResult::Kind::Exposed) << r.message;
}

TEST_F(GrabberTest, StreamPassesEveryFrameOnceUntilStopped) {
    plug(0xA811);
    SetResolution(2, name_.c_str()); // 400 x 300
    std::mutex m;
    std::set<size_t> hashes;
    std::atomic<int> frames{0};
    grabber_->startStream([&](const FrameView& v) {
        const std::string bytes(reinterpret_cast<const char*>(v.pixels), v.bytes);
        std::lock_guard lock(m);
        hashes.insert(std::hash<std::string>{}(bytes));
        ++frames;
    });
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (frames < 10 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    grabber_->stopStream();
    EXPECT_GE(frames.load(), 10);
    EXPECT_FALSE(grabber_->streaming());
    // The sink is called no more once stopStream has returned and the read in flight ended.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const int stopped = frames.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(frames.load(), stopped);
    std::lock_guard lock(m);
    EXPECT_EQ(int(hashes.size()), stopped) << "a frame was passed on twice";
    EXPECT_EQ(grabber_->framesStreamed(), uint64_t(stopped));
}

TEST_F(GrabberTest, ACameraThatLeavesEndsTheStream) {
    plug(0xA811);
    std::atomic<int> frames{0};
    grabber_->startStream([&](const FrameView&) { ++frames; });
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (frames < 2 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(UnplugSimulatedCameraByName(name_.c_str()), 0);
    const auto r = results(20);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r.front().kind, GrabResult::Kind::StreamFailed);
}

TEST_F(GrabberTest, RequestsFromAnotherThreadWhileFramesFlow) {
    plug(0xA811);
    SetResolution(2, name_.c_str());
    std::atomic<int> frames{0};
    for (int i = 0; i < 30; ++i) {
        grabber_->startStream([&](const FrameView&) { ++frames; });
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ExposureJob job;
        job.milliseconds = 0; // any exposure
        grabber_->expose(job);
        if (i % 3 == 0) grabber_->abort();
        grabber_->stopStream();
        (void)grabber_->takeResults();
    }
    // Whatever ran last, the grabber still answers and ends cleanly.
    const GrabResult r = exposeOnce(1);
    EXPECT_EQ(r.kind, GrabResult::Kind::Exposed) << r.message;
}

} // namespace
