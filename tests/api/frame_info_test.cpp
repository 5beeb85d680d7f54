// The frame information a frame read stamps into each frame, through the flat API, on
// simulated cameras of the CMOS and cooled CCD families.
#include <chrono>
#include <cstring>
#include <vector>

#include "ApiFixture.h"

namespace {

int64_t nowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

TEST_F(ApiTest, FrameReadsStampTheirOwnSettingsSequenceAndTime) {
    start();
    const std::string name = plug(0xA811); // VAh200C1, RGGB
    ASSERT_FALSE(name.empty());
    const char* n = name.c_str();
    ASSERT_EQ(SetExposure(20.0f, n), 0);
    ASSERT_EQ(SetAnaloggain(40, n), 0);
    ASSERT_EQ(ResumeDevice(n), 0);
    std::vector<unsigned char> raw(RecvMemSize(n));
    std::vector<unsigned char> image(raw.size() * 3 + 8192);

    const int64_t before = nowUs();
    ASSERT_EQ(readFrame(raw, n), 0);
    const int64_t after = nowUs();
    HalvexFrameInfo first{};
    ASSERT_EQ(GetFrameInfo(raw.data(), &first), 0);
    EXPECT_EQ(std::memcmp(first.magic, "HXFI", 4), 0);
    EXPECT_EQ(first.size, sizeof(HalvexFrameInfo));
    EXPECT_STREQ(first.model, "VAh200C1");
    EXPECT_FLOAT_EQ(first.exposureMs, GetExposure(n));
    EXPECT_NE(first.flags & HALVEX_INFO_GAIN, 0u);
    EXPECT_EQ(first.gain, GetAnaloggain(n));
    EXPECT_EQ(first.flags & HALVEX_INFO_TEMPERATURE, 0u); // no sensor in this camera
    EXPECT_EQ(first.bayer, GetRawBayernPattern(n));
    EXPECT_EQ(first.frameType, HALVEX_FRAME_LIGHT);
    EXPECT_EQ(first.binX, 1);
    EXPECT_EQ(first.originX, 0);
    // The exposure began before the frame arrived: by at least the exposure, within the read.
    EXPECT_LE(first.exposureStartUs, after - 20000);
    EXPECT_GE(first.exposureStartUs, before - 20000 - 10000000);

    // The settings of the next frame are its own, and the conversion carries them over with
    // the flip it applied.
    ASSERT_EQ(SetFrameType(HALVEX_FRAME_DARK, n), 0);
    EXPECT_EQ(GetFrameType(n), HALVEX_FRAME_DARK);
    ASSERT_EQ(SetAnaloggain(60, n), 0);
    SetFlip(1, n);
    ASSERT_EQ(readFrame(raw, n), 0);
    ASSERT_EQ(SetAnaloggain(20, n), 0); // after the read: the frame keeps 60
    HalvexFrameInfo second{};
    ASSERT_EQ(GetFrameInfo(raw.data(), &second), 0);
    EXPECT_GT(second.sequence, first.sequence);
    EXPECT_GT(second.exposureStartUs, first.exposureStartUs);
    EXPECT_EQ(second.frameType, HALVEX_FRAME_DARK);
    EXPECT_EQ(second.gain, 60);
    EXPECT_EQ(second.flip, 1);
    ASSERT_EQ(DecodeRaw2Image(raw.data(), image.data(), n), 0);
    HalvexFrameInfo decoded{};
    ASSERT_EQ(GetFrameInfo(image.data(), &decoded), 0);
    EXPECT_EQ(decoded.sequence, second.sequence);
    EXPECT_EQ(decoded.gain, 60);
    EXPECT_EQ(decoded.flip, 1);
    SetFlip(0, n);
    ASSERT_EQ(DecodeRaw2Image(raw.data(), image.data(), n), 0);
    ASSERT_EQ(GetFrameInfo(image.data(), &decoded), 0);
    EXPECT_EQ(decoded.flip, 0); // the flip this conversion applied

    // Bad input.
    EXPECT_EQ(SetFrameType(4, n), -2);
    EXPECT_EQ(SetFrameType(-1, n), -2);
    EXPECT_EQ(GetFrameType(n), HALVEX_FRAME_DARK);
    EXPECT_EQ(SetFrameType(0, "no such camera"), -1);
    EXPECT_EQ(GetFrameType("no such camera"), -1);
    EXPECT_EQ(GetFrameInfo(nullptr, &decoded), -2);
    EXPECT_EQ(GetFrameInfo(raw.data(), nullptr), -2);
    std::vector<unsigned char> plain(56 + 16);
    auto* record = reinterpret_cast<_ezImage*>(plain.data());
    ezInitImageHeader(record, 4, 4, 1, 8, 56, plain.data() + 56, 0, 1);
    EXPECT_EQ(GetFrameInfo(plain.data(), &decoded), -4); // a record without the block
    plain.assign(plain.size(), 0);
    EXPECT_EQ(GetFrameInfo(plain.data(), &decoded), -4); // no record at all
}

TEST_F(ApiTest, FrameInfoNamesTheRegionTheCameraDeliversAndTheItemsBinning) {
    start();
    const std::string name = plug(0xA811);
    ASSERT_FALSE(name.empty());
    const char* n = name.c_str();
    // An odd origin is taken down to the camera's steps (4 across, 2 down): the samples keep
    // the sensor's pattern.
    ASSERT_EQ(ResumeDevice(n), 0); // starts at a resolution item, which ends any region
    ASSERT_EQ(SetRoi(101, 51, 400, 300, n), 0);
    ASSERT_EQ(SetRoiState(true, n), 0);
    std::vector<unsigned char> raw(RecvMemSize(n));
    const auto* record = reinterpret_cast<const _ezImage*>(raw.data());
    HalvexFrameInfo info{};
    // The first frame arrives whole while the camera takes the window over: no region yet.
    ASSERT_EQ(readFrame(raw, n), 0);
    ASSERT_EQ(GetFrameInfo(raw.data(), &info), 0);
    if (record->width != 408) {
        EXPECT_EQ(info.originX, 0);
        ASSERT_EQ(readFrame(raw, n), 0);
        ASSERT_EQ(GetFrameInfo(raw.data(), &info), 0);
    }
    ASSERT_EQ(record->width, 408);
    EXPECT_EQ(info.originX, 100);
    EXPECT_EQ(info.originY, 50);
    EXPECT_EQ(info.bayer, GetRawBayernPattern(n));
    SuspendDevice(n);

    // A binned item of another camera: "1016X760 Bin" of a 2048 x 1536 sensor.
    const std::string binned = plug(0xC007); // VAo300C1
    ASSERT_FALSE(binned.empty());
    ASSERT_EQ(SetResolution(3, binned.c_str()), 0);
    ASSERT_EQ(ResumeDevice(binned.c_str()), 0);
    std::vector<unsigned char> frame(RecvMemSize(binned.c_str()));
    ASSERT_EQ(readFrame(frame, binned.c_str()), 0);
    ASSERT_EQ(GetFrameInfo(frame.data(), &info), 0);
    EXPECT_EQ(info.binX, 2);
    EXPECT_EQ(info.binY, 2);
    EXPECT_STREQ(info.model, "VAo300C1");
}

TEST_F(ApiTest, CooledCameraStampsTheTemperatureReadForTheFrame) {
    start();
    const std::string name = plug(0xE00C, 0xA001); // VDh694M1 with the temperature sensor
    ASSERT_FALSE(name.empty());
    const char* n = name.c_str();
    ASSERT_EQ(ResumeDevice(n), 0);
    std::vector<unsigned char> raw(RecvMemSize(n));
    ASSERT_EQ(readFrame(raw, n), 0);
    HalvexFrameInfo info{};
    ASSERT_EQ(GetFrameInfo(raw.data(), &info), 0);
    ASSERT_NE(info.flags & HALVEX_INFO_TEMPERATURE, 0u);
    float celsius = 0;
    ASSERT_EQ(GetTemperature(&celsius, n), 0);
    EXPECT_NEAR(info.temperature, celsius, 5.0f);
    EXPECT_EQ(info.flags & HALVEX_INFO_SET_TEMPERATURE, 0u); // the cooler has no target
    EXPECT_STREQ(info.model, "VDh694M1");
}

TEST_F(ApiTest, EveryReadOutFamilyStampsItsFramesAndEveryConversionCarriesThem) {
    start();
    // End-marker and line-counted CMOS, the checkerboard mono conversion, head-marker and
    // end-marker CCD.
    for (unsigned short product : {0xA811, 0xA00A, 0xC00C, 0xF00B, 0xD004, 0xE004}) {
        const std::string name = plug(product);
        ASSERT_FALSE(name.empty()) << std::hex << product;
        const char* n = name.c_str();
        ASSERT_EQ(ResumeDevice(n), 0);
        std::vector<unsigned char> raw(RecvMemSize(n));
        std::vector<unsigned char> image(raw.size() * 3 + 8192);
        uint64_t last = 0;
        for (int k = 0; k < 2; ++k) {
            ASSERT_EQ(readFrame(raw, n), 0) << name;
            HalvexFrameInfo info{};
            ASSERT_EQ(GetFrameInfo(raw.data(), &info), 0) << name;
            EXPECT_GT(info.sequence, last) << name;
            last = info.sequence;
            ASSERT_EQ(DecodeRaw2Image(raw.data(), image.data(), n), 0) << name;
            HalvexFrameInfo carried{};
            ASSERT_EQ(GetFrameInfo(image.data(), &carried), 0) << name;
            EXPECT_EQ(carried.sequence, info.sequence) << name;
        }
        SuspendDevice(n);
    }
}
