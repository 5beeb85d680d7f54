// The image functions of the flat API on one-buffer image records.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "camera/CamRegistry.h"

namespace {

/// A one-buffer record: a 56-byte header followed by the pixels.
std::vector<unsigned char> makeRecord(int width, int height, int channels, int depth) {
    std::vector<unsigned char> buffer(56 +
                                      static_cast<size_t>(width) * height * channels * depth / 8);
    auto* image = reinterpret_cast<_ezImage*>(buffer.data());
    ezInitImageHeader(image, width, height, channels, depth, 56, buffer.data() + 56, 0, 0);
    return buffer;
}

_ezImage* header(std::vector<unsigned char>& b) {
    return reinterpret_cast<_ezImage*>(b.data());
}

} // namespace

TEST(PointIntensity, WeightsColourSamplesAndChecksBounds) {
    auto rgb = makeRecord(4, 3, 3, 8);
    rgb[56] = 10;
    rgb[57] = 20;
    rgb[58] = 30;
    EXPECT_EQ(GetPointIntensity(0, 0, rgb.data()), 22);
    EXPECT_EQ(GetPointIntensity(4, 0, rgb.data()), -1);
    EXPECT_EQ(GetPointIntensity(0, 3, rgb.data()), -1);
    EXPECT_EQ(GetPointIntensity(-1, 0, rgb.data()), -1);
    EXPECT_EQ(GetPointIntensity(0, 0, nullptr), -1);

    // The last pixel of a 16-bit grey record, little-endian.
    auto grey = makeRecord(5, 2, 1, 16);
    size_t last = 56 + 2 * (5 * 2 - 1);
    grey[last] = 0x34;
    grey[last + 1] = 0x12;
    EXPECT_EQ(GetPointIntensity(4, 1, grey.data()), 0x1234);
    header(grey)->depth = 12;
    EXPECT_EQ(GetPointIntensity(4, 1, grey.data()), -1);
    header(grey)->depth = 16;
    header(grey)->magic[0] = 'X';
    EXPECT_EQ(GetPointIntensity(4, 1, grey.data()), -1);
}

TEST(ImageIntensity, BayerMeansOverAClippedWindow) {
    // RGGB-free layout (code 1 keeps the order): phase (0,0)=10, (0,1)=20, (1,0)=30, (1,1)=40,
    // except the right half, which is brighter so a window cut at the edge shows it.
    auto raw = makeRecord(16, 8, 1, 8);
    header(raw)->bayer = 1;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 16; ++x)
            raw[56 + y * 16 + x] =
                static_cast<unsigned char>(10 + 10 * (2 * (y & 1) + (x & 1)) + (x >= 8 ? 100 : 0));
    float mean = 0, c0 = 0, c1 = 0, c2 = 0, c3 = 0;
    // x = 9 rounds to 8, width 13 rounds to 12 and is cut to 8 at the right edge.
    ASSERT_EQ(GetImageIntensity(raw.data(), 9, 0, 13, 8, &mean, &c0, &c1, &c2, &c3), 0);
    EXPECT_FLOAT_EQ(c0, 110);
    EXPECT_FLOAT_EQ(c1, 120);
    EXPECT_FLOAT_EQ(c2, 130);
    EXPECT_FLOAT_EQ(c3, 140);
    EXPECT_FLOAT_EQ(mean, 125);
    EXPECT_EQ(raw[56], 10); // the caller's record is not cropped

    EXPECT_EQ(GetImageIntensity(raw.data(), -2, 0, 4, 4, &mean, &c0, &c1, &c2, &c3), -2);
    EXPECT_EQ(GetImageIntensity(raw.data(), 18, 0, 4, 4, &mean, &c0, &c1, &c2, &c3), -2);
    EXPECT_EQ(GetImageIntensity(raw.data(), 16, 0, 4, 4, &mean, &c0, &c1, &c2, &c3), -2);
    EXPECT_EQ(GetImageIntensity(raw.data(), 0, 0, 3, 4, &mean, &c0, &c1, &c2, &c3), -2);
    EXPECT_EQ(GetImageIntensity(raw.data(), 0, 0, 4, 4, nullptr, &c0, &c1, &c2, &c3), -2);
    header(raw)->decoded = 1;
    EXPECT_EQ(GetImageIntensity(raw.data(), 0, 0, 4, 4, &mean, &c0, &c1, &c2, &c3), -4);
}

