// AVX2 kernels of the bilinear demosaic. Compiled for the baseline instruction set; only the
// functions marked with the avx2 target use AVX2 and are called after a run-time check.
#include "algorithms/demosaic_internal.h"
#include "algorithms/simd.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <immintrin.h>

namespace hx::algorithms::detail {

namespace {

/// Byte-shuffle masks that interleave three planar 16-byte vectors (elements of `size` bytes)
/// into three consecutive 16-byte outputs: masks[out][plane].
template <int size> constexpr std::array<std::array<std::array<char, 16>, 3>, 3> interleaveMasks() {
    std::array<std::array<std::array<char, 16>, 3>, 3> m{};
    for (int o = 0; o < 3; ++o)
        for (int i = 0; i < 16; ++i) {
            const int byte = 16 * o + i;     // position in the 48-byte output
            const int element = byte / size; // sample position in the output
            const int pixel = element / 3;
            const int plane = element % 3;
            for (int p = 0; p < 3; ++p)
                m[o][p][i] = p == plane ? char(pixel * size + byte % size) : char(0x80);
        }
    return m;
}

constexpr auto kMasks8 = interleaveMasks<1>();
constexpr auto kMasks16 = interleaveMasks<2>();

/// Interleaves three planes, each holding two independent 16-byte halves, into 2 x 48 bytes:
/// the low halves go to dst[0..47], the high halves to dst[48..95].
__attribute__((target("avx2"))) inline void
store3(uint8_t* dst, __m256i s0, __m256i s1, __m256i s2,
       const std::array<std::array<std::array<char, 16>, 3>, 3>& masks) {
    for (int o = 0; o < 3; ++o) {
        const __m256i m0 = _mm256_broadcastsi128_si256(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(masks[o][0].data())));
        const __m256i m1 = _mm256_broadcastsi128_si256(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(masks[o][1].data())));
        const __m256i m2 = _mm256_broadcastsi128_si256(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(masks[o][2].data())));
        const __m256i v = _mm256_or_si256(
            _mm256_or_si256(_mm256_shuffle_epi8(s0, m0), _mm256_shuffle_epi8(s1, m1)),
            _mm256_shuffle_epi8(s2, m2));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16 * o), _mm256_castsi256_si128(v));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 48 + 16 * o),
                         _mm256_extracti128_si256(v, 1));
    }
}

__attribute__((target("avx2"))) inline __m256i load(const void* p) {
    return _mm256_loadu_si256(static_cast<const __m256i*>(p));
}

/// Red, green and blue planes of one kind of site.
struct Rgb16 {
    __m256i r, g, b;
};

/// Looks 16 interpolated 8-bit pixels (values in 16-bit lanes) up in the colour-correction
/// table with gathers. Each gather reads the 3 entry bytes plus one spare byte; the table has
/// room after its last entry for that.
__attribute__((target("avx2"))) inline Rgb16 correctU8(__m256i r, __m256i g, __m256i b,
                                                       const unsigned char* table) {
    const __m256i byte = _mm256_set1_epi32(0xFF);
    const __m256i rg = _mm256_or_si256(r, _mm256_slli_epi16(g, 8));
    const __m256i keyLo = _mm256_unpacklo_epi16(rg, b);
    const __m256i keyHi = _mm256_unpackhi_epi16(rg, b);
    const auto* base = reinterpret_cast<const int*>(table);
    const __m256i lo =
        _mm256_i32gather_epi32(base, _mm256_add_epi32(keyLo, _mm256_slli_epi32(keyLo, 1)), 1);
    const __m256i hi =
        _mm256_i32gather_epi32(base, _mm256_add_epi32(keyHi, _mm256_slli_epi32(keyHi, 1)), 1);
    // Entry bytes are blue, green, red; packing the low and high halves back restores the
    // lane order of the inputs.
    return {_mm256_packus_epi32(_mm256_and_si256(_mm256_srli_epi32(lo, 16), byte),
                                _mm256_and_si256(_mm256_srli_epi32(hi, 16), byte)),
            _mm256_packus_epi32(_mm256_and_si256(_mm256_srli_epi32(lo, 8), byte),
                                _mm256_and_si256(_mm256_srli_epi32(hi, 8), byte)),
            _mm256_packus_epi32(_mm256_and_si256(lo, byte), _mm256_and_si256(hi, byte))};
}

/// The same for 8 interpolated 16-bit pixels (values in 32-bit lanes): the key is built from
/// the high bytes, and each corrected byte replaces the high byte of its sample.
__attribute__((target("avx2"))) inline Rgb16 correctU16(__m256i r, __m256i g, __m256i b,
                                                        const unsigned char* table) {
    const __m256i highByte = _mm256_set1_epi32(0xFF00);
    const __m256i lowByte = _mm256_set1_epi32(0xFF);
    const __m256i key =
        _mm256_or_si256(_mm256_or_si256(_mm256_slli_epi32(_mm256_and_si256(b, highByte), 8),
                                        _mm256_and_si256(g, highByte)),
                        _mm256_srli_epi32(r, 8));
    const __m256i e = _mm256_i32gather_epi32(reinterpret_cast<const int*>(table),
                                             _mm256_add_epi32(key, _mm256_slli_epi32(key, 1)), 1);
    return {_mm256_or_si256(_mm256_and_si256(_mm256_srli_epi32(e, 8), highByte),
                            _mm256_and_si256(r, lowByte)),
            _mm256_or_si256(_mm256_and_si256(e, highByte), _mm256_and_si256(g, lowByte)),
            _mm256_or_si256(_mm256_and_si256(_mm256_slli_epi32(e, 8), highByte),
                            _mm256_and_si256(b, lowByte))};
}

