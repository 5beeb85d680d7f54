// Snapshots: the immediate save and the deferred save served by the processing chain.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "chain_model.h"

using namespace chaintest;
namespace fs = std::filesystem;

namespace {

/// A fresh directory under the system temp dir, watched for files that are completed in it
/// (closed after writing, or renamed into it), so that the order of the writes can be read.
class SnapshotDir : public ::testing::Test {
protected:
    void SetUp() override {
        ezInitGrfmt();
        dir = fs::temp_directory_path() /
              ("halvex-chain-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        watch = inotify_init1(IN_NONBLOCK);
        ASSERT_GE(watch, 0);
        ASSERT_GE(inotify_add_watch(watch, dir.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO), 0);
    }
    void TearDown() override {
        if (watch >= 0) ::close(watch);
        fs::remove_all(dir);
    }

    /// Names of the files completed so far, in order, each once.
    std::vector<std::string> completed() {
        alignas(inotify_event) char buf[16384];
        for (;;) {
            const ssize_t n = ::read(watch, buf, sizeof buf);
            if (n <= 0) break;
            for (char* p = buf; p < buf + n;) {
                auto* e = reinterpret_cast<inotify_event*>(p);
                const std::string name = e->len ? e->name : "";
                if (!name.empty() && fs::exists(dir / name) && seen.insert(name).second)
                    order.push_back(name);
                p += sizeof(inotify_event) + e->len;
            }
        }
        return order;
    }
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir))
            names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    static std::vector<unsigned char> read(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    std::string path(const char* stem) const { return (dir / stem).string(); }

    fs::path dir;
    int watch = -1;
    std::set<std::string> seen;
    std::vector<std::string> order;
};

/// A finished image in one buffer, as the chain makes it.
ImageBuffer processed(ChainCam& cam, int width = 40, int height = 30) {
    RawFrame raw(width, height, 8);
    raw.randomise(5);
    ImageBuffer out(width, height);
    EXPECT_EQ(cam._raw2image(raw.data(), out.data(), true), 0);
    return out;
}

} // namespace

TEST_F(SnapshotDir, AllFormatsAreWrittenInTheFixedOrder) {
    ChainCam cam;
    ImageBuffer image = processed(cam);
    ASSERT_EQ(cam._savefile(image.data(), path("shot"), 31), 0);
    const std::vector<std::string> expect = {"shot.raw", "shot.jpg", "shot.bmp", "shot.png",
                                             "shot.tif"};
    EXPECT_EQ(completed(), expect);
    EXPECT_EQ(files().size(), 5u);

    // The RAW file holds the processed record, stamped with the camera's settings.
    const auto bytes = read(dir / "shot.raw");
    const _ezImage* img = image.image();
    ASSERT_EQ(bytes.size(), kHead + static_cast<size_t>(img->stride) * img->height);
    _ezImage head;
    std::memcpy(&head, bytes.data(), sizeof head);
    EXPECT_EQ(head.decoded, 1);
    EXPECT_EQ(head.channels, 3);
    EXPECT_EQ(head.productId, 0xC811);
    EXPECT_EQ(head.vendorId, 0x0547);
    EXPECT_EQ(head.deviceRelease, 0x0102);
    EXPECT_EQ(head.gain, 244);
    EXPECT_EQ(head.black, 7);
    EXPECT_EQ(head.clock, 0xA1);
    EXPECT_EQ(head.bayer, 3);
    EXPECT_TRUE(std::equal(bytes.begin() + kHead, bytes.end(), img->data));
}

TEST_F(SnapshotDir, RawOnlyWritesTheRawFrameItself) {
    ChainCam cam;
    RawFrame raw(40, 30, 16);
    raw.randomise(9);
    const std::vector<unsigned char> pixelsBefore(raw.bytes.begin() + kHead, raw.bytes.end());
    // A record whose data pointer was left in another buffer is saved from its own.
    raw.image()->data = nullptr;
    ASSERT_EQ(cam._savefile(raw.data(), path("frame"), 1), 0);
    EXPECT_EQ(files(), std::vector<std::string>{"frame.raw"});
    const auto bytes = read(dir / "frame.raw");
    ASSERT_EQ(bytes.size(), raw.bytes.size());
    _ezImage head;
    std::memcpy(&head, bytes.data(), sizeof head);
    EXPECT_EQ(head.decoded, 0);
    EXPECT_EQ(head.depth, 16);
    EXPECT_TRUE(std::equal(bytes.begin() + kHead, bytes.end(), pixelsBefore.begin()));
}

