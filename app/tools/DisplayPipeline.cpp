#include "app/tools/DisplayPipeline.h"

#include <cstring>

namespace hx::app {

void DisplayPipeline::setSettings(const DisplaySettings& settings) {
    std::lock_guard lock(mutex_);
    settings_ = settings;
}

DisplaySettings DisplayPipeline::settings() const {
    std::lock_guard lock(mutex_);
    return settings_;
}

PixelBox DisplayPipeline::defaultFocusBox(int width, int height) {
    const int w = std::max(width / 4, 1), h = std::max(height / 4, 1);
    return {(width - w) / 2, (height - h) / 2, w, h};
}

/// The table from sample value to display byte. Without a stretch it is the most significant
/// byte, exactly what the live view shows of a frame.
const std::vector<uint8_t>& DisplayPipeline::tableFor(int depth, const DisplaySettings& settings,
                                                      StretchPoints& applied) const {
    const bool identity = settings.stretch == StretchMode::Off;
    applied = identity
                  ? StretchPoints{}
                  : (settings.stretch == StretchMode::Automatic ? automatic_ : settings.manual);
    if (!identity && applied.white <= applied.black) applied.white = applied.black + 1.0 / 65536;
    if (tableDepth_ == depth && tableIdentity_ == identity &&
        (identity || (tablePoints_.black == applied.black && tablePoints_.white == applied.white)))
        return table_;
    if (identity) {
        table_.resize(depth == 16 ? 65536 : 256);
        for (size_t v = 0; v < table_.size(); ++v)
            table_[v] = static_cast<uint8_t>(depth == 16 ? v >> 8 : v);
    } else {
        table_ = stretchTable(depth, applied);
    }
    tableDepth_ = depth;
    tableIdentity_ = identity;
    tablePoints_ = applied;
    return table_;
}

QImage DisplayPipeline::render(const FrameView& frame,
                               const std::function<void(FrameReport)>& report) {
    if (!frame.pixels || frame.width <= 0 || frame.height <= 0) return {};
    const DisplaySettings settings = this->settings();
    const auto now = std::chrono::steady_clock::now();
    const bool due = now - lastReport_ >= kReportInterval;

    // The automatic points follow the frame at the report rate; between reports the last
    // ones stay, so the picture does not flicker with the noise.
    if (settings.stretch == StretchMode::Automatic &&
        (due || !haveAutomatic_ || automaticDepth_ != frame.depth)) {
        automatic_ = automaticStretch(frame);
        haveAutomatic_ = true;
        automaticDepth_ = frame.depth;
    }
    StretchPoints applied;
    const std::vector<uint8_t>& table = tableFor(frame.depth, settings, applied);

    const bool colourOut = frame.channels == 3 || settings.overlay;
    QImage image(frame.width, frame.height,
                 colourOut ? QImage::Format_RGB888 : QImage::Format_Grayscale8);
    if (image.isNull()) return image;
    const int channels = frame.channels;
    const size_t rowSamples = static_cast<size_t>(frame.width) * channels;
    if (settings.stretch == StretchMode::Off && !settings.overlay) {
        // Nothing to change: the rows as the live view has always shown them.
        for (int y = 0; y < frame.height; ++y) {
            uchar* out = image.scanLine(y);
            if (frame.depth == 8) {
                std::memcpy(out, frame.pixels + y * rowSamples, rowSamples);
            } else {
                const unsigned char* msb = frame.pixels + 2 * y * rowSamples + 1;
                for (size_t i = 0; i < rowSamples; ++i) out[i] = msb[2 * i];
            }
        }
    } else
        for (int y = 0; y < frame.height; ++y) {
            uchar* out = image.scanLine(y);
            const size_t firstPixel = static_cast<size_t>(y) * frame.width;
            for (int x = 0; x < frame.width; ++x) {
                const size_t pixel = firstPixel + x;
                const size_t s = pixel * channels;
                if (settings.overlay) {
                    if (clippedHighPixel(frame, pixel)) {
                        out[0] = 255, out[1] = 0, out[2] = 0;
                        out += 3;
                        continue;
                    }
                    if (clippedLowPixel(frame, pixel)) {
                        out[0] = 0, out[1] = 0, out[2] = 255;
                        out += 3;
                        continue;
                    }
                }
                if (channels == 3) {
                    out[0] = table[frame.sample(s)];
                    out[1] = table[frame.sample(s + 1)];
                    out[2] = table[frame.sample(s + 2)];
                    out += 3;
                } else if (colourOut) {
                    out[0] = out[1] = out[2] = table[frame.sample(s)];
                    out += 3;
                } else {
                    *out++ = table[frame.sample(s)];
                }
            }
        }

    if (due && report) {
        lastReport_ = now;
        FrameReport r;
        r.histogram = computeHistogram(frame);
        r.points = applied;
        r.focusMode = settings.focus;
        if (settings.focus != FocusMode::Off) {
            PixelBox box = settings.focusBox.empty()
                               ? defaultFocusBox(frame.width, frame.height)
                               : clipBox(settings.focusBox, frame.width, frame.height);
            r.focusBox = box;
            r.focus = settings.focus == FocusMode::Stars ? halfFluxRadius(frame, box)
                                                         : gradientEnergy(frame, box);
        }
        auto samples = std::make_shared<FrameSamples>();
        samples->width = frame.width;
        samples->height = frame.height;
        samples->depth = frame.depth;
        samples->channels = frame.channels;
        const size_t bytes = frame.samples() * (frame.depth == 16 ? 2 : 1);
        samples->bytes.assign(frame.pixels, frame.pixels + bytes);
        r.samples = std::move(samples);
        report(std::move(r));
    }
    return image;
}

} // namespace hx::app
