// Scene tiles the simulated sensor looks at: wrapped square images, built once per process.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "sim/SimCamera.h"

namespace hx::sim {

/// A square scene that wraps at its edges; four planes: red, green, blue and luminance,
/// 8-bit radiance each (255 = full radiance).
struct SceneTile {
    int shift = 0; ///< the tile is (1 << shift) pixels square
    std::array<std::vector<uint8_t>, 4> planes;
    double driftX = 0; ///< tile pixels the scene moves per frame
    double driftY = 0;

    int size() const { return 1 << shift; }
    int mask() const { return size() - 1; }
};

/// The shared tile of a scene (the flat scene is one pixel of the given colour).
std::shared_ptr<const SceneTile> sceneTile(SimScene scene, const std::array<double, 3>& flat);

} // namespace hx::sim
