// Live view under load: settings changed from the GUI thread, cameras plugged and unplugged,
// snapshot series and restarts while the grab and show threads run.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QSlider>

#include "AppFixture.h"

TEST_F(AppTest, LiveViewSurvivesSettingsHotPlugAndSnapshots) {
    start({"VAh500C1"});
    app_->txtPath->setText(shots());
    app_->intCnt->setText("2");
    startLive();
    uint64_t extra = 0;
    for (int round = 0; round < 6; ++round) {
        app_->sldGain->setValue(round % 2 ? app_->sldGain->minimum() : app_->sldGain->maximum());
        app_->sldTime->setValue(round % 3);
        app_->sldGamma->setValue(app_->sldGamma->minimum() + round);
        app_->chkHF->setChecked(round % 2);
        app_->chkHFlipAction();
        app_->sldRed->setValue(60 + round);
        if (round % 2 == 0) {
            extra = plug("VAh131C1");
        } else {
            ASSERT_EQ(UnplugSimulatedCamera(extra), 0);
            ASSERT_TRUE(waitFor([&] { return app_->pouDev->count() == 1; }));
        }
        app_->btnCaptureAction();
        // Frames keep coming, however slowly a loaded machine shows them: each one shown
        // renews the wait, and a show thread that stops fails it.
        const int64_t target = app_->framesShown + 3;
        ASSERT_TRUE(waitFor([&] { return app_->framesShown >= target; }, 20000,
                            [&] { return app_->framesShown.load(); }))
            << "load " << loadFactor();
        app_->btnWBAction();
        if (round == 3) {
            stopLive();
            app_->framesShown = 0;
            startLive();
        }
    }
    // Shut down with live view running: both threads end before the cameras go.
    app_->applicationShouldTerminate();
    EXPECT_FALSE(app_->liveRunning());
    EXPECT_FALSE(QDir(shots()).entryList(QDir::Files).isEmpty());
}
