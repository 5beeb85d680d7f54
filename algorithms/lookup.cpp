// Byte-table lookups over interleaved samples. The vector kernel looks 64 bytes up at once in a
// 256-byte table held in four registers (two two-register byte permutes and a blend on the top
// bit); the plain loop does the rest.
#include "algorithms/lookup.h"

#include "algorithms/simd.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define HX_LOOKUP_VBMI 1
#define HX_VBMI __attribute__((target("avx512f,avx512bw,avx512vbmi")))
#endif

namespace hx::algorithms {

namespace {

void mapPlain(uint8_t* p, size_t bytes, const ByteLayout& layout) {
    const size_t n = static_cast<size_t>(layout.period);
    for (size_t i = 0; i < bytes; i += n)
        for (size_t j = 0; j < n && i + j < bytes; ++j)
            if (const uint8_t* t = layout.table[j]) p[i + j] = t[p[i + j]];
}

#ifdef HX_LOOKUP_VBMI
// The compiler's AVX-512 headers start some results from a deliberately undefined vector,
// which its own uninitialised-use warning then reports; nothing here reads such a value.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

/// 64 bytes through a 256-byte table held in four registers.
HX_VBMI inline __m512i lookup256(const __m512i t[4], __m512i v) {
    const __m512i low = _mm512_permutex2var_epi8(t[0], v, t[1]);
    const __m512i high = _mm512_permutex2var_epi8(t[2], v, t[3]);
    return _mm512_mask_blend_epi8(_mm512_movepi8_mask(v), low, high);
}

/// Blocks of 192 bytes (a whole number of groups for every period); returns the bytes done.
HX_VBMI size_t mapBytesVbmi(uint8_t* p, size_t bytes, int count, const uint8_t* const distinct[6],
                            const uint64_t masks[6][3]) {
    constexpr size_t kBlock = 192;
    if (count == 0) return bytes; // nothing changes
    __m512i tables[6][4];
    for (int k = 0; k < count; ++k)
        for (int q = 0; q < 4; ++q) tables[k][q] = _mm512_loadu_si512(distinct[k] + 64 * q);
    size_t i = 0;
    for (; i + kBlock <= bytes; i += kBlock)
        for (int v = 0; v < 3; ++v) {
            uint8_t* at = p + i + 64 * v;
            const __m512i in = _mm512_loadu_si512(at);
            __m512i out = in;
            for (int k = 0; k < count; ++k)
                out = _mm512_mask_mov_epi8(out, masks[k][v], lookup256(tables[k], in));
            _mm512_storeu_si512(at, out);
        }
    return i;
}

#pragma GCC diagnostic pop
#endif

} // namespace

bool vectorLookups() {
    return useAvx512Vbmi();
}

ByteMapper::ByteMapper(const ByteLayout& layout) : layout_(layout) {
    const int period = layout.period;
    valid_ = period == 1 || period == 2 || period == 3 || period == 6;
    if (!valid_) return;
    int slot[6] = {-1, -1, -1, -1, -1, -1};
    for (int j = 0; j < period; ++j) {
        const uint8_t* t = layout.table[j];
        if (!t) continue;
        for (int k = 0; k < count_ && slot[j] < 0; ++k)
            if (distinct_[k] == t || std::memcmp(distinct_[k], t, 256) == 0) slot[j] = k;
        if (slot[j] < 0) {
            distinct_[count_] = t;
            slot[j] = count_++;
        }
    }
    for (int v = 0; v < 3; ++v)
        for (int i = 0; i < 64; ++i)
            if (const int s = slot[(64 * v + i) % period]; s >= 0) masks_[s][v] |= uint64_t{1} << i;
}

void ByteMapper::apply(uint8_t* data, size_t bytes) const {
    if (!data || !valid_) return;
    size_t done = 0;
#ifdef HX_LOOKUP_VBMI
    if (useAvx512Vbmi()) done = mapBytesVbmi(data, bytes, count_, distinct_, masks_);
#endif
    mapPlain(data + done, bytes - done, layout_);
}

void mapBytes(uint8_t* data, size_t bytes, const ByteLayout& layout) {
    ByteMapper(layout).apply(data, bytes);
}

} // namespace hx::algorithms
