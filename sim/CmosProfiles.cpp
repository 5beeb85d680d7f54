// Sensor profiles of the simulated CMOS cameras: the tables, registers and laws each model's
// camera answers to, per hardware generation where the generation changes them.
#include <mutex>
#include <utility>
#include <vector>

#include "sim/CmosSimulation.h"
#include "sim/SensorProfile.h"

namespace hx::sim {

namespace {

constexpr uint16_t kDefaultBcd = 0x0100;

SensorProfile make(const char* name, uint16_t productId, std::vector<SimResolution> res,
                   std::vector<SimClock> clocks, int bayer, uint16_t gainRegister, GainLaw law,
                   double unity, uint16_t gainReg0) {
    SensorProfile p;
    p.name = name;
    p.productId = productId;
    p.bcdDevice = kDefaultBcd;
    p.resolutions = std::move(res);
    p.clocks = std::move(clocks);
    p.gainRegister = gainRegister;
    p.exposureRegister = 0x09;
    p.longExposureRegister = 0;
    p.blackLevelRegister = 0x02;
    p.bayer = bayer;
    p.gainLaw = law;
    p.gainUnity = unity;
    p.initialGainRegister = gainReg0;
    p.exposureLaw = ExposureLaw::Lines;
    p.periodLines = 65535;
    p.initialExposureLines = 300;
    return p;
}

/// The line-counted sensors: exposure split into periods and lines (or high and low halves).
SensorProfile lineCounted(const char* name, uint16_t productId, std::vector<SimResolution> res,
                          std::vector<SimClock> clocks, int bayer, uint16_t gainReg0) {
    SensorProfile p = make(name, productId, std::move(res), std::move(clocks), bayer, 0x01,
                           GainLaw::Linear, 32, gainReg0);
    p.exposureRegister = 0x03;
    p.longExposureRegister = 0x04;
    p.exposureLaw = ExposureLaw::Periods;
    p.periodLines = p.resolutions.front().periodLines;
    return p;
}

void registerAll() {
    const std::vector<SimResolution> kRes200 = {
        {0xC0, 1948, 1920000, 1600, 1200, 0},
        {0xC1, 800, 479744, 800, 600, 0},
        {0xC2, 748, 119808, 400, 300, 0},
    };
    const std::vector<SimResolution> kRes131 = {
        {0xC0, 1292, 1351680, 1280, 1024, 0},
        {0xC1, 646, 317440, 640, 480, 0},
        {0xC2, 323, 80384, 320, 240, 0},
    };
    const std::vector<SimResolution> kRes131Sensor5M = {
        {0xC6, 2180, 1249280, 1280, 960, 0},
        {0xC8, 1540, 312320, 640, 480, 0},
    };
    const std::vector<SimResolution> kRes300 = {
        {0xC0, 2559, 3211264, 2048, 1536, 0}, {0xC1, 1535, 802816, 1024, 768, 0},
        {0xC2, 1151, 314880, 640, 480, 0},    {0xC3, 1861, 802816, 1024, 768, 0},
        {0xC4, 1795, 314880, 640, 480, 0},
    };
    const std::vector<SimResolution> kRes131M = {{0xC0, 1514, 1351680, 1280, 1024, 0}};
    const std::vector<SimResolution> kRes500 = {
        {0xC0, 3492, 5121536, 2592, 1944, 0}, {0xC6, 2180, 1249280, 1280, 960, 0},
        {0xC8, 1540, 312320, 640, 480, 0},    {0xC9, 2832, 1249280, 1280, 960, 0},
        {0xCB, 3556, 312320, 640, 480, 0},
    };
    const std::vector<SimResolution> kRes1K = {
        {0xC0, 3776, 10068480, 3664, 2740, 0}, {0xC1, 1711, 2516992, 1600, 1200, 0},
        {0xC2, 1391, 628224, 1280, 960, 0},    {0xC3, 911, 2516992, 800, 600, 0},
        {0xC4, 751, 628224, 640, 480, 0},
    };
    const std::vector<SimResolution> kResH1K = {
        {0xC0, 3711, 10068480, 3664, 2748, 0},
        {0xC1, 3711, 2516992, 1832, 1370, 0},
        {0xC4, 3138, 628224, 916, 680, 0},
    };
    const std::vector<SimResolution> kResV3 = {
        {0xC0, 3492, 5040128, 2592, 1944, 0}, {0xC1, 2180, 1228800, 1280, 960, 0},
        {0xC2, 1540, 307200, 640, 480, 0},    {0xC3, 2832, 1228800, 1280, 960, 0},
        {0xC4, 3556, 307200, 640, 480, 0},
    };
    // Line-counted sensors: the last column is the frame period in lines of each mode.
    const std::vector<SimResolution> kResS035M = {
        {0xC0, 1656, 1332224, 1280, 1024, 1080},
        {0xC2, 1656, 364032, 668, 512, 540},
        {0xC3, 1656, 1065984, 1280, 800, 860},
        {0xC4, 1656, 334848, 656, 480, 538},
    };
    const std::vector<SimResolution> kResS035C = {
        {0xC0, 1656, 1332224, 1280, 1024, 1080},
        {0xC2, 1656, 364032, 668, 512, 540},
        {0xC1, 1656, 697344, 640, 512, 540},
    };
    const std::vector<SimResolution> kResS200 = {{0xC0, 2200, 2266112, 1920, 1180, 1250}};
    const std::vector<SimResolution> kResS036 = {
        {0xC0, 2232, 3192832, 2048, 1536, 60000},
        {0xC1, 1116, 789504, 1024, 768, 1608},
        {0xC2, 744, 353280, 684, 512, 1608},
    };

    const std::vector<SimClock> clk200 = {{0xA0, 48000}, {0xA1, 24000}};
    const std::vector<SimClock> clk131 = {{0xA0, 24000}, {0xA1, 12000}};
    const std::vector<SimClock> clk5M = {{0xA0, 36000}, {0xA1, 18000}};
    const std::vector<SimClock> clk300 = {{0xA0, 48000}, {0xA1, 24000}, {0xA2, 12000}};
    const std::vector<SimClock> clk131M = {{0xA0, 40000}, {0xA1, 30000}, {0xA2, 20000}};
    const std::vector<SimClock> clk500 = {{0xA0, 36000}, {0xA1, 18000}, {0xA2, 9000}};
    const std::vector<SimClock> clk500Fast = {{0xA0, 48000}, {0xA1, 24000}, {0xA2, 12000}};
    const std::vector<SimClock> clk1K = {
        {0xA0, 36000}, {0xA1, 30000}, {0xA2, 24000}, {0xA3, 18000}, {0xA4, 12000}};
    const std::vector<SimClock> clkV3 = {{0xA0, 90000}, {0xA1, 48000}, {0xA2, 24000}};
    const std::vector<SimClock> clkS035 = {{0xA0, 43200}, {0xA1, 21600}, {0xA2, 10800}};
    const std::vector<SimClock> clkS200 = {
        {0xA0, 60000}, {0xA1, 48000}, {0xA2, 40000}, {0xA3, 30000}};
    const std::vector<SimClock> clkS036 = {
        {0xA0, 40000}, {0xA1, 32000}, {0xA2, 24000}, {0xA3, 16000}};

    // Register-sensor cameras.
    for (uint16_t id : {uint16_t(0xC008), uint16_t(0xF008), uint16_t(0xA008)})
        registerSensorProfile(
            make("VA131C1", id, kRes131, clk131, 3, 0x2F, GainLaw::Bits7x2x2, 32, 61));
    SensorProfile sensor5M =
        make("VAh131C1/A001", 0xA008, kRes131Sensor5M, clk5M, 3, 0x35, GainLaw::Coarse3FFine, 8, 7);
    sensor5M.bcdDevice = 0xA001;
    sensor5M.initialClock = 1;
    registerSensorProfile(sensor5M, false);
    for (uint16_t id : {uint16_t(0xC007), uint16_t(0xF007), uint16_t(0xA007)})
        registerSensorProfile(
            make("VA300C1", id, kRes300, clk300, 3, 0x35, GainLaw::Linear, 16, 14));
    for (uint16_t id : {uint16_t(0xC00B), uint16_t(0xF00B), uint16_t(0xA00B)})
        registerSensorProfile(
            make("VA131M1", id, kRes131M, clk131M, 0, 0x35, GainLaw::Linear, 32, 30));
    for (uint16_t id : {uint16_t(0xC004), uint16_t(0xA004), uint16_t(0xA00D)}) {
        SensorProfile p =
            make("VA500C1", id, kRes500, clk500, 3, 0x35, GainLaw::Coarse3FFine, 8, 7);
        registerSensorProfile(p);
        p.clocks = clk500Fast;
        p.bcdDevice = 0xA100;
        registerSensorProfile(p, false);
    }
    for (uint16_t id : {uint16_t(0xC006), uint16_t(0xA006)})
        registerSensorProfile(
            make("VA500M1", id, kRes500, clk500, 0, 0x35, GainLaw::Coarse3FFine, 8, 30));
    SensorProfile oneK =
        make("VAo1KC1", 0xC003, kRes1K, clk1K, 4, 0x305E, GainLaw::Linear, 0x1060, 0x1840 + 46);
    oneK.exposureRegister = 0x3012;
    registerSensorProfile(oneK);
    oneK.name = "VAh1KC1";
    oneK.productId = 0xA003;
    oneK.resolutions = kResH1K;
    registerSensorProfile(oneK);
    SensorProfile v3 = make("V3h5MC1", 0xAC11, kResV3, clkV3, 4, 0x35, GainLaw::Coarse3FFine, 8, 1);
    v3.initialClock = 1;
    registerSensorProfile(v3);

    // Line-counted cameras.
    for (uint16_t id : {uint16_t(0xC00A), uint16_t(0xA00A)})
        registerSensorProfile(lineCounted("VS035M1", id, kResS035M, clkS035, 0, 30));
    for (uint16_t id : {uint16_t(0xC005), uint16_t(0xA005)})
        registerSensorProfile(lineCounted("VS035C1", id, kResS035C, clkS035, 2, 1));
    for (uint16_t id : {uint16_t(0xC009), uint16_t(0xA009)})
        registerSensorProfile(lineCounted("VS036C1", id, kResS036, clkS036, 2, 30));
    SensorProfile s200 = lineCounted("VS200C1", 0xC00C, kResS200, clkS200, 2, 40);
    s200.gainRegister = 0xA0;
    s200.exposureRegister = 0xA2;
    s200.longExposureRegister = 0xA3;
    s200.blackLevelRegister = 0xA1;
    s200.exposureLaw = ExposureLaw::HighLow;
    s200.gainUnity = 40;
    s200.blackLevelZero = 60;
    s200.initialClock = 2;
    registerSensorProfile(s200);
}

} // namespace

void registerCmosSimulation() {
    static std::once_flag once;
    std::call_once(once, [] {
        registerAll();
        registerVaFormats();
        registerVsFormats();
    });
}

} // namespace hx::sim
