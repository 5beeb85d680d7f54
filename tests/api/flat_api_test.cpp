// The flat API: unknown names, null outputs, the forwarding rules that differ per function.
#include <cmath>
#include <cstring>
#include <functional>

#include "ApiFixture.h"

namespace {

/// Outputs that a call must leave alone when the name is unknown.
struct Outputs {
    int a = 7771, b = 7772, c = 7773, d = 7774;
    float f = 7.5f, g = 8.5f, h = 9.5f;
    bool on = true;
    char text[600] = "untouched";
    bool untouched() const {
        return a == 7771 && b == 7772 && c == 7773 && d == 7774 && f == 7.5f && g == 8.5f &&
               h == 9.5f && on && std::strcmp(text, "untouched") == 0;
    }
};

struct UnknownCase {
    const char* function;
    double expected;
    std::function<double(Outputs&, const char*)> call;
};

#define CASE(fn, expected, ...)                                                                    \
    UnknownCase {                                                                                  \
#fn, expected, [](Outputs& o, const char* n) { (void)o; return double(__VA_ARGS__); }              \
    }

std::vector<UnknownCase> unknownCases() {
    return {
        CASE(DataHeadLen, 0, DataHeadLen(n)),
        CASE(RecvMemSize, 0, RecvMemSize(n)),
        CASE(DeviceState, 0, DeviceState(n)),
        CASE(DeviceProduct, 0, DeviceProduct(n)),
        CASE(DeviceVendor, 0, DeviceVendor(n)),
        CASE(DeviceBcd, 0, DeviceBcd(n)),
        CASE(USBBcd, 0, USBBcd(n)),
        CASE(DeviceVersion, 0, DeviceVersion(n)),
        CASE(SetResolution, -1, SetResolution(0, n)),
        CASE(GetResolution, -1, GetResolution(n)),
        CASE(GetResolutionCount, -1, GetResolutionCount(n)),
        CASE(GetResItemName, 0, GetResItemName(0, n) == nullptr ? 0 : 1),
        CASE(GetResWidth, -2, GetResWidth(0, n)),
        CASE(GetResHeight, -2, GetResHeight(0, n)),
        CASE(SetPixelclock, -1, SetPixelclock(0, n)),
        CASE(GetPixelclock, -1, GetPixelclock(n)),
        CASE(GetPixelclockCount, -1, GetPixelclockCount(n)),
        CASE(GetPixclkItemName, 0, GetPixclkItemName(0, n) == nullptr ? 0 : 1),
        CASE(GetRawSize, -1, GetRawSize(&o.a, &o.b, n)),
        CASE(GetRawDepth, -1, GetRawDepth(n)),
        CASE(SetRawDepth, -1, SetRawDepth(16, n)),
        CASE(GetRawDepthState, -1, GetRawDepthState(0, n)),
        CASE(GetRawData, -1, GetRawData(reinterpret_cast<unsigned char*>(o.text), 600, n)),
        CASE(GetRawDataEx, -1,
             GetRawDataEx(nullptr, reinterpret_cast<unsigned char*>(o.text), 600, n)),
        CASE(GetRawBayernPattern, -1, GetRawBayernPattern(n)),
        CASE(GetImageChannles, -1, GetImageChannles(n)),
        CASE(DecodeRaw2Image, -1,
             DecodeRaw2Image(reinterpret_cast<unsigned char*>(o.text),
                             reinterpret_cast<unsigned char*>(o.text), n)),
        CASE(GetAnaloggainRange, -1, GetAnaloggainRange(&o.a, &o.b, &o.c, n)),
        CASE(GetAnaloggain, -1, GetAnaloggain(n)),
        CASE(SetAnaloggain, -1, SetAnaloggain(5, n)),
        CASE(GetExposureRange, -1, GetExposureRange(&o.f, &o.g, &o.h, n)),
        CASE(SetExposure, -1, SetExposure(10.0f, n)),
        CASE(GetExposure, -1.0, GetExposure(n)),
        CASE(ResetSupport, -1, ResetSupport(n)),
        CASE(ResetDevice, -1, ResetDevice(n)),
        CASE(SetBlacklevel, -1, SetBlacklevel(3, n)),
        CASE(GetBlacklevel, -1, GetBlacklevel(n)),
        CASE(GetBlacklevelRange, -1, GetBlacklevelRange(&o.a, &o.b, &o.c, n)),
        CASE(SetRoi, -1, SetRoi(0, 0, 64, 64, n)),
        CASE(GetRoi, -1, GetRoi(&o.a, &o.b, &o.c, &o.d, n)),
        CASE(SetRoiState, -1, SetRoiState(true, n)),
        CASE(GetRoiState, -1, GetRoiState(&o.on, n)),
        CASE(WriteInf, -1, WriteInf(o.text, 10, n)),
        CASE(ReadInf, -1, ReadInf(o.text, 10, n)),
        CASE(SetEdgeInhibition, -1, SetEdgeInhibition(true, n)),
        CASE(GetEdgeInhibition, -1, GetEdgeInhibition(&o.on, n)),
        CASE(SetGpio, -1, SetGpio(1, true, n)),
        CASE(Gpio, -1, Gpio(1, &o.on, n)),
        CASE(SetCooled, -1, SetCooled(true, n)),
        CASE(GetCooled, -1, GetCooled(&o.on, n)),
        CASE(GetTemperature, -1, GetTemperature(&o.f, n)),
        CASE(SetSharpness, -1, SetSharpness(1, n)),
        CASE(GetSharpness, -1, GetSharpness(n)),
        CASE(GetSharpnessRange, -1, GetSharpnessRange(&o.a, &o.b, &o.c, n)),
        CASE(SetDenoise, -1, SetDenoise(1, n)),
        CASE(GetDenoise, -1, GetDenoise(n)),
        CASE(GetDenoiseRange, -1, GetDenoiseRange(&o.a, &o.b, &o.c, n)),
        CASE(SetShiftOperator, -1, SetShiftOperator(1, n)),
        CASE(GetShiftOperator, -1, GetShiftOperator(n)),
        CASE(GetShiftOperatorRange, -1, GetShiftOperatorRange(&o.a, &o.b, &o.c, n)),
        CASE(SetFilter, -1, SetFilter(true, n)),
        CASE(GetFilter, -1, GetFilter(&o.on, n)),
        CASE(UpdateFirmware, -1, UpdateFirmware("/nonexistent", n)),
        CASE(FluorescenceGuide, -1, FluorescenceGuide(2, 1, n)),
        CASE(FluorescenceGuide3, -2, FluorescenceGuide(3, 1, n)),
        CASE(GetGamma, -1, GetGamma(n)),
        CASE(GetContrast, -1, GetContrast(n)),
        CASE(GetSaturation, -1, GetSaturation(n)),
        CASE(GetFlip, -1, GetFlip(n)),
        CASE(GetRotate, -1, GetRotate(n)),
        CASE(GetAETarget, -1, GetAETarget(n)),
        CASE(GetGammaRange, -1, GetGammaRange(&o.a, &o.b, &o.c, n)),
        CASE(GetContrastRange, -1, GetContrastRange(&o.a, &o.b, &o.c, n)),
        CASE(GetAETargetRange, -1, GetAETargetRange(&o.a, &o.b, &o.c, n)),
        CASE(GetChannelGainRange, -1, GetChannelGainRange(&o.a, &o.b, &o.c, n)),
        CASE(GetStretchRange, -1, GetStretchRange(&o.a, &o.b, &o.c, n)),
        CASE(GetSaturationRange, -1, GetSaturationRange(&o.a, &o.b, &o.c, n)),
        CASE(GetChannelGain, -1, GetChannelGain(&o.a, &o.b, &o.c, n)),
        CASE(GetGammaEx, -1, GetGammaEx(2, n)),
        CASE(GetGammaEx3, -2, GetGammaEx(3, n)),
        CASE(GetGammaExNegative, -2, GetGammaEx(-1, n)),
        CASE(GetGammaRangeEx, -1, GetGammaRangeEx(&o.a, &o.b, &o.c, 0, n)),
        CASE(GetGammaRangeEx3, -2, GetGammaRangeEx(&o.a, &o.b, &o.c, 3, n)),
        CASE(SetStretch, -1, SetStretch(1, 200, false, n)),
        CASE(GetStretch, -1, GetStretch(&o.a, &o.b, &o.on, n)),
        CASE(SetStretchEx, -1, SetStretchEx(1, 200, false, 1, n)),
        CASE(SetStretchEx3, -2, SetStretchEx(1, 200, false, 3, n)),
        CASE(GetStretchEx, -1, GetStretchEx(&o.a, &o.b, &o.on, 2, n)),
        CASE(GetStretchEx3, -2, GetStretchEx(&o.a, &o.b, &o.on, 3, n)),
        CASE(GetStretchRangeEx, -1, GetStretchRangeEx(&o.a, &o.b, &o.c, 0, n)),
        CASE(GetStretchRangeEx3, -2, GetStretchRangeEx(&o.a, &o.b, &o.c, 3, n)),
        CASE(GetMonochrome, -1, GetMonochrome(&o.on, n)),
        CASE(GetColorEnhancement, -1, GetColorEnhancement(&o.on, n)),
        CASE(GetAutoExposure, -1, GetAutoExposure(&o.on, n)),
        CASE(GetBlackFieldState, -1, GetBlackFieldState(&o.on, n)),
        CASE(SetBlackFieldState, -1, SetBlackFieldState(true, n)),
        CASE(GetImageFormat, -1, GetImageFormat(&o.a, n)),
        CASE(GetFlatfieldState, -1, GetFlatfieldState(&o.on, n)),
        CASE(SetDefectCorrectionState, -1, SetDefectCorrectionState(true, n)),
        CASE(GetDefectCorrectionState, -1, GetDefectCorrectionState(&o.on, n)),
        CASE(GetHistogramState, -1, GetHistogramState(&o.on, n)),
        CASE(CalcFlatfield, -1, CalcFlatfield(reinterpret_cast<unsigned char*>(o.text), false, n)),
        CASE(CalcWhiteBalance, -1,
             CalcWhiteBalance(reinterpret_cast<unsigned char*>(o.text), nullptr, n)),
        CASE(SaveImage, -1, SaveImage("/nonexistent/x", 0, n)),
        CASE(SaveFile, -1,
             SaveFile(reinterpret_cast<unsigned char*>(o.text), "/nonexistent/x", 1, n)),
        CASE(SaveImageEx, -1, SaveImageEx("/nonexistent/x", 0, nullptr, n)),
        CASE(GetCurrentConfiguration, -1, GetCurrentConfiguration(n)),
        CASE(SaveConfiguration, -1, SaveConfiguration(1, n)),
        CASE(LoadConfiguration, -1, LoadConfiguration(1, n)),
        CASE(SetDefaultConfiguration, -1, SetDefaultConfiguration(n)),
        CASE(ResumeDevice, -1, ResumeDevice(n)),
        CASE(SuspendDevice, -1, SuspendDevice(n)),
    };
}

} // namespace

