// The SER writer and the live SER recording, read back by a reader written here from the
// format's public layout and by FFmpeg's SER demuxer.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "camera/CamApi.h"
#include "recording/LiveSer.h"
#include "recording/SerWriter.h"
#include "tests/FileSizeLimit.h"
#include "tests/ReadOnlyDirectory.h"
#include "tests/WaitUntil.h"
#include "tests/ezImage/fits_test_util.h"
#include "tests/recording/SerLayout.h"

namespace fs = std::filesystem;
using namespace hx::recording;
using hxtest::le32;
using hxtest::readBytes;
using hxtest::readSer;
using hxtest::SerFile;

namespace {

/// A fresh directory, removed with everything in it.
struct Scratch {
    fs::path path;
    Scratch() {
        static int serial = 0;
        path = fs::temp_directory_path() /
               ("hx-ser-" + std::to_string(::getpid()) + "-" + std::to_string(serial++));
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~Scratch() {
        std::error_code ec;
        fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path, ec);
    }
    std::string file(const std::string& name) const { return (path / name).string(); }
};

/// Frame k of a 16-bit test sequence: every sample differs in both bytes and carries k.
std::vector<unsigned char> testFrame(int width, int height, int k) {
    std::vector<unsigned char> f(static_cast<size_t>(width) * height * 2);
    for (size_t i = 0; i < f.size() / 2; ++i) {
        const unsigned v = (k * 4099u + i * 263u + 17u) & 0xFFFF;
        f[2 * i] = static_cast<unsigned char>(v);
        f[2 * i + 1] = static_cast<unsigned char>(v >> 8);
    }
    f[0] = static_cast<unsigned char>(k);
    f[1] = static_cast<unsigned char>(k >> 8);
    return f;
}

/// Bounded wait for a condition, polled.
template <class Condition> bool eventually(Condition condition, int seconds = 10) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

constexpr int64_t kT0 = 1765275072345678LL; // 2025-12-09T10:11:12.345678 UTC

} // namespace

TEST(SerWriter, FileFollowsThePublicLayoutFrameByFrameWithItsTimeStamps) {
    Scratch dir;
    const int w = 5, h = 3;
    SerFormat format;
    format.width = w;
    format.height = h;
    format.colour = kSerBayerGRBG;
    format.depth = 16;
    format.observer = "an observer";
    format.instrument = "VAh200C1";
    format.telescope = "a telescope whose name is longer than the forty bytes of the field";
    const std::string path = dir.file("a.ser");
    {
        SerWriter writer(SerOptions{4, true, 1000});
        ASSERT_TRUE(writer.open(path, format)) << writer.error();
        EXPECT_EQ(writer.frameBytes(), 30u);
        for (int k = 0; k < 6; ++k)
            ASSERT_TRUE(writer.append(testFrame(w, h, k).data(), kT0 + k * 1000, k == 5 ? 3 : 0));
        ASSERT_TRUE(writer.close()) << writer.error();
        EXPECT_EQ(writer.framesWritten(), 6);
        EXPECT_EQ(writer.framesDropped(), 0);
        EXPECT_FALSE(writer.append(testFrame(w, h, 9).data(), kT0)); // closed
    }
    EXPECT_EQ(fs::file_size(path), 178u + 6 * 30 + 6 * 8);
    const SerFile f = readSer(path);
    ASSERT_TRUE(f.ok);
    EXPECT_EQ(f.fileId, "LUCAM-RECORDER");
    EXPECT_EQ(f.luId, 0);
    EXPECT_EQ(f.colour, 9);
    EXPECT_EQ(f.littleEndian, 0); // little-endian samples, marked as capture programs do
    EXPECT_EQ(f.width, w);
    EXPECT_EQ(f.height, h);
    EXPECT_EQ(f.depth, 16);
    EXPECT_EQ(f.frames, 6);
    EXPECT_EQ(f.observer, "an observer");
    EXPECT_EQ(f.instrument, "VAh200C1");
    EXPECT_EQ(f.telescope, format.telescope.substr(0, 40));
    // 100 ns ticks since 0001-01-01: 1970 is 621355968000000000.
    EXPECT_EQ(f.dateTimeUtc, 621355968000000000LL + kT0 * 10);
    const int64_t zone = f.dateTime - f.dateTimeUtc;
    EXPECT_EQ(zone % 600000000LL, 0); // a whole number of minutes off UTC
    ASSERT_EQ(f.stamps.size(), 6u);
    for (int k = 0; k < 6; ++k)
        EXPECT_EQ(f.stamps[k], 621355968000000000LL + (kT0 + k * 1000) * 10);
    for (int k = 0; k < 5; ++k) EXPECT_EQ(f.images[k], testFrame(w, h, k)) << k;
    // The last frame was turned both ways: its first sample is the source's last.
    const std::vector<unsigned char> src = testFrame(w, h, 5);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const size_t to = 2 * (static_cast<size_t>(y) * w + x);
            const size_t from = 2 * (static_cast<size_t>(h - 1 - y) * w + (w - 1 - x));
            ASSERT_EQ(f.images[5][to], src[from]);
            ASSERT_EQ(f.images[5][to + 1], src[from + 1]);
        }
}

