// The capture window's tools on simulated cameras: histogram, stretch, 100 % view, dropped
// frames, status bar, cooling, long exposures, sequences, shortcuts and remembered settings.
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QSlider>
#include <QSpinBox>
#include <QSplitter>
#include <QTabWidget>
#include <QTest>
#include <QTranslator>

#include "AppFixture.h"
#include "app/ImageView.h"
#include "app/tools/CaptureTools.h"
#include "app/tools/CoolerPanel.h"
#include "app/tools/ExposureControl.h"
#include "app/tools/FocusAid.h"
#include "app/tools/HistogramView.h"
#include "app/tools/SequenceRunner.h"
#include "app/tools/SparkLine.h"
#include "app/tools/StatusBar.h"
#include "ezImage/HalvexFrameInfo.h"
#include "sim/SimCamera.h"

using hx::app::CaptureTools;
using hx::app::FocusMode;

namespace {

/// A camera whose frames are all the same: no noise, no motion.
uint64_t plugSteadyCamera(const char* model) {
    hx::sim::SimOptions options;
    options.noise = false;
    options.motion = false;
    options.scene = hx::sim::SimScene::TestChart;
    return hx::sim::SimBus::instance().plug(
        static_cast<uint16_t>(hx::sim::simProductIdForClass(model)), 0, options);
}

QByteArray fileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

/// Selects only the given snapshot formats through the format boxes.
void chooseFormats(hx::app::AppDelegate& app, int formats) {
    const std::pair<QCheckBox*, int> boxes[] = {
        {app.chkRaw, 1}, {app.chkTif, 2}, {app.chkPng, 4}, {app.chkJpg, 8}, {app.chkBmp, 16}};
    for (auto [box, bit] : boxes)
        if (box->isChecked() != ((formats & bit) != 0)) box->click();
}

} // namespace

class ToolsTest : public AppTest {
protected:
    CaptureTools& tools() { return *app_->tools(); }

    /// Waits for a tools report made after this call.
    bool waitForReport() {
        const int64_t before = tools().reportsShown();
        return waitFor([&] { return tools().reportsShown() > before + 1; });
    }

    /// Takes a series of `count` snapshots named prefix1 … and waits until it is done.
    void series(const QString& prefix, int count) {
        app_->txtfileName->setText(prefix);
        app_->intCnt->setText(QString::number(count));
        app_->btnCaptureAction();
        ASSERT_TRUE(waitFor([&] { return app_->btnSnap->text() == "Start Capture"; }));
    }
};

TEST_F(ToolsTest, HistogramAndCursorShowTheSamplesOfTheFrameTheyCameFrom) {
    start({"VAh500C1"});
    startLive();
    ASSERT_TRUE(waitForReport());
    const auto samples = tools().lastSamples();
    ASSERT_TRUE(samples);
    const hx::app::Histogram& shown = tools().histogram->histogram();
    ASSERT_EQ(shown.channels, samples->channels);
    // The reference: the display byte of every sample of the same frame.
    std::array<std::array<uint32_t, 256>, 3> bins{};
    for (size_t i = 0; i < samples->samples(); ++i)
        ++bins[i % samples->channels][samples->value(i) >> (samples->depth == 16 ? 8 : 0)];
    for (int c = 0; c < samples->channels; ++c) EXPECT_EQ(shown.bins[c], bins[c]) << c;
    EXPECT_TRUE(tools().txtClipped->text().contains(QString::number(shown.clippedHigh)));

    const QPoint p(samples->width / 3, samples->height / 2);
    const size_t first = (size_t(p.y()) * samples->width + p.x()) * samples->channels;
    const QString text = tools().pixelText(p);
    EXPECT_TRUE(text.startsWith(QStringLiteral("x %1  y %2  ").arg(p.x()).arg(p.y())));
    EXPECT_TRUE(text.contains(QString::number(samples->value(first)))) << text.toStdString();
    EXPECT_TRUE(tools().pixelText(QPoint(samples->width, 0)).isEmpty());
    stopLive();
}

