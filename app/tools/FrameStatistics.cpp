#include "app/tools/FrameStatistics.h"

#include <algorithm>
#include <cmath>

namespace hx::app {

PixelBox clipBox(PixelBox box, int width, int height) {
    const int x0 = std::max(box.x, 0), y0 = std::max(box.y, 0);
    const int x1 = std::min(box.x + box.width, width), y1 = std::min(box.y + box.height, height);
    if (x1 <= x0 || y1 <= y0) return {};
    return {x0, y0, x1 - x0, y1 - y0};
}

Histogram computeHistogram(const FrameView& frame) {
    Histogram h;
    if (!frame.pixels || frame.width <= 0 || frame.height <= 0) return h;
    h.channels = frame.channels;
    h.pixels = static_cast<uint64_t>(frame.width) * frame.height;
    const size_t pixels = h.pixels;
    const size_t step = frame.depth == 16 ? 2 : 1;
    const unsigned char* msb = frame.pixels + (step - 1);
    if (frame.channels == 1) {
        auto& bins = h.bins[0];
        for (size_t p = 0; p < pixels; ++p) ++bins[msb[p * step]];
        h.clippedLow = bins[0];
        h.clippedHigh = bins[255];
        return h;
    }
    auto &r = h.bins[0], &g = h.bins[1], &b = h.bins[2];
    for (size_t p = 0; p < pixels; ++p) {
        const unsigned char* s = msb + 3 * step * p;
        const unsigned v0 = s[0], v1 = s[step], v2 = s[2 * step];
        ++r[v0];
        ++g[v1];
        ++b[v2];
        h.clippedLow += (v0 == 0) | (v1 == 0) | (v2 == 0);
        h.clippedHigh += (v0 == 255) | (v1 == 255) | (v2 == 255);
    }
    return h;
}

StretchPoints automaticStretch(const FrameView& frame) {
    constexpr int kBins = 4096;
    const size_t n = frame.samples();
    if (!frame.pixels || n == 0) return {};
    std::vector<uint32_t> bins(kBins, 0);
    const int shift = frame.depth == 16 ? 4 : 0;
    const int scale = frame.depth == 16 ? 1 : 16; // 8-bit samples spread over the same bins
    for (size_t i = 0; i < n; ++i) ++bins[(frame.sample(i) >> shift) * scale];
    auto percentile = [&](double fraction) {
        const double target = fraction * static_cast<double>(n);
        double seen = 0;
        for (int b = 0; b < kBins; ++b) {
            seen += bins[b];
            if (seen >= target) return b;
        }
        return kBins - 1;
    };
    const int blackBin = percentile(0.01);
    int whiteBin = percentile(0.999) + (frame.depth == 16 ? 1 : scale);
    whiteBin = std::min(std::max(whiteBin, blackBin + 1), kBins);
    StretchPoints points{blackBin / double(kBins), whiteBin / double(kBins)};
    if (points.white <= points.black) points.black = points.white - 1.0 / kBins;
    return points;
}

std::vector<uint8_t> stretchTable(int depth, StretchPoints points) {
    const int full = depth == 16 ? 65535 : 255;
    std::vector<uint8_t> table(static_cast<size_t>(full) + 1);
    const double black = points.black * full;
    double span = (points.white - points.black) * full;
    if (span <= 0) span = 1e-9;
    for (int v = 0; v <= full; ++v) {
        const double out = (v - black) / span * 255.0;
        table[v] = static_cast<uint8_t>(std::clamp(std::lround(out), 0L, 255L));
    }
    return table;
}

namespace {

/// Luminance of the box's pixels as fractions of the full scale, row by row.
std::vector<double> boxLuminance(const FrameView& frame, const PixelBox& box) {
    std::vector<double> lum;
    lum.reserve(static_cast<size_t>(box.width) * box.height);
    const double scale = 1.0 / (frame.fullScale() * static_cast<double>(frame.channels));
    for (int y = box.y; y < box.y + box.height; ++y)
        for (int x = box.x; x < box.x + box.width; ++x) {
            const size_t first = (static_cast<size_t>(y) * frame.width + x) * frame.channels;
            int sum = 0;
            for (int c = 0; c < frame.channels; ++c) sum += frame.sample(first + c);
            lum.push_back(sum * scale);
        }
    return lum;
}

double median(std::vector<double> values) {
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

} // namespace

double halfFluxRadius(const FrameView& frame, PixelBox box) {
    box = clipBox(box, frame.width, frame.height);
    if (!frame.pixels || box.width < 3 || box.height < 3) return -1.0;
    const std::vector<double> lum = boxLuminance(frame, box);
    const double background = median(lum);
    // Noise of the background from the median absolute deviation, so that noise alone does
    // not count as the star's flux.
    std::vector<double> deviation(lum.size());
    for (size_t i = 0; i < lum.size(); ++i) deviation[i] = std::abs(lum[i] - background);
    const double threshold = background + 3.0 * 1.4826 * median(deviation);
    const auto peak = std::max_element(lum.begin(), lum.end());
    if (*peak <= threshold) return -1.0;
    const int peakX = static_cast<int>((peak - lum.begin()) % box.width);
    const int peakY = static_cast<int>((peak - lum.begin()) / box.width);
    const double radius = std::min(box.width, box.height) / 2.0;

    auto weight = [&](int x, int y) { return std::max(0.0, lum[y * box.width + x] - threshold); };
    double sum = 0, cx = 0, cy = 0;
    for (int y = 0; y < box.height; ++y)
        for (int x = 0; x < box.width; ++x) {
            if (std::hypot(x - peakX, y - peakY) > radius) continue;
            const double w = weight(x, y);
            sum += w;
            cx += w * x;
            cy += w * y;
        }
    if (sum <= 0) return -1.0;
    cx /= sum;
    cy /= sum;
    double flux = 0, moment = 0;
    for (int y = 0; y < box.height; ++y)
        for (int x = 0; x < box.width; ++x) {
            const double r = std::hypot(x - cx, y - cy);
            if (std::hypot(x - peakX, y - peakY) > radius) continue;
            const double w = weight(x, y);
            flux += w;
            moment += w * r;
        }
    return flux > 0 ? moment / flux : -1.0;
}

double gradientEnergy(const FrameView& frame, PixelBox box) {
    box = clipBox(box, frame.width, frame.height);
    if (!frame.pixels || box.width < 2 || box.height < 2) return -1.0;
    const std::vector<double> lum = boxLuminance(frame, box);
    double energy = 0;
    size_t terms = 0;
    for (int y = 0; y < box.height; ++y)
        for (int x = 0; x < box.width; ++x) {
            const double v = lum[y * box.width + x];
            if (x + 1 < box.width) {
                const double d = lum[y * box.width + x + 1] - v;
                energy += d * d;
                ++terms;
            }
            if (y + 1 < box.height) {
                const double d = lum[(y + 1) * box.width + x] - v;
                energy += d * d;
                ++terms;
            }
        }
    return terms ? energy / terms : -1.0;
}

} // namespace hx::app
