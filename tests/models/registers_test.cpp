// Register maps: exposure, long exposure and black level reach the registers of each sensor.
#include <set>

#include "models_test_util.h"

namespace {

std::set<uint16_t> registersWritten(const hx::sim::SimCamera& device) {
    std::set<uint16_t> written;
    for (const auto& request : device.requestLog())
        if (request.bRequest == 0xB7) written.insert(request.wIndex);
    return written;
}

TEST(ModelRegisters, ExposureAndBlackLevelRegisters) {
    struct Case {
        uint16_t productId;
        std::set<uint16_t> exposure; ///< registers a long exposure writes
        int blackRegister;           ///< -1: black level not offered
    };
    const Case cases[] = {
        {0xC811, {0x09}, -1},         {0xC003, {0x3012}, -1},       {0xC006, {0x09}, -1},
        {0xC00A, {0x03, 0x04}, 0x02}, {0xC005, {0x03, 0x04}, 0x02}, {0xC00C, {0xA2, 0xA3}, 0xA1},
        {0xC009, {0x03}, 0x02},       {0xD004, {0x63, 0x62}, 0x02}, {0xD006, {0x63, 0x62}, 0x02},
        {0xE80A, {0x63, 0x62}, 0x02}, {0xD001, {0x63, 0x62}, 0x02},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "product 0x" << c.productId);
        auto m = openModel(c.productId, 0);
        m.device->clearRequestLog();
        m.camera->_set_exposure(100000.0f); // beyond one period: the longest exposure offered
        EXPECT_EQ(registersWritten(*m.device), c.exposure);

        m.device->clearRequestLog();
        const int result = m.camera->_set_blacklevel(10);
        if (c.blackRegister < 0) {
            EXPECT_EQ(result, -4);
            EXPECT_TRUE(registersWritten(*m.device).empty());
        } else {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(registersWritten(*m.device), std::set<uint16_t>{uint16_t(c.blackRegister)});
        }
    }
}

} // namespace
