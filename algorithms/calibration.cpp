// Calibration and clean-up on image records: flat field, defect pixels, histogram with level
// bounds, grey, channel and Bayer-phase means, bit shifts, median and smoothing filters,
// sharpening, border repair and the centre cross.
#include "algorithms/calibration.h"

#include "algorithms/demosaic_internal.h"
#include "algorithms/simd.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define HX_FLAT_AVX2 1
#endif

namespace {

/// A 16-bit sample that may sit at any address.
typedef uint16_t u16u __attribute__((aligned(1), may_alias));

inline bool usable(const _ezImage* image) {
    return image && image->data && image->width > 0 && image->height > 0;
}

inline bool usableDepth(const _ezImage* image) {
    return usable(image) && (image->depth == 8 || image->depth == 16);
}

/// Pixels (width x height) as a 64-bit count.
inline size_t pixelCount(const _ezImage* image) {
    return static_cast<size_t>(image->width) * image->height;
}

/// Samples per pixel, at least 1.
inline int channelsOf(const _ezImage* image) {
    return image->channels ? image->channels : 1;
}

/// Byte minimum and maximum through the saturation table, without branches.
inline int min8(int a, int b) {
    return a - ezSaturate8u_cv[a - b + 256];
}
inline int max8(int a, int b) {
    return a + ezSaturate8u_cv[b - a + 256];
}

/// Nine-input median by a 19-step exchange network; sort orders a pair.
template <typename T, typename Sort> inline T median9(T p[9], Sort sort) {
    sort(p[1], p[2]), sort(p[4], p[5]), sort(p[7], p[8]);
    sort(p[0], p[1]), sort(p[3], p[4]), sort(p[6], p[7]);
    sort(p[1], p[2]), sort(p[4], p[5]), sort(p[7], p[8]);
    sort(p[0], p[3]), sort(p[5], p[8]), sort(p[4], p[7]);
    sort(p[3], p[6]), sort(p[1], p[4]), sort(p[2], p[5]);
    sort(p[4], p[7]), sort(p[4], p[2]), sort(p[6], p[4]);
    sort(p[4], p[2]);
    return p[4];
}

inline void sort8(int& a, int& b) {
    const int lo = min8(a, b);
    b = max8(a, b);
    a = lo;
}

inline void sort16(uint16_t& a, uint16_t& b) {
    const uint16_t lo = std::min(a, b);
    b = std::max(a, b);
    a = lo;
}

/// Runs a 3 x 3 byte filter in place over every channel of an 8-bit image, or over the high
/// bytes of a 16-bit one. Rows are done from the top; the row above is read as already
/// rewritten, the current and the next row as they were; outside rows repeat the row itself.
/// Columns 0 and width - 1 stay.
template <typename Kernel> void filterBytes(_ezImage* image, Kernel kernel) {
    if (!usableDepth(image) || image->width < 3) return;
    const int w = image->width, h = image->height, n = channelsOf(image);
    const size_t es = image->depth / 8; // bytes per sample
    const size_t rowSamples = static_cast<size_t>(w) * n;
    const size_t rowBytes = rowSamples * es;
    unsigned char* plane = image->data + (es - 1); // the (high) byte of each sample
    std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[4 * rowSamples]);
    if (!buf) return;
    unsigned char* above = buf.get();
    unsigned char* cur = above + rowSamples;
    unsigned char* below = cur + rowSamples;
    unsigned char* out = below + rowSamples;
    auto load = [&](unsigned char* dst, int y) {
        const unsigned char* src = plane + y * rowBytes;
        for (size_t i = 0; i < rowSamples; ++i) dst[i] = src[i * es];
    };
    load(cur, 0);
    std::memcpy(above, cur, rowSamples);
    for (int y = 0; y < h; ++y) {
        if (y + 1 < h)
            load(below, y + 1);
        else
            std::memcpy(below, cur, rowSamples);
        std::memcpy(out, cur, rowSamples);
        for (size_t i = n; i < rowSamples - n; ++i)
            out[i] = kernel(above + i, cur + i, below + i, n);
        unsigned char* dst = plane + y * rowBytes;
        for (size_t i = 0; i < rowSamples; ++i) dst[i * es] = out[i];
        std::swap(above, out); // the rewritten row is the next row's upper neighbour
        std::swap(cur, below);
    }
}

/// Samples of one block of the portable flat field: a multiple of three, so that every block
/// starts at the first channel and one pattern of averages serves them all.
constexpr size_t kFlatBlock = 96;

/// Quotients min(255, a * v / r) of n samples from v (bytes, or 16-bit samples whose high
/// bytes are corrected for Step 2) against n reference bytes, a zero reference taken as 1, a
/// from the pattern of averages. Divided in single
/// precision, as the vector kernels do and for the same reason exact: a * v < 2^16 and r are
/// exact floats, and a quotient under 256 that is not whole lies at least 1/255 from the next
/// integer, far beyond the rounding error of the one division, so truncation gives the
/// integer quotient; one of 256 or more stays at least 256 and saturates. Plain loops that
/// the compiler vectorises for whatever the target offers.
template <size_t Step>
inline void flatBlock(unsigned char* __restrict v, const unsigned char* __restrict ref,
                      const float* __restrict pattern, size_t n) {
    for (size_t j = 0; j < n; ++j) {
        // A bit operation, not a selection: the loop must have no branches to be vectorised.
        const float r = static_cast<float>(ref[j] | (ref[j] == 0));
        if constexpr (Step == 1) {
            const int32_t q = static_cast<int32_t>(static_cast<float>(v[j]) * pattern[j] / r);
            v[j] = static_cast<unsigned char>(q > 255 ? 255 : q);
        } else {
            // Whole 16-bit samples at any address; the low byte is kept.
            u16u* w = reinterpret_cast<u16u*>(v);
            const unsigned sample = w[j];
            const int32_t q =
                static_cast<int32_t>(static_cast<float>(sample >> 8) * pattern[j] / r);
            w[j] = static_cast<uint16_t>((sample & 0xFF) | unsigned(q > 255 ? 255 : q) << 8);
        }
    }
}

