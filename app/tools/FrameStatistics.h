// Measurements of one decoded frame for the live tools: histogram with clipped pixels, display
// stretch points and table, and focus figures. Plain C++ on the frame's samples; nothing here
// writes the frame.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace hx::app {

/// A decoded frame as the show thread holds it: packed rows of width x channels samples, one
/// byte per sample at depth 8, two little-endian bytes at depth 16.
struct FrameView {
    const unsigned char* pixels = nullptr;
    int width = 0, height = 0, depth = 8, channels = 1;

    size_t samples() const { return static_cast<size_t>(width) * height * channels; }
    /// Sample i at full depth.
    int sample(size_t i) const {
        return depth == 16 ? pixels[2 * i] | (pixels[2 * i + 1] << 8) : pixels[i];
    }
    /// Sample i reduced to 8 bits as the live view shows it: its most significant byte.
    int displayByte(size_t i) const { return depth == 16 ? pixels[2 * i + 1] : pixels[i]; }
    int fullScale() const { return depth == 16 ? 65535 : 255; }
};

/// A rectangle of image pixels: columns x .. x + width - 1, rows y .. y + height - 1.
struct PixelBox {
    int x = 0, y = 0, width = 0, height = 0;
    bool empty() const { return width <= 0 || height <= 0; }
};

/// The box clipped to the frame; empty when nothing of it lies inside.
PixelBox clipBox(PixelBox box, int width, int height);

/// Counts of the samples' display bytes per channel (one channel for grey). A pixel is clipped
/// low when any of its samples lies in bin 0, high when any lies in bin 255: what the live view
/// cannot tell apart from black or white.
struct Histogram {
    int channels = 0;
    std::array<std::array<uint32_t, 256>, 3> bins{};
    uint64_t pixels = 0;
    uint64_t clippedLow = 0;
    uint64_t clippedHigh = 0;
};

Histogram computeHistogram(const FrameView& frame);

/// Whether a pixel's samples reach the ends of the display range.
inline bool clippedLowPixel(const FrameView& frame, size_t pixel) {
    for (int c = 0; c < frame.channels; ++c)
        if (frame.displayByte(pixel * frame.channels + c) == 0) return true;
    return false;
}
inline bool clippedHighPixel(const FrameView& frame, size_t pixel) {
    for (int c = 0; c < frame.channels; ++c)
        if (frame.displayByte(pixel * frame.channels + c) == 255) return true;
    return false;
}

/// Black and white points of the display stretch as fractions of the full scale, black below
/// white.
struct StretchPoints {
    double black = 0.0;
    double white = 1.0;
};

/// Points that spread the frame's own range over the display: black at the 1st percentile of all
/// samples, white at the 99.9th, at least 1/4096 of the full scale apart.
StretchPoints automaticStretch(const FrameView& frame);

/// Display byte for every sample value (256 entries at depth 8, 65536 at depth 16): 0 at and
/// below black, 255 at and above white, linear between, rounded to nearest.
std::vector<uint8_t> stretchTable(int depth, StretchPoints points);

/// Half-flux radius in pixels of the brightest star in the box: the flux-weighted mean
/// distance from the star's centroid of the pixels above the box's background (its median)
/// within the box. Negative when the box holds nothing above the background.
double halfFluxRadius(const FrameView& frame, PixelBox box);

/// Mean squared brightness difference between neighbouring pixels in the box (luminance,
/// samples scaled to 0..1): larger for a sharper image. Negative for a box too small to measure.
double gradientEnergy(const FrameView& frame, PixelBox box);

} // namespace hx::app
