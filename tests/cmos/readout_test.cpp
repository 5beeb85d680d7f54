// Frame read-outs of the CMOS cameras: exact transfer lengths, end markers and snapshot marks
// at their offsets, defect collection, the black-frame check, bounded writes, GPIO lines.
#include <algorithm>
#include <string>

#include "cmos_test_util.h"

namespace {

constexpr size_t kGuard = 4096;

/// A frame buffer of exactly `size` bytes followed by a guard area that must stay untouched.
struct GuardedBuffer {
    explicit GuardedBuffer(int size)
        : bytes(static_cast<size_t>(size) + kGuard, 0xA5), size(size) {}
    unsigned char* data() { return bytes.data(); }
    bool guardIntact() const {
        return std::all_of(bytes.begin() + size, bytes.end(),
                           [](unsigned char b) { return b == 0xA5; });
    }
    std::vector<unsigned char> bytes;
    int size;
};

struct MarkerCase {
    uint16_t productId;
    uint16_t bcd;
    bool hasMarker; ///< the frame is checked for an end marker
};

TEST(CmosReadout, SnapshotMarkAndEndMarkerSitWhereEachReadOutLooks) {
    const MarkerCase cases[] = {
        {0xA811, 0, true}, {0xA008, 0, true},      {0xA00B, 0, true},      {0xAC11, 0, true},
        {0xA004, 0, true}, {0xA004, 0xB002, true}, {0xA003, 0xB002, true}, {0xF007, 0, false},
        {0xA00A, 0, true}, {0xA005, 0, true},      {0xA009, 0, true},
    };
    for (const MarkerCase& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << std::hex << "product 0x" << c.productId << " bcd 0x" << c.bcd);
        CmosCamera m = openCmos(c.productId, c.bcd);
        ASSERT_TRUE(m.camera);
        m.camera->_sensor_resume();
        std::vector<unsigned char> buffer(static_cast<size_t>(m.camera->_body()));
        const int size = static_cast<int>(buffer.size());
        EXPECT_EQ(m.camera->_raw_data(buffer.data(), size), 0);
        m.device->pressSnapshotButton();
        EXPECT_EQ(m.camera->_raw_data(buffer.data(), size), 1);
        EXPECT_EQ(m.camera->_raw_data(buffer.data(), size), 0);
        if (c.hasMarker) {
            m.device->omitNextMarker();
            EXPECT_EQ(m.camera->_raw_data(buffer.data(), size), -3);
            EXPECT_EQ(m.camera->_raw_data(buffer.data(), size), 0);
        }
    }
}

TEST(CmosReadout, VAh200C1TakesExactlyTPlusThreeBytes) {
    CmosCamera m = openCmos(0xA811);
    ASSERT_TRUE(m.camera);
    m.camera->_sensor_resume();
    const int head = m.camera->_head();
    const int t = 1920000;
    // The smallest buffer that holds the head and the whole frame with its trailer.
    GuardedBuffer buffer(head + t + 3);
    EXPECT_EQ(m.camera->_raw_data(buffer.data(), buffer.size - 1), -2);
    EXPECT_EQ(m.camera->_raw_data(buffer.data(), buffer.size), 0);
    EXPECT_EQ(record(buffer.bytes)->width, 1600);
    // The end marker is cleared once checked.
    EXPECT_EQ(buffer.bytes[head + t], 0);

    m.device->shortenNextTransfer(1); // T + 2
    EXPECT_EQ(m.camera->_raw_data(buffer.data(), buffer.size), -3);
    EXPECT_EQ(m.camera->_raw_data(buffer.data(), buffer.size), 0);
    // A device that delivers far more than the frame never writes past the buffer; the rest
    // of that transfer is no frame.
    m.device->lengthenNextTransfer(3000);
    const int longRead = m.camera->_raw_data(buffer.data(), buffer.size);
    EXPECT_TRUE(longRead == 0 || longRead == -3) << longRead;
    EXPECT_TRUE(buffer.guardIntact());
    EXPECT_EQ(m.camera->_raw_data(buffer.data(), buffer.size), -3);
    EXPECT_TRUE(buffer.guardIntact());
    // With room to spare, the surplus shows as a wrong length.
    std::vector<unsigned char> roomy(static_cast<size_t>(m.camera->_body()));
    m.device->lengthenNextTransfer(1); // T + 4
    EXPECT_EQ(m.camera->_raw_data(roomy.data(), static_cast<int>(roomy.size())), -3);
}