TEST_F(SnapshotDir, BadRecordsWriteNothing) {
    ChainCam cam;
    ImageBuffer image = processed(cam);
    EXPECT_EQ(cam._savefile(nullptr, path("a"), 31), -2);
    image.bytes[0] = 'Z';
    EXPECT_EQ(cam._savefile(image.data(), path("b"), 31), -4);
    image.bytes[0] = 'Q';
    image.image()->stride = 7; // does not match the geometry
    EXPECT_EQ(cam._savefile(image.data(), path("c"), 31), -2);
    ImageBuffer good = processed(cam);
    EXPECT_EQ(cam._savefile(good.data(), path("d"), 0), 0);
    EXPECT_TRUE(files().empty());
}

TEST_F(SnapshotDir, DeferredSaveWaitsForAFrameOfTheRequestedResolution) {
    ChainCam cam;
    cam._set_snap_format(16 | 1);
    ASSERT_EQ(cam._saveimage(path("later"), 1), 0);
    EXPECT_EQ(cam._resolution(), 1);

    // A frame still in flight at the old resolution is not served.
    RawFrame old(40, 30, 8, 0);
    ImageBuffer out(40, 30);
    cam._raw2image(old.data(), out.data(), true);
    EXPECT_TRUE(files().empty());
    EXPECT_TRUE(cam.savePending.load());

    // The first frame at the new resolution is written, then the old resolution comes back.
    RawFrame next(30, 20, 8, 1);
    next.randomise(2);
    cam._raw2image(next.data(), out.data(), true);
    EXPECT_EQ(completed(), (std::vector<std::string>{"later.raw", "later.bmp"}));
    EXPECT_FALSE(cam.savePending.load());
    EXPECT_EQ(cam._resolution(), 0);
    const auto bytes = read(dir / "later.raw");
    _ezImage head;
    std::memcpy(&head, bytes.data(), sizeof head);
    EXPECT_EQ(head.width, 30);
    EXPECT_EQ(head.decoded, 0);

    // At the current resolution nothing is switched, and later frames write nothing more.
    ASSERT_EQ(cam._saveimage(path("now"), 0), 0);
    EXPECT_EQ(cam._resolution(), 0);
    cam._raw2image(old.data(), out.data(), true);
    cam._raw2image(old.data(), out.data(), true);
    EXPECT_EQ(files().size(), 4u);
    EXPECT_EQ(cam._resolution(), 0);
    EXPECT_EQ(cam._saveimage(path("never"), 3), -2);
    EXPECT_FALSE(cam.savePending.load());
}

TEST_F(SnapshotDir, QuarterTurnsSwapTheExpectedSize) {
    ChainCam cam;
    cam._set_rotate(1);
    ASSERT_EQ(cam._saveimage(path("turned"), 2), 0); // a 24 x 16 frame
    EXPECT_EQ(cam.expectedWidth, 16);
    EXPECT_EQ(cam.expectedHeight, 24);
    ImageBuffer out(24, 24);
    RawFrame wide(24, 16, 8, 2), tall(16, 24, 8, 2);
    cam._raw2image(wide.data(), out.data(), true);
    EXPECT_TRUE(files().empty());
    cam._raw2image(tall.data(), out.data(), true);
    EXPECT_EQ(files(), std::vector<std::string>{"turned.jpg"});

    // A region of interest (or a hardware window) sets the size instead of the table.
    cam._set_rotate(0);
    cam.setHardwareWindow(20, 12);
    ASSERT_EQ(cam._saveimage(path("window"), cam._resolution()), 0);
    EXPECT_EQ(cam.expectedWidth, 20);
    EXPECT_EQ(cam.expectedHeight, 12);
}