TEST(ImageFunctions, RecordChecksAndResize) {
    auto image = makeRecord(8, 4, 3, 8);
    for (size_t i = 56; i < image.size(); ++i) image[i] = 90;
    EXPECT_EQ(CalcAverage(image.data()), 0);
    EXPECT_EQ(header(image)->average1, 90);
    EXPECT_EQ(ShiftOperation(image.data(), 1), 0);
    EXPECT_EQ(image[60], 180);

    header(image)->magic[3] = 'Y';
    EXPECT_EQ(CalcAverage(image.data()), -4);
    EXPECT_EQ(ShiftOperation(image.data(), 1), -4);
    EXPECT_EQ(CalcAverage(nullptr), -2);
    header(image)->magic[3] = 'Z';

    header(image)->decoded = 1;
    header(image)->resolution = 2;
    header(image)->data = nullptr; // a record copied from elsewhere: data is re-pointed
    auto target = makeRecord(4, 2, 3, 8);
    ASSERT_EQ(ResizeImage(image.data(), target.data(), 4, 2), 0);
    EXPECT_EQ(header(target)->width, 4);
    EXPECT_EQ(header(target)->height, 2);
    EXPECT_EQ(header(target)->channels, 3);
    EXPECT_EQ(header(target)->decoded, 1);
    EXPECT_EQ(header(target)->resolution, 2);
    EXPECT_EQ(header(target)->data, target.data() + 56);
    EXPECT_EQ(target[56 + 5], 180);
    EXPECT_EQ(ResizeImage(nullptr, target.data(), 4, 2), -2);
    EXPECT_EQ(ResizeImage(image.data(), target.data(), 0, 2), -2);
}

TEST(ImageFunctions, ResizeRejectsASourceThatIsNoImageAndLeavesTheTarget) {
    auto target = makeRecord(4, 2, 3, 8);
    std::fill(target.begin(), target.end(), 0xA5);
    const auto untouched = target;
    auto resize = [&](std::vector<unsigned char>& source) {
        return ResizeImage(source.data(), target.data(), 4, 2);
    };

    auto source = makeRecord(8, 4, 3, 8);
    header(source)->magic[0] = 'X';
    EXPECT_EQ(resize(source), -4);

    struct Fault {
        const char* what;
        void (*spoil)(_ezImage*);
    };
    const Fault faults[] = {
        {"depth 12", [](_ezImage* h) { h->depth = 12; }},
        {"depth 0", [](_ezImage* h) { h->depth = 0; }},
        {"two channels", [](_ezImage* h) { h->channels = 2; }},
        {"four channels", [](_ezImage* h) { h->channels = 4; }},
        {"header size 55", [](_ezImage* h) { h->headerSize = 55; }},
        {"header size 0", [](_ezImage* h) { h->headerSize = 0; }},
        {"width 0", [](_ezImage* h) { h->width = 0; }},
        {"height 0", [](_ezImage* h) { h->height = 0; }},
    };
    for (const Fault& fault : faults) {
        source = makeRecord(8, 4, 3, 8);
        fault.spoil(header(source));
        EXPECT_EQ(resize(source), -2) << fault.what;
    }
    EXPECT_EQ(target, untouched);

    // The bounds themselves are accepted: a 16-bit grey 1 x 1 source with a 56-byte header.
    source = makeRecord(1, 1, 1, 16);
    EXPECT_EQ(resize(source), 0);
    EXPECT_EQ(header(target)->depth, 16);
    EXPECT_EQ(header(target)->channels, 1);
}