// ---- colour correction computed directly ------------------------------------------------------
//
// The table's formula (k1 - k2 d) x - w (k3 y + k4 z), with d = 75 - w, w = min(255 - x, 75)
// and k1 - 75 k2 = 1, is V = x + w (k2 x - s), s = k3 y + k4 z. Its error in single precision
// (u = 2^-24) against the real value, in the worst case: s = fmadd(k3, y, k4 z) <= 2.93
// carries 6.9 u (the coefficients' own rounding included), k2 x <= 2.31 carries 1.2 u and
// t = fmsub(k2, x, s) <= 5.24 adds 4 u, so w t (w exact, at most 75) carries 910 u; the last
// rounding adds 512 u at most: 1420 u = 8.5e-5 together. The errors that actually occur are
// far smaller: the test that runs all 16.7 million inputs against the table proves that a
// margin of 2^-14 decides every entry correctly. About one input in four thousand lies that
// close to a whole number and is evaluated again.
constexpr float kDirectMargin = 1.0f / 16384;

/// V - margin and V + margin of output channel k for 8 lanes, truncated towards zero.
__attribute__((target("avx2,fma"))) inline void directChannel(__m256 x, __m256 y, __m256 z, int k,
                                                              const DirectCcm& c, __m256i& below,
                                                              __m256i& above) {
    const __m256 w = _mm256_min_ps(_mm256_sub_ps(_mm256_set1_ps(255.0f), x), _mm256_set1_ps(75.0f));
    const __m256 s =
        _mm256_fmadd_ps(_mm256_set1_ps(c.k3[k]), y, _mm256_mul_ps(_mm256_set1_ps(c.k4[k]), z));
    __m256 v = _mm256_fmadd_ps(w, _mm256_fmsub_ps(_mm256_set1_ps(c.k2[k]), x, s), x);
    // A channel at full scale is exactly 255 in the table; V is only close to it.
    if (c.fullScale)
        v = _mm256_blendv_ps(v, _mm256_set1_ps(255.5f),
                             _mm256_cmp_ps(x, _mm256_set1_ps(255.0f), _CMP_EQ_OQ));
    const __m256 e = _mm256_set1_ps(kDirectMargin);
    below = _mm256_cvttps_epi32(_mm256_sub_ps(v, e));
    above = _mm256_cvttps_epi32(_mm256_add_ps(v, e));
}

/// Entries for the lanes whose margins truncated differently, in double precision.
template <typename Lane, int N>
inline void exactLanes(unsigned bad, const Lane (&in)[3][N], Lane (&out)[3][N], int shift) {
    for (int j = 0; j < N; ++j) {
        if (!((bad >> j) & 1)) continue;
        unsigned char e[3];
        exactEntry(in[2][j] >> shift, in[1][j] >> shift, in[0][j] >> shift, e);
        const Lane low = shift ? Lane(0xFF) : Lane(0);
        out[2][j] = Lane((e[0] << shift) | (in[2][j] & low));
        out[1][j] = Lane((e[1] << shift) | (in[1][j] & low));
        out[0][j] = Lane((e[2] << shift) | (in[0][j] & low));
    }
}

/// Replaces the lanes in bad of v (red, green, blue) by the table's entries of the inputs r, g,
/// b, whose samples are at bit `Shift` of each lane. Rare, so kept out of the kernels' register
/// allocation.
template <typename Lane, int N, int Shift>
__attribute__((target("avx2"), noinline, cold)) Rgb16 exactRgb(unsigned bad, __m256i r, __m256i g,
                                                               __m256i b, Rgb16 v) {
    alignas(32) Lane in[3][N], res[3][N];
    const __m256i inputs[3] = {r, g, b}, results[3] = {v.r, v.g, v.b};
    for (int k = 0; k < 3; ++k) {
        _mm256_store_si256(reinterpret_cast<__m256i*>(in[k]), inputs[k]);
        _mm256_store_si256(reinterpret_cast<__m256i*>(res[k]), results[k]);
    }
    exactLanes<Lane, N>(bad, in, res, Shift);
    return {_mm256_load_si256(reinterpret_cast<const __m256i*>(res[0])),
            _mm256_load_si256(reinterpret_cast<const __m256i*>(res[1])),
            _mm256_load_si256(reinterpret_cast<const __m256i*>(res[2]))};
}

/// Direct correction of 16 interpolated 8-bit pixels (values in 16-bit lanes). Inlined into
/// the kernels, so that its planes stay in registers.
__attribute__((target("avx2,fma"), always_inline)) inline Rgb16
directU8(__m256i r, __m256i g, __m256i b, const DirectCcm& c) {
    const __m256i zero = _mm256_setzero_si256();
    __m256i lo[2][3], hi[2][3];
    for (int h = 0; h < 2; ++h) {
        // Lanes 0-3 and 8-11, then 4-7 and 12-15: packing the halves back restores the order.
        const __m256 fb =
            _mm256_cvtepi32_ps(h ? _mm256_unpackhi_epi16(b, zero) : _mm256_unpacklo_epi16(b, zero));
        const __m256 fg =
            _mm256_cvtepi32_ps(h ? _mm256_unpackhi_epi16(g, zero) : _mm256_unpacklo_epi16(g, zero));
        const __m256 fr =
            _mm256_cvtepi32_ps(h ? _mm256_unpackhi_epi16(r, zero) : _mm256_unpacklo_epi16(r, zero));
        directChannel(fb, fg, fr, 0, c, lo[h][0], hi[h][0]);
        directChannel(fg, fb, fr, 1, c, lo[h][1], hi[h][1]);
        directChannel(fr, fb, fg, 2, c, lo[h][2], hi[h][2]);
    }
    const __m256i top = _mm256_set1_epi16(255);
    __m256i out[3], diff = zero;
    for (int k = 0; k < 3; ++k) {
        const __m256i below = _mm256_min_epu16(_mm256_packus_epi32(lo[0][k], lo[1][k]), top);
        out[k] = _mm256_min_epu16(_mm256_packus_epi32(hi[0][k], hi[1][k]), top);
        diff = _mm256_or_si256(diff, _mm256_xor_si256(below, out[k]));
    }
    const unsigned same = unsigned(_mm256_movemask_epi8(_mm256_cmpeq_epi16(diff, zero)));
    if (same == 0xFFFFFFFFu) [[likely]]
        return {out[2], out[1], out[0]};
    unsigned bad = 0;
    for (int j = 0; j < 16; ++j) bad |= ((~same >> (2 * j)) & 1u) << j;
    return exactRgb<uint16_t, 16, 0>(bad, r, g, b, {out[2], out[1], out[0]});
}