TEST(SerWriter, HeaderTextsAndTimeStampsStayValidForAnyInput) {
    // 40 bytes a text: a longer one is cut between characters (a euro sign is 3 bytes).
    SerFormat format;
    format.width = 2;
    format.height = 2;
    format.observer = std::string(38, 'o') + "\xe2\x82\xac";
    format.instrument = std::string(37, 'i') + "\xe2\x82\xac";
    format.telescope = std::string(50, 't');
    const std::vector<unsigned char> h = SerWriter::header(format, 1, 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&h[42]), 40),
              std::string(38, 'o') + std::string(2, '\0'));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&h[82]), 40), format.instrument);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&h[122]), 40), std::string(40, 't'));

    // Ticks from year 1 on, exact where they can be, held at the ends of their range.
    EXPECT_EQ(serTicks(0), kSerTicksAt1970);
    EXPECT_EQ(serTicks(-kSerTicksAt1970 / 10), 0);
    EXPECT_EQ(serTicks(-kSerTicksAt1970 / 10 - 1), 0);
    EXPECT_EQ(serTicks(std::numeric_limits<int64_t>::min()), 0);
    const int64_t last = (std::numeric_limits<int64_t>::max() - kSerTicksAt1970) / 10;
    EXPECT_EQ(serTicks(last), kSerTicksAt1970 + last * 10);
    EXPECT_EQ(serTicks(last + 1), std::numeric_limits<int64_t>::max());
    EXPECT_EQ(serTicks(std::numeric_limits<int64_t>::max()), std::numeric_limits<int64_t>::max());
    // The header's local and UTC dates of a first frame at the end of the range.
    const std::vector<unsigned char> far = SerWriter::header(format, 1, last + 1);
    EXPECT_EQ(hxtest::le64(far, 170), std::numeric_limits<int64_t>::max());
    EXPECT_GT(hxtest::le64(far, 162), 0);
}

TEST(SerWriter, FfmpegReadsTheFramesAndTakesTheFlagForBigEndian) {
    Scratch dir;
    const std::string path = dir.file("mono.ser");
    SerFormat format;
    format.width = 8;
    format.height = 4;
    format.depth = 16;
    SerWriter writer(SerOptions{4, true, 1000});
    ASSERT_TRUE(writer.open(path, format));
    for (int k = 0; k < 3; ++k) ASSERT_TRUE(writer.append(testFrame(8, 4, k).data(), kT0 + k));
    ASSERT_TRUE(writer.close());

    const std::string probe =
        hxtest::runCommand("timeout 60 ffprobe -v error -count_frames -show_entries "
                           "stream=width,height,pix_fmt,nb_read_frames -of default=nw=1 " +
                           hxtest::quoted(path));
    EXPECT_NE(probe.find("width=8"), std::string::npos) << probe;
    EXPECT_NE(probe.find("height=4"), std::string::npos) << probe;
    EXPECT_NE(probe.find("nb_read_frames=3"), std::string::npos) << probe;
    // The demuxer follows the format document: 0 means big-endian to it.
    EXPECT_NE(probe.find("pix_fmt=gray16be"), std::string::npos) << probe;
    const std::string copy = dir.file("frames.bin");
    int code = -1;
    hxtest::runCommand("timeout 60 ffmpeg -v error -i " + hxtest::quoted(path) +
                           " -c:v copy -f rawvideo " + hxtest::quoted(copy),
                       &code);
    ASSERT_EQ(code, 0);
    std::vector<unsigned char> expected;
    for (int k = 0; k < 3; ++k) {
        const auto f = testFrame(8, 4, k);
        expected.insert(expected.end(), f.begin(), f.end());
    }
    EXPECT_EQ(readBytes(copy), expected);
}

