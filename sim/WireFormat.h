// How a simulated camera lays one rendered frame out on the bulk pipe. The engine renders
// the sensor image; a WireFormat decides its size, camera-side binning or window, the bytes
// around the pixels (heads, end markers, snapshot marks) and the sample encoding. Model
// families add their own formats by registering a factory; the engine stays untouched.
// Built-in formats are listed in the registry constructor in WireFormat.cpp (self-registering
// objects would be dropped by the linker from a static library, so there are none).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "sim/SensorProfile.h"

namespace hx::sim {

/// The camera state a wire format may look at, copied once per frame.
struct SensorState {
    const SensorProfile* profile = nullptr;
    uint16_t bcdDevice = 0;
    int resolutionIndex = 0;
    int clockIndex = 0;
    int bits = 8;                          ///< 8 or 16 (request 0xB9)
    uint16_t roiX = 0, roiY = 0;           ///< last region origin (0xBD wValue, wIndex)
    uint16_t roiW = 0, roiH = 0;           ///< last region size (0xBE wValue, wIndex)
    bool roiRequested = false;             ///< 0xBD/0xBE arrived since the last resolution request
    std::array<uint16_t, 8> controlPort{}; ///< last 0xB8 wValue per wIndex 0..7
    bool snapshot = false;                 ///< this frame carries the external-snapshot mark
    bool omitMarker = false;               ///< fault: leave the frame's marker out
    uint64_t frameNumber = 0;

    const SimResolution& item() const { return profile->resolutions[resolutionIndex]; }
};

/// Where the rendered image sits on the sensor: size, and the full-sensor area it covers.
struct FrameShape {
    int width = 0;       ///< samples per row handed to serialise
    int height = 0;      ///< rows handed to serialise
    double originX = 0;  ///< full-sensor column of output column 0
    double originY = 0;  ///< full-sensor row of output row 0
    double step = 1;     ///< full-sensor pixels per output pixel
    double binGain = 1;  ///< signal multiplier of camera-side charge binning
    int bayerPhaseX = 0; ///< mosaic phase of output column 0 (0 or 1)
    int bayerPhaseY = 0; ///< mosaic phase of output row 0 (0 or 1)
};

/// One rendered frame: 16-bit linear samples, row by row, shape.width x shape.height.
struct RenderedFrame {
    const uint16_t* samples = nullptr;
    int width = 0;
    int height = 0;
};

class WireFormat {
public:
    virtual ~WireFormat() = default;

    /// The image the sensor renders for this state. The default: the current item's sensor
    /// size, covering the whole sensor (a smaller item is a scaled-down view).
    virtual FrameShape shape(const SensorState& state) const;
    /// Bytes of the bulk transfer that carries one frame.
    virtual size_t transferSize(const SensorState& state) const = 0;
    /// Writes the frame into out (exactly transferSize(state) bytes).
    virtual void serialise(const SensorState& state, const RenderedFrame& frame,
                           uint8_t* out) const = 0;
    /// True when the camera sends the next frame only after the frame acknowledge (0xB3).
    virtual bool needsAcknowledge() const { return true; }
    /// Fault: makes block `block` of the transfer look like the start of the next frame.
    virtual void writeStrayHead(uint8_t* out, size_t size, int block) const;

    // Shared encoders for the formats.
    /// Samples as 8-bit (high byte) or 16-bit big-endian; returns the bytes written, at most max.
    static size_t encodeSamples(const RenderedFrame& frame, int bits, uint8_t* out, size_t max);
    /// 12-bit samples as two bytes each: the high 8 bits, then the low 4 bits in the low
    /// nibble; returns the bytes written, at most max.
    static size_t encodeSamples12(const RenderedFrame& frame, uint8_t* out, size_t max);
    /// The hardware window the host asked for with 0xBD/0xBE (origin, size), inside the
    /// current item, or the whole item when no valid window was requested.
    static FrameShape windowShape(const SensorState& state, const FrameShape& item);
};

/// The base format: a 512-byte head beginning with ten 0x88 bytes, then frameBytes x bits / 8
/// pixel bytes (8-bit samples, or 16-bit samples big-endian); one frame per acknowledge.
class HeadMarkerFormat : public WireFormat {
public:
    size_t transferSize(const SensorState& state) const override;
    void serialise(const SensorState& state, const RenderedFrame& frame,
                   uint8_t* out) const override;
};

/// The end-marker format: frameBytes x bits / 8 pixel bytes straight away, then 0x88, the
/// snapshot mark (0xCC when the button was pressed, else 0) and one more byte; frames flow
/// without acknowledge.
class EndMarkerFormat : public WireFormat {
public:
    /// With hardwareWindow the camera sends only the requested region once 0xBD/0xBE have
    /// arrived: width x height pixels, rounded down to whole 512-byte blocks.
    explicit EndMarkerFormat(bool hardwareWindow = false) : window_(hardwareWindow) {}
    FrameShape shape(const SensorState& state) const override;
    size_t transferSize(const SensorState& state) const override;
    void serialise(const SensorState& state, const RenderedFrame& frame,
                   uint8_t* out) const override;
    bool needsAcknowledge() const override { return false; }

private:
    size_t pixelBytes(const SensorState& state) const;
    bool window_;
};

using WireFormatFactory = std::function<std::unique_ptr<WireFormat>(uint16_t bcdDevice)>;

/// Registers the wire format of a product id; makeSimCamera picks it up.
void registerWireFormat(uint16_t productId, WireFormatFactory factory);

/// The wire format for a product id (the base format when none is registered).
std::unique_ptr<WireFormat> makeWireFormat(uint16_t productId, uint16_t bcdDevice);

} // namespace hx::sim