TEST_F(ApiTest, UnknownNamesGiveTheirValueAndLeaveOutputsAlone) {
    start();
    std::string present = plug(0xA811); // a registered camera must not answer for others
    ASSERT_FALSE(present.empty());
    for (const char* name : {"NoSuchCamera.1", "", static_cast<const char*>(nullptr)}) {
        for (const UnknownCase& c : unknownCases()) {
            Outputs out;
            EXPECT_EQ(c.call(out, name), c.expected) << c.function;
            EXPECT_TRUE(out.untouched()) << c.function;
        }
        // Functions without a result must not reach any camera either.
        SetGamma(150, name);
        SetContrast(10, name);
        SetSaturation(10, name);
        SetFlip(3, name);
        SetRotate(2, name);
        SetMonochrome(true, name);
        SetColorEnhancement(true, name);
        SetHistogramState(true, name);
        SetAutoExposure(true, name);
        SetAETarget(10, name);
        SetFlatfieldState(true, name);
        SetImageFormat(31, name);
        CalcDefectCorrection(name);
        CalcBlackField(name);
        SetChannelGain(20, 20, 20, name);
        SetGammaEx(150, 1, name);
    }
    EXPECT_EQ(GetContrast(present.c_str()), 128);
    EXPECT_EQ(GetFlip(present.c_str()), 0);
}