TEST(CmosReadout, DefectCollectionResultAndCorrection) {
    CmosCamera m = openCmos(0xA811);
    ASSERT_TRUE(m.camera);
    m.camera->_sensor_resume();
    std::vector<unsigned char> buffer(static_cast<size_t>(m.camera->_body()));
    const int size = static_cast<int>(buffer.size());
    m.camera->_calc_defect_correction();
    m.camera->_set_dc_state(true);
    const int first = m.camera->_raw_data(buffer.data(), size);
    EXPECT_TRUE(first == 5 || first == -5) << first;
    // The request is served once; later frames are corrected and read as usual.
    EXPECT_EQ(m.camera->_raw_data(buffer.data(), size), 0);
}

TEST(CmosReadout, VSh035M1ByteCountsAtBothDepths) {
    CmosCamera m = openCmos(0xA00A);
    ASSERT_TRUE(m.camera);
    m.camera->_sensor_resume();
    std::vector<unsigned char> buffer(static_cast<size_t>(m.camera->_body()));
    const int size = static_cast<int>(buffer.size());
    ASSERT_EQ(m.camera->_raw_data(buffer.data(), size), 0);
    EXPECT_EQ(m.device->currentTransferSize(), 1332227u);
    m.device->shortenNextTransfer(1);
    EXPECT_EQ(m.camera->_raw_data(buffer.data(), size), -3);

    ASSERT_EQ(m.camera->_set_pixsclock(2), 0); // 16 bits need the slow clock
    ASSERT_EQ(m.camera->_set_raw_depth(16), 0);
    ASSERT_EQ(m.camera->_raw_data(buffer.data(), size), 0);
    EXPECT_EQ(m.device->currentTransferSize(), 2664448u + 512u + 3u);
    EXPECT_EQ(record(buffer)->depth, 16);
    m.device->shortenNextTransfer(1);
    EXPECT_EQ(m.camera->_raw_data(buffer.data(), size), -3);
    // The binned mode carries no extra head.
    ASSERT_EQ(m.camera->_set_resolution(1, true), 0);
    ASSERT_EQ(m.camera->_raw_data(buffer.data(), size), 0);
    EXPECT_EQ(m.device->currentTransferSize(), 364032u * 2 + 3u);
}

TEST(CmosReadout, VSh036C1RejectsABlackFrameOnlyAboveEightyLines) {
    CmosCamera m = openCmos(0xA009, 0, darkScene());
    ASSERT_TRUE(m.camera);
    m.camera->_sensor_resume();
    ASSERT_EQ(m.camera->_set_blacklevel(100), 0);
    std::vector<unsigned char> buffer(static_cast<size_t>(m.camera->_body()));
    const int size = static_cast<int>(buffer.size());
    // Clock 40000 kHz, 2232 clocks per line.
    const auto lines = [](int n) { return (static_cast<float>(n) + 0.5f) * 2232.0f / 40000.0f; };
    ASSERT_EQ(m.camera->_set_exposure(lines(50)), 0);
    EXPECT_EQ(m.camera->_raw_data(buffer.data(), size), 0);
    EXPECT_EQ(record(buffer)->width, 2048);
    ASSERT_EQ(m.camera->_set_exposure(lines(100)), 0);
    EXPECT_EQ(m.camera->_raw_data(buffer.data(), size), -3);
    // A collection on a rejected frame reports its own result.
    m.camera->_calc_defect_correction();
    const int collected = m.camera->_raw_data(buffer.data(), size);
    EXPECT_TRUE(collected == 5 || collected == -5) << collected;
}

TEST(CmosReadout, VS200C1NeedsItsStampAndNoStrayHead) {
    CmosCamera m = openCmos(0xC00C);
    ASSERT_TRUE(m.camera);
    m.camera->_sensor_resume();
    std::vector<unsigned char> buffer(static_cast<size_t>(m.camera->_body()));
    const int size = static_cast<int>(buffer.size());
    EXPECT_EQ(m.camera->_raw_data(buffer.data(), size), 0);
    m.device->omitNextMarker();
    EXPECT_EQ(m.camera->_raw_data(buffer.data(), size), -3);
    m.device->strayHeadAtBlock(3);
    EXPECT_EQ(m.camera->_raw_data(buffer.data(), size), -3);
    EXPECT_EQ(m.camera->_raw_data(buffer.data(), size), 0);
    EXPECT_EQ(record(buffer)->width, 1920);
    EXPECT_EQ(record(buffer)->height, 1180);
}

