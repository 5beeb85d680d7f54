// Parameter sets through the library: what a camera had comes back when the library starts
// again.
#include <string>

#include "ApiFixture.h"
#include "camera/CamApi.h"

TEST_F(ApiTest, ClockShiftedAtFullResolutionComesBackWithResolutionAndExposure) {
    // The fastest clock of this camera is moved down the table at full resolution, so it must
    // be restored after the binned resolution it was saved with.
    start();
    std::string name = plug(0xE00C, 0xA001);
    const char* n = name.c_str();
    ASSERT_EQ(SetResolution(1, n), 0);
    ASSERT_EQ(SetPixelclock(0, n), 0);
    ASSERT_EQ(SetExposure(50.0f, n), 0);
    const float exposure = GetExposure(n);
    ASSERT_NEAR(exposure, 50.0f, 0.2f);
    ExitDevice();

    start();
    ASSERT_EQ(DeviceCount(), 1);
    const std::string again = DeviceName(0);
    EXPECT_EQ(GetResolution(again.c_str()), 1);
    EXPECT_EQ(GetPixelclock(again.c_str()), 0);
    EXPECT_EQ(GetExposure(again.c_str()), exposure);
}