/// Direct correction of 8 interpolated 16-bit pixels (values in 32-bit lanes): the inputs are
/// the high bytes, each result replaces the high byte of its sample. Kept out of line: inlined,
/// it made the 16-bit kernel slower.
__attribute__((target("avx2,fma"), noinline)) Rgb16 directU16(__m256i r, __m256i g, __m256i b,
                                                              const DirectCcm& c) {
    const __m256 fr = _mm256_cvtepi32_ps(_mm256_srli_epi32(r, 8));
    const __m256 fg = _mm256_cvtepi32_ps(_mm256_srli_epi32(g, 8));
    const __m256 fb = _mm256_cvtepi32_ps(_mm256_srli_epi32(b, 8));
    __m256i lo[3], hi[3];
    directChannel(fb, fg, fr, 0, c, lo[0], hi[0]);
    directChannel(fg, fb, fr, 1, c, lo[1], hi[1]);
    directChannel(fr, fb, fg, 2, c, lo[2], hi[2]);
    const __m256i zero = _mm256_setzero_si256(), top = _mm256_set1_epi32(255);
    const __m256i lowByte = _mm256_set1_epi32(0xFF);
    __m256i out[3], diff = zero;
    for (int k = 0; k < 3; ++k) {
        const __m256i below = _mm256_min_epi32(_mm256_max_epi32(lo[k], zero), top);
        out[k] = _mm256_min_epi32(_mm256_max_epi32(hi[k], zero), top);
        diff = _mm256_or_si256(diff, _mm256_xor_si256(below, out[k]));
    }
    Rgb16 v{_mm256_or_si256(_mm256_slli_epi32(out[2], 8), _mm256_and_si256(r, lowByte)),
            _mm256_or_si256(_mm256_slli_epi32(out[1], 8), _mm256_and_si256(g, lowByte)),
            _mm256_or_si256(_mm256_slli_epi32(out[0], 8), _mm256_and_si256(b, lowByte))};
    const unsigned same =
        unsigned(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(diff, zero))));
    if (same == 0xFFu) [[likely]]
        return v;
    return exactRgb<uint32_t, 8, 8>(~same & 0xFFu, r, g, b, v);
}

#define HX_AVX512 __attribute__((target("avx2,fma,avx512f,avx512bw,avx512vl,avx512dq")))
// The compiler's AVX-512 headers start some results from a deliberately undefined vector,
// which its own uninitialised-use warning then reports; nothing here reads such a value.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#ifndef __clang__ // clang has no such warning
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

/// What a group of 16 pixels needs of the correction. With no input above 180 nothing fades:
/// the table's formula is then k1 x - n3 y - n4 z, three operations (each form is proven
/// against the table over every input it can meet). The full-scale override (where the table has
/// it) only runs for groups with an input at 255; elsewhere it changes no lane.
enum CorrectionMode { kNoFade = 0, kFade = 1, kFadeFullScale = 2 };

/// directChannel on 16 lanes: the truncated result (not yet clamped to 0 ... 255), and the
/// lanes whose two ends truncate differently.
template <int Mode>
HX_AVX512 inline __mmask16 directChannel16(__m512 x, __m512 y, __m512 z, int k, const DirectCcm& c,
                                           __m512i& result) {
    // Lanes whose two ends truncate differently are evaluated again; compared before the
    // clamp, that also takes the rare lanes whose ends differ only outside 0 ... 255.
    const __m512 e = _mm512_set1_ps(kDirectMargin);
    if constexpr (Mode == kNoFade) {
        // V + e = k1 x + e - n3 y - n4 z: the margin rides on the first product, and the
        // lower end is V + e less 2 e.
        const __m512 above =
            _mm512_fnmadd_ps(_mm512_set1_ps(c.n4[k]), z,
                             _mm512_fnmadd_ps(_mm512_set1_ps(c.n3[k]), y,
                                              _mm512_fmadd_ps(_mm512_set1_ps(c.k1[k]), x, e)));
        const __m512i below =
            _mm512_cvttps_epi32(_mm512_sub_ps(above, _mm512_set1_ps(2 * kDirectMargin)));
        result = _mm512_cvttps_epi32(above);
        return _mm512_cmpneq_epi32_mask(below, result);
    }
    const __m512 s =
        _mm512_fmadd_ps(_mm512_set1_ps(c.k3[k]), y, _mm512_mul_ps(_mm512_set1_ps(c.k4[k]), z));
    // V = x + w (k2 x - s), as above.
    const __m512 w = _mm512_min_ps(_mm512_sub_ps(_mm512_set1_ps(255.0f), x), _mm512_set1_ps(75.0f));
    // V + e is summed onto a base of 768, where the last place is worth e: the sum's bits less
    // the base's count V + e in units of e, so that its integer part is a shift away and the
    // lanes less than 2 e above a whole number (where V - e would truncate lower) have no low
    // bits but the last. Sums of 1024 or more (V >= 256) still give at least 256, sums below
    // 512 (V < -256) less than -256: both are clamped.
    constexpr float kBase = 768.0f;
    constexpr int kUnitBits = 14; // e = 2^-14, the last place of floats in 512 ... 1024
    static_assert(kDirectMargin == 1.0f / (1 << kUnitBits) && kBase + 256 <= 1024 &&
                  kBase - 256 >= 512);
    constexpr int kBaseBits = std::bit_cast<int>(kBase);
    constexpr int kNearWhole = ((1 << kUnitBits) - 1) & ~1; // the fraction bits but the lowest
    const __m512 xc = _mm512_add_ps(x, _mm512_set1_ps(kBase + kDirectMargin));
    __m512 g = _mm512_fmadd_ps(w, _mm512_fmsub_ps(_mm512_set1_ps(c.k2[k]), x, s), xc);
    if (Mode == kFadeFullScale)
        g = _mm512_mask_blend_ps(_mm512_cmp_ps_mask(x, _mm512_set1_ps(255.0f), _CMP_EQ_OQ), g,
                                 _mm512_set1_ps(255.5f + kBase + kDirectMargin));
    const __m512i units = _mm512_sub_epi32(_mm512_castps_si512(g), _mm512_set1_epi32(kBaseBits));
    result = _mm512_srai_epi32(units, kUnitBits);
    return _mm512_testn_epi32_mask(units, _mm512_set1_epi32(kNearWhole));
}

