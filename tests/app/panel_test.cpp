// The control panel shows what the camera uses and takes what the user types: gamma on every
// colour channel, the camera's own switches after selection and Defaults, the clock the camera
// kept, exposures typed in the user's notation or during the pause after a resolution change,
// the Simulate menu and the toolkit's own texts.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>

#include <cmath>

#include "AppFixture.h"
#include "app/Localisation.h"

namespace {

/// Sets the default locale for one test and puts the previous one back.
struct DefaultLocale {
    explicit DefaultLocale(const QLocale& locale) { QLocale::setDefault(locale); }
    ~DefaultLocale() { QLocale::setDefault(previous); }
    QLocale previous;
};

} // namespace

TEST_F(AppTest, GammaSliderSetsEveryColourChannelAndTheOneOfAMonochromeCamera) {
    start({"VAh500C1", "VDh694M1"});
    const std::string colour = selected();
    const char* c = colour.c_str();
    ASSERT_EQ(GetImageChannles(c), 3);
    app_->sldGamma->setValue(150);
    for (int channel = 0; channel < 3; ++channel) EXPECT_EQ(GetGammaEx(channel, c), 150) << channel;
    EXPECT_EQ(app_->txtGamma->text(), "1.50");

    // Defaults puts every channel back and the slider shows it.
    app_->btnResetAction();
    for (int channel = 0; channel < 3; ++channel) EXPECT_EQ(GetGammaEx(channel, c), 100) << channel;
    EXPECT_EQ(app_->sldGamma->value(), 100);
    app_->sldGamma->setValue(130);

    // A monochrome camera has its one gamma; selecting the colour camera again shows its own.
    app_->pouDev->setCurrentIndex(1);
    app_->devChangeAction();
    const std::string mono = selected();
    ASSERT_EQ(GetImageChannles(mono.c_str()), 1);
    app_->sldGamma->setValue(120);
    EXPECT_EQ(GetGamma(mono.c_str()), 120);
    app_->pouDev->setCurrentIndex(0);
    app_->devChangeAction();
    EXPECT_EQ(app_->sldGamma->value(), 130);
    for (int channel = 0; channel < 3; ++channel) EXPECT_EQ(GetGammaEx(channel, c), 130) << channel;
}

TEST_F(AppTest, PanelShowsTheSelectedCamerasDepthAndSwitchesAfterSelectionAndDefaults) {
    start({"VAh500C1", "VDh694M1"});
    const std::string colour = selected();
    const std::string ccd = app_->pouDev->itemText(1).toStdString();
    // The colour camera gets colour enhancement and defect correction from its boxes.
    app_->chkColor->setChecked(true);
    app_->chkColorAction();
    app_->chkDead->setChecked(true);
    app_->chkDeadCorrectAction();
    bool on = false;
    ASSERT_EQ(GetColorEnhancement(&on, colour.c_str()), 0);
    ASSERT_TRUE(on);

    // The CCD delivers 16 bits at a clock that carries them, set behind the panel's back.
    const char* n = ccd.c_str();
    int deep = -1;
    for (int clock = GetPixelclockCount(n) - 1; clock >= 0 && deep < 0; --clock)
        if (GetRawDepthState(clock, n) == 0) deep = clock;
    ASSERT_GE(deep, 0);
    ASSERT_EQ(SetPixelclock(deep, n), 0);
    ASSERT_EQ(SetRawDepth(16, n), 0);
    app_->pouDev->setCurrentIndex(1);
    app_->devChangeAction();
    ASSERT_EQ(selected(), ccd);
    EXPECT_TRUE(app_->radBit16->isChecked());
    EXPECT_TRUE(app_->radBit->isEnabled());
    // No box keeps the colour camera's ticks.
    for (QCheckBox* box : {app_->chkColor, app_->chkDead, app_->chkFF, app_->chkMono})
        EXPECT_FALSE(box->isChecked()) << box->objectName().toStdString();

    // A fast clock cannot carry 16 bits at full resolution: the camera keeps its clock (4) and
    // the list shows the clock it has.
    ASSERT_EQ(GetResolution(n), 0);
    int refused = -1;
    for (int clock = 0; clock < deep && refused < 0; ++clock) {
        app_->pouClk->setCurrentIndex(clock);
        app_->clkChangeAction();
        EXPECT_EQ(app_->pouClk->currentIndex(), GetPixelclock(n)) << clock;
        if (GetPixelclock(n) != clock) refused = clock;
    }
    EXPECT_GE(refused, 0);

    // Defaults go back to 8 bits and the panel says so.
    app_->btnResetAction();
    EXPECT_EQ(GetRawDepth(n), 8);
    EXPECT_TRUE(app_->radBit8->isChecked());
    EXPECT_EQ(app_->pouClk->currentIndex(), GetPixelclock(n));

    // Back on the colour camera its own switches are shown again.
    app_->pouDev->setCurrentIndex(0);
    app_->devChangeAction();
    EXPECT_TRUE(app_->chkColor->isChecked());
    bool dead = false;
    GetDefectCorrectionState(&dead, colour.c_str());
    EXPECT_EQ(app_->chkDead->isChecked(), dead);
}

