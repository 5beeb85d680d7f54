#include "sim/Scene.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>

namespace hx::sim {

namespace {

constexpr int kTileShift = 10;
constexpr int kTile = 1 << kTileShift;

/// Small deterministic generator for scene construction (the scenes never depend on the
/// camera's seed, so one tile serves every camera).
struct SceneRandom {
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    double uniform() { return double(next() >> 11) * (1.0 / 9007199254740992.0); }
    double range(double lo, double hi) { return lo + (hi - lo) * uniform(); }
};

/// Float canvas the scenes paint on before quantisation.
struct Canvas {
    std::vector<float> rgb = std::vector<float>(size_t(kTile) * kTile * 3, 0.0f);
    float* at(int x, int y) {
        x &= kTile - 1;
        y &= kTile - 1;
        return &rgb[(size_t(y) * kTile + x) * 3];
    }
};

/// Stained tissue: pale background, cells with darker cytoplasm and purple nuclei.
void paintSlide(Canvas& c) {
    for (int y = 0; y < kTile; ++y) {
        for (int x = 0; x < kTile; ++x) {
            const double t = 2.0 * M_PI / kTile;
            const double shade = 0.04 * std::sin(t * 2 * x + 1.0) + 0.03 * std::cos(t * 3 * y);
            float* p = c.at(x, y);
            p[0] = float(0.92 + shade);
            p[1] = float(0.84 + shade);
            p[2] = float(0.88 + shade);
        }
    }
    SceneRandom r{0x51de};
    for (int cell = 0; cell < 420; ++cell) {
        const double cx = r.range(0, kTile), cy = r.range(0, kTile);
        const double ra = r.range(9, 28), rb = ra * r.range(0.6, 1.0);
        const double angle = r.range(0, M_PI);
        const double ca = std::cos(angle), sa = std::sin(angle);
        const double nr = ra * r.range(0.25, 0.4);
        const double stain = r.range(0.7, 1.0);
        const int box = int(ra) + 2;
        for (int dy = -box; dy <= box; ++dy) {
            for (int dx = -box; dx <= box; ++dx) {
                const double u = (dx * ca + dy * sa) / ra, v = (-dx * sa + dy * ca) / rb;
                const double d = u * u + v * v;
                if (d > 1.0) continue;
                float* p = c.at(int(cx) + dx, int(cy) + dy);
                const double nd = (dx * dx + dy * dy) / (nr * nr);
                if (nd <= 1.0) { // nucleus
                    p[0] = float(0.38 * stain);
                    p[1] = float(0.20 * stain);
                    p[2] = float(0.55 * stain);
                } else { // cytoplasm, darker towards the membrane
                    const double rim = d > 0.85 ? 0.8 : 1.0;
                    p[0] = float(0.86 * rim);
                    p[1] = float(0.52 * rim * stain);
                    p[2] = float(0.70 * rim);
                }
            }
        }
    }
}

/// Dark sky with a faint glow and stars of many magnitudes and colours.
void paintStars(Canvas& c) {
    for (int y = 0; y < kTile; ++y) {
        for (int x = 0; x < kTile; ++x) {
            const double dx = (x - 700.0) / 180.0, dy = (y - 300.0) / 120.0;
            const double glow = 0.05 * std::exp(-(dx * dx + dy * dy));
            float* p = c.at(x, y);
            p[0] = float(0.02 + glow);
            p[1] = float(0.02 + glow * 0.5);
            p[2] = float(0.03 + glow * 0.8);
        }
    }
    SceneRandom r{0x57a5};
    for (int star = 0; star < 1800; ++star) {
        const double sx = r.range(0, kTile), sy = r.range(0, kTile);
        const double peak = std::pow(10.0, -r.range(0, 2.5)); // five magnitudes
        const double sigma = r.range(0.7, 1.4);
        const double tint = r.range(-0.3, 0.3);
        for (int dy = -4; dy <= 4; ++dy) {
            for (int dx = -4; dx <= 4; ++dx) {
                const double ox = int(sx) + dx - sx, oy = int(sy) + dy - sy;
                const double a = peak * std::exp(-(ox * ox + oy * oy) / (2 * sigma * sigma));
                float* p = c.at(int(sx) + dx, int(sy) + dy);
                p[0] += float(a * (1 + tint));
                p[1] += float(a);
                p[2] += float(a * (1 - tint));
            }
        }
    }
}

/// Colour bars, grey steps and line patterns of rising frequency, laid out in the top three
/// quarters of the tile (what a 4:3 sensor sees); mid grey below.
void paintChart(Canvas& c) {
    static const float bars[8][3] = {{1, 1, 1}, {1, 1, 0}, {0, 1, 1}, {0, 1, 0},
                                     {1, 0, 1}, {1, 0, 0}, {0, 0, 1}, {0, 0, 0}};
    for (int y = 0; y < kTile; ++y) {
        for (int x = 0; x < kTile; ++x) {
            float* p = c.at(x, y);
            float v[3];
            if (y < kTile * 9 / 32) {
                const float* b = bars[x * 8 / kTile];
                v[0] = 0.05f + 0.9f * b[0];
                v[1] = 0.05f + 0.9f * b[1];
                v[2] = 0.05f + 0.9f * b[2];
            } else if (y < kTile * 15 / 32) {
                const float g = float(x * 11 / kTile) / 10.0f;
                v[0] = v[1] = v[2] = g;
            } else if (y >= kTile * 3 / 4) {
                v[0] = v[1] = v[2] = 0.5f;
            } else {
                static const int periods[] = {2, 3, 4, 6, 8, 12, 16, 32};
                const int period = periods[x * 8 / kTile];
                const bool on = (y < kTile * 39 / 64) ? (x % period) < period / 2
                                                      : ((x / period + y / period) & 1);
                v[0] = v[1] = v[2] = on ? 0.9f : 0.1f;
            }
            p[0] = v[0];
            p[1] = v[1];
            p[2] = v[2];
        }
    }
}

uint8_t quantise(float v) {
    return uint8_t(std::clamp(v, 0.0f, 1.0f) * 255.0f + 0.5f);
}

std::shared_ptr<SceneTile> fromCanvas(const Canvas& c, double driftX, double driftY) {
    auto tile = std::make_shared<SceneTile>();
    tile->shift = kTileShift;
    tile->driftX = driftX;
    tile->driftY = driftY;
    const size_t n = size_t(kTile) * kTile;
    for (auto& plane : tile->planes) plane.resize(n);
    for (size_t i = 0; i < n; ++i) {
        const float* p = &c.rgb[i * 3];
        tile->planes[0][i] = quantise(p[0]);
        tile->planes[1][i] = quantise(p[1]);
        tile->planes[2][i] = quantise(p[2]);
        tile->planes[3][i] = quantise(0.299f * p[0] + 0.587f * p[1] + 0.114f * p[2]);
    }
    return tile;
}

} // namespace

std::shared_ptr<const SceneTile> sceneTile(SimScene scene, const std::array<double, 3>& flat) {
    if (scene == SimScene::Flat) {
        auto tile = std::make_shared<SceneTile>();
        for (int i = 0; i < 3; ++i) tile->planes[i] = {quantise(float(flat[i]))};
        tile->planes[3] = {quantise(float(0.299 * flat[0] + 0.587 * flat[1] + 0.114 * flat[2]))};
        return tile;
    }
    static std::mutex mutex;
    static std::map<SimScene, std::shared_ptr<const SceneTile>> cache;
    std::lock_guard lock(mutex);
    auto& slot = cache[scene];
    if (!slot) {
        Canvas canvas;
        switch (scene) {
        case SimScene::StarField:
            paintStars(canvas);
            slot = fromCanvas(canvas, 0.25, 0.1);
            break;
        case SimScene::TestChart:
            paintChart(canvas);
            slot = fromCanvas(canvas, 0.0, 0.0);
            break;
        default:
            paintSlide(canvas);
            slot = fromCanvas(canvas, 0.7, 0.3);
            break;
        }
    }
    return slot;
}

} // namespace hx::sim
