// The region of interest of the CMOS cameras that move it into the camera for their largest
// item: switched on, delivered as a window, switched off again; elsewhere cropped on the host.
#include "cmos_test_util.h"

namespace {

struct WindowCase {
    uint16_t productId;
    uint16_t bcd;
    bool dropsSwitchFrame; ///< the frame that switches the window on is not delivered
};

TEST(CmosRegion, MovesIntoTheCameraAndBack) {
    const WindowCase cases[] = {
        {0xA008, 0, false}, {0xA007, 0, false},     {0xF008, 0, true},      {0xF007, 0, true},
        {0xAC11, 0, false}, {0xA004, 0, false},     {0xA004, 0xB002, true}, {0xA006, 0xB002, true},
        {0xA003, 0, false}, {0xA003, 0xB002, true},
    };
    for (const WindowCase& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << std::hex << "product 0x" << c.productId << " bcd 0x" << c.bcd);
        CmosCamera m = openCmos(c.productId, c.bcd);
        ASSERT_TRUE(m.camera);
        m.camera->_sensor_resume();
        std::vector<unsigned char> buffer(static_cast<size_t>(m.camera->_body()));
        const int size = static_cast<int>(buffer.size());
        ASSERT_EQ(m.camera->_set_resolution(0, true), 0);
        int fullW = 0, fullH = 0;
        m.camera->_raw_size(&fullW, &fullH);
        ASSERT_EQ(m.camera->_raw_data(buffer.data(), size), 0);

        ASSERT_EQ(m.camera->_set_roi(100, 60, 400, 300), 0);
        ASSERT_EQ(m.camera->_set_roi_state(true), 0);
        EXPECT_EQ(m.camera->_raw_data(buffer.data(), size), c.dropsSwitchFrame ? -3 : 0);
        if (!c.dropsSwitchFrame) {
            EXPECT_EQ(record(buffer)->width, fullW);
        }
        EXPECT_EQ(m.device->roiOrigin(), std::make_pair(uint16_t{100}, uint16_t{60}));
        EXPECT_EQ(m.device->roiSize(), std::make_pair(uint16_t{408}, uint16_t{308}));
        bool on = true;
        m.camera->_roi_state(&on);
        EXPECT_FALSE(on); // the host no longer crops

        // The camera now sends the window only.
        ASSERT_EQ(m.camera->_raw_data(buffer.data(), size), 0);
        EXPECT_EQ(record(buffer)->width, 408);
        EXPECT_EQ(record(buffer)->height, 308);
        ASSERT_EQ(m.camera->_raw_data(buffer.data(), size), 0);
        EXPECT_EQ(record(buffer)->width, 408);

        // Off: the first item again, in full, from the next frame on.
        ASSERT_EQ(m.camera->_set_roi_state(false), 0);
        ASSERT_EQ(m.camera->_raw_data(buffer.data(), size), 0);
        EXPECT_EQ(record(buffer)->width, fullW);
        EXPECT_EQ(record(buffer)->height, fullH);
    }
}

TEST(CmosRegion, OtherItemsAreCroppedOnTheHost) {
    CmosCamera m = openCmos(0xA008);
    ASSERT_TRUE(m.camera);
    m.camera->_sensor_resume();
    std::vector<unsigned char> buffer(static_cast<size_t>(m.camera->_body()));
    const int size = static_cast<int>(buffer.size());
    ASSERT_EQ(m.camera->_set_resolution(1, true), 0); // 640 wide
    ASSERT_EQ(m.camera->_set_roi(16, 8, 200, 100), 0);
    ASSERT_EQ(m.camera->_set_roi_state(true), 0);
    m.device->clearRequestLog();
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(m.camera->_raw_data(buffer.data(), size), 0);
        EXPECT_EQ(record(buffer)->width, 208);
        EXPECT_EQ(record(buffer)->height, 108);
    }
    for (const auto& r : m.device->requestLog()) EXPECT_NE(r.bRequest, 0xBD);
    bool on = false;
    m.camera->_roi_state(&on);
    EXPECT_TRUE(on);
}

} // namespace