TEST(SerWriter, AFullQueueDropsAndCountsFramesButNeverReordersThem) {
    Scratch dir;
    SerFormat format;
    format.width = 64;
    format.height = 64;
    format.depth = 16;
    SerWriter writer(SerOptions{1, false, 1000});
    ASSERT_TRUE(writer.open(dir.file("q.ser"), format));
    const int appended = 200;
    for (int k = 0; k < appended; ++k)
        ASSERT_TRUE(writer.append(testFrame(64, 64, k).data(), kT0 + k));
    ASSERT_TRUE(writer.close());
    EXPECT_EQ(writer.framesWritten() + writer.framesDropped(), appended);
    const SerFile f = readSer(dir.file("q.ser"));
    ASSERT_TRUE(f.ok);
    ASSERT_EQ(f.frames, writer.framesWritten());
    int last = -1;
    for (int i = 0; i < f.frames; ++i) {
        const int k = f.images[i][0] | (f.images[i][1] << 8);
        EXPECT_GT(k, last);
        EXPECT_EQ(f.images[i], testFrame(64, 64, k));
        EXPECT_EQ(f.stamps[i], 621355968000000000LL + (kT0 + k) * 10);
        last = k;
    }
}

TEST(SerWriter, BadDestinationsAndAFullDiskFailWithoutLosingWhatWasWritten) {
    Scratch dir;
    SerFormat format;
    format.width = 100;
    format.height = 100;
    format.depth = 16;
    {
        SerWriter writer;
        EXPECT_FALSE(writer.open(dir.file("missing/a.ser"), format));
        EXPECT_FALSE(writer.error().empty());
        SerFormat wrong = format;
        wrong.colour = 7;
        EXPECT_FALSE(writer.open(dir.file("b.ser"), wrong));
        wrong = format;
        wrong.depth = 17;
        EXPECT_FALSE(writer.open(dir.file("b.ser"), wrong));
        EXPECT_FALSE(writer.append(testFrame(100, 100, 0).data(), kT0)); // not open
    }
    // An existing file is never replaced.
    std::ofstream(dir.file("taken.ser")) << "keep";
    {
        SerWriter writer;
        EXPECT_FALSE(writer.open(dir.file("taken.ser"), format));
    }
    EXPECT_EQ(fs::file_size(dir.file("taken.ser")), 4u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);

    // The disk fills after two and a half frames of 20000 bytes.
    SerWriter writer(SerOptions{8, true, 1000});
    bool opened = false, whole = true;
    {
        hxtest::FileSizeLimit limit(178 + 50000);
        ASSERT_TRUE(limit.ok());
        opened = writer.open(dir.file("full.ser"), format);
        EXPECT_FALSE(writer.diskFailed());
        for (int k = 0; opened && k < 5; ++k) writer.append(testFrame(100, 100, k).data(), kT0 + k);
        // Said while the recording is still open, so a front end can end it at once.
        EXPECT_TRUE(hxtest::waitUntil([&] { return writer.diskFailed(); }));
        whole = writer.close();
    }
    ASSERT_TRUE(opened);
    EXPECT_FALSE(whole);
    EXPECT_FALSE(writer.error().empty());
    EXPECT_EQ(writer.framesWritten(), 2);
    EXPECT_EQ(writer.framesDropped(), 3);
    const SerFile f = readSer(dir.file("full.ser"));
    ASSERT_TRUE(f.ok);
    EXPECT_EQ(f.frames, 2);
    EXPECT_EQ(f.images[1], testFrame(100, 100, 1));
}