/// Flat field of `pixels` pixels of N interleaved channels with byte averages, from the first
/// byte of the samples.
template <int N, size_t Step>
void flatPlane(unsigned char* data, const unsigned char* ref, size_t pixels,
               const uint32_t avg[3]) {
    float pattern[kFlatBlock];
    for (size_t j = 0; j < kFlatBlock; ++j)
        pattern[j] = static_cast<float>(avg[N == 3 ? j % 3 : 0]);
    const size_t samples = pixels * N;
    size_t i = 0;
    for (; i + kFlatBlock <= samples; i += kFlatBlock)
        flatBlock<Step>(data + i * Step, ref + i, pattern, kFlatBlock);
    flatBlock<Step>(data + i * Step, ref + i, pattern, samples - i);
}

/// The same for any 16-bit average: a * v < 2^24, so a 32-bit reciprocal of r is exact.
template <size_t Step>
void flatPlaneWide(unsigned char* v, const unsigned char* ref, size_t pixels, int n,
                   const uint32_t avg[3]) {
    static const auto m = [] {
        std::array<uint64_t, 256> r{};
        for (size_t d = 1; d < 256; ++d) r[d] = (uint64_t(1) << 32) / d + 1;
        r[0] = r[1];
        return r;
    }();
    for (size_t i = 0; i < pixels; ++i, v += n * Step, ref += n) {
        for (int k = 0; k < n; ++k) {
            const uint64_t q = (uint64_t(avg[k] * v[k * Step]) * m[ref[k]]) >> 32;
            v[k * Step] = static_cast<unsigned char>(q > 255 ? 255 : q);
        }
    }
}

/// One corrected sample: min(255, a * v / r), a zero reference taken as 1.
inline unsigned char flatSample(uint32_t a, uint32_t v, uint32_t r) {
    const uint32_t q = a * v / (r ? r : 1);
    return static_cast<unsigned char>(q > 255 ? 255 : q);
}

#ifdef HX_FLAT_AVX2
/// Row f: the channels (f + j) % 3 of the 16 samples j = 0 ... 15 that start at channel f.
alignas(64) constexpr uint32_t kChannelAfter[3][16] = {
    {0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0},
    {1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1},
    {2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2}};

/// The averages of the three channels (of the one channel, n = 1) in lanes 0 to 2. The chain
/// corrects a row per call, so the vectors of averages are made in registers from these, not
/// written to memory sample by sample.
inline __m128i channelAverages(int n, const uint32_t avg[3]) {
    return _mm_setr_epi32(static_cast<int>(avg[0]), static_cast<int>(avg[n == 3 ? 1 : 0]),
                          static_cast<int>(avg[n == 3 ? 2 : 0]), 0);
}

/// The samples [i, samples) one by one, after the vector steps.
template <size_t Step>
inline void flatRest(unsigned char* data, const unsigned char* ref, size_t i, size_t samples, int n,
                     const uint32_t avg[3]) {
    for (; i < samples; ++i) {
        unsigned char& v = data[i * Step + Step - 1];
        v = flatSample(avg[i % n], v, ref[i]);
    }
}

/// 8 bytes as floats.
__attribute__((target("avx2"))) inline __m256 floats8(const unsigned char* at) {
    return _mm256_cvtepi32_ps(
        _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(at))));
}

/// What the quotients are lifted by before they are truncated (see flatQuotients8).
constexpr float kFlatLift = 1.0f / 512;

/// Quotients of 8 samples (as floats) against the 8 reference bytes at ref in single
/// precision, truncated, not yet clamped; multiplied by a reciprocal, as division takes several
/// times as long. With a * v below 2^16 (as exact in single precision as in integers) and r
/// below 256 this is exact: the product is within 2^-21 of the quotient, so within 2^-13 of it
/// under 256, and lifted by 1/512 it truncates to the quotient, as a quotient that is not whole
/// lies at least 1/255 under the next integer; one of 256 or more stays at least 256 and
/// saturates when narrowed. The tests try every (average, sample, reference) triple.
__attribute__((target("avx2"))) inline __m256i flatQuotients8(__m256 v, const unsigned char* ref,
                                                              __m256 avg) {
    const __m256 r = _mm256_max_ps(floats8(ref), _mm256_set1_ps(1));
    // 1 / r from the 12-bit estimate and one Newton step, within 2^-22 of it.
    const __m256 e = _mm256_rcp_ps(r);
    const __m256 inverse = _mm256_mul_ps(e, _mm256_sub_ps(_mm256_set1_ps(2), _mm256_mul_ps(r, e)));
    return _mm256_cvttps_epi32(
        _mm256_add_ps(_mm256_mul_ps(_mm256_mul_ps(v, avg), inverse), _mm256_set1_ps(kFlatLift)));
}

