// The movie writer on generated frames: what lands in the file, read back with FFmpeg.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "MovieReader.h"
#include "recording/ezRecorder.h"
#include "tests/FileSizeLimit.h"

using hx::recording::ezRecorder;
using hx::recording::RecorderOptions;
namespace fs = std::filesystem;

namespace {

class RecorderTest : public ::testing::Test {
protected:
    void SetUp() override {
        static std::atomic<int> serial{0};
        dir_ = fs::temp_directory_path() /
               ("halvex-movie-" + std::to_string(::getpid()) + "-" + std::to_string(serial++));
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string file(const char* name) const { return (dir_ / name).string(); }

    fs::path dir_;
};

/// A frame with a diagonal ramp around a given level, so the encoder has detail to code.
std::vector<unsigned char> frame(int width, int height, int channels, int level, int shift = 0) {
    std::vector<unsigned char> px(static_cast<size_t>(width) * height * channels);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < channels; ++c)
                px[(static_cast<size_t>(y) * width + x) * channels + c] =
                    static_cast<unsigned char>(level + ((x + y + shift) % 16) - 8 + c * 3);
    return px;
}

/// A textured frame of one colour.
std::vector<unsigned char> colourFrame(int width, int height, int r, int g, int b, int shift) {
    std::vector<unsigned char> px(static_cast<size_t>(width) * height * 3);
    for (size_t i = 0; i < px.size() / 3; ++i) {
        const int t = static_cast<int>((i + static_cast<size_t>(shift)) % 9) - 4;
        px[3 * i] = static_cast<unsigned char>(r + t);
        px[3 * i + 1] = static_cast<unsigned char>(g + t);
        px[3 * i + 2] = static_cast<unsigned char>(b + t);
    }
    return px;
}

RecorderOptions lossless() {
    RecorderOptions o;
    o.waitWhenFull = true;
    return o;
}

} // namespace

TEST(RecorderNaming, PathAndFrameRate) {
    std::tm local{};
    local.tm_year = 126;
    local.tm_mon = 2; // March
    local.tm_mday = 4;
    local.tm_hour = 5;
    local.tm_min = 6;
    local.tm_sec = 7;
    local.tm_isdst = -1;
    const std::time_t t = std::mktime(&local);
    EXPECT_EQ(ezRecorder::moviePath("/data/shots/", t), "/data/shots/0304050607.mov");
    // Two movies started within the same second are named alike.
    EXPECT_EQ(ezRecorder::moviePath("/d/", t), ezRecorder::moviePath("/d/", t));
    EXPECT_NE(ezRecorder::moviePath("/d/", t), ezRecorder::moviePath("/d/", t + 1));

    EXPECT_EQ(ezRecorder::frameRateFromDustm(333), 30);
    EXPECT_EQ(ezRecorder::frameRateFromDustm(1000), 10);
    EXPECT_EQ(ezRecorder::frameRateFromDustm(1001), 9);
    EXPECT_EQ(ezRecorder::frameRateFromDustm(0), ezRecorder::kDefaultFrameRate);
    EXPECT_EQ(ezRecorder::frameRateFromDustm(-5), ezRecorder::kDefaultFrameRate);
    EXPECT_EQ(ezRecorder::frameRateFromDustm(60000), 1); // slower than one frame a second
}

TEST_F(RecorderTest, ColourMovieHasTheDeclaredSizeAndFrameTimes) {
    const std::string path = file("colour.mov");
    {
        ezRecorder rec(lossless());
        ASSERT_TRUE(rec.OpenRecorder(path, 96, 64, 3, 30));
        for (int k = 0; k < 12; ++k) {
            const auto px = colourFrame(96, 64, 200, 100, 30, k);
            ASSERT_TRUE(rec.AppendSampleBuffer(px.data(), 96, 64, 3));
        }
        EXPECT_EQ(rec.frameNumber(), 13);
        rec.CloseRecorder();
        EXPECT_EQ(rec.framesWritten(), 12);
        EXPECT_EQ(rec.framesDropped(), 0);
        EXPECT_FALSE(rec.isOpen());
    }
    const MovieInfo m = readMovie(path);
    ASSERT_TRUE(m.opened);
    EXPECT_NE(m.container.find("mov"), std::string::npos);
    EXPECT_EQ(m.codec, AV_CODEC_ID_H264);
    EXPECT_EQ(m.width, 96);
    EXPECT_EQ(m.height, 64);
    EXPECT_EQ(m.decodeErrors, 0);
    // Red stays red: the brightness of (200, 100, 30) is 0.299 R + 0.587 G + 0.114 B.
    EXPECT_NEAR(m.meanGrey, 0.299 * 200 + 0.587 * 100 + 0.114 * 30, 3.0);
    ASSERT_EQ(m.pts.size(), 12u);
    // Frame k (from 1) at k / 30 s, exactly.
    for (size_t i = 0; i < m.pts.size(); ++i) {
        EXPECT_TRUE(onFrameGrid(m, m.pts[i], 30)) << i;
        EXPECT_EQ(frameIndex(m, m.pts[i], 30), static_cast<int64_t>(i + 1)) << i;
    }
}