TEST(SerWriter, AKilledRecordingIsReadableUpToItsLastHeaderUpdate) {
    Scratch dir;
    const std::string path = dir.file("killed.ser");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SerFormat format;
        format.width = 32;
        format.height = 16;
        format.depth = 16;
        SerWriter writer(SerOptions{4, true, 50});
        if (!writer.open(path, format)) _exit(2);
        for (int k = 0; k < 1000000; ++k) {
            writer.append(testFrame(32, 16, k % 60000).data(), kT0 + k);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        _exit(0);
    }
    const bool counted = eventually([&] {
        const std::vector<unsigned char> b = readBytes(path);
        return b.size() >= 178 && le32(b, 38) >= 5;
    });
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(counted);
    EXPECT_TRUE(WIFSIGNALED(status));
    const SerFile f = readSer(path);
    ASSERT_TRUE(f.ok);
    ASSERT_GE(f.frames, 5);
    for (int i = 0; i < f.frames; ++i) EXPECT_EQ(f.images[i], testFrame(32, 16, i)) << i;
    // FFmpeg's demuxer reads it as well, up to the count.
    const std::string probe = hxtest::runCommand(
        "timeout 60 ffprobe -v error -count_frames -show_entries stream=nb_read_frames "
        "-of default=nw=1 " +
        hxtest::quoted(path));
    EXPECT_NE(probe.find("nb_read_frames="), std::string::npos) << probe;
}

// ---- live recording on simulated cameras ------------------------------------------------------

void ignoreHotPlug(void*, const char*, int) {}

class LiveSerTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("HALVEX_NO_USB", "1", 1);
        unsetenv("HALVEX_SIMULATE");
        ASSERT_EQ(InitDevice(&ignoreHotPlug, nullptr, (dir.path.string() + "/").c_str()), 0);
    }
    void TearDown() override {
        ExitDevice();
        if (handle_) UnplugSimulatedCamera(handle_);
    }
    /// Plugs a simulated camera and takes it in at a small resolution (not started).
    std::string plug(unsigned short product) {
        handle_ = PlugSimulatedCamera(product, 0);
        for (int i = 0; i < 20 && DeviceCount() == 0; ++i) PumpDeviceEvents(100);
        if (DeviceCount() == 0) return {};
        std::string name = DeviceName(0);
        EXPECT_EQ(SetResolution(2, name.c_str()), 0);
        return name;
    }
    Scratch dir;
    uint64_t handle_ = 0;
};

TEST_F(LiveSerTest, RawRecordingHoldsEveryFrameWithTheMosaicAsItLiesInTheFile) {
    const std::string name = plug(0xA811); // VAh200C1
    ASSERT_FALSE(name.empty());
    const char* n = name.c_str();
    SetFlip(1, n);
    ASSERT_EQ(ResumeDevice(n), 0);
    LiveSerOptions options;
    options.seconds = 60;
    options.maxFrames = 4;
    options.writer.waitWhenFull = true;
    LiveSerResult result;
    ASSERT_TRUE(recordLiveSer(n, dir.path.string() + "/", options, result)) << result.error;
    EXPECT_EQ(result.error, "");
    EXPECT_EQ(result.read, 4);
    EXPECT_EQ(result.written, 4);
    EXPECT_EQ(result.dropped, 0);
    EXPECT_EQ(fs::path(result.path).parent_path(), dir.path);
    EXPECT_EQ(fs::path(result.path).extension(), ".ser");
    EXPECT_EQ(fs::path(result.path).stem().string().size(), 10u); // MMddHHmmss

    const SerFile f = readSer(result.path);
    ASSERT_TRUE(f.ok);
    EXPECT_EQ(f.frames, 4);
    EXPECT_EQ(f.instrument, "VAh200C1");
    // Mirrored: the first column of the file is the frame's last, of the other parity.
    const int width = f.width;
    const int expected = serColourOfBayer(ezShiftBayer(GetRawBayernPattern(n), width - 1, 0));
    EXPECT_EQ(f.colour, expected);
    ASSERT_EQ(f.stamps.size(), 4u);
    for (size_t i = 1; i < f.stamps.size(); ++i) EXPECT_GT(f.stamps[i], f.stamps[i - 1]);
    EXPECT_EQ(f.dateTimeUtc, f.stamps[0]);

    // A second recording in the same second keeps the first.
    LiveSerResult again;
    options.maxFrames = 1;
    ASSERT_TRUE(recordLiveSer(n, dir.path.string() + "/", options, again)) << again.error;
    EXPECT_NE(again.path, result.path);
    EXPECT_EQ(readSer(result.path).frames, 4);
}