TEST_F(ApiTest, NullOutputsGiveBadArgumentForARegisteredCamera) {
    start();
    std::string name = plug(0xA811);
    const char* n = name.c_str();
    int v = 0;
    float f = 0;
    bool b = false;
    EXPECT_EQ(GetRawSize(nullptr, &v, n), -2);
    EXPECT_EQ(GetAnaloggainRange(&v, nullptr, &v, n), -2);
    EXPECT_EQ(GetExposureRange(&f, &f, nullptr, n), -2);
    EXPECT_EQ(GetRoi(&v, &v, &v, nullptr, n), -2);
    EXPECT_EQ(GetRoiState(nullptr, n), -2);
    EXPECT_EQ(GetTemperature(nullptr, n), -2);
    EXPECT_EQ(GetSaturationRange(nullptr, &v, &v, n), -2);
    EXPECT_EQ(GetChannelGain(&v, &v, nullptr, n), -2);
    EXPECT_EQ(GetMonochrome(nullptr, n), -2);
    EXPECT_EQ(GetFlatfieldState(nullptr, n), -2);
    EXPECT_EQ(GetHistogramState(nullptr, n), -2);
    EXPECT_EQ(GetImageFormat(nullptr, n), -2);
    EXPECT_EQ(GetRawData(nullptr, 100, n), -2);
    EXPECT_EQ(DecodeRaw2Image(nullptr, nullptr, n), -2);
    EXPECT_EQ(ReadInf(nullptr, 10, n), -2);
    EXPECT_EQ(SaveImage(nullptr, 0, n), -2);
    EXPECT_EQ(CalcWhiteBalance(nullptr, nullptr, n), -2);
    EXPECT_EQ(GetRawSize(&v, &v, n), 0);
    EXPECT_EQ(GetMonochrome(&b, n), 0);
}