/// Replaces the lanes in bad of the results (red, green, blue) by the table's entries of the
/// inputs (all 0 ... 255). Rare, so kept out of the kernels' register allocation.
__attribute__((noinline, cold)) HX_AVX512 void exactLanes16(unsigned bad, const __m512i* in,
                                                            __m512i* res) {
    alignas(64) uint32_t inputs[3][16], fixed[3][16];
    for (int k = 0; k < 3; ++k) {
        _mm512_store_si512(inputs[k], in[k]);
        _mm512_store_si512(fixed[k], res[k]);
    }
    exactLanes<uint32_t, 16>(bad, inputs, fixed, 0);
    for (int k = 0; k < 3; ++k) res[k] = _mm512_load_si512(fixed[k]);
}

/// Direct correction of 16 pixels given as 32-bit lanes with inputs 0 ... 255: red, green and
/// blue are replaced by their corrected values, truncated but not clamped (a negative value
/// or one above 255 stands for 0 or 255).
template <int Mode>
HX_AVX512 inline void directCore16(__m512i& r, __m512i& g, __m512i& b, const DirectCcm& c) {
    const __m512 fr = _mm512_cvtepi32_ps(r), fg = _mm512_cvtepi32_ps(g), fb = _mm512_cvtepi32_ps(b);
    __m512i cb, cg, cr;
    const __mmask16 bad = _kor_mask16(_kor_mask16(directChannel16<Mode>(fb, fg, fr, 0, c, cb),
                                                  directChannel16<Mode>(fg, fb, fr, 1, c, cg)),
                                      directChannel16<Mode>(fr, fb, fg, 2, c, cr));
    if (__builtin_expect(!_kortestz_mask16_u8(bad, bad), 0)) {
        // Copies, so that the values stay in registers on the common path.
        const __m512i in[3] = {r, g, b};
        __m512i res[3] = {cr, cg, cb};
        exactLanes16(bad, in, res);
        cr = res[0], cg = res[1], cb = res[2];
    }
    r = cr, g = cg, b = cb;
}

/// A result byte put at bits Shift ... Shift + 7 of its lane over the bits of `in` below them.
template <int Shift> HX_AVX512 inline __m512i placeLanes(__m512i value, __m512i in) {
    const __m512i clamped =
        _mm512_min_epi32(_mm512_max_epi32(value, _mm512_setzero_si512()), _mm512_set1_epi32(255));
    if constexpr (Shift == 0)
        return clamped;
    else
        return _mm512_or_si512(_mm512_slli_epi32(clamped, Shift),
                               _mm512_and_si512(in, _mm512_set1_epi32(0xFF)));
}

/// Direct correction of 16 pixels given as 16 lanes of 32 bits, inputs in bits Shift ...
/// Shift + 7 (0 or 8): the result replaces those bits, the bits below are kept.
template <int Shift>
HX_AVX512 inline void directLanes16(__m512i& r, __m512i& g, __m512i& b, const DirectCcm& c) {
    __m512i xr = Shift ? _mm512_srli_epi32(r, Shift) : r;
    __m512i xg = Shift ? _mm512_srli_epi32(g, Shift) : g;
    __m512i xb = Shift ? _mm512_srli_epi32(b, Shift) : b;
    const __m512i top = _mm512_max_epu32(_mm512_max_epu32(xr, xg), xb);
    if (_mm512_cmpgt_epu32_mask(top, _mm512_set1_epi32(180)) == 0)
        directCore16<kNoFade>(xr, xg, xb, c);
    else if (!c.fullScale || _mm512_cmpeq_epi32_mask(top, _mm512_set1_epi32(255)) == 0)
        directCore16<kFade>(xr, xg, xb, c);
    else
        directCore16<kFadeFullScale>(xr, xg, xb, c);
    r = placeLanes<Shift>(xr, r);
    g = placeLanes<Shift>(xg, g);
    b = placeLanes<Shift>(xb, b);
}

/// 16 interpolated 8-bit pixels (values in 16-bit lanes), 16 lanes at once.
HX_AVX512 Rgb16 directU8Wide(__m256i r, __m256i g, __m256i b, const DirectCcm& c) {
    __m512i wr = _mm512_cvtepu16_epi32(r), wg = _mm512_cvtepu16_epi32(g),
            wb = _mm512_cvtepu16_epi32(b);
    directLanes16<0>(wr, wg, wb, c);
    return {_mm512_cvtepi32_epi16(wr), _mm512_cvtepi32_epi16(wg), _mm512_cvtepi32_epi16(wb)};
}

HX_AVX512 inline __m512i join(__m256i lo, __m256i hi) {
    return _mm512_inserti64x4(_mm512_zextsi256_si512(lo), hi, 1);
}

/// The two sites of 8 pairs of 16-bit pixels (values in 32-bit lanes) in one go.
HX_AVX512 void directU16Wide(Rgb16& ng, Rgb16& g, const DirectCcm& c) {

    __m512i r = join(ng.r, g.r), gr = join(ng.g, g.g), b = join(ng.b, g.b);
    directLanes16<8>(r, gr, b, c);
    ng = {_mm512_castsi512_si256(r), _mm512_castsi512_si256(gr), _mm512_castsi512_si256(b)};
    g = {_mm512_extracti64x4_epi64(r, 1), _mm512_extracti64x4_epi64(gr, 1),
         _mm512_extracti64x4_epi64(b, 1)};
}

#pragma GCC diagnostic pop

/// The correction of 16 interpolated 8-bit pixels (values in 16-bit lanes): computed, 16 lanes
/// at once where the processor allows, else through the table. Called directly, never through a
/// pointer, so that directU8 is inlined and its planes stay in registers.
__attribute__((target("avx2,fma"), always_inline)) inline Rgb16
correct8(__m256i r, __m256i g, __m256i b, const DirectCcm* direct, const unsigned char* table) {
    if (!direct) return correctU8(r, g, b, table);
    return direct->wide ? directU8Wide(r, g, b, *direct) : directU8(r, g, b, *direct);
}

} // namespace

