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

/// A limit that depends on the mode code of the current resolution item.
struct CodeLimit {
    uint8_t code;
    uint16_t value;
};

/// How one CCD frame travels and is turned into an image: the data that distinguishes the
/// read-outs of the CCD models. The steps themselves are shared (CcdCamera::_raw_data).
struct CcdFrame {
    enum class Wire {
        HeadMarker, ///< head block with ten 0x88 bytes, pixels after it, frame acknowledge
        EndMarker,  ///< pixels, then 0x88 and the snapshot mark
        Padded,     ///< pixels and one padding block ending in 0x88 and the snapshot mark
        Plain,      ///< exactly the pixels, no marker
    };
    enum class Reduce {
        None,
        MonoBin,   ///< __mbin by factor
        ColourBin, ///< __cbin by factor
        Crop,      ///< the camera sends full-width lines: cut out the item
        SkipPairs, ///< every other column pair (__skip 2, 1)
        Interlace, ///< two fields of factor rows, one after the other
    };
    Wire wire = Wire::EndMarker;
    long long pixelBytes = 0; ///< pixel bytes on the wire (marker formats)
    int width = 0;            ///< layout of the delivered pixels
    int height = 0;
    Reduce reduce = Reduce::None;
    int factor = 1;
    int cropX = 0, cropY = 0, cropWidth = 0, cropHeight = 0;
    bool autoExposure = true;    ///< the read runs automatic exposure when it is on
    int aeEvery = 3;             ///< automatic-exposure hint
    bool snapshotMark = false;   ///< report the camera's 0xCC mark
    bool fluorescence = false;   ///< run the fluorescence step
    bool defects = false;        ///< collect and correct defect pixels
    bool clockAfterMode = false; ///< a pending mode request is followed by the clock request
};

/// The steps every CCD model shares: exposure as a line count split over two registers that
/// rides with every mode and clock request, the control port, and one frame read whose wire
/// format and geometry come from `framePlan`.
class CcdCamera : public CamModel {
public:
    int _raw_data(unsigned char* buffer, int size) override;

    /// Temperature in degrees from the camera's 16-bit reading.
    static float temperatureFromReading(uint16_t reading);

protected:
    CcdCamera() = default;

    /// The read-out behind `_raw_data`.
    int readPlannedFrame(unsigned char* buffer, int size);

    /// How the current mode's frame travels and is laid out (lock held by the caller).
    virtual CcdFrame framePlan() const = 0;
    /// Model step after the region of interest and automatic exposure; a nonzero result ends
    /// the read with that result.
    virtual int afterFrame(_ezImage* /*image*/) { return 0; }

    /// The full frame of the current mode: item 0's size, and the binning that turns it into
    /// the current item when that item asks the camera for the same mode as item 0 but is
    /// smaller (the camera cannot tell such items apart, so the host bins).
    void fullFrameLayout(CcdFrame& plan, bool colour) const;
    /// Pixel bytes the camera sends for the current item: frameBytes at the current depth.
    long long itemPixelBytes() const;

    /// Keeps the exposure time across a mode or clock change and prepares (does not send) the
    /// two exposure register writes and the mode and clock requests that carry the total.
    /// newMax / newLongMax replace exposure.max / longExposure.max when not negative;
    /// followLineLength takes the current item's line length into the ratio.
    int retimeSplit(int newMax, int newLongMax, bool followLineLength);
    /// Limits a line count to the exposure range, splits it over the short and long exposure
    /// values and prepares both register writes; returns the count kept. exposure.max must not
    /// be 0 (lock held by the caller).
    uint32_t splitLines(double lines);
    /// The limit for the current item's code, or fallback.
    int limitForCode(const CodeLimit* table, int count, int fallback) const;
    template <std::size_t N> int limitForCode(const CodeLimit (&table)[N], int fallback) const {
        return limitForCode(table, static_cast<int>(N), fallback);
    }
    /// Sensor start without the start request: the settings in the order the CCD cameras take.
    int resumeSettings(bool resolutionBeforeGain);
};

// ---- uncooled CCD cameras ----------------------------------------------------------------------

class VDo205M1 : public CcdCamera {
public:
    VDo205M1();
    int _sensor_resume() override;
    int _set_analog_gain(int gain) override;
    int _retime() override;

protected:
    CcdFrame framePlan() const override;
};