/// Flat field over `samples` samples of n interleaved channels with byte averages. Step 1:
/// 8-bit samples, 32 per step, narrowed with saturation (the min with 255); Step 2: 16-bit
/// samples, 16 per step, high bytes corrected.
template <size_t Step>
__attribute__((target("avx2"))) void flatAvx2(unsigned char* data, const unsigned char* ref,
                                              size_t samples, int n, const uint32_t avg[3]) {
    // Averages of K consecutive samples for each of the three phases a step can start at: the
    // j-th 8 of phase ph start 8j samples after channel ph, so at channel (ph + 2j) % 3.
    constexpr size_t K = 32 / Step;
    const __m256 channels = _mm256_castps128_ps256(_mm_cvtepi32_ps(channelAverages(n, avg)));
    alignas(32) float averages[3][K];
    for (int ph = 0; ph < 3; ++ph)
        for (size_t j = 0; j < K / 8; ++j)
            _mm256_store_ps(averages[ph] + 8 * j,
                            _mm256_permutevar8x32_ps(
                                channels, _mm256_load_si256(reinterpret_cast<const __m256i*>(
                                              kChannelAfter[(ph + 2 * j) % 3]))));
    int ph = 0;
    size_t i = 0;
    for (; i + K <= samples; i += K) {
        const float* a = averages[ph];
        if constexpr (Step == 1) {
            __m256i q[4];
            for (int j = 0; j < 4; ++j)
                q[j] = flatQuotients8(floats8(data + i + 8 * j), ref + i + 8 * j,
                                      _mm256_load_ps(a + 8 * j));
            // Signed saturation to words keeps every quotient at or above 255 at least 255.
            const __m256i bytes =
                _mm256_packus_epi16(_mm256_packs_epi32(q[0], q[1]), _mm256_packs_epi32(q[2], q[3]));
            // The packs work within 128-bit halves: 4-byte groups of q0 q1 q2 q3 from each.
            const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(data + i),
                                _mm256_permutevar8x32_epi32(bytes, order));
        } else {
            __m256i* at = reinterpret_cast<__m256i*>(data + 2 * i);
            const __m256i w = _mm256_loadu_si256(at);
            const __m256i high = _mm256_srli_epi16(w, 8);
            const __m256i q0 = flatQuotients8(
                _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(_mm256_castsi256_si128(high))), ref + i,
                _mm256_load_ps(a));
            const __m256i q1 = flatQuotients8(
                _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(_mm256_extracti128_si256(high, 1))),
                ref + i + 8, _mm256_load_ps(a + 8));
            const __m256i q =
                _mm256_min_epu16(_mm256_permute4x64_epi64(_mm256_packus_epi32(q0, q1), 0xD8),
                                 _mm256_set1_epi16(255));
            const __m256i low = _mm256_and_si256(w, _mm256_set1_epi16(0xFF));
            _mm256_storeu_si256(at, _mm256_or_si256(low, _mm256_slli_epi16(q, 8)));
        }
        // 32 samples advance the phase by two, 16 by one.
        ph = (ph + (Step == 1 ? 2 : 1)) % 3;
    }
    flatRest<Step>(data, ref, i, samples, n, avg);
}

bool haveAvx2() {
    return hx::algorithms::useAvx2();
}

#define HX_FLAT512 __attribute__((target("avx2,avx512f,avx512bw,avx512vl,avx512dq")))
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#ifndef __clang__ // clang has no such warning
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

/// flatQuotients8 on 16 samples v and averages as floats, the reference bytes widened from
/// r8: the same quotients, from a 14-bit estimate of 1 / r and one Newton step, truncated to
/// unsigned integers.
HX_FLAT512 inline __m512i flatQuotients16(__m512 v, __m128i r8, __m512 avg) {
    const __m512 r =
        _mm512_max_ps(_mm512_cvtepi32_ps(_mm512_cvtepu8_epi32(r8)), _mm512_set1_ps(1.0f));
    const __m512 e = _mm512_rcp14_ps(r);
    const __m512 inverse = _mm512_mul_ps(e, _mm512_fnmadd_ps(r, e, _mm512_set1_ps(2.0f)));
    return _mm512_cvttps_epu32(
        _mm512_fmadd_ps(_mm512_mul_ps(v, avg), inverse, _mm512_set1_ps(kFlatLift)));
}

/// 16 words as floats.
HX_FLAT512 inline __m512 floats16(__m256i words) {
    return _mm512_cvtepi32_ps(_mm512_cvtepu16_epi32(words));
}

/// 32 16-bit samples of flatAvx512, corrected in their high bytes (fewer under a mask: only
/// those are read and written).
template <bool Masked>
HX_FLAT512 inline void flatWords512(unsigned char* data, const unsigned char* ref, __mmask32 m,
                                    __m512 lo, __m512 hi) {
    const __m256i r8 = Masked ? _mm256_maskz_loadu_epi8(m, ref)
                              : _mm256_loadu_si256(reinterpret_cast<const __m256i*>(ref));
    const __m128i r0 = _mm256_castsi256_si128(r8), r1 = _mm256_extracti128_si256(r8, 1);
    const __m512i w = Masked ? _mm512_maskz_loadu_epi16(m, data) : _mm512_loadu_si512(data);
    const __m512i high = _mm512_srli_epi16(w, 8);
    const __m512i q0 = flatQuotients16(floats16(_mm512_castsi512_si256(high)), r0, lo);
    const __m512i q1 = flatQuotients16(floats16(_mm512_extracti64x4_epi64(high, 1)), r1, hi);
    const __m512i top = _mm512_set1_epi32(255);
    const __m512i q =
        _mm512_inserti64x4(_mm512_castsi256_si512(_mm512_cvtepi32_epi16(_mm512_min_epu32(q0, top))),
                           _mm512_cvtepi32_epi16(_mm512_min_epu32(q1, top)), 1);
    const __m512i out =
        _mm512_or_si512(_mm512_and_si512(w, _mm512_set1_epi16(0xFF)), _mm512_slli_epi16(q, 8));
    if constexpr (Masked)
        _mm512_mask_storeu_epi16(data, m, out);
    else
        _mm512_storeu_si512(data, out);
}

/// flatQuotients16 on 16 bytes in place (fewer under a mask: only those are read and written),
/// with fewer operations: the samples and the reference are widened straight from memory,
/// a * v (below 2^16) is as exact in single precision as in integers, and the quotient is
/// narrowed with unsigned saturation, which is the min with 255.
template <bool Masked>
HX_FLAT512 inline void flatBytes16(unsigned char* data, const unsigned char* ref, __mmask16 m,
                                   __m512 avg) {
    const __m128i r8 = Masked ? _mm_maskz_loadu_epi8(m, ref)
                              : _mm_loadu_si128(reinterpret_cast<const __m128i*>(ref));
    const __m128i v8 = Masked ? _mm_maskz_loadu_epi8(m, data)
                              : _mm_loadu_si128(reinterpret_cast<const __m128i*>(data));
    const __m512 v = _mm512_cvtepi32_ps(_mm512_cvtepu8_epi32(v8));
    const __m128i q = _mm512_cvtusepi32_epi8(flatQuotients16(v, r8, avg));
    if constexpr (Masked)
        _mm_mask_storeu_epi8(data, m, q);
    else
        _mm_storeu_si128(reinterpret_cast<__m128i*>(data), q);
}

