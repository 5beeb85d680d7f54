// The simulated CMOS cameras (VA, V3 and VS models): their sensor profiles and wire formats.
#pragma once

#include <cstdint>

namespace hx::sim {

/// Registers the profiles and wire formats of every CMOS product id and its hardware
/// generations. Safe to call any number of times, from any thread.
void registerCmosSimulation();

/// Parts of the registration, one per family of wire formats.
void registerVaFormats();
void registerVsFormats();

/// The head-marker format of the base read-out for a product id: a 512-byte head beginning with
/// ten 0x88 bytes, then the pixels, the whole transfer head + width x height x bits / 8 rounded
/// down to 512-byte blocks, one frame per acknowledge.
void registerHeadFormat(uint16_t productId);

} // namespace hx::sim
