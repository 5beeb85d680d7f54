// Live view on a simulated camera: snapshots, dark frames, frame rate, unplugging.
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpression>

#include "AppFixture.h"
#include "app/ImageView.h"

namespace {

QStringList snapshotFiles(const QString& dir) {
    return QDir(dir).entryList(QDir::Files, QDir::Name);
}

/// True when every pixel byte of an 8-bit image is 0 (row padding excluded).
bool allZero(const QImage& image) {
    if (image.isNull()) return false;
    const int bytes = image.width() * (image.depth() / 8);
    for (int y = 0; y < image.height(); ++y) {
        const uchar* row = image.constScanLine(y);
        for (int x = 0; x < bytes; ++x)
            if (row[x] != 0) return false;
    }
    return true;
}

} // namespace

TEST_F(AppTest, SingleSnapshotIsNamedWithDateAndTimeAndEndsTheCapture) {
    start({"VAh500C1"});
    app_->txtPath->setText(shots());
    app_->intCnt->setText("1");
    startLive();
    app_->btnCaptureAction();
    EXPECT_EQ(app_->btnSnap->text(), "Stop Capture");
    ASSERT_TRUE(waitFor([&] { return app_->btnSnap->text() == "Start Capture"; }));
    EXPECT_FALSE(app_->bSaveImage);
    stopLive();
    const QStringList files = snapshotFiles(shots());
    ASSERT_EQ(files.size(), 1) << files.join(' ').toStdString();
    EXPECT_TRUE(QRegularExpression("^Halvex\\d{10}\\.jpg$").match(files[0]).hasMatch())
        << files[0].toStdString();
}

TEST_F(AppTest, CountZeroEndsTheCaptureWithoutWriting) {
    start({"VAh500C1"});
    app_->txtPath->setText(shots());
    app_->intCnt->setText("0");
    startLive();
    app_->btnCaptureAction();
    ASSERT_TRUE(waitFor([&] { return app_->btnSnap->text() == "Start Capture"; }));
    stopLive();
    EXPECT_TRUE(snapshotFiles(shots()).isEmpty());
}

TEST_F(AppTest, DarkCalibrationOfTenFramesKeepsItsLengthWhenTheListChanges) {
    start({"VAh500C1"});
    app_->popDark->setCurrentIndex(1);
    app_->btnDarkAction();
    EXPECT_EQ(alerts_, QStringList({"cover telescope"}));
    EXPECT_EQ(app_->darkFrameCnt, 10);
    EXPECT_TRUE(app_->bCalcDark);
    // A longer length chosen during the calibration changes nothing.
    app_->popDark->setCurrentIndex(3);
    startLive();
    ASSERT_TRUE(waitFor([&] { return !app_->bCalcDark; }));
    stopLive();
    int sum = 0;
    for (int i = 0; i < 10; ++i) {
        EXPECT_GT(app_->darkAry[i], 0) << i;
        sum += app_->darkAry[i];
    }
    for (int i = 10; i < 20; ++i) EXPECT_EQ(app_->darkAry[i], 0) << i;
    EXPECT_EQ(app_->darkRedus, sum / 10);
    EXPECT_EQ(app_->darkFrameCnt, 0);
}

TEST_F(AppTest, DarkSubtractionNeverGoesBelowZero) {
    start({"VAh500C1"});
    startLive();
    // A level larger than every sample: each byte must end at 0, none may wrap around.
    app_->darkAry[0] = 1;
    app_->darkRedus = 255;
    app_->chkDark->setChecked(true);
    const int64_t after = app_->framesShown + 2;
    ASSERT_TRUE(waitFor([&] { return app_->framesShown > after; }));
    ASSERT_TRUE(waitFor([&] { return allZero(app_->pView->image()); }));
    // Without a calibration level no subtraction happens.
    app_->darkAry[0] = 0;
    ASSERT_TRUE(waitFor([&] {
        const QImage image = app_->pView->image();
        return !image.isNull() && !allZero(image);
    }));
    stopLive();
}

TEST_F(AppTest, FrameRateIsShownAfterTheTenthFrame) {
    start({"VAh500C1"});
    EXPECT_TRUE(app_->txtFPS->text().isEmpty());
    startLive();
    ASSERT_TRUE(waitFor([&] { return !app_->txtFPS->text().isEmpty(); }));
    EXPECT_GE(app_->framesShown, 10);
    EXPECT_TRUE(
        QRegularExpression("^(\\d+\\.\\d\\d|inf) fps$").match(app_->txtFPS->text()).hasMatch())
        << app_->txtFPS->text().toStdString();
    EXPECT_GT(app_->dustm, 0);
    stopLive();
}

TEST_F(AppTest, UnplugDuringLiveStopsThenSelectsTheNextOrClears) {
    start({"VAh500C1", "VAh131C1"});
    const QString first = app_->pouDev->itemText(0), second = app_->pouDev->itemText(1);
    startLive();
    EXPECT_FALSE(app_->pouDev->isEnabled());
    EXPECT_EQ(app_->btnLive->text(), "Stop");
    ASSERT_EQ(UnplugSimulatedCameraByName(first.toUtf8().constData()), 0);
    ASSERT_TRUE(
        waitFor([&] { return !app_->liveRunning() && selected() == second.toStdString(); }));
    EXPECT_EQ(app_->btnLive->text(), "Live");
    EXPECT_TRUE(app_->pouDev->isEnabled());
    EXPECT_EQ(app_->cntRunDevLeft, 0);

    // Live view on the remaining camera, then it goes too: nothing stays selected.
    app_->framesShown = 0;
    startLive();
    ASSERT_EQ(UnplugSimulatedCameraByName(second.toUtf8().constData()), 0);
    ASSERT_TRUE(waitFor([&] { return !app_->liveRunning() && !app_->camName; }));
    EXPECT_EQ(app_->btnLive->text(), "Live");
    EXPECT_EQ(app_->pouDev->count(), 0);
}

TEST_F(AppTest, WhiteBalanceAndFlatFieldWorkOnTheNewestFrame) {
    start({"VAh500C1"});
    // No frame yet: the balance fails cleanly.
    app_->btnWBAction();
    EXPECT_EQ(app_->txtWB->text(), "WB Fail");
    EXPECT_TRUE(app_->btnWB->isEnabled());
    startLive();
    // Whether a scene allows a balance depends on its content; either way the panel shows
    // the camera's gains afterwards.
    app_->btnWBAction();
    EXPECT_TRUE(app_->txtWB->text() == "WB Succeed" || app_->txtWB->text() == "WB Fail");
    EXPECT_TRUE(app_->btnWB->isEnabled());
    int r = 0, g = 0, b = 0;
    GetChannelGain(&r, &g, &b, app_->camName->c_str());
    EXPECT_EQ(app_->sldRed->value(), r);
    EXPECT_EQ(app_->txtBlue->text(), QString::asprintf("%.2f", b / 64.0));
    app_->chkFF->setChecked(true);
    app_->chkFFAction();
    app_->btnFFAction();
    bool on = false;
    GetFlatfieldState(&on, app_->camName->c_str());
    EXPECT_TRUE(on);
    const int64_t after = app_->framesShown + 2;
    EXPECT_TRUE(waitFor([&] { return app_->framesShown > after; }));
    stopLive();
}
