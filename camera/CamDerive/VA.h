// The register-sensor CMOS cameras (VA and V3 models): tables, defaults and gain laws.
#pragma once

#include <atomic>
#include <cstdint>

#include "camera/CamDerive/CmosModel.h"

// ---- resolution and clock tables ---------------------------------------------------------------

inline constexpr ResolutionItem VAh200C1Res[] = {
    {0xC0, 0, 1948, 1920000, 1200, 1600, 0, "1592x1192"},
    {0xC1, 0, 800, 479744, 600, 800, 0, "792x592"},
    {0xC2, 0, 748, 119808, 300, 400, 0, "392x292"},
};
inline constexpr ResolutionItem VAo131C1Res[] = {
    {0xC0, 0, 1292, 1351680, 1024, 1280, 0, "1272x1016"},
    {0xC1, 0, 646, 317440, 480, 640, 0, "632x472"},
    {0xC2, 0, 323, 80384, 240, 320, 0, "312x232"},
};
inline constexpr ResolutionItem VAc500C1Res[] = {
    {0xC6, 0, 2180, 1249280, 960, 1280, 0, "1272X952"},
    {0xC8, 0, 1540, 312320, 480, 640, 0, "632X472"},
};
inline constexpr ResolutionItem VAo300C1Res[] = {
    {0xC0, 0, 2559, 3211264, 1536, 2048, 0, "2040X1528"},
    {0xC1, 0, 1535, 802816, 768, 1024, 0, "1016X760"},
    {0xC2, 0, 1151, 314880, 480, 640, 0, "632X472"},
    {0xC3, 0, 1861, 802816, 768, 1024, 0, "1016X760 Bin"},
    {0xC4, 0, 1795, 314880, 480, 640, 0, "632X472 Bin"},
};
inline constexpr ResolutionItem VAo131M1Res[] = {
    {0xC0, 0, 1514, 1351680, 1024, 1280, 0, "1272x1016"},
};
inline constexpr ResolutionItem VAo500C1Res[] = {
    {0xC0, 0, 3492, 5121536, 1944, 2592, 0, "2584X1936"},
    {0xC6, 0, 2180, 1249280, 960, 1280, 0, "1272X952"},
    {0xC8, 0, 1540, 312320, 480, 640, 0, "632X472"},
    {0xC9, 0, 2832, 1249280, 960, 1280, 0, "1272X952 Bin"},
    {0xCB, 0, 3556, 312320, 480, 640, 0, "632X472  Bin"},
};
inline constexpr ResolutionItem VAo1KC1Res[] = {
    {0xC0, 0, 3776, 10068480, 2740, 3664, 0, "3664X2732"},
    {0xC1, 0, 1711, 2516992, 1200, 1600, 0, "1592X1192"},
    {0xC2, 0, 1391, 628224, 960, 1280, 0, "1272X952"},
    {0xC3, 0, 911, 2516992, 600, 800, 0, "792X592"},
    {0xC4, 0, 751, 628224, 480, 640, 0, "632X472"},
};
inline constexpr ResolutionItem VAh1KC1Res[] = {
    {0xC0, 0, 3711, 10068480, 2748, 3664, 0, "3656X2740"},
    {0xC1, 0, 3711, 2516992, 1370, 1832, 0, "1824X1362"},
    {0xC4, 0, 3138, 628224, 680, 916, 0, "908X672"},
};
inline constexpr ResolutionItem VAo500M1Res[] = {
    {0xC0, 0, 3492, 5121536, 1944, 2592, 0, "2584X1936"},
    {0xC6, 0, 2180, 1249280, 960, 1280, 0, "1272X952"},
    {0xC8, 0, 1540, 312320, 480, 640, 0, "632X472"},
    {0xC9, 0, 2832, 1249280, 960, 1280, 0, "1272X952 Bin"},
    {0xCB, 0, 3556, 312320, 480, 640, 0, "632X472  Bin"},
};
inline constexpr ResolutionItem V3h5MC1Res[] = {
    {0xC0, 0, 3492, 5040128, 1944, 2592, 0, "2584X1936"},
    {0xC1, 0, 2180, 1228800, 960, 1280, 0, "1272X952"},
    {0xC2, 0, 1540, 307200, 480, 640, 0, "632X472"},
    {0xC3, 0, 2832, 1228800, 960, 1280, 0, "1272X952 Bin"},
    {0xC4, 0, 3556, 307200, 480, 640, 0, "632X472  Bin"},
};
inline constexpr ClockItem VAh200C1Clk[] = {
    {0xA0, 0, 0, 48000, 0, 0, "High"},
    {0xA1, 0, 0, 24000, 0, 0, "Normal"},
};
inline constexpr ClockItem VAo131C1Clk[] = {
    {0xA0, 0, 0, 24000, 0, 0, "High"},
    {0xA1, 0, 0, 12000, 0, 0, "Normal"},
};
inline constexpr ClockItem VAc500C1Clk[] = {
    {0xA0, 0, 0, 36000, 0, 0, "High"},
    {0xA1, 0, 0, 18000, 0, 0, "Normal"},
};
inline constexpr ClockItem VAo300C1Clk[] = {
    {0xA0, 0, 0, 48000, 0, 0, "High"},
    {0xA1, 0, 0, 24000, 0, 0, "Normal"},
    {0xA2, 0, 0, 12000, 0, 0, "Low"},
};
inline constexpr ClockItem VAo131M1Clk[] = {
    {0xA0, 0, 0, 40000, 0, 0, "High"},
    {0xA1, 0, 0, 30000, 0, 0, "Normal"},
    {0xA2, 0, 0, 20000, 0, 0, "Low"},
};
inline constexpr ClockItem VAo500C1V1Clk[] = {
    {0xA0, 0, 0, 48000, 0, 0, "High"},
    {0xA1, 0, 0, 24000, 1, 0, "Normal"},
    {0xA2, 0, 0, 12000, 1, 0, "Low"},
};
inline constexpr ClockItem VAo500C1V0Clk[] = {
    {0xA0, 0, 0, 36000, 0, 0, "High"},
    {0xA1, 0, 0, 18000, 1, 0, "Normal"},
    {0xA2, 0, 0, 9000, 1, 0, "Low"},
};
inline constexpr ClockItem VAo1KC1Clk[] = {
    {0xA0, 0, 0, 36000, 0, 0, "High"},   {0xA1, 0, 0, 30000, 0, 0, "Normal"},
    {0xA2, 0, 0, 24000, 0, 0, "Low"},    {0xA3, 0, 0, 18000, 0, 0, "Lower"},
    {0xA4, 0, 0, 12000, 0, 0, "Lowest"},
};
inline constexpr ClockItem VAo500M1Clk[] = {
    {0xA0, 0, 0, 36000, 0, 0, "High"},
    {0xA1, 0, 0, 18000, 1, 0, "Normal"},
    {0xA2, 0, 0, 9000, 1, 0, "Low"},
};
inline constexpr ClockItem V3h5MC1Clk[] = {
    {0xA0, 0, 0, 90000, 1, 0, "Super"},
    {0xA1, 0, 0, 48000, 1, 0, "High"},
    {0xA2, 0, 0, 24000, 1, 0, "Normal"},
};

