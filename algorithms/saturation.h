// The colour step with saturation computed instead of looked up. Saturation moves an outer
// sample v of a pixel (red or blue) away from its green x: x + trunc(s (v - x) / 100), clamped
// to 0 ... 255, the rule the saturation table is filled with. The table needs the pixel's green
// to choose a row, a lookup by two inputs that vector registers cannot do; the rule itself is a
// few 16-bit operations, so pixels are computed 64 at a time with the per-channel tables before
// and after it as byte permutes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hx::algorithms {

/// One colour step with saturation over pixels of three samples (0, green, 2): every sample
/// goes through gain[c], the outer two are saturated against the gained green, then every
/// sample goes through tone[c]. For 16-bit little-endian samples (`wide`) that is their high
/// bytes; the low bytes go through low[c]. No table that is used may be null.
struct SaturationStep {
    const uint8_t* gain[3] = {};
    const uint8_t* tone[3] = {};
    const uint8_t* low[3] = {}; ///< 16-bit samples only
    int saturation = 100;       ///< 0 ... 255
    bool wide = false;
};

/// The saturation (0 ... 255) whose rule fills the 256 x 256 table (row = green), or -1 when
/// the table follows the rule for none of them.
int saturationOfTable(const uint8_t* table);

/// True when saturatePixels runs in vector registers (AVX-512 with byte permutes, vectors on).
bool vectorSaturation();

/// Applies the step to the first pixels of `rgb` in whole blocks (64 pixels of 3 bytes, 32 of
/// 6 bytes) and returns how many
/// it did (0 without vector registers, or for a saturation outside 0 ... 255); the rest is the
/// caller's. The same result as the tables composed one after the other.
size_t saturatePixels(uint8_t* rgb, size_t pixels, const SaturationStep& step);

} // namespace hx::algorithms
