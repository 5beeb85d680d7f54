// The FITS writer, read back by fitsverify, cfitsio and astropy: layout, samples, keywords of
// the frame information, and the Bayer pattern of raw sensor data under every flip.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <map>

#include "ezImage/grfmt_fits.h"
#include "ezimage_test_util.h"
#include "fits_test_util.h"
#include "frame_info_sample.h"

using hxtest::RegistryTest;

namespace {

/// A raw sensor frame laid out as the camera lays it out: a 512-byte head holding the record
/// and the frame information, then the samples.
struct RawFrame {
    std::vector<unsigned char> buffer;
    _ezImage* record() { return reinterpret_cast<_ezImage*>(buffer.data()); }
};

RawFrame rawFrame(int width, int height, int depth, const HalvexFrameInfo* info) {
    RawFrame f;
    const size_t bytes = static_cast<size_t>(width) * height * depth / 8;
    f.buffer.assign(512 + bytes + kEzStatisticsBytes, 0);
    ezInitImageHeader(f.record(), width, height, 1, depth, 512, f.buffer.data() + 512, 0, 0);
    for (size_t i = 0; i < bytes; ++i)
        f.buffer[512 + i] = static_cast<unsigned char>(i * 37 + (i >> 8) * 11 + 3);
    if (info) ezWriteFrameInfo(*f.record(), *info);
    return f;
}

/// Colour of sample (x, y) of a mosaic whose first sample is the first letter of `pattern`
/// ("RGGB": red at (0, 0), green at (1, 0) and (0, 1), blue at (1, 1)).
char colourAt(const std::string& pattern, int x, int y) {
    return pattern.at(static_cast<size_t>((y & 1) * 2 + (x & 1)));
}

} // namespace

TEST_F(RegistryTest, FitsFilesHoldEverySampleAsWrittenInTheLayoutReadersExpect) {
    for (int depth : {8, 16})
        for (int channels : {1, 3}) {
            SCOPED_TRACE(testing::Message() << depth << "-bit, " << channels << " channels");
            hxtest::ImagePtr image = hxtest::patternImage(13, 7, depth, channels);
            image->decoded = 1;
            const std::string path =
                dir.file("p" + std::to_string(depth) + "c" + std::to_string(channels) + ".fits");
            ASSERT_TRUE(ezSaveImage(path, image.get()));
            EXPECT_EQ(hxtest::fitsverifyProblems(path), "");

            const hxtest::FitsImage c = hxtest::readWithCfitsio(path);
            ASSERT_TRUE(c.ok) << c.error;
            EXPECT_EQ(c.key("BITPIX"), depth == 8 ? "8" : "16");
            if (depth == 16)
                EXPECT_EQ(std::stod(c.key("BZERO")), 32768.0);
            else
                EXPECT_FALSE(c.has("BZERO"));
            EXPECT_EQ(c.key("NAXIS"), channels == 1 ? "2" : "3");
            EXPECT_EQ(c.key("ROWORDER"), "TOP-DOWN");
            EXPECT_EQ(c.key("SWCREATE").rfind("Halvex Capture ", 0), 0u);
            std::vector<long> axes = {13, 7};
            if (channels == 3) axes.push_back(3);
            EXPECT_EQ(c.axes, axes);

            std::vector<long> shape;
            std::string dtype;
            const hxtest::FitsImage a = hxtest::readWithAstropy(path, &shape, &dtype);
            ASSERT_TRUE(a.ok) << a.error;
            EXPECT_EQ(dtype, depth == 8 ? "uint8" : "uint16");
            const std::vector<long> numpyShape =
                channels == 1 ? std::vector<long>{7, 13} : std::vector<long>{3, 7, 13};
            EXPECT_EQ(shape, numpyShape);

            // File order: plane (red, green, blue), then rows from the top, then columns.
            ASSERT_EQ(c.samples.size(), 13u * 7 * channels);
            ASSERT_EQ(a.samples, c.samples);
            size_t i = 0;
            for (int ch = 0; ch < channels; ++ch)
                for (int y = 0; y < 7; ++y)
                    for (int x = 0; x < 13; ++x, ++i)
                        ASSERT_EQ(c.samples[i], hxtest::sampleAt(*image, x, y, ch))
                            << x << "," << y << "," << ch;
        }
}