/// flatAvx2 in 512-bit registers. 8-bit samples go 48 at a time (three steps of 16 bring the
/// channel phase back), the last ones in steps of 16 under a mask; 16-bit samples go 32 at a
/// time, the last ones in one masked step.
template <size_t Step>
HX_FLAT512 void flatAvx512(unsigned char* data, const unsigned char* ref, size_t samples, int n,
                           const uint32_t avg[3]) {
    // The averages of 16 consecutive samples from each channel on.
    const __m512i channels = _mm512_castsi128_si512(channelAverages(n, avg));
    __m512 a[3];
    for (int c = 0; c < 3; ++c)
        a[c] = _mm512_cvtepi32_ps(
            _mm512_permutexvar_epi32(_mm512_load_si512(kChannelAfter[c]), channels));
    size_t i = 0;
    if constexpr (Step == 1) {
        for (; i + 48 <= samples; i += 48) {
            flatBytes16<false>(data + i, ref + i, 0, a[0]);
            flatBytes16<false>(data + i + 16, ref + i + 16, 0, a[1]);
            flatBytes16<false>(data + i + 32, ref + i + 32, 0, a[2]);
        }
        for (int ph = 0; i < samples; i += 16, ++ph) {
            const size_t left = samples - i;
            flatBytes16<true>(data + i, ref + i,
                              left >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << left) - 1), a[ph]);
        }
    } else {
        // 16 samples advance the phase by one, 32 by two.
        int ph = 0;
        for (; i + 32 <= samples; i += 32) {
            flatWords512<false>(data + 2 * i, ref + i, 0, a[ph], a[(ph + 1) % 3]);
            ph = (ph + 2) % 3;
        }
        if (i < samples)
            flatWords512<true>(data + 2 * i, ref + i, (__mmask32{1} << (samples - i)) - 1, a[ph],
                               a[(ph + 1) % 3]);
    }
}
#pragma GCC diagnostic pop

bool haveAvx512() {
    return hx::algorithms::detail::useAvx512Correction();
}
#endif

/// Walks down from high accumulating bin counts; the bin where the count first exceeds
/// limit (or the low bound) becomes the new high bound.
inline int32_t walkHigh(const int32_t* bins, int32_t low, int32_t high, size_t limit) {
    size_t acc = 0;
    for (int j = high; j >= 0; --j) {
        acc += static_cast<uint32_t>(bins[j]);
        if (acc > limit || j <= low) return j;
    }
    return 0;
}

inline int32_t firstNonZero(const int32_t* bins, int32_t none) {
    for (int j = 0; j < 256; ++j)
        if (bins[j]) return j;
    return none;
}

inline int32_t lastNonZero(const int32_t* bins) {
    for (int j = 255; j >= 1; --j)
        if (bins[j]) return j;
    return 0;
}

/// Counts the N byte samples at s of four pixels into four partial histogram sets of 3 x 256
/// counters, one set per pixel.
template <size_t N> inline void count4(const unsigned char* s, uint32_t* q) {
    for (size_t k = 0; k < 4; ++k) {
        uint32_t* set = q + k * 768;
        for (size_t c = 0; c < N; ++c) ++set[c * 256 + s[k * N + c]];
    }
}

/// Pixels of the blocks that are tested for one colour before they are counted.
constexpr size_t kRun = 20;

/// Whether all kRun pixels of N byte samples at data have the samples of the first: the block
/// against itself one pixel on, 16 bytes at a time, in vectors the compiler maps to the
/// processor's own (SSE2, NEON).
template <size_t N> inline bool oneColour(const unsigned char* data) {
    typedef uint64_t Bytes16 __attribute__((vector_size(16)));
    constexpr size_t bytes = (kRun - 1) * N; // data[0, bytes) against data[N, ...)
    static_assert(bytes >= 16);
    auto differs = [data](size_t at) {
        Bytes16 a, b;
        std::memcpy(&a, data + at, 16);
        std::memcpy(&b, data + N + at, 16);
        return a ^ b;
    };
    Bytes16 d = differs(0);
    if (d[0] | d[1]) return false; // most blocks of a busy frame stop here
    for (size_t at = 16; at + 16 < bytes; at += 16) d |= differs(at);
    d |= differs(bytes - 16);
    return (d[0] | d[1]) == 0;
}

/// Channels of the first and the second sample of each table of PairCounts.
constexpr int kPairFirst[3] = {0, 2, 1}, kPairSecond[3] = {1, 0, 2};

/// Passes the 65536 counts of pair counter `at` of table k, which has just wrapped, on to the
/// bins of its two samples in q.
[[gnu::noinline, gnu::cold]] void carryPair(uint32_t* q, int k, unsigned at) {
    q[kPairFirst[k] * 256 + (at & 255)] += 65536;
    q[kPairSecond[k] * 256 + (at >> 8)] += 65536;
}

/// Counts `pixelPairs` pairs of 3-channel pixels of byte samples at data into p; the counters
/// that wrap pass 65536 on to the bins of their samples in q. Each table has its own pointer
/// and the wraps are out of line, so a pair of pixels takes three increments, their loads and
/// a loop step, with no taken branch but the loop's.
void countPairs(hx::algorithms::PairCounts& p, uint32_t* q, const unsigned char* data,
                size_t pixelPairs) {
    uint16_t *const p0 = p.pairs[0], *const p1 = p.pairs[1], *const p2 = p.pairs[2];
    for (size_t i = 0; i < pixelPairs; ++i, data += 6) {
        uint32_t first;
        uint16_t last;
        std::memcpy(&first, data, 4);
        std::memcpy(&last, data + 4, 2);
        const unsigned a = first & 0xFFFF, b = first >> 16;
        if (__builtin_expect(++p0[a] == 0, 0)) carryPair(q, 0, a);
        if (__builtin_expect(++p1[b] == 0, 0)) carryPair(q, 1, b);
        if (__builtin_expect(++p2[last] == 0, 0)) carryPair(q, 2, last);
    }
}

/// Adds the pair counts of p to the bins of set q.
void foldPairs(const hx::algorithms::PairCounts& p, uint32_t* q) {
    for (int k = 0; k < 3; ++k) {
        uint32_t *first = q + kPairFirst[k] * 256, *second = q + kPairSecond[k] * 256;
        for (unsigned s = 0; s < 256; ++s) {
            const uint16_t* row = p.pairs[k] + s * 256;
            uint32_t sum = 0;
            for (unsigned f = 0; f < 256; ++f) {
                first[f] += row[f];
                sum += row[f];
            }
            second[s] += sum;
        }
    }
}

