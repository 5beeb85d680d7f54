// The model table: every product id makes its class with the construction state of its row.
#include <typeindex>
#include <typeinfo>

#include "camera/CamDerive/VA.h"
#include "camera/CamDerive/VD.h"
#include "camera/CamDerive/VS.h"
#include "models_test_util.h"

namespace {

struct Row {
    unsigned short productId;
    std::type_index type;
    const char* display; ///< the name before the instance character ("qrdt": no name yet)
    int channels, bayer;
    int resolutions, clocks, clockIndex;
    int gain, gainMin, gainMax;
    bool blackLevel;
    int receiveSize;
};

#define T(c) std::type_index(typeid(c))
const Row kRows[] = {
    {0xA003, T(VAh1KC1), "VAh1KC1.", 3, 4, 3, 5, 0, 110, 1, 310, false, 10071040},
    {0xA004, T(VAh500C1), "VAh500C1.", 3, 3, 5, 3, 0, 7, 1, 174, false, 10246250},
    {0xA00D, T(VAh500C1), "VAh500C1.", 3, 3, 5, 3, 0, 7, 1, 174, false, 10246250},
    {0xA005, T(VSh035C1), "VSh035C1.", 3, 2, 3, 3, 0, 1, 1, 119, true, 2667008},
    {0xA006, T(VAh500M1), "VAh500M1.", 1, 0, 5, 3, 0, 30, 1, 174, false, 10248192},
    {0xA007, T(VAh300C1), "VAh300C1.", 3, 3, 5, 3, 0, 7, 1, 159, false, 3213824},
    {0xA008, T(VAh131C1), "VAo131C1.", 3, 3, 3, 2, 0, 30, 1, 80, false, 1354240},
    {0xA009, T(VSh036C1), "VSh036C1.", 3, 2, 3, 4, 0, 30, 8, 140, true, 6388224},
    {0xA00A, T(VSh035M1), "VSh035M1.", 1, 0, 4, 3, 0, 30, 1, 119, true, 2667008},
    {0xA00B, T(VAh131M1), "VAh131M1.", 1, 0, 1, 3, 0, 30, 10, 71, false, 1354240},
    {0xA811, T(VAh200C1), "VAh200C1.", 3, 3, 3, 2, 0, 30, 1, 80, false, 1922560},
    {0xAC11, T(V3h5MC1), "qrdt", 3, 4, 5, 3, 1, 1, 1, 174, false, 10085376},
    {0xC003, T(VAo1KC1), "VAo1KC1.", 3, 4, 5, 5, 0, 110, 1, 310, false, 10071040},
    {0xC004, T(VAo500C1), "VAo500C1.", 3, 3, 5, 3, 0, 7, 1, 174, false, 10246250},
    {0xC005, T(VSo035C1), "VSo035C1.", 3, 2, 3, 3, 0, 1, 1, 119, true, 2667008},
    {0xC006, T(VAo500M1), "VAo500M1.", 1, 0, 5, 3, 0, 30, 1, 174, false, 10248192},
    {0xC007, T(VAo300C1), "VAo300C1.", 3, 3, 5, 3, 0, 7, 1, 159, false, 3213824},
    {0xC008, T(VAo131C1), "VAo131C1.", 3, 3, 3, 2, 0, 30, 1, 80, false, 1354240},
    {0xC009, T(VSo036C1), "VSo036C1.", 3, 2, 3, 4, 0, 30, 8, 140, true, 6388224},
    {0xC00A, T(VSo035M1), "VSo035M1.", 1, 0, 4, 3, 0, 30, 1, 119, true, 2667008},
    {0xC00B, T(VAo131M1), "VAo131M1.", 1, 0, 1, 3, 0, 30, 10, 71, false, 1354240},
    {0xC00C, T(VS200C1), "VS200C1.", 3, 2, 1, 4, 2, 40, 1, 80, true, 4534784},
    {0xC811, T(VAo200C1), "VAo200C1.", 3, 3, 3, 2, 0, 30, 1, 80, false, 1922560},
    {0xD001, T(VDo282C1), "VDo282C1.", 3, 4, 4, 3, 0, 297, 188, 1023, true, 10275328},
    {0xD004, T(VDo205M1), "VDo205M1.", 1, 0, 3, 5, 0, 297, 170, 1023, true, 2847232},
    {0xD006, T(VDo285M1), "VDo285M1.", 1, 0, 3, 5, 0, 85, 1, 1023, true, 2847232},
    {0xE001, T(VDh282C1), "VDh282C1.", 3, 4, 4, 3, 0, 297, 188, 1023, true, 10275328},
    {0xE004, T(VDh205M1), "VDh205M1.", 1, 0, 3, 5, 0, 297, 170, 1023, true, 2847232},
    {0xE006, T(VDh285M1), "VDh285M1.", 1, 0, 3, 5, 0, 85, 1, 1023, true, 2847232},
    {0xE008, T(VDh205C1), "VDh205C1.", 3, 4, 1, 2, 0, 297, 170, 1023, true, 2847232},
    {0xE009, T(VDh285C1), "VDh285C1.", 3, 4, 2, 2, 0, 85, 1, 1023, true, 2847232},
    {0xE00A, T(VDh674M1), "VDh285M1.", 1, 0, 3, 5, 0, 85, 1, 1023, true, 2847232},
    {0xE00B, T(VDh687M1), "VDh285M1.", 1, 0, 3, 5, 0, 85, 1, 1023, true, 2847232},
    {0xE00C, T(VDh694M1), "VDh285M1.", 1, 0, 3, 5, 0, 85, 1, 1023, true, 2847232},
    {0xE80A, T(VDh674C1), "VDh674C1.", 3, 3, 3, 2, 0, 80, 1, 1023, true, 5808640},
    {0xE80C, T(VDh694C1), "VDh285M1.", 1, 0, 3, 5, 0, 85, 1, 1023, true, 2847232},
    {0xF007, T(VAg300C1), "VAo300C1.", 3, 3, 5, 3, 0, 7, 1, 159, false, 3213824},
    {0xF008, T(VAg131C1), "VAo131C1.", 3, 3, 3, 2, 0, 30, 1, 80, false, 1354240},
    {0xF00B, T(VAg131M1), "VAo131M1.", 1, 0, 1, 3, 0, 30, 10, 71, false, 1354240},
};
#undef T

TEST(ModelFactory, EveryProductIdMakesItsModel) {
    for (const Row& row : kRows) {
        SCOPED_TRACE(testing::Message() << std::hex << "product 0x" << row.productId);
        auto camera = _create_device(row.productId, kHalvexVendorId);
        ASSERT_NE(camera, nullptr);
        EXPECT_EQ(std::type_index(typeid(*camera)), row.type);
        EXPECT_EQ(std::string(camera->_name()).substr(0, std::string(row.display).size()),
                  row.display);
        EXPECT_EQ(camera->_channles(), row.channels);
        EXPECT_EQ(camera->_bayer(), row.bayer);
        EXPECT_EQ(camera->_resolution_count(), row.resolutions);
        EXPECT_EQ(camera->_resolution(), 0);
        EXPECT_EQ(camera->_pixsclock_count(), row.clocks);
        EXPECT_EQ(camera->_pixsclock(), row.clockIndex);
        EXPECT_EQ(camera->_analog_gain(), row.gain);
        int lo = -1, hi = -1, step = -1;
        EXPECT_EQ(camera->_analog_gain_range(&lo, &hi, &step), 0);
        EXPECT_EQ(lo, row.gainMin);
        EXPECT_EQ(hi, row.gainMax);
        EXPECT_EQ(step, 1);
        EXPECT_EQ(camera->_blacklevel_range(&lo, &hi, &step) == 0, row.blackLevel);
        EXPECT_EQ(camera->_body(), row.receiveSize);
        EXPECT_EQ(camera->_head(), 512);
        EXPECT_EQ(camera->_raw_depth(), 8);
        EXPECT_EQ(camera->_state(), 0);
        // Every table is complete: each item has its text, and a colour model its settings.
        for (int i = 0; i < row.resolutions; ++i)
            EXPECT_NE(camera->_resolution_string_at_index(i), nullptr);
        for (int i = 0; i < row.clocks; ++i)
            EXPECT_NE(camera->_pixsclock_string_at_index(i), nullptr);
        EXPECT_EQ(camera->_resolution_string_at_index(row.resolutions), nullptr);
        EXPECT_EQ(camera->_saturation() >= 0, row.channels == 3 || row.productId == 0xE80C);
    }
}

TEST(ModelFactory, OtherVendorsAndUnknownIdsMakeNothing) {
    EXPECT_EQ(_create_device(0xC00D, 0x0547), nullptr);
    EXPECT_EQ(_create_device(0xC811, 0x0548), nullptr);
    EXPECT_EQ(_create_device(0x0000, 0x0547), nullptr);
    EXPECT_EQ(_create_device(0xD002, 0x0547), nullptr); // supported by the bus, made by no model
    EXPECT_NE(_create_device(0xC811, 0x0547), nullptr);
}

TEST(ModelFactory, TablesAndTimingAtConstruction) {
    // An item's image is 8 smaller than the sensor window its text describes.
    auto k1 = _create_device(0xC003, kHalvexVendorId);
    EXPECT_EQ(k1->_resolution_width_at_index(0), 3656);
    EXPECT_STREQ(k1->_resolution_string_at_index(0), "3664X2732");
    EXPECT_EQ(k1->_saturation(), 85);
    int r = 0, g = 0, b = 0;
    EXPECT_EQ(k1->_digital_gain(&r, &g, &b), 0);
    EXPECT_EQ(r + g + b, 3 * 64);

    // VAh1KC1 replaces only the resolution table of its base.
    auto h1k = _create_device(0xA003, kHalvexVendorId);
    EXPECT_STREQ(h1k->_resolution_string_at_index(2), "908X672");
    EXPECT_EQ(h1k->_resolution_height_at_index(1), 1362);

    // Exposure at construction: 300 lines at the first item's line length and clock.
    auto o200 = _create_device(0xC811, kHalvexVendorId);
    EXPECT_FLOAT_EQ(o200->_exposure(), 300.0f * 1948 / 48000);
    // VSo036C1 keeps its 300 lines through the retiming at construction.
    auto o036 = _create_device(0xC009, kHalvexVendorId);
    EXPECT_FLOAT_EQ(o036->_exposure(), 300.0f * 2232 / 40000);
    // VS200C1 starts at clock item 2 ("High", 40000 kHz) with 100 lines.
    auto vs200 = _create_device(0xC00C, kHalvexVendorId);
    EXPECT_STREQ(vs200->_pixsclock_string_at_index(vs200->_pixsclock()), "High");
    EXPECT_FLOAT_EQ(vs200->_exposure(), 100.0f * 2200 / 40000);

    // Monochrome models offer no colour settings.
    auto m131 = _create_device(0xC00B, kHalvexVendorId);
    EXPECT_EQ(m131->_saturation(), -4);
    EXPECT_EQ(m131->_digital_gain(&r, &g, &b), -4);
}

} // namespace
