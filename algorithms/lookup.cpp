// Byte-table lookups over interleaved samples. The AVX-512 kernel looks 64 bytes up at once in a
// 256-byte table held in four registers (two two-register byte permutes and a blend on the top
// bit). The AVX2 kernel sorts the bytes of a block by table into whole registers with blends and
// looks each register up in sixteen 16-entry slices. The portable kernel reads eight bytes as
// one word, looks each byte up and writes one word.
#include "algorithms/lookup.h"

#include "algorithms/lookup_vbmi.h"
#include "algorithms/simd.h"

#include <array>
#include <bit>
#include <cstring>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define HX_LOOKUP_X86 1
#define HX_VBMI __attribute__((target("avx512f,avx512bw,avx512vbmi")))
#define HX_AVX2 __attribute__((target("avx2")))
#endif

namespace hx::algorithms {

namespace {

/// Blocks of the vector kernels: a whole number of groups for every period.
constexpr size_t kBlock = 192;

constexpr auto kIdentity = [] {
    std::array<uint8_t, 256> t{};
    for (int i = 0; i < 256; ++i) t[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    return t;
}();

/// Shift of byte b of a word read from memory.
constexpr int shiftOf(size_t b) {
    return std::endian::native == std::endian::little ? static_cast<int>(8 * b)
                                                      : static_cast<int>(56 - 8 * b);
}

/// The eight bytes at p, byte `First` of the group first, looked up into one word.
template <size_t P, size_t First, size_t... B>
inline uint64_t mapWord(const uint8_t* p, const uint8_t* const* t, std::index_sequence<B...>) {
    return ((uint64_t{t[(First + B) % P][p[B]]} << shiftOf(B)) | ...);
}

/// Every byte is read by itself, which spares the shifts and masks that would take it out of a
/// word (the processor has more ports for loads than the lookup needs), and written back in words.
/// The words are stored one by one: as one array they took a slow detour through the stack.
template <size_t P, size_t... W>
inline void mapWords(uint8_t* p, const uint8_t* const* t, std::index_sequence<W...>) {
    const uint64_t x[sizeof...(W)] = {
        mapWord<P, 8 * W>(p + 8 * W, t, std::make_index_sequence<8>())...};
    (std::memcpy(p + 8 * W, &x[W], sizeof(uint64_t)), ...);
}

/// The portable kernel for groups of P bytes: blocks of whole words (8 bytes, or 24 for periods
/// of three and six), then byte by byte. t has a table for every byte of the group (for
/// OddOnly, for every odd byte).
template <size_t P, bool OddOnly>
void mapPortable(uint8_t* p, size_t bytes, const uint8_t* const* tables) {
    constexpr size_t kWords = P % 3 == 0 ? 3 : 1;
    const uint8_t* t[P];
    for (size_t j = 0; j < P; ++j) t[j] = tables[j];
    if constexpr (OddOnly) {
        // Half the bytes stay: looking the others up in place measured faster than whole words.
        for (size_t g = 0; g + P <= bytes; g += P)
            for (size_t j = 1; j < P; j += 2) p[g + j] = t[j][p[g + j]];
        return;
    }
    size_t i = 0;
    for (; i + 8 * kWords <= bytes; i += 8 * kWords)
        mapWords<P>(p + i, t, std::make_index_sequence<kWords>());
    for (; i < bytes; ++i) p[i] = t[i % P][p[i]];
}

#ifdef HX_LOOKUP_X86
// The compiler's AVX-512 headers start some results from a deliberately undefined vector,
// which its own uninitialised-use warning then reports; nothing here reads such a value.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#ifndef __clang__ // clang has no such warning
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

/// Blocks of 192 bytes; returns the bytes done.
HX_VBMI size_t mapBytesVbmi(uint8_t* p, size_t bytes, int count, const uint8_t* const distinct[6],
                            const uint64_t masks[6][3]) {
    if (count == 0) return bytes; // nothing changes
    detail::Table256 tables[6];
    for (int k = 0; k < count; ++k) tables[k] = detail::loadTable256(distinct[k]);
    size_t i = 0;
    for (; i + kBlock <= bytes; i += kBlock)
        for (int v = 0; v < 3; ++v) {
            uint8_t* at = p + i + 64 * v;
            const __m512i in = _mm512_loadu_si512(at);
            __m512i out = in;
            for (int k = 0; k < count; ++k)
                out = _mm512_mask_mov_epi8(out, masks[k][v], detail::lookup256(tables[k], in));
            _mm512_storeu_si512(at, out);
        }
    return i;
}

#pragma GCC diagnostic pop

/// A 256-byte table as sixteen slices of 16 entries, each in both lanes, ready for lookup32:
/// slices 0-7 and 8-15 each hold the differences of consecutive slices of their half, so
/// that the slices an input reaches add up (by exclusive or) to its own slice.
struct Slices {
    __m256i s[16];
};

HX_AVX2 void prepareSlices(const uint8_t* table, Slices& out) {
    for (int k = 0; k < 16; ++k) {
        __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(table + 16 * k));
        if (k != 7 && k != 15)
            d = _mm_xor_si128(
                d, _mm_loadu_si128(reinterpret_cast<const __m128i*>(table + 16 * k + 16)));
        out.s[k] = _mm256_broadcastsi128_si256(d);
    }
}

/// 32 bytes through a prepared table. A byte shuffle reads entry (x & 15) of a slice, or gives
/// 0 where x has its top bit set. Adding 16 (saturating) k times to a byte of the low half
/// (high nibble h < 8) sets that bit exactly when h + k > 7, so slice 7 - k is reached by the
/// inputs of slices up to 7 - k; the high half goes the same way with its top bit flipped.
HX_AVX2 inline __m256i lookup32(const Slices& t, __m256i v) {
    const __m256i step = _mm256_set1_epi8(0x10);
    __m256i x = v;
    __m256i low = _mm256_shuffle_epi8(t.s[7], x);
    for (int k = 6; k >= 0; --k) {
        x = _mm256_adds_epu8(x, step);
        low = _mm256_xor_si256(low, _mm256_shuffle_epi8(t.s[k], x));
    }
    x = _mm256_xor_si256(v, _mm256_set1_epi8(static_cast<char>(0x80)));
    __m256i high = _mm256_shuffle_epi8(t.s[15], x);
    for (int k = 14; k >= 8; --k) {
        x = _mm256_adds_epu8(x, step);
        high = _mm256_xor_si256(high, _mm256_shuffle_epi8(t.s[k], x));
    }
    return _mm256_or_si256(low, high);
}

HX_AVX2 inline void lookupIf(const Slices* t, __m256i& v) {
    if (t) v = lookup32(*t, v);
}

/// Two registers of 2-byte groups (tables a for the even bytes, b for the odd ones): the even
/// bytes of both are gathered into one register and the odd ones into another, each looked up
/// through its one table, and put back.
HX_AVX2 inline void lookupPair(const Slices* a, const Slices* b, __m256i& first, __m256i& second) {
    if (a == b) {
        lookupIf(a, first);
        lookupIf(a, second);
        return;
    }
    const __m256i low = _mm256_set1_epi16(0x00FF);
    __m256i even = _mm256_or_si256(_mm256_and_si256(first, low), _mm256_slli_epi16(second, 8));
    __m256i odd = _mm256_or_si256(_mm256_srli_epi16(first, 8), _mm256_andnot_si256(low, second));
    lookupIf(a, even);
    lookupIf(b, odd);
    first = _mm256_or_si256(_mm256_and_si256(even, low), _mm256_slli_epi16(odd, 8));
    second = _mm256_or_si256(_mm256_srli_epi16(even, 8), _mm256_andnot_si256(low, odd));
}

/// Sorting three consecutive registers (96 bytes) of 3- or 6-byte groups: at byte i of the
/// registers, group byte j lies in register (a + s(i)) mod 3 for a that depends on j only.
/// Register a of the sorted three takes, at every i, the byte of register (a + s(i)) mod 3:
/// for 3-byte groups it then holds group byte 2a mod 3 throughout, for 6-byte groups bytes 2a
/// and 2a + 1 alternately. `one` and `two` mark the bytes where s(i) is 1 and 2.
struct Sorting {
    __m256i one, two;
};

HX_AVX2 Sorting sortingFor(int period) {
    alignas(32) uint8_t one[32], two[32];
    for (int i = 0; i < 32; ++i) {
        const int s = period == 3 ? i % 3 : (3 - (i / 2) % 3) % 3;
        one[i] = s == 1 ? 0xFF : 0;
        two[i] = s == 2 ? 0xFF : 0;
    }
    return {_mm256_load_si256(reinterpret_cast<const __m256i*>(one)),
            _mm256_load_si256(reinterpret_cast<const __m256i*>(two))};
}

/// Register a of the result takes, at every byte i, the byte of register (a + Step * s(i)) mod 3:
/// Step 1 sorts, Step 2 (minus one, mod 3) puts the sorted bytes back.
template <int Step> HX_AVX2 inline void rotateBytes(const Sorting& m, __m256i v[3]) {
    __m256i out[3];
    for (int a = 0; a < 3; ++a)
        out[a] = _mm256_blendv_epi8(_mm256_blendv_epi8(v[a], v[(a + Step) % 3], m.one),
                                    v[(a + 2 * Step) % 3], m.two);
    for (int a = 0; a < 3; ++a) v[a] = out[a];
}

HX_AVX2 inline void sortBytes(const Sorting& m, __m256i v[3]) {
    rotateBytes<1>(m, v);
}

HX_AVX2 inline void unsortBytes(const Sorting& m, __m256i v[3]) {
    rotateBytes<2>(m, v);
}

/// Blocks of 192 bytes of groups of `period` bytes whose byte j goes through t[j] (null: kept);
/// returns the bytes done.
HX_AVX2 size_t mapBytesAvx2(uint8_t* p, size_t bytes, int period, const Slices* const t[6]) {
    const Sorting sorting = sortingFor(period);
    size_t i = 0;
    for (; i + kBlock <= bytes; i += kBlock) {
        __m256i v[6];
        for (int q = 0; q < 6; ++q)
            v[q] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 32 * q));
        switch (period) {
        case 1:
            for (auto& r : v) lookupIf(t[0], r);
            break;
        case 2:
            for (int q = 0; q < 6; q += 2) lookupPair(t[0], t[1], v[q], v[q + 1]);
            break;
        case 3:
            for (int h = 0; h < 6; h += 3) {
                sortBytes(sorting, v + h);
                for (int a = 0; a < 3; ++a) lookupIf(t[(2 * a) % 3], v[h + a]);
                unsortBytes(sorting, v + h);
            }
            break;
        default: // 6
            sortBytes(sorting, v);
            sortBytes(sorting, v + 3);
            for (int a = 0; a < 3; ++a) lookupPair(t[2 * a], t[2 * a + 1], v[a], v[a + 3]);
            unsortBytes(sorting, v);
            unsortBytes(sorting, v + 3);
            break;
        }
        for (int q = 0; q < 6; ++q)
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(p + i + 32 * q), v[q]);
    }
    return i;
}