/// The 2-megapixel line-counted camera sends 16-bit frames as 12 bits in two bytes (high eight
/// bits, then the low four in the low nibble), stamped like its 8-bit frames.
TEST(CmosReadout, VS200C1TwelveBitLayoutOnTheWire) {
    auto device = hx::sim::makeSimCamera(0xC00C, 0);
    ASSERT_EQ(device->open(), 0);
    ASSERT_EQ(device->claimInterface(), 0);
    for (uint8_t request : {uint8_t{0xB9}, uint8_t{0xBA}}) {
        EZURB r{0x40, request, static_cast<uint16_t>(request == 0xB9 ? 5 : 0), 0, 0, nullptr, 0};
        ASSERT_EQ(device->controlRequest(r), 0);
    }
    const size_t size = 1920u * 1180u * 2u + 512u;
    EXPECT_EQ(device->currentTransferSize(), size - size % 512);
    std::vector<unsigned char> frame(size);
    int received = 0;
    ASSERT_EQ(device->readPipe(1, frame.data(), static_cast<int>(size), &received), 0);
    ASSERT_EQ(received, static_cast<int>(size - size % 512));
    EXPECT_EQ(std::string(frame.begin(), frame.begin() + 4), "XTDT");
    bool packed = true, lit = false;
    for (size_t i = 64; i < 1920u * 1180u * 2u; i += 2) {
        packed = packed && (frame[i + 1] & 0xF0) == 0;
        lit = lit || frame[i] != 0;
    }
    EXPECT_TRUE(packed);
    EXPECT_TRUE(lit);
}

TEST(CmosReadout, VSo035C1HeadMarkerUnlessGenerationA001) {
    for (uint16_t bcd : {uint16_t{0}, uint16_t{0xA001}}) {
        SCOPED_TRACE(bcd);
        CmosCamera m = openCmos(0xC005, bcd);
        ASSERT_TRUE(m.camera);
        m.camera->_sensor_resume();
        std::vector<unsigned char> buffer(static_cast<size_t>(m.camera->_body()));
        const int size = static_cast<int>(buffer.size());
        m.device->omitNextMarker();
        EXPECT_EQ(m.camera->_raw_data(buffer.data(), size), bcd == 0xA001 ? 0 : -3);
        m.device->strayHeadAtBlock(5);
        EXPECT_EQ(m.camera->_raw_data(buffer.data(), size), -3);
    }
}

TEST(CmosGpio, VAh500C1LinesOneToThree) {
    CmosCamera m = openCmos(0xA004);
    ASSERT_TRUE(m.camera);
    m.device->clearRequestLog();
    EXPECT_EQ(m.camera->_set_gpio(2, true), 0);
    auto log = m.device->requestLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].bmRequestType, 0x40);
    EXPECT_EQ(log[0].bRequest, 0xB8);
    EXPECT_EQ(log[0].wValue, 0x0161);
    EXPECT_EQ(log[0].wIndex, 0);
    EXPECT_TRUE(m.device->gpio(2));
    bool on = false;
    EXPECT_EQ(m.camera->_gpio(2, &on), 0);
    EXPECT_TRUE(on);
    EXPECT_EQ(m.camera->_set_gpio(2, false), 0);
    EXPECT_EQ(m.device->requestLog().back().wValue, 0x0061);
    EXPECT_EQ(m.camera->_gpio(2, &on), 0);
    EXPECT_FALSE(on);

    m.device->clearRequestLog();
    EXPECT_EQ(m.camera->_set_gpio(4, true), -2);
    EXPECT_EQ(m.camera->_set_gpio(0, true), -2);
    EXPECT_TRUE(m.device->requestLog().empty());
    EXPECT_EQ(m.camera->_gpio(4, &on), -2);
    EXPECT_EQ(m.camera->_gpio(1, nullptr), -2);
    // Other models have no GPIO lines.
    CmosCamera other = openCmos(0xA811);
    EXPECT_EQ(other.camera->_set_gpio(1, true), -4);
}

} // namespace