TEST_F(ToolsTest, DisplayStretchLeavesSavedFilesByteIdentical) {
    plugSteadyCamera("VAh500C1");
    start();
    ASSERT_TRUE(app_->camName.has_value());
    app_->txtPath->setText(shots());
    chooseFormats(*app_, 2 | 4 | 16); // TIFF, PNG and BMP: pixels only
    startLive();
    series("off", 2);
    tools().pouStretch->setCurrentIndex(static_cast<int>(hx::app::StretchMode::Manual));
    tools().sldBlack->setValue(100);
    tools().sldWhite->setValue(300);
    tools().chkOverlay->setChecked(true);
    ASSERT_TRUE(waitForReport());
    series("on", 2);
    stopLive();
    for (const char* ext : {".bmp", ".png", ".tif"}) {
        SCOPED_TRACE(ext);
        const QByteArray off = fileBytes(shots() + "off2" + ext);
        ASSERT_FALSE(off.isEmpty());
        EXPECT_EQ(off, fileBytes(shots() + "on2" + ext));
    }
    // The live picture did change.
    EXPECT_EQ(app_->pView->image().format(), QImage::Format_RGB888);
}

TEST_F(ToolsTest, OneHundredPercentShowsOneImagePixelPerScreenPixel) {
    start({"VAh500C1"});
    app_->window()->resize(900, 700);
    startLive();
    ASSERT_TRUE(waitFor([&] { return !app_->pView->image().isNull(); }));
    const QSize image = app_->pView->image().size();
    tools().btnOneToOne->click();
    EXPECT_EQ(app_->pView->size(), image);
    app_->btnInAction();
    EXPECT_EQ(app_->pView->size(), image * 2);
    tools().btnFit->click();
    const QSize area = app_->viewArea->maximumViewportSize();
    EXPECT_EQ(app_->pView->size(), image.scaled(area, Qt::KeepAspectRatio));
    EXPECT_EQ(app_->zoomVal, 1);
    stopLive();
}

TEST_F(ToolsTest, DroppedFramesAreCountedWhenTheShowThreadIsSlow) {
    start({"VAh500C1"});
    startLive();
    ASSERT_TRUE(waitFor([&] { return app_->framesShown > 3; }));
    // A movie writer that takes its time slows the show thread on purpose.
    app_->appendMovieFrame = [](const unsigned char*, int, int, int) {
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
    };
    const int64_t before = app_->framesDropped;
    app_->bSaveVideo = true;
    ASSERT_TRUE(waitFor([&] { return app_->framesDropped > before + 5; }));
    app_->bSaveVideo = false;
    stopLive();
    // The count since live view started, in the status bar.
    const QString expected = QStringLiteral("Dropped %1").arg(app_->framesDropped.load());
    EXPECT_TRUE(waitFor([&] { return tools().status->dropped->text() == expected; }))
        << tools().status->dropped->text().toStdString();
}

TEST_F(ToolsTest, StatusBarNamesTheLastFileAndReportsFailedSavesAndLowSpace) {
    start({"VAh500C1"});
    EXPECT_TRUE(tools().status->camera->text().startsWith(QString::fromStdString(selected())));
    app_->txtPath->setText(shots());
    chooseFormats(*app_, 8);
    startLive();
    series("Shot", 2);
    ASSERT_TRUE(waitFor([&] { return tools().status->lastFile->text().contains("Shot2.jpg"); }));
    EXPECT_TRUE(tools().status->problem().isEmpty());

    // A directory that cannot be made: the save fails and the bar says so.
    app_->txtPath->setText("/proc/halvex-no-such-dir/");
    series("Lost", 2);
    ASSERT_TRUE(waitFor([&] { return !tools().status->problem().isEmpty(); }));
    EXPECT_TRUE(tools().status->problem().contains("Lost"));
    stopLive();

    EXPECT_TRUE(tools().status->checkFreeSpace(shots(), int64_t(1) << 60));
    EXPECT_TRUE(tools().status->problem().contains("Disk nearly full"));
    EXPECT_FALSE(tools().status->checkFreeSpace(shots(), 0));
}

