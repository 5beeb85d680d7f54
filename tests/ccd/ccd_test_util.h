// CCD camera objects opened on simulated cameras, and what the cameras were sent.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "sim/SimCamera.h"
#include "tests/models/models_test_util.h"

using Ccd = OpenedModel;

/// A camera object claimed on a simulated camera of the same product id and generation.
inline Ccd openCcd(uint16_t productId, uint16_t bcd, hx::sim::SimOptions options = {}) {
    return openModel(productId, bcd, options);
}

/// A dark, still, noise-free scene: what a capped camera sees.
inline hx::sim::SimOptions cappedLens() {
    hx::sim::SimOptions o;
    o.scene = hx::sim::SimScene::Flat;
    o.flatColour = {0.0, 0.0, 0.0};
    o.noise = false;
    o.motion = false;
    o.vignetting = false;
    return o;
}

/// Requests with this bRequest, oldest first.
inline std::vector<hx::sim::LoggedRequest> requestsOf(const hx::sim::SimCamera& device,
                                                      uint8_t bRequest) {
    std::vector<hx::sim::LoggedRequest> out;
    for (const auto& r : device.requestLog())
        if (r.bRequest == bRequest) out.push_back(r);
    return out;
}

inline const _ezImage* imageOf(const std::vector<unsigned char>& buffer) {
    return reinterpret_cast<const _ezImage*>(buffer.data());
}