// ---- process-wide instance counters ------------------------------------------------------------

extern std::atomic<int> cntVAo200C1, cntVAh200C1, cntVAo131C1, cntVE131_, cntVE131, cntVAo300C1,
    cntVE300, cntVAo131M1, cntVAo500C1, cntVE500, cntVAo1KC1, cntVE1K, cntVAo500M1, cntVAh500M1,
    cntV3h5MC1;

// ---- gain laws: the register value for a gain already clamped to the model's range -------------

constexpr uint16_t gainLawVA200(int g) {
    if (g <= 32) return static_cast<uint16_t>(g + 31);
    if (g <= 128) return static_cast<uint16_t>(g + 127);
    if (g <= 192) return static_cast<uint16_t>(g + 319);
    return static_cast<uint16_t>(g);
}

constexpr uint16_t gainLawVA131(int g) {
    if (g <= 30) return static_cast<uint16_t>(g + 31);
    if (g <= 63) return static_cast<uint16_t>(2 * g + 1);
    if (g <= 80) return static_cast<uint16_t>(g + 129);
    return static_cast<uint16_t>(g);
}

/// Coarse and fine gain: below 64 the fine value alone, above it the low byte 0x3F with the
/// coarse steps g - 63 in the high byte.
constexpr uint16_t gainLawVA500(int g) {
    return static_cast<uint16_t>(g < 64 ? g : 256 * g - 16065);
}

