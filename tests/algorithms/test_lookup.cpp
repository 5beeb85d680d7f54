// Byte-table lookups over interleaved samples against plain loops: every layout period (8- and
// 16-bit, one and three channels), tables missing, shared or equal in content, lengths around
// the vector blocks, any alignment.
#include "algorithms/lookup.h"
#include "algorithms/simd.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

using hx::algorithms::ByteLayout;

namespace {

std::vector<uint8_t> randomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
}

} // namespace

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
