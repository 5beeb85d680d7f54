// The chain on frames read from the simulated camera: a flat scene gives a flat finished image
// whose colour follows the scene, and a deferred snapshot is served by the frame read after it.
#include <gtest/gtest.h>

#include <filesystem>

#include "chain_model.h"
#include "sim/SimCamera.h"

using namespace chaintest;

namespace {

/// The chain's test camera with the two-megapixel tables, opened on a simulated camera.
class SimCam : public ChainCam {
public:
    static constexpr ResolutionItem kSimRes[] = {
        {0xC0, 0, 1948, 1920000, 1200, 1600, 0, "1592x1192"},
        {0xC1, 0, 800, 479744, 600, 800, 0, "792x592"},
        {0xC2, 0, 748, 119808, 300, 400, 0, "392x292"},
    };
    static constexpr ClockItem kSimClk[] = {{0xA0, 0, 0, 48000, 0, 0, "High"}};
    SimCam() {
        resolution = {0, 0, 3, 1, 0, 1, {}, kSimRes};
        pixelClock = {0, 0, 1, 1, 0, 1, {}, kSimClk};
        analogGain = {30, 1, 80, 1, 30, 1, {}, nullptr};
        gainRegister = 0x2F;
        lineLength = kSimRes[0].lineLength;
        lineClock = 48000;
        receiveSize = static_cast<int>(kSimRes[0].frameBytes) * 2 + headLength + 2048;
        _retime();
    }
    int _set_analog_gain(int gain) override {
        Lock lock(settingsLock);
        writeRegister(gainRegister, static_cast<uint16_t>(gain + 31));
        analogGain.value = static_cast<uint16_t>(gain);
        return 0;
    }
};

std::shared_ptr<hx::sim::SimCamera> flatSim(double r, double g, double b) {
    hx::sim::SimOptions options;
    options.scene = hx::sim::SimScene::Flat;
    options.noise = false;
    options.hotPixels = false;
    options.vignetting = false;
    options.motion = false;
    options.flatColour = {r, g, b};
    return hx::sim::makeSimCamera(0xC811, 0, options);
}

/// Mean of each sample over the interior of a finished 8-bit colour image.
std::array<double, 3> means(const _ezImage* img) {
    std::array<double, 3> sum{};
    size_t n = 0;
    for (int y = 8; y < img->height - 8; ++y)
        for (int x = 8; x < img->width - 8; ++x, ++n)
            for (int c = 0; c < 3; ++c) sum[c] += img->data[(y * img->width + x) * 3 + c];
    for (double& s : sum) s /= static_cast<double>(n);
    return sum;
}

} // namespace

TEST(ChainOnSimulator, FlatSceneGivesAFlatImageOfItsColour) {
    SimCam cam;
    auto sim = flatSim(0.6, 0.3, 0.15);
    ASSERT_EQ(cam.__open_driver(sim), 0);
    cam._sensor_resume();
    ASSERT_EQ(cam._set_resolution(2, true), 0);
    std::vector<unsigned char> raw(static_cast<size_t>(cam._body()));
    ImageBuffer out(400, 300);
    ASSERT_EQ(cam._raw_data(raw.data(), static_cast<int>(raw.size())), 0);
    ASSERT_EQ(cam._raw2image(raw.data(), out.data(), true), 0);
    const _ezImage* img = out.image();
    ASSERT_EQ(img->width, 392);
    ASSERT_EQ(img->height, 292);
    const auto m = means(img);
    EXPECT_GT(m[0], m[1]) << "red brighter than green";
    EXPECT_GT(m[1], m[2]) << "green brighter than blue";
    EXPECT_GT(m[2], 5.0);

    // White balance over the frame brings the channels together.
    ASSERT_EQ(cam._calc_white_balance(raw.data(), nullptr), 0);
    ASSERT_EQ(cam._raw_data(raw.data(), static_cast<int>(raw.size())), 0);
    ASSERT_EQ(cam._raw2image(raw.data(), out.data(), true), 0);
    const auto b = means(out.image());
    EXPECT_LT(std::abs(b[0] - b[2]), (m[0] - m[2]) / 4);
}

TEST(ChainOnSimulator, DeferredSnapshotAtAnotherResolution) {
    ezInitGrfmt();
    const auto dir =
        std::filesystem::temp_directory_path() / ("halvex-chain-sim-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    SimCam cam;
    auto sim = flatSim(0.5, 0.5, 0.5);
    ASSERT_EQ(cam.__open_driver(sim), 0);
    cam._sensor_resume();
    cam._set_resolution(1, true);
    cam._set_snap_format(4);
    std::vector<unsigned char> raw(static_cast<size_t>(cam._body()));
    ImageBuffer out(1600, 1200);
    ASSERT_EQ(cam._saveimage((dir / "snap").string(), 2), 0);
    for (int i = 0; i < 3 && cam.savePending.load(); ++i) {
        ASSERT_EQ(cam._raw_data(raw.data(), static_cast<int>(raw.size())), 0);
        cam._raw2image(raw.data(), out.data(), true);
    }
    EXPECT_FALSE(cam.savePending.load());
    EXPECT_TRUE(std::filesystem::exists(dir / "snap.png"));
    EXPECT_EQ(cam._resolution(), 1);
    // The old resolution goes out with the next read.
    ASSERT_EQ(cam._raw_data(raw.data(), static_cast<int>(raw.size())), 0);
    EXPECT_EQ(sim->resolutionIndex(), 1);
    std::filesystem::remove_all(dir);
}
