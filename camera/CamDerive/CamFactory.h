// The model factory: which camera class a USB product id makes.
#pragma once

#include <memory>

class CamBase;

/// Halvex camera vendor id; every supported camera reports it.
inline constexpr unsigned short kHalvexVendorId = 0x0547;

/// Creates the camera object for a product id, or null for another vendor or an unknown id.
/// Only constructs: the device is neither opened nor sent anything.
std::unique_ptr<CamBase> _create_device(unsigned short productId, unsigned short vendorId);
/// True when the model table has a class for the product id (of the Halvex vendor).
bool _has_model(unsigned short productId);