/// Counts `pixels` pixels of N byte samples at data into the partial sets at q (and the pairs
/// at p, if any). A block of one colour, common in dark, saturated and flat-fielded
/// frames, takes one addition per channel: counted sample by sample, its increments of one
/// counter would each wait for the one before. A stretch of varied 3-channel blocks is counted
/// in pairs, which takes half the increments.
template <size_t N>
void countPixels(uint32_t* q, hx::algorithms::PairCounts* p, const unsigned char* data,
                 size_t pixels) {
    static_assert(kRun % 4 == 0);
    size_t i = 0;
    while (i + kRun <= pixels) {
        size_t varied = i;
        while (varied + kRun <= pixels && !oneColour<N>(data + varied * N)) varied += kRun;
        if (varied == i) {
            for (size_t c = 0; c < N; ++c) q[c * 256 + data[i * N + c]] += kRun;
            i += kRun;
        } else if (N == 3 && p) {
            countPairs(*p, q, data + i * N, (varied - i) / 2);
            i = varied;
        } else {
            for (; i < varied; i += 4) count4<N>(data + i * N, q);
        }
    }
    for (; i + 4 <= pixels; i += 4) count4<N>(data + i * N, q);
    for (; i < pixels; ++i)
        for (size_t c = 0; c < N; ++c) ++q[c * 256 + data[i * N + c]];
}

/// Pixels of 16-bit images whose high bytes are gathered at a time before they are counted (as
/// bytes, one load per sample pair instead of two byte loads and a merge): a whole row of most
/// sensors, on the stack.
constexpr size_t kHighChunk = 2560;
static_assert(kHighChunk % kRun == 0);

/// The high bytes of `samples` little-endian 16-bit samples at from, into to (samples bytes),
/// 16 at a time in vectors the compiler maps to the processor's own (SSE2, NEON).
void gatherHighBytes(unsigned char* to, const unsigned char* from, size_t samples) {
    typedef uint8_t Bytes16 __attribute__((vector_size(16)));
    size_t i = 0;
    for (; i + 16 <= samples; i += 16) {
        Bytes16 a, b;
        std::memcpy(&a, from + 2 * i, 16);
        std::memcpy(&b, from + 2 * i + 16, 16);
        const Bytes16 high = __builtin_shufflevector(a, b, 1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21,
                                                     23, 25, 27, 29, 31);
        std::memcpy(to + i, &high, 16);
    }
    for (; i < samples; ++i) to[i] = from[2 * i + 1];
}

/// countPixels for the high bytes of N-channel 16-bit pixels.
template <size_t N>
void countHighBytes(uint32_t* q, hx::algorithms::PairCounts* p, const unsigned char* data,
                    size_t pixels) {
    unsigned char high[kHighChunk * N];
    for (size_t done = 0; done < pixels;) {
        const size_t n = std::min(pixels - done, kHighChunk);
        gatherHighBytes(high, data + done * N * 2, n * N);
        countPixels<N>(q, p, high, n);
        done += n;
    }
}

} // namespace

const unsigned char ezSaturate8u_cv[768] = {
#define HX_Z16 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0
#define HX_F16 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255
    HX_Z16,      HX_Z16,      HX_Z16,      HX_Z16,      HX_Z16,      HX_Z16,      HX_Z16,
    HX_Z16,      HX_Z16,      HX_Z16,      HX_Z16,      HX_Z16,      HX_Z16,      HX_Z16,
    HX_Z16,      HX_Z16,
#define HX_R4(b) b, b + 1, b + 2, b + 3
#define HX_R16(b) HX_R4(b), HX_R4(b + 4), HX_R4(b + 8), HX_R4(b + 12)
    HX_R16(0),   HX_R16(16),  HX_R16(32),  HX_R16(48),  HX_R16(64),  HX_R16(80),  HX_R16(96),
    HX_R16(112), HX_R16(128), HX_R16(144), HX_R16(160), HX_R16(176), HX_R16(192), HX_R16(208),
    HX_R16(224), HX_R16(240), HX_F16,      HX_F16,      HX_F16,      HX_F16,      HX_F16,
    HX_F16,      HX_F16,      HX_F16,      HX_F16,      HX_F16,      HX_F16,      HX_F16,
    HX_F16,      HX_F16,      HX_F16,      HX_F16,
#undef HX_Z16
#undef HX_F16
#undef HX_R4
#undef HX_R16
};
static_assert(sizeof(ezSaturate8u_cv) == 768);

/// Flat-field correction: v' = min(255, average_k * v / r) per sample, against an 8-bit
/// reference of the frame's size and channel count. 16-bit frames are corrected in their high
/// bytes. A zero reference sample counts as 1; a reference that does not match the frame
/// leaves it unchanged.
void __flat_field(_ezImage* frame, const _ezImage* reference) {
    if (!usableDepth(frame) || !usable(reference) || reference->depth != 8 ||
        reference->width != frame->width || reference->height != frame->height ||
        reference->channels != frame->channels || (frame->channels != 1 && frame->channels != 3))
        return;
    const int n = frame->channels;
    uint32_t avg[3] = {reference->average0, reference->average1, reference->average2};
    if (n == 1) avg[0] = avg[2] = reference->average1;
    const size_t pixels = pixelCount(frame);
    const size_t step = frame->depth / 8;
    unsigned char* v = frame->data + (step - 1); // the high byte of 16-bit samples
    const bool byteAverages = std::max({avg[0], avg[1], avg[2]}) <= 255;
#ifdef HX_FLAT_AVX2
    using Kernel = void (*)(unsigned char*, const unsigned char*, size_t, int, const uint32_t*);
    Kernel vector = nullptr;
    if (byteAverages && haveAvx512())
        vector = step == 1 ? flatAvx512<1> : flatAvx512<2>;
    else if (byteAverages && haveAvx2())
        vector = step == 1 ? flatAvx2<1> : flatAvx2<2>;
    if (vector) {
        vector(frame->data, reference->data, pixels * n, n, avg);
        return;
    }
#endif
    if (!byteAverages) {
        if (step == 1)
            flatPlaneWide<1>(v, reference->data, pixels, n, avg);
        else
            flatPlaneWide<2>(v, reference->data, pixels, n, avg);
    } else if (n == 1) {
        if (step == 1)
            flatPlane<1, 1>(frame->data, reference->data, pixels, avg);
        else
            flatPlane<1, 2>(frame->data, reference->data, pixels, avg);
    } else {
        if (step == 1)
            flatPlane<3, 1>(frame->data, reference->data, pixels, avg);
        else
            flatPlane<3, 2>(frame->data, reference->data, pixels, avg);
    }
}