bool useAvx512Correction() {
    static const bool yes = [] {
        __builtin_cpu_init();
        return hx::algorithms::avx512Allowed() && __builtin_cpu_supports("avx512f") &&
               __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
               __builtin_cpu_supports("avx512dq");
    }();
    return yes;
}

__attribute__((target("avx2,fma"))) size_t correctPixelsAvx2(uint8_t* rgb, size_t n,
                                                             const DirectCcm& c) {
    size_t done = 0;
    for (; done + 16 <= n; done += 16) {
        uint8_t* p = rgb + 3 * done;
        alignas(32) uint16_t plane[3][16];
        for (int j = 0; j < 16; ++j)
            for (int k = 0; k < 3; ++k) plane[k][j] = p[3 * j + k];
        const __m256i r = _mm256_load_si256(reinterpret_cast<const __m256i*>(plane[0]));
        const __m256i g = _mm256_load_si256(reinterpret_cast<const __m256i*>(plane[1]));
        const __m256i b = _mm256_load_si256(reinterpret_cast<const __m256i*>(plane[2]));
        const Rgb16 v = correct8(r, g, b, &c, nullptr);
        _mm256_store_si256(reinterpret_cast<__m256i*>(plane[0]), v.r);
        _mm256_store_si256(reinterpret_cast<__m256i*>(plane[1]), v.g);
        _mm256_store_si256(reinterpret_cast<__m256i*>(plane[2]), v.b);
        for (int j = 0; j < 16; ++j)
            for (int k = 0; k < 3; ++k) p[3 * j + k] = static_cast<uint8_t>(plane[k][j]);
    }
    return done;
}

/// 8-bit samples: a 16-bit lane at column x + 2k holds the pair's non-green sample (low byte)
/// and green sample (high byte), so one load yields both sites of 16 pairs; loads one pair to
/// the left and right give the neighbours. All sums fit in 16-bit lanes (at most 8 x 255).
__attribute__((target("avx2,fma"))) int
demosaicPairsAvx2U8(const uint8_t* up, const uint8_t* mid, const uint8_t* down, uint8_t* dst, int x,
                    int pairs, bool rowRed, const unsigned char* table, const DirectCcm* direct) {
    const __m256i low = _mm256_set1_epi16(0x00FF);
    const __m256i two = _mm256_set1_epi16(2);
    if (pairs < kAvx2PairsU8) return 0;
    // As in the 512-bit kernels, the pairs left over are taken by a last block that overlaps.
    for (int done = 0;; done = std::min(done + kAvx2PairsU8, pairs - kAvx2PairsU8)) {
        const int c = x + 2 * done;
        const __m256i u0 = load(up + c), d0 = load(down + c), m0 = load(mid + c);
        const __m256i um = load(up + c - 2), dm = load(down + c - 2), mm = load(mid + c - 2);
        const __m256i upn = load(up + c + 2), dpn = load(down + c + 2), mpn = load(mid + c + 2);

        const __m256i ak = _mm256_and_si256(m0, low);   // non-green site
        const __m256i bk = _mm256_srli_epi16(m0, 8);    // green site
        const __m256i bkm1 = _mm256_srli_epi16(mm, 8);  // green site one pair left
        const __m256i ak1 = _mm256_and_si256(mpn, low); // non-green one pair right
        const __m256i uB = _mm256_srli_epi16(u0, 8), dB = _mm256_srli_epi16(d0, 8);
        const __m256i aSum = _mm256_add_epi16(_mm256_and_si256(u0, low), _mm256_and_si256(d0, low));
        const __m256i aSum1 =
            _mm256_add_epi16(_mm256_and_si256(upn, low), _mm256_and_si256(dpn, low));
        const __m256i bSum = _mm256_add_epi16(uB, dB);
        const __m256i bSumM1 = _mm256_add_epi16(_mm256_srli_epi16(um, 8), _mm256_srli_epi16(dm, 8));

        // Non-green site: row colour as is, green from the 4 neighbours, cross from the diagonals.
        const __m256i ngGreen = _mm256_srli_epi16(
            _mm256_add_epi16(_mm256_add_epi16(aSum, _mm256_add_epi16(bkm1, bk)), two), 2);
        const __m256i ngCross =
            _mm256_srli_epi16(_mm256_add_epi16(_mm256_add_epi16(bSumM1, bSum), two), 2);
        // Green site: weighted green, row colour from left/right, cross from above/below.
        const __m256i gGreen = _mm256_srli_epi16(
            _mm256_add_epi16(_mm256_slli_epi16(bk, 2), _mm256_add_epi16(aSum, aSum1)), 3);
        const __m256i gRow = _mm256_avg_epu16(ak, ak1);
        const __m256i gCross = _mm256_avg_epu16(uB, dB);

        uint8_t* out = dst + 3 * c;
        if (direct || table) {
            const __m256i ngR = rowRed ? ak : ngCross, ngB = rowRed ? ngCross : ak;
            const __m256i gR = rowRed ? gRow : gCross, gB = rowRed ? gCross : gRow;
            const Rgb16 ng = correct8(ngR, ngGreen, ngB, direct, table);
            const Rgb16 g = correct8(gR, gGreen, gB, direct, table);
            store3(out, _mm256_or_si256(ng.r, _mm256_slli_epi16(g.r, 8)),
                   _mm256_or_si256(ng.g, _mm256_slli_epi16(g.g, 8)),
                   _mm256_or_si256(ng.b, _mm256_slli_epi16(g.b, 8)), kMasks8);
        } else {
            const __m256i rowPlane = _mm256_or_si256(ak, _mm256_slli_epi16(gRow, 8));
            const __m256i greenPlane = _mm256_or_si256(ngGreen, _mm256_slli_epi16(gGreen, 8));
            const __m256i crossPlane = _mm256_or_si256(ngCross, _mm256_slli_epi16(gCross, 8));
            if (rowRed)
                store3(out, rowPlane, greenPlane, crossPlane, kMasks8);
            else
                store3(out, crossPlane, greenPlane, rowPlane, kMasks8);
        }
        if (done + kAvx2PairsU8 == pairs) break;
    }
    return pairs;
}

