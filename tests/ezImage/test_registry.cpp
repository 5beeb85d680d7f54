// Codec registry: lookup by extension, order, and the save entry point's refusals.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "ezImage/grfmt_base.h"
#include "ezimage_test_util.h"

using hxtest::RegistryTest;

namespace {
std::string describe(const std::string& name) {
    BaseImageEncoder* e = findEncoder(name);
    return e ? e->getDescription() : "";
}
} // namespace

TEST_F(RegistryTest, FindsEncodersByWholeExtensionIgnoringCase) {
    EXPECT_EQ(describe("a.raw"), "(*.raw)");
    EXPECT_EQ(describe("dir.x/shot.dib"), "Windows bitmap (*.bmp;*.dib)");
    EXPECT_EQ(describe("x.BMP"), "Windows bitmap (*.bmp;*.dib)");
    EXPECT_EQ(describe("x.JPG"), "JPEG files (*.jpeg;*.jpg;*.jpe)");
    EXPECT_EQ(describe("x.jpe"), "JPEG files (*.jpeg;*.jpg;*.jpe)");
    EXPECT_EQ(describe("x.jpeg"), "JPEG files (*.jpeg;*.jpg;*.jpe)");
    EXPECT_EQ(describe("x.Tiff"), "TIFF Files (*.tiff;*.tif)");
    EXPECT_EQ(describe("x.tif"), "TIFF Files (*.tiff;*.tif)");
    EXPECT_EQ(describe("/tmp/x.png"), "Portable Network Graphics files (*.png)");
    for (const char* fits : {"x.fits", "x.FIT", "x.fts"})
        EXPECT_EQ(describe(fits), "Flexible Image Transport System (*.fits;*.fit;*.fts)") << fits;
    // The extension is the alphanumeric run after the last dot.
    EXPECT_EQ(describe("x.png~"), "Portable Network Graphics files (*.png)");
    for (const char* name :
         {"x.jp", "x.raw2", "x.ti", "x.", "x", ".", "", "png", "x.pn g", "x.gif"})
        EXPECT_EQ(findEncoder(name), nullptr) << name;
}

TEST_F(RegistryTest, RegisteringTwiceKeepsTheFirstCopyFirst) {
    BaseImageEncoder* first = findEncoder("a.png");
    ezInitGrfmt();
    EXPECT_EQ(findEncoder("a.png"), first);
    exExitGrfmt();
    EXPECT_EQ(findEncoder("a.png"), nullptr);
    EXPECT_EQ(findDecoder(dir.file("none.raw")), nullptr);
}

TEST_F(RegistryTest, SaveRefusesBadRecordsAndNamesWithoutTouchingTheDisk) {
    hxtest::ImagePtr grey = hxtest::patternImage(4, 3, 8, 1);
    EXPECT_FALSE(ezSaveImage(dir.file("a.png"), nullptr));
    for (int channels : {0, 2, 5}) {
        hxtest::ImagePtr odd(ezCreateImage(4, 3, 8, channels, 56, 0));
        EXPECT_FALSE(ezSaveImage(dir.file("odd.png"), odd.get())) << channels;
        EXPECT_FALSE(ezSaveImage(dir.file("odd.raw"), odd.get())) << channels;
    }
    EXPECT_FALSE(ezSaveImage(dir.file("noext"), grey.get()));
    EXPECT_FALSE(ezSaveImage("x", grey.get()));
    EXPECT_FALSE(ezSaveImage(dir.file("a.gif"), grey.get()));
    EXPECT_TRUE(dir.entries().empty());
}

TEST_F(RegistryTest, EveryWriterRefusesUnusableDestinations) {
    hxtest::ImagePtr grey = hxtest::patternImage(4, 3, 8, 1);
    for (const char* ext : {"raw", "bmp", "jpg", "tif", "png", "fits"}) {
        EXPECT_FALSE(ezSaveImage(dir.file("missing/a.") + ext, grey.get())) << ext;
        EXPECT_FALSE(ezSaveImage(dir.file("") + "." + ext + "/", grey.get())) << ext;
    }
    // A directory in the way of the final name: the write fails and leaves nothing behind.
    std::filesystem::create_directory(dir.file("taken.png"));
    EXPECT_FALSE(ezSaveImage(dir.file("taken.png"), grey.get()));
    EXPECT_EQ(dir.entries().size(), 1u);

    if (geteuid() != 0) { // root ignores directory permissions
        hxtest::ScratchDir locked;
        chmod(locked.path().c_str(), 0500);
        for (const char* ext : {"raw", "bmp", "jpg", "tif", "png", "fits"})
            EXPECT_FALSE(ezSaveImage(locked.file("a.") + ext, grey.get())) << ext;
    }
}

TEST_F(RegistryTest, WritersRefuseImagesTheyCannotStore) {
    hxtest::ImagePtr deep(ezCreateImage(4, 3, 12, 1, 56, 0));
    hxtest::ImagePtr two(ezCreateImage(4, 3, 8, 2, 56, 0));
    hxtest::ImagePtr empty(ezCreateImage(0, 3, 8, 1, 56, 0));
    hxtest::ImagePtr flat(ezCreateImage(4, 0, 16, 3, 56, 0));
    for (const char* ext : {"bmp", "jpg", "tif", "png", "fits"}) {
        BaseImageEncoder* prototype = findEncoder(std::string("a.") + ext);
        ASSERT_NE(prototype, nullptr);
        auto encoder = prototype->clone();
        encoder->setDestination(dir.file("direct.") + ext);
        EXPECT_FALSE(encoder->write(*deep)) << ext;
        EXPECT_FALSE(encoder->write(*two)) << ext;
        EXPECT_FALSE(ezSaveImage(dir.file("empty.") + ext, empty.get())) << ext;
        EXPECT_FALSE(ezSaveImage(dir.file("flat.") + ext, flat.get())) << ext;
    }
    EXPECT_TRUE(dir.entries().empty());
}
