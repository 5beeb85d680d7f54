// Start-up, device list and hot-plug, the settings file, and the control panel.
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QScrollArea>
#include <QSlider>
#include <QTabWidget>
#include <QTranslator>

#include <algorithm>

#include "AppFixture.h"
#include "app/ImageView.h"
#include "app/PropertyList.h"
#include "tests/FileSizeLimit.h"

namespace {

void writeSettings(const QString& path, const QByteArray& xml) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(xml);
}

QByteArray plistOf(const QStringList& strings) {
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><array>";
    for (const QString& s : strings) xml += "<string>" + s.toUtf8() + "</string>";
    return xml + "</array></plist>\n";
}

} // namespace

TEST_F(AppTest, TwoCamerasAtStartAreListedInOrderAndOnlyTheFirstIsSelected) {
    start({"VAh500C1", "VDh694M1"});
    ASSERT_EQ(app_->pouDev->count(), 2);
    EXPECT_EQ(app_->cntDevConnect, 2);
    EXPECT_EQ(selected(), app_->pouDev->itemText(0).toStdString());
    EXPECT_NE(app_->pouDev->itemText(0), app_->pouDev->itemText(1));
    // The second arrival is announced, and the first camera's panel is filled.
    EXPECT_EQ(app_->txtDev->text(), app_->pouDev->itemText(1) + " connect");
    EXPECT_TRUE(app_->btnLive->isEnabled());
    EXPECT_EQ(app_->pouRes->count(), GetResolutionCount(app_->camName->c_str()));
    EXPECT_EQ(app_->pouRes->count(), app_->pouSav->count());
    EXPECT_GT(app_->pouClk->count(), 0);
}

TEST_F(AppTest, HotPlugAddsAndRemovesWithoutTouchingTheSelection) {
    start({"VAh500C1"});
    const std::string first = selected();
    ASSERT_FALSE(first.empty());
    const uint64_t key = plug("VAh131C1");
    const QString second = app_->pouDev->itemText(1);
    EXPECT_EQ(selected(), first);
    EXPECT_EQ(app_->txtDev->text(), second + " connect");

    ASSERT_EQ(UnplugSimulatedCamera(key), 0);
    ASSERT_TRUE(waitFor([&] { return app_->pouDev->count() == 1; }));
    EXPECT_EQ(selected(), first);
    EXPECT_EQ(app_->txtDev->text(), second + " disconnect");
    EXPECT_EQ(app_->cntDevConnect, 1);
}

TEST_F(AppTest, UnplugOfTheSelectedCameraSelectsTheNextOrClearsKeepingThePanel) {
    start({"VAh500C1", "VAh131C1"});
    const QString first = app_->pouDev->itemText(0), second = app_->pouDev->itemText(1);
    ASSERT_EQ(UnplugSimulatedCameraByName(first.toUtf8().constData()), 0);
    ASSERT_TRUE(waitFor([&] { return app_->pouDev->count() == 1; }));
    EXPECT_EQ(selected(), second.toStdString());

    const int resolutions = app_->pouRes->count();
    ASSERT_EQ(UnplugSimulatedCameraByName(second.toUtf8().constData()), 0);
    ASSERT_TRUE(waitFor([&] { return app_->pouDev->count() == 0; }));
    EXPECT_FALSE(app_->camName.has_value());
    EXPECT_EQ(app_->pouRes->count(), resolutions);
    EXPECT_EQ(app_->txtDev->text(), second + " disconnect");

    // A camera arriving now is selected again.
    plug("VAh500C1");
    EXPECT_EQ(selected(), app_->pouDev->itemText(0).toStdString());
}