#define HX_AVX512VBMI                                                                              \
    __attribute__((target("avx2,fma,avx512f,avx512bw,avx512vl,avx512dq,avx512vbmi")))
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#ifndef __clang__ // clang has no such warning
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace {

/// Permutes that interleave three planes of N samples (red, green, blue) into 3 N samples of
/// pixels, pixel n's samples at position at(n) of their planes: output vector o takes red and
/// green through first[o], then blue through blue[o] where mask[o] is set.
template <typename T, int N> struct PixelPermutes {
    std::array<std::array<T, N>, 3> first{}, blue{};
    std::array<uint64_t, 3> mask{};
};

template <typename T, int N, class At> constexpr PixelPermutes<T, N> pixelPermutes(At at) {
    PixelPermutes<T, N> t{};
    for (int o = 0; o < 3; ++o)
        for (int j = 0; j < N; ++j) {
            const int n = N * o + j, pixel = n / 3, sample = n % 3, pos = at(pixel);
            t.first[o][j] = T(sample == 1 ? N + pos : pos);
            t.blue[o][j] = T(pos);
            if (sample == 2) t.mask[o] |= uint64_t(1) << j;
        }
    return t;
}

/// For the 8-bit kernel's planes (each 64 bytes in the order the packs leave them): pixel 2p is
/// the non-green site of pair p, 2p + 1 its green site. Group q holds the even (q = 0, 2) or odd
/// (1, 3) pairs of the non-green (0, 1) or green (2, 3) sites; the two packs put lane i of group
/// q at byte 16 (i / 4) + 4 q + i % 4.
constexpr auto kPixelPermutes = pixelPermutes<uint8_t, 64>([](int pixel) {
    const int p = pixel / 2, q = 2 * (pixel % 2) + (p & 1), i = p >> 1;
    return 16 * (i >> 2) + 4 * q + (i & 3);
});

/// For the 16-bit kernel's planes of 32 words, pair p's non-green site in word 2p and its green
/// site in word 2p + 1: in pixel order.
constexpr auto kWordPermutes = pixelPermutes<uint16_t, 32>([](int pixel) { return pixel; });

/// The four groups of one channel (32-bit lanes, values clamped by the packs) as 64 bytes.
HX_AVX512VBMI inline __m512i packGroups(const __m512i (&v)[4]) {
    return _mm512_packus_epi16(_mm512_packus_epi32(v[0], v[1]), _mm512_packus_epi32(v[2], v[3]));
}

/// Groups of 16 pixels in 32-bit lanes: the even and odd pairs of each site of a block.
HX_AVX512VBMI inline void splitGroups(const __m512i (&site)[2][3], __m512i (&v)[3][4]) {
    const __m512i half = _mm512_set1_epi32(0xFFFF);
#pragma GCC unroll 2
    for (int s = 0; s < 2; ++s)
#pragma GCC unroll 3
        for (int k = 0; k < 3; ++k) {
            v[k][2 * s] = _mm512_and_si512(site[s][k], half);
            v[k][2 * s + 1] = _mm512_srli_epi32(site[s][k], 16);
        }
}

/// The correction of the four groups of a block: red, green, blue results, truncated but not
/// clamped.
template <int Mode>
HX_AVX512VBMI inline void correctBlock(const __m512i (&site)[2][3], __m512i (&v)[3][4],
                                       const DirectCcm& c) {
    splitGroups(site, v);
#pragma GCC unroll 4
    for (int q = 0; q < 4; ++q) directCore16<Mode>(v[0][q], v[1][q], v[2][q], c);
}

} // namespace

bool useAvx512Demosaic() {
    static const bool yes = useAvx512Correction() && hx::algorithms::useAvx512Vbmi();
    return yes;
}