TEST_F(LiveSerTest, AFullDiskOrAnUnwritableDirectoryIsReportedAndWholeFramesStay) {
    const std::string name = plug(0xA811); // VAh200C1
    ASSERT_FALSE(name.empty());
    const char* n = name.c_str();
    ASSERT_EQ(ResumeDevice(n), 0);
    int width = 0, height = 0;
    GetRawSize(&width, &height, n);
    const size_t frameBytes = static_cast<size_t>(width) * height * (GetRawDepth(n) > 8 ? 2 : 1);
    LiveSerOptions options;
    options.seconds = 60;
    options.maxFrames = 5;
    options.writer.waitWhenFull = true;
    LiveSerResult result;
    bool written = false;
    {
        // The disk fills in the middle of the third frame.
        hxtest::FileSizeLimit limit(kSerHeaderBytes + frameBytes * 5 / 2);
        ASSERT_TRUE(limit.ok());
        written = recordLiveSer(n, dir.path.string() + "/", options, result);
    }
    ASSERT_TRUE(written) << result.error;
    EXPECT_NE(result.error.find("cannot write"), std::string::npos) << result.error;
    EXPECT_EQ(result.written, 2);
    EXPECT_EQ(result.written + result.dropped, 5);
    // What was recorded is the user's: a valid file of its whole frames, counted so.
    const SerFile f = readSer(result.path);
    ASSERT_TRUE(f.ok);
    EXPECT_EQ(f.frames, 2);
    EXPECT_EQ(fs::file_size(result.path), kSerHeaderBytes + 2 * frameBytes);

    // A directory that cannot be written: nothing is recorded, and an earlier recording there
    // stays as it was.
    const fs::path locked = dir.path / "locked";
    fs::create_directories(locked);
    fs::copy_file(result.path, locked / "earlier.ser");
    LiveSerResult refused;
    bool recorded = true;
    {
        hxtest::ReadOnlyDirectory readOnly(locked);
        ASSERT_TRUE(readOnly.ok());
        recorded = recordLiveSer(n, locked.string() + "/", options, refused);
    }
    EXPECT_FALSE(recorded);
    EXPECT_NE(refused.error.find("cannot create"), std::string::npos) << refused.error;
    EXPECT_EQ(std::distance(fs::directory_iterator(locked), fs::directory_iterator()), 1);
    EXPECT_EQ(readBytes((locked / "earlier.ser").string()), readBytes(result.path));
    SuspendDevice(n);
}

TEST_F(LiveSerTest, ProcessedRecordingHoldsTheEightBitLiveViewInRgb) {
    const std::string name = plug(0xA811);
    ASSERT_FALSE(name.empty());
    const char* n = name.c_str();
    ASSERT_EQ(ResumeDevice(n), 0);
    LiveSerOptions options;
    options.seconds = 60;
    options.maxFrames = 3;
    options.processed = true;
    options.writer.waitWhenFull = true;
    LiveSerResult result;
    ASSERT_TRUE(recordLiveSer(n, dir.path.string() + "/", options, result)) << result.error;
    EXPECT_EQ(result.written, 3);
    const SerFile f = readSer(result.path);
    ASSERT_TRUE(f.ok);
    EXPECT_EQ(f.colour, 100);
    EXPECT_EQ(f.depth, 8);
    EXPECT_EQ(f.frames, 3);
    int rawWidth = 0, rawHeight = 0;
    GetRawSize(&rawWidth, &rawHeight, n);
    EXPECT_EQ(f.width + 8, rawWidth); // the finished image, without the frame's border
    const std::string probe = hxtest::runCommand(
        "timeout 60 ffprobe -v error -count_frames -show_entries stream=pix_fmt,nb_read_frames "
        "-of default=nw=1 " +
        hxtest::quoted(result.path));
    EXPECT_NE(probe.find("pix_fmt=rgb24"), std::string::npos) << probe;
    EXPECT_NE(probe.find("nb_read_frames=3"), std::string::npos) << probe;

    LiveSerResult none;
    EXPECT_FALSE(recordLiveSer("no such camera", dir.path.string() + "/", options, none));
    EXPECT_FALSE(none.error.empty());
}
