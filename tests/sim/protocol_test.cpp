// The simulated camera's vendor protocol, wire formats and faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "sim_test_util.h"

using namespace hx::sim;
using namespace hx::usb;
using namespace simtest;

namespace {

constexpr uint16_t kHeadProduct = 0xC811; // head-marker format
constexpr uint16_t kEndProduct = 0xA811;  // end-marker format

bool headMarker(const Read& r, size_t offset = 0) {
    return r.bytes.size() >= offset + 10 &&
           std::all_of(r.bytes.begin() + offset, r.bytes.begin() + offset + 10,
                       [](uint8_t b) { return b == 0x88; });
}

TEST(SimProtocol, HeadMarkerFrameSizesFollowModeAndDepth) {
    auto cam = makeSimCamera(kHeadProduct);
    start(*cam);
    Read r = readFrame(*cam);
    ASSERT_EQ(r.result, kUsbOk);
    EXPECT_EQ(r.received, 512 + 1600 * 1200);
    EXPECT_TRUE(headMarker(r));
    EXPECT_NE(r.bytes[10], 0x88); // exactly ten marker bytes

    // The camera sends the item's transfer size: 479744 pixel bytes for the 800 x 600 item,
    // which is what the base read-out asks for ((800 x 600 + 512) rounded down to 512).
    ASSERT_EQ(send(*cam, 0xB4, 0xC1, 300), kUsbOk);
    r = readFrame(*cam, (800 * 600 + 512) / 512 * 512);
    EXPECT_EQ(r.received, 512 + 479744);
    EXPECT_TRUE(headMarker(r));

    ASSERT_EQ(send(*cam, 0xB4, 0xC0, 300), kUsbOk);
    ASSERT_EQ(send(*cam, 0xB9, 5), kUsbOk);
    r = readFrame(*cam, 3840512);
    EXPECT_EQ(r.received, 3840512); // 7501 blocks
    EXPECT_TRUE(headMarker(r));
    EXPECT_EQ(cam->bitDepth(), 16);
    ASSERT_EQ(send(*cam, 0xB9, 10), kUsbOk);
    EXPECT_EQ(cam->bitDepth(), 8);
    EXPECT_EQ(send(*cam, 0xB9, 7), kUsbPipeStalled);
    EXPECT_EQ(cam->bitDepth(), 8);
}

TEST(SimProtocol, SixteenBitSamplesTravelBigEndian) {
    auto cam = std::make_shared<SimCamera>(findSensorProfile(kHeadProduct, 0),
                                           std::make_unique<HeadMarkerFormat>(), 0x100, quiet());
    start(*cam);
    Read eight = readFrame(*cam);
    send(*cam, 0xB9, 5);
    Read sixteen = readFrame(*cam);
    ASSERT_EQ(eight.received, 512 + 1600 * 1200);
    ASSERT_EQ(sixteen.received, 512 + 2 * 1600 * 1200);
    // Without noise both frames carry the same values: the 8-bit sample is the high byte,
    // which comes first on the wire.
    bool lowBytesVary = false;
    for (size_t i = 0; i < 1600 * 1200; ++i) {
        ASSERT_EQ(sixteen.bytes[512 + 2 * i], eight.bytes[512 + i]) << "sample " << i;
        lowBytesVary |= sixteen.bytes[512 + 2 * i + 1] != 0;
    }
    EXPECT_TRUE(lowBytesVary);
}

TEST(SimProtocol, EndMarkerFormatCarriesMarkerAndSnapshotMark) {
    auto cam = makeSimCamera(kEndProduct);
    start(*cam);
    const size_t t = 1920000;
    Read r = readFrame(*cam, t + 512, false); // this format needs no acknowledge
    ASSERT_EQ(r.received, int(t + 3));
    EXPECT_EQ(r.bytes[t], 0x88);
    EXPECT_EQ(r.bytes[t + 1], 0x00);

    cam->pressSnapshotButton();
    r = readFrame(*cam, t + 512, false);
    ASSERT_EQ(r.received, int(t + 3));
    EXPECT_EQ(r.bytes[t], 0x88);
    EXPECT_EQ(r.bytes[t + 1], 0xCC);
    r = readFrame(*cam, t + 512, false); // the mark is on one frame only
    EXPECT_EQ(r.bytes[t + 1], 0x00);

    cam->omitNextMarker();
    r = readFrame(*cam, t + 512, false);
    ASSERT_EQ(r.received, int(t + 3));
    EXPECT_NE(r.bytes[t], 0x88);
}

TEST(SimProtocol, FramesNeedStartAndAcknowledge) {
    auto cam = makeSimCamera(kHeadProduct);
    cam->open();
    Read r = readFrame(*cam, 1 << 21, false);
    EXPECT_EQ(r.result, kUsbTimeout); // not started
    send(*cam, 0xBA);
    EXPECT_EQ(readFrame(*cam, 1 << 21, false).result, kUsbOk);
    EXPECT_EQ(readFrame(*cam, 1 << 21, false).result, kUsbTimeout); // no acknowledge yet
    send(*cam, 0xB3);
    EXPECT_EQ(readFrame(*cam, 1 << 21).result, kUsbOk);
    send(*cam, 0xBB);
    EXPECT_FALSE(cam->running());
    EXPECT_EQ(readFrame(*cam, 1 << 21).result, kUsbTimeout);
    send(*cam, 0xB4, 0xC0, 300); // a mode request starts a new exposure
    EXPECT_TRUE(cam->running());
    EXPECT_EQ(readFrame(*cam, 1 << 21).result, kUsbOk);
    EXPECT_EQ(cam->framesDelivered(), 3u);
}

TEST(SimProtocol, SettingsRequestsReachTheSensorState) {
    auto cam = makeSimCamera(kHeadProduct);
    cam->open();
    EXPECT_EQ(send(*cam, 0xB4, 0xC2, 1234), kUsbOk);
    EXPECT_EQ(cam->resolutionIndex(), 2);
    EXPECT_EQ(cam->resolutionCode(), 0xC2);
    EXPECT_EQ(cam->exposureLines(), 1234u);
    // After a long-exposure restart bits 16-23 of the line count ride in wValue's high byte.
    EXPECT_EQ(send(*cam, 0xB4, 0x05C0, 0x2345), kUsbOk);
    EXPECT_EQ(cam->resolutionIndex(), 0);
    EXPECT_EQ(cam->exposureLines(), 0x052345u);
    EXPECT_EQ(send(*cam, 0xB5, 0xA1, 777), kUsbOk);
    EXPECT_EQ(cam->clockIndex(), 1);
    EXPECT_EQ(cam->exposureLines(), 777u);
    EXPECT_NEAR(cam->exposureMs(), 777.0 * 1948 / 24000, 1e-9);
    EXPECT_EQ(send(*cam, 0xB5, 0xA0, 0), kUsbOk); // wIndex 0 carries no exposure
    EXPECT_EQ(cam->exposureLines(), 777u);

    // Registers are kept one by one; the exposure register sets the line count.
    EXPECT_EQ(send(*cam, 0xB7, 160, 0x2F), kUsbOk);
    EXPECT_EQ(send(*cam, 0xB7, 40, 0x02), kUsbOk);
    EXPECT_EQ(send(*cam, 0xB7, 500, 0x09), kUsbOk);
    EXPECT_EQ(cam->registerValue(0x2F), 160);
    EXPECT_EQ(cam->registerValue(0x02), 40);
    EXPECT_EQ(cam->exposureLines(), 500u);
    EXPECT_DOUBLE_EQ(cam->linearGain(), 2.0); // 160: 32/32, doubled by bit 7

    // Control port: cooler, edge inhibition, GPIO lines; region requests.
    EXPECT_EQ(send(*cam, 0xB8, 17, 0), kUsbOk);
    EXPECT_EQ(send(*cam, 0xB8, 1, 1), kUsbOk);
    EXPECT_EQ(send(*cam, 0xB8, 0x0161, 0), kUsbOk);
    EXPECT_EQ(send(*cam, 0xB8, 1, 9), kUsbPipeStalled);
    EXPECT_EQ(cam->controlPort(0), 17);
    EXPECT_TRUE(cam->coolerOn());
    EXPECT_TRUE(cam->gpio(2));
    EXPECT_FALSE(cam->gpio(1));
    EXPECT_EQ(send(*cam, 0xBD, 100, 50), kUsbOk);
    EXPECT_EQ(send(*cam, 0xBE, 408, 308), kUsbOk);
    EXPECT_EQ(cam->roiOrigin(), std::make_pair(uint16_t(100), uint16_t(50)));
    EXPECT_EQ(cam->roiSize(), std::make_pair(uint16_t(408), uint16_t(308)));
}

TEST(SimProtocol, UserMemoryRoundTripInChunks) {
    auto cam = makeSimCamera(kHeadProduct);
    cam->open();
    uint8_t text[512];
    for (int i = 0; i < 512; ++i) text[i] = uint8_t(i * 7 + 3);
    for (int k = 0; k < 8; ++k) {
        EZURB w{0x40,          0xB0, uint16_t(0x41 + 64 * k), uint16_t(0x41 + 64 * k + 63), 64,
                text + 64 * k, 0};
        ASSERT_EQ(cam->controlRequest(w), kUsbOk);
        EXPECT_EQ(w.wLenDone, 64u);
    }
    EXPECT_EQ(std::memcmp(cam->userMemory().data(), text, 512), 0);
    uint8_t back[512] = {};
    for (int k = 0; k < 8; ++k) {
        EZURB r{0xC0,          0xB1, uint16_t(0x41 + 64 * k), uint16_t(0x41 + 64 * k + 63), 64,
                back + 64 * k, 0};
        ASSERT_EQ(cam->controlRequest(r), kUsbOk);
        EXPECT_EQ(r.wLenDone, 64u);
    }
    EXPECT_EQ(std::memcmp(back, text, 512), 0);

    // A short last chunk changes only the addresses it names; nothing lies beyond 0x240.
    uint8_t chunk[64];
    std::memset(chunk, 0xEE, sizeof chunk);
    EZURB tail{0x40, 0xB0, 0x101, 0x108, 64, chunk, 0};
    ASSERT_EQ(cam->controlRequest(tail), kUsbOk);
    EXPECT_EQ(cam->userMemory()[0x101 - 0x41 + 7], 0xEE);
    EXPECT_EQ(cam->userMemory()[0x101 - 0x41 + 8], text[0x101 - 0x41 + 8]);
    EZURB past{0x40, 0xB0, 0x241, 0x280, 64, chunk, 0};
    EXPECT_EQ(cam->controlRequest(past), kUsbPipeStalled);
    EZURB nullData{0x40, 0xB0, 0x41, 0x80, 64, nullptr, 0};
    EXPECT_EQ(cam->controlRequest(nullData), kUsbBadArgument);
}

TEST(SimProtocol, VersionAndTemperatureReplies) {
    SimOptions options;
    options.ambientCelsius = 20.0;
    auto cam = makeSimCamera(0xE00C, 0xA001, options); // a cooled camera (generic profile)
    cam->open();
    std::vector<uint8_t> reply;
    ASSERT_EQ(query(*cam, 0xB6, 0, 2, reply), kUsbOk);
    EXPECT_EQ(int16_t(reply[0] | reply[1] << 8), cam->profile().firmwareVersion);

    // The host decodes half degrees, and below zero m = (~t & 0x80FF) + 1 steps of -0.625.
    auto degrees = [&] {
        query(*cam, 0xB6, 0, 1, reply);
        const int16_t t = int16_t(reply[0] | reply[1] << 8);
        if (t >= 0) return t * 0.5;
        const int16_t m = int16_t((~t & 0x80FF) + 1);
        return m * -0.625;
    };
    EXPECT_DOUBLE_EQ(degrees(), 20.0);
    send(*cam, 0xB8, 1, 1); // cooler on
    cam->advanceClock(20);
    const double partway = degrees();
    EXPECT_LT(partway, 20.0);
    EXPECT_GT(partway, -10.0);
    cam->advanceClock(1000);
    EXPECT_NEAR(degrees(), -10.0, 0.625);
    send(*cam, 0xB8, 0, 1); // cooler off: back toward ambient
    cam->advanceClock(1000);
    EXPECT_NEAR(degrees(), 20.0, 0.5);

    EXPECT_EQ(query(*cam, 0xB6, 0, 3, reply), kUsbPipeStalled);
}

TEST(SimProtocol, RequestLogRecordsEveryRequestInOrder) {
    auto cam = makeSimCamera(kHeadProduct);
    cam->open();
    uint8_t data[64] = {1, 2, 3};
    EZURB w{0x40, 0xB0, 0x41, 0x80, 64, data, 0};
    cam->controlRequest(w);
    send(*cam, 0xB7, 61, 0x2F);
    send(*cam, 0xBC);       // unknown request
    send(*cam, 0xB1, 0x41); // an in request sent as out
    std::vector<uint8_t> reply;
    query(*cam, 0xB6, 0, 2, reply);

    auto log = cam->requestLog();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[0].bRequest, 0xB0);
    ASSERT_EQ(log[0].data.size(), 64u);
    EXPECT_EQ(log[0].data[2], 3);
    EXPECT_EQ(log[1].bRequest, 0xB7);
    EXPECT_EQ(log[1].wValue, 61);
    EXPECT_EQ(log[1].wIndex, 0x2F);
    EXPECT_EQ(log[2].result, kUsbPipeStalled);
    EXPECT_EQ(log[3].result, kUsbPipeStalled);
    EXPECT_EQ(log[4].bmRequestType, 0xC0);
    EXPECT_EQ(log[4].data.size(), 64u);
    EXPECT_EQ(log[4].result, kUsbOk);
    cam->clearRequestLog();
    EXPECT_TRUE(cam->requestLog().empty());
}

