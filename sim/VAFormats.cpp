// Wire formats of the simulated register-sensor CMOS cameras: pixels straight away, then a
// trailer with the end marker and the snapshot mark; the region of interest moves into the
// camera once the host asks for it with 0xBD/0xBE.
#include <algorithm>
#include <cstring>
#include <memory>

#include "sim/CmosSimulation.h"
#include "sim/WireFormat.h"

namespace hx::sim {

namespace {

constexpr size_t kBlock = 512;
constexpr uint8_t kMarker = 0x88;
constexpr uint8_t kSnapshot = 0xCC;

/// What follows the pixel bytes.
enum class Trailer {
    End3,  ///< 0x88, snapshot mark, 0
    End4,  ///< 0x88, 0, snapshot mark, 0
    Byte,  ///< one byte 0; the snapshot mark, if any, replaces the last pixel byte
    Block, ///< a whole block ending in 0x88, snapshot mark, 0
};

struct VaOptions {
    Trailer trailer = Trailer::End3;
    bool window = true;          ///< sends only the requested region after 0xBD/0xBE
    bool extraHead16 = false;    ///< 512 more bytes at item 0 with 16-bit samples
    bool littleEndian16 = false; ///< 16-bit samples low byte first
    bool snapshotInPixels = false;
};

class VaFormat : public WireFormat {
public:
    explicit VaFormat(VaOptions options) : o_(options) {}

    FrameShape shape(const SensorState& state) const override {
        const FrameShape item = WireFormat::shape(state);
        return o_.window ? windowShape(state, item) : item;
    }

    size_t transferSize(const SensorState& state) const override {
        return pixelBytes(state) + trailerBytes();
    }

    void serialise(const SensorState& state, const RenderedFrame& frame,
                   uint8_t* out) const override {
        const size_t samples = sampleBytes(state);
        const size_t total = pixelBytes(state);
        size_t written;
        if (state.bits == 16 && o_.littleEndian16) {
            const size_t count = std::min(size_t(frame.width) * size_t(frame.height), samples / 2);
            for (size_t i = 0; i < count; ++i) {
                out[2 * i] = uint8_t(frame.samples[i]);
                out[2 * i + 1] = uint8_t(frame.samples[i] >> 8);
            }
            written = count * 2;
        } else {
            written = encodeSamples(frame, state.bits, out, samples);
        }
        std::memset(out + written, 0, total - written);
        uint8_t* t = out + total;
        const uint8_t marker = state.omitMarker ? 0x00 : kMarker;
        const uint8_t snap = state.snapshot ? kSnapshot : 0x00;
        switch (o_.trailer) {
        case Trailer::End3:
            t[0] = marker, t[1] = snap, t[2] = 0;
            break;
        case Trailer::End4:
            t[0] = marker, t[1] = 0, t[2] = snap, t[3] = 0;
            break;
        case Trailer::Byte:
            t[0] = 0;
            if (o_.snapshotInPixels && total > 0) out[total - 1] = snap;
            break;
        case Trailer::Block:
            std::memset(t, 0, kBlock);
            t[kBlock - 3] = marker, t[kBlock - 2] = snap;
            break;
        }
    }

    bool needsAcknowledge() const override { return false; }

private:
    size_t trailerBytes() const {
        switch (o_.trailer) {
        case Trailer::End3:
            return 3;
        case Trailer::End4:
            return 4;
        case Trailer::Byte:
            return 1;
        case Trailer::Block:
            return kBlock;
        }
        return 0;
    }
    /// 8-bit frame bytes: the item's frameBytes, or the window rounded down to whole blocks.
    size_t frameBytes(const SensorState& state) const {
        if (o_.window && state.roiRequested && state.roiW && state.roiH) {
            const FrameShape s = shape(state);
            return size_t(s.width) * size_t(s.height) / kBlock * kBlock;
        }
        const SimResolution& item = state.item();
        return item.frameBytes ? item.frameBytes : size_t(item.sensorWidth) * item.sensorHeight;
    }
    size_t sampleBytes(const SensorState& state) const {
        return frameBytes(state) * size_t(state.bits / 8);
    }
    size_t pixelBytes(const SensorState& state) const {
        size_t n = sampleBytes(state);
        if (o_.extraHead16 && state.resolutionIndex == 0 && state.bits == 16) n += 512;
        return n;
    }

    VaOptions o_;
};

void add(uint16_t productId, VaOptions options) {
    registerWireFormat(productId,
                       [options](uint16_t) { return std::make_unique<VaFormat>(options); });
}

/// The 5- and 10-megapixel cameras: generation 0xB002 closes each frame with a whole block.
void addMegapixel(uint16_t productId) {
    registerWireFormat(productId, [](uint16_t bcd) {
        VaOptions o;
        o.extraHead16 = true;
        o.trailer = bcd == 0xB002 ? Trailer::Block : Trailer::End3;
        return std::make_unique<VaFormat>(o);
    });
}

} // namespace

void registerVaFormats() {
    for (uint16_t id : {uint16_t(0xC811), uint16_t(0xC008), uint16_t(0xC007), uint16_t(0xC00B),
                        uint16_t(0xC004), uint16_t(0xC003), uint16_t(0xC006)})
        registerHeadFormat(id);
    add(0xA811, {Trailer::End3, false, false, false, false}); // VAh200C1
    add(0xA008, {Trailer::End3, true, false, false, false});  // VAh131C1
    add(0xA007, {Trailer::End3, true, false, false, false});  // VAh300C1
    add(0xA00B, {Trailer::End3, false, false, false, false}); // VAh131M1
    add(0xF008, {Trailer::Byte, true, false, false, false});  // VAg131C1
    add(0xF007, {Trailer::Byte, true, false, false, true});   // VAg300C1
    add(0xF00B, {Trailer::Byte, false, false, false, false}); // VAg131M1
    add(0xAC11, {Trailer::End4, true, false, true, false});   // V3h5MC1
    for (uint16_t id : {uint16_t(0xA004), uint16_t(0xA00D), uint16_t(0xA006), uint16_t(0xA003)})
        addMegapixel(id);
}

} // namespace hx::sim