TEST_F(ToolsTest, CoolingPageAppearsForCooledCamerasAndFollowsTheCooler) {
    start({"VAh500C1", "VDh694M1:0xA001"});
    auto& bus = hx::sim::SimBus::instance();
    std::shared_ptr<hx::sim::SimCamera> ccd;
    for (uint64_t key : bus.keys())
        if (bus.camera(key)->productId() == hx::sim::simProductIdForClass("VDh694M1"))
            ccd = bus.camera(key);
    ASSERT_TRUE(ccd);
    auto select = [&](const char* model) {
        for (int i = 0; i < app_->pouDev->count(); ++i)
            if (app_->pouDev->itemText(i).startsWith(model)) {
                app_->pouDev->setCurrentIndex(i);
                app_->devChangeAction();
            }
    };
    auto* toolTabs = tools().toolTabs;
    select("VAh500C1");
    EXPECT_EQ(toolTabs->indexOf(tools().cooler), -1);
    select("VDh694M1");
    ASSERT_GE(toolTabs->indexOf(tools().cooler), 0);
    ASSERT_TRUE(waitFor([&] { return tools().cooler->readings() > 0; }));
    QCheckBox* box = tools().cooler->chkCooler;
    EXPECT_EQ(box->isChecked(), ccd->coolerOn());

    // Cooler on: the sensor cools and the panel follows.
    if (!box->isChecked()) box->click();
    EXPECT_TRUE(ccd->coolerOn());
    ccd->advanceClock(600);
    const double cold = ccd->temperatureCelsius();
    ASSERT_LT(cold, 15.0);
    ASSERT_TRUE(waitFor([&] { return std::abs(tools().cooler->lastTemperature() - cold) < 1.0; }));
    EXPECT_TRUE(tools().cooler->txtTemperature->text().endsWith("°C"));

    // Cooler off: it warms up again.
    box->click();
    EXPECT_FALSE(ccd->coolerOn());
    ccd->advanceClock(600);
    const double warm = ccd->temperatureCelsius();
    ASSERT_GT(warm, cold + 5);
    ASSERT_TRUE(waitFor([&] { return std::abs(tools().cooler->lastTemperature() - warm) < 1.0; }));
    EXPECT_GE(tools().cooler->graph->values().size(), 2u);

    select("VAh500C1");
    EXPECT_EQ(toolTabs->indexOf(tools().cooler), -1);
}

TEST_F(ToolsTest, StopEndsALongExposureAtOnce) {
    SetSimulatedPacing(1);
    start({"VDh694M1:0xA001"});
    SetSimulatedPacing(0);
    ASSERT_GE(app_->fmax, 30000.f);
    auto* exposure = tools().exposure;
    exposure->setUnit(hx::app::ExposureControl::Seconds);
    exposure->txtValue->setText("30");
    QTest::keyClick(exposure->txtValue, Qt::Key_Return);
    ASSERT_NEAR(GetExposure(app_->camName->c_str()), 30000.0, 50.0);

    app_->btnLiveAction();
    ASSERT_TRUE(waitFor([&] { return exposure->btnStop->isVisibleTo(exposure); }, 5000));
    EXPECT_TRUE(exposure->progress->isVisibleTo(exposure));
    exposure->btnStop->click();
    // Far less than the 30 s exposure: the read was ended, not waited out.
    ASSERT_TRUE(waitFor([&] { return !app_->liveRunning(); }, 8000));
    ASSERT_TRUE(waitFor([&] { return app_->btnLive->text() == "Live"; }, 2000));
    EXPECT_TRUE(waitFor([&] { return !exposure->btnStop->isVisibleTo(exposure); }, 2000));
}

TEST_F(ToolsTest, TypedExposureRoundTripsInEveryUnit) {
    start({"VDh694M1"});
    auto* exposure = tools().exposure;
    const char* n = app_->camName->c_str();
    const struct {
        hx::app::ExposureControl::Unit unit;
        const char* typed;
        double ms;
    } cases[] = {{hx::app::ExposureControl::Seconds, "2.5", 2500},
                 {hx::app::ExposureControl::Milliseconds, "120", 120},
                 {hx::app::ExposureControl::Microseconds, "80000", 80}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed);
        exposure->setUnit(c.unit);
        exposure->txtValue->setText(c.typed);
        QTest::keyClick(exposure->txtValue, Qt::Key_Return);
        const double used = GetExposure(n);
        EXPECT_NEAR(used, c.ms, c.ms * 0.01);
        bool ok = false;
        const double shown = QLocale().toDouble(exposure->txtValue->text(), &ok);
        ASSERT_TRUE(ok);
        EXPECT_NEAR(hx::app::ExposureControl::toMilliseconds(shown, c.unit), used, 1e-3);
    }
    // The slider's ends are the camera's range.
    exposure->sldLog->setValue(0);
    EXPECT_NEAR(GetExposure(n), app_->fmin, app_->fstp + 1e-3);
    exposure->sldLog->setValue(hx::app::ExposureControl::kSliderSteps);
    EXPECT_NEAR(GetExposure(n), app_->fmax, app_->fmax * 1e-3);
    // Text that is no number puts the camera's value back.
    const QString before = exposure->txtValue->text();
    exposure->txtValue->setText("fast");
    QTest::keyClick(exposure->txtValue, Qt::Key_Return);
    EXPECT_EQ(exposure->txtValue->text(), before);
}