TEST(SimProtocol, StalledPipes) {
    auto cam = makeSimCamera(kHeadProduct);
    start(*cam);
    cam->stallPipe(kControlPipe, 1);
    EXPECT_EQ(send(*cam, 0xB7, 99, 0x2F), kUsbPipeStalled);
    EXPECT_NE(cam->registerValue(0x2F), 99); // a stalled request is not applied
    EXPECT_EQ(send(*cam, 0xB7, 99, 0x2F), kUsbOk);
    EXPECT_EQ(cam->registerValue(0x2F), 99);

    // A halted bulk pipe stays halted until the host clears it; the frame waits.
    cam->stallPipe(kBulkInPipe, 1);
    EXPECT_EQ(readFrame(*cam, 1 << 21, false).result, kUsbPipeStalled);
    EXPECT_EQ(readFrame(*cam, 1 << 21, false).result, kUsbPipeStalled);
    EXPECT_EQ(cam->clearPipeStall(kBulkInPipe), kUsbOk);
    Read r = readFrame(*cam, 1 << 21);
    EXPECT_EQ(r.result, kUsbOk);
    EXPECT_EQ(r.received, 512 + 1600 * 1200);
}

TEST(SimProtocol, ShortLongAndBrokenTransfers) {
    auto cam = makeSimCamera(kHeadProduct);
    start(*cam);
    const int total = 512 + 1600 * 1200;
    cam->shortenNextTransfer(1000);
    EXPECT_EQ(readFrame(*cam, total).received, total - 1000);

    // Extra bytes the host did not ask for arrive with its next read.
    cam->lengthenNextTransfer(512);
    EXPECT_EQ(readFrame(*cam, total, false).received, total);
    Read rest = readFrame(*cam, total, false);
    EXPECT_EQ(rest.received, 512);
    send(*cam, 0xB3);
    Read next = readFrame(*cam, total);
    EXPECT_EQ(next.received, total);
    EXPECT_TRUE(headMarker(next));

    cam->omitNextMarker();
    Read bare = readFrame(*cam, total);
    EXPECT_EQ(bare.received, total);
    EXPECT_FALSE(headMarker(bare));

    cam->strayHeadAtBlock(3);
    Read stray = readFrame(*cam, total);
    EXPECT_TRUE(headMarker(stray));
    EXPECT_TRUE(headMarker(stray, 3 * 512));
    EXPECT_FALSE(headMarker(stray, 2 * 512));
    EXPECT_FALSE(headMarker(readFrame(*cam, total), 3 * 512)); // one frame only
}

