// Movies recorded from simulated cameras through the flat API's live pipeline, read back with
// FFmpeg.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "MovieReader.h"
#include "camera/CamApi.h"
#include "recording/ezRecorder.h"

namespace fs = std::filesystem;
using hx::recording::LiveMovieOptions;
using hx::recording::LiveMovieResult;
using hx::recording::recordLiveMovie;

namespace {

void ignoreHotPlug(void*, const char*, int) {}

class LiveMovieTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("HALVEX_NO_USB", "1", 1);
        unsetenv("HALVEX_SIMULATE");
        static std::atomic<int> serial{0};
        dir_ = fs::temp_directory_path() /
               ("halvex-live-" + std::to_string(::getpid()) + "-" + std::to_string(serial++));
        fs::create_directories(dir_ / "movies");
        docs_ = dir_.string() + "/";
        ASSERT_EQ(InitDevice(&ignoreHotPlug, nullptr, docs_.c_str()), 0);
    }
    void TearDown() override {
        ExitDevice();
        if (handle_) UnplugSimulatedCamera(handle_);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    /// Plugs a simulated camera, takes it in and starts it at a small resolution.
    std::string start(unsigned short productId, int resolution) {
        handle_ = PlugSimulatedCamera(productId, 0);
        for (int i = 0; i < 20 && DeviceCount() == 0; ++i) PumpDeviceEvents(100);
        if (DeviceCount() == 0) return {};
        std::string name = DeviceName(0);
        EXPECT_EQ(SetResolution(resolution, name.c_str()), 0);
        EXPECT_EQ(ResumeDevice(name.c_str()), 0);
        return name;
    }
    std::string movies() const { return (dir_ / "movies").string() + "/"; }

    fs::path dir_;
    std::string docs_;
    uint64_t handle_ = 0;
};

LiveMovieOptions everyFrame(int64_t frames) {
    LiveMovieOptions o;
    o.seconds = 120; // the frame limit ends the recording
    o.maxFrames = frames;
    o.recorder.waitWhenFull = true;
    o.measureLevel = true;
    return o;
}

/// Checks what every recorded movie must be: QuickTime, H.264, the camera's resolution, every
/// appended frame at k / fps.
void expectMovie(const LiveMovieResult& r, const MovieInfo& m) {
    ASSERT_TRUE(m.opened) << r.path;
    EXPECT_NE(m.container.find("mov"), std::string::npos);
    EXPECT_EQ(m.codec, AV_CODEC_ID_H264);
    EXPECT_EQ(m.width, r.width);
    EXPECT_EQ(m.height, r.height);
    EXPECT_EQ(m.decodeErrors, 0);
    ASSERT_EQ(static_cast<int64_t>(m.pts.size()), r.appended);
    for (size_t i = 0; i < m.pts.size(); ++i) {
        EXPECT_TRUE(onFrameGrid(m, m.pts[i], r.fps)) << i;
        EXPECT_EQ(frameIndex(m, m.pts[i], r.fps), static_cast<int64_t>(i + 1)) << i;
    }
}

} // namespace

TEST_F(LiveMovieTest, ColourCameraAtTheMeasuredFrameRate) {
    const std::string name = start(0xA811, 2); // VAh200C1 at 392 x 292
    ASSERT_FALSE(name.empty());
    LiveMovieResult r;
    ASSERT_TRUE(recordLiveMovie(name.c_str(), movies(), everyFrame(15), r)) << r.error;
    EXPECT_EQ(r.width, GetResWidth(2, name.c_str()));
    EXPECT_EQ(r.height, GetResHeight(2, name.c_str()));
    EXPECT_EQ(r.channels, 3);
    EXPECT_GE(r.fps, 1);
    EXPECT_GE(r.shown, 10 + r.appended); // ten frames measured the rate first
    EXPECT_EQ(r.appended, 15);
    EXPECT_EQ(r.written, 15);
    EXPECT_EQ(r.dropped, 0);
    EXPECT_EQ(fs::path(r.path).parent_path(), fs::path(movies()).parent_path());
    EXPECT_EQ(fs::path(r.path).filename().string().size(), 14u); // MMddHHmmss.mov
    expectMovie(r, readMovie(r.path));
}

TEST_F(LiveMovieTest, GreyCameraLooksLikeItsLiveView) {
    const std::string name = start(0xE00C, 2); // VDh694M1 at 332 x 248
    ASSERT_FALSE(name.empty());
    SetExposure(0.1f, name.c_str()); // a dark scene: a negative would be bright
    LiveMovieOptions o = everyFrame(8);
    o.fps = 12;
    LiveMovieResult r;
    ASSERT_TRUE(recordLiveMovie(name.c_str(), movies(), o, r)) << r.error;
    EXPECT_EQ(r.channels, 1);
    EXPECT_EQ(r.fps, 12);
    const MovieInfo m = readMovie(r.path);
    expectMovie(r, m);
    // Not a negative: the movie's brightness is the live frames' brightness.
    EXPECT_LT(r.meanLevel, 110);
    EXPECT_NEAR(m.meanGrey, r.meanLevel, 4.0);
}

TEST_F(LiveMovieTest, UnknownCameraOrUnwritableDirectoryRecordsNothing) {
    LiveMovieResult r;
    EXPECT_FALSE(recordLiveMovie("NoSuchCamera1", movies(), everyFrame(3), r));
    EXPECT_FALSE(r.error.empty());
    EXPECT_FALSE(recordLiveMovie(nullptr, movies(), everyFrame(3), r));

    const std::string name = start(0xA811, 2);
    ASSERT_FALSE(name.empty());
    LiveMovieOptions o = everyFrame(3);
    o.fps = 10;
    const std::string missing = (dir_ / "missing").string() + "/";
    EXPECT_FALSE(recordLiveMovie(name.c_str(), missing, o, r));
    EXPECT_NE(r.error.find("cannot write"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir_ / "missing"));
}