HX_AVX2 size_t mapBytesAvx2(uint8_t* p, size_t bytes, int period, int count,
                            const uint8_t* const distinct[6], const int slot[6]) {
    if (count == 0) return bytes;
    Slices prepared[6];
    for (int k = 0; k < count; ++k) prepareSlices(distinct[k], prepared[k]);
    const Slices* t[6] = {};
    for (int j = 0; j < period; ++j) t[j] = slot[j] < 0 ? nullptr : &prepared[slot[j]];
    return mapBytesAvx2(p, bytes, period, t);
}
#endif

} // namespace

bool vectorLookups() {
    return useAvx512Vbmi() || useAvx2();
}

ByteMapper::ByteMapper(const ByteLayout& layout) : layout_(layout) {
    const int period = layout.period;
    valid_ = period == 1 || period == 2 || period == 3 || period == 6;
    if (!valid_) return;
    for (int j = 0; j < period; ++j) {
        const uint8_t* t = layout.table[j];
        if (!t) continue;
        for (int k = 0; k < count_ && slot_[j] < 0; ++k)
            if (distinct_[k] == t || std::memcmp(distinct_[k], t, 256) == 0) slot_[j] = k;
        if (slot_[j] < 0) {
            distinct_[count_] = t;
            slot_[j] = count_++;
        }
    }
    for (int v = 0; v < 3; ++v)
        for (int i = 0; i < 64; ++i)
            if (const int s = slot_[(64 * v + i) % period]; s >= 0)
                masks_[s][v] |= uint64_t{1} << i;
    // The shortest period over which the tables repeat: 3 x 8 bits mapped alike is one table.
    period_ = period;
    for (int shorter : {1, 2, 3}) {
        if (shorter >= period || period % shorter != 0) continue;
        bool repeats = true;
        for (int j = 0; j < period; ++j) repeats = repeats && slot_[j] == slot_[j % shorter];
        if (repeats) {
            period_ = shorter;
            break;
        }
    }
    if (count_ == 0) return; // nothing changes
    bool oddOnly = period_ % 2 == 0;
    for (int j = 0; j < period_; ++j) {
        const int s = slot_[j];
        if (j % 2 == 0 && s >= 0) oddOnly = false;
        portableTables_[j] = s >= 0 ? distinct_[s] : kIdentity.data();
    }
    if (oddOnly)
        portable_ = period_ == 2 ? mapPortable<2, true> : mapPortable<6, true>;
    else
        switch (period_) {
        case 1:
            portable_ = mapPortable<1, false>;
            break;
        case 2:
            portable_ = mapPortable<2, false>;
            break;
        case 3:
            portable_ = mapPortable<3, false>;
            break;
        default:
            portable_ = mapPortable<6, false>;
            break;
        }
}