TEST(SimProtocol, BadCallsAndUnplug) {
    auto cam = makeSimCamera(kHeadProduct);
    unsigned char byte = 0;
    int received = -1;
    EXPECT_EQ(send(*cam, 0xBA), kUsbNotOpen);
    EXPECT_EQ(cam->readPipe(1, &byte, 1, &received), kUsbNotOpen);
    EXPECT_EQ(received, 0);
    ASSERT_EQ(cam->open(), kUsbOk);
    EXPECT_NE(cam->open(), kUsbOk); // exclusive
    EXPECT_EQ(cam->setConfiguration(1), kUsbBadArgument);
    EXPECT_EQ(cam->readPipe(1, nullptr, 10, &received), kUsbBadArgument);
    EXPECT_EQ(cam->readPipe(0, &byte, 1, &received), kUsbBadArgument);
    EXPECT_EQ(cam->readPipe(1, &byte, -1, &received), kUsbBadArgument);
    send(*cam, 0xBA);
    Read part = readFrame(*cam, 1000, false); // a small read takes the start of the frame
    EXPECT_EQ(part.received, 1000);
    EXPECT_TRUE(headMarker(part));

    cam->unplug();
    EXPECT_EQ(send(*cam, 0xBB), kUsbNoDevice);
    EXPECT_EQ(cam->readPipe(1, &byte, 1, &received), kUsbNoDevice);
    EXPECT_EQ(cam->clearPipeStall(1), kUsbNoDevice);
    EXPECT_EQ(cam->open(), kUsbNoDevice);
    cam->close();
    cam->close(); // twice is fine
}

