// The line-counted CMOS cameras (VS models): tables, defaults and gain.
#pragma once

#include <atomic>
#include <cstdint>

#include "camera/CamDerive/CmosModel.h"

// ---- resolution and clock tables ---------------------------------------------------------------

inline constexpr ResolutionItem VSo035M1Res[] = {
    {0xC0, 0, 1656, 1332224, 1024, 1280, 0, "1272X1016"},
    {0xC2, 0, 1656, 364032, 512, 668, 0, "660X504 Bin"},
    {0xC3, 0, 1656, 1065984, 800, 1280, 0, "1272X792 ROI"},
    {0xC4, 0, 1656, 334848, 480, 656, 0, "648X472 ROI"},
};
inline constexpr ResolutionItem VSo035C1Res[] = {
    {0xC0, 0, 1656, 1332224, 1024, 1280, 0, "1272X1016"},
    {0xC2, 0, 1656, 364032, 512, 668, 0, "660X504 Bin"},
    {0xC1, 0, 1656, 697344, 512, 640, 0, "632X504 Bin*"},
};
inline constexpr ResolutionItem VS200C1Res[] = {
    {0xC0, 0, 2200, 2266112, 1180, 1920, 0, "1912X1172"},
};
inline constexpr ResolutionItem VSo036C1Res[] = {
    {0xC0, 0, 2232, 3192832, 1536, 2048, 0, "2040X1528"},
    {0xC1, 0, 1116, 789504, 768, 1024, 0, "1016X760 2x2 Bin"},
    {0xC2, 0, 744, 353280, 512, 684, 0, "676X504 3x3 Bin"},
};
inline constexpr ClockItem VSo035M1Clk[] = {
    {0xA0, 0, 0, 43200, 0, 0, "High"},
    {0xA1, 0, 0, 21600, 0, 0, "Normal"},
    {0xA2, 0, 0, 10800, 1, 0, "Low"},
};
inline constexpr ClockItem VSo035C1Clk[] = {
    {0xA0, 0, 0, 43200, 0, 0, "High"},
    {0xA1, 0, 0, 21600, 0, 0, "Normal"},
    {0xA2, 0, 0, 10800, 1, 0, "Low"},
};
inline constexpr ClockItem VS200C1Clk[] = {
    {0xA0, 0, 0, 60000, 0, 0, "Super"},
    {0xA1, 0, 0, 48000, 0, 0, "Higher"},
    {0xA2, 0, 0, 40000, 0, 0, "High"},
    {0xA3, 0, 0, 30000, 0, 0, "Normal"},
};
inline constexpr ClockItem VSo036C1Clk[] = {
    {0xA0, 0, 0, 40000, 0, 0, "High"},
    {0xA1, 0, 0, 32000, 0, 0, "Normal"},
    {0xA2, 0, 0, 24000, 0, 0, "Low"},
    {0xA3, 0, 0, 16000, 1, 0, "Lower"},
};

// ---- process-wide instance counters ------------------------------------------------------------

extern std::atomic<int> cntVSo035M1, cntVSh035M1, cntVSo035C1, cntVSh035C1, cntVS200C1, cntVSo036C1,
    cntVSh036C1;

// ---- models: the gain register takes the clamped gain itself -----------------------------------

/// The exposure is a line count within one frame period plus a count of whole periods; the
/// period (largest line count) depends on the mode.
class VSo035M1 : public CmosModel {
public:
    VSo035M1();
    int _set_analog_gain(int gain) override;
    int _retime() override;
};

class VSh035M1 : public VSo035M1 {
public:
    VSh035M1();
    int _raw_data(unsigned char* buffer, int size) override;
};

class VSo035C1 : public CmosModel {
public:
    VSo035C1();
    int _sensor_resume() override;
    int _set_analog_gain(int gain) override;
    int _retime() override;
    int _raw_data(unsigned char* buffer, int size) override;

private:
    int headMarkerReadOut(unsigned char* buffer, int size);
};

class VSh035C1 : public VSo035C1 {
public:
    VSh035C1();
    int _raw_data(unsigned char* buffer, int size) override;
};

/// Reads frames in 60 KiB blocks; keeps a 32-bit line count in two 16-bit registers.
class VS200C1 : public CmosModel {
public:
    VS200C1();
    int _sensor_resume() override;
    int _set_analog_gain(int gain) override;
    int _retime() override;
    int _set_exposure(float milliseconds) override;
    int _set_blacklevel(int level) override;
    int _raw_data(unsigned char* buffer, int size) override;

protected:
    void writeTotal(uint32_t total);

private:
    int stampedReadOut(unsigned char* buffer, int size);
};

class VSo036C1 : public CmosModel {
public:
    VSo036C1();
    int _set_analog_gain(int gain) override;
    int _retime() override;
};

class VSh036C1 : public VSo036C1 {
public:
    VSh036C1();
    int _set_exposure(float milliseconds) override;
    int _raw_data(unsigned char* buffer, int size) override;
};
