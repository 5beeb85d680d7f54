#include "app/tools/SequenceRunner.h"

#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>

#include "app/AppDelegate.h"
#include "camera/CamApi.h"
#include "ezImage/FreeFileName.h"
#include "ezImage/HalvexFrameInfo.h"

namespace hx::app {

namespace {

int64_t wallMicroseconds() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

std::chrono::microseconds
SequenceSchedule::waitFor(int64_t k, std::chrono::steady_clock::time_point now) const {
    const auto wait = std::chrono::duration_cast<std::chrono::microseconds>(due(k) - now);
    return wait.count() > 0 ? wait : std::chrono::microseconds(0);
}

SequenceRunner::SequenceRunner(Hooks hooks, Post post, QWidget* parent)
    : QWidget(parent), hooks_(std::move(hooks)), post_(std::move(post)) {
    auto* form = new QFormLayout(this);
    spnCount = new QSpinBox(this);
    spnCount->setObjectName("spnSequenceCount");
    spnCount->setRange(1, 100000);
    spnCount->setValue(10);
    spnInterval = new QDoubleSpinBox(this);
    spnInterval->setObjectName("spnSequenceInterval");
    spnInterval->setRange(0, 86400);
    spnInterval->setDecimals(1);
    spnInterval->setSuffix(QStringLiteral(" s"));
    spnInterval->setToolTip(infoText("0: as fast as the camera delivers"));
    pouType = new QComboBox(this);
    pouType->setObjectName("pouFrameType");
    pouType->addItems({infoText("Light"), infoText("Dark"), infoText("Flat"), infoText("Bias")});
    btnStart = new QPushButton(infoText("Start sequence"), this);
    btnStart->setObjectName("btnSequence");
    progress = new QProgressBar(this);
    progress->setObjectName("barSequence");
    txtState = new QLabel(this);
    txtState->setObjectName("txtSequence");
    txtState->setWordWrap(true);
    form->addRow(infoText("Frames"), spnCount);
    form->addRow(infoText("Interval"), spnInterval);
    form->addRow(infoText("Frame type"), pouType);
    form->addRow(QString(), btnStart);
    form->addRow(progress);
    form->addRow(txtState);
    timer_ = new QTimer(this);
    timer_->setSingleShot(true);
    timer_->setTimerType(Qt::PreciseTimer);
    connect(timer_, &QTimer::timeout, this, &SequenceRunner::arm);
    connect(btnStart, &QPushButton::clicked, this, [this] { running_ ? stop() : start(); });
}

SequenceRunner::~SequenceRunner() {
    armed_ = false;
}

/// Starts the sequence on the selected camera, with live view (started when it is not
/// running, and stopped again at the end).
void SequenceRunner::start() {
    if (running_) return;
    const std::string camera = hooks_.camera();
    if (camera.empty()) return;
    count_ = spnCount->value();
    saved_ = 0;
    {
        std::lock_guard lock(mutex_);
        camera_ = camera;
        frameType_ = pouType->currentIndex();
        QString directory = hooks_.directory();
        if (!directory.isEmpty()) QDir().mkpath(directory);
        base_ = directory + hooks_.prefix();
        formats_ = hooks_.formats();
        nextIndex_ = 1;
    }
    SetFrameType(frameType_, camera.c_str());
    running_ = true;
    btnStart->setText(infoText("Stop sequence"));
    progress->setRange(0, count_);
    progress->setValue(0);
    txtState->setText(infoText("%1 of %2").arg(0).arg(count_));
    spnCount->setEnabled(false);
    spnInterval->setEnabled(false);
    pouType->setEnabled(false);
    startedLive_ = !hooks_.liveRunning();
    if (startedLive_) hooks_.toggleLive();
    schedule_.start = std::chrono::steady_clock::now();
    schedule_.interval =
        std::chrono::microseconds(static_cast<int64_t>(std::llround(spnInterval->value() * 1e6)));
    arm();
}

void SequenceRunner::stop() {
    if (!running_) return;
    finish(infoText("Stopped after %1 of %2").arg(saved_).arg(count_));
}

void SequenceRunner::finish(const QString& state) {
    armed_ = false;
    timer_->stop();
    running_ = false;
    std::string camera;
    {
        std::lock_guard lock(mutex_);
        camera = camera_;
    }
    SetFrameType(HALVEX_FRAME_LIGHT, camera.c_str());
    if (startedLive_ && hooks_.liveRunning()) hooks_.toggleLive();
    startedLive_ = false;
    btnStart->setText(infoText("Start sequence"));
    txtState->setText(state);
    spnCount->setEnabled(true);
    spnInterval->setEnabled(true);
    pouType->setEnabled(true);
}

/// Frame k is due now: the next shown frame exposed from now on is saved.
void SequenceRunner::arm() {
    if (!running_) return;
    {
        std::lock_guard lock(mutex_);
        armedAtUs_ = wallMicroseconds();
    }
    armed_ = true;
}

void SequenceRunner::frameShown(unsigned char* image, const std::string& camera) {
    if (!armed_) return;
    std::unique_lock lock(mutex_);
    if (!armed_ || camera != camera_) return;
    HalvexFrameInfo info{};
    // A frame exposed before its moment, or before the type was set, is not part of it.
    if (GetFrameInfo(image, &info) == 0 &&
        (info.exposureStartUs < armedAtUs_ || info.frameType != frameType_))
        return;
    armed_ = false;
    const int index = nextIndex_++;
    // A set left by an earlier sequence or snapshot of the same name is never replaced.
    const QString path = QString::fromStdString(
        hx::files::freeSnapshotStem((base_ + QString::number(index)).toStdString(), formats_));
    const int formats = formats_;
    lock.unlock();
    const int result = SaveFile(image, path.toUtf8().constData(), formats, camera.c_str());
    if (hooks_.saved) hooks_.saved(path, formats, result);
    post_([this, index, result] { frameSaved(index, result); });
}

/// On the GUI thread after frame `index` (1 for the first) was saved: the next one is due at
/// start + index x interval.
void SequenceRunner::frameSaved(int index, int) {
    if (!running_) return;
    saved_ = index;
    progress->setValue(index);
    txtState->setText(infoText("%1 of %2").arg(index).arg(count_));
    if (index >= count_) {
        finish(infoText("Done: %1 frames").arg(count_));
        return;
    }
    const auto wait = schedule_.waitFor(index, std::chrono::steady_clock::now());
    timer_->start(static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
}

} // namespace hx::app
