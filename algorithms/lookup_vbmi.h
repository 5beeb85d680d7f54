// A 256-byte table in four 512-bit registers, looked up 64 bytes at a time with byte permutes:
// shared by the kernels built for AVX-512 with VBMI (their callers check the processor).
#pragma once

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#include <cstdint>

namespace hx::algorithms::detail {

struct Table256 {
    __m512i part[4];
};

__attribute__((target("avx512f,avx512bw,avx512vbmi"))) inline Table256
loadTable256(const uint8_t* t) {
    Table256 r;
    for (int q = 0; q < 4; ++q) r.part[q] = _mm512_loadu_si512(t + 64 * q);
    return r;
}

/// 64 bytes through the table: two two-register byte permutes and a blend on the top bit.
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) inline __m512i lookup256(const Table256& t,
                                                                                __m512i v) {
    const __m512i low = _mm512_permutex2var_epi8(t.part[0], v, t.part[1]);
    const __m512i high = _mm512_permutex2var_epi8(t.part[2], v, t.part[3]);
    return _mm512_mask_blend_epi8(_mm512_movepi8_mask(v), low, high);
}

} // namespace hx::algorithms::detail
#endif
