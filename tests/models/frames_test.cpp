// Every model, opened on a simulated camera, reads frames in each of its modes at both depths
// into a buffer of exactly the size it asks for, without reaching outside it.
#include <vector>

#include "models_test_util.h"

namespace {

void readEveryMode(CamBase& camera, std::vector<unsigned char>& buffer) {
    for (int r = 0; r < camera._resolution_count(); ++r) {
        SCOPED_TRACE(testing::Message() << "resolution " << r << " depth " << camera._raw_depth());
        camera._set_resolution(r, true);
        const int result = camera._raw_data(buffer.data(), static_cast<int>(buffer.size()));
        EXPECT_TRUE(result == 0 || result == 1 || result == 5 || result == -5 || result == -3)
            << result;
        if (result == 0 || result == 1) {
            const auto* image = reinterpret_cast<const _ezImage*>(buffer.data());
            EXPECT_GE(image->data, buffer.data());
            EXPECT_LE(image->tail, buffer.data() + buffer.size());
        }
    }
}

TEST(ModelFrames, EveryModelReadsEveryModeWithinItsBuffer) {
    for (unsigned short id : kModelProductIds) {
        for (uint16_t bcd : modelGenerations(id)) {
            SCOPED_TRACE(testing::Message() << std::hex << "product 0x" << id << " bcd 0x" << bcd);
            auto m = openModel(id, bcd);
            CamBase& camera = *m.camera;
            std::vector<unsigned char> buffer(static_cast<size_t>(camera._body()));
            camera._sensor_resume();
            EXPECT_EQ(camera._raw_data(buffer.data(), 16), -2);
            readEveryMode(camera, buffer);
            // 16-bit samples at the slowest clock, where every model that offers them can.
            camera._set_pixsclock(camera._pixsclock_count() - 1);
            if (camera._set_raw_depth(16) == 0) readEveryMode(camera, buffer);
            camera._sensor_suspend();
        }
    }
}

} // namespace