/// Hot-pixel search: a sample well above both same-colour neighbours two columns away.
/// Returns the count, or -3 when the image is under 320000 pixels, the capacity is below 3,
/// or the list fills up to capacity - 3.
int __calc_defects(const _ezImage* image, _ezPoint* list, int capacity) {
    if (!image || !list || capacity < 3 || pixelCount(image) < 320000) return -3;
    if ((image->depth != 8 && image->depth != 16) || image->height < 5 || !image->data) return 0;
    const int w = image->width, h = image->height;
    const size_t rowSamples = static_cast<size_t>(w) * channelsOf(image);
    int found = 0;
    for (int y = 2; y <= h - 3; ++y) {
        if (image->depth == 8) {
            const unsigned char* s = image->data + y * rowSamples;
            for (int x = 2; x <= w - 3; ++x) {
                const unsigned c = s[x];
                if (c <= 32) continue;
                const unsigned m = std::max(s[x - 2], s[x + 2]);
                if (c <= (m > 84 ? 255u : 3 * m)) continue;
                list[found] = {static_cast<int16_t>(y), static_cast<int16_t>(x)};
                if (found == capacity - 3) return -3;
                ++found;
            }
        } else {
            const u16u* s = reinterpret_cast<const u16u*>(image->data) + y * rowSamples;
            for (int x = 2; x <= w - 3; ++x) {
                const unsigned c = s[x];
                if (c <= 8192) continue;
                const unsigned m = std::max<unsigned>(s[x - 2], s[x + 2]);
                if (c <= (m > 21844 ? 65535u : 3 * m)) continue;
                list[found] = {static_cast<int16_t>(y), static_cast<int16_t>(x)};
                if (found == capacity - 3) return -3;
                ++found;
            }
        }
    }
    return found;
}

/// Replaces each listed sample by the sample two columns to its left (same Bayer colour).
/// Entries outside the image, or in its first two columns, are skipped.
void __defects_correction(_ezImage* image, const _ezPoint* list, int count) {
    if (!usableDepth(image) || !list) return;
    const size_t rowSamples = static_cast<size_t>(image->width) * channelsOf(image);
    for (int i = 0; i < count; ++i) {
        const int y = list[i].row, x = list[i].column;
        if (y < 0 || y >= image->height || x < 2 || x >= image->width) continue;
        const size_t at = y * rowSamples + x;
        if (image->depth == 8)
            image->data[at] = image->data[at - 2];
        else
            reinterpret_cast<u16u*>(image->data)[at] = reinterpret_cast<u16u*>(image->data)[at - 2];
    }
}

namespace hx::algorithms {

/// Counts the (high bytes of the) samples of `pixels` pixels into the partial sets.
void histogramAdd(HistogramCounts& h, const unsigned char* data, size_t pixels, int channels,
                  int depth) {
    if (!data || (channels != 1 && channels != 3) || (depth != 8 && depth != 16)) return;
    h.pixels += pixels;
    uint32_t* q = &h.partial[0][0][0];
    if (channels == 1) {
        depth == 8 ? countPixels<1>(q, nullptr, data, pixels)
                   : countHighBytes<1>(q, nullptr, data, pixels);
        return;
    }
    if (!h.pairs && pixels >= kRun) h.pairs.reset(new (std::nothrow) PairCounts);
    depth == 8 ? countPixels<3>(q, h.pairs.get(), data, pixels)
               : countHighBytes<3>(q, h.pairs.get(), data, pixels);
}

void histogramMerge(HistogramCounts& a, const HistogramCounts& b) {
    for (int k = 0; k < 4; ++k)
        for (int c = 0; c < 3; ++c)
            for (int j = 0; j < 256; ++j) a.partial[k][c][j] += b.partial[k][c][j];
    if (b.pairs) foldPairs(*b.pairs, &a.partial[0][0][0]);
    a.pixels += b.pixels;
}

void histogramFinish(const HistogramCounts& h, int channels, unsigned char* statistics) {
    const size_t limit = h.pixels / 1000;
    uint32_t bins[3][256];
    for (int c = 0; c < 3; ++c)
        for (int j = 0; j < 256; ++j)
            bins[c][j] =
                h.partial[0][c][j] + h.partial[1][c][j] + h.partial[2][c][j] + h.partial[3][c][j];
    if (h.pairs) foldPairs(*h.pairs, &bins[0][0]);
    int32_t st[kHistItems3] = {};
    if (channels == 1) {
        for (int j = 0; j < 256; ++j) st[j] = static_cast<int32_t>(bins[0][j]);
        const int32_t lo = firstNonZero(st, 255);
        const int32_t hi = lastNonZero(st);
        if (hi >= lo) st[kHistLumaHigh] = walkHigh(st, lo, hi, limit);
    } else {
        int32_t* sec[3] = {st + histChannelBase(0), st + histChannelBase(1),
                           st + histChannelBase(2)};
        for (int c = 0; c < 3; ++c)
            for (int j = 0; j < 256; ++j) sec[c][j] = static_cast<int32_t>(bins[c][j]);
        int32_t lumaLow = 0;
        bool seen = false;
        for (int j = 0; j < 256; ++j) {
            const int32_t sum = sec[0][j] + 6 * sec[1][j] + 3 * sec[2][j];
            st[j] = sum / 10;
            if (!seen && sum >= 10) lumaLow = j, seen = true;
        }
        st[kHistLumaLow] = lumaLow;
        st[kHistLumaHigh] = lastNonZero(st);
        for (int c = 0; c < 3; ++c) {
            sec[c][256] = firstNonZero(sec[c], 0);
            sec[c][257] = lastNonZero(sec[c]);
        }
        for (int c = 0; c < 3; ++c) sec[c][257] = walkHigh(sec[c], sec[c][256], sec[c][257], limit);
        st[kHistLumaHigh] = walkHigh(st, st[kHistLumaLow], st[kHistLumaHigh], limit);
    }
    std::memcpy(statistics, st, (channels == 1 ? kHistItems1 : kHistItems3) * sizeof(int32_t));
}

} // namespace hx::algorithms

