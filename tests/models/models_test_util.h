// Opening model objects on simulated cameras and reading what they sent.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "camera/CamBase.h"
#include "camera/CamDerive/CamFactory.h"
#include "sim/SimCamera.h"

/// Every product id the library makes a model for.
inline constexpr unsigned short kModelProductIds[] = {
    0xA003, 0xA004, 0xA00D, 0xA005, 0xA006, 0xA007, 0xA008, 0xA009, 0xA00A, 0xA00B,
    0xA811, 0xAC11, 0xC003, 0xC004, 0xC005, 0xC006, 0xC007, 0xC008, 0xC009, 0xC00A,
    0xC00B, 0xC00C, 0xC811, 0xD001, 0xD004, 0xD006, 0xE001, 0xE004, 0xE006, 0xE008,
    0xE009, 0xE00A, 0xE00B, 0xE00C, 0xE80A, 0xE80C, 0xF007, 0xF008, 0xF00B};

/// The hardware generations of a product that make its model behave differently (other tables
/// at claim, another frame format), the simulator's default (0) first.
inline std::vector<uint16_t> modelGenerations(unsigned short productId) {
    switch (productId) {
    case 0xA008:
    case 0xE80C:
        return {0, 0xA001};
    case 0xC004:
        return {0, 0xA100};
    case 0xE00A:
        return {0, 0xA001, 0xA004, 0xB001};
    case 0xE00B:
        return {0, 0xA001, 0xB001};
    case 0xE00C:
        return {0, 0xA001, 0xA004};
    default:
        return {0};
    }
}

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