TEST_F(ToolsTest, SequenceOfFiveFramesAtOneSecondKeepsItsScheduleTypeAndNames) {
    start({"VAh500C1"});
    app_->txtPath->setText(shots());
    chooseFormats(*app_, 1 | 8); // RAW carries the frame information
    auto* seq = tools().sequence;
    seq->spnCount->setValue(5);
    seq->spnInterval->setValue(1.0);
    seq->pouType->setCurrentIndex(HALVEX_FRAME_DARK);
    const auto began = std::chrono::steady_clock::now();
    const int64_t beganUs = std::chrono::duration_cast<std::chrono::microseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
    seq->btnStart->click();
    EXPECT_TRUE(app_->liveRunning());
    ASSERT_TRUE(waitFor([&] { return !seq->running(); }, 30000));
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    EXPECT_GE(took, 4.0); // frame 5 is not due before start + 4 s
    EXPECT_EQ(seq->framesSaved(), 5);
    // Live view was started for the sequence and stops with it.
    ASSERT_TRUE(waitFor([&] { return !app_->liveRunning(); }));
    EXPECT_EQ(GetFrameType(app_->camName->c_str()), HALVEX_FRAME_LIGHT);

    int64_t last = 0;
    for (int k = 1; k <= 5; ++k) {
        SCOPED_TRACE(k);
        EXPECT_TRUE(QFileInfo::exists(shots() + QStringLiteral("Halvex%1.jpg").arg(k)));
        const QByteArray raw = fileBytes(shots() + QStringLiteral("Halvex%1.raw").arg(k));
        ASSERT_GT(raw.size(), 512);
        HalvexFrameInfo info{};
        ASSERT_EQ(GetFrameInfo(reinterpret_cast<const unsigned char*>(raw.constData()), &info), 0);
        EXPECT_EQ(info.frameType, HALVEX_FRAME_DARK);
        // Frame k's exposure began no earlier than its moment, start + (k - 1) s.
        EXPECT_GE(info.exposureStartUs, beganUs + (k - 1) * 1000000);
        EXPECT_GT(info.exposureStartUs, last);
        last = info.exposureStartUs;
    }

    // A second run never replaces the first one's files.
    seq->spnInterval->setValue(0);
    seq->spnCount->setValue(2);
    seq->btnStart->click();
    ASSERT_TRUE(waitFor([&] { return !seq->running(); }, 30000));
    EXPECT_TRUE(QFileInfo::exists(shots() + "Halvex1-2.jpg"));
    EXPECT_TRUE(QFileInfo::exists(shots() + "Halvex2-2.jpg"));
}

TEST_F(ToolsTest, FocusAidMeasuresTheChosenBox) {
    start({"VAh500C1"});
    startLive();
    tools().focus->setMode(FocusMode::Contrast);
    ASSERT_TRUE(waitFor([&] { return tools().focus->graph->values().size() >= 2; }));
    EXPECT_FALSE(tools().focus->txtFigure->text().isEmpty());
    EXPECT_FALSE(app_->pView->focusBox().isNull());
    // A box picked on the image is the one measured.
    app_->pView->onBoxPicked(QRect(10, 12, 40, 30));
    ASSERT_TRUE(waitFor([&] { return app_->pView->focusBox() == QRect(10, 12, 40, 30); }));
    stopLive();
}