/// The 8-bit kernel on 512-bit vectors: the pair layout of the AVX2 kernel with 32 pairs per
/// block, the correction computed on four groups of 16 pixels, the clamping left to the packs
/// and the interleaving to byte permutes. Blocks whose inputs all stay at or below 180 take the
/// correction without the fade.
HX_AVX512VBMI int demosaicPairsAvx512U8(const uint8_t* up, const uint8_t* mid, const uint8_t* down,
                                        uint8_t* dst, int x, int pairs, bool rowRed,
                                        const DirectCcm& coefficients) {
    // A local copy: the stores to dst cannot change it, so nothing is loaded again per block.
    const DirectCcm direct = coefficients;
    const __m512i low = _mm512_set1_epi16(0x00FF);
    const __m512i two = _mm512_set1_epi16(2);
    const __m512i dark = _mm512_set1_epi16(180), full = _mm512_set1_epi16(255);
    __m512i first[3], blue[3];
    for (int o = 0; o < 3; ++o) {
        first[o] = _mm512_loadu_si512(kPixelPermutes.first[o].data());
        blue[o] = _mm512_loadu_si512(kPixelPermutes.blue[o].data());
    }
    if (pairs < kAvx512PairsU8) return 0;
    // Whole blocks; the pairs left over are taken by one more block that ends at the last pair:
    // it writes the pairs before them again, with the same values, and reads no further than
    // allowed.
    for (int done = 0;; done = std::min(done + kAvx512PairsU8, pairs - kAvx512PairsU8)) {
        const int c = x + 2 * done;
        const __m512i u0 = _mm512_loadu_si512(up + c), d0 = _mm512_loadu_si512(down + c),
                      m0 = _mm512_loadu_si512(mid + c);
        const __m512i um = _mm512_loadu_si512(up + c - 2), dm = _mm512_loadu_si512(down + c - 2),
                      mm = _mm512_loadu_si512(mid + c - 2);
        const __m512i upn = _mm512_loadu_si512(up + c + 2), dpn = _mm512_loadu_si512(down + c + 2),
                      mpn = _mm512_loadu_si512(mid + c + 2);

        const __m512i ak = _mm512_and_si512(m0, low);
        const __m512i bk = _mm512_srli_epi16(m0, 8);
        const __m512i bkm1 = _mm512_srli_epi16(mm, 8);
        const __m512i ak1 = _mm512_and_si512(mpn, low);
        const __m512i uB = _mm512_srli_epi16(u0, 8), dB = _mm512_srli_epi16(d0, 8);
        const __m512i aSum = _mm512_add_epi16(_mm512_and_si512(u0, low), _mm512_and_si512(d0, low));
        const __m512i aSum1 =
            _mm512_add_epi16(_mm512_and_si512(upn, low), _mm512_and_si512(dpn, low));
        const __m512i bSum = _mm512_add_epi16(uB, dB);
        const __m512i bSumM1 = _mm512_add_epi16(_mm512_srli_epi16(um, 8), _mm512_srli_epi16(dm, 8));

        const __m512i ngGreen = _mm512_srli_epi16(
            _mm512_add_epi16(_mm512_add_epi16(aSum, _mm512_add_epi16(bkm1, bk)), two), 2);
        const __m512i ngCross =
            _mm512_srli_epi16(_mm512_add_epi16(_mm512_add_epi16(bSumM1, bSum), two), 2);
        const __m512i gGreen = _mm512_srli_epi16(
            _mm512_add_epi16(_mm512_slli_epi16(bk, 2), _mm512_add_epi16(aSum, aSum1)), 3);
        const __m512i gRow = _mm512_avg_epu16(ak, ak1);
        const __m512i gCross = _mm512_avg_epu16(uB, dB);

        const __m512i site[2][3] = {{rowRed ? ak : ngCross, ngGreen, rowRed ? ngCross : ak},
                                    {rowRed ? gRow : gCross, gGreen, rowRed ? gCross : gRow}};
        const __m512i top = _mm512_max_epu16(
            _mm512_max_epu16(_mm512_max_epu16(site[0][0], site[0][1]), site[0][2]),
            _mm512_max_epu16(_mm512_max_epu16(site[1][0], site[1][1]), site[1][2]));
        __m512i v[3][4];
        if (_mm512_cmpgt_epu16_mask(top, dark) == 0)
            correctBlock<kNoFade>(site, v, direct);
        else if (!direct.fullScale || _mm512_cmpeq_epi16_mask(top, full) == 0)
            correctBlock<kFade>(site, v, direct);
        else
            correctBlock<kFadeFullScale>(site, v, direct);
        const __m512i red = packGroups(v[0]), green = packGroups(v[1]), bl = packGroups(v[2]);
        uint8_t* out = dst + 3 * c;
        for (int o = 0; o < 3; ++o) {
            const __m512i rg = _mm512_permutex2var_epi8(red, first[o], green);
            _mm512_storeu_si512(out + 64 * o, _mm512_mask_permutexvar_epi8(
                                                  rg, kPixelPermutes.mask[o], blue[o], bl));
        }
        if (done + kAvx512PairsU8 == pairs) break;
    }
    return pairs;
}

/// Lanes of a GCC vector V read from any address.
template <typename V> [[gnu::always_inline]] inline void loadLanes(V& v, const uint16_t* p) {
    std::memcpy(&v, p, sizeof v);
}

/// Red, green and blue of the two sites of pairs, one pair per 32-bit lane of V.
template <typename V> struct PairSites16 { V ngR, ngGreen, ngB, gR, gGreen, gB; };

/// The pair formulas of the 16-bit kernels on the pairs from column c of the rows up, mid and
/// down, in the lanes of V (GCC vectors of 8 or 16 unsigned 32-bit lanes, which the caller's
/// instruction set implements): each lane holds a pair, its non-green sample in the low half.
/// Every sum fits its lane (at most 8 x 65535).
template <typename V>
[[gnu::always_inline]] inline PairSites16<V> pairSites16(const uint16_t* up, const uint16_t* mid,
                                                         const uint16_t* down, int c, bool rowRed) {
    V u0, d0, m0, um, dm, mm, upn, dpn, mpn;
    loadLanes(u0, up + c), loadLanes(d0, down + c), loadLanes(m0, mid + c);
    loadLanes(um, up + c - 2), loadLanes(dm, down + c - 2), loadLanes(mm, mid + c - 2);
    loadLanes(upn, up + c + 2), loadLanes(dpn, down + c + 2), loadLanes(mpn, mid + c + 2);
    const V ak = m0 & 0xFFFF, bk = m0 >> 16;     // the pair's non-green and green sites
    const V bkm1 = mm >> 16, ak1 = mpn & 0xFFFF; // green one pair left, non-green one right
    const V aSum = (u0 & 0xFFFF) + (d0 & 0xFFFF), aSum1 = (upn & 0xFFFF) + (dpn & 0xFFFF);
    const V bSum = (u0 >> 16) + (d0 >> 16), bSumM1 = (um >> 16) + (dm >> 16);
    // Non-green site: row colour as is, green from the 4 neighbours, cross from the diagonals.
    const V ngGreen = (aSum + bkm1 + bk + 2) >> 2, ngCross = (bSumM1 + bSum + 2) >> 2;
    // Green site: weighted green, row colour from left/right, cross from above/below.
    const V gGreen = ((bk << 2) + aSum + aSum1) >> 3;
    const V gRow = (ak + ak1 + 1) >> 1, gCross = (bSum + 1) >> 1;
    return rowRed ? PairSites16<V>{ak, ngGreen, ngCross, gRow, gGreen, gCross}
                  : PairSites16<V>{ngCross, ngGreen, ak, gCross, gGreen, gRow};
}