TEST_F(AppTest, SettingsFileWithOtherThanTwoEntriesIsIgnoredAndThePrefixIsAlwaysHalvex) {
    const QString path = docs() + "/PhotosPath.txt";
    const struct {
        QByteArray xml;
        QString expected;
    } cases[] = {
        {plistOf({"/data/one/"}), desktop() + "/"},
        {plistOf({"/a/", "B", "/c/"}), desktop() + "/"},
        {"this is not a property list", desktop() + "/"},
        {"<plist><dict><string>/x/</string><string>y</string></dict></plist>", desktop() + "/"},
        {plistOf({"/data/two/", "Other"}), "/data/two/"},
        {plistOf({"/data/three", "Other"}), "/data/three/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.xml.toStdString());
        writeSettings(path, c.xml);
        start();
        EXPECT_EQ(app_->txtPath->text(), c.expected);
        EXPECT_EQ(app_->txtfileName->text(), "Halvex");
        app_.reset();
    }
}

TEST_F(AppTest, ShutdownWritesDirectoryAndPrefixAtomically) {
    start();
    app_->chooseDirectory("/data/pictures");
    EXPECT_EQ(app_->txtPath->text(), "/data/pictures/");
    app_->chooseDirectory("file://localhost/srv/images");
    EXPECT_EQ(app_->txtPath->text(), "/srv/images/");
    app_->txtfileName->setText("Moon <&> \"night\"");
    app_->applicationShouldTerminate();
    const auto saved = hx::app::readPropertyListArray(app_->settingsFilePath());
    ASSERT_TRUE(saved.has_value());
    EXPECT_EQ(*saved, QStringList({"/srv/images/", "Moon <&> \"night\""}));
    // No temporary file is left beside it.
    EXPECT_EQ(QDir(docs()).entryList({"PhotosPath.txt*"}, QDir::Files).size(), 1);
}

TEST_F(AppTest, ASettingsFileThatCannotBeWrittenKeepsTheEarlierOne) {
    const QString path = docs() + "/PhotosPath.txt";
    ASSERT_TRUE(hx::app::writePropertyListArray(path, {"/first/", "Before"}));
    QFile before(path);
    ASSERT_TRUE(before.open(QIODevice::ReadOnly));
    const QByteArray bytes = before.readAll();
    before.close();
    {
        hxtest::FileSizeLimit limit(16);
        ASSERT_TRUE(limit.ok());
        EXPECT_FALSE(hx::app::writePropertyListArray(path, {"/second/", "After"}));
    }
    QFile after(path);
    ASSERT_TRUE(after.open(QIODevice::ReadOnly));
    EXPECT_EQ(after.readAll(), bytes);
    EXPECT_EQ(QDir(docs()).entryList({"PhotosPath.txt*"}, QDir::Files | QDir::Hidden).size(), 1);
    // A directory that is not there: refused.
    EXPECT_FALSE(hx::app::writePropertyListArray(docs() + "/missing/PhotosPath.txt", {"/x/"}));
}

TEST_F(AppTest, FormatBoxesShowTheCamerasBitsAndChangeThem) {
    start({"VAh500C1"});
    int formats = -1;
    ASSERT_EQ(GetImageFormat(&formats, app_->camName->c_str()), 0);
    EXPECT_EQ(app_->snapType, formats);
    EXPECT_NE(formats, 31);
    EXPECT_EQ(app_->chkRaw->isChecked(), (formats & 1) != 0);
    EXPECT_EQ(app_->chkJpg->isChecked(), (formats & 8) != 0);
    EXPECT_EQ(app_->chkBmp->isChecked(), (formats & 16) != 0);

    app_->chkPng->setChecked(!app_->chkPng->isChecked());
    app_->chkPngAction();
    app_->chkJpg->setChecked(!app_->chkJpg->isChecked());
    app_->chkJpgAction();
    ASSERT_EQ(GetImageFormat(&formats, app_->camName->c_str()), 0);
    EXPECT_EQ(formats, app_->snapType);
    EXPECT_EQ((formats & 4) != 0, app_->chkPng->isChecked());
    EXPECT_EQ((formats & 8) != 0, app_->chkJpg->isChecked());
}

TEST_F(AppTest, CountIsClampedWhenCaptureStarts) {
    start({"VAh500C1"});
    app_->intCnt->setText("2500");
    app_->btnCaptureAction();
    EXPECT_EQ(app_->intCnt->text(), "2000");
    EXPECT_EQ(app_->saveImageCnt, 2000);
    EXPECT_EQ(app_->btnSnap->text(), "Stop Capture");
    app_->btnCaptureAction();
    EXPECT_EQ(app_->btnSnap->text(), "Start Capture");
    EXPECT_FALSE(app_->bSaveImage);
    app_->intCnt->setText("-5");
    app_->txtIntAction();
    EXPECT_EQ(app_->intCnt->text(), "1");
    app_->intCnt->setText("0");
    app_->txtIntAction();
    EXPECT_EQ(app_->intCnt->text(), "0");
}

TEST_F(AppTest, ZoomDoublesUpToEightAndRestores) {
    start();
    app_->window()->resize(1000, 700);
    app_->window()->show();
    QCoreApplication::processEvents();
    const QSize base = app_->pView->size();
    ASSERT_FALSE(base.isEmpty());
    app_->btnOutAction();
    EXPECT_EQ(app_->zoomVal, 1);
    EXPECT_EQ(app_->pView->size(), base);
    for (int z : {2, 4, 8, 8}) {
        app_->btnInAction();
        EXPECT_EQ(app_->zoomVal, z);
        EXPECT_EQ(app_->pView->size(), base * z);
    }
    app_->btnOutAction();
    EXPECT_EQ(app_->pView->size(), base * 4);
    app_->btnRestoreAction();
    EXPECT_EQ(app_->zoomVal, 1);
    EXPECT_EQ(app_->pView->size(), base);
}

TEST_F(AppTest, ColourPageLeavesForMonochromeAndReturnsAsPageOne) {
    start({"VAh500C1", "VDh694M1"});
    ASSERT_EQ(app_->tabView->count(), 3);
    EXPECT_EQ(app_->tabView->indexOf(app_->tabItemColr), 1);
    auto select = [&](int index) {
        app_->pouDev->setCurrentIndex(index);
        app_->devChangeAction();
    };
    int mono = -1;
    for (int i = 0; i < 2; ++i) {
        bool on = false;
        if (GetMonochrome(&on, app_->pouDev->itemText(i).toUtf8().constData()) == -4) mono = i;
    }
    ASSERT_GE(mono, 0);
    select(mono);
    EXPECT_EQ(app_->tabView->count(), 2);
    EXPECT_EQ(app_->tabView->indexOf(app_->tabItemColr), -1);
    select(1 - mono);
    EXPECT_EQ(app_->tabView->count(), 3);
    EXPECT_EQ(app_->tabView->indexOf(app_->tabItemColr), 1);
}

TEST_F(AppTest, TypedExposureIsClampedToTheRange) {
    start({"VAh500C1"});
    const char* name = app_->camName->c_str();
    EXPECT_NEAR(GetExposure(name), 33.0f, app_->fstp);
    app_->txtTime->setText("1e9");
    app_->txtTimeAction();
    EXPECT_EQ(app_->txtTime->text(), QString::asprintf("%.3f", app_->fmax));
    EXPECT_NEAR(GetExposure(name), app_->fmax, app_->fstp);
    EXPECT_EQ(app_->sldTime->value(), app_->sldTime->maximum());
    app_->txtTime->setText("-4");
    app_->txtTimeAction();
    EXPECT_NEAR(GetExposure(name), app_->fmin, app_->fstp);
    EXPECT_EQ(app_->sldTime->value(), 0);
}

TEST_F(AppTest, SliderAtTheCamerasValueSendsNothingToTheCamera) {
    start();
    const uint64_t key = plug("VAh500C1");
    auto camera = hx::sim::SimBus::instance().camera(key);
    ASSERT_TRUE(camera);
    const char* name = app_->camName->c_str();
    ASSERT_EQ(app_->sldGain->value(), GetAnaloggain(name));
    camera->clearRequestLog();
    app_->sldGainAction();
    app_->sldBklvlAction();
    EXPECT_TRUE(camera->requestLog().empty());

    // A different value does reach the camera and its text.
    const int other = app_->sldGain->value() == app_->sldGain->maximum()
                          ? app_->sldGain->minimum()
                          : app_->sldGain->value() + 1;
    app_->sldGain->setValue(other);
    EXPECT_FALSE(camera->requestLog().empty());
    EXPECT_EQ(GetAnaloggain(name), other);
    EXPECT_EQ(app_->txtGain->text(), QString::number(other));
}

TEST_F(AppTest, ChannelGainsAndGammaAreShownInTheirScales) {
    start({"VAh500C1"});
    const char* name = app_->camName->c_str();
    app_->sldRed->setValue(96);
    EXPECT_EQ(app_->txtRed->text(), "1.50");
    int r = 0, g = 0, b = 0;
    GetChannelGain(&r, &g, &b, name);
    EXPECT_EQ(r, 96);
    const int gamma = std::min(220, app_->sldGamma->maximum());
    app_->sldGamma->setValue(gamma);
    EXPECT_EQ(app_->txtGamma->text(), QString::asprintf("%.2f", gamma / 100.0));
    EXPECT_EQ(GetGamma(name), gamma);
    app_->btnResetAction();
    EXPECT_EQ(app_->txtGamma->text(), QString::asprintf("%.1f", GetGamma(name) / 100.0));
}

extern const unsigned char kHalvexGermanCatalogue[];
extern const unsigned int kHalvexGermanCatalogueSize;

TEST_F(AppTest, GermanCatalogueTranslatesTheInfoPlistKeysAndLeavesUnknownKeys) {
    QTranslator german;
    ASSERT_TRUE(german.load(kHalvexGermanCatalogue, static_cast<int>(kHalvexGermanCatalogueSize)));
    QCoreApplication::installTranslator(&german);
    EXPECT_EQ(hx::app::infoText("cover telescope"), QString::fromUtf8("Teleskop abdecken"));
    EXPECT_EQ(hx::app::infoText("WB Succeed"), QString::fromUtf8("Weißabgleich gelungen"));
    EXPECT_EQ(hx::app::infoText("no such key"), "no such key");

    // The controller's state tests follow the translated titles.
    start({"VAh500C1"});
    EXPECT_EQ(app_->btnSnap->text(), "Aufnahme starten");
    app_->btnCaptureAction();
    EXPECT_EQ(app_->btnSnap->text(), "Aufnahme beenden");
    app_->btnCaptureAction();
    app_->btnLiveAction();
    EXPECT_EQ(app_->btnLive->text(), "Stopp");
    EXPECT_TRUE(waitFor([&] { return app_->framesShown > 0; }));
    app_->btnLiveAction();
    EXPECT_TRUE(waitFor([&] { return !app_->liveRunning(); }));
    EXPECT_EQ(app_->btnLive->text(), "Live");
    app_.reset();
    QCoreApplication::removeTranslator(&german);
}
