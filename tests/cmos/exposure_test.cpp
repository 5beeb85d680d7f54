// Exposure of the line-counted cameras: the split into periods and lines, its limits across
// mode and clock changes, the 32-bit line count of VS200C1, the slow-clock gain floor; and the
// retiming of the register-sensor cameras that carry the line count in their mode requests.
#include "cmos_test_util.h"

namespace {

/// The last request with this bRequest the device received.
hx::sim::LoggedRequest lastRequest(const hx::sim::SimCamera& device, uint8_t bRequest) {
    const auto log = device.requestLog();
    for (auto it = log.rbegin(); it != log.rend(); ++it)
        if (it->bRequest == bRequest) return *it;
    ADD_FAILURE() << "no request 0x" << std::hex << int(bRequest);
    return {};
}

/// Milliseconds that convert to exactly `lines` lines at this clock and line length.
float msFor(double lines, double clockKHz, double lineLength) {
    return static_cast<float>((lines + 0.5) * lineLength / clockKHz);
}

TEST(CmosExposure, VSo035M1SplitsIntoPeriodsUpToItsLongest) {
    CmosCamera m = openCmos(0xC00A);
    ASSERT_TRUE(m.camera);
    m.camera->_sensor_resume();
    // Mode 0xC0 at 43200 kHz, 1656 clocks per line: at most 101 x 1080 - 1 lines.
    m.device->clearRequestLog();
    ASSERT_EQ(m.camera->_set_exposure(1.0e6f), 0);
    const auto writes = registerWrites(*m.device);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0], std::make_pair(uint16_t{0x03}, uint16_t{1079}));
    EXPECT_EQ(writes[1], std::make_pair(uint16_t{0x04}, uint16_t{100}));
    EXPECT_EQ(m.device->exposureLines(), 109079u);

    // A faster clock would scale the total past the longest exposure: it is lowered to it, and
    // the clock request carries it (bits 16 to 23 in the high byte of wValue).
    ASSERT_EQ(m.camera->_set_pixsclock(2), 0);
    ASSERT_EQ(m.camera->_set_exposure(1.0e6f), 0);
    ASSERT_EQ(m.camera->_set_pixsclock(0), 0);
    const auto clock = lastRequest(*m.device, 0xB5);
    EXPECT_EQ(clock.wIndex, 109079 & 0xFFFF);
    EXPECT_EQ(clock.wValue, 0x01A0);
    EXPECT_EQ(m.device->exposureLines(), 109079u);
}

TEST(CmosExposure, VSo035M1ModeChangeCapsAtOnePeriod) {
    CmosCamera m = openCmos(0xC00A);
    ASSERT_TRUE(m.camera);
    m.camera->_sensor_resume();
    ASSERT_EQ(m.camera->_set_exposure(msFor(2 * 1080 + 100, 43200, 1656)), 0);
    EXPECT_EQ(m.device->exposureLines(), 2260u);
    // Mode 0xC2: same line length and clock, one period of 540 lines and no long exposure.
    ASSERT_EQ(m.camera->_set_resolution(1, true), 0);
    const auto mode = lastRequest(*m.device, 0xB4);
    EXPECT_EQ(mode.wValue, 0x00C2);
    EXPECT_EQ(mode.wIndex, 539);
    EXPECT_FLOAT_EQ(m.camera->_exposure(), 539.0f * 1656.0f / 43200.0f);
    float min = 0, max = 0, step = 0;
    ASSERT_EQ(m.camera->_exposure_range(&min, &max, &step), 0);
    EXPECT_FLOAT_EQ(max, 539.0f * 1656.0f / 43200.0f);
    // Back in mode 0xC0 the same time fits in one period again.
    ASSERT_EQ(m.camera->_set_resolution(0, true), 0);
    EXPECT_EQ(lastRequest(*m.device, 0xB4).wIndex, 539);
}

TEST(CmosExposure, VSo035M1KeepsTheTimeAcrossClocks) {
    CmosCamera m = openCmos(0xC00A);
    ASSERT_TRUE(m.camera);
    m.camera->_sensor_resume();
    ASSERT_EQ(m.camera->_set_exposure(msFor(3000, 43200, 1656)), 0);
    const float before = m.camera->_exposure();
    ASSERT_EQ(m.camera->_set_pixsclock(1), 0); // half the clock: half the lines
    EXPECT_EQ(lastRequest(*m.device, 0xB5).wIndex, 1500);
    EXPECT_NEAR(m.camera->_exposure(), before, 0.05f);
}

