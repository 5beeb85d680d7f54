// Model objects of the CMOS cameras opened on simulated devices, and frame buffers with a guard.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "sim/SimCamera.h"
#include "tests/models/models_test_util.h"

using CmosCamera = OpenedModel;

/// A camera object opened (and claimed) on a simulated device of the same product id.
inline CmosCamera openCmos(uint16_t productId, uint16_t bcd = 0, hx::sim::SimOptions options = {}) {
    return openModel(productId, bcd, options);
}

/// The register writes (request 0xB7) the device received, as (register, value).
inline std::vector<std::pair<uint16_t, uint16_t>> registerWrites(const hx::sim::SimCamera& device) {
    std::vector<std::pair<uint16_t, uint16_t>> writes;
    for (const auto& r : device.requestLog())
        if (r.bRequest == 0xB7) writes.emplace_back(r.wIndex, r.wValue);
    return writes;
}

/// Options for a dark, noiseless, motionless scene.
inline hx::sim::SimOptions darkScene() {
    hx::sim::SimOptions o;
    o.scene = hx::sim::SimScene::Flat;
    o.flatColour = {0.0, 0.0, 0.0};
    o.noise = false;
    o.hotPixels = false;
    o.vignetting = false;
    o.motion = false;
    return o;
}

inline const _ezImage* record(const std::vector<unsigned char>& buffer) {
    return reinterpret_cast<const _ezImage*>(buffer.data());
}