TEST(SimProtocol, UnknownProductGetsWorkingGenericCamera) {
    auto cam = makeSimCamera(0xD004, 0xA001);
    EXPECT_EQ(cam->vendorId(), 0x0547);
    EXPECT_EQ(cam->productId(), 0xD004);
    EXPECT_EQ(cam->bcdDevice(), 0xA001);
    start(*cam);
    send(*cam, 0xB7, 300, cam->profile().gainRegister);
    Read r = readFrame(*cam, cam->currentTransferSize());
    EXPECT_EQ(r.result, kUsbOk);
    EXPECT_EQ(size_t(r.received), cam->currentTransferSize());
}

} // namespace

namespace {

TEST(SimWireFormats, HardwareWindowAfterRegionRequests) {
    auto cam = std::make_shared<SimCamera>(
        findSensorProfile(0xA811, 0), std::make_unique<EndMarkerFormat>(true), 0x100, SimOptions{});
    start(*cam);
    ASSERT_EQ(cam->currentTransferSize(), 1920000u + 3);
    send(*cam, 0xBD, 100, 51);
    send(*cam, 0xBE, 264, 208); // 54912 pixels: 107 whole blocks
    const FrameShape shape = cam->currentShape();
    EXPECT_EQ(shape.width, 264);
    EXPECT_EQ(shape.height, 208);
    EXPECT_EQ(shape.bayerPhaseY, 1); // an odd first row starts on the mosaic's second row
    Read r = readFrame(*cam, 54912 + 512, false);
    ASSERT_EQ(r.received, 107 * 512 + 3);
    EXPECT_EQ(r.bytes[107 * 512], 0x88);
    send(*cam, 0xB4, 0xC0); // a mode request ends the window
    EXPECT_EQ(cam->currentTransferSize(), 1920000u + 3);
}

TEST(SimWireFormats, TwelveBitPackingLeavesHighByteFirst) {
    const uint16_t samples[3] = {0xABC0, 0x0010, 0xFFFF};
    const RenderedFrame frame{samples, 3, 1};
    uint8_t out[6] = {};
    EXPECT_EQ(WireFormat::encodeSamples12(frame, out, sizeof out), 6u);
    const uint8_t expected[6] = {0xAB, 0x0C, 0x00, 0x01, 0xFF, 0x0F};
    EXPECT_EQ(std::memcmp(out, expected, 6), 0);
    EXPECT_EQ(WireFormat::encodeSamples12(frame, out, 5), 4u); // never past max
}

} // namespace

