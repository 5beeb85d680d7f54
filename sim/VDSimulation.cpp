#include "sim/VDSimulation.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "sim/SensorProfile.h"
#include "sim/WireFormat.h"

namespace hx::sim {

namespace {

constexpr size_t kBlockSize = 512;
constexpr uint8_t kMarker = 0x88;
constexpr uint8_t kSnapshotMark = 0xCC;

/// The three ways the CCD cameras end a frame that has no head block.
enum class CcdWire {
    EndMarker, ///< pixels, 0x88, the snapshot mark, one spare byte
    Padded,    ///< pixels, one block ending in 0x88 and the snapshot mark
    Plain,     ///< the pixels alone
};

/// CCD frames without a head block. Modes smaller than the full sensor are binned in the camera:
/// their charge adds up, so the signal grows with the binned area.
class CcdFormat : public WireFormat {
public:
    explicit CcdFormat(CcdWire wire) : wire_(wire) {}

    FrameShape shape(const SensorState& state) const override {
        FrameShape s = WireFormat::shape(state);
        if (s.step > 1.5) s.binGain = s.step * s.step;
        return s;
    }
    size_t transferSize(const SensorState& state) const override {
        const size_t pixels = pixelBytes(state);
        switch (wire_) {
        case CcdWire::EndMarker:
            return pixels + 3;
        case CcdWire::Padded:
            return pixels + kBlockSize;
        case CcdWire::Plain:
            break;
        }
        return pixels;
    }
    void serialise(const SensorState& state, const RenderedFrame& frame,
                   uint8_t* out) const override {
        const size_t pixels = pixelBytes(state);
        const size_t written = encodeSamples(frame, state.bits, out, pixels);
        std::memset(out + written, 0, transferSize(state) - written);
        size_t marker = pixels;
        if (wire_ == CcdWire::Plain) return;
        if (wire_ == CcdWire::Padded) marker = pixels + kBlockSize - 3;
        out[marker] = state.omitMarker ? 0x00 : kMarker;
        out[marker + 1] = state.snapshot ? kSnapshotMark : 0x00;
    }
    bool needsAcknowledge() const override { return false; }

private:
    static size_t pixelBytes(const SensorState& state) {
        const SimResolution& item = state.item();
        const size_t frame =
            item.frameBytes ? item.frameBytes : size_t(item.sensorWidth) * item.sensorHeight;
        return frame * size_t(state.bits / 8);
    }
    CcdWire wire_;
};

const std::vector<SimClock> kClocks24{
    {0xA0, 24000}, {0xA1, 12000}, {0xA2, 6000}, {0xA3, 3000}, {0xA4, 1500}};
const std::vector<SimClock> kClocks36{
    {0xA0, 36000}, {0xA1, 24000}, {0xA2, 12000}, {0xA3, 6000}, {0xA4, 3000}};
const std::vector<SimClock> kClocks282{{0xA0, 30000}, {0xA1, 20000}, {0xA2, 10000}};

/// The 285 sensor as the head-marker cameras send it (whole rows, no spare bytes) and as the
/// end-marker cameras send it (frameBytes of the mode).
SimResolution sensor285Head() {
    return {0x0A, 1790, 1360 * 1024, 1360, 1024, 1068};
}
SimResolution sensor285End(uint32_t period) {
    return {0x0A, 1790, 1422336, 1360, 1024, period};
}
SimResolution sensor674(uint32_t period) {
    return {0x0A, 2336, 2903040, 1920, 1460, period};
}

/// A CCD camera: registers 0x01 (gain, written as it stands), 0x63 and 0x62 (exposure split
/// into periods), 0x02 (black level).
SensorProfile ccdProfile(const char* name, uint16_t productId, uint16_t bcdDevice, int bayer,
                         std::vector<SimResolution> resolutions, std::vector<SimClock> clocks,
                         uint16_t unityGain, bool cooled) {
    SensorProfile p;
    p.name = name;
    p.productId = productId;
    p.bcdDevice = bcdDevice;
    p.resolutions = std::move(resolutions);
    p.clocks = std::move(clocks);
    p.gainRegister = 0x01;
    p.exposureRegister = 0x63;
    p.longExposureRegister = 0x62;
    p.blackLevelRegister = 0x02;
    p.bayer = bayer;
    p.gainLaw = GainLaw::Linear;
    p.gainUnity = unityGain;
    p.initialGainRegister = unityGain;
    p.exposureLaw = ExposureLaw::Periods;
    p.periodLines = p.resolutions.front().periodLines;
    p.initialExposureLines = 300;
    p.hasCooler = cooled;
    // CCDs: deeper wells, less dark current than the CMOS sensors, cooled or not.
    p.fullWell = 25000.0;
    p.darkCurrent = cooled ? 6.0 : 15.0;
    return p;
}

void registerFormat(uint16_t productId, CcdWire wire, uint16_t otherBcd = 0,
                    CcdWire otherWire = CcdWire::EndMarker) {
    registerWireFormat(productId, [=](uint16_t bcd) -> std::unique_ptr<WireFormat> {
        return std::make_unique<CcdFormat>(otherBcd && bcd == otherBcd ? otherWire : wire);
    });
}

/// Registers one profile as the model's default and, for each bcdDevice listed, a variant.
void registerVariants(SensorProfile profile, std::initializer_list<uint16_t> bcds) {
    for (uint16_t bcd : bcds) {
        profile.bcdDevice = bcd;
        registerSensorProfile(profile, false);
    }
}

void registerAll() {
    constexpr uint16_t kOld = 0xA000; // reported when no generation is asked for

    // Uncooled: 205 (mono, colour) and 282 (colour).
    registerSensorProfile(
        ccdProfile("VDo205M1", 0xD004, kOld, 0, {sensor285Head()}, kClocks24, 297, false));
    registerSensorProfile(
        ccdProfile("VDh205M1", 0xE004, kOld, 0, {sensor285End(1068)}, kClocks24, 297, false));
    registerFormat(0xE004, CcdWire::EndMarker, 0xB003, CcdWire::Plain);
    registerSensorProfile(
        ccdProfile("VDh205C1", 0xE008, kOld, 4, {sensor285End(1068)}, kClocks24, 297, false));
    registerFormat(0xE008, CcdWire::EndMarker);
    const std::vector<SimResolution> res282{{0xC1, 2895, 2576 * 1920, 2576, 1920, 1060},
                                            {0xC0, 2895, 2576 * 960, 2576, 960, 1060}};
    registerSensorProfile(ccdProfile("VDo282C1", 0xD001, kOld, 4, res282, kClocks282, 297, false));
    registerSensorProfile(ccdProfile("VDh282C1", 0xE001, kOld, 4, res282, kClocks282, 297, false));
    registerFormat(0xE001, CcdWire::EndMarker);

    // Cooled 285 cameras.
    registerSensorProfile(
        ccdProfile("VDo285M1", 0xD006, kOld, 0, {sensor285Head()}, kClocks24, 85, true));
    registerSensorProfile(
        ccdProfile("VDh285M1", 0xE006, kOld, 0, {sensor285End(1068)}, kClocks24, 85, true));
    registerFormat(0xE006, CcdWire::EndMarker);
    registerSensorProfile(
        ccdProfile("VDh285C1", 0xE009, kOld, 4, {sensor285End(1068)}, kClocks24, 85, true));
    registerFormat(0xE009, CcdWire::EndMarker);

    // The 674/687/694 generation. Generations 0xA001 and 0xA004 bin in the camera.
    registerSensorProfile(
        ccdProfile("VDh674C1", 0xE80A, kOld, 3, {sensor674(1521)}, kClocks24, 80, true));
    registerFormat(0xE80A, CcdWire::EndMarker);

    registerSensorProfile(
        ccdProfile("VDh674M1", 0xE00A, kOld, 0, {sensor674(1521)}, kClocks24, 80, true));
    registerVariants(ccdProfile("VDh674M1", 0xE00A, 0xA001, 0,
                                {sensor674(1521),
                                 {0x0B, 2680, 714240, 960, 728, 759},
                                 {0x0D, 2680, 176640, 480, 364, 759}},
                                kClocks36, 80, true),
                     {0xA001, 0xA004});
    registerFormat(0xE00A, CcdWire::EndMarker, 0xB001, CcdWire::Padded);

    registerSensorProfile(
        ccdProfile("VDh687M1", 0xE00B, kOld, 0, {sensor674(2261)}, kClocks24, 256, true));
    registerVariants(ccdProfile("VDh687M1", 0xE00B, 0xA001, 0,
                                {sensor674(2261),
                                 {0x0B, 2680, 714240, 960, 728, 1129},
                                 {0x0D, 2680, 176640, 480, 364, 1129}},
                                kClocks36, 256, true),
                     {0xA001});
    registerFormat(0xE00B, CcdWire::EndMarker);

    registerSensorProfile(
        ccdProfile("VDh694M1", 0xE00C, kOld, 0, {sensor285End(2261)}, kClocks24, 80, true));
    registerVariants(ccdProfile("VDh694M1", 0xE00C, 0xA001, 0,
                                {{0x0A, 3184, 6041088, 2736, 2200, 2261},
                                 {0x0B, 3528, 1488384, 1368, 1080, 1129},
                                 {0x0D, 3528, 350208, 684, 510, 1129}},
                                kClocks36, 80, true),
                     {0xA001, 0xA004});
    registerFormat(0xE00C, CcdWire::EndMarker);

    // The colour 694 sends its window modes as full-width lines.
    registerSensorProfile(
        ccdProfile("VDh694C1", 0xE80C, kOld, 4, {sensor285End(2261)}, kClocks24, 256, true));
    registerVariants(ccdProfile("VDh694C1", 0xE80C, 0xA001, 4,
                                {{0x0A, 3184, 6041088, 2736, 2200, 2261},
                                 {0x0B, 3184, 2976768, 2736, 1080, 1211},
                                 {0x0C, 3184, 2013696, 2736, 728, 855}},
                                kClocks36, 256, true),
                     {0xA001});
    registerFormat(0xE80C, CcdWire::EndMarker);
}

} // namespace

void registerCcdSimulation() {
    static std::once_flag once;
    std::call_once(once, registerAll);
}

} // namespace hx::sim
