// The movie writer closed from one thread while another keeps appending, as the movie button
// does while the show thread runs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "MovieReader.h"
#include "recording/ezRecorder.h"
#include "tests/WaitUntil.h"

using hx::recording::ezRecorder;
using hx::recording::RecorderOptions;
namespace fs = std::filesystem;

namespace {

void closeWhileAppending(bool waitWhenFull, const std::string& path) {
    RecorderOptions o;
    o.queueDepth = 2;
    o.waitWhenFull = waitWhenFull;
    ezRecorder rec(o);
    ASSERT_TRUE(rec.OpenRecorder(path, 160, 120, 3, 25));
    std::vector<unsigned char> px(160 * 120 * 3);
    std::atomic<int64_t> accepted{0};
    std::thread show([&] {
        for (int k = 0;; ++k) {
            px[static_cast<size_t>(k) % px.size()] ^= 0x55; // only this thread touches px
            if (!rec.AppendSampleBuffer(px.data(), 160, 120, 3)) break;
            ++accepted;
        }
    });
    // Appends that stop early (a writer fault) must fail the test, not hang it.
    const bool appending = hxtest::waitUntil([&] { return rec.frameNumber() >= 30; });
    rec.CloseRecorder();
    show.join();
    EXPECT_TRUE(appending) << rec.frameNumber();
    EXPECT_FALSE(rec.isOpen());
    EXPECT_EQ(rec.framesWritten() + rec.framesDropped(), accepted.load());
    EXPECT_EQ(rec.frameNumber(), accepted.load() + 1);
    const MovieInfo m = readMovie(path);
    ASSERT_TRUE(m.opened);
    EXPECT_EQ(m.decodeErrors, 0);
    EXPECT_EQ(static_cast<int64_t>(m.pts.size()), rec.framesWritten());
    if (waitWhenFull) {
        EXPECT_EQ(rec.framesDropped(), 0);
    }
}

} // namespace

TEST(RecorderThreads, ClosingWhileAnotherThreadAppendsCompletesTheMovie) {
    const fs::path dir =
        fs::temp_directory_path() / ("halvex-movie-threads-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    closeWhileAppending(false, (dir / "dropping.mov").string());
    closeWhileAppending(true, (dir / "waiting.mov").string());
    std::error_code ec;
    fs::remove_all(dir, ec);
}