namespace {

TEST(SimProtocol, SplitExposureRegistersCombine) {
    SensorProfile periods = findSensorProfile(0xE00C, 0);
    periods.exposureRegister = 0x63;
    periods.longExposureRegister = 0x62;
    periods.exposureLaw = ExposureLaw::Periods;
    periods.periodLines = 2261;
    periods.initialExposureLines = 5000;
    SimCamera cam(periods, nullptr, 0x100, SimOptions{});
    cam.open();
    EXPECT_EQ(cam.registerValue(0x62), 2); // power-on registers agree with the exposure
    EXPECT_EQ(cam.registerValue(0x63), 478);
    send(cam, 0xB7, 1, 0x62);
    send(cam, 0xB7, 739, 0x63);
    EXPECT_EQ(cam.exposureLines(), 3000u);

    SensorProfile halves = periods;
    halves.exposureRegister = 0xA2;
    halves.longExposureRegister = 0xA3;
    halves.exposureLaw = ExposureLaw::HighLow;
    SimCamera other(halves, nullptr, 0x100, SimOptions{});
    other.open();
    send(other, 0xB7, 0, 0xA2);
    send(other, 0xB7, 38000, 0xA3);
    EXPECT_EQ(other.exposureLines(), 38000u);
    send(other, 0xB7, 1, 0xA2);
    EXPECT_EQ(other.exposureLines(), 65536u + 38000u);
}

} // namespace
