// Choices a model makes when it is claimed, by hardware generation (bcdDevice).
#include "models_test_util.h"

namespace {

std::string resolutionText(CamBase& camera, int index) {
    const char* text = camera._resolution_string_at_index(index);
    return text ? text : "(null)";
}

TEST(ModelClaim, VAh131C1GenerationA001IsAnotherSensor) {
    auto a = openModel(0xA008, 0xA001);
    CamBase& cam = *a.camera;
    ASSERT_EQ(cam._resolution_count(), 2);
    EXPECT_EQ(resolutionText(cam, 0), "1272X952");
    EXPECT_EQ(resolutionText(cam, 1), "632X472");
    EXPECT_EQ(cam._pixsclock(), 1);
    EXPECT_STREQ(cam._pixsclock_string_at_index(1), "Normal");
    EXPECT_EQ(cam._analog_gain(), 7);
    EXPECT_EQ(cam._body(), 2 * 1249280 + 512 + 2048);
    // The coarse/fine law on register 0x35.
    cam._set_analog_gain(64);
    auto w = lastRegisterWrite(*a.device);
    EXPECT_EQ(w.wIndex, 0x35);
    EXPECT_EQ(w.wValue, 0x013F);

    auto b = openModel(0xA008, 0xA000);
    EXPECT_EQ(b.camera->_resolution_count(), 3);
    EXPECT_EQ(b.camera->_pixsclock(), 0);
    EXPECT_EQ(b.camera->_analog_gain(), 35);
    EXPECT_EQ(b.camera->_body(), 2 * 1351680 + 512 + 2048);
    b.camera->_set_analog_gain(64);
    w = lastRegisterWrite(*b.device);
    EXPECT_EQ(w.wIndex, 0x2F);
    EXPECT_EQ(w.wValue, 193);
}

TEST(ModelClaim, VAo500C1ClockTableFollowsGeneration) {
    // 300 lines of 3492 clocks: at 48000 kHz on generation 0xA100, 36000 kHz otherwise.
    auto fast = openModel(0xC004, 0xA100);
    EXPECT_FLOAT_EQ(fast.camera->_exposure(), 300.0f * 3492 / 48000);
    auto slow = openModel(0xA004, 0xA000);
    EXPECT_FLOAT_EQ(slow.camera->_exposure(), 300.0f * 3492 / 36000);
    for (CamBase* cam : {fast.camera.get(), slow.camera.get()}) {
        EXPECT_EQ(cam->_bayer(), 3);
        EXPECT_EQ(cam->_resolution_count(), 5);
        EXPECT_EQ(cam->_pixsclock_count(), 3);
        EXPECT_EQ(cam->_blacklevel(), 48);
        EXPECT_EQ(cam->_body(), 2 * 512 + 10245226);
    }
}

TEST(ModelClaim, V3h5MC1StartsAtTheSecondClock) {
    auto m = openModel(0xAC11, 0xA000);
    EXPECT_EQ(m.camera->_channles(), 3);
    EXPECT_EQ(m.camera->_bayer(), 4);
    EXPECT_EQ(m.camera->_pixsclock(), 1);
    EXPECT_FLOAT_EQ(m.camera->_exposure(), 300.0f * 3492 / 48000);
    EXPECT_EQ(m.camera->_analog_gain(), 1);
}

TEST(ModelClaim, CooledCamerasChooseTablesByGeneration) {
    struct Case {
        uint16_t productId, bcd;
        int clockIndex, clocks, resolutions, gain, channels;
        const char* item1;
        int receiveSize; ///< twice item 0's frame bytes, head and slack
    };
    const Case cases[] = {
        {0xE00A, 0xA001, 1, 5, 3, 80, 1, "952X720 Bin", 5808640},
        {0xE00A, 0xA004, 1, 5, 3, 80, 1, "952X720 Bin", 5808640},
        {0xE00A, 0xA000, 0, 5, 3, 80, 1, "952X720 sBin", 5808640},
        {0xE00B, 0xA001, 1, 5, 3, 256, 1, "952X720 Bin", 5808640},
        {0xE00B, 0xA004, 0, 5, 3, 256, 1, "952X720 sBin", 5808640},
        {0xE00C, 0xA004, 1, 5, 3, 80, 1, "1360*1072 Bin", 12084736},
        {0xE00C, 0xB001, 0, 5, 3, 80, 1, "672X504 2x2Bin", 2847232},
        {0xE80C, 0xA001, 0, 2, 5, 256, 3, "1620*1072", 12084736},
        {0xE80C, 0xA004, 0, 5, 3, 256, 3, "672X504 2x2Bin", 2847232},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.productId << " bcd " << c.bcd);
        auto m = openModel(c.productId, c.bcd);
        CamBase& cam = *m.camera;
        EXPECT_EQ(cam._pixsclock(), c.clockIndex);
        EXPECT_EQ(cam._pixsclock_count(), c.clocks);
        EXPECT_EQ(cam._resolution_count(), c.resolutions);
        EXPECT_EQ(resolutionText(cam, 1), c.item1);
        EXPECT_EQ(cam._analog_gain(), c.gain);
        EXPECT_EQ(cam._channles(), c.channels);
        EXPECT_EQ(cam._bayer(), c.channels == 3 ? 4 : 0);
        EXPECT_EQ(cam._body(), c.receiveSize);
    }
}

} // namespace