TEST_F(AppTest, TypedExposureReadsTheUsersNotationAndRefusesText) {
    const DefaultLocale german(QLocale(QLocale::German, QLocale::Germany));
    start({"VAh200C1"});
    const char* n = app_->camName->c_str();
    const float step = std::max(app_->fstp, 0.01f);
    const auto type = [&](const char* text) {
        app_->txtTime->setText(QString::fromUtf8(text));
        app_->txtTimeAction();
        return GetExposure(n);
    };
    EXPECT_NEAR(type("12,5"), 12.5f, step);
    EXPECT_NEAR(type("20.25"), 20.25f, step);
    EXPECT_NEAR(type(" 7,75 "), 7.75f, step);
    // Not a number: the camera keeps its exposure and the field shows it.
    const float kept = GetExposure(n);
    for (const char* text : {"abc", "", "12,5ms", "1.250,5", "nan", "inf"}) {
        EXPECT_EQ(type(text), kept) << text;
        EXPECT_EQ(app_->txtTime->text(), QString::asprintf("%.3f", kept)) << text;
    }
    // Numbers outside the range are clamped.
    EXPECT_NEAR(type("1e9"), app_->fmax, step);
    EXPECT_NEAR(type("-5"), app_->fmin, step);
}

TEST_F(AppTest, ExposureTypedDuringTheResolutionPauseWaitsForTheNewRange) {
    start({"VAh200C1"});
    const char* n = app_->camName->c_str();
    const float before = GetExposure(n);
    app_->pouRes->setCurrentIndex(2);
    app_->resChangeAction();
    // The slider still has the old range: it is held, and a typed exposure waits.
    EXPECT_FALSE(app_->sldTime->isEnabled());
    app_->txtTime->setText("100");
    app_->txtTimeAction();
    EXPECT_NEAR(GetExposure(n), before, 1.f);
    ASSERT_TRUE(waitFor([&] { return app_->sldTime->isEnabled(); }, 10000));

    float mn = 0, mx = 0, st = 0;
    GetExposureRange(&mn, &mx, &st, n);
    EXPECT_EQ(app_->fmin, mn);
    EXPECT_EQ(app_->fmax, mx);
    const float expected = std::clamp(100.f, mn, mx);
    EXPECT_NEAR(GetExposure(n), expected, std::max(st, 0.01f));
    EXPECT_EQ(app_->txtTime->text(), QString::asprintf("%.3f", expected));
    EXPECT_EQ(app_->sldTime->value(), static_cast<int>((expected - mn) / st));
    EXPECT_EQ(app_->sldTime->minimum(), 1);
}

TEST_F(AppTest, UnplugMenuListsOnlySimulatedCameras) {
    start({"VAh200C1"});
    const QString simulated = app_->pouDev->itemText(0);
    // A camera that arrives from the USB bus is listed for selection but cannot be unplugged
    // from the menu.
    app_->refreshDevices("VAh200C1.2", 0);
    ASSERT_EQ(app_->pouDev->count(), 2);
    emit app_->menuUnplug->aboutToShow();
    QStringList offered;
    for (QAction* action : app_->menuUnplug->actions()) offered << action->text();
    EXPECT_EQ(offered, QStringList{simulated});
    app_->refreshDevices("VAh200C1.2", 3);

    // With no simulated camera left the menu says so.
    ASSERT_EQ(UnplugSimulatedCameraByName(simulated.toUtf8().constData()), 0);
    ASSERT_TRUE(waitFor([&] { return app_->pouDev->count() == 0; }));
    emit app_->menuUnplug->aboutToShow();
    ASSERT_EQ(app_->menuUnplug->actions().size(), 1);
    EXPECT_FALSE(app_->menuUnplug->actions().front()->isEnabled());
}

TEST(Localisation, GermanBringsTheToolkitsOwnTextsBesideOurs) {
    ASSERT_EQ(hx::app::installTranslation(QLocale(QLocale::German, QLocale::Germany)), 2);
    {
        QDialogButtonBox box(QDialogButtonBox::Cancel | QDialogButtonBox::Save);
        EXPECT_EQ(box.button(QDialogButtonBox::Cancel)->text(), "Abbrechen");
        EXPECT_EQ(box.button(QDialogButtonBox::Save)->text(), "Speichern");
    }
    EXPECT_EQ(hx::app::infoText("cover telescope"), QString::fromUtf8("Teleskop abdecken"));
    hx::app::removeTranslation();
    QDialogButtonBox box(QDialogButtonBox::Cancel);
    EXPECT_EQ(box.button(QDialogButtonBox::Cancel)->text(), "Cancel");
    EXPECT_EQ(hx::app::infoText("cover telescope"), "cover telescope");
}
