// The control panel: each action reads its control and calls the camera; refreshUI fills every
// control from the selected camera.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QTabWidget>
#include <QTimer>

#include <QLocale>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <syslog.h>

#include "app/AppDelegate.h"
#include "app/tools/CaptureTools.h"
#include "camera/CamApi.h"

namespace hx::app {

namespace {

/// Sets a slider without running its action: programmatic updates never call the camera.
void setSlider(QSlider* slider, int minimum, int maximum, int value) {
    QSignalBlocker block(slider);
    slider->setRange(minimum, maximum);
    slider->setValue(value);
}

void setSliderValue(QSlider* slider, int value) {
    QSignalBlocker block(slider);
    slider->setValue(value);
}

QString gainText(int gain) {
    return QString::asprintf("%.2f", gain * 0.015625);
}

/// Pause after a resolution or pixel-clock change before the exposure range is read again;
/// the camera needs it to settle. A timer, so the window stays responsive.
constexpr int kSettleMs = 1000;

} // namespace

// ---- refresh ---------------------------------------------------------------------------------

void AppDelegate::refreshUI() {
    if (!camName) {
        tools_->cameraChanged();
        return;
    }
    const char* n = camName->c_str();
    // A pause of the camera shown before is over: its typed exposure is not for this one.
    endExposureHold();
    heldExposure_.reset();
    ResumeDevice(n);
    if (!initGrabContext()) return;

    pouRes->setEnabled(true);
    pouRes->clear();
    pouSav->clear();
    const int resolutions = GetResolutionCount(n);
    for (int i = 0; i < resolutions; ++i) {
        const char* item = GetResItemName(i, n);
        pouRes->addItem(QString::fromUtf8(item ? item : ""));
        pouSav->addItem(QString::fromUtf8(item ? item : ""));
    }
    pouRes->setCurrentIndex(GetResolution(n));
    pouSav->setCurrentIndex(GetResolution(n));

    pouClk->setEnabled(true);
    pouClk->clear();
    const int clocks = GetPixelclockCount(n);
    for (int i = 0; i < clocks; ++i) {
        const char* item = GetPixclkItemName(i, n);
        pouClk->addItem(QString::fromUtf8(item ? item : ""));
    }
    pouClk->setCurrentIndex(GetPixelclock(n));
    showBitDepth(GetPixelclock(n));

    int mn = 0, mx = 0, st = 0;
    sldGain->setEnabled(true);
    txtGain->setEnabled(true);
    GetAnaloggainRange(&mn, &mx, &st, n);
    const int gain = GetAnaloggain(n);
    setSlider(sldGain, mn, mx, gain);
    txtGain->setText(QString::asprintf("%d", gain));

    sldTime->setEnabled(true);
    txtTime->setEnabled(true);
    GetExposureRange(&fmin, &fmax, &fstp, n);
    SetExposure(33.0f, n);
    showExposureRange(0);

    btnRestart->setEnabled(ResetSupport(n) != -4);

    bool ae = false;
    GetAutoExposure(&ae, n);
    sldTime->setEnabled(!ae);
    txtTime->setEnabled(!ae);
    chkAE->setChecked(ae);

    if (GetBlacklevelRange(&mn, &mx, &st, n) == -4) {
        sldBlvl->hide();
        txtBlvl->hide();
        tilBlvl->hide();
    } else {
        sldBlvl->show();
        txtBlvl->show();
        tilBlvl->show();
        const int level = GetBlacklevel(n);
        setSlider(sldBlvl, mn, mx, level);
        txtBlvl->setText(QString::number(level));
    }

    int formats = 0;
    GetImageFormat(&formats, n);
    snapType = formats;
    chkRaw->setChecked(formats & 1);
    chkTif->setChecked(formats & 2);
    chkPng->setChecked(formats & 4);
    chkJpg->setChecked(formats & 8);
    chkBmp->setChecked(formats & 16);
    chkFits->setChecked(formats & 32);
    chkFitsRaw->setChecked(formats & 64);

    sldGamma->setEnabled(true);
    txtGamma->setEnabled(true);
    GetGammaRange(&mn, &mx, &st, n);
    const int gamma = GetGamma(n);
    setSlider(sldGamma, mn, mx, gamma);
    txtGamma->setText(QString::asprintf("%.1f", gamma / 100.0));

    sldContrast->setEnabled(true);
    txtContrast->setEnabled(true);
    GetContrastRange(&mn, &mx, &st, n);
    const int contrast = GetContrast(n);
    setSlider(sldContrast, mn, mx, contrast);
    txtContrast->setText(QString::number(contrast));

    flipType = GetFlip(n);
    chkHF->setChecked(flipType & 1);
    chkVF->setChecked(flipType & 2);

    showProcessingStates();

    bool mono = false;
    if (GetMonochrome(&mono, n) == -4) {
        if (tabView->count() == 3) tabView->removeTab(tabView->indexOf(tabItemColr));
        chkMono->setChecked(false);
    } else {
        if (tabView->count() == 2) tabView->insertTab(1, tabItemColr, infoText("Colour"));
        chkMono->setChecked(mono);
        GetChannelGainRange(&mn, &mx, &st, n);
        for (QSlider* s : {sldRed, sldGreen, sldBlue}) setSlider(s, mn, mx, s->value());
        GetChannelGain(&red, &green, &blue, n);
        showChannelGains();
        GetSaturationRange(&mn, &mx, &st, n);
        const int saturation = GetSaturation(n);
        setSlider(sldSaturation, mn, mx, saturation);
        txtSaturation->setText(QString::number(saturation));
    }

    btnLive->setEnabled(true);
    tools_->cameraChanged();
}

/// Shows the exposure range and the current exposure: position p of the slider stands for
/// fmin + p * fstp.
void AppDelegate::showExposureRange(int sliderMinimum) {
    if (!camName) return;
    const float e = GetExposure(camName->c_str());
    const bool steps = fstp > 0.f;
    const int maximum = steps ? static_cast<int>((fmax - fmin) / fstp) : 0;
    const int position = steps ? static_cast<int>((e - fmin) / fstp) : 0;
    setSlider(sldTime, sliderMinimum, maximum, position);
    txtTime->setText(QString::asprintf("%.3f", e));
}

/// The bit-depth choice is offered only where the clock allows 16-bit data; it shows the depth
/// the camera delivers now (a clock that cannot carry 16 bits has taken it back to 8).
void AppDelegate::showBitDepth(int clock) {
    const char* n = camName->c_str();
    radBit->setEnabled(GetRawDepthState(clock, n) == 0);
    (GetRawDepth(n) == 16 ? radBit16 : radBit8)->setChecked(true);
}

/// Ticks the processing switches from the camera: colour enhancement, defect correction and
/// flat field. A switch the camera does not offer is cleared, so no box keeps the ticks of the
/// camera shown before.
void AppDelegate::showProcessingStates() {
    if (!camName) return;
    const char* n = camName->c_str();
    const auto show = [n](QCheckBox* box, int (*get)(bool*, const char*)) {
        bool on = false;
        const bool ticked = get(&on, n) == 0 && on;
        QSignalBlocker block(box);
        box->setChecked(ticked);
    };
    show(chkColor, &GetColorEnhancement);
    show(chkDead, &GetDefectCorrectionState);
    show(chkFF, &GetFlatfieldState);
}

void AppDelegate::showChannelGains() {
    setSliderValue(sldRed, red);
    setSliderValue(sldGreen, green);
    setSliderValue(sldBlue, blue);
    txtRed->setText(gainText(red));
    txtGreen->setText(gainText(green));
    txtBlue->setText(gainText(blue));
}

/// Re-reads the exposure range once the camera has settled, if the same camera is still
/// selected. Until then the slider is held (its range is the old one) and an exposure typed
/// meanwhile waits; it is applied within the new range. A second change restarts the pause.
void AppDelegate::afterExposureChange(int sliderMinimum) {
    const std::string name = *camName;
    exposureHeld_ = true;
    sldTime->setEnabled(false);
    const int serial = ++settleSerial_;
    QTimer::singleShot(kSettleMs, this, [this, name, sliderMinimum, serial] {
        if (serial != settleSerial_) return;
        endExposureHold();
        if (!camName || *camName != name) return;
        GetExposureRange(&fmin, &fmax, &fstp, name.c_str());
        showExposureRange(sliderMinimum);
        if (heldExposure_) {
            txtTime->setText(*heldExposure_);
            heldExposure_.reset();
            txtTimeAction();
        }
    });
}

/// Ends a hold of the exposure input; the slider is usable again unless automatic exposure
/// drives it.
void AppDelegate::endExposureHold() {
    if (!exposureHeld_) return;
    exposureHeld_ = false;
    ++settleSerial_;
    sldTime->setEnabled(!chkAE->isChecked());
}

// ---- sensor ----------------------------------------------------------------------------------

void AppDelegate::resChangeAction() {
    if (!camName) return;
    const int index = pouRes->currentIndex();
    if (index == GetResolution(camName->c_str())) return;
    SetResolution(index, camName->c_str());
    afterExposureChange(1);
}

void AppDelegate::clkChangeAction() {
    if (!camName) return;
    const char* n = camName->c_str();
    if (SetPixelclock(pouClk->currentIndex(), n) == 4) syslog(LOG_INFO, "now nonsupport");
    // The camera may have kept its clock or taken a slower one: the list shows the clock it has.
    const int clock = GetPixelclock(n);
    {
        QSignalBlocker block(pouClk);
        pouClk->setCurrentIndex(clock);
    }
    showBitDepth(clock);
    afterExposureChange(1);
}

void AppDelegate::radBitAction() {
    if (!camName) return;
    SetRawDepth(radBit16->isChecked() ? 16 : 8, camName->c_str());
}

void AppDelegate::sldGainAction() {
    if (!camName) return;
    const int v = sldGain->value();
    if (v != GetAnaloggain(camName->c_str())) SetAnaloggain(v, camName->c_str());
    txtGain->setText(QString::asprintf("%d", v));
}

void AppDelegate::sldTimeAction() {
    if (!camName) return;
    const float e = fmin + static_cast<float>(sldTime->value()) * fstp;
    if (e != GetExposure(camName->c_str())) SetExposure(e, camName->c_str());
    txtTime->setText(QString::asprintf("%.3f", e));
}

namespace {

/// A typed exposure in the user's notation ("12,5" in German) or with a decimal point; null
/// for text that is not a finite number. Group separators are refused, so "12.5" never reads
/// as 125.
std::optional<double> parseExposure(const QString& typed) {
    const QString text = typed.trimmed();
    for (QLocale locale : {QLocale(), QLocale::c()}) {
        locale.setNumberOptions(QLocale::RejectGroupSeparator);
        bool ok = false;
        const double v = locale.toDouble(text, &ok);
        if (ok && std::isfinite(v)) return v;
    }
    return std::nullopt;
}

} // namespace

void AppDelegate::txtTimeAction() {
    if (!camName) return;
    // While the camera settles after a resolution or clock change the range is stale: what is
    // typed now is applied once the new range is known.
    if (exposureHeld_) {
        heldExposure_ = txtTime->text();
        return;
    }
    const std::optional<double> typed = parseExposure(txtTime->text());
    if (!typed) {
        // Not a number: the field shows the camera's exposure again.
        txtTime->setText(QString::asprintf("%.3f", GetExposure(camName->c_str())));
        return;
    }
    float v = static_cast<float>(std::clamp(*typed, -1e30, 1e30));
    std::printf("%.3f,%.3f,%.3f\n", v, fmax, fmin);
    if (v > fmax) {
        std::printf("max\n");
        v = fmax;
    } else if (v < fmin) {
        v = fmin;
    }
    std::fflush(stdout);
    if (v == GetExposure(camName->c_str())) return;
    SetExposure(v, camName->c_str());
    setSliderValue(sldTime, fstp > 0.f ? static_cast<int>((v - fmin) / fstp) : 0);
    txtTime->setText(QString::asprintf("%.3f", v));
}

void AppDelegate::chkAEAction() {
    if (!camName) return;
    const char* n = camName->c_str();
    if (chkAE->isChecked()) {
        SetAutoExposure(true, n);
        sldTime->setEnabled(false);
        txtTime->setEnabled(false);
    } else {
        SetAutoExposure(false, n);
        GetExposureRange(&fmin, &fmax, &fstp, n);
        sldTime->setEnabled(true);
        txtTime->setEnabled(true);
        showExposureRange(1);
    }
}

void AppDelegate::btnRestartAction() {
    if (camName) ResetDevice(camName->c_str());
}

void AppDelegate::sldBklvlAction() {
    if (!camName) return;
    const int v = sldBlvl->value();
    if (v != GetBlacklevel(camName->c_str())) SetBlacklevel(v, camName->c_str());
    txtBlvl->setText(QString::number(v));
}

/// Back to the camera's defaults, then shows again what the defaults change.
void AppDelegate::btnResetAction() {
    if (!camName) return;
    const char* n = camName->c_str();
    SetDefaultConfiguration(n);
    pouClk->setCurrentIndex(GetPixelclock(n));
    showBitDepth(GetPixelclock(n));
    const int gain = GetAnaloggain(n);
    setSliderValue(sldGain, gain);
    txtGain->setText(QString::asprintf("%d", gain));
    bool ae = false;
    GetAutoExposure(&ae, n);
    chkAE->setChecked(ae);
    sldTime->setEnabled(!ae);
    txtTime->setEnabled(!ae);
    int mn = 0, mx = 0, st = 0;
    if (GetBlacklevelRange(&mn, &mx, &st, n) != -4) {
        const int level = GetBlacklevel(n);
        setSliderValue(sldBlvl, level);
        txtBlvl->setText(QString::number(level));
    }
    const int gamma = GetGamma(n);
    setSliderValue(sldGamma, gamma);
    txtGamma->setText(QString::asprintf("%.1f", gamma / 100.0));
    const int contrast = GetContrast(n);
    setSliderValue(sldContrast, contrast);
    txtContrast->setText(QString::number(contrast));
    flipType = GetFlip(n);
    chkHF->setChecked(flipType & 1);
    chkVF->setChecked(flipType & 2);
    showProcessingStates();
    bool mono = false;
    if (GetMonochrome(&mono, n) != -4) {
        chkMono->setChecked(mono);
        const int saturation = GetSaturation(n);
        setSliderValue(sldSaturation, saturation);
        txtSaturation->setText(QString::number(saturation));
    }
}

// ---- processing ------------------------------------------------------------------------------

/// The colour chain has one gamma per channel: the slider sets the same gamma on each, so that
/// moving it never tints the image. A monochrome camera has the one.
void AppDelegate::sldGammaAction() {
    if (!camName) return;
    const char* n = camName->c_str();
    const int v = sldGamma->value();
    const int channels = GetImageChannles(n);
    if (channels == 3) {
        for (int channel = 0; channel < channels; ++channel)
            if (v != GetGammaEx(channel, n)) SetGammaEx(v, channel, n);
    } else if (v != GetGamma(n)) {
        SetGamma(v, n);
    }
    txtGamma->setText(QString::asprintf("%.2f", v / 100.0));
}

void AppDelegate::sldContrastAction() {
    if (!camName) return;
    const int v = sldContrast->value();
    if (v != GetContrast(camName->c_str())) SetContrast(v, camName->c_str());
    txtContrast->setText(QString::number(v));
}

void AppDelegate::sldSaturationAction() {
    if (!camName) return;
    const int v = sldSaturation->value();
    if (v != GetSaturation(camName->c_str())) SetSaturation(v, camName->c_str());
    txtSaturation->setText(QString::number(v));
}

void AppDelegate::chkMonoAction() {
    if (camName) SetMonochrome(chkMono->isChecked(), camName->c_str());
}

void AppDelegate::chkColorAction() {
    if (camName) SetColorEnhancement(chkColor->isChecked(), camName->c_str());
}

void AppDelegate::chkDeadCorrectAction() {
    if (camName) SetDefectCorrectionState(chkDead->isChecked(), camName->c_str());
}

void AppDelegate::chkHFlipAction() {
    if (!camName) return;
    flipType = chkHF->isChecked() ? (flipType | 1) : (flipType & ~1);
    SetFlip(flipType, camName->c_str());
}

void AppDelegate::chkVFlioAction() {
    if (!camName) return;
    flipType = chkVF->isChecked() ? (flipType | 2) : (flipType & ~2);
    SetFlip(flipType, camName->c_str());
}

void AppDelegate::channelGainAction(QSlider* slider, QLineEdit* text, int32_t& member) {
    if (!camName) return;
    const int v = slider->value();
    if (v != member) {
        member = v;
        SetChannelGain(red, green, blue, camName->c_str());
    }
    text->setText(gainText(v));
}

void AppDelegate::sldRedAction() {
    channelGainAction(sldRed, txtRed, red);
}
void AppDelegate::sldGreenAction() {
    channelGainAction(sldGreen, txtGreen, green);
}
void AppDelegate::sldBlueAction() {
    channelGainAction(sldBlue, txtBlue, blue);
}

/// One-shot white balance on a private copy of the newest raw frame, which no worker thread
/// can change while the camera measures it.
void AppDelegate::btnWBAction() {
    if (!camName) return;
    btnWB->setEnabled(false);
    std::unique_ptr<unsigned char[]> frame;
    const int r =
        copyIdleFrame(frame) ? CalcWhiteBalance(frame.get(), nullptr, camName->c_str()) : -3;
    if (r == 0) {
        txtWB->setText(infoText("WB Succeed"));
        GetChannelGain(&red, &green, &blue, camName->c_str());
        showChannelGains();
    } else {
        txtWB->setText(infoText("WB Fail"));
    }
    btnWB->setEnabled(true);
}

// ---- zoom ------------------------------------------------------------------------------------

void AppDelegate::btnInAction() {
    zoomVal *= 2;
    if (zoomVal > 8) zoomVal = 8;
    layoutView();
}

void AppDelegate::btnOutAction() {
    zoomVal = zoomVal > 1 ? zoomVal / 2 : 1;
    layoutView();
}

void AppDelegate::btnRestoreAction() {
    zoomVal = 1;
    layoutView();
}

} // namespace hx::app