constexpr uint16_t gainLawVA300(int g) {
    if (g <= 25) return static_cast<uint16_t>(g + 7);
    if (g <= 41) return static_cast<uint16_t>(g + 55);
    if (g <= 161) return static_cast<uint16_t>(256 * g - 10400);
    return 0;
}

constexpr uint16_t gainLawVA131M(int g) {
    return static_cast<uint16_t>(g < 64 ? g : g + 32);
}

constexpr uint16_t gainLawVA1K(int g) {
    constexpr uint16_t base[] = {0x1040, 0x1840, 0x1C40, 0x1CC0, 0x1DC0};
    const int q = g / 64;
    const int r = g % 64;
    return q >= 0 && q < 5 ? static_cast<uint16_t>(base[q] + r) : 0;
}

// ---- models ------------------------------------------------------------------------------------

class VAo200C1 : public CmosModel {
public:
    VAo200C1();
    int _set_analog_gain(int gain) override;
};

class VAh200C1 : public VAo200C1 {
public:
    VAh200C1();
    int _raw_data(unsigned char* buffer, int size) override;
};

class VAo131C1 : public CmosModel {
public:
    VAo131C1();
    int _set_analog_gain(int gain) override;
};

class VAg131C1 : public VAo131C1 {
public:
    VAg131C1() = default;
    int _raw_data(unsigned char* buffer, int size) override;
};

/// Named at claim; with bcdDevice 0xA001 it is a different sensor with the 5-megapixel tables.
class VAh131C1 : public VAo131C1 {
public:
    VAh131C1() = default;
    int _claim_device() override;
    int _set_analog_gain(int gain) override;
    int _raw_data(unsigned char* buffer, int size) override;
};

class VAo300C1 : public CmosModel {
public:
    VAo300C1();
    int _set_analog_gain(int gain) override;
};

class VAg300C1 : public VAo300C1 {
public:
    VAg300C1() = default;
    int _raw_data(unsigned char* buffer, int size) override;
};

class VAh300C1 : public VAo300C1 {
public:
    VAh300C1();
    int _raw_data(unsigned char* buffer, int size) override;
};

/// A one-channel sensor whose frames are filtered on a checkerboard instead of demosaiced.
class VAo131M1 : public CmosModel {
public:
    VAo131M1();
    int _set_analog_gain(int gain) override;
    int _raw2image(unsigned char* raw, unsigned char* image, bool crop) override;
};

class VAg131M1 : public VAo131M1 {
public:
    VAg131M1() = default;
    int _raw_data(unsigned char* buffer, int size) override;
};

/// Shares the counter of VAo131M1, which its construction therefore advances twice.
class VAh131M1 : public VAg131M1 {
public:
    VAh131M1();
    int _raw_data(unsigned char* buffer, int size) override;
};

/// Sensor settings are chosen at claim, where the clock table depends on the bcdDevice.
class VAo500C1 : public CmosModel {
public:
    VAo500C1();
    int _claim_device() override;
    int _set_analog_gain(int gain) override;
};

class VAh500C1 : public VAo500C1 {
public:
    VAh500C1();
    int _retime() override;
    int _raw_data(unsigned char* buffer, int size) override;
    int _set_gpio(int line, bool on) override;
    int _gpio(int line, bool* on) override;

protected:
    uint8_t gpioState[3] = {0, 0, 0}; ///< GPIO lines 1 to 3, 1 on and 0 off
};

class VAo1KC1 : public CmosModel {
public:
    VAo1KC1();
    int _set_analog_gain(int gain) override;
};

class VAh1KC1 : public VAo1KC1 {
public:
    VAh1KC1();
    int _retime() override;
    int _raw_data(unsigned char* buffer, int size) override;
};

class VAo500M1 : public CmosModel {
public:
    VAo500M1();
    int _set_analog_gain(int gain) override;
};

class VAh500M1 : public VAo500M1 {
public:
    VAh500M1();
    int _retime() override;
    int _raw_data(unsigned char* buffer, int size) override;
};

/// Named and configured at claim.
class V3h5MC1 : public CmosModel {
public:
    V3h5MC1();
    int _claim_device() override;
    int _set_analog_gain(int gain) override;
    int _retime() override;
    int _raw_data(unsigned char* buffer, int size) override;
};
