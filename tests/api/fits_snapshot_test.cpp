// FITS snapshots of simulated cameras through the flat API: the file holds the same samples as
// the RAW file of the same frame, in the orientation the flip asks for, and its keywords are
// those of the frame (exposure, gain, frame type, temperature, Bayer pattern).
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "ApiFixture.h"
#include "tests/ezImage/fits_test_util.h"

namespace {

int sampleOf(const _ezImage& im, int x, int y, int c) {
    const size_t bps = im.depth / 8;
    const unsigned char* p =
        im.data + ((static_cast<size_t>(y) * im.width + x) * im.channels + c) * bps;
    return bps == 1 ? p[0] : p[0] | (p[1] << 8);
}

char colourAt(const std::string& pattern, int x, int y) {
    return pattern.at(static_cast<size_t>((y & 1) * 2 + (x & 1)));
}

struct Loaded {
    _ezImage* image = nullptr;
    explicit Loaded(const std::string& path) : image(ezLoadImage(path)) {}
    ~Loaded() { ezReleaseImage(&image); }
};

} // namespace

TEST_F(ApiTest, RawFitsSnapshotsHoldTheSensorSamplesOfTheRawFileTurnedByTheFlip) {
    start();
    const std::string name = plug(0xA811); // VAh200C1
    ASSERT_FALSE(name.empty());
    const char* n = name.c_str();
    ASSERT_EQ(SetExposure(20.0f, n), 0);
    ASSERT_EQ(SetAnaloggain(40, n), 0);
    ASSERT_EQ(SetFrameType(HALVEX_FRAME_FLAT, n), 0);
    SetImageFormat(HALVEX_FORMAT_FITS | HALVEX_FORMAT_FITS_RAW, n);
    int formats = 0;
    ASSERT_EQ(GetImageFormat(&formats, n), 0);
    EXPECT_EQ(formats, 96);
    ASSERT_EQ(ResumeDevice(n), 0);
    const char* sensor = ezBayerName(GetRawBayernPattern(n));
    ASSERT_NE(sensor, nullptr);
    std::vector<unsigned char> raw(RecvMemSize(n));

    for (int flip = 0; flip < 4; ++flip) {
        SCOPED_TRACE(testing::Message() << "flip " << flip);
        SetFlip(flip, n);
        ASSERT_EQ(readFrame(raw, n), 0);
        const std::string path = docs_ + "shot" + std::to_string(flip);
        ASSERT_EQ(SaveFile(raw.data(), path.c_str(), 1 | 32 | 64, n), 0);
        // Only the two files asked for; the raw frame was not processed for other formats.
        EXPECT_TRUE(std::filesystem::exists(path + ".raw"));
        EXPECT_FALSE(std::filesystem::exists(path + ".jpg"));
        if (flip == 0) {
            EXPECT_EQ(hxtest::fitsverifyProblems(path + ".fits"), "");
        }

        Loaded rawFile(path + ".raw");
        ASSERT_NE(rawFile.image, nullptr);
        const _ezImage& r = *rawFile.image;
        const hxtest::FitsImage f = hxtest::readWithCfitsio(path + ".fits");
        ASSERT_TRUE(f.ok) << f.error;
        ASSERT_EQ(f.axes, (std::vector<long>{r.width, r.height}));
        EXPECT_EQ(f.key("BITPIX"), r.depth == 8 ? "8" : "16");
        const std::string pattern = f.key("BAYERPAT");
        const int dx = std::stoi(f.key("XBAYROFF")), dy = std::stoi(f.key("YBAYROFF"));
        for (int y = 0; y < r.height; y += 7)
            for (int x = 0; x < r.width; x += 5) {
                const int sx = (flip & 1) ? r.width - 1 - x : x;
                const int sy = (flip & 2) ? r.height - 1 - y : y;
                ASSERT_EQ(f.samples[static_cast<size_t>(y) * r.width + x], sampleOf(r, sx, sy, 0))
                    << x << "," << y;
                ASSERT_EQ(colourAt(pattern, x + dx, y + dy), colourAt(sensor, sx, sy))
                    << x << "," << y;
            }
        const float exposure = GetExposure(n);
        EXPECT_NEAR(std::stod(f.key("EXPTIME")), exposure / 1000.0, 1e-6);
        EXPECT_EQ(f.key("GAIN"), "40");
        EXPECT_EQ(f.key("IMAGETYP"), "Flat Frame");
        EXPECT_EQ(f.key("INSTRUME"), "VAh200C1");
        EXPECT_EQ(f.key("XORGSUBF"), "0");
        EXPECT_TRUE(f.has("DATE-OBS"));
        EXPECT_FALSE(f.has("CCD-TEMP")); // no temperature sensor on this camera
    }

    // The deferred save writes the raw FITS of the first frame at the resolution.
    SetFlip(0, n);
    const std::string later = docs_ + "later";
    ASSERT_EQ(SaveImage(later.c_str(), GetResolution(n), n), 0);
    std::vector<unsigned char> image(raw.size() * 3 + 8192);
    for (int k = 0; k < 5 && !std::filesystem::exists(later + ".fits"); ++k) {
        ASSERT_EQ(readFrame(raw, n), 0);
        ASSERT_EQ(DecodeRaw2Image(raw.data(), image.data(), n), 0);
    }
    const hxtest::FitsImage deferred = hxtest::readWithCfitsio(later + ".fits");
    ASSERT_TRUE(deferred.ok) << deferred.error;
    EXPECT_EQ(deferred.key("BAYERPAT"), sensor);
}

