// What the live view shows of a decoded frame: the stretched 8-bit picture with the clipping
// overlay, and, a few times a second, the histogram, the focus figure and a copy of the samples
// for the cursor read-out. Runs on the show thread; only the picture shown is its output, the
// frame itself (what is saved, recorded or processed) is never written.
#pragma once

#include <QImage>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "app/tools/FrameStatistics.h"

namespace hx::app {

enum class StretchMode { Off = 0, Automatic = 1, Manual = 2 };
enum class FocusMode { Off = 0, Stars = 1, Contrast = 2 };

struct DisplaySettings {
    StretchMode stretch = StretchMode::Off;
    StretchPoints manual; ///< points used in manual mode
    bool overlay = false; ///< clipped pixels marked: high red, low blue
    FocusMode focus = FocusMode::Off;
    PixelBox focusBox; ///< image pixels; empty: a box in the middle of the frame
};

/// Full-depth samples of a shown frame, kept for the pixel value under the cursor.
struct FrameSamples {
    int width = 0, height = 0, depth = 8, channels = 1;
    std::vector<unsigned char> bytes; ///< the frame's pixel bytes as they were

    size_t samples() const { return static_cast<size_t>(width) * height * channels; }
    int value(size_t i) const {
        return depth == 16 ? bytes[2 * i] | (bytes[2 * i + 1] << 8) : bytes[i];
    }
};

/// What the tools learn of a frame a few times a second.
struct FrameReport {
    Histogram histogram;
    StretchPoints points; ///< the stretch applied (0 and 1 when off)
    double focus = -1.0;  ///< figure of the focus box, negative when none
    FocusMode focusMode = FocusMode::Off;
    PixelBox focusBox; ///< the box measured, in image pixels
    std::shared_ptr<const FrameSamples> samples;
};

class DisplayPipeline {
public:
    /// Reports at most this often.
    static constexpr std::chrono::milliseconds kReportInterval{200};

    void setSettings(const DisplaySettings& settings);
    DisplaySettings settings() const;

    /// The picture to show for a frame (grey, or RGB for colour or with the overlay). Calls
    /// `report` before it returns when a report is due.
    QImage render(const FrameView& frame, const std::function<void(FrameReport)>& report);

    /// The box measured when none is chosen: a quarter of the frame's size, centred.
    static PixelBox defaultFocusBox(int width, int height);

private:
    const std::vector<uint8_t>& tableFor(int depth, const DisplaySettings& settings,
                                         StretchPoints& applied) const;

    mutable std::mutex mutex_;
    DisplaySettings settings_;

    // Show thread only.
    std::chrono::steady_clock::time_point lastReport_{};
    StretchPoints automatic_;
    bool haveAutomatic_ = false;
    int automaticDepth_ = 0;
    mutable std::vector<uint8_t> table_;
    mutable int tableDepth_ = 0;
    mutable StretchPoints tablePoints_{-1, -1};
    mutable bool tableIdentity_ = false;
};

} // namespace hx::app