size_t ByteMapper::applyAvx512(uint8_t* data, size_t bytes) const {
#ifdef HX_LOOKUP_X86
    if (data && valid_ && useAvx512Vbmi())
        return mapBytesVbmi(data, bytes, count_, distinct_, masks_);
#endif
    (void)data;
    (void)bytes;
    return 0;
}

size_t ByteMapper::applyAvx2(uint8_t* data, size_t bytes) const {
#ifdef HX_LOOKUP_X86
    if (data && valid_ && useAvx2())
        return mapBytesAvx2(data, bytes, period_, count_, distinct_, slot_);
#endif
    (void)data;
    (void)bytes;
    return 0;
}

void ByteMapper::applyPortable(uint8_t* data, size_t bytes) const {
    if (data && valid_ && portable_) portable_(data, bytes, portableTables_);
}

void ByteMapper::apply(uint8_t* data, size_t bytes) const {
    if (!data || !valid_ || count_ == 0) return;
    size_t done = 0;
#ifdef HX_LOOKUP_X86
    if (useAvx512Vbmi())
        done = mapBytesVbmi(data, bytes, count_, distinct_, masks_);
    else if (useAvx2())
        done = mapBytesAvx2(data, bytes, period_, count_, distinct_, slot_);
#endif
    portable_(data + done, bytes - done, portableTables_);
}

void mapBytes(uint8_t* data, size_t bytes, const ByteLayout& layout) {
    ByteMapper(layout).apply(data, bytes);
}

} // namespace hx::algorithms
