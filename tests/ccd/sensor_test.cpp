// Exposure split and retiming, the control port, temperature and the claim sequences of the
// CCD cameras, checked by what the simulated camera received.
#include "ccd_test_util.h"

#include "camera/CamDerive/VD.h"

namespace {

using hx::sim::LoggedRequest;

std::vector<LoggedRequest> temperatureReads(const hx::sim::SimCamera& device) {
    std::vector<LoggedRequest> out;
    for (const auto& r : requestsOf(device, 0xB6))
        if (r.wIndex == 1) out.push_back(r);
    return out;
}

uint32_t carried(const LoggedRequest& r) {
    return uint32_t(r.wIndex) | (uint32_t(r.wValue >> 8) << 16);
}

TEST(CcdSensor, TemperatureReadingsInHalfDegreesAndNegativeSteps) {
    EXPECT_FLOAT_EQ(CcdCamera::temperatureFromReading(0x0032), 25.0f);
    EXPECT_FLOAT_EQ(CcdCamera::temperatureFromReading(0xFFF6), -6.25f);
    EXPECT_FLOAT_EQ(CcdCamera::temperatureFromReading(0xFED4), -27.5f);
    EXPECT_FLOAT_EQ(CcdCamera::temperatureFromReading(0x0000), 0.0f);
    EXPECT_FLOAT_EQ(CcdCamera::temperatureFromReading(0xFFFF), -0.625f);
}

TEST(CcdSensor, TemperatureFollowsTheCoolerOnlyOnGenerationsWithASensor) {
    hx::sim::SimOptions options;
    options.ambientCelsius = 20.0;
    auto c = openCcd(0xE00A, 0xA001, options);
    bool on = false;
    EXPECT_EQ(c.camera->_cooled(&on), 0);
    EXPECT_TRUE(on);
    EXPECT_TRUE(c.device->coolerOn());
    c.device->advanceClock(300.0);
    float t = 99.0f;
    ASSERT_EQ(c.camera->_temperature(&t), 0);
    EXPECT_LT(t, 0.0f);
    EXPECT_NEAR(t, c.device->temperatureCelsius(), 0.7);
    // The reading goes straight to the control pipe as an in request.
    const auto reads = temperatureReads(*c.device);
    ASSERT_FALSE(reads.empty());
    EXPECT_EQ(reads.back().bmRequestType, 0xC0);
    EXPECT_EQ(reads.back().wIndex, 1);
    EXPECT_EQ(reads.back().wLength, 64);

    // A stalled pipe is cleared and the reply converted all the same.
    c.device->stallPipe(0, 1);
    EXPECT_EQ(c.camera->_temperature(&t), 0);

    c.camera->_set_cooled(false);
    c.device->advanceClock(600.0);
    c.camera->_temperature(&t);
    EXPECT_NEAR(t, 20.0f, 1.0f);

    auto old = openCcd(0xE00A, 0xA000);
    float untouched = 42.0f;
    EXPECT_EQ(old.camera->_temperature(&untouched), -4);
    EXPECT_EQ(untouched, 42.0f);
}

TEST(CcdSensor, ClaimSequencesSendTheirControlPortRequests) {
    struct Case {
        uint16_t productId, bcd;
        std::vector<std::pair<uint16_t, uint16_t>> port; ///< (wValue, wIndex) in order
        bool temperature;
    };
    const Case cases[] = {
        {0xE00A, 0xA001, {{1, 2}, {1, 1}, {0, 0}}, true},
        {0xE00A, 0xA000, {{1, 1}, {0, 0}}, false},
        {0xE00B, 0xA001, {{1, 2}}, false},
        {0xE00B, 0xA000, {}, false},
        {0xE00C, 0xA004, {{1, 1}, {0, 0}}, false},
        {0xE80C, 0xA001, {{0, 0}}, false},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << k.productId << " " << k.bcd);
        auto c = openCcd(k.productId, k.bcd);
        std::vector<std::pair<uint16_t, uint16_t>> port;
        for (const auto& r : requestsOf(*c.device, 0xB8)) port.emplace_back(r.wValue, r.wIndex);
        EXPECT_EQ(port, k.port);
        EXPECT_EQ(temperatureReads(*c.device).empty(), !k.temperature);
        bool edge = true;
        c.camera->_edge_inhibition(&edge);
        EXPECT_EQ(edge, k.productId == 0xE00B);
    }
}

TEST(CcdSensor, ShiftOperatorClampsButReportsItsNarrowRange) {
    auto c = openCcd(0xE00C, 0xA001);
    CamBase& cam = *c.camera;
    EXPECT_EQ(cam._set_shift_operator(12), 0);
    EXPECT_EQ(cam._shift_operator(), 8);
    EXPECT_EQ(cam._set_shift_operator(-3), 0);
    EXPECT_EQ(cam._shift_operator(), 0);
    const auto sent = requestsOf(*c.device, 0xB8);
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(sent[sent.size() - 2].wValue, 8);
    EXPECT_EQ(sent[sent.size() - 2].wIndex, 3);
    EXPECT_EQ(sent.back().wValue, 0);
    int lo = -1, hi = -1, step = -1;
    EXPECT_EQ(cam._shift_operator_range(&lo, &hi, &step), 0);
    EXPECT_EQ(lo, 0);
    EXPECT_EQ(hi, 4);
    EXPECT_EQ(step, 1);
}

