// Reproducible random bytes for the kernel tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace hxtest {

inline std::vector<uint8_t> randomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
}

} // namespace hxtest
