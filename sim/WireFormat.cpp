#include "sim/WireFormat.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

namespace hx::sim {

namespace {

constexpr size_t kHeadLength = 512;
constexpr size_t kBlockSize = 512;
constexpr size_t kMarkerLength = 10;
constexpr uint8_t kMarker = 0x88;

/// Pixel bytes the camera sends for the current item: frameBytes at 8 bits, scaled by depth.
size_t itemPixelBytes(const SensorState& state) {
    const SimResolution& item = state.item();
    const size_t frameBytes =
        item.frameBytes ? item.frameBytes : size_t(item.sensorWidth) * item.sensorHeight;
    return frameBytes * size_t(state.bits / 8);
}

struct FormatRegistry {
    std::mutex mutex;
    std::map<uint16_t, WireFormatFactory> factories;

    FormatRegistry() {
        factories[0xA811] = [](uint16_t) { return std::make_unique<EndMarkerFormat>(); };
    }
};

FormatRegistry& formats() {
    static FormatRegistry r;
    return r;
}

} // namespace

FrameShape WireFormat::shape(const SensorState& state) const {
    const SimResolution& full = state.profile->resolutions.front();
    const SimResolution& item = state.item();
    FrameShape s;
    s.width = item.sensorWidth;
    s.height = item.sensorHeight;
    s.step = item.sensorWidth ? double(full.sensorWidth) / item.sensorWidth : 1.0;
    s.originX = 0.5 * (full.sensorWidth - s.width * s.step);
    s.originY = 0.5 * (full.sensorHeight - s.height * s.step);
    return s;
}

void WireFormat::writeStrayHead(uint8_t* out, size_t size, int block) const {
    if (block < 0) return;
    const size_t offset = size_t(block) * kBlockSize;
    if (offset + kMarkerLength <= size) std::memset(out + offset, kMarker, kMarkerLength);
}

/// 8-bit samples are the high byte of the 16-bit value; 16-bit samples go big-endian.
size_t WireFormat::encodeSamples(const RenderedFrame& frame, int bits, uint8_t* out, size_t max) {
    const size_t count = size_t(frame.width) * size_t(frame.height);
    const uint16_t* in = frame.samples;
    if (bits == 16) {
        const size_t n = std::min(count, max / 2);
        for (size_t i = 0; i < n; ++i) {
            out[2 * i] = uint8_t(in[i] >> 8);
            out[2 * i + 1] = uint8_t(in[i]);
        }
        return n * 2;
    }
    const size_t n = std::min(count, max);
    for (size_t i = 0; i < n; ++i) out[i] = uint8_t(in[i] >> 8);
    return n;
}

size_t WireFormat::encodeSamples12(const RenderedFrame& frame, uint8_t* out, size_t max) {
    const size_t count = std::min(size_t(frame.width) * size_t(frame.height), max / 2);
    const uint16_t* in = frame.samples;
    for (size_t i = 0; i < count; ++i) {
        const unsigned v = in[i] >> 4;
        out[2 * i] = uint8_t(v >> 4);
        out[2 * i + 1] = uint8_t(v & 0x0F);
    }
    return count * 2;
}

FrameShape WireFormat::windowShape(const SensorState& state, const FrameShape& item) {
    if (!state.roiRequested || state.roiW == 0 || state.roiH == 0) return item;
    const int x = std::min<int>(state.roiX, item.width - 1);
    const int y = std::min<int>(state.roiY, item.height - 1);
    FrameShape s = item;
    s.width = std::min<int>(state.roiW, item.width - x);
    s.height = std::min<int>(state.roiH, item.height - y);
    s.originX = item.originX + x * item.step;
    s.originY = item.originY + y * item.step;
    s.bayerPhaseX = (item.bayerPhaseX + x) & 1;
    s.bayerPhaseY = (item.bayerPhaseY + y) & 1;
    return s;
}

size_t HeadMarkerFormat::transferSize(const SensorState& state) const {
    return kHeadLength + itemPixelBytes(state);
}

void HeadMarkerFormat::serialise(const SensorState& state, const RenderedFrame& frame,
                                 uint8_t* out) const {
    std::memset(out, 0, kHeadLength);
    if (!state.omitMarker) std::memset(out, kMarker, kMarkerLength);
    // The rest of the head carries the frame number, little-endian, after the marker.
    for (int i = 0; i < 8; ++i) out[16 + i] = uint8_t(state.frameNumber >> (8 * i));
    const size_t pixels = itemPixelBytes(state);
    const size_t written = encodeSamples(frame, state.bits, out + kHeadLength, pixels);
    std::memset(out + kHeadLength + written, 0, pixels - written);
}

FrameShape EndMarkerFormat::shape(const SensorState& state) const {
    const FrameShape item = WireFormat::shape(state);
    return window_ ? windowShape(state, item) : item;
}

size_t EndMarkerFormat::pixelBytes(const SensorState& state) const {
    if (!window_ || !state.roiRequested) return itemPixelBytes(state);
    const FrameShape s = shape(state);
    return size_t(s.width) * size_t(s.height) / kBlockSize * kBlockSize * size_t(state.bits / 8);
}

size_t EndMarkerFormat::transferSize(const SensorState& state) const {
    return pixelBytes(state) + 3;
}

void EndMarkerFormat::serialise(const SensorState& state, const RenderedFrame& frame,
                                uint8_t* out) const {
    const size_t pixels = pixelBytes(state);
    const size_t written = encodeSamples(frame, state.bits, out, pixels);
    std::memset(out + written, 0, pixels - written);
    out[pixels] = state.omitMarker ? 0x00 : kMarker;
    out[pixels + 1] = state.snapshot ? 0xCC : 0x00;
    out[pixels + 2] = 0x00;
}

void registerWireFormat(uint16_t productId, WireFormatFactory factory) {
    FormatRegistry& r = formats();
    std::lock_guard lock(r.mutex);
    r.factories[productId] = std::move(factory);
}

std::unique_ptr<WireFormat> makeWireFormat(uint16_t productId, uint16_t bcdDevice) {
    WireFormatFactory factory;
    {
        FormatRegistry& r = formats();
        std::lock_guard lock(r.mutex);
        auto it = r.factories.find(productId);
        if (it != r.factories.end()) factory = it->second;
    }
    std::unique_ptr<WireFormat> format;
    if (factory) format = factory(bcdDevice);
    if (!format) format = std::make_unique<HeadMarkerFormat>();
    return format;
}

} // namespace hx::sim
