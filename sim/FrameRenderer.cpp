#include "sim/FrameRenderer.h"

#include <algorithm>
#include <cmath>
#include <mutex>

namespace hx::sim {

namespace {

constexpr size_t kGaussCount = size_t(1) << 20;
constexpr size_t kGaussPad = 65536;    // a row never wraps: sensor rows are at most 65535 wide
constexpr float kGaussScale = 2048.0f; // table entries are standard normals in Q11
constexpr int kSigmaShift = 6;         // noise table step in 16-bit counts
constexpr int kSigmaEntries = (65536 >> kSigmaShift) + 1;
constexpr float kVignetteStrength = 0.3f;

/// splitmix64: seeds and per-row noise offsets.
uint64_t mix(uint64_t z) {
    z += 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

/// Standard normal samples shared by every camera: a frame picks a random window of this
/// table for each row instead of drawing a variate per pixel.
const int16_t* gaussTable() {
    static std::vector<int16_t> table;
    static std::once_flag once;
    std::call_once(once, [] {
        table.resize(kGaussCount + kGaussPad);
        uint64_t state = 0x6a0551;
        for (size_t i = 0; i < table.size(); i += 2) {
            state = mix(state);
            const double u1 = (double((state >> 11) + 1)) * (1.0 / 9007199254740993.0);
            state = mix(state);
            const double u2 = double(state >> 11) * (1.0 / 9007199254740992.0);
            const double r = std::sqrt(-2.0 * std::log(u1));
            const double a = r * std::cos(2 * M_PI * u2) * kGaussScale;
            const double b = r * std::sin(2 * M_PI * u2) * kGaussScale;
            table[i] = int16_t(std::clamp(std::lround(a), -32767l, 32767l));
            if (i + 1 < table.size())
                table[i + 1] = int16_t(std::clamp(std::lround(b), -32767l, 32767l));
        }
    });
    return table.data();
}

/// Plane (0 red, 1 green, 2 blue, 3 luminance) of the mosaic cell at (row & 1, column & 1).
int bayerPlane(int code, int row, int column) {
    static const int kCells[5][2][2] = {
        {{3, 3}, {3, 3}}, // monochrome
        {{2, 1}, {1, 0}}, // BGGR
        {{1, 2}, {0, 1}}, // GBRG
        {{0, 1}, {1, 2}}, // RGGB
        {{1, 0}, {2, 1}}, // GRBG
    };
    if (code < 0 || code > 4) code = 0;
    return kCells[code][row & 1][column & 1];
}

constexpr float kResponse[4] = {0.85f, 1.0f, 0.75f, 1.0f}; // relative quantum efficiency

} // namespace

FrameRenderer::FrameRenderer(const SensorProfile& profile, const SimOptions& options)
    : profile_(profile), options_(options), tile_(sceneTile(options.scene, options.flatColour)),
      sigma_(kSigmaEntries) {
    gaussTable();
}

/// Precomputes what depends only on the frame geometry: sensor positions, vignetting and
/// the hot pixels that fall inside the frame.
void FrameRenderer::prepareShape(const FrameShape& shape, int fullWidth, int fullHeight) {
    if (shapeValid_ && shape.width == shape_.width && shape.height == shape_.height &&
        shape.originX == shape_.originX && shape.originY == shape_.originY &&
        shape.step == shape_.step && fullWidth == hotForWidth_ && fullHeight == hotForHeight_)
        return;
    shape_ = shape;
    shapeValid_ = true;
    const int w = std::max(shape.width, 0), h = std::max(shape.height, 0);
    const double halfDiagonal = std::max(
        1.0, 0.5 * std::sqrt(double(fullWidth) * fullWidth + double(fullHeight) * fullHeight));
    sensorX_.resize(w);
    vignetteX_.resize(w);
    columnIndex_.resize(w);
    vignetteY_.resize(h);
    for (int x = 0; x < w; ++x) {
        sensorX_[x] = float(shape.originX + (x + 0.5) * shape.step);
        const double n = (sensorX_[x] - 0.5 * fullWidth) / halfDiagonal;
        const double v = 1.0 / (1.0 + kVignetteStrength * n * n);
        vignetteX_[x] = options_.vignetting ? float(v * v) : 1.0f;
    }
    for (int y = 0; y < h; ++y) {
        const double sy = shape.originY + (y + 0.5) * shape.step;
        const double n = (sy - 0.5 * fullHeight) / halfDiagonal;
        const double v = 1.0 / (1.0 + kVignetteStrength * n * n);
        vignetteY_[y] = options_.vignetting ? float(v * v) : 1.0f;
    }

    if (fullWidth != hotForWidth_ || fullHeight != hotForHeight_) {
        hotForWidth_ = fullWidth;
        hotForHeight_ = fullHeight;
        hot_.clear();
        if (options_.hotPixels && fullWidth > 0 && fullHeight > 0) {
            const size_t count = size_t(double(fullWidth) * fullHeight * profile_.hotPixelFraction);
            uint64_t state = mix(options_.seed ^ 0x407b1c5ull);
            for (size_t i = 0; i < count; ++i) {
                state = mix(state);
                const float x = float((state >> 32) % uint64_t(fullWidth));
                const float y = float((state & 0xFFFFFFFFu) % uint64_t(fullHeight));
                state = mix(state);
                const double magnitude = double(state >> 11) * (1.0 / 9007199254740992.0);
                hot_.push_back({x, y, float(2000.0 * std::pow(100.0, magnitude))});
            }
        }
    }
    hotInShape_.clear();
    if (shape.step > 0) {
        for (const HotPixel& p : hot_) {
            const double ox = std::floor((p.x + 0.5 - shape.originX) / shape.step);
            const double oy = std::floor((p.y + 0.5 - shape.originY) / shape.step);
            if (ox < 0 || oy < 0 || ox >= w || oy >= h) continue;
            hotInShape_.push_back({uint32_t(oy * w + ox), p.rate});
        }
    }
}

bool FrameRenderer::render(const RenderParams& params, const std::atomic<bool>& abort) {
    const FrameShape& shape = params.shape;
    prepareShape(shape, params.fullWidth, params.fullHeight);
    const int w = std::max(shape.width, 0), h = std::max(shape.height, 0);
    width_ = w;
    height_ = h;
    if (samples_.size() < size_t(w) * h) samples_.resize(size_t(w) * h);

    // Per-frame constants, all in 16-bit counts.
    const double countsPerElectron = params.gain * 65535.0 / profile_.fullWell;
    const double exposureS = std::max(params.exposureMs, 0.0) / 1000.0;
    const double thermal = std::exp2((params.temperature - 25.0) / 6.0);
    const float signalScale = float(profile_.fluxPerMs * std::max(params.exposureMs, 0.0) *
                                    shape.binGain * countsPerElectron / 255.0);
    const float dark = float(profile_.darkCurrent * thermal * exposureS * countsPerElectron);
    const float black = float(params.blackCounts);
    const double readCounts = profile_.readNoise * countsPerElectron;
    for (int i = 0; i < kSigmaEntries; ++i) {
        const double mean = double(i << kSigmaShift) + (1 << (kSigmaShift - 1));
        const double sigma = std::sqrt(readCounts * readCounts + mean * countsPerElectron);
        sigma_[i] = options_.noise ? float(sigma / kGaussScale) : 0.0f;
    }

    // Scene position of this frame.
    const SceneTile& tile = *tile_;
    const double scale =
        double(tile.size()) / std::max(1, std::max(params.fullWidth, params.fullHeight));
    const double moves = options_.motion ? double(params.frameNumber) : 0.0;
    const double driftX = tile.driftX * moves, driftY = tile.driftY * moves;
    const int mask = tile.mask();
    for (int x = 0; x < w; ++x)
        columnIndex_[x] = int(int64_t(std::floor(sensorX_[x] * scale + driftX)) & mask);

    const int16_t* gauss = gaussTable();
    uint64_t rng = mix(options_.seed ^ mix(params.frameNumber + 1));
    const float* vx = vignetteX_.data();
    const int* columns = columnIndex_.data();
    const float* sigma = sigma_.data();

    for (int y = 0; y < h; ++y) {
        if ((y & 63) == 0 && abort.load(std::memory_order_relaxed)) return false;
        const double sy = shape.originY + (y + 0.5) * shape.step;
        const int row = int(int64_t(std::floor(sy * scale + driftY)) & mask);
        const size_t rowOffset = size_t(row) << tile.shift;
        const int phaseY = y + shape.bayerPhaseY;
        const int planeEven = bayerPlane(params.bayer, phaseY, shape.bayerPhaseX);
        const int planeOdd = bayerPlane(params.bayer, phaseY, shape.bayerPhaseX + 1);
        const uint8_t* source[2] = {tile.planes[planeEven].data() + rowOffset,
                                    tile.planes[planeOdd].data() + rowOffset};
        const float rowScale = signalScale * vignetteY_[y];
        const float factor[2] = {rowScale * kResponse[planeEven], rowScale * kResponse[planeOdd]};
        rng = mix(rng);
        const int16_t* noise = gauss + (rng >> 16) % kGaussCount;
        uint16_t* out = samples_.data() + size_t(y) * w;
        for (int x = 0; x < w; ++x) {
            const int p = x & 1;
            const float mean = float(source[p][columns[x]]) * factor[p] * vx[x] + dark;
            const int level = int(std::min(mean, 65535.0f)) >> kSigmaShift;
            float v = mean + sigma[level] * float(noise[x]) + black;
            v = std::clamp(v, 0.0f, 65535.0f);
            out[x] = uint16_t(v);
        }
    }

    // Hot pixels: strong dark current that grows with exposure and temperature.
    const float hotScale = float(thermal * exposureS * countsPerElectron);
    for (const auto& [offset, rate] : hotInShape_) {
        const float v = float(samples_[offset]) + rate * hotScale;
        samples_[offset] = uint16_t(std::min(v, 65535.0f));
    }
    return !abort.load();
}

RenderedFrame FrameRenderer::frame() const {
    return {samples_.data(), width_, height_};
}

std::vector<std::pair<int, int>> FrameRenderer::hotPixels(const FrameShape& shape, int fullWidth,
                                                          int fullHeight) {
    prepareShape(shape, fullWidth, fullHeight);
    std::vector<std::pair<int, int>> result;
    const int w = std::max(shape.width, 1);
    for (const auto& entry : hotInShape_)
        result.emplace_back(int(entry.first % uint32_t(w)), int(entry.first / uint32_t(w)));
    return result;
}

} // namespace hx::sim
