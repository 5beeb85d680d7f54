// The steps shared by the CMOS camera read-outs (VA, V3 and VS models): one bounded bulk read
// into the caller's buffer, the marker checks, the hardware window, the defect step and the
// exposure bookkeeping. What differs between read-outs is described by data (FrameLayout).
#pragma once

#include <cstdint>

#include "camera/CamDerive/CamModel.h"

/// What a read-out does with an active region of interest.
enum class WindowSwitch {
    None, ///< crops in software
    Keep, ///< moves the region into the camera and keeps the frame
    Drop, ///< moves the region into the camera and drops the frame (-3)
};

/// How one end-marker read-out differs from another. Offsets count from the end of the pixel
/// bytes n; a negative offset lies inside the pixel bytes.
struct FrameLayout {
    static constexpr int kNone = -1000000;

    int askExtra = 512;       ///< bytes asked for beyond n
    int trailer = 3;          ///< bytes that must arrive beyond n, exactly
    int marker = 0;           ///< offset of the 0x88 end marker, or kNone
    int clear = 0;            ///< offset zeroed after the marker check, or kNone
    int snapshot = 1;         ///< offset of the 0xCC snapshot mark, or kNone
    bool depthScaled = false; ///< n = T x bits / 8 instead of T
    bool extraHead16 = false; ///< n grows by headLength at resolution index 0 with 16 bits
    bool rmac = false;        ///< 16-bit samples arrive big-endian and are swapped
    bool defects = true;      ///< collects and corrects defect pixels
    int aeEvery = 3;          ///< interval of automatic exposure
    WindowSwitch window = WindowSwitch::None;
    int windowWidth = 0;          ///< sensor width of the item whose region moves into the camera
    bool reapplyExposure = false; ///< re-sends the exposure time after a pending mode change
    bool delayOnWindow = false;   ///< waits 2000 ms after moving the region into the camera
};

/// Frame period of one mode: lines per period and whole periods (-1 keeps the current).
struct PeriodRow {
    uint8_t code;
    uint16_t lines;
    int periods;
};

/// Base of the CMOS models: adds no state to CamModel, only shared read-out steps.
class CmosModel : public CamModel {
protected:
    CmosModel() = default;

    /// The end-marker read-out: pixels straight after the head, a fixed trailer, markers at
    /// fixed offsets. Returns 0, 1 (snapshot mark), 5/-5 (defects collected), -2 or -3.
    int readEndMarkerFrame(unsigned char* buffer, int size, const FrameLayout& layout) {
        return guardedRead([&] { return endMarkerReadOut(buffer, size, layout); });
    }

    /// One bulk read of at most `ask` bytes into buffer + offset, never past buffer + size.
    /// Returns the bytes received, or -1 when the read failed.
    int boundedRead(unsigned char* buffer, int size, int offset, long long ask);

    /// Sends the region origin and size, switches the hardware window on and the software
    /// region off.
    void moveRegionIntoCamera();
    /// Collects defects when asked (result becomes 5 or -5), then corrects the frame when
    /// correction is on and defects are known.
    void defectStep(_ezImage* image, int& result);

    /// The current item and depth, taken under the lock; false without a resolution table.
    struct FrameInfo {
        int width = 0, height = 0, index = 0, bits = 8, head = 512, block = 512;
        long long frameBytes = 0;
        uint8_t code = 0;
        PendingMode* mode = nullptr; ///< the resolution request this frame's size belongs to
    };
    /// The current item's frame size, taken in one locked section with the pending resolution
    /// request (noted in mode, which must outlive the read).
    bool frameInfo(FrameInfo& info, PendingMode& mode);

    /// The line-counted end-marker read-out: asks for `ask` bytes after the head, accepts
    /// exactly `expected` with 0x88 three bytes before the end (cleared) and the snapshot mark
    /// two before it. `doubled` lays a 640-wide item out as 1280 x 512 and bins it 2 x 1;
    /// `blackCheck` rejects an all-black frame at an exposure above 80 lines.
    int readLineCountedFrame(unsigned char* buffer, int size, const FrameInfo& f, long long ask,
                             long long expected, bool doubled, int aeEvery, bool defects,
                             bool blackCheck) {
        return guardedRead([&] {
            return lineCountedReadOut(buffer, size, f, ask, expected, doubled, aeEvery, defects,
                                      blackCheck);
        });
    }
    /// Reorders 16-bit samples with the given mode, bins a doubled frame, crops the region.
    void finishSteps(_ezImage* image, int rmacMode, bool doubled);

    /// The exposure total re-scaled to a new mode or clock: takes the old total, sets the
    /// period maxima from the mode's row (a mode not listed keeps them), takes the new line
    /// time and returns the total scaled in single precision and limited to the range.
    /// `beforeScale` runs after the line time is taken (the slow-clock gain floor).
    template <size_t N, typename Hook>
    uint32_t rescaleTotal(const PeriodRow (&rows)[N], Hook beforeScale) {
        return rescaleTotal(rows, N, beforeScale);
    }
    template <typename Hook>
    uint32_t rescaleTotal(const PeriodRow* rows, size_t count, Hook beforeScale) {
        const double oldTotal =
            static_cast<double>(longExposure.value) * exposure.max + exposure.value;
        const int code = resItem(resolution.value).code;
        for (size_t i = 0; i < count; ++i) {
            if (rows[i].code != code) continue;
            exposure.max = rows[i].lines;
            if (rows[i].periods >= 0) longExposure.max = static_cast<uint16_t>(rows[i].periods);
        }
        const double oldClock = lineClock, oldLength = lineLength;
        lineClock = static_cast<int>(clkItem(pixelClock.value).rate);
        lineLength = resItem(resolution.value).lineLength;
        beforeScale();
        return limitTotal(oldTotal, oldClock, oldLength);
    }
    uint32_t limitTotal(double oldTotal, double oldClock, double oldLength);

private:
    int endMarkerReadOut(unsigned char* buffer, int size, const FrameLayout& layout);
    int lineCountedReadOut(unsigned char* buffer, int size, const FrameInfo& f, long long ask,
                           long long expected, bool doubled, int aeEvery, bool defects,
                           bool blackCheck);

protected:
    /// Stores a total as whole periods and lines.
    void splitTotal(uint32_t total);
    /// Splits a total, prepares the exposure (lines) and long-exposure (periods) requests and
    /// writes the total into the prepared resolution and clock requests.
    void carrySplitTotal(uint32_t total);

    /// Line-time conversion that keeps the exposure time, clamps it to the exposure range and
    /// prepares (without sending) the exposure request; the line count also rides in wIndex of
    /// the prepared resolution and clock requests.
    void retimeLines();
};