/// Histogram and level bounds of the (high bytes of the) samples, written as 32-bit integers
/// directly after the pixels; the caller's buffer must have room for the statistics area.
int __calc_histogram(_ezImage* image) {
    if (!image || !image->data) return -3;
    const int n = image->channels;
    if ((n != 1 && n != 3) || (image->depth != 8 && image->depth != 16) || pixelCount(image) == 0)
        return 0;
    hx::algorithms::HistogramCounts counts;
    hx::algorithms::histogramAdd(counts, image->data, pixelCount(image), n, image->depth);
    hx::algorithms::histogramFinish(counts, n,
                                    image->data + pixelCount(image) * n * (image->depth / 8));
    return 0;
}

/// Mean of the first width x height samples (their high bytes for 16-bit records).
float __calc_gray(const _ezImage* image) {
    if (!usableDepth(image)) return 0.0f;
    const size_t pixels = pixelCount(image);
    const size_t es = image->depth / 8;
    const unsigned char* s = image->data + (es - 1);
    uint64_t sum = 0;
    for (size_t i = 0; i < pixels; ++i) sum += s[i * es];
    return static_cast<float>(static_cast<double>(sum) / static_cast<double>(pixels));
}

/// Channel means into average0 ... average2 (modes 0 and 1; other modes store 0). Zero samples
/// become 1 on the way, so the record can serve as a divisor (a flat-field reference).
void __calc_avg(_ezImage* image, int mode) {
    if (!usableDepth(image)) return;
    const size_t pixels = pixelCount(image);
    const int n = channelsOf(image);
    uint64_t sum[3] = {0, 0, 0};
    if (mode == 0 || mode == 1) {
        const int used = std::min(n, 3);
        if (image->depth == 8) {
            unsigned char* p = image->data;
            for (size_t i = 0; i < pixels; ++i, p += n) {
                for (int k = 0; k < used; ++k) {
                    if (!p[k]) p[k] = 1;
                    sum[k] += p[k];
                }
            }
        } else {
            u16u* p = reinterpret_cast<u16u*>(image->data);
            for (size_t i = 0; i < pixels; ++i, p += n) {
                for (int k = 0; k < used; ++k) {
                    if (!p[k]) p[k] = 1;
                    sum[k] += p[k] >> 8;
                }
            }
        }
    }
    if (n == 1) sum[1] = sum[2] = sum[0];
    image->average0 = static_cast<uint16_t>(sum[0] / pixels);
    image->average1 = static_cast<uint16_t>(sum[1] / pixels);
    image->average2 = static_cast<uint16_t>(sum[2] / pixels);
}

/// Means of the four positions of the 2 x 2 Bayer cells of a raw record, reordered by its
/// Bayer code into blue, green of blue rows, green of red rows, red.
int __image_intensity(const _ezImage* raw, float* mean, float* c0, float* c1, float* c2,
                      float* c3) {
    if (!raw || !mean || !c0 || !c1 || !c2 || !c3) return -2;
    if (raw->decoded) return -4;
    if (raw->depth != 8 && raw->depth != 16) return -2;
    const int cw = raw->width / 2, ch = raw->height / 2;
    float v[4] = {0, 0, 0, 0};
    if (raw->data && cw > 0 && ch > 0) {
        const size_t rowSamples = static_cast<size_t>(raw->width) * channelsOf(raw);
        uint64_t sum[4] = {0, 0, 0, 0};
        // at(k) reads sample k; 16-bit samples byte-wise, as the record need not be aligned.
        auto add = [&](auto at) {
            for (int i = 0; i < ch; ++i) {
                const size_t r0 = 2 * i * rowSamples, r1 = r0 + rowSamples;
                for (int j = 0; j < cw; ++j) {
                    sum[0] += at(r0 + 2 * j);
                    sum[1] += at(r0 + 2 * j + 1);
                    sum[2] += at(r1 + 2 * j);
                    sum[3] += at(r1 + 2 * j + 1);
                }
            }
        };
        const unsigned char* d = raw->data;
        if (raw->depth == 8)
            add([d](size_t k) -> unsigned { return d[k]; });
        else
            add([d](size_t k) -> unsigned {
                uint16_t s;
                std::memcpy(&s, d + 2 * k, 2);
                return s;
            });
        const float cells = static_cast<float>(static_cast<size_t>(cw) * ch);
        for (int k = 0; k < 4; ++k) v[k] = static_cast<float>(sum[k]) / cells;
    }
    float o[4] = {v[0], v[1], v[2], v[3]};
    switch (raw->bayer) {
    case 2:
        o[0] = v[1], o[1] = v[0], o[2] = v[3], o[3] = v[2];
        break;
    case 3:
        o[0] = v[3], o[3] = v[0];
        break;
    case 4:
        o[0] = v[2], o[1] = v[0], o[2] = v[3], o[3] = v[1];
        break;
    default:
        break;
    }
    *c0 = o[0], *c1 = o[1], *c2 = o[2], *c3 = o[3];
    *mean = (o[0] + o[1] + o[2] + o[3]) / 4.0f;
    return 0;
}

/// Shifts every sample by k bits: left with saturation for k > 0, right for k < 0.
int __shift_operation(_ezImage* image, int k) {
    if (k < -8 || k > 8) return -2;
    if (!image || (image->depth != 8 && image->depth != 16)) return -2;
    if (!usable(image) || k == 0) return 0;
    const size_t count = pixelCount(image) * channelsOf(image);
    if (image->depth == 8) {
        unsigned char* s = image->data;
        for (size_t i = 0; i < count; ++i) {
            const unsigned v = k > 0 ? unsigned(s[i]) << k : unsigned(s[i]) >> -k;
            s[i] = static_cast<unsigned char>(v > 255 ? 255 : v);
        }
    } else {
        u16u* s = reinterpret_cast<u16u*>(image->data);
        for (size_t i = 0; i < count; ++i) {
            const unsigned v = k > 0 ? unsigned(s[i]) << k : unsigned(s[i]) >> -k;
            s[i] = static_cast<uint16_t>(v > 65535 ? 65535 : v);
        }
    }
    return 0;
}

