// Which resolution items count as binnings, and how INDI frames map onto the camera's region.
#include <gtest/gtest.h>

#include <cstdlib>

#include "SimulatedLibrary.h"
#include "camera/CamApi.h"
#include "indi/ReadoutModes.h"

using hx::indi::PixelRect;
using hx::indi::ReadoutItem;
using hx::indi::ReadoutModes;

namespace {

ReadoutModes modes(std::vector<std::pair<std::string, std::pair<int, int>>> items) {
    std::vector<ReadoutItem> list;
    for (size_t i = 0; i < items.size(); ++i)
        list.push_back({int(i), items[i].first, items[i].second.first, items[i].second.second, 0});
    return ReadoutModes(std::move(list));
}

TEST(ReadoutModes, WholeFieldItemsAreBinningsAndWindowsAreNot) {
    const ReadoutModes m = modes({{"1592x1192", {1600, 1200}},
                                  {"792x592", {800, 600}},
                                  {"392x292", {400, 300}},
                                  {"1272X792 ROI", {1280, 800}},
                                  {"1000x900", {1000, 900}}});
    EXPECT_EQ(m.binnings(), (std::vector<int>{1, 2, 4}));
    EXPECT_EQ(m.itemForBinning(2), 1);
    EXPECT_EQ(m.itemForBinning(4), 2);
    EXPECT_EQ(m.itemForBinning(3), -1);
    EXPECT_EQ(m.binningOf(3), 1); // windows count as unbinned
    EXPECT_EQ(m.binningOf(4), 1);
    EXPECT_EQ(m.items()[3].bin, 0);
}

TEST(ReadoutModes, NamedBinnedItemsWinOverSkippingOnesThenTheExactOne) {
    const ReadoutModes m = modes({{"2584X1936", {2592, 1944}},
                                  {"1272X952", {1280, 960}},
                                  {"1272X952 Bin", {1280, 960}},
                                  {"660X504 Bin", {668, 512}},
                                  {"632X504 Bin*", {640, 480}}});
    EXPECT_EQ(m.itemForBinning(2), 2);
    EXPECT_EQ(m.itemForBinning(4), 4);
}

TEST(ReadoutModes, FramesAreClippedAndAlignedAsTheCameraCrops) {
    const ReadoutModes m = modes({{"full", {1600, 1200}}, {"half", {800, 600}}});
    auto plan = m.plan(0, {0, 0, 1600, 1200});
    EXPECT_FALSE(plan.roi);
    EXPECT_EQ(plan.region, (PixelRect{0, 0, 1600, 1200}));

    plan = m.plan(1, {101, 51, 1001, 601});
    EXPECT_TRUE(plan.roi);
    EXPECT_EQ(plan.region, (PixelRect{48, 24, 500, 300}));
    EXPECT_EQ(plan.frame, (PixelRect{96, 48, 1000, 600}));

    // Too small grows to the least region; past the edge moves back inside.
    plan = m.plan(0, {1590, 1190, 3, 3});
    EXPECT_EQ(plan.region, (PixelRect{1584, 1184, 16, 16}));
    // Far outside and negative sizes are cut to the sensor.
    plan = m.plan(0, {-40, -40, 100000, 100000});
    EXPECT_FALSE(plan.roi);
    plan = m.plan(0, {5000, 5000, 10, 10});
    EXPECT_EQ(plan.region, (PixelRect{1584, 1184, 16, 16}));
}

TEST(ReadoutModes, ABinnedItemWiderThanTheFieldIsCutToIt) {
    const ReadoutModes m = modes({{"1272X1016", {1280, 1024}}, {"660X504 Bin", {668, 512}}});
    const auto plan = m.plan(1, {0, 0, 1280, 1024});
    EXPECT_TRUE(plan.roi);
    EXPECT_EQ(plan.region, (PixelRect{0, 0, 640, 512}));
    EXPECT_EQ(plan.frame, (PixelRect{0, 0, 1280, 1024}));
}

class CameraModes : public SimulatedLibraryTest {
protected:
    ReadoutModes plug(unsigned short product, unsigned short bcd = 0) {
        // One camera per test: the one plugged.
        return ReadoutModes::fromCamera(plugCamera(product, bcd).c_str());
    }
};

TEST_F(CameraModes, ModelTablesGiveTheirBinnings) {
    const ReadoutModes colour = plug(0xA811); // VAh200C1
    EXPECT_EQ(colour.fullWidth(), 1600);
    EXPECT_EQ(colour.fullHeight(), 1200);
    EXPECT_EQ(colour.binnings(), (std::vector<int>{1, 2, 4}));
}

TEST_F(CameraModes, CameraBinnedCcdItemsCountDespiteTrimmedRows) {
    const ReadoutModes ccd = plug(0xE00C, 0xA001); // VDh694M1, 684 x 510 at 4x4
    EXPECT_EQ(ccd.binnings(), (std::vector<int>{1, 2, 4}));
    EXPECT_EQ(ccd.itemForBinning(4), 2);
}

TEST_F(CameraModes, WindowItemsAreNoBinnings) {
    const ReadoutModes mono = plug(0xA00A); // VSh035M1: "… ROI" items
    for (const auto& item : mono.items()) {
        if (item.text.find("ROI") != std::string::npos) {
            EXPECT_EQ(item.bin, 0) << item.text;
        }
    }
    EXPECT_EQ(mono.itemForBinning(2), 1);
}

} // namespace
