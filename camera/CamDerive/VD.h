// The CCD cameras (VD models), cooled and uncooled: tables, defaults, claim-time choices and
// gain.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "camera/CamDerive/CamModel.h"

// ---- resolution and clock tables ---------------------------------------------------------------

inline constexpr ResolutionItem VDo205M1Res[] = {
    {0x0A, 0, 1790, 1422336, 1024, 1360, 0, "1352X1016"},
    {0x0A, 0, 1790, 1422336, 512, 680, 0, "672X504 sBin"},
    {0x0A, 0, 1790, 1422336, 256, 340, 0, "332X248 sBin"},
};
inline constexpr ResolutionItem VDh205C1Res[] = {
    {0x0A, 0, 1790, 1422336, 1024, 1360, 0, "1352X1016"},
};
inline constexpr ResolutionItem VDo285M1Res[] = {
    {0x0A, 0, 1790, 1422336, 1024, 1360, 0, "1352X1016"},
    {0x0A, 0, 1790, 1422336, 512, 680, 0, "672X504 2x2Bin"},
    {0x0A, 0, 1790, 1422336, 256, 340, 0, "332X248 4x4Bin"},
};
inline constexpr ResolutionItem VDh285C1Res[] = {
    {0x0A, 0, 1790, 1422336, 1024, 1360, 0, "1352X1016"},
    {0x0A, 0, 1790, 1422336, 512, 680, 0, "672X504 2x2Bin"},
};
inline constexpr ResolutionItem VDh674C1Res[] = {
    {0x0A, 0, 2336, 2903040, 1460, 1920, 0, "1912X1452"},
    {0x0A, 0, 2336, 2903040, 728, 960, 0, "952X720 sBin"},
    {0x0A, 0, 2336, 2903040, 364, 480, 0, "472X356 sBin"},
};
inline constexpr ResolutionItem VDh674M1V1Res[] = {
    {0x0A, 0, 2336, 2903040, 1460, 1920, 0, "1912X1452"},
    {0x0B, 0, 2680, 714240, 728, 960, 0, "952X720 Bin"},
    {0x0D, 0, 2680, 176640, 364, 480, 0, "472X356 Bin"},
};
inline constexpr ResolutionItem VDh674M1V0Res[] = {
    {0x0A, 0, 2336, 2903040, 1460, 1920, 0, "1912X1452"},
    {0x0A, 0, 2336, 2903040, 728, 960, 0, "952X720 sBin"},
    {0x0A, 0, 2336, 2903040, 364, 480, 0, "472X356 sBin"},
};
inline constexpr ResolutionItem VDh694M1V1Res[] = {
    {0x0A, 0, 3184, 6041088, 2200, 2736, 0, "2728*2192"},
    {0x0B, 0, 3528, 1488384, 1080, 1368, 0, "1360*1072 Bin"},
    {0x0D, 0, 3528, 350208, 510, 684, 0, "676*502   Bin"},
};
inline constexpr ResolutionItem VDh694C1V1Res[] = {
    {0x0A, 0, 3184, 6041088, 2200, 2736, 0, "2728*2192"},
    {0x0B, 0, 3184, 2976768, 1080, 1628, 0, "1620*1072"},
    {0x0C, 0, 3184, 2013696, 728, 1088, 0, "1080*720"},
    {0x0A, 0, 3184, 6041088, 1100, 1368, 0, "1360*1092 Bin 2X2"},
    {0x0A, 0, 3184, 6041088, 548, 684, 0, "676*540   Bin 4X4"},
};
inline constexpr ResolutionItem VDh687M1V1Res[] = {
    {0x0A, 0, 2336, 2903040, 1460, 1920, 0, "1912X1452"},
    {0x0B, 0, 2680, 714240, 728, 960, 0, "952X720 Bin"},
    {0x0D, 0, 2680, 176640, 364, 480, 0, "472X356 Bin"},
};
inline constexpr ResolutionItem VDh687M1Res[] = {
    {0x0A, 0, 2336, 2903040, 1460, 1920, 0, "1912X1452"},
    {0x0A, 0, 2336, 2903040, 728, 960, 0, "952X720 sBin"},
    {0x0A, 0, 2336, 2903040, 364, 480, 0, "472X356 sBin"},
};
inline constexpr ResolutionItem VDo282C1Res[] = {
    {0xC1, 0, 2895, 5136384, 1920, 2576, 0, "2568X1912"},
    {0xC0, 0, 2895, 2568192, 960, 1288, 0, "1280X952"},
    {0xC1, 0, 2895, 5136384, 960, 1288, 0, "1280X952 2X2Bin"},
    {0xC1, 0, 2895, 5136384, 480, 644, 0, "636X472  4X4Bin"},
};
inline constexpr ClockItem VDo205M1Clk[] = {
    {0xA0, 0, 0, 24000, 1, 0, "High"},  {0xA1, 0, 0, 12000, 1, 0, "Normal"},
    {0xA2, 0, 0, 6000, 1, 0, "Low"},    {0xA3, 0, 0, 3000, 1, 0, "Lower"},
    {0xA4, 0, 0, 1500, 1, 0, "Lowest"},
};
inline constexpr ClockItem VDh205C1Clk[] = {
    {0xA0, 0, 0, 24000, 1, 0, "High"},
    {0xA1, 0, 0, 12000, 1, 0, "Normal"},
};
inline constexpr ClockItem VDo285M1Clk[] = {
    {0xA0, 0, 0, 24000, 1, 0, "High"},  {0xA1, 0, 0, 12000, 1, 0, "Normal"},
    {0xA2, 0, 0, 6000, 1, 0, "Low"},    {0xA3, 0, 0, 3000, 1, 0, "Lower"},
    {0xA4, 0, 0, 1500, 1, 0, "Lowest"},
};
inline constexpr ClockItem VDh285C1Clk[] = {
    {0xA0, 0, 0, 24000, 1, 0, "High"},
    {0xA1, 0, 0, 12000, 1, 0, "Normal"},
};
inline constexpr ClockItem VDh674C1Clk[] = {
    {0xA0, 0, 0, 24000, 0, 0, "High"},
    {0xA1, 0, 0, 12000, 1, 0, "Normal"},
};
inline constexpr ClockItem VDh674M1Clk2[] = {
    {0xA0, 0, 1, 36000, 1, 0, "Higher"}, {0xA1, 0, 0, 24000, 1, 0, "High"},
    {0xA2, 0, 0, 12000, 1, 0, "Normal"}, {0xA3, 0, 0, 6000, 1, 0, "Low"},
    {0xA4, 0, 0, 3000, 1, 0, "Lower"},
};
inline constexpr ClockItem VDh674M1Clk[] = {
    {0xA0, 0, 0, 24000, 1, 0, "High"},  {0xA1, 0, 0, 12000, 1, 0, "Normal"},
    {0xA2, 0, 0, 6000, 1, 0, "Low"},    {0xA3, 0, 0, 3000, 1, 0, "Lower"},
    {0xA4, 0, 0, 1500, 1, 0, "Lowest"},
};
inline constexpr ClockItem VDh694M1Clk[] = {
    {0xA0, 0, 1, 36000, 1, 0, "Higher"}, {0xA1, 0, 0, 24000, 1, 0, "High"},
    {0xA2, 0, 0, 12000, 1, 0, "Normal"}, {0xA3, 0, 0, 6000, 1, 0, "Low"},
    {0xA4, 0, 0, 3000, 1, 0, "Lower"},
};
inline constexpr ClockItem VDh94C1Clk[] = {
    {0xA1, 0, 0, 24000, 1, 0, "High"},
    {0xA2, 0, 0, 12000, 1, 0, "Normal"},
};
inline constexpr ClockItem VDh687M1Clk2[] = {
    {0xA0, 0, 1, 36000, 1, 0, "Higher"}, {0xA1, 0, 0, 24000, 1, 0, "High"},
    {0xA2, 0, 0, 12000, 1, 0, "Normal"}, {0xA3, 0, 0, 6000, 1, 0, "Low"},
    {0xA4, 0, 0, 3000, 1, 0, "Lower"},
};
inline constexpr ClockItem VDh687M1Clk[] = {
    {0xA0, 0, 0, 24000, 1, 0, "High"},  {0xA1, 0, 0, 12000, 1, 0, "Normal"},
    {0xA2, 0, 0, 6000, 1, 0, "Low"},    {0xA3, 0, 0, 3000, 1, 0, "Lower"},
    {0xA4, 0, 0, 1500, 1, 0, "Lowest"},
};
inline constexpr ClockItem VDo282C1Clk[] = {
    {0xA0, 0, 1, 30000, 0, 0, "High"},
    {0xA1, 0, 0, 20000, 1, 0, "Normal"},
    {0xA2, 0, 0, 10000, 1, 0, "Low"},
};