TEST_F(ApiTest, FinishedFitsSnapshotsHoldTheFinishedImageInThreePlanes) {
    std::vector<unsigned char> raw, image;
    const std::string name = grabFinished(0xA811, raw, image);
    ASSERT_FALSE(name.empty());
    const char* n = name.c_str();
    const std::string path = docs_ + "finished";
    ASSERT_EQ(SaveFile(image.data(), path.c_str(), 32, n), 0);
    const _ezImage& r = *reinterpret_cast<const _ezImage*>(image.data());
    ASSERT_EQ(r.channels, 3);
    EXPECT_EQ(hxtest::fitsverifyProblems(path + ".fits"), "");
    std::vector<long> shape;
    const hxtest::FitsImage a = hxtest::readWithAstropy(path + ".fits", &shape, nullptr, false);
    ASSERT_TRUE(a.ok) << a.error;
    EXPECT_EQ(shape, (std::vector<long>{3, r.height, r.width}));
    EXPECT_EQ(a.key("ROWORDER"), "TOP-DOWN");
    const hxtest::FitsImage f = hxtest::readWithCfitsio(path + ".fits");
    ASSERT_TRUE(f.ok) << f.error;
    EXPECT_FALSE(f.has("BAYERPAT"));
    // The finished image starts 4 pixels into the frame: its border went with the demosaic.
    EXPECT_EQ(f.key("XORGSUBF"), "4");
    EXPECT_EQ(f.key("YORGSUBF"), "4");
    ASSERT_EQ(f.samples.size(), static_cast<size_t>(r.width) * r.height * 3);
    const size_t plane = static_cast<size_t>(r.width) * r.height;
    for (int c = 0; c < 3; ++c)
        for (int y = 0; y < r.height; y += 3)
            for (int x = 0; x < r.width; x += 3)
                ASSERT_EQ(f.samples[c * plane + static_cast<size_t>(y) * r.width + x],
                          sampleOf(r, x, y, c))
                    << x << "," << y << "," << c;
}

TEST_F(ApiTest, FitsOfACooledCameraCarriesTheTemperatureReadForTheFrame) {
    start();
    const std::string name = plug(0xE00C, 0xA001); // VDh694M1 with its temperature sensor
    ASSERT_FALSE(name.empty());
    const char* n = name.c_str();
    ASSERT_EQ(SetFrameType(HALVEX_FRAME_DARK, n), 0);
    ASSERT_EQ(ResumeDevice(n), 0);
    std::vector<unsigned char> raw(RecvMemSize(n));
    ASSERT_EQ(readFrame(raw, n), 0);
    HalvexFrameInfo info{};
    ASSERT_EQ(GetFrameInfo(raw.data(), &info), 0);
    ASSERT_NE(info.flags & HALVEX_INFO_TEMPERATURE, 0u);
    const std::string path = docs_ + "dark";
    ASSERT_EQ(SaveFile(raw.data(), path.c_str(), 32 | 64, n), 0);
    const hxtest::FitsImage f = hxtest::readWithCfitsio(path + ".fits");
    ASSERT_TRUE(f.ok) << f.error;
    EXPECT_NEAR(std::stod(f.key("CCD-TEMP")), info.temperature, 0.006);
    EXPECT_EQ(f.key("IMAGETYP"), "Dark Frame");
    EXPECT_EQ(f.key("INSTRUME"), "VDh694M1");
    EXPECT_FALSE(f.has("BAYERPAT")); // a mono sensor
    EXPECT_FALSE(f.has("SET-TEMP")); // the cooler has no target
}
