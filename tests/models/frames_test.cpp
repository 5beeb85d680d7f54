// Every model, opened on a simulated camera, reads frames in each of its modes at both depths
// into a buffer of exactly the size it asks for, without reaching outside it.
#include <vector>

#include "models_test_util.h"

namespace {

const unsigned short kProductIds[] = {
    0xA003, 0xA004, 0xA00D, 0xA005, 0xA006, 0xA007, 0xA008, 0xA009, 0xA00A, 0xA00B,
    0xA811, 0xAC11, 0xC003, 0xC004, 0xC005, 0xC006, 0xC007, 0xC008, 0xC009, 0xC00A,
    0xC00B, 0xC00C, 0xC811, 0xD001, 0xD004, 0xD006, 0xE001, 0xE004, 0xE006, 0xE008,
    0xE009, 0xE00A, 0xE00B, 0xE00C, 0xE80A, 0xE80C, 0xF007, 0xF008, 0xF00B};

constexpr uint16_t kNone = 0xFFFF;

/// The hardware generation that makes a model choose other tables at claim, if any.
uint16_t alternativeGeneration(unsigned short productId) {
    switch (productId) {
    case 0xA008:
    case 0xE00A:
    case 0xE00B:
    case 0xE00C:
    case 0xE80C:
        return 0xA001;
    case 0xC004:
        return 0xA100;
    default:
        return kNone;
    }
}

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
    for (unsigned short id : kProductIds) {
        for (uint16_t bcd : {uint16_t{0}, alternativeGeneration(id)}) {
            if (bcd == kNone) continue;
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