TEST_F(RegistryTest, FitsKeywordsDescribeTheFrameAndOnlyWhatIsKnown) {
    const HalvexFrameInfo info = hxtest::sampleFrameInfo();
    RawFrame frame = rawFrame(16, 10, 16, &info);
    const std::string path = dir.file("dark.fits");
    ASSERT_TRUE(ezSaveImage(path, frame.record()));
    EXPECT_EQ(hxtest::fitsverifyProblems(path), "");
    const hxtest::FitsImage a = hxtest::readWithAstropy(path);
    ASSERT_TRUE(a.ok) << a.error;
    EXPECT_EQ(a.key("INSTRUME"), "VAh200C1");
    EXPECT_DOUBLE_EQ(std::stod(a.key("EXPTIME")), 0.0125);
    EXPECT_EQ(a.key("GAIN"), "42");
    EXPECT_EQ(a.key("OFFSET"), "17");
    EXPECT_EQ(a.key("XBINNING"), "2");
    EXPECT_EQ(a.key("YBINNING"), "2");
    EXPECT_EQ(a.key("XORGSUBF"), "101");
    EXPECT_EQ(a.key("YORGSUBF"), "51");
    EXPECT_DOUBLE_EQ(std::stod(a.key("CCD-TEMP")), -10.25);
    EXPECT_DOUBLE_EQ(std::stod(a.key("SET-TEMP")), -15.0);
    EXPECT_EQ(a.key("IMAGETYP"), "Dark Frame");
    EXPECT_EQ(a.key("DATE-OBS"), "2025-12-09T10:11:12.345");
    EXPECT_EQ(a.key("BAYERPAT"), "RGGB");
    EXPECT_EQ(a.key("XBAYROFF"), "0");
    EXPECT_EQ(a.key("YBAYROFF"), "0");
    // The samples of a raw frame, unscaled.
    const hxtest::FitsImage c = hxtest::readWithCfitsio(path);
    ASSERT_EQ(c.samples.size(), 160u);
    for (int i = 0; i < 160; ++i)
        ASSERT_EQ(c.samples[i], frame.buffer[512 + 2 * i] | (frame.buffer[513 + 2 * i] << 8));

    // Each frame type by its name.
    const char* names[] = {"Light Frame", "Dark Frame", "Flat Frame", "Bias Frame"};
    for (int type = 0; type < 4; ++type) {
        HalvexFrameInfo typed = info;
        typed.frameType = static_cast<uint8_t>(type);
        RawFrame f = rawFrame(4, 4, 8, &typed);
        ASSERT_TRUE(ezSaveImage(dir.file("t.fits"), f.record()));
        EXPECT_EQ(hxtest::readWithCfitsio(dir.file("t.fits")).key("IMAGETYP"), names[type]);
    }

    // Values the camera did not know are left out, never written as a placeholder.
    HalvexFrameInfo sparse = info;
    sparse.flags = 0;
    sparse.bayer = 0;
    sparse.frameType = 9;
    RawFrame mono = rawFrame(4, 4, 8, &sparse);
    ASSERT_TRUE(ezSaveImage(dir.file("sparse.fits"), mono.record()));
    const hxtest::FitsImage s = hxtest::readWithCfitsio(dir.file("sparse.fits"));
    for (const char* key : {"GAIN", "OFFSET", "CCD-TEMP", "SET-TEMP", "BAYERPAT", "IMAGETYP"})
        EXPECT_FALSE(s.has(key)) << key;
    EXPECT_TRUE(s.has("EXPTIME"));
    // Without any frame information only what the image itself says.
    RawFrame bare = rawFrame(4, 4, 8, nullptr);
    ASSERT_TRUE(ezSaveImage(dir.file("bare.fits"), bare.record()));
    EXPECT_EQ(hxtest::fitsverifyProblems(dir.file("bare.fits")), "");
    const hxtest::FitsImage b = hxtest::readWithCfitsio(dir.file("bare.fits"));
    for (const char* key : {"EXPTIME", "DATE-OBS", "INSTRUME", "XBINNING", "XORGSUBF"})
        EXPECT_FALSE(b.has(key)) << key;
    // A finished (demosaiced) image carries no mosaic pattern.
    RawFrame finished = rawFrame(4, 4, 8, &info);
    finished.record()->decoded = 1;
    ASSERT_TRUE(ezSaveImage(dir.file("finished.fits"), finished.record()));
    EXPECT_FALSE(hxtest::readWithCfitsio(dir.file("finished.fits")).has("BAYERPAT"));
}

