// A test camera model over the simulated camera: the two-megapixel colour tables, a simple
// gain law, and helpers to open it on a fresh simulated device.
#pragma once

#include <atomic>
#include <memory>

#include "camera/CamBayer.h"
#include "sim/SimCamera.h"

namespace camtest {

inline constexpr ResolutionItem kRes[] = {
    {0xC0, 0, 1948, 1920000, 1200, 1600, 0, "1592x1192"},
    {0xC1, 0, 800, 479744, 600, 800, 0, "792x592"},
    {0xC2, 0, 748, 119808, 300, 400, 0, "392x292"},
};
inline constexpr ClockItem kClk[] = {
    {0xA0, 0, 0, 48000, 0, 0, "High"},
    {0xA1, 0, 0, 24000, 0, 0, "Normal"},
};
/// A clock table with 16-bit data at the slower clocks and a shifted first item.
inline constexpr ClockItem kDeepClk[] = {
    {0xA0, 0, 1, 48000, 0, 0, "High"},
    {0xA1, 0, 0, 24000, 1, 0, "Normal"},
    {0xA2, 0, 0, 12000, 1, 0, "Low"},
};

inline std::atomic<int> testCounter{1};

/// The model under test: built as the camera models are (tables, values, line time, buffers).
class TestCam : public CamBayer {
public:
    explicit TestCam(bool deepClocks = false) {
        setModelName("VAo200C1.", testCounter);
        channels = 3;
        bayerPattern = 3;
        gainRegister = 0x2F;
        exposureRegister = 0x09;
        longExposureRegister = 0;
        blackLevelRegister = 0x02;
        resolution = {0, 0, 3, 1, 0, 1, {}, kRes};
        if (deepClocks)
            pixelClock = {1, 0, 3, 1, 1, 1, {}, kDeepClk};
        else
            pixelClock = {0, 0, 2, 1, 1, 1, {}, kClk};
        blackLevel = {0, 0, 100, 1, 0, 0, {}, nullptr};
        rawDepth = {8, 8, 16, 8, 8, static_cast<uint8_t>(deepClocks ? 1 : 0), {}, nullptr};
        analogGain = {30, 1, 80, 1, 30, 1, {}, nullptr};
        exposure = {300, 1, 6000, 1, 30, 1, {}, nullptr};
        longExposure = {0, 0, 0, 1, 0, 0, {}, nullptr};
        lineLength = kRes[0].lineLength;
        lineClock = static_cast<int>(
            static_cast<const ClockItem*>(pixelClock.table)[pixelClock.value].rate);
        receiveSize = static_cast<int>(kRes[0].frameBytes) + headLength + 2048;
        _retime();
        createColourSettings(100);
        allocateDefectList();
    }

    /// The two-megapixel colour gain law.
    int _set_analog_gain(int gain) override {
        Lock lock(settingsLock);
        if (gain < analogGain.min || gain > analogGain.max) return -2;
        int reg = gain;
        if (gain <= 32)
            reg = gain + 31;
        else if (gain <= 128)
            reg = gain + 127;
        else if (gain <= 192)
            reg = gain + 319;
        writeRegister(gainRegister, static_cast<uint16_t>(reg));
        analogGain.value = static_cast<uint16_t>(gain);
        return 0;
    }

    // Access for the tests.
    using CamBayer::blackLevel;
    using CamBayer::exposure;
    using CamBayer::hardwareWindow;
    using CamBayer::lineClock;
    using CamBayer::lineLength;
    using CamBayer::longExposure;
    using CamBayer::resolution;
    using CamBayer::resolutionPending;
    using CamBayer::roiOrigin;
    using CamBayer::roiSize;
    using CamBayer::software;
    /// Without a time limit a read ends only when the frame comes or the read is ended.
    bool unboundedReads = false;
    int frameTimeoutMs() override { return unboundedReads ? 0 : CamBayer::frameTimeoutMs(); }
    void setHardwareWindow(bool on) { hardwareWindow = on; }
    void setBlackLevelSupported() { blackLevel.supported = 1; }
    void setLongExposure(int max) {
        longExposure.supported = 1;
        longExposure.max = static_cast<uint16_t>(max);
    }
    void makeMonochrome() {
        channels = 1;
        bayerPattern = 0;
        software[kSwSaturation].enabled = 0;
        for (int c = 0; c < 3; ++c) software[kSwGainRed + c].enabled = 0;
    }
};

/// A simulated camera with a flat, noiseless scene unless told otherwise.
inline std::shared_ptr<hx::sim::SimCamera> makeSim(uint16_t bcd = 0, bool flat = true,
                                                   uint16_t product = 0xC811) {
    hx::sim::SimOptions options;
    if (flat) {
        options.scene = hx::sim::SimScene::Flat;
        options.noise = false;
        options.hotPixels = false;
        options.vignetting = false;
        options.motion = false;
        options.flatColour = {0.3, 0.3, 0.3};
    }
    return hx::sim::makeSimCamera(product, bcd, options);
}

} // namespace camtest
