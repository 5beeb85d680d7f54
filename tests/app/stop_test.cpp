// Stopping live view, switching cameras and quitting end the frame read in progress instead of
// waiting out a long exposure. The cameras run at their real pace with a one-minute exposure;
// the bound of ten seconds only proves that nothing waited for the exposure to end.
#include <QComboBox>
#include <QPushButton>

#include <chrono>

#include "AppFixture.h"

namespace {

constexpr float kMinuteMs = 60000.f;
constexpr int kBoundMs = 10000;

/// Simulated cameras plugged meanwhile deliver frames at their exposure's pace.
struct RealPace {
    RealPace() { SetSimulatedPacing(1); }
    ~RealPace() { SetSimulatedPacing(0); }
};

} // namespace

class StopTest : public AppTest {
protected:
    /// Two cooled CCDs, the first in live view with a one-minute exposure under way.
    void startLongExposure() {
        start({"VDh694M1", "VDh694M1"});
        ASSERT_EQ(app_->pouDev->count(), 2);
        ASSERT_EQ(SetExposure(kMinuteMs, app_->camName->c_str()), 0);
        ASSERT_GE(GetExposure(app_->camName->c_str()), kMinuteMs - 1);
        app_->btnLiveAction();
        ASSERT_TRUE(app_->liveRunning());
        // Give the grab thread time to be inside its read (a cancel before it also counts).
        waitFor([] { return false; }, 300);
    }

    RealPace pace_;
};

TEST_F(StopTest, StopAndSwitchDuringAMinuteExposureEndAtOnce) {
    startLongExposure();
    const std::string first = selected();
    app_->btnLiveAction();
    ASSERT_TRUE(
        waitFor([&] { return !app_->liveRunning() && app_->btnLive->text() == "Live"; }, kBoundMs));

    // Live view again, stopped again: the second stop ends its read as well.
    app_->btnLiveAction();
    ASSERT_TRUE(app_->liveRunning());
    waitFor([] { return false; }, 300);
    app_->btnLiveAction();
    ASSERT_TRUE(waitFor([&] { return !app_->liveRunning(); }, kBoundMs));

    // Switching to the other camera and back starts nothing that waits either.
    app_->pouDev->setCurrentIndex(1);
    app_->devChangeAction();
    EXPECT_NE(selected(), first);
    ASSERT_EQ(SetExposure(kMinuteMs, app_->camName->c_str()), 0);
    app_->btnLiveAction();
    waitFor([] { return false; }, 300);
    app_->btnLiveAction();
    ASSERT_TRUE(waitFor([&] { return !app_->liveRunning(); }, kBoundMs));
    app_->pouDev->setCurrentIndex(0);
    app_->devChangeAction();
    EXPECT_EQ(selected(), first);
}

TEST_F(StopTest, QuitDuringAMinuteExposureEndsAtOnce) {
    startLongExposure();
    const auto begin = std::chrono::steady_clock::now();
    app_->applicationShouldTerminate();
    const auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_LT(took, std::chrono::milliseconds(kBoundMs));
    EXPECT_FALSE(app_->liveRunning());
}
