// Byte-table lookups over interleaved samples, the inner loops of the tone, colour and stretch
// steps: 64 bytes at a time where the processor has 512-bit byte permutes, 32 at a time with
// AVX2 byte shuffles, else eight bytes read and written as one word.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hx::algorithms {

/// Byte tables over a repeating layout of `period` bytes (1, 2, 3 or 6): byte j of every group
/// goes through table[j], or stays as it is where table[j] is null.
struct ByteLayout {
    int period = 1;
    const uint8_t* table[6] = {};
};

/// True when the lookups below run in vector registers (the processor has AVX-512 with byte
/// permutes, or AVX2, and vectors are not switched off); without, they are plain loops.
bool vectorLookups();

/// A layout prepared once for many calls (the tables that are equal in content looked up once,
/// the byte masks of each table worked out): what a step makes before its loop over a frame.
/// The tables are referred to, not copied; they must outlive the mapper.
class ByteMapper {
public:
    explicit ByteMapper(const ByteLayout& layout);
    /// Maps `bytes` bytes in place; `bytes` is a whole number of groups. The same result as the
    /// plain loop over every byte. An unknown period changes nothing.
    void apply(uint8_t* data, size_t bytes) const;

    /// The kernels one by one, for the tests: each maps the whole blocks it handles from the
    /// start of data and returns the bytes it did (0 where the processor lacks its
    /// instructions); the portable one maps everything.
    size_t applyAvx512(uint8_t* data, size_t bytes) const;
    size_t applyAvx2(uint8_t* data, size_t bytes) const;
    void applyPortable(uint8_t* data, size_t bytes) const;

    /// The portable kernel: `tables` holds one table per byte of the group, null for bytes that
    /// stay.
    using PortableKernel = void (*)(uint8_t*, size_t, const uint8_t* const* tables);

private:
    ByteLayout layout_;
    bool valid_ = false;
    int count_ = 0; ///< distinct tables
    const uint8_t* distinct_[6] = {};
    int slot_[6] = {-1, -1, -1, -1, -1, -1}; ///< distinct table of each byte of the group
    uint64_t masks_[6][3] = {};              ///< bytes of each 192-byte block that table k maps
    int period_ = 1;                         ///< shortest period of the distinct tables
    PortableKernel portable_ = nullptr;
    const uint8_t* portableTables_[6] = {}; ///< per byte of the shortest period
};

/// Maps `bytes` bytes in place through the layout's tables; `bytes` is a whole number of groups.
/// The same result as the plain loop over every byte.
void mapBytes(uint8_t* data, size_t bytes, const ByteLayout& layout);

} // namespace hx::algorithms
