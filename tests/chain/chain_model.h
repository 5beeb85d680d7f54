// A colour test camera for the processing chain, without a device: small resolution items,
// a simple gain law, and helpers that build raw frame records in one buffer.
#pragma once

#include <cstring>
#include <random>
#include <vector>

#include "algorithms/algorithms.h"
#include "camera/CamBayer.h"

namespace chaintest {

inline constexpr ResolutionItem kRes[] = {
    {0xC0, 0, 1948, 1200, 30, 40, 0, "32x22"},
    {0xC1, 0, 800, 600, 20, 30, 0, "22x12"},
    {0xC2, 0, 748, 400, 16, 24, 0, "16x8"},
};
inline constexpr ClockItem kClk[] = {
    {0xA0, 0, 0, 48000, 0, 0, "High"},
    {0xA1, 0, 0, 24000, 0, 0, "Normal"},
};
inline constexpr int kHead = 512;

inline std::atomic<int> counter{1};

class ChainCam : public CamBayer {
public:
    explicit ChainCam(bool colour = true) {
        setModelName("VAtest.", counter);
        descriptor.idVendor = 0x0547;
        descriptor.idProduct = 0xC811;
        descriptor.bcdDevice = 0x0102;
        resolution = {0, 0, 3, 1, 0, 1, {}, kRes};
        pixelClock = {1, 0, 2, 1, 1, 1, {}, kClk};
        analogGain = {244, 0, 1000, 1, 244, 1, {}, nullptr};
        exposure = {300, 1, 6000, 1, 30, 1, {}, nullptr};
        blackLevel = {7, 0, 100, 1, 0, 1, {}, nullptr};
        lineLength = kRes[0].lineLength;
        lineClock = static_cast<int>(kClk[1].rate);
        _retime();
        if (colour) {
            channels = 3;
            bayerPattern = 3;
            createColourSettings(100);
        } else {
            channels = 1;
            bayerPattern = 0;
        }
    }
    int _set_analog_gain(int gain) override {
        Lock lock(settingsLock);
        if (gain < analogGain.min || gain > analogGain.max) return -2;
        analogGain.value = static_cast<uint16_t>(gain);
        return 0;
    }

    using CamBayer::expectedHeight;
    using CamBayer::expectedWidth;
    using CamBayer::frameCounter;
    using CamBayer::historyMean;
    using CamBayer::roiSize;
    using CamBayer::savePending;
    using CamBayer::software;
    void setLongExposure() { longExposure = {0, 0, 100, 1, 0, 1, {}, nullptr}; }
    void setHardwareWindow(int width, int height) {
        hardwareWindow = true;
        roiSize.wValue = static_cast<uint16_t>(width);
        roiSize.wIndex = static_cast<uint16_t>(height);
    }
};

/// A raw frame record in one buffer (header of kHead bytes, then the samples).
struct RawFrame {
    std::vector<unsigned char> bytes;
    _ezImage* image() { return reinterpret_cast<_ezImage*>(bytes.data()); }
    unsigned char* data() { return bytes.data(); }

    RawFrame(int width, int height, int depth, int resolution = 0) {
        bytes.assign(kHead + static_cast<size_t>(width) * height * depth / 8, 0);
        ezInitImageHeader(image(), width, height, 1, depth, kHead, bytes.data() + kHead,
                          static_cast<unsigned char>(resolution), 0);
    }
    void set(int x, int y, int v) {
        _ezImage* h = image();
        const size_t i = static_cast<size_t>(y) * h->width + x;
        if (h->depth == 8) {
            bytes[kHead + i] = static_cast<unsigned char>(v);
        } else {
            bytes[kHead + 2 * i] = static_cast<unsigned char>(v);
            bytes[kHead + 2 * i + 1] = static_cast<unsigned char>(v >> 8);
        }
    }
    void randomise(unsigned seed) {
        std::mt19937 rng(seed);
        for (size_t i = kHead; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(rng());
    }
    /// An RGGB mosaic of one colour.
    void fillRggb(int red, int green, int blue) {
        _ezImage* h = image();
        for (int y = 0; y < h->height; ++y)
            for (int x = 0; x < h->width; ++x)
                set(x, y, (y % 2 == 0) ? (x % 2 == 0 ? red : green) : (x % 2 == 0 ? green : blue));
    }
};

/// A buffer large enough for the finished image of a frame (3 channels, 16 bits) and the
/// statistics area.
struct ImageBuffer {
    std::vector<unsigned char> bytes;
    explicit ImageBuffer(int width, int height)
        : bytes(kHead + static_cast<size_t>(width) * height * 6 + kEzStatisticsBytes, 0) {}
    _ezImage* image() { return reinterpret_cast<_ezImage*>(bytes.data()); }
    unsigned char* data() { return bytes.data(); }
};

/// The demosaic alone, as the chain runs it, for comparison.
inline std::vector<unsigned char> demosaicOnly(RawFrame raw, int channels, int bayer) {
    _ezImage* r = raw.image();
    ImageBuffer out(r->width, r->height);
    ezInitImageHeader(r, r->width, r->height, 1, r->depth, kHead, raw.data() + kHead, r->resolution,
                      0);
    ezInitImageHeader(out.image(), r->width, r->height, channels, r->depth, kHead,
                      out.data() + kHead, r->resolution, 0);
    __decode_rawdatafast(r, out.image(), bayer);
    const size_t n = static_cast<size_t>(r->width) * r->height * channels * r->depth / 8;
    return {out.data() + kHead, out.data() + kHead + n};
}

inline std::vector<unsigned char> pixels(const _ezImage* image) {
    const size_t n = static_cast<size_t>(image->stride) * image->height;
    return {image->data, image->data + n};
}

} // namespace chaintest