// ---- process-wide instance counters ------------------------------------------------------------

extern std::atomic<int> cntVDo205M1, cntVDh205M1, cntVDh205C1, cntVDo285M1, cntVDh285M1,
    cntVDh285C1, cntVDh674C1, cntVDh674M1, cntVDh687M1, cntVDh694M1, cntVDh694C1, cntVDo282C1,
    cntVDh282C1;

/// Control-port states of edge inhibition (request 0xB8, wIndex 0).
inline constexpr int kEdgeInhibitionOn = 17;
inline constexpr int kEdgeInhibitionOff = 0;

// ---- uncooled CCD cameras: the gain register takes the clamped gain itself ---------------------

class VDo205M1 : public CamModel {
public:
    VDo205M1();
    int _set_analog_gain(int gain) override;
};

class VDh205M1 : public VDo205M1 {
public:
    VDh205M1();
};

class VDh205C1 : public VDo205M1 {
public:
    VDh205C1();
};

class VDo282C1 : public CamModel {
public:
    VDo282C1();
    int _set_analog_gain(int gain) override;
};

class VDh282C1 : public CamModel {
public:
    VDh282C1();
    int _set_analog_gain(int gain) override;
};

// ---- cooled CCD cameras ------------------------------------------------------------------------

class VDo285M1 : public CamModel {
public:
    VDo285M1();
    int _set_analog_gain(int gain) override;

protected:
    int controlPortState = kEdgeInhibitionOff; ///< 17 while edge inhibition is on
    bool cooled = false;                       ///< last cooler state sent
};