TEST_F(RecorderTest, GreyMovieKeepsItsBrightness) {
    // A grey camera's movie must look like its live view: bright stays bright, dark stays dark.
    for (int level : {40, 200}) {
        const std::string path = file(level == 40 ? "dark.mov" : "bright.mov");
        {
            ezRecorder rec(lossless());
            ASSERT_TRUE(rec.OpenRecorder(path, 80, 60, 1, 10));
            for (int k = 0; k < 5; ++k) {
                const auto px = frame(80, 60, 1, level, k);
                ASSERT_TRUE(rec.AppendSampleBuffer(px.data(), 80, 60, 1));
            }
        }
        const MovieInfo m = readMovie(path);
        ASSERT_TRUE(m.opened);
        EXPECT_EQ(m.pts.size(), 5u);
        EXPECT_NEAR(m.meanGrey, level - 0.5, 3.0) << level;
    }
}

TEST_F(RecorderTest, OddSizesArePaddedAndOtherFrameSizesScaled) {
    const std::string path = file("odd.mov");
    {
        ezRecorder rec(lossless());
        ASSERT_TRUE(rec.OpenRecorder(path, 63, 47, 3, 25));
        EXPECT_EQ(rec.codedWidth(), 64);
        EXPECT_EQ(rec.codedHeight(), 48);
        const auto same = frame(63, 47, 3, 90);
        const auto small = frame(20, 10, 3, 90);
        const auto grey = frame(200, 150, 1, 90);
        EXPECT_TRUE(rec.AppendSampleBuffer(same.data(), 63, 47, 3));
        EXPECT_TRUE(rec.AppendSampleBuffer(small.data(), 20, 10, 3));
        EXPECT_TRUE(rec.AppendSampleBuffer(grey.data(), 200, 150, 1));
    }
    const MovieInfo m = readMovie(path);
    ASSERT_TRUE(m.opened);
    EXPECT_EQ(m.width, 64);
    EXPECT_EQ(m.height, 48);
    EXPECT_EQ(m.pts.size(), 3u);
    EXPECT_NEAR(m.meanGrey, 90, 8);
}

TEST_F(RecorderTest, FailedOpeningLeavesNothingAndAllowsAnotherTry) {
    ezRecorder rec;
    const std::string missing = (dir_ / "no-such-dir" / "m.mov").string();
    EXPECT_FALSE(rec.OpenRecorder(missing, 64, 48, 3, 10));
    EXPECT_FALSE(fs::exists(missing));
    EXPECT_FALSE(rec.isOpen());
    const auto px = frame(64, 48, 3, 100);
    EXPECT_FALSE(rec.AppendSampleBuffer(px.data(), 64, 48, 3));
    EXPECT_EQ(rec.frameNumber(), 1);

    const std::string good = file("good.mov");
    EXPECT_FALSE(rec.OpenRecorder(good, 64, 48, 2, 10));    // two channels
    EXPECT_FALSE(rec.OpenRecorder(good, 64, 48, 3, 0));     // no frame rate
    EXPECT_FALSE(rec.OpenRecorder(good, 0, 48, 3, 10));     // no width
    EXPECT_FALSE(rec.OpenRecorder(good, 64, 99999, 1, 10)); // absurd height
    EXPECT_FALSE(fs::exists(good));

    ASSERT_TRUE(rec.OpenRecorder(good, 64, 48, 3, 10));
    EXPECT_FALSE(rec.OpenRecorder(file("second.mov"), 64, 48, 3, 10)); // already recording
    EXPECT_FALSE(fs::exists(file("second.mov")));
    // Unreadable frames are refused and keep the frame number.
    EXPECT_FALSE(rec.AppendSampleBuffer(nullptr, 64, 48, 3));
    EXPECT_FALSE(rec.AppendSampleBuffer(px.data(), 0, 48, 3));
    EXPECT_FALSE(rec.AppendSampleBuffer(px.data(), 64, 48, 4));
    EXPECT_EQ(rec.frameNumber(), 1);
    EXPECT_TRUE(rec.AppendSampleBuffer(px.data(), 64, 48, 3));
    rec.CloseRecorder();
    rec.CloseRecorder(); // twice is harmless
    EXPECT_EQ(readMovie(good).pts.size(), 1u);
}