class VDh205M1 : public VDo205M1 {
public:
    VDh205M1();

protected:
    CcdFrame framePlan() const override;
};

class VDh205C1 : public VDo205M1 {
public:
    VDh205C1();

protected:
    CcdFrame framePlan() const override;
};

class VDo282C1 : public CcdCamera {
public:
    VDo282C1();
    int _sensor_resume() override;
    int _set_analog_gain(int gain) override;
    int _retime() override;

protected:
    CcdFrame framePlan() const override;
};

class VDh282C1 : public CcdCamera {
public:
    VDh282C1();
    int _sensor_resume() override;
    int _set_analog_gain(int gain) override;
    int _retime() override;

protected:
    CcdFrame framePlan() const override;
};

// ---- cooled CCD cameras ------------------------------------------------------------------------

class VDo285M1 : public CcdCamera {
public:
    VDo285M1();
    int _sensor_resume() override;
    int _set_analog_gain(int gain) override;
    int _retime() override;
    int _set_edge_inhibition(bool on) override;
    int _edge_inhibition(bool* on) override;
    int _set_cooled(bool on) override;
    int _cooled(bool* on) override;

protected:
    CcdFrame framePlan() const override;

    int controlPortState = kEdgeInhibitionOff; ///< 17 while edge inhibition is on
    bool cooled = false;                       ///< last cooler state sent
};

class VDh285M1 : public VDo285M1 {
public:
    VDh285M1();

protected:
    CcdFrame framePlan() const override;
};

class VDh285C1 : public VDh285M1 {
public:
    VDh285C1();

protected:
    CcdFrame framePlan() const override;
};

class VDh674C1 : public VDh285C1 {
public:
    VDh674C1();

protected:
    CcdFrame framePlan() const override;
};

/// Constructed as VDh285M1 (whose name it carries until claim); tables by bcdDevice at claim.
/// Products 0xE00A to 0xE00C are built as VDh285M1: the constructors of VDh674M1, VDh687M1 and
/// VDh694M1 must run that construction and nothing more; their state comes at claim.
class VDh674M1 : public VDh285M1 {
public:
    VDh674M1() = default;
    int _claim_device() override;
    int _retime() override;
    int _temperature(float* celsius) override;

protected:
    CcdFrame framePlan() const override;
    /// The end-marker plan the generation shares (lock held by the caller).
    CcdFrame markedFramePlan() const;

    float temperature = 0.0f; ///< degrees Celsius read at claim
};

class VDh687M1 : public VDh674M1 {
public:
    VDh687M1() = default;
    int _claim_device() override;
    int _retime() override;

protected:
    CcdFrame framePlan() const override;
};

class VDh694M1 : public VDh674M1 {
public:
    VDh694M1() = default;
    int _claim_device() override;
    int _retime() override;
    int _set_resolution(int index, bool apply) override;
    int _blackfield() override;
    int _set_shift_operator(int value) override;
    int _shift_operator() override;
    int _shift_operator_range(int* min, int* max, int* step) override;
    int _fluorescence(_ezImage* image, int every) override;

protected:
    CcdFrame framePlan() const override;
    int afterFrame(_ezImage* image) override;
    /// A dark frame asked for takes its own ten-second exposure on top.
    int frameTimeoutMs() override;
    /// Keeps the frame as the dark frame when one was asked for, subtracts the dark frame
    /// when that is on.
    void darkFrameStep(_ezImage* image);
    /// Sends the mode request carrying `total` lines and puts the same total into the clock
    /// request (lock held by the caller).
    void restartCarrying(uint32_t total);

    struct ImageRelease {
        void operator()(_ezImage* image) const { ezReleaseImage(&image); }
    };
    int shiftOperator = 0;                             ///< 0 to 8, last value sent
    std::unique_ptr<_ezImage, ImageRelease> darkFrame; ///< last dark frame, or null
    float savedExposure = 0.0f; ///< milliseconds in force when a dark frame was started
    uint32_t darkLines = 0;     ///< line count the dark exposure was asked for
};

/// Constructed as VDh694M1 with colour buffers; named, coloured and configured at claim.
class VDh694C1 : public VDh694M1 {
public:
    VDh694C1();
    int _claim_device() override;
    int _retime() override;
    int _raw2image(unsigned char* raw, unsigned char* image, bool crop) override;

protected:
    CcdFrame framePlan() const override;
    int afterFrame(_ezImage* image) override;
};
