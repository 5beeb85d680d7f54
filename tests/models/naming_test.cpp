// Device names: display name plus the instance character of a process-wide counter.
#include <typeinfo>

#include "camera/CamDerive/VA.h"
#include "camera/CamDerive/VD.h"
#include "models_test_util.h"

namespace {

std::string nameOf(unsigned short productId) {
    auto camera = _create_device(productId, kHalvexVendorId);
    return camera ? camera->_name() : std::string();
}

// A derived model runs its base's constructor first: it advances the base's counter too.
TEST(ModelNames, DerivedConstructionAdvancesBaseCounters) {
    const int o200 = cntVAo200C1.load();
    const int h200 = cntVAh200C1.load();
    EXPECT_EQ(nameOf(0xA811), nextName("VAh200C1.", h200));
    EXPECT_EQ(cntVAo200C1.load(), o200 + 1);
    EXPECT_EQ(nameOf(0xC811), nextName("VAo200C1.", o200 + 1));

    // VAh131M1 shares VAo131M1's counter and advances it twice per construction.
    const int m131 = cntVAo131M1.load();
    EXPECT_EQ(nameOf(0xA00B), nextName("VAh131M1.", m131 + 1));
    EXPECT_EQ(nameOf(0xA00B), nextName("VAh131M1.", m131 + 3));
    EXPECT_EQ(cntVAo131M1.load(), m131 + 4);

    // The VAg models set no name of their own.
    const int o131 = cntVAo131C1.load();
    EXPECT_EQ(nameOf(0xF008), nextName("VAo131C1.", o131));
    EXPECT_EQ(nameOf(0xF007).substr(0, 9), "VAo300C1.");
    EXPECT_EQ(nameOf(0xF00B).substr(0, 9), "VAo131M1.");

    // VDh674C1 is built through VDo285M1, VDh285M1 and VDh285C1.
    const int o285 = cntVDo285M1.load(), h285 = cntVDh285M1.load(), c285 = cntVDh285C1.load();
    const int c674 = cntVDh674C1.load();
    EXPECT_EQ(nameOf(0xE80A), nextName("VDh674C1.", c674));
    EXPECT_EQ(cntVDo285M1.load(), o285 + 1);
    EXPECT_EQ(cntVDh285M1.load(), h285 + 1);
    EXPECT_EQ(cntVDh285C1.load(), c285 + 1);
}

TEST(ModelNames, InstanceCharacterBeyondNine) {
    // Counters only grow: create cameras until the tenth instance of a model is reached.
    for (int made = 0; made < 10 && cntVDo205M1.load() < 10; ++made) nameOf(0xD004);
    EXPECT_GE(cntVDo205M1.load(), 10);
    if (cntVDo205M1.load() == 10) {
        EXPECT_EQ(nameOf(0xD004), "VDo205M1.:");
    }

    // Past '~' the instance is written in decimal, so names stay printable and distinct.
    cntVDh282C1.store(78);
    EXPECT_EQ(nameOf(0xE001), "VDh282C1.~");
    EXPECT_EQ(nameOf(0xE001), "VDh282C1.79");
    cntVDh282C1.store(208);
    EXPECT_EQ(nameOf(0xE001), "VDh282C1.208");
    EXPECT_EQ(nameOf(0xE001), "VDh282C1.209");
}

// 0xE00C has VDh694M1's operations but VDh285M1's construction: its name until claim.
TEST(ModelNames, BuiltAsCarriesTheBaseNameUntilClaim) {
    const int h285 = cntVDh285M1.load();
    const int h694 = cntVDh694M1.load();
    auto camera = _create_device(0xE00C, kHalvexVendorId);
    ASSERT_NE(camera, nullptr);
    EXPECT_EQ(typeid(*camera), typeid(VDh694M1));
    EXPECT_EQ(std::string(camera->_name()), nextName("VDh285M1.", h285));
    EXPECT_STREQ(camera->_resolution_string_at_index(1), "672X504 2x2Bin");
    EXPECT_EQ(cntVDh694M1.load(), h694);

    auto device = hx::sim::makeSimCamera(0xE00C, 0xA001);
    ASSERT_EQ(camera->__open_driver(device), 0);
    EXPECT_EQ(std::string(camera->_name()), nextName("VDh694M1.", h694));
    EXPECT_STREQ(camera->_resolution_string_at_index(1), "1360*1072 Bin");
    EXPECT_EQ(cntVDh285M1.load(), h285 + 1);
}

TEST(ModelNames, ClaimNamesByHardwareGeneration) {
    // VAh131C1 is named at claim from one of two counters, chosen by bcdDevice.
    const int plain = cntVE131.load();
    const int sensor5M = cntVE131_.load();
    auto a = openModel(0xA008, 0xA000);
    EXPECT_EQ(std::string(a.camera->_name()), nextName("VAh131C1.", plain));
    auto b = openModel(0xA008, 0xA001);
    EXPECT_EQ(std::string(b.camera->_name()), nextName("VAh131C1.", sensor5M));
    EXPECT_EQ(cntVE131.load(), plain + 1);

    // V3h5MC1 carries the base's name until claim.
    const int v3 = cntV3h5MC1.load();
    auto raw = _create_device(0xAC11, kHalvexVendorId);
    EXPECT_STREQ(raw->_name(), "qrdt");
    auto c = openModel(0xAC11, 0xA000);
    EXPECT_EQ(std::string(c.camera->_name()), nextName("V3h5MC1.", v3));
}

} // namespace