TEST_F(ToolsTest, ShortcutsTriggerTheirActions) {
    start({"VAh500C1"});
    QMainWindow* window = app_->window();
    window->show();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window, 5000));
    QWidget* target = app_->viewArea;
    QTest::keyClick(target, Qt::Key_L);
    ASSERT_TRUE(waitFor([&] { return app_->framesShown > 0; }));
    EXPECT_EQ(app_->btnLive->text(), "Stop");
    QTest::keyClick(target, Qt::Key_1);
    EXPECT_TRUE(tools().oneToOne());
    QTest::keyClick(target, Qt::Key_Plus);
    EXPECT_EQ(app_->zoomVal, 2);
    QTest::keyClick(target, Qt::Key_Minus);
    EXPECT_EQ(app_->zoomVal, 1);
    QTest::keyClick(target, Qt::Key_F);
    EXPECT_FALSE(tools().oneToOne());
    app_->intCnt->setText("0");
    QTest::keyClick(target, Qt::Key_Space);
    EXPECT_EQ(app_->btnSnap->text(), "Stop Capture");
    ASSERT_TRUE(waitFor([&] { return app_->btnSnap->text() == "Start Capture"; }));
    QTest::keyClick(target, Qt::Key_L);
    ASSERT_TRUE(waitFor([&] { return !app_->liveRunning(); }));
    // Typing in a text field types; it does not start live view.
    QTest::keyClick(app_->txtfileName, Qt::Key_L);
    EXPECT_TRUE(app_->txtfileName->text().endsWith("l"));
    EXPECT_FALSE(app_->liveRunning());
    QTest::keyClick(target, Qt::Key_Q, Qt::ControlModifier);
    EXPECT_FALSE(window->isVisible());
}

TEST_F(ToolsTest, GeometrySplittersPagesAndToolSettingsSurviveARestart) {
    start({"VAh500C1"});
    app_->window()->show();
    app_->window()->resize(1010, 730);
    app_->tabView->setCurrentIndex(2);
    tools().toolTabs->setCurrentIndex(1);
    tools().chkLog->setChecked(true);
    tools().chkOverlay->setChecked(true);
    tools().pouStretch->setCurrentIndex(2);
    tools().sldBlack->setValue(120);
    tools().sldWhite->setValue(640);
    tools().chkReticle->setChecked(true);
    tools().focus->setMode(FocusMode::Stars);
    tools().exposure->setUnit(hx::app::ExposureControl::Seconds);
    tools().sequence->spnCount->setValue(42);
    tools().sequence->spnInterval->setValue(7.5);
    tools().sequence->pouType->setCurrentIndex(2);
    QCoreApplication::processEvents();
    const QSize size = app_->window()->size();
    app_->applicationShouldTerminate();
    app_.reset();

    start({"VAh500C1"});
    app_->window()->show();
    QCoreApplication::processEvents();
    EXPECT_EQ(app_->window()->size(), size);
    EXPECT_EQ(app_->tabView->currentIndex(), 2);
    EXPECT_EQ(tools().toolTabs->currentIndex(), 1);
    EXPECT_TRUE(tools().chkLog->isChecked());
    EXPECT_TRUE(tools().histogram->logarithmic());
    EXPECT_TRUE(tools().chkOverlay->isChecked());
    EXPECT_EQ(tools().pouStretch->currentIndex(), 2);
    EXPECT_EQ(tools().sldBlack->value(), 120);
    EXPECT_EQ(tools().sldWhite->value(), 640);
    EXPECT_TRUE(tools().chkReticle->isChecked());
    EXPECT_TRUE(app_->pView->reticle());
    EXPECT_EQ(tools().focus->mode(), FocusMode::Stars);
    EXPECT_EQ(tools().exposure->unit(), hx::app::ExposureControl::Seconds);
    EXPECT_EQ(tools().sequence->spnCount->value(), 42);
    EXPECT_DOUBLE_EQ(tools().sequence->spnInterval->value(), 7.5);
    EXPECT_EQ(tools().sequence->pouType->currentIndex(), 2);
    EXPECT_EQ(tools().display.settings().stretch, hx::app::StretchMode::Manual);
}

extern const unsigned char kHalvexGermanCatalogue[];
extern const unsigned int kHalvexGermanCatalogueSize;

TEST_F(ToolsTest, ToolCaptionsComeFromTheTranslationTable) {
    QTranslator german;
    ASSERT_TRUE(german.load(kHalvexGermanCatalogue, static_cast<int>(kHalvexGermanCatalogueSize)));
    QCoreApplication::installTranslator(&german);
    start({"VAh500C1", "VDh694M1:0xA001"});
    QCoreApplication::removeTranslator(&german);
    QStringList pages;
    for (int i = 0; i < tools().toolTabs->count(); ++i) pages << tools().toolTabs->tabText(i);
    EXPECT_EQ(pages, QStringList({"Anzeige", "Serie"}));
    EXPECT_EQ(tools().btnFit->text(), "Einpassen");
    EXPECT_EQ(tools().sequence->btnStart->text(), "Serie starten");
    EXPECT_EQ(tools().exposure->btnStop->text(), "Belichtung abbrechen");
    EXPECT_EQ(tools().chkOverlay->text(), "Abgeschnittene markieren");
}