/// 3 x 3 median (type 1) or weighted smoothing (type 2), in place.
void __smooth(_ezImage* image, int type) {
    if (type == 1) {
        filterBytes(image,
                    [](const unsigned char* u, const unsigned char* c, const unsigned char* d,
                       int n) -> unsigned char {
                        int p[9] = {u[-n], u[0], u[n], c[-n], c[0], c[n], d[-n], d[0], d[n]};
                        return static_cast<unsigned char>(median9(p, sort8));
                    });
    } else if (type == 2) {
        filterBytes(image,
                    [](const unsigned char* u, const unsigned char* c, const unsigned char* d,
                       int n) -> unsigned char {
                        const int v = 4 * c[0] + 2 * (c[-n] + c[n] + u[0] + d[0]) + u[-n] + u[n] +
                                      d[-n] + d[n];
                        return static_cast<unsigned char>(v >> 4);
                    });
    }
}

/// 16-bit 3 x 3 median from src into dst (dark-frame cleaning). Column width - 1 repeats
/// column width - 2; column 0 takes the first sample of the row above.
void __smooth_middle(const _ezImage* src, _ezImage* dst) {
    if (!usable(src) || !usable(dst) || src->depth != 16 || src->channels != 1 ||
        dst->depth != 16 || dst->channels != 1 || dst->width != src->width ||
        dst->height != src->height)
        return;
    const int w = src->width, h = src->height;
    const u16u* in = reinterpret_cast<const u16u*>(src->data);
    u16u* out = reinterpret_cast<u16u*>(dst->data);
    if (w < 3) {
        std::memmove(dst->data, src->data, pixelCount(src) * 2);
        return;
    }
    for (int y = 0; y < h; ++y) {
        const u16u* up = in + static_cast<size_t>(y > 0 ? y - 1 : y) * w;
        const u16u* mid = in + static_cast<size_t>(y) * w;
        const u16u* dn = in + static_cast<size_t>(y + 1 < h ? y + 1 : y) * w;
        u16u* o = out + static_cast<size_t>(y) * w;
        for (int x = 1; x < w - 1; ++x) {
            uint16_t p[9] = {up[x - 1],  up[x],     up[x + 1], mid[x - 1], mid[x],
                             mid[x + 1], dn[x - 1], dn[x],     dn[x + 1]};
            o[x] = median9(p, sort16);
        }
        o[w - 1] = o[w - 2];
        o[0] = up[0];
    }
}

/// Sharpening v' = clamp(5c - up - down - left - right, 0, 255), in place.
void __laplace(_ezImage* image, int /*type*/) {
    filterBytes(image,
                [](const unsigned char* u, const unsigned char* c, const unsigned char* d,
                   int n) -> unsigned char {
                    const int v = 5 * c[0] - u[0] - d[0] - c[-n] - c[n];
                    return ezSaturate8u_cv[std::clamp(v, -256, 511) + 256];
                });
}

/// v' = v / 2 + (below + right) / 4 over an 8-bit image in storage order; the last row and
/// the last pixel before it stay.
void __repair_step(_ezImage* image) {
    if (!usable(image) || image->depth != 8 || image->height < 2) return;
    const size_t n = channelsOf(image);
    const size_t row = image->width * n;
    const size_t end = (image->height - 1) * row - n;
    unsigned char* s = image->data;
    for (size_t i = 0; i < end; ++i)
        s[i] = static_cast<unsigned char>(s[i] / 2 + (s[i + row] + s[i + n]) / 4);
}

/// Copies inner pixels over a border 2k pixels wide at the sides and k rows high at the top
/// and bottom. A border that would meet itself leaves the image unchanged.
void __repair_edge(_ezImage* image, int k) {
    if (!usable(image) || k <= 0) return;
    const int w = image->width, h = image->height;
    if (4 * k >= w || 2 * k >= h) return;
    const size_t p = std::max<size_t>(1, static_cast<size_t>(image->depth) * image->channels / 8);
    const size_t row = w * p;
    unsigned char* data = image->data;
    for (int y = 1; y <= h - 2; ++y) {
        unsigned char* r = data + y * row;
        for (int x = 0; x < 2 * k; ++x) std::memcpy(r + x * p, r + 2 * k * p, p);
        for (int x = w - 2 * k; x < w; ++x) std::memcpy(r + x * p, r + (w - 2 * k - 1) * p, p);
    }
    for (int y = 0; y < k; ++y) std::memcpy(data + y * row, data + k * row, row);
    for (int y = h - k; y < h; ++y) std::memcpy(data + y * row, data + (h - k - 1) * row, row);
}

/// A cross at the centre: a bar 99 pixels wide and two rows high, and one two pixels wide and
/// 99 rows high, clipped to the image. Colour pixels become (0, 0, full), grey ones full scale.
void __cross(_ezImage* image) {
    if (!usableDepth(image)) return;
    const int w = image->width, h = image->height, n = channelsOf(image);
    const int cx = w / 2, cy = h / 2;
    const bool wide = image->depth == 16;
    auto paint = [&](int y, int x) {
        if (x < 0 || y < 0 || x >= w || y >= h) return;
        const size_t at = (static_cast<size_t>(y) * w + x) * n;
        for (int k = 0; k < n; ++k) {
            const unsigned v = (n == 1 || k == 2) ? (wide ? 65535u : 255u) : 0u;
            if (wide)
                reinterpret_cast<u16u*>(image->data)[at + k] = static_cast<uint16_t>(v);
            else
                image->data[at + k] = static_cast<unsigned char>(v);
        }
    };
    for (int d = -49; d <= 49; ++d) {
        paint(cy - 1, cx + d);
        paint(cy, cx + d);
        paint(cy + d, cx - 1);
        paint(cy + d, cx);
    }
}
