// Writers under a tiny file-size limit: false, no partial file, no temporary left, and an
// existing file of the same name untouched.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ezimage_test_util.h"
#include "tests/FileSizeLimit.h"

using hxtest::readFile;
using hxtest::RegistryTest;

TEST_F(RegistryTest, WriteErrorsFailAndLeaveNothingBehind) {
    // Noise does not compress: every format needs far more than the limit.
    hxtest::ImagePtr big(ezCreateImage(300, 200, 16, 3, 56, 0));
    uint32_t state = 12345;
    for (size_t i = 0; i < 300u * 200 * 6; ++i) {
        state = state * 1664525u + 1013904223u;
        big->data[i] = static_cast<unsigned char>(state >> 24);
    }
    hxtest::ImagePtr small = hxtest::patternImage(4, 4, 8, 3);

    for (const char* ext : {"raw", "bmp", "jpg", "tif", "png", "fits"}) {
        SCOPED_TRACE(ext);
        const std::string keep = dir.file(std::string("keep.") + ext);
        const std::string fresh = dir.file(std::string("fresh.") + ext);
        ASSERT_TRUE(ezSaveImage(keep, small.get()));
        const auto before = readFile(keep);
        {
            hxtest::FileSizeLimit limit(4096);
            ASSERT_TRUE(limit.ok());
            EXPECT_FALSE(ezSaveImage(keep, big.get()));
            EXPECT_FALSE(ezSaveImage(fresh, big.get()));
        }
        EXPECT_EQ(readFile(keep), before);
        EXPECT_FALSE(std::filesystem::exists(fresh));
    }
    // Only the kept files: no temporary files anywhere.
    EXPECT_EQ(dir.entries().size(), 6u);
}

namespace {
void makeOld(const std::string& path) {
    const timespec times[2] = {{::time(nullptr) - 120, 0}, {::time(nullptr) - 120, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}
} // namespace

TEST_F(RegistryTest, TemporariesLeftByAKilledWriterGoWithTheNextSaveThere) {
    hxtest::ImagePtr big = hxtest::patternImage(400, 300, 16, 3);
    // A writer that exceeds the file-size limit without ignoring the signal dies mid-write.
    const int status =
        hxtest::writerStatusUnderLimit(4096, [&] { ezSaveImage(dir.file("shot.tif"), big.get()); });
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
    std::vector<std::string> left = dir.entries();
    ASSERT_EQ(left.size(), 1u);
    ASSERT_EQ(left[0].rfind(".hxsave-", 0), 0u) << left[0];
    makeOld(dir.file(left[0]));

    // Beside it: ours still being written (recent, or old but its writer runs: process 1), and
    // old files of other names.
    const std::string recent = ".hxsave-999999999-1-00000000.tmp";
    const std::string running = ".hxsave-1-1-00000000.tmp";
    hxtest::writeFile(dir.file(running), {1});
    makeOld(dir.file(running));
    const std::vector<std::string> others = {".hxsave-notes.txt", "hxsave-1-1-0.tmp", "shot.tmp"};
    hxtest::writeFile(dir.file(recent), {1, 2, 3});
    for (const std::string& name : others) {
        hxtest::writeFile(dir.file(name), {4});
        makeOld(dir.file(name));
    }

    ASSERT_TRUE(ezSaveImage(dir.file("next.png"), hxtest::patternImage(4, 4, 8, 1).get()));
    EXPECT_FALSE(std::filesystem::exists(dir.file(left[0])));
    EXPECT_TRUE(std::filesystem::exists(dir.file(recent)));
    EXPECT_TRUE(std::filesystem::exists(dir.file(running)));
    for (const std::string& name : others) EXPECT_TRUE(std::filesystem::exists(dir.file(name)));
    EXPECT_FALSE(std::filesystem::exists(dir.file("shot.tif")));
}