TEST_F(RegistryTest, FrameInformationFitsCannotCarryIsLeftOutOrMadeValid) {
    // A camera that reports no exposure or temperature (NaN), a clock set far ahead and a
    // model name from a USB descriptor with bytes outside printable ASCII: the snapshot is
    // still written, as a file every reader takes.
    HalvexFrameInfo info = hxtest::sampleFrameInfo();
    info.exposureMs = std::numeric_limits<float>::quiet_NaN();
    info.temperature = std::numeric_limits<float>::infinity();
    info.setTemperature = std::numeric_limits<float>::quiet_NaN();
    info.exposureStartUs = 300000000000000000LL; // in the year 11476
    std::memcpy(info.model, "Cam\x01\xff'\"&=x/ 150", 16);
    RawFrame frame = rawFrame(8, 4, 8, &info);
    const std::string path = dir.file("odd.fits");
    ASSERT_TRUE(ezSaveImage(path, frame.record()));
    EXPECT_EQ(hxtest::fitsverifyProblems(path), "");
    const hxtest::FitsImage c = hxtest::readWithCfitsio(path);
    ASSERT_TRUE(c.ok) << c.error;
    for (const char* key : {"EXPTIME", "CCD-TEMP", "SET-TEMP", "DATE-OBS"})
        EXPECT_FALSE(c.has(key)) << key;
    // cfitsio writes other bytes as spaces; this reader leaves the quote doubled as in FITS.
    EXPECT_EQ(c.key("INSTRUME"), "Cam  ''\"&=x/ 150");
    EXPECT_EQ(c.key("GAIN"), "42");
    // The last moment with a four-digit year still has its date.
    info.exposureStartUs = 253402300799999000LL;
    RawFrame last = rawFrame(4, 4, 8, &info);
    ASSERT_TRUE(ezSaveImage(dir.file("last.fits"), last.record()));
    EXPECT_EQ(hxtest::readWithCfitsio(dir.file("last.fits")).key("DATE-OBS"),
              "9999-12-31T23:59:59.999");
}

TEST_F(RegistryTest, RawFitsPatternNamesTheColourOfEveryWrittenSampleUnderEachFlip) {
    // Odd sizes: a flip moves the last column or row, of the other parity, to the front.
    const int width = 7, height = 5;
    for (const char* pattern : {"RGGB", "BGGR", "GRBG", "GBRG"})
        for (int flip = 0; flip < 4; ++flip) {
            SCOPED_TRACE(testing::Message() << pattern << " flip " << flip);
            HalvexFrameInfo info = hxtest::sampleFrameInfo();
            const std::map<std::string, int> codes = {
                {"BGGR", 1}, {"GBRG", 2}, {"RGGB", 3}, {"GRBG", 4}};
            info.bayer = static_cast<uint8_t>(codes.at(pattern));
            info.flip = static_cast<uint8_t>(flip);
            RawFrame frame = rawFrame(width, height, 16, &info);
            const std::string path = dir.file("flip.fits");
            ASSERT_TRUE(ezSaveImage(path, frame.record()));
            const hxtest::FitsImage a = hxtest::readWithCfitsio(path);
            ASSERT_TRUE(a.ok) << a.error;
            const std::string written = a.key("BAYERPAT");
            const int dx = std::stoi(a.key("XBAYROFF")), dy = std::stoi(a.key("YBAYROFF"));
            ASSERT_EQ(a.samples.size(), static_cast<size_t>(width * height));
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x) {
                    // Where the written sample came from in the frame as delivered.
                    const int sx = (flip & 1) ? width - 1 - x : x;
                    const int sy = (flip & 2) ? height - 1 - y : y;
                    const size_t at = 512 + 2 * (static_cast<size_t>(sy) * width + sx);
                    ASSERT_EQ(a.samples[y * width + x],
                              frame.buffer[at] | (frame.buffer[at + 1] << 8))
                        << x << "," << y;
                    ASSERT_EQ(colourAt(written, x + dx, y + dy), colourAt(pattern, sx, sy))
                        << x << "," << y;
                }
        }
}

TEST(FitsTime, DateObsIsUtcWithMilliseconds) {
    EXPECT_EQ(FitsEncoder::isoTime(0), "1970-01-01T00:00:00.000");
    EXPECT_EQ(FitsEncoder::isoTime(951782400999999LL), "2000-02-29T00:00:00.999");
    EXPECT_EQ(FitsEncoder::isoTime(-1000), "1969-12-31T23:59:59.999");
}
