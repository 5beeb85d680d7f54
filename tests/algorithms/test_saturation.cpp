// The computed colour step with saturation against the tables it replaces: every saturation the
// rule covers over every (green, sample) pair, gains and tones around it, lengths around the
// blocks, and the recognition of tables that follow the rule.
#include "algorithms/saturation.h"
#include "algorithms/tone.h"
#include "random_bytes.h"

#include <gtest/gtest.h>

#include <numeric>
#include <random>
#include <vector>

using hx::algorithms::SaturationStep;
using hxtest::randomBytes;

namespace {

std::vector<uint8_t> saturationTable(int s) {
    std::vector<uint8_t> t(256 * 256);
    __matrix_saturation(s, t.data(), 256);
    return t;
}

} // namespace

TEST(Saturation, EverySaturationAndEveryPairAsTheTable) {
    if (!hx::algorithms::vectorSaturation()) GTEST_SKIP() << "no vector saturation here";
    std::vector<uint8_t> identity(256);
    std::iota(identity.begin(), identity.end(), 0);
    SaturationStep step;
    for (int c = 0; c < 3; ++c) step.gain[c] = step.tone[c] = identity.data();
    // Pixel (green g, sample v): sample 0 is v, sample 2 runs the other way.
    std::vector<uint8_t> pairs(3 * 65536);
    for (int g = 0; g < 256; ++g)
        for (int v = 0; v < 256; ++v) {
            uint8_t* p = &pairs[3 * (g * 256 + v)];
            p[0] = static_cast<uint8_t>(v);
            p[1] = static_cast<uint8_t>(g);
            p[2] = static_cast<uint8_t>(255 - v);
        }
    for (int s = 0; s <= 255; ++s) {
        const std::vector<uint8_t> table = saturationTable(s);
        std::vector<uint8_t> px = pairs;
        step.saturation = s;
        ASSERT_EQ(hx::algorithms::saturatePixels(px.data(), 65536, step), 65536u);
        for (int g = 0; g < 256; ++g)
            for (int v = 0; v < 256; ++v) {
                const uint8_t* p = &px[3 * (g * 256 + v)];
                ASSERT_EQ(p[0], table[g * 256 + v]) << "s " << s << " g " << g << " v " << v;
                ASSERT_EQ(p[1], g);
                ASSERT_EQ(p[2], table[g * 256 + 255 - v]) << "s " << s << " g " << g;
            }
    }
}

TEST(Saturation, GainsTonesAndLowBytesAroundItAndOnlyWholeBlocks) {
    if (!hx::algorithms::vectorSaturation()) GTEST_SKIP() << "no vector saturation here";
    std::vector<std::vector<uint8_t>> tables;
    for (unsigned t = 0; t < 9; ++t) tables.push_back(randomBytes(256, 40 + t));
    for (bool wide : {false, true}) {
        SaturationStep step;
        step.wide = wide;
        for (int c = 0; c < 3; ++c) {
            step.gain[c] = tables[c].data();
            step.tone[c] = tables[3 + c].data();
            step.low[c] = tables[6 + c].data();
        }
        const size_t e = wide ? 2 : 1, block = wide ? 32 : 64;
        for (int s : {0, 37, 130, 255})
            for (size_t n : {0, 1, 31, 32, 33, 63, 64, 65, 127, 1000, 3656}) {
                const std::vector<uint8_t> sat = saturationTable(s);
                step.saturation = s;
                const std::vector<uint8_t> before = randomBytes(3 * e * n + 5, unsigned(n + s));
                std::vector<uint8_t> px = before;
                const size_t done = hx::algorithms::saturatePixels(px.data(), n, step);
                ASSERT_EQ(done, n / block * block);
                for (size_t i = 0; i < done; ++i) {
                    const uint8_t* in = &before[3 * e * i];
                    const uint8_t* out = &px[3 * e * i];
                    const size_t hi = e - 1;
                    const unsigned g = step.gain[1][in[e + hi]];
                    const unsigned a = sat[g * 256 + step.gain[0][in[hi]]];
                    const unsigned b = sat[g * 256 + step.gain[2][in[2 * e + hi]]];
                    ASSERT_EQ(out[hi], step.tone[0][a])
                        << "wide " << wide << " s " << s << " n " << n << " i " << i;
                    ASSERT_EQ(out[e + hi], step.tone[1][g]);
                    ASSERT_EQ(out[2 * e + hi], step.tone[2][b]);
                    for (int c = 0; wide && c < 3; ++c)
                        ASSERT_EQ(out[2 * c], step.low[c][in[2 * c]]) << "low byte " << c;
                }
                ASSERT_TRUE(
                    std::equal(px.begin() + 3 * e * done, px.end(), before.begin() + 3 * e * done))
                    << "bytes after the blocks changed, n " << n;
            }
    }
    SaturationStep step;
    for (int c = 0; c < 3; ++c) step.gain[c] = step.tone[c] = tables[c].data();
    step.saturation = 256; // beyond the rule's 16-bit lanes: left to the caller
    std::vector<uint8_t> px = randomBytes(6 * 64, 1);
    EXPECT_EQ(hx::algorithms::saturatePixels(px.data(), 64, step), 0u);
    step.saturation = 100;
    step.wide = true; // without low-byte tables
    EXPECT_EQ(hx::algorithms::saturatePixels(px.data(), 64, step), 0u);
    step.wide = false;
    step.tone[2] = nullptr;
    EXPECT_EQ(hx::algorithms::saturatePixels(px.data(), 64, step), 0u);
    EXPECT_EQ(hx::algorithms::saturatePixels(nullptr, 64, step), 0u);
}

TEST(Saturation, RecognisesTablesOfTheRuleOnly) {
    for (int s = 0; s <= 255; ++s)
        ASSERT_EQ(hx::algorithms::saturationOfTable(saturationTable(s).data()), s);
    // Beyond 255 the row holds 255 where the candidate is read, yet the table differs.
    EXPECT_EQ(hx::algorithms::saturationOfTable(saturationTable(300).data()), -1);
    std::vector<uint8_t> changed = saturationTable(130);
    changed[200 * 256 + 17] ^= 1;
    EXPECT_EQ(hx::algorithms::saturationOfTable(changed.data()), -1);
    EXPECT_EQ(hx::algorithms::saturationOfTable(nullptr), -1);
}
