// Opening model objects on simulated cameras and reading what they sent.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "camera/CamBase.h"
#include "camera/CamDerive/CamFactory.h"
#include "sim/SimCamera.h"

/// A camera object opened (and so claimed) on a simulated device of the same product id.
struct OpenedModel {
    std::unique_ptr<CamBase> camera;
    std::shared_ptr<hx::sim::SimCamera> device;
};

/// Creates the model for productId and opens it on a simulated camera of that product id and
/// hardware generation (0: the simulator's default) showing the given scene.
inline OpenedModel openModel(uint16_t productId, uint16_t bcdDevice,
                             hx::sim::SimOptions options = {}) {
    OpenedModel m;
    m.camera = _create_device(productId, kHalvexVendorId);
    m.device = hx::sim::makeSimCamera(productId, bcdDevice, options);
    EXPECT_NE(m.camera, nullptr);
    EXPECT_NE(m.device, nullptr);
    if (m.camera && m.device) {
        EXPECT_EQ(m.camera->__open_driver(m.device), 0);
    }
    return m;
}

/// The last sensor register write (request 0xB7) the device received.
inline hx::sim::LoggedRequest lastRegisterWrite(const hx::sim::SimCamera& device) {
    const auto log = device.requestLog();
    for (auto it = log.rbegin(); it != log.rend(); ++it)
        if (it->bRequest == 0xB7) return *it;
    ADD_FAILURE() << "no register write";
    return {};
}

/// The name a counter at value n gives to the next camera of a model.
inline std::string nextName(const char* display, int n) {
    return std::string(display) + static_cast<char>(48 + n);
}
