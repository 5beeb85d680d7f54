#include "app/tools/CaptureTools.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPushButton>
#include <QScrollArea>
#include <QSettings>
#include <QShortcut>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>
#include <QSplitter>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>

#include "app/AppDelegate.h"
#include "app/ImageView.h"
#include "app/tools/CoolerPanel.h"
#include "app/tools/ExposureControl.h"
#include "app/tools/FocusAid.h"
#include "app/tools/HistogramView.h"
#include "app/tools/SequenceRunner.h"
#include "app/tools/StatusBar.h"
#ifdef HALVEX_HAVE_RECORDER
#include "recording/ezRecorder.h"
#endif
#include "camera/CamApi.h"
#include "ezImage/FreeFileName.h"

namespace hx::app {

namespace {

/// Manual stretch points move in steps of 1/1000 of the full scale.
constexpr int kPointSteps = 1000;
/// How often the status bar and the exposure progress are brought up to date.
constexpr int kTickMs = 100;
/// Every this many ticks the free disk space is looked at.
constexpr int kSpaceTicks = 50;
constexpr auto kCoolerPeriod = std::chrono::milliseconds(1500);

template <typename T> T* named(T* widget, const char* objectName) {
    widget->setObjectName(objectName);
    return widget;
}

QString pointText(double fraction) {
    return QString::asprintf("%.1f %%", fraction * 100.0);
}

} // namespace

CaptureTools::CaptureTools(AppDelegate& app) : app_(app) {}

CaptureTools::~CaptureTools() {
    shutdown();
    // The cooling page belongs to the tab view only while a cooled camera is selected.
    if (cooler && !cooler->parent()) delete cooler;
}

// ---- building --------------------------------------------------------------------------------

void CaptureTools::addViewButtons(QGridLayout* grid, int row) {
    QWidget* parent = grid->parentWidget();
    btnOneToOne = named(new QPushButton(infoText("100 %"), parent), "btnOneToOne");
    btnFit = named(new QPushButton(infoText("Fit"), parent), "btnFit");
    chkReticle = named(new QCheckBox(infoText("Reticle"), parent), "chkReticle");
    grid->addWidget(btnOneToOne, row, 0);
    grid->addWidget(btnFit, row, 1);
    grid->addWidget(chkReticle, row, 2);
    connect(btnOneToOne, &QPushButton::clicked, this, &CaptureTools::showOneToOne);
    connect(btnFit, &QPushButton::clicked, this, &CaptureTools::showFit);
    connect(chkReticle, &QCheckBox::toggled, this, [this](bool on) { app_.pView->setReticle(on); });
}

void CaptureTools::addExposureRow(QFormLayout* form) {
    exposure = named(new ExposureControl(form->parentWidget()), "exposureControl");
    form->addRow(infoText("Exposure"), exposure);
    exposure->onExposure = [this](double ms) {
        if (!app_.camName) return;
        // Through the field the Parts' control uses, so clamping and the slider stay its own.
        app_.txtTime->setText(QString::asprintf("%.3f", ms));
        app_.txtTimeAction();
        exposure->showExposure(GetExposure(app_.camName->c_str()));
    };
    // Stopping live view ends the frame read in progress: the exposure ends at once.
    exposure->onStop = [this] {
        if (app_.camName && app_.ctxGrab.lkRun) app_.btnLiveAction();
    };
    // The field shows every exposure the controller sets; the control follows it.
    connect(app_.txtTime, &QLineEdit::textChanged, this, [this] {
        if (!app_.camName) return;
        exposure->setRange(app_.fmin, app_.fmax);
        exposure->showExposure(GetExposure(app_.camName->c_str()));
    });
}

void CaptureTools::addPanels(QSplitter* side) {
    sideSplitter_ = side;
    // The histogram stays in sight; the tool pages are under it.
    auto* toolsArea = named(new QScrollArea(side), "toolsArea");
    toolsArea->setWidgetResizable(true);
    toolsArea->setFrameShape(QFrame::NoFrame);
    toolsArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    toolsArea->setMinimumHeight(160);
    side->addWidget(toolsArea);
    auto* histBox = named(new QWidget, "histogramBox");
    toolsArea->setWidget(histBox);
    side->setCollapsible(0, false);
    side->setStretchFactor(0, 1);
    side->setStretchFactor(1, 0);
    auto* histLayout = new QVBoxLayout(histBox);
    histLayout->setContentsMargins(0, 0, 0, 0);
    histLayout->setSpacing(2);
    histogram = new HistogramView(histBox);
    histLayout->addWidget(histogram);
    auto* histRow = new QHBoxLayout;
    chkLog = named(new QCheckBox(infoText("Logarithmic"), histBox), "chkLog");
    chkOverlay = named(new QCheckBox(infoText("Mark clipped"), histBox), "chkOverlay");
    txtClipped = named(new QLabel(histBox), "txtClipped");
    histRow->addWidget(chkLog);
    histRow->addWidget(chkOverlay);
    histRow->addStretch(1);
    histLayout->addLayout(histRow);
    histLayout->addWidget(txtClipped);
    toolTabs = named(new QTabWidget(histBox), "toolTabs");
    histLayout->addWidget(toolTabs, 1);
    connect(chkLog, &QCheckBox::toggled, histogram, &HistogramView::setLogarithmic);
    connect(chkOverlay, &QCheckBox::toggled, this, &CaptureTools::updateDisplaySettings);

    // Display page: stretch for the live view only.
    displayPage = named(new QWidget, "tabItemDisplay");
    auto* form = new QFormLayout(displayPage);
    pouStretch = named(new QComboBox(displayPage), "pouStretch");
    pouStretch->addItems({infoText("Off"), infoText("Automatic"), infoText("Manual")});
    form->addRow(infoText("Stretch"), pouStretch);
    auto pointRow = [&](const QString& caption, QSlider*& s, const char* sName, QLabel*& t,
                        const char* tName, int value) {
        auto* row = new QWidget(displayPage);
        auto* h = new QHBoxLayout(row);
        h->setContentsMargins(0, 0, 0, 0);
        s = named(new QSlider(Qt::Horizontal, row), sName);
        s->setRange(0, kPointSteps);
        s->setValue(value);
        t = named(new QLabel(row), tName);
        t->setMinimumWidth(56);
        h->addWidget(s, 1);
        h->addWidget(t);
        form->addRow(caption, row);
    };
    pointRow(infoText("Black point"), sldBlack, "sldBlack", txtBlack, "txtBlack", 0);
    pointRow(infoText("White point"), sldWhite, "sldWhite", txtWhite, "txtWhite", kPointSteps);
    auto* note = new QLabel(infoText("The stretch changes the live view only, never what is "
                                     "saved or recorded."),
                            displayPage);
    note->setWordWrap(true);
    form->addRow(note);
    connect(pouStretch, &QComboBox::currentIndexChanged, this,
            &CaptureTools::updateDisplaySettings);
    connect(sldBlack, &QSlider::valueChanged, this, [this](int v) {
        if (sldWhite->value() <= v) sldWhite->setValue(std::min(v + 1, kPointSteps));
        updateDisplaySettings();
    });
    connect(sldWhite, &QSlider::valueChanged, this, [this](int v) {
        if (sldBlack->value() >= v) sldBlack->setValue(std::max(v - 1, 0));
        updateDisplaySettings();
    });

    // Focus aid on the same page.
    focus = named(new FocusAid(displayPage), "focusAid");
    form->addRow(focus);
    focus->onChanged = [this] { updateDisplaySettings(); };
    focus->onPicking = [this](bool on) { app_.pView->setPickingBox(on); };
    app_.pView->onBoxPicked = [this](QRect box) {
        focusBox_ = box;
        focus->btnPick->setChecked(false);
        app_.pView->setPickingBox(false);
        if (focus->mode() == FocusMode::Off) focus->setMode(FocusMode::Stars);
        updateDisplaySettings();
    };
    connect(focus->btnCentre, &QPushButton::clicked, this, [this] {
        focusBox_ = QRect();
        updateDisplaySettings();
    });
    toolTabs->addTab(displayPage, infoText("Display"));

    // Sequence page.
    SequenceRunner::Hooks hooks;
    hooks.camera = [this] { return app_.camName.value_or(std::string()); };
    hooks.directory = [this] { return app_.txtPath->text(); };
    hooks.prefix = [this] { return app_.txtfileName->text(); };
    hooks.formats = [this] { return app_.snapType.load(); };
    hooks.liveRunning = [this] { return app_.liveRunning(); };
    hooks.toggleLive = [this] { app_.btnLiveAction(); };
    hooks.saved = [this](const QString& path, int formats, int result) {
        snapshotSaved(path, formats, result, std::chrono::system_clock::now());
    };
    sequence = named(new SequenceRunner(std::move(hooks), [this](auto f) { app_.post(f); }),
                     "sequenceRunner");
    toolTabs->addTab(sequence, infoText("Sequence"));

    // Cooling page: only in the tab view while a cooled camera is selected.
    cooler =
        named(new CoolerPanel([this](auto f) { app_.post(f); }, kCoolerPeriod), "tabItemCooling");
}

void CaptureTools::finishWindow() {
    QMainWindow* window = app_._window;
    status = new StatusBar(window);
    window->setStatusBar(status);
    status->setCamera(QString(), 0, 0, 0);
    app_.pView->onCursor = [this](QPoint pixel, bool inside) {
        status->setCursorText(inside ? pixelText(pixel) : QString());
    };

    auto shortcut = [&](QKeySequence keys, auto function, const char* name) {
        auto* s = new QShortcut(keys, window);
        s->setObjectName(name);
        s->setContext(Qt::WindowShortcut);
        connect(s, &QShortcut::activated, this, function);
    };
    shortcut(
        QKeySequence(Qt::Key_Space), [this] { app_.btnCaptureAction(); }, "keySnapshot");
    shortcut(
        QKeySequence(Qt::Key_L), [this] { app_.btnLiveAction(); }, "keyLive");
    shortcut(
        QKeySequence(Qt::CTRL | Qt::Key_Q), [this] { app_._window->close(); }, "keyQuit");
    shortcut(
        QKeySequence(Qt::Key_F), [this] { showFit(); }, "keyFit");
    shortcut(
        QKeySequence(Qt::Key_1), [this] { showOneToOne(); }, "keyOneToOne");
    shortcut(
        QKeySequence(Qt::Key_Plus), [this] { app_.btnInAction(); }, "keyZoomIn");
    shortcut(
        QKeySequence(Qt::Key_Equal), [this] { app_.btnInAction(); }, "keyZoomIn2");
    shortcut(
        QKeySequence(Qt::Key_Minus), [this] { app_.btnOutAction(); }, "keyZoomOut");

    timer_ = new QTimer(this);
    connect(timer_, &QTimer::timeout, this, &CaptureTools::tick);
    timer_->start(kTickMs);
    lastRateTime_ = std::chrono::steady_clock::now();
    updateDisplaySettings();
}

// ---- view ------------------------------------------------------------------------------------

void CaptureTools::showOneToOne() {
    oneToOne_ = true;
    app_.zoomVal = 1;
    app_.layoutView();
}

void CaptureTools::showFit() {
    oneToOne_ = false;
    app_.zoomVal = 1;
    app_.layoutView();
}

QString CaptureTools::pixelText(QPoint p) const {
    const auto samples = lastSamples_;
    if (!samples || p.x() < 0 || p.y() < 0 || p.x() >= samples->width || p.y() >= samples->height)
        return QString();
    const size_t first = (static_cast<size_t>(p.y()) * samples->width + p.x()) * samples->channels;
    QString value;
    if (samples->channels == 3)
        value = QStringLiteral("%1 %2 %3")
                    .arg(samples->value(first))
                    .arg(samples->value(first + 1))
                    .arg(samples->value(first + 2));
    else
        value = QString::number(samples->value(first));
    return QStringLiteral("x %1  y %2  %3").arg(p.x()).arg(p.y()).arg(value);
}

// ---- show thread -----------------------------------------------------------------------------

QImage CaptureTools::renderFrame(const FrameView& frame) {
    return display.render(frame, [this](FrameReport report) {
        app_.post([this, r = std::move(report)]() mutable { applyReport(std::move(r)); });
    });
}

void CaptureTools::frameShown(unsigned char* image, const std::string& camera) {
    if (sequence) sequence->frameShown(image, camera);
}

/// Looks at what a save left on disk: the last file of the set is shown as the last file
/// written; a set that failed, or left no file of a selected format, is reported.
void CaptureTools::snapshotSaved(const QString& path, int formats, int result,
                                 std::chrono::system_clock::time_point started) {
    QString last;
    bool missing = false;
    const auto since = QDateTime::fromMSecsSinceEpoch(
        std::chrono::duration_cast<std::chrono::milliseconds>(started.time_since_epoch()).count() -
        2000);
    for (const std::string& extension : hx::files::snapshotExtensions(formats)) {
        const QFileInfo info(path + QString::fromStdString(extension));
        if (info.exists() && info.lastModified() >= since)
            last = info.filePath();
        else
            missing = true;
    }
    const bool failed = result < 0 || missing;
    app_.post([this, last, failed, path] {
        if (!last.isEmpty()) status->setLastFile(last);
        status->setProblem(failed ? infoText("Snapshot not saved: %1").arg(path) : QString());
    });
}

// ---- GUI thread ------------------------------------------------------------------------------

void CaptureTools::applyReport(FrameReport report) {
    if (shutDown_) return;
    ++reportsShown_;
    histogram->setHistogram(report.histogram, report.points);
    txtClipped->setText(infoText("Clipped: %1 dark, %2 bright")
                            .arg(report.histogram.clippedLow)
                            .arg(report.histogram.clippedHigh));
    if (report.samples)
        lastFrameSize_ = {report.samples->width, report.samples->height, report.samples->depth};
    lastSamples_ = std::move(report.samples);
    if (report.focusMode != FocusMode::Off) {
        focus->showFigure(report.focusMode, report.focus);
        app_.pView->setFocusBox(QRect(report.focusBox.x, report.focusBox.y, report.focusBox.width,
                                      report.focusBox.height));
    } else {
        app_.pView->setFocusBox(QRect());
    }
    if (pouStretch->currentIndex() == static_cast<int>(StretchMode::Automatic)) {
        // The automatic points are shown where the manual ones would be set.
        QSignalBlocker b(sldBlack), w(sldWhite);
        sldBlack->setValue(static_cast<int>(std::lround(report.points.black * kPointSteps)));
        sldWhite->setValue(static_cast<int>(std::lround(report.points.white * kPointSteps)));
        txtBlack->setText(pointText(report.points.black));
        txtWhite->setText(pointText(report.points.white));
    }
}

void CaptureTools::updateDisplaySettings() {
    DisplaySettings s;
    s.stretch = static_cast<StretchMode>(std::max(pouStretch->currentIndex(), 0));
    s.manual = {sldBlack->value() / double(kPointSteps), sldWhite->value() / double(kPointSteps)};
    s.overlay = chkOverlay->isChecked();
    s.focus = focus->mode();
    if (!focusBox_.isNull())
        s.focusBox = {focusBox_.x(), focusBox_.y(), focusBox_.width(), focusBox_.height()};
    display.setSettings(s);
    const bool manual = s.stretch == StretchMode::Manual;
    sldBlack->setEnabled(manual);
    sldWhite->setEnabled(manual);
    if (s.stretch != StretchMode::Automatic) {
        txtBlack->setText(pointText(s.manual.black));
        txtWhite->setText(pointText(s.manual.white));
    }
    if (s.focus == FocusMode::Off) app_.pView->setFocusBox(QRect());
}

void CaptureTools::cameraChanged() {
    lastSamples_.reset();
    lastFrameSize_ = {};
    if (!app_.camName) {
        status->setCamera(QString(), 0, 0, 0);
        cooler->setCamera(std::string());
    } else {
        const char* n = app_.camName->c_str();
        const int index = GetResolution(n);
        status->setCamera(QString::fromStdString(*app_.camName), GetResWidth(index, n),
                          GetResHeight(index, n), GetRawDepth(n));
        exposure->setRange(app_.fmin, app_.fmax);
        exposure->showExposure(GetExposure(n));
        cooler->setCamera(*app_.camName);
    }
    const int at = toolTabs->indexOf(cooler);
    if (cooler->available() && at < 0)
        toolTabs->addTab(cooler, infoText("Cooling"));
    else if (!cooler->available() && at >= 0)
        toolTabs->removeTab(at);
}

/// Ten times a second: frame rate, dropped frames, recording time, exposure progress; every
/// few seconds the free space in the snapshot directory.
void CaptureTools::tick() {
    if (shutDown_) return;
    const auto now = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(now - lastRateTime_).count();
    const bool live = app_.liveRunning();
    if (seconds >= 1.0) {
        const int64_t shown = app_.framesShown;
        status->setFrameRate(live ? (shown - lastFramesShown_) / seconds : 0.0);
        lastFramesShown_ = shown;
        lastRateTime_ = now;
    }
    if (live && shown_ != app_.framesShown) {
        shown_ = app_.framesShown;
        frameArrived_ = now;
    }
    if (!live) shown_ = app_.framesShown;
    if (live && !liveWas_) frameArrived_ = now;
    liveWas_ = live;

    int64_t recorderDrops = 0;
#ifdef HALVEX_HAVE_RECORDER
    if (auto open = app_.recorder.load()) recorderDrops = open->framesDropped();
#endif
    status->setDropped(app_.framesDropped, recorderDrops);
    const bool recording = app_.bSaveVideo;
    if (recording && !wasRecording_) recordingSince_ = now;
    wasRecording_ = recording;
    status->setRecording(
        recording ? std::chrono::duration_cast<std::chrono::seconds>(now - recordingSince_).count()
                  : -1);
    if (app_.camName) {
        QString name = QString::fromStdString(*app_.camName);
        if (lastFrameSize_[0] > 0)
            status->setCamera(name, lastFrameSize_[0], lastFrameSize_[1], lastFrameSize_[2]);
        const double ms = GetExposure(app_.camName->c_str());
        exposure->showProgress(
            live, std::chrono::duration<double, std::milli>(now - frameArrived_).count(), ms);
    }
    if (ticks_++ % kSpaceTicks == 0 && !app_.txtPath->text().isEmpty())
        status->checkFreeSpace(app_.txtPath->text());
}

// ---- settings --------------------------------------------------------------------------------

std::unique_ptr<QSettings> CaptureTools::openSettings() const {
    if (!app_.options_.settingsFile.isEmpty())
        return std::make_unique<QSettings>(app_.options_.settingsFile, QSettings::IniFormat);
    return std::make_unique<QSettings>(QStringLiteral("Halvex"), QStringLiteral("halvex-capture"));
}

void CaptureTools::restoreSettings() {
    auto s = openSettings();
    if (s->contains("window/geometry"))
        app_._window->restoreGeometry(s->value("window/geometry").toByteArray());
    if (splitter_ && s->contains("window/splitter"))
        splitter_->restoreState(s->value("window/splitter").toByteArray());
    if (sideSplitter_ && s->contains("window/sideSplitter"))
        sideSplitter_->restoreState(s->value("window/sideSplitter").toByteArray());
    const int tab = s->value("window/tab", 0).toInt();
    if (tab >= 0 && tab < app_.tabView->count()) app_.tabView->setCurrentIndex(tab);
    const int toolTab = s->value("window/toolTab", 0).toInt();
    if (toolTab >= 0 && toolTab < toolTabs->count()) toolTabs->setCurrentIndex(toolTab);
    chkLog->setChecked(s->value("histogram/logarithmic", false).toBool());
    chkOverlay->setChecked(s->value("histogram/markClipped", false).toBool());
    sldBlack->setValue(std::clamp(s->value("stretch/black", 0).toInt(), 0, kPointSteps));
    sldWhite->setValue(std::clamp(s->value("stretch/white", kPointSteps).toInt(), 0, kPointSteps));
    pouStretch->setCurrentIndex(std::clamp(s->value("stretch/mode", 0).toInt(), 0, 2));
    chkReticle->setChecked(s->value("view/reticle", false).toBool());
    if (s->value("view/oneToOne", false).toBool()) showOneToOne();
    focus->setMode(static_cast<FocusMode>(std::clamp(s->value("focus/mode", 0).toInt(), 0, 2)));
    exposure->setUnit(
        static_cast<ExposureControl::Unit>(std::clamp(s->value("exposure/unit", 1).toInt(), 0, 2)));
    sequence->spnCount->setValue(s->value("sequence/count", sequence->spnCount->value()).toInt());
    sequence->spnInterval->setValue(
        s->value("sequence/interval", sequence->spnInterval->value()).toDouble());
    sequence->pouType->setCurrentIndex(
        std::clamp(s->value("sequence/type", 0).toInt(), 0, sequence->pouType->count() - 1));
    app_.popMovie->setCurrentIndex(
        std::clamp(s->value("movie/format", 0).toInt(), 0, app_.popMovie->count() - 1));
    app_.chkSerProcessed->setChecked(s->value("movie/serProcessed", false).toBool());
    updateDisplaySettings();
}

void CaptureTools::saveSettings() {
    auto s = openSettings();
    s->setValue("window/geometry", app_._window->saveGeometry());
    if (splitter_) s->setValue("window/splitter", splitter_->saveState());
    if (sideSplitter_) s->setValue("window/sideSplitter", sideSplitter_->saveState());
    s->setValue("window/tab", app_.tabView->currentIndex());
    s->setValue("window/toolTab", toolTabs->currentIndex());
    s->setValue("histogram/logarithmic", chkLog->isChecked());
    s->setValue("histogram/markClipped", chkOverlay->isChecked());
    s->setValue("stretch/mode", pouStretch->currentIndex());
    s->setValue("stretch/black", sldBlack->value());
    s->setValue("stretch/white", sldWhite->value());
    s->setValue("view/reticle", chkReticle->isChecked());
    s->setValue("view/oneToOne", oneToOne_);
    s->setValue("focus/mode", static_cast<int>(focus->mode()));
    s->setValue("exposure/unit", static_cast<int>(exposure->unit()));
    s->setValue("sequence/count", sequence->spnCount->value());
    s->setValue("sequence/interval", sequence->spnInterval->value());
    s->setValue("sequence/type", sequence->pouType->currentIndex());
    s->setValue("movie/format", app_.popMovie->currentIndex());
    s->setValue("movie/serProcessed", app_.chkSerProcessed->isChecked());
    s->sync();
}

void CaptureTools::shutdown() {
    if (shutDown_) return;
    shutDown_ = true;
    if (timer_) timer_->stop();
    if (sequence) sequence->stop();
    if (cooler) cooler->stop();
}

} // namespace hx::app