TEST(CcdSensor, ClockChangeKeepsTheExposureTime) {
    auto c = openCcd(0xD006, 0);
    CamBase& cam = *c.camera;
    ASSERT_EQ(cam._pixsclock(), 0); // 24000 kHz, 300 lines, no long exposure
    c.device->clearRequestLog();
    EXPECT_EQ(cam._set_pixsclock(1), 0);
    const auto clocks = requestsOf(*c.device, 0xB5);
    ASSERT_EQ(clocks.size(), 1u);
    EXPECT_EQ(carried(clocks[0]), 150u);
    EXPECT_EQ(clocks[0].wValue & 0xFF, 0xA1);
    EXPECT_EQ(c.device->exposureLines(), 150u);
    EXPECT_FLOAT_EQ(cam._exposure(), 150.0f * 1790 / 12000);
}

TEST(CcdSensor, TotalSplitsOverTheTwoRegistersAndRidesWithTheModeRequest) {
    auto c = openCcd(0xE00C, 0xA001);
    CamBase& cam = *c.camera;
    cam._sensor_resume();
    ASSERT_EQ(cam._pixsclock(), 1); // 24000 kHz, line length 3184
    EXPECT_EQ(cam._set_exposure(3000.0f * 3184 / 24000), 0);
    EXPECT_EQ(c.device->registerValue(0x62), 1);
    EXPECT_EQ(c.device->registerValue(0x63), 739);
    c.device->clearRequestLog();
    EXPECT_EQ(cam._set_resolution(0, true), 0);
    const auto modes = requestsOf(*c.device, 0xB4);
    ASSERT_EQ(modes.size(), 1u);
    EXPECT_EQ(carried(modes[0]), 3000u);
    EXPECT_EQ(requestsOf(*c.device, 0xB5).size(), 1u); // the clock request follows
    EXPECT_EQ(c.device->exposureLines(), 3000u);

    // The binned mode has its own period (1129 lines) and line length: the time stays.
    cam._set_resolution(1, true);
    const uint32_t lines = carried(requestsOf(*c.device, 0xB4).back());
    EXPECT_EQ(lines, uint32_t(3000.0f * float(3184.0 / 3528.0)));
    EXPECT_NEAR(cam._exposure(), 398.0f, 0.2f);
}

TEST(CcdSensor, FullResolutionRefusedAtTheFastClockOnlyWith16Bits) {
    auto c = openCcd(0xE00C, 0xA001);
    CamBase& cam = *c.camera;
    cam._sensor_resume();
    ASSERT_EQ(cam._set_resolution(1, true), 0);
    ASSERT_EQ(cam._pixsclock(), 1); // 24000 kHz
    EXPECT_EQ(cam._set_resolution(0, true), 0);
    cam._set_resolution(1, true);
    ASSERT_EQ(cam._set_raw_depth(16), 0);
    c.device->clearRequestLog();
    EXPECT_EQ(cam._set_resolution(0, true), -3);
    EXPECT_EQ(cam._resolution(), 1);
    const auto modes = requestsOf(*c.device, 0xB4);
    ASSERT_EQ(modes.size(), 1u); // still sent, for the index kept
    EXPECT_EQ(modes[0].wValue & 0xFF, 0x0B);
    EXPECT_EQ(cam._set_resolution(3, true), -2);
    // At 12000 kHz the full resolution is fine with 16 bits.
    cam._set_pixsclock(2);
    EXPECT_EQ(cam._set_resolution(0, true), 0);
}

TEST(CcdSensor, PerModeLimitsOfTheUncooledCameras) {
    // Gain below the minimum is raised before it is written.
    auto a = openCcd(0xD004, 0);
    a.camera->_set_analog_gain(100);
    const auto gains = requestsOf(*a.device, 0xB7);
    ASSERT_FALSE(gains.empty());
    EXPECT_EQ(gains.back().wIndex, 0x01);
    EXPECT_EQ(gains.back().wValue, 170);
    // 1000 lines survive a change to another item of the same mode.
    a.camera->_set_exposure(1000.0f * 1790 / 24000 + 0.001f);
    ASSERT_NEAR(a.camera->_exposure(), 1000.0f * 1790 / 24000, 0.01f);
    a.camera->_set_resolution(2, true);
    EXPECT_EQ(a.device->exposureLines(), 1000u);

    // The half-height mode of the 282 has no long exposure: at most one period less a line.
    auto b = openCcd(0xD001, 0);
    b.camera->_set_exposure(1000.0f); // several periods at 30000 kHz
    b.camera->_set_resolution(1, true);
    EXPECT_EQ(carried(requestsOf(*b.device, 0xB4).back()), 1059u);
    float lo, hi, step;
    b.camera->_exposure_range(&lo, &hi, &step);
    EXPECT_FLOAT_EQ(hi, 1059.0f * 2895 / 30000);
    // Back in the full mode the long exposure is there again, but the time already shrank.
    b.camera->_set_resolution(0, true);
    EXPECT_EQ(carried(requestsOf(*b.device, 0xB4).back()), 1059u);
}

} // namespace
