// The sensor model of the simulated camera: turns the scene into 16-bit samples with
// exposure, gain, black level, vignetting, dark current, hot pixels, noise and saturation.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "sim/Scene.h"
#include "sim/SimCamera.h"
#include "sim/WireFormat.h"

namespace hx::sim {

/// Everything one frame depends on.
struct RenderParams {
    FrameShape shape;
    int fullWidth = 0; ///< full sensor (resolution item 0)
    int fullHeight = 0;
    int bayer = 0; ///< mosaic code of the sensor, 0 monochrome
    double exposureMs = 0;
    double gain = 1; ///< linear analog gain
    double temperature = 20;
    double blackCounts = 0; ///< pedestal minus the black level, 16-bit counts
    uint64_t frameNumber = 0;
};

class FrameRenderer {
public:
    FrameRenderer(const SensorProfile& profile, const SimOptions& options);

    /// Renders one frame into the internal buffer. Returns false when `abort` became true
    /// meanwhile (the frame is then incomplete).
    bool render(const RenderParams& params, const std::atomic<bool>& abort);
    RenderedFrame frame() const;
    /// Hot pixels inside the given shape, (column, row) of the rendered image.
    std::vector<std::pair<int, int>> hotPixels(const FrameShape& shape, int fullWidth,
                                               int fullHeight);

private:
    struct HotPixel {
        float x, y; ///< full-sensor position
        float rate; ///< dark current in electrons per second at 25 degrees
    };
    void prepareShape(const FrameShape& shape, int fullWidth, int fullHeight);

    SensorProfile profile_;
    SimOptions options_;
    std::shared_ptr<const SceneTile> tile_;
    std::vector<HotPixel> hot_; // full-sensor hot pixels
    int hotForWidth_ = 0, hotForHeight_ = 0;

    // Per shape.
    FrameShape shape_{};
    bool shapeValid_ = false;
    std::vector<float> sensorX_, vignetteX_, vignetteY_;
    std::vector<int> columnIndex_;
    std::vector<std::pair<uint32_t, float>> hotInShape_; // sample offset, rate
    // Per frame.
    std::vector<uint16_t> samples_;
    int width_ = 0, height_ = 0;
    std::vector<float> sigma_;
};

} // namespace hx::sim