/// The 16-bit kernel on 512-bit vectors: the AVX2 kernel's operations on 16 pairs at a time,
/// each site corrected as 16 lanes, the interleaving done by word permutes.
HX_AVX512 int demosaicPairsAvx512U16(const uint16_t* up, const uint16_t* mid, const uint16_t* down,
                                     uint16_t* dst, int x, int pairs, bool rowRed,
                                     const DirectCcm& direct) {
    __m512i first[3], blue[3];
    for (int o = 0; o < 3; ++o) {
        first[o] = _mm512_loadu_si512(kWordPermutes.first[o].data());
        blue[o] = _mm512_loadu_si512(kWordPermutes.blue[o].data());
    }
    if (pairs < kAvx512PairsU16) return 0;
    // As in the 8-bit kernel, the pairs left over are taken by a last block that overlaps.
    for (int done = 0;; done = std::min(done + kAvx512PairsU16, pairs - kAvx512PairsU16)) {
        const int c = x + 2 * done;
        typedef uint32_t Lanes __attribute__((vector_size(64)));
        const PairSites16<Lanes> p = pairSites16<Lanes>(up, mid, down, c, rowRed);
        __m512i ngR = __m512i(p.ngR), ngGreen = __m512i(p.ngGreen), ngB = __m512i(p.ngB);
        __m512i gR = __m512i(p.gR), gGreen = __m512i(p.gGreen), gB = __m512i(p.gB);
        directLanes16<8>(ngR, ngGreen, ngB, direct);
        directLanes16<8>(gR, gGreen, gB, direct);
        const __m512i red = _mm512_or_si512(ngR, _mm512_slli_epi32(gR, 16));
        const __m512i green = _mm512_or_si512(ngGreen, _mm512_slli_epi32(gGreen, 16));
        const __m512i bl = _mm512_or_si512(ngB, _mm512_slli_epi32(gB, 16));
        uint16_t* out = dst + 3 * c;
        for (int o = 0; o < 3; ++o) {
            const __m512i rg = _mm512_permutex2var_epi16(red, first[o], green);
            _mm512_storeu_si512(
                out + 32 * o,
                _mm512_mask_permutexvar_epi16(rg, __mmask32(kWordPermutes.mask[o]), blue[o], bl));
        }
        if (done + kAvx512PairsU16 == pairs) break;
    }
    return pairs;
}

#pragma GCC diagnostic pop

/// 16-bit samples: the same scheme with 32-bit lanes (sums need up to 19 bits).
__attribute__((target("avx2,fma"))) int
demosaicPairsAvx2U16(const uint16_t* up, const uint16_t* mid, const uint16_t* down, uint16_t* dst,
                     int x, int pairs, bool rowRed, const unsigned char* table,
                     const DirectCcm* direct) {
    typedef uint32_t Lanes __attribute__((vector_size(32)));
    if (pairs < kAvx2PairsU16) return 0;
    for (int done = 0;; done = std::min(done + kAvx2PairsU16, pairs - kAvx2PairsU16)) {
        const int c = x + 2 * done;
        const PairSites16<Lanes> p = pairSites16<Lanes>(up, mid, down, c, rowRed);
        Rgb16 ng{__m256i(p.ngR), __m256i(p.ngGreen), __m256i(p.ngB)};
        Rgb16 g{__m256i(p.gR), __m256i(p.gGreen), __m256i(p.gB)};
        if (direct && direct->wide) {
            directU16Wide(ng, g, *direct);
        } else if (direct || table) {
            ng =
                direct ? directU16(ng.r, ng.g, ng.b, *direct) : correctU16(ng.r, ng.g, ng.b, table);
            g = direct ? directU16(g.r, g.g, g.b, *direct) : correctU16(g.r, g.g, g.b, table);
        }
        store3(reinterpret_cast<uint8_t*>(dst + 3 * c),
               _mm256_or_si256(ng.r, _mm256_slli_epi32(g.r, 16)),
               _mm256_or_si256(ng.g, _mm256_slli_epi32(g.g, 16)),
               _mm256_or_si256(ng.b, _mm256_slli_epi32(g.b, 16)), kMasks16);
        if (done + kAvx2PairsU16 == pairs) break;
    }
    return pairs;
}

/// 16 int32 values to 16 bytes, saturating.
__attribute__((target("avx2"))) inline __m128i packBytes(const __m128i* q) {
    return _mm_packus_epi16(_mm_packs_epi32(q[0], q[1]), _mm_packs_epi32(q[2], q[3]));
}

/// One (blue, green) row of the colour-correction table, 256 entries for red 0 ... 255, with
/// the same double operations as the scalar fill: truncation by cvttpd, clamping by the
/// saturating packs (every value fits 16 bits), interleaving by byte shuffles.
__attribute__((target("avx2"))) void ccmRowAvx2(unsigned char* entries, double blueHead,
                                                const double* blueOffR, double greenHead,
                                                double greenOff, const double* redBase,
                                                const double* redOff, double green) {
    const __m256d bh = _mm256_set1_pd(blueHead), gh = _mm256_set1_pd(greenHead);
    const __m256d go = _mm256_set1_pd(greenOff), gv = _mm256_set1_pd(green);
    const __m256d step = _mm256_set1_pd(4.0);
    __m256d rv = _mm256_setr_pd(0.0, 1.0, 2.0, 3.0);
    for (int r = 0; r < 256; r += 16) {
        __m128i bq[4], gq[4], rq[4];
        for (int j = 0; j < 4; ++j, rv = _mm256_add_pd(rv, step)) {
            const int i = r + 4 * j;
            bq[j] = _mm256_cvttpd_epi32(_mm256_sub_pd(bh, _mm256_loadu_pd(blueOffR + i)));
            gq[j] = _mm256_cvttpd_epi32(_mm256_sub_pd(gh, _mm256_mul_pd(go, rv)));
            rq[j] = _mm256_cvttpd_epi32(_mm256_sub_pd(
                _mm256_loadu_pd(redBase + i), _mm256_mul_pd(_mm256_loadu_pd(redOff + i), gv)));
        }
        const __m128i planes[3] = {packBytes(bq), packBytes(gq), packBytes(rq)};
        for (int o = 0; o < 3; ++o) {
            __m128i v = _mm_setzero_si128();
            for (int p = 0; p < 3; ++p)
                v = _mm_or_si128(
                    v, _mm_shuffle_epi8(planes[p], _mm_loadu_si128(reinterpret_cast<const __m128i*>(
                                                       kMasks8[o][p].data()))));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(entries + 3 * r + 16 * o), v);
        }
    }
}

} // namespace hx::algorithms::detail
