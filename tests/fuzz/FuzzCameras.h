// The camera variants the fuzz targets drive: one of each read-out family and hardware
// generation, opened on a simulated device of the same product id.
#pragma once

#include <cstdint>
#include <memory>

#include "camera/CamBase.h"
#include "camera/CamDerive/CamFactory.h"
#include "sim/SimCamera.h"

namespace hxfuzz {

struct CameraVariant {
    uint16_t productId;
    uint16_t bcdDevice;
};

/// CCD: head marker, end marker, padded, plain; CMOS: end marker, block trailer, "XTDT" with
/// 12-bit samples, line-counted with and without head, no marker, checkerboard mono.
inline constexpr CameraVariant kVariants[] = {
    {0xD006, 0}, {0xD004, 0},      {0xE00C, 0xA001}, {0xE00A, 0xB001}, {0xE004, 0xB003},
    {0xE001, 0}, {0xA811, 0},      {0xA004, 0xB002}, {0xA003, 0xB002}, {0xC00C, 0},
    {0xA00A, 0}, {0xC005, 0},      {0xC005, 0xA001}, {0xF007, 0},      {0xF00B, 0},
    {0xAC11, 0}, {0xA008, 0xA001}, {0xC004, 0xA100}, {0xA00D, 0xB002}, {0xA006, 0xB002},
    {0xC009, 0}, {0xA005, 0},      {0xE80C, 0xA001}, {0xC811, 0},
};
inline constexpr int kVariantCount = sizeof kVariants / sizeof kVariants[0];

/// Simulator settings that render quickly: what the read-outs look at is the layout of the
/// bytes, not the picture.
inline hx::sim::SimOptions quickRendering() {
    hx::sim::SimOptions o;
    o.scene = hx::sim::SimScene::Flat;
    o.noise = false;
    o.hotPixels = false;
    o.vignetting = false;
    o.motion = false;
    o.repeatPicture = true;
    return o;
}

/// A camera object opened on its own device (which may be a subclass of the simulator).
struct OpenCamera {
    std::unique_ptr<CamBase> camera;
    std::shared_ptr<hx::sim::SimCamera> device;
};

inline OpenCamera openCamera(const CameraVariant& v, std::shared_ptr<hx::sim::SimCamera> device) {
    OpenCamera c;
    c.camera = _create_device(v.productId, kHalvexVendorId);
    c.device = device ? std::move(device)
                      : hx::sim::makeSimCamera(v.productId, v.bcdDevice, quickRendering());
    if (!c.camera || !c.device || c.camera->__open_driver(c.device) != 0) c.camera.reset();
    return c;
}

} // namespace hxfuzz
