// Saving from two threads at once: each thread's files are exactly what a lone save produces.
#include <gtest/gtest.h>

#include <thread>

#include "ezimage_test_util.h"

using hxtest::readFile;
using hxtest::RegistryTest;

TEST_F(RegistryTest, TwoThreadsSavingAtOnceEachGetTheirOwnFiles) {
    const char* exts[] = {"raw", "bmp", "jpg", "tif", "png"};
    hxtest::ImagePtr a = hxtest::patternImage(120, 90, 8, 3);
    hxtest::ImagePtr b = hxtest::smoothImage(64, 100, 16, 1);

    // References written by one thread alone.
    std::vector<std::vector<unsigned char>> refA, refB;
    for (const char* ext : exts) {
        ASSERT_TRUE(ezSaveImage(dir.file(std::string("refA.") + ext), a.get()));
        ASSERT_TRUE(ezSaveImage(dir.file(std::string("refB.") + ext), b.get()));
        refA.push_back(readFile(dir.file(std::string("refA.") + ext)));
        refB.push_back(readFile(dir.file(std::string("refB.") + ext)));
    }

    auto saveAll = [&](const _ezImage* image, const std::string& prefix, int& failures) {
        for (int round = 0; round < 10; ++round)
            for (const char* ext : exts)
                if (!ezSaveImage(dir.file(prefix + std::to_string(round) + "." + ext), image))
                    ++failures;
    };
    int failuresA = 0, failuresB = 0;
    std::thread ta(saveAll, a.get(), "a", std::ref(failuresA));
    std::thread tb(saveAll, b.get(), "b", std::ref(failuresB));
    ta.join();
    tb.join();
    EXPECT_EQ(failuresA, 0);
    EXPECT_EQ(failuresB, 0);

    for (int round = 0; round < 10; ++round)
        for (size_t e = 0; e < std::size(exts); ++e) {
            const std::string suffix = std::to_string(round) + "." + exts[e];
            EXPECT_EQ(readFile(dir.file("a" + suffix)), refA[e]) << suffix;
            EXPECT_EQ(readFile(dir.file("b" + suffix)), refB[e]) << suffix;
        }
    EXPECT_EQ(dir.entries().size(), 10u + 100u);
}