TEST_F(RecorderTest, DestroyedWithFramesQueuedLeavesACompleteMovie) {
    const std::string path = file("queued.mov");
    RecorderOptions o = lossless();
    o.queueDepth = 8;
    {
        ezRecorder rec(o);
        ASSERT_TRUE(rec.OpenRecorder(path, 320, 240, 3, 15));
        for (int k = 0; k < 8; ++k) {
            const auto px = frame(320, 240, 3, 100, k);
            ASSERT_TRUE(rec.AppendSampleBuffer(px.data(), 320, 240, 3));
        }
        // Destroyed at once, with most frames still waiting for the writer.
    }
    const MovieInfo m = readMovie(path);
    ASSERT_TRUE(m.opened);
    EXPECT_EQ(m.decodeErrors, 0);
    ASSERT_EQ(m.pts.size(), 8u);
    EXPECT_EQ(frameIndex(m, m.pts.back(), 15), 8);
}

TEST_F(RecorderTest, DroppedFramesKeepTheirPlaceInTheTimeLine) {
    const std::string path = file("drops.mov");
    RecorderOptions o;
    o.queueDepth = 1;
    o.preset = "medium"; // slow enough that a burst of appends overtakes the writer
    constexpr int kFrames = 40;
    int64_t written = 0, dropped = 0;
    {
        ezRecorder rec(o);
        ASSERT_TRUE(rec.OpenRecorder(path, 640, 480, 3, 20));
        const auto px = frame(640, 480, 3, 100);
        for (int k = 0; k < kFrames; ++k)
            ASSERT_TRUE(rec.AppendSampleBuffer(px.data(), 640, 480, 3));
        EXPECT_EQ(rec.frameNumber(), kFrames + 1);
        rec.CloseRecorder();
        written = rec.framesWritten();
        dropped = rec.framesDropped();
    }
    EXPECT_EQ(written + dropped, kFrames);
    EXPECT_GE(written, 1);
    const MovieInfo m = readMovie(path);
    ASSERT_TRUE(m.opened);
    ASSERT_EQ(static_cast<int64_t>(m.pts.size()), written);
    int64_t last = 0;
    for (int64_t pts : m.pts) {
        EXPECT_TRUE(onFrameGrid(m, pts, 20));
        const int64_t k = frameIndex(m, pts, 20);
        EXPECT_GT(k, last);
        EXPECT_LE(k, kFrames);
        last = k;
    }
}

namespace {

/// Noise: the encoder cannot make it small.
std::vector<unsigned char> noiseFrame(int width, int height, uint32_t seed) {
    std::vector<unsigned char> px(static_cast<size_t>(width) * height * 3);
    for (unsigned char& p : px) {
        seed = seed * 1664525u + 1013904223u;
        p = static_cast<unsigned char>(seed >> 24);
    }
    return px;
}
} // namespace

TEST_F(RecorderTest, AMovieThatCannotBeWrittenWholeIsReported) {
    const std::string path = file("full.mov");
    {
        hxtest::FileSizeLimit limit(64 * 1024);
        ASSERT_TRUE(limit.ok());
        ezRecorder rec(lossless());
        ASSERT_TRUE(rec.OpenRecorder(path, 320, 240, 3, 10));
        for (int k = 0; k < 12; ++k) {
            const auto px = noiseFrame(320, 240, static_cast<uint32_t>(k + 1));
            ASSERT_TRUE(rec.AppendSampleBuffer(px.data(), 320, 240, 3));
        }
        EXPECT_FALSE(rec.CloseRecorder());
    }
    // Nothing beside the movie, which keeps what fitted.
    EXPECT_LE(fs::file_size(path), 64u * 1024);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);

    // A directory that cannot be written: refused at the start, nothing made.
    ezRecorder rec;
    EXPECT_FALSE(rec.OpenRecorder(file("missing/movie.mov"), 64, 48, 3, 10));
    EXPECT_FALSE(rec.CloseRecorder());

    // A movie written whole takes its name; nothing else is left beside it.
    const std::string good = file("good.mov");
    ASSERT_TRUE(rec.OpenRecorder(good, 64, 48, 3, 10));
    const auto px = frame(64, 48, 3, 100);
    ASSERT_TRUE(rec.AppendSampleBuffer(px.data(), 64, 48, 3));
    EXPECT_TRUE(rec.CloseRecorder());
    EXPECT_EQ(readMovie(good).pts.size(), 1u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2);
}