TEST_F(ApiTest, StretchReadsFillOnlyTheOutputsGiven) {
    start();
    std::string name = plug(0xA811);
    const char* n = name.c_str();
    ASSERT_EQ(SetStretch(10, 200, false, n), 0);
    ASSERT_EQ(SetStretchEx(30, 90, false, 2, n), 0);
    ASSERT_EQ(SetStretchEx(0, 0, true, 1, n), 0);

    int low = -1, high = -1;
    bool automatic = true;
    EXPECT_EQ(GetStretch(&low, &high, nullptr, n), 0);
    EXPECT_EQ(low, 10);
    EXPECT_EQ(high, 200);
    EXPECT_EQ(GetStretch(nullptr, nullptr, &automatic, n), 0);
    EXPECT_FALSE(automatic);
    EXPECT_EQ(GetStretch(nullptr, nullptr, nullptr, n), 0);

    low = high = -1;
    EXPECT_EQ(GetStretchEx(nullptr, &high, nullptr, 2, n), 0);
    EXPECT_EQ(high, 90);
    EXPECT_EQ(GetStretchEx(&low, nullptr, nullptr, 2, n), 0);
    EXPECT_EQ(low, 30);
    EXPECT_EQ(GetStretchEx(nullptr, nullptr, &automatic, 1, n), 0);
    EXPECT_TRUE(automatic);
    EXPECT_EQ(GetStretchEx(nullptr, nullptr, nullptr, 3, n), -2);
    EXPECT_EQ(GetStretch(nullptr, nullptr, nullptr, "nobody"), -1);
}

TEST_F(ApiTest, ResultRulesThatDifferFromTheCameraOperation) {
    start();
    std::string mono = plug(0xA00A);
    std::string cooled = plug(0xE00C, 0xA001);
    ASSERT_FALSE(mono.empty());
    ASSERT_FALSE(cooled.empty());
    uint64_t key = hx::cam::CamRegistry::instance().keyOf(cooled.c_str());
    auto sim = hx::sim::SimBus::instance().camera(key);
    ASSERT_TRUE(sim);

    // A monochrome camera has no saturation: the range call still reports 0, outputs unchanged.
    int lo = 11, hi = 22, step = 33;
    EXPECT_EQ(GetSaturationRange(&lo, &hi, &step, mono.c_str()), 0);
    EXPECT_EQ(lo + hi + step, 66);

    // Edge inhibition of this cooled model is refused without a request to the camera.
    sim->clearRequestLog();
    EXPECT_EQ(SetEdgeInhibition(true, cooled.c_str()), -4);
    EXPECT_TRUE(sim->requestLog().empty());

    // The configuration calls report 0 and use the library's parameter directory.
    EXPECT_EQ(SaveConfiguration(2, cooled.c_str()), 0);
    EXPECT_EQ(GetCurrentConfiguration(cooled.c_str()), 2);
    EXPECT_TRUE(std::filesystem::exists(dir_ / "VDh694M1.c.txt"));
    EXPECT_EQ(LoadConfiguration(2, cooled.c_str()), 0);
}

TEST_F(ApiTest, DefaultConfigurationResetsSettingsForEveryChannel) {
    start();
    std::string colour = plug(0xA811);
    const char* n = colour.c_str();
    SetContrast(50, n);
    SetFlip(3, n);
    SetSaturation(20, n);
    for (int channel = 0; channel < 3; ++channel) SetGammaEx(150, channel, n);
    ASSERT_EQ(GetGammaEx(2, n), 150);
    EXPECT_EQ(SetDefaultConfiguration(n), 0);
    EXPECT_EQ(GetContrast(n), 128);
    EXPECT_EQ(GetFlip(n), 0);
    EXPECT_EQ(GetSaturation(n), 100);
    EXPECT_EQ(GetRawDepth(n), 8);
    for (int channel = 0; channel < 3; ++channel) EXPECT_EQ(GetGammaEx(channel, n), 100);

    std::string mono = plug(0xA00A);
    SetGammaEx(150, 0, mono.c_str());
    EXPECT_EQ(SetDefaultConfiguration(mono.c_str()), 0);
    EXPECT_EQ(GetGammaEx(0, mono.c_str()), 100);
}
