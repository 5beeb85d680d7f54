// Wire formats of the simulated line-counted CMOS cameras: the end-marker cameras, the
// head-marker camera whose 640-wide mode arrives doubled, and the 2-megapixel camera with its
// "XTDT" stamp, 12-bit samples and 60 KiB blocks.
#include <algorithm>
#include <cstring>
#include <memory>

#include "sim/CmosSimulation.h"
#include "sim/WireFormat.h"

namespace hx::sim {

namespace {

constexpr size_t kHead = 512;
constexpr size_t kBlock = 512;
constexpr size_t kLargeBlock = 61440;
constexpr uint8_t kMarker = 0x88;

/// The 640-wide mode is read out as 1280 x 512 over the whole sensor width.
FrameShape doubledShape(const SensorState& state, FrameShape s) {
    if (state.item().sensorWidth == 640) {
        const SimResolution& full = state.profile->resolutions.front();
        s.width = 1280;
        s.height = 512;
        s.step = double(full.sensorWidth) / 1280.0;
        s.originX = 0;
        s.originY = 0.5 * (full.sensorHeight - 512 * (double(full.sensorHeight) / 512.0 / 2.0));
    }
    return s;
}

using ExtraRule = bool (*)(const SensorState&);

/// Pixels (frameBytes x bits / 8), optional 512 extra bytes, then 0x88, snapshot mark, 0.
class VsEndFormat : public WireFormat {
public:
    VsEndFormat(ExtraRule extra, bool doubled) : extra_(extra), doubled_(doubled) {}

    FrameShape shape(const SensorState& state) const override {
        const FrameShape s = WireFormat::shape(state);
        return doubled_ ? doubledShape(state, s) : s;
    }
    size_t transferSize(const SensorState& state) const override {
        return pixelBytes(state) + (extra_(state) ? kHead : 0) + 3;
    }
    void serialise(const SensorState& state, const RenderedFrame& frame,
                   uint8_t* out) const override {
        const size_t pixels = pixelBytes(state);
        const size_t total = transferSize(state) - 3;
        const size_t written = encodeSamples(frame, state.bits, out, pixels);
        std::memset(out + written, 0, total - written);
        out[total] = state.omitMarker ? 0 : kMarker;
        out[total + 1] = state.snapshot ? 0xCC : 0;
        out[total + 2] = 0;
    }
    bool needsAcknowledge() const override { return false; }

private:
    static size_t pixelBytes(const SensorState& state) {
        return size_t(state.item().frameBytes) * size_t(state.bits / 8);
    }
    ExtraRule extra_;
    bool doubled_;
};

/// A 512-byte head of ten 0x88 bytes (none on generation 0xA001), then the pixels; the transfer
/// is head + width x height x bits / 8 in whole blocks, twice that for the 640-wide mode.
class VsHeadFormat : public WireFormat {
public:
    explicit VsHeadFormat(bool doubled) : doubled_(doubled) {}
    FrameShape shape(const SensorState& state) const override {
        const FrameShape s = WireFormat::shape(state);
        return doubled_ ? doubledShape(state, s) : s;
    }
    size_t transferSize(const SensorState& state) const override {
        const SimResolution& item = state.item();
        size_t t = kHead + size_t(item.sensorWidth) * item.sensorHeight * size_t(state.bits / 8);
        t -= t % kBlock;
        return doubled_ && item.sensorWidth == 640 ? 2 * t : t;
    }
    void serialise(const SensorState& state, const RenderedFrame& frame,
                   uint8_t* out) const override {
        const size_t size = transferSize(state);
        std::memset(out, 0, kHead);
        if (!state.omitMarker && state.bcdDevice != 0xA001) std::memset(out, kMarker, 10);
        const size_t written = encodeSamples(frame, state.bits, out + kHead, size - kHead);
        std::memset(out + kHead + written, 0, size - kHead - written);
    }

private:
    bool doubled_;
};

/// Pixels (8-bit, or 12 bits in two bytes) in whole 512-byte units, the first 22 bytes replaced
/// by the stamp "XTDT", eight zero bytes and ten bytes of frame number and sequence; a stray
/// head is ten 0xBB bytes at the start of a 60 KiB block.
class XtdtFormat : public WireFormat {
public:
    size_t transferSize(const SensorState& state) const override {
        const SimResolution& item = state.item();
        size_t t = size_t(item.sensorWidth) * item.sensorHeight * size_t(state.bits / 8) + kHead;
        return t - t % kHead;
    }
    void serialise(const SensorState& state, const RenderedFrame& frame,
                   uint8_t* out) const override {
        const size_t size = transferSize(state);
        const size_t written = state.bits == 16 ? encodeSamples12(frame, out, size)
                                                : encodeSamples(frame, 8, out, size);
        std::memset(out + written, 0, size - written);
        if (size < 22) return;
        std::memset(out, 0, 22);
        if (!state.omitMarker) std::memcpy(out, "XTDT", 4);
        const uint64_t n = state.frameNumber + 1;
        for (int i = 0; i < 8; ++i) out[12 + i] = uint8_t(n >> (8 * i));
        out[20] = 0x5A;
        out[21] = uint8_t(state.resolutionIndex + 1);
    }
    void writeStrayHead(uint8_t* out, size_t size, int block) const override {
        if (block < 0) return;
        const size_t at = size_t(block) * kLargeBlock;
        if (at + 10 <= size) std::memset(out + at, 0xBB, 10);
    }
};

bool extraUnlessBinned(const SensorState& s) {
    return s.bits == 16 && s.item().code != 0xC2;
}
bool extraInThirdMode(const SensorState& s) {
    return s.bits == 16 && s.resolutionIndex == 2;
}

} // namespace

void registerHeadFormat(uint16_t productId) {
    registerWireFormat(productId, [](uint16_t) { return std::make_unique<VsHeadFormat>(false); });
}

void registerVsFormats() {
    registerHeadFormat(0xC00A);
    registerHeadFormat(0xC009);
    registerWireFormat(
        0xA00A, [](uint16_t) { return std::make_unique<VsEndFormat>(extraUnlessBinned, false); });
    registerWireFormat(
        0xA005, [](uint16_t) { return std::make_unique<VsEndFormat>(extraUnlessBinned, true); });
    registerWireFormat(
        0xA009, [](uint16_t) { return std::make_unique<VsEndFormat>(extraInThirdMode, false); });
    registerWireFormat(0xC005, [](uint16_t) { return std::make_unique<VsHeadFormat>(true); });
    registerWireFormat(0xC00C, [](uint16_t) { return std::make_unique<XtdtFormat>(); });
}

} // namespace hx::sim
