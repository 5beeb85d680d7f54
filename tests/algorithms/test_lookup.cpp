// Byte-table lookups over interleaved samples against plain loops: every layout period (8- and
// 16-bit, one and three channels), tables missing, shared or equal in content, lengths around
// the vector blocks, any alignment.
#include "algorithms/lookup.h"
#include "algorithms/simd.h"
#include "random_bytes.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

using hx::algorithms::ByteLayout;
using hxtest::randomBytes;

TEST(Lookup, MapBytesEqualsThePlainLoopForEveryLayout) {
    // Six different tables and a seventh equal in content to the first.
    std::vector<std::vector<uint8_t>> tables;
    for (unsigned t = 0; t < 6; ++t) tables.push_back(randomBytes(256, 100 + t));
    tables.push_back(tables[0]);
    const uint8_t* const choices[][6] = {
        {tables[0].data(), tables[1].data(), tables[2].data(), tables[3].data(), tables[4].data(),
         tables[5].data()},
        {nullptr, tables[1].data(), nullptr, tables[3].data(), nullptr, tables[5].data()},
        {tables[0].data(), tables[6].data(), tables[0].data(), nullptr, tables[6].data(),
         tables[2].data()},
        {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    for (int period : {1, 2, 3, 6})
        for (const auto& choice : choices)
            for (size_t groups : {0, 1, 31, 32, 63, 64, 65, 191, 192, 193, 1000, 3657}) {
                ByteLayout layout;
                layout.period = period;
                for (int j = 0; j < period; ++j) layout.table[j] = choice[j];
                const size_t bytes = groups * period;
                std::vector<uint8_t> data = randomBytes(bytes + 7, unsigned(groups + period));
                std::vector<uint8_t> expect = data;
                for (size_t i = 0; i < bytes; ++i)
                    if (const uint8_t* t = layout.table[i % period]) expect[i] = t[expect[i]];
                hx::algorithms::mapBytes(data.data(), bytes, layout);
                ASSERT_EQ(data, expect) << "period " << period << " groups " << groups << " tables "
                                        << (&choice - choices);
            }
}

TEST(Lookup, MapBytesAtAnyAlignmentAndRefusesUnknownPeriods) {
    const std::vector<uint8_t> table = randomBytes(256, 3);
    for (size_t offset = 0; offset < 5; ++offset) {
        std::vector<uint8_t> data = randomBytes(offset + 3 * 500, 9);
        std::vector<uint8_t> expect = data;
        for (size_t i = offset; i < data.size(); ++i) expect[i] = table[expect[i]];
        hx::algorithms::mapBytes(data.data() + offset, 3 * 500,
                                 ByteLayout{3, {table.data(), table.data(), table.data()}});
        ASSERT_EQ(data, expect) << "offset " << offset;
    }
    // Every table present: a period outside 1, 2, 3 and 6 is refused, not mapped in part.
    for (int period : {0, 4, 5, 7}) {
        std::vector<uint8_t> data = randomBytes(420, 4);
        const std::vector<uint8_t> before = data;
        ByteLayout layout;
        layout.period = period;
        for (const uint8_t*& t : layout.table) t = table.data();
        hx::algorithms::mapBytes(data.data(), data.size(), layout);
        EXPECT_EQ(data, before) << "period " << period;
    }
}

namespace {

/// What the plain loop over every byte gives.
std::vector<uint8_t> mappedPlainly(std::vector<uint8_t> data, size_t bytes, const ByteLayout& l) {
    for (size_t i = 0; i < bytes; ++i)
        if (const uint8_t* t = l.table[i % static_cast<size_t>(l.period)]) data[i] = t[data[i]];
    return data;
}

/// One table per byte of the group, many choices of null, shared and equal tables, including
/// those of the chain's steps (high bytes only, six different tables).
std::vector<ByteLayout> kernelLayouts(const std::vector<std::vector<uint8_t>>& tables) {
    const uint8_t* a = tables[0].data();
    const uint8_t* b = tables[1].data();
    const uint8_t* c = tables[2].data();
    const uint8_t* same = tables[3].data(); // equal in content to a
    std::vector<ByteLayout> layouts = {
        {1, {a}},
        {1, {nullptr}},
        {2, {a, b}},
        {2, {nullptr, b}},
        {2, {a, nullptr}},
        {2, {a, same}},
        {3, {a, b, c}},
        {3, {a, same, a}},
        {3, {nullptr, b, nullptr}},
        {3, {a, nullptr, c}},
        {6, {tables[4].data(), a, tables[5].data(), b, tables[6].data(), c}},
        {6, {nullptr, a, nullptr, b, nullptr, c}},
        {6, {nullptr, a, nullptr, same, nullptr, a}},
        {6, {a, b, a, b, a, b}},
        {6, {a, b, c, a, b, c}},
        {6, {a, nullptr, nullptr, b, c, nullptr}},
        {6, {}},
    };
    return layouts;
}

} // namespace

TEST(Lookup, EveryKernelEqualsThePlainLoop) {
    std::vector<std::vector<uint8_t>> tables;
    for (unsigned t = 0; t < 7; ++t) tables.push_back(randomBytes(256, 200 + t));
    tables[3] = tables[0];
    // A table with every slice different and entries at both ends of the range.
    for (int i = 0; i < 256; ++i) tables[1][static_cast<size_t>(i)] = static_cast<uint8_t>(255 - i);
    const bool avx2 = hx::algorithms::useAvx2();
    const bool avx512 = hx::algorithms::useAvx512Vbmi();
    if (!avx2) std::printf("no AVX2 here: the portable kernel alone is checked\n");
    for (const ByteLayout& layout : kernelLayouts(tables))
        for (size_t groups : {0, 1, 5, 31, 32, 33, 64, 95, 96, 97, 191, 192, 193, 1000, 4099}) {
            const size_t bytes = groups * static_cast<size_t>(layout.period);
            // Every byte value in every position of the group, then random ones.
            std::vector<uint8_t> input =
                randomBytes(bytes + 9, unsigned(groups * 7 + layout.period));
            for (size_t i = 0; i < bytes && i < 256 * 6; ++i)
                input[i] = static_cast<uint8_t>(i / static_cast<size_t>(layout.period));
            const std::vector<uint8_t> expect = mappedPlainly(input, bytes, layout);
            const hx::algorithms::ByteMapper mapper(layout);
            const std::string what = "period " + std::to_string(layout.period) + " groups " +
                                     std::to_string(groups) + " tables " +
                                     std::to_string(layout.table[0] != nullptr) +
                                     std::to_string(layout.table[1] != nullptr);

            std::vector<uint8_t> data = input;
            mapper.applyPortable(data.data(), bytes);
            ASSERT_EQ(data, expect) << "portable " << what;

            data = input;
            const size_t vectored = mapper.applyAvx2(data.data(), bytes);
            if (avx2) {
                // Whole blocks only, and exactly those, unless nothing is to be mapped.
                if (vectored != bytes) {
                    EXPECT_EQ(vectored, bytes / 192 * 192) << what;
                }
                mapper.applyPortable(data.data() + vectored, bytes - vectored);
                ASSERT_EQ(data, expect) << "AVX2 " << what;
            } else {
                EXPECT_EQ(vectored, 0u);
            }

            data = input;
            const size_t wide = mapper.applyAvx512(data.data(), bytes);
            if (avx512) {
                mapper.applyPortable(data.data() + wide, bytes - wide);
                ASSERT_EQ(data, expect) << "AVX-512 " << what;
            } else {
                EXPECT_EQ(wide, 0u);
            }

            data = input;
            mapper.apply(data.data(), bytes);
            ASSERT_EQ(data, expect) << "dispatched " << what;
        }
}

TEST(Lookup, KernelsOfAnUnknownPeriodOrWithoutDataChangeNothing) {
    const std::vector<uint8_t> table = randomBytes(256, 5);
    ByteLayout layout;
    layout.period = 4;
    for (const uint8_t*& t : layout.table) t = table.data();
    const hx::algorithms::ByteMapper mapper(layout);
    std::vector<uint8_t> data = randomBytes(384, 6);
    const std::vector<uint8_t> before = data;
    EXPECT_EQ(mapper.applyAvx2(data.data(), data.size()), 0u);
    EXPECT_EQ(mapper.applyAvx512(data.data(), data.size()), 0u);
    mapper.applyPortable(data.data(), data.size());
    EXPECT_EQ(data, before);
    const hx::algorithms::ByteMapper one(ByteLayout{1, {table.data()}});
    EXPECT_EQ(one.applyAvx2(nullptr, 384), 0u);
    one.applyPortable(nullptr, 384);
    one.apply(nullptr, 384);
}