TEST(CmosExposure, VSo036C1GainFloorAtTheSlowClock) {
    CmosCamera m = openCmos(0xC009);
    ASSERT_TRUE(m.camera);
    m.camera->_sensor_resume();
    ASSERT_EQ(m.camera->_set_analog_gain(20), 0);
    m.device->clearRequestLog();
    ASSERT_EQ(m.camera->_set_pixsclock(3), 0); // code 0xA3
    EXPECT_EQ(m.camera->_analog_gain(), 31);
    int min = 0, max = 0, step = 0;
    m.camera->_analog_gain_range(&min, &max, &step);
    EXPECT_EQ(min, 31);
    EXPECT_EQ(m.device->registerValue(0x01), 31);
    const auto writes = registerWrites(*m.device);
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.front(), std::make_pair(uint16_t{0x01}, uint16_t{31}));
    EXPECT_EQ(m.camera->_set_analog_gain(25), 0);
    EXPECT_EQ(m.camera->_analog_gain(), 31);

    ASSERT_EQ(m.camera->_set_pixsclock(0), 0);
    m.camera->_analog_gain_range(&min, &max, &step);
    EXPECT_EQ(min, 8);
    EXPECT_EQ(m.camera->_analog_gain(), 31);
}

TEST(CmosExposure, VS200C1ThirtyTwoBitLinesAndBlackLevelOffset) {
    CmosCamera m = openCmos(0xC00C);
    ASSERT_TRUE(m.camera);
    m.camera->_sensor_resume();
    // Clock 40000 kHz, 2200 clocks per line: 2090 ms is 38000 lines.
    m.device->clearRequestLog();
    ASSERT_EQ(m.camera->_set_exposure(2090.0f), 0);
    auto writes = registerWrites(*m.device);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0], std::make_pair(uint16_t{0xA2}, uint16_t{0}));
    EXPECT_EQ(writes[1], std::make_pair(uint16_t{0xA3}, uint16_t{38000}));
    EXPECT_EQ(m.device->exposureLines(), 38000u);
    EXPECT_FLOAT_EQ(m.camera->_exposure(), (30.0f * 1250 + 500) * 2200.0f / 40000.0f);
    // The same value is written again; the longest exposure is 31 x 1250 - 1 lines.
    m.device->clearRequestLog();
    ASSERT_EQ(m.camera->_set_exposure(2090.0f), 0);
    EXPECT_EQ(registerWrites(*m.device).size(), 2u);
    ASSERT_EQ(m.camera->_set_exposure(1.0e6f), 0);
    EXPECT_EQ(m.device->exposureLines(), 38749u);

    m.device->clearRequestLog();
    EXPECT_EQ(m.camera->_set_blacklevel(10), 0);
    writes = registerWrites(*m.device);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0], std::make_pair(uint16_t{0xA1}, uint16_t{70}));
    EXPECT_EQ(m.camera->_blacklevel(), 10);
    EXPECT_EQ(m.camera->_set_blacklevel(101), -2);
    EXPECT_EQ(m.camera->_blacklevel(), 10);
}

TEST(CmosExposure, RegisterSensorRetimeCarriesLinesInModeRequests) {
    // VAh500C1: 18000 kHz (clock 1); item 0 has 3492 clocks per line, item 1 2180.
    CmosCamera m = openCmos(0xA004);
    ASSERT_TRUE(m.camera);
    m.camera->_sensor_resume();
    ASSERT_EQ(m.camera->_set_exposure(msFor(1000, 36000, 3492)), 0);
    m.device->clearRequestLog();
    ASSERT_EQ(m.camera->_set_resolution(1, true), 0);
    // 1000 x 3492 / 2180 + 0.5 = 1602.3: 1602 lines, sent with the mode and nothing else.
    const auto log = m.device->requestLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].bRequest, 0xB4);
    EXPECT_EQ(log[0].wIndex, 1602);
    EXPECT_EQ(m.device->exposureLines(), 1602u);
}

} // namespace
