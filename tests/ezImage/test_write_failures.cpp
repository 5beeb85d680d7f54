// Writers under a tiny file-size limit: false, no partial file, no temporary left, and an
// existing file of the same name untouched.
#include <gtest/gtest.h>

#include <csignal>

#include <sys/resource.h>

#include "ezimage_test_util.h"

using hxtest::readFile;
using hxtest::RegistryTest;

namespace {
/// Lowers the file-size limit (and ignores the signal that comes with exceeding it) while alive.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &previous_);
        rlimit lowered = previous_;
        lowered.rlim_cur = bytes;
        ok_ = setrlimit(RLIMIT_FSIZE, &lowered) == 0;
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &previous_);
        std::signal(SIGXFSZ, previousHandler_);
    }
    bool ok() const { return ok_; }

private:
    rlimit previous_{};
    void (*previousHandler_)(int) = nullptr;
    bool ok_ = false;
};
} // namespace

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
            FileSizeLimit limit(4096);
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
