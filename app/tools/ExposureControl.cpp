#include "app/tools/ExposureControl.h"

#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>

#include <algorithm>
#include <cmath>

#include "app/AppDelegate.h"

namespace hx::app {

namespace {

constexpr double kUnitMs[] = {0.001, 1.0, 1000.0};
/// The logarithmic scale starts here when the camera's minimum is 0.
constexpr double kSmallestMs = 0.001;

} // namespace

ExposureControl::ExposureControl(QWidget* parent) : QWidget(parent) {
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setVerticalSpacing(2);
    txtValue = new QLineEdit(this);
    txtValue->setObjectName("txtExposureValue");
    txtValue->setMaximumWidth(96);
    pouUnit = new QComboBox(this);
    pouUnit->setObjectName("pouExposureUnit");
    pouUnit->addItems({QStringLiteral("µs"), QStringLiteral("ms"), QStringLiteral("s")});
    pouUnit->setCurrentIndex(Milliseconds);
    sldLog = new QSlider(Qt::Horizontal, this);
    sldLog->setObjectName("sldExposureLog");
    sldLog->setRange(0, kSliderSteps);
    sldLog->setToolTip(infoText("Logarithmic scale over the camera's whole range"));
    progress = new QProgressBar(this);
    progress->setObjectName("barExposure");
    progress->setRange(0, 1000);
    progress->setTextVisible(false);
    progress->setMaximumHeight(12);
    txtLeft = new QLabel(this);
    txtLeft->setObjectName("txtExposureLeft");
    btnStop = new QPushButton(infoText("Stop exposure"), this);
    btnStop->setObjectName("btnStopExposure");
    grid->addWidget(txtValue, 0, 0);
    grid->addWidget(pouUnit, 0, 1);
    grid->addWidget(sldLog, 0, 2);
    grid->addWidget(progress, 1, 0, 1, 2);
    grid->addWidget(txtLeft, 1, 2);
    grid->addWidget(btnStop, 2, 0, 1, 3);
    grid->setColumnStretch(2, 1);
    for (QWidget* w : {static_cast<QWidget*>(progress), static_cast<QWidget*>(txtLeft),
                       static_cast<QWidget*>(btnStop)})
        w->hide();

    connect(txtValue, &QLineEdit::returnPressed, this, &ExposureControl::valueTyped);
    connect(sldLog, &QSlider::valueChanged, this, &ExposureControl::sliderMoved);
    connect(pouUnit, &QComboBox::currentIndexChanged, this, &ExposureControl::unitChanged);
    connect(btnStop, &QPushButton::clicked, this, [this] {
        if (onStop) onStop();
    });
}

double ExposureControl::toMilliseconds(double value, Unit unit) {
    return value * kUnitMs[unit];
}

double ExposureControl::fromMilliseconds(double ms, Unit unit) {
    return ms / kUnitMs[unit];
}

double ExposureControl::sliderToMilliseconds(int position, double minimum, double maximum) {
    if (position <= 0) return minimum;
    if (position >= kSliderSteps || maximum <= minimum) return maximum;
    const double low = std::max(minimum, kSmallestMs);
    if (maximum <= low) return maximum;
    return low * std::pow(maximum / low, position / double(kSliderSteps));
}

int ExposureControl::millisecondsToSlider(double ms, double minimum, double maximum) {
    if (ms <= minimum) return 0;
    if (ms >= maximum) return kSliderSteps;
    const double low = std::max(minimum, kSmallestMs);
    if (ms <= low || maximum <= low) return 0;
    const double p = std::log(ms / low) / std::log(maximum / low) * kSliderSteps;
    return std::clamp(static_cast<int>(std::lround(p)), 0, kSliderSteps);
}

void ExposureControl::setRange(double minimumMs, double maximumMs) {
    minimum_ = minimumMs;
    maximum_ = std::max(maximumMs, minimumMs);
}

void ExposureControl::showExposure(double ms) {
    shown_ = ms;
    QSignalBlocker block(sldLog);
    sldLog->setValue(millisecondsToSlider(ms, minimum_, maximum_));
    txtValue->setText(QLocale().toString(fromMilliseconds(ms, unit()), 'g', 7));
}

void ExposureControl::setUnit(Unit unit) {
    pouUnit->setCurrentIndex(unit);
}

ExposureControl::Unit ExposureControl::unit() const {
    return static_cast<Unit>(std::clamp(pouUnit->currentIndex(), 0, 2));
}

/// Takes a number in the user's locale or with a decimal point; anything else puts the
/// camera's value back.
void ExposureControl::valueTyped() {
    const QString text = txtValue->text().trimmed();
    bool ok = false;
    double value = QLocale().toDouble(text, &ok);
    if (!ok) value = QLocale::c().toDouble(text, &ok);
    if (!ok || !std::isfinite(value) || value < 0) {
        showExposure(shown_);
        return;
    }
    const double ms = std::clamp(toMilliseconds(value, unit()), minimum_, maximum_);
    if (onExposure) onExposure(ms);
}

void ExposureControl::sliderMoved(int position) {
    const double ms = sliderToMilliseconds(position, minimum_, maximum_);
    txtValue->setText(QLocale().toString(fromMilliseconds(ms, unit()), 'g', 7));
    if (onExposure) onExposure(ms);
}

void ExposureControl::unitChanged() {
    txtValue->setText(QLocale().toString(fromMilliseconds(shown_, unit()), 'g', 7));
}

void ExposureControl::showProgress(bool running, double elapsedMs, double exposureMs) {
    const bool visible = running && exposureMs > 1000.0;
    progress->setVisible(visible);
    txtLeft->setVisible(visible);
    btnStop->setVisible(visible);
    if (!visible) return;
    const double done = std::clamp(elapsedMs / exposureMs, 0.0, 1.0);
    progress->setValue(static_cast<int>(done * 1000));
    const double left = std::max(0.0, (exposureMs - elapsedMs) / 1000.0);
    txtLeft->setText(infoText("%1 s left").arg(QString::number(left, 'f', 1)));
}

} // namespace hx::app
