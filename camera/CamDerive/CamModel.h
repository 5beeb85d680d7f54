// What every camera model shares: the constant description of a model (tables, register map,
// ranges, buffer size) and the steps that turn such a description into camera state.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "camera/CamBayer.h"

/// Value, range, default and supported flag of one sensor control.
struct HwDefault {
    uint16_t value;
    uint16_t min;
    uint16_t max;
    uint16_t def;
    bool supported;
    uint16_t step = 1;
};

/// The sensor registers written with request 0xB7.
struct RegisterMap {
    uint16_t gain;
    uint16_t exposure;
    uint16_t longExposure;
    uint16_t blackLevel;
};

/// A resolution table with the default index (the index at construction is always 0).
struct ResolutionTable {
    const ResolutionItem* items = nullptr;
    uint16_t count = 0;
    uint16_t def = 0;
};

/// A clock table with the index at construction and the default index.
struct ClockTable {
    const ClockItem* items = nullptr;
    uint16_t count = 0;
    uint16_t start = 0;
    uint16_t def = 0;
};

template <std::size_t N>
constexpr ResolutionTable resTable(const ResolutionItem (&items)[N], uint16_t def = 0) {
    return {items, static_cast<uint16_t>(N), def};
}

template <std::size_t N>
constexpr ClockTable clkTable(const ClockItem (&items)[N], uint16_t start, uint16_t def) {
    return {items, static_cast<uint16_t>(N), start, def};
}

/// How a model sizes the caller's raw frame buffer from F, the frameBytes of item 0.
enum class ReceiveRule {
    Single,         ///< F + headLength + 2048
    Double,         ///< 2 F + headLength + 2048
    DoubleWithHead, ///< 2 (F + headLength) + 4096
    FullColour5M,   ///< 2 headLength + 10245226, whatever the table
};

/// Everything a model constructor sets from data.
struct ModelSpec {
    int channels;
    int bayer;
    RegisterMap registers;
    ResolutionTable resolution;
    ClockTable clock;
    HwDefault rawDepth;
    HwDefault analogGain;
    HwDefault exposure;
    HwDefault longExposure;
    HwDefault blackLevel;
    ReceiveRule receive;
    int saturation; ///< initial saturation of a colour model; 0 for monochrome models
};

/// Common rows of the defaults tables.
inline constexpr HwDefault kDepth8Or16Off{8, 8, 16, 8, false, 8};
inline constexpr HwDefault kDepth8Or16On{8, 8, 16, 8, true, 8};
inline constexpr HwDefault kDepth8Only{8, 8, 8, 8, false, 0};
inline constexpr HwDefault kOff{0, 0, 0, 0, false};
inline constexpr HwDefault kBlack100Off{0, 0, 100, 0, false};
inline constexpr HwDefault kBlack100On{0, 0, 100, 0, true};

/// Request codes sent by the models.
inline constexpr uint8_t kRegisterWrite = 0xB7;
inline constexpr uint8_t kVendorOut = 0x40;

/// Base of the model classes: adds no state to CamBayer, only the construction steps that all
/// models share.
class CamModel : public CamBayer {
protected:
    CamModel() = default;

    /// Sets displayName and the device name: displayName followed by the character 48 + the
    /// counter's value, then advances the counter.
    void nameModel(const char* display, std::atomic<int>& counter);
    /// The construction steps after naming: channels, Bayer code, registers, tables, every
    /// sensor value, line length and clock, receive size, `_retime()` of the class under
    /// construction (unless retime is false), colour settings and the defect list.
    void buildModel(const ModelSpec& spec, bool retime = true);

    void applyRegisters(const RegisterMap& map);
    void applyResolutionTable(const ResolutionTable& table);
    void applyClockTable(const ClockTable& table);
    static void applyValue(HardWareValue& target, const HwDefault& source);
    void applyReceiveSize(ReceiveRule rule);
    /// lineLength from the current resolution item, lineClock from the current clock item.
    void applyLineTiming();
    /// Creates the colour settings unless the base already holds them.
    void ensureColourSettings(int saturation);
    /// Allocates the defect list unless the base already did.
    void ensureDefectList();

    /// Clamps gain to the analog-gain range, writes the register value produced by law to
    /// gainRegister with request 0xB7 (prepared in analogGain.request), keeps the clamped gain.
    template <typename Law> int writeAnalogGain(int gain, Law law) {
        Lock lock(settingsLock);
        const int g = clampGain(gain);
        prepareRequest(analogGain.request, kRegisterWrite, law(g), gainRegister);
        EZURB request = analogGain.request;
        _sumbit_ctl_urb(1000, 1, &request);
        analogGain.value = static_cast<uint16_t>(g);
        return 0;
    }
    int clampGain(int gain) const;
    /// Puts a total line count into a prepared mode or clock request: bits 0 to 15 in wIndex,
    /// bits 16 to 23 in the high byte of wValue.
    static void carryExposure(EZURB& request, uint32_t total);

    /// The device's release number, as read when it was opened.
    uint16_t bcdDevice() const { return descriptor.bcdDevice; }
};