class VDh285M1 : public VDo285M1 {
public:
    VDh285M1();
};

class VDh285C1 : public VDh285M1 {
public:
    VDh285C1();
};

class VDh674C1 : public VDh285C1 {
public:
    VDh674C1();
};

/// Constructed as VDh285M1 (whose name it carries until claim); tables by bcdDevice at claim.
/// Products 0xE00A to 0xE00C are built as VDh285M1: the constructors of VDh674M1, VDh687M1 and
/// VDh694M1 must run that construction and nothing more; their state comes at claim.
class VDh674M1 : public VDh285M1 {
public:
    VDh674M1() = default;
    int _claim_device() override;

protected:
    float temperature = 0.0f; ///< degrees Celsius read at claim
};

class VDh687M1 : public VDh674M1 {
public:
    VDh687M1() = default;
    int _claim_device() override;
};

class VDh694M1 : public VDh674M1 {
public:
    VDh694M1() = default;
    int _claim_device() override;

protected:
    struct ImageRelease {
        void operator()(_ezImage* image) const { ezReleaseImage(&image); }
    };
    int shiftOperator = 0;                             ///< 0 to 8, last value sent
    std::unique_ptr<_ezImage, ImageRelease> darkFrame; ///< last dark frame, or null
    float savedExposure = 0.0f; ///< milliseconds in force when a dark frame was started
};

/// Constructed as VDh694M1 with colour buffers; named, coloured and configured at claim.
class VDh694C1 : public VDh694M1 {
public:
    VDh694C1();
    int _claim_device() override;
};
