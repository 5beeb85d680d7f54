// The checkerboard conversion of the one-channel 1.3-megapixel cameras.
#include <memory>

#include "cmos_test_util.h"

namespace {

constexpr int kW = 40, kH = 16, kHead = 512;

struct Frames {
    std::vector<unsigned char> raw = std::vector<unsigned char>(kHead + kW * kH, 0);
    std::vector<unsigned char> out = std::vector<unsigned char>(kHead + kW * kH + 8192, 0);
    unsigned char& at(int x, int y) { return raw[kHead + y * kW + x]; }
    int result(int x, int y) const { return out[kHead + y * (kW - 8) + x]; }
};

void convert(Frames& f, uint16_t productId) {
    auto camera = _create_device(productId, kHalvexVendorId);
    ASSERT_TRUE(camera);
    ezInitImageHeader(reinterpret_cast<_ezImage*>(f.raw.data()), kW, kH, 1, 8, kHead,
                      f.raw.data() + kHead, 0, 0);
    ASSERT_EQ(camera->_raw2image(f.raw.data(), f.out.data(), false), 0);
    const auto* image = reinterpret_cast<const _ezImage*>(f.out.data());
    EXPECT_EQ(image->width, kW - 8);
    EXPECT_EQ(image->height, kH - 8);
    EXPECT_EQ(image->channels, 1);
}

TEST(MonoConversion, PlanesPassUnchangedAtTheirOwnPositions) {
    for (uint16_t id : {uint16_t{0xC00B}, uint16_t{0xF00B}, uint16_t{0xA00B}}) {
        Frames f;
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x) f.at(x, y) = static_cast<unsigned char>(3 * x + 5 * y);
        convert(f, id);
        bool same = true;
        for (int y = 0; y < kH - 8; ++y)
            for (int x = 0; x < kW - 8; ++x)
                same = same && f.result(x, y) == 3 * (x + 4) + 5 * (y + 4);
        EXPECT_TRUE(same) << std::hex << id;
    }
}

TEST(MonoConversion, CheckerboardWeightsAroundOnePixel) {
    Frames f;
    f.at(20, 8) = 200;
    convert(f, 0xC00B);
    // Output (20, 8) weighs the pixel itself four eighths; its row and column neighbours take
    // a quarter of it as an orthogonal neighbour; the diagonal position (21, 7) an eighth.
    EXPECT_EQ(f.result(16, 4), 100);
    EXPECT_EQ(f.result(17, 4), 50);
    EXPECT_EQ(f.result(15, 4), 50);
    EXPECT_EQ(f.result(16, 3), 50);
    EXPECT_EQ(f.result(17, 3), 25);
    EXPECT_EQ(f.result(18, 4), 0);
}

TEST(MonoConversion, RefusesWhatIsNotAnEightBitFrame) {
    auto camera = _create_device(0xC00B, kHalvexVendorId);
    ASSERT_TRUE(camera);
    Frames f;
    EXPECT_EQ(camera->_raw2image(f.raw.data(), f.out.data(), true), -2); // no record magic
    ezInitImageHeader(reinterpret_cast<_ezImage*>(f.raw.data()), kW / 2, kH, 1, 16, kHead,
                      f.raw.data() + kHead, 0, 0);
    EXPECT_EQ(camera->_raw2image(f.raw.data(), f.out.data(), true), -2);
    EXPECT_EQ(camera->_raw2image(nullptr, f.out.data(), true), -2);
    EXPECT_EQ(camera->_raw2image(f.raw.data(), f.raw.data(), true), -2);
}

} // namespace
