// Gain laws: the clamped gain mapped to the register value each model's sensor expects.
#include "models_test_util.h"

namespace {

struct GainCase {
    int gain;      ///< asked for
    int kept;      ///< stored after clamping
    int register_; ///< register value sent
};

void checkLaw(uint16_t productId, uint16_t bcd, uint16_t gainRegister,
              std::initializer_list<GainCase> cases) {
    SCOPED_TRACE(testing::Message() << std::hex << "product 0x" << productId);
    auto m = openModel(productId, bcd);
    ASSERT_NE(m.camera, nullptr);
    for (const GainCase& c : cases) {
        SCOPED_TRACE(testing::Message() << std::dec << "gain " << c.gain);
        m.device->clearRequestLog();
        EXPECT_EQ(m.camera->_set_analog_gain(c.gain), 0);
        const auto log = m.device->requestLog();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].bmRequestType, 0x40);
        EXPECT_EQ(log[0].bRequest, 0xB7);
        EXPECT_EQ(log[0].wIndex, gainRegister);
        EXPECT_EQ(log[0].wValue, c.register_);
        EXPECT_EQ(log[0].wLength, 0);
        EXPECT_EQ(m.camera->_analog_gain(), c.kept);
    }
}

TEST(GainLaw, RegisterSensorCmos) {
    checkLaw(0xC811, 0, 0x2F,
             {{32, 32, 63}, {33, 33, 160}, {80, 80, 207}, {81, 80, 207}, {0, 1, 32}, {-5, 1, 32}});
    checkLaw(0xA811, 0, 0x2F, {{33, 33, 160}}); // VAh200C1 inherits the law
    checkLaw(0xC008, 0, 0x2F,
             {{30, 30, 61}, {31, 31, 63}, {63, 63, 127}, {64, 64, 193}, {80, 80, 209}});
    checkLaw(0xF008, 0, 0x2F, {{31, 31, 63}}); // VAg131C1, built as VAo131C1
    checkLaw(0xC004, 0xA000, 0x35,
             {{63, 63, 63}, {64, 64, 0x013F}, {174, 174, 0x6F3F}, {175, 174, 0x6F3F}});
    checkLaw(0xA004, 0xA000, 0x35, {{65, 65, 0x023F}});         // VAh500C1
    checkLaw(0xC006, 0, 0x35, {{64, 64, 0x013F}});              // VAo500M1
    checkLaw(0xAC11, 0, 0x35, {{0, 1, 1}, {100, 100, 0x253F}}); // V3h5MC1
    checkLaw(0xC007, 0, 0x35,
             {{25, 25, 32}, {26, 26, 81}, {41, 41, 96}, {42, 42, 0x0160}, {159, 159, 30304}});
    checkLaw(0xF007, 0, 0x35, {{26, 26, 81}}); // VAg300C1
    checkLaw(0xC00B, 0, 0x35, {{9, 10, 10}, {63, 63, 63}, {64, 64, 96}, {72, 71, 103}});
    checkLaw(0xA00B, 0, 0x35, {{64, 64, 96}}); // VAh131M1
    checkLaw(0xC003, 0, 0x305E,
             {{0, 1, 0x1041},
              {63, 63, 0x107F},
              {64, 64, 0x1840},
              {128, 128, 0x1C40},
              {192, 192, 0x1CC0},
              {256, 256, 0x1DC0},
              {310, 310, 0x1DF6},
              {311, 310, 0x1DF6}});
    checkLaw(0xA003, 0, 0x305E, {{64, 64, 0x1840}}); // VAh1KC1
}

TEST(GainLaw, LineCountedCmosWriteTheGainItself) {
    checkLaw(0xC00A, 0, 0x01, {{0, 1, 1}, {119, 119, 119}, {200, 119, 119}});
    checkLaw(0xA00A, 0, 0x01, {{50, 50, 50}});
    checkLaw(0xC005, 0, 0x01, {{60, 60, 60}});
    checkLaw(0xA005, 0, 0x01, {{120, 119, 119}});
    checkLaw(0xC009, 0, 0x01, {{7, 8, 8}, {140, 140, 140}});
    checkLaw(0xA009, 0, 0x01, {{141, 140, 140}});
    checkLaw(0xC00C, 0, 0xA0, {{80, 80, 80}, {81, 80, 80}});
}

TEST(GainLaw, CcdWriteTheGainItself) {
    checkLaw(0xD004, 0, 0x01, {{100, 170, 170}, {1024, 1023, 1023}});
    checkLaw(0xE004, 0, 0x01, {{100, 170, 170}});
    checkLaw(0xE008, 0, 0x01, {{300, 300, 300}});
    checkLaw(0xD001, 0, 0x01, {{187, 188, 188}});
    checkLaw(0xE001, 0, 0x01, {{500, 500, 500}});
    checkLaw(0xD006, 0, 0x01, {{0, 1, 1}, {2000, 1023, 1023}});
    checkLaw(0xE006, 0, 0x01, {{85, 85, 85}});
    checkLaw(0xE009, 0, 0x01, {{85, 85, 85}});
    checkLaw(0xE80A, 0, 0x01, {{1023, 1023, 1023}});
    checkLaw(0xE00A, 0xA001, 0x01, {{0, 1, 1}});
    checkLaw(0xE00B, 0xA001, 0x01, {{1023, 1023, 1023}});
    checkLaw(0xE00C, 0xA001, 0x01, {{5000, 1023, 1023}});
    checkLaw(0xE80C, 0xA001, 0x01, {{256, 256, 256}});
}

} // namespace
