// The switch that turns the vector kernels off.
#include "algorithms/demosaic.h"
#include "algorithms/lookup.h"
#include "algorithms/simd.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

TEST(Simd, SwitchWords) {
    for (const char* off : {"off", "OFF", "Off", "0", "no", "false", "FALSE"})
        EXPECT_TRUE(hx::algorithms::simdSwitchedOff(off)) << off;
    for (const char* on : {"on", "1", "", "of", "offf", "avx2", "yes", "off "})
        EXPECT_FALSE(hx::algorithms::simdSwitchedOff(on)) << on;
    EXPECT_FALSE(hx::algorithms::simdSwitchedOff(nullptr));
    EXPECT_FALSE(hx::algorithms::simdSwitchedOff("a much longer word than any switch"));
    for (const char* cap : {"avx2", "AVX2", "Avx2"})
        EXPECT_TRUE(hx::algorithms::simdCappedAtAvx2(cap)) << cap;
    for (const char* other : {"off", "avx", "avx2 ", "avx512", "", "on"})
        EXPECT_FALSE(hx::algorithms::simdCappedAtAvx2(other)) << other;
    EXPECT_FALSE(hx::algorithms::simdCappedAtAvx2(nullptr));
}

TEST(Simd, SwitchedOffMeansNoVectorPathAnywhere) {
    // Meaningful in the run of the suites under HALVEX_SIMD=off.
    const bool off = hx::algorithms::simdSwitchedOff(std::getenv("HALVEX_SIMD"));
    EXPECT_EQ(hx::algorithms::simdEnabled(), !off);
    if (off) {
        EXPECT_FALSE(hx::algorithms::useSsse3());
        EXPECT_FALSE(hx::algorithms::useAvx2());
        EXPECT_FALSE(hx::algorithms::useAvx2Fma());
        EXPECT_FALSE(hx::algorithms::demosaicHasAvx2());
        EXPECT_FALSE(hx::algorithms::useAvx512Vbmi());
        EXPECT_FALSE(hx::algorithms::vectorLookups());
    }
    if (hx::algorithms::useAvx2Fma()) {
        EXPECT_TRUE(hx::algorithms::useAvx2());
    }
    // Meaningful in a run under HALVEX_SIMD=avx2: the AVX2 kernels stay, AVX-512 goes.
    if (hx::algorithms::simdCappedAtAvx2(std::getenv("HALVEX_SIMD"))) {
        EXPECT_TRUE(hx::algorithms::simdEnabled());
        EXPECT_FALSE(hx::algorithms::avx512Allowed());
        EXPECT_FALSE(hx::algorithms::useAvx512Vbmi());
        EXPECT_EQ(hx::algorithms::vectorLookups(), hx::algorithms::useAvx2());
    }
    if (!hx::algorithms::avx512Allowed()) {
        EXPECT_FALSE(hx::algorithms::useAvx512Vbmi());
    }
}
