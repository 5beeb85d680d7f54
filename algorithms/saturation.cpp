// The colour step with saturation, 192 bytes per block: the three samples (high bytes of 16-bit
// samples) are split into one register each, looked up through the gain tables, the outer two
// saturated against green in 16-bit lanes, looked up through the tone tables and put back in pixel
// order.
#include "algorithms/saturation.h"

#include "algorithms/lookup_vbmi.h"
#include "algorithms/simd.h"
#include "algorithms/tone.h"

#include <array>
#include <cstring>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define HX_SATURATION_VBMI 1
#define HX_VBMI __attribute__((target("avx512f,avx512bw,avx512vbmi")))
#endif

namespace hx::algorithms {

int saturationOfTable(const uint8_t* table) {
    if (!table) return -1;
    // Row 0 at v = 100 holds min(s, 255): the only candidate.
    const int s = table[100];
    std::vector<uint8_t> expect(256 * 256);
    __matrix_saturation(s, expect.data(), 256);
    return std::memcmp(expect.data(), table, expect.size()) == 0 ? s : -1;
}

bool vectorSaturation() {
    return useAvx512Vbmi();
}

#ifdef HX_SATURATION_VBMI
namespace {

// The compiler's AVX-512 headers start some results from a deliberately undefined vector,
// which its own uninitialised-use warning then reports; nothing here reads such a value.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#ifndef __clang__ // clang has no such warning
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

/// Byte indices that split 192 bytes of pixels (64 of 3 bytes, or 32 of 6 bytes, whose high
/// bytes are the samples) into one register per sample and put them back.
template <bool Wide> struct Shuffles {
    static constexpr int kPixelBytes = Wide ? 6 : 3, kPixels = 192 / kPixelBytes, kE = Wide ? 2 : 1;
    /// Sample c of pixel i is byte P i + e c + e - 1: from the first two registers below 128,
    /// else from the third (`fromThird` marks those lanes).
    uint8_t split[3][64] = {}, splitThird[3][64] = {};
    uint64_t fromThird[3] = {};
    /// Byte j of output register r, where it is sample c of pixel i: samples 0 and 1 by a
    /// two-register permute, sample 2 (`fromLast` lanes) by a one-register permute; low[c][r]
    /// marks the low bytes of sample c in register r (16-bit samples).
    uint8_t join[3][64] = {}, joinLast[3][64] = {};
    uint64_t fromLast[3] = {}, low[3][3] = {};
    Shuffles() {
        for (int c = 0; c < 3; ++c)
            for (int i = 0; i < kPixels; ++i) {
                const int at = kPixelBytes * i + kE * c + kE - 1;
                split[c][i] = static_cast<uint8_t>(at & 127);
                splitThird[c][i] = static_cast<uint8_t>(at & 63);
                if (at >= 128) fromThird[c] |= uint64_t{1} << i;
            }
        for (int r = 0; r < 3; ++r)
            for (int j = 0; j < 64; ++j) {
                const int at = 64 * r + j, pixel = at / kPixelBytes, c = at % kPixelBytes / kE;
                const uint64_t bit = uint64_t{1} << j;
                if (at % kE != kE - 1) {
                    low[c][r] |= bit;
                    continue;
                }
                join[r][j] = static_cast<uint8_t>(c == 1 ? 64 + pixel : pixel);
                joinLast[r][j] = static_cast<uint8_t>(pixel);
                if (c == 2) fromLast[r] |= bit;
            }
    }
};

using detail::loadTable256;
using detail::lookup256;

/// x + trunc(s (v - x) / 100) clamped to 0 ... 255 for 32 lanes of 16 bits. |v - x| s is at
/// most 255 x 255, and for every such product p, p / 100 = ((p >> 2) * 41944 >> 16) >> 4.
HX_VBMI inline __m256i saturate32(__m256i x8, __m256i v8, __m512i s) {
    const __m512i x = _mm512_cvtepu8_epi16(x8), d = _mm512_sub_epi16(_mm512_cvtepu8_epi16(v8), x);
    const __m512i p = _mm512_mullo_epi16(_mm512_abs_epi16(d), s);
    __m512i q = _mm512_srli_epi16(
        _mm512_mulhi_epu16(_mm512_srli_epi16(p, 2), _mm512_set1_epi16(static_cast<short>(41944))),
        4);
    q = _mm512_mask_sub_epi16(q, _mm512_movepi16_mask(d), _mm512_setzero_si512(), q);
    const __m512i e = _mm512_max_epi16(_mm512_add_epi16(x, q), _mm512_setzero_si512());
    return _mm512_cvtusepi16_epi8(e); // above 255 saturates to 255
}

/// The rule over the lanes of a block: 64, or the 32 of 6-byte pixels.
template <bool Wide> HX_VBMI inline __m512i saturateLanes(__m512i x, __m512i v, __m512i s) {
    if constexpr (Wide)
        return _mm512_zextsi256_si512(
            saturate32(_mm512_castsi512_si256(x), _mm512_castsi512_si256(v), s));
    const __m256i low = saturate32(_mm512_castsi512_si256(x), _mm512_castsi512_si256(v), s);
    const __m256i high =
        saturate32(_mm512_extracti64x4_epi64(x, 1), _mm512_extracti64x4_epi64(v, 1), s);
    return _mm512_inserti64x4(_mm512_castsi256_si512(low), high, 1);
}

template <bool Wide>
HX_VBMI size_t saturateVbmi(uint8_t* p, size_t pixels, const SaturationStep& step) {
    using Layout = Shuffles<Wide>;
    static const Layout k;
    __m512i split[3], splitThird[3], join[3], joinLast[3];
    for (int c = 0; c < 3; ++c) {
        split[c] = _mm512_loadu_si512(k.split[c]);
        splitThird[c] = _mm512_loadu_si512(k.splitThird[c]);
        join[c] = _mm512_loadu_si512(k.join[c]);
        joinLast[c] = _mm512_loadu_si512(k.joinLast[c]);
    }
    detail::Table256 gain[3], tone[3], low[3];
    for (int c = 0; c < 3; ++c) {
        gain[c] = loadTable256(step.gain[c]);
        tone[c] = loadTable256(step.tone[c]);
        if constexpr (Wide) low[c] = loadTable256(step.low[c]);
    }
    const __m512i s = _mm512_set1_epi16(static_cast<short>(step.saturation));
    constexpr size_t kPixels = Layout::kPixels;
    size_t i = 0;
    for (; i + kPixels <= pixels; i += kPixels) {
        uint8_t* at = p + Layout::kPixelBytes * i;
        const __m512i in[3] = {_mm512_loadu_si512(at), _mm512_loadu_si512(at + 64),
                               _mm512_loadu_si512(at + 128)};
        __m512i sample[3];
        for (int n = 0; n < 3; ++n) {
            const __m512i first = _mm512_permutex2var_epi8(in[0], split[n], in[1]);
            sample[n] = lookup256(
                gain[n], _mm512_mask_permutexvar_epi8(first, k.fromThird[n], splitThird[n], in[2]));
        }
        const __m512i green = sample[1];
        sample[0] = lookup256(tone[0], saturateLanes<Wide>(green, sample[0], s));
        sample[2] = lookup256(tone[2], saturateLanes<Wide>(green, sample[2], s));
        sample[1] = lookup256(tone[1], green);
        for (int r = 0; r < 3; ++r) {
            const __m512i two = _mm512_permutex2var_epi8(sample[0], join[r], sample[1]);
            __m512i out = _mm512_mask_permutexvar_epi8(two, k.fromLast[r], joinLast[r], sample[2]);
            if constexpr (Wide)
                for (int c = 0; c < 3; ++c)
                    out = _mm512_mask_mov_epi8(out, k.low[c][r], lookup256(low[c], in[r]));
            _mm512_storeu_si512(at + 64 * r, out);
        }
    }
    return i;
}

#pragma GCC diagnostic pop

} // namespace
#endif

size_t saturatePixels(uint8_t* rgb, size_t pixels, const SaturationStep& step) {
    if (!rgb || step.saturation < 0 || step.saturation > 255) return 0;
    for (int c = 0; c < 3; ++c)
        if (!step.gain[c] || !step.tone[c] || (step.wide && !step.low[c])) return 0;
#ifdef HX_SATURATION_VBMI
    if (vectorSaturation())
        return step.wide ? saturateVbmi<true>(rgb, pixels, step)
                         : saturateVbmi<false>(rgb, pixels, step);
#endif
    return 0;
}

} // namespace hx::algorithms
