// The capture window's working tools beside the controller's own controls: the histogram and
// display stretch, the 100 % and fit views with the cursor read-out and reticle, the focus aid,
// the status bar, the exposure control for long exposures, the cooler panel, sequences, the
// keyboard shortcuts and the settings remembered across restarts. The controller owns one and
// feeds it from the show thread; its results reach the widgets through the controller's
// ordered queue.
#pragma once

#include <QImage>
#include <QObject>
#include <QRect>
#include <QString>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "app/tools/DisplayPipeline.h"

class QCheckBox;
class QComboBox;
class QFormLayout;
class QGridLayout;
class QLabel;
class QPushButton;
class QSettings;
class QSlider;
class QSplitter;
class QTimer;
class QTabWidget;
class QWidget;

namespace hx::app {

class AppDelegate;
class CoolerPanel;
class ExposureControl;
class FocusAid;
class HistogramView;
class SequenceRunner;
class StatusBar;

class CaptureTools : public QObject {
    Q_OBJECT

public:
    explicit CaptureTools(AppDelegate& app);
    ~CaptureTools() override;

    // ---- building the window (called by the controller while it lays the window out) ----
    /// The "100 %" and "Fit" buttons beside the zoom buttons.
    void addViewButtons(QGridLayout* grid, int row);
    /// The exposure entry with units, the logarithmic slider and the long-exposure progress.
    void addExposureRow(QFormLayout* cameraForm);
    /// The histogram and the tool pages under the control pages.
    void addPanels(QSplitter* side);
    void setSplitters(QSplitter* main, QSplitter* side) {
        splitter_ = main;
        if (side) sideSplitter_ = side;
    }
    /// Shortcuts, the status bar and the timers; once the window is complete.
    void finishWindow();

    // ---- the show thread ----
    /// The picture shown for a decoded frame; reports reach the widgets through the queue.
    QImage renderFrame(const FrameView& frame);
    /// After the snapshot step, with the decoded image at full depth: the sequence's frames.
    void frameShown(unsigned char* image, const std::string& camera);
    /// A snapshot was handed to SaveFile with this path and format bits, which answered result.
    void snapshotSaved(const QString& path, int formats, int result,
                       std::chrono::system_clock::time_point started);

    // ---- the GUI thread ----
    void cameraChanged();
    /// The view shows one image pixel per screen pixel (times the zoom).
    bool oneToOne() const { return oneToOne_; }
    void showOneToOne();
    void showFit();
    void restoreSettings();
    void saveSettings();
    /// Stops the tools' own threads and timers; before the cameras go away.
    void shutdown();

    // ---- widgets, public for the tests ----
    HistogramView* histogram = nullptr;
    QCheckBox* chkLog = nullptr;
    QLabel* txtClipped = nullptr;
    QCheckBox* chkOverlay = nullptr;
    QComboBox* pouStretch = nullptr;
    QSlider *sldBlack = nullptr, *sldWhite = nullptr;
    QLabel *txtBlack = nullptr, *txtWhite = nullptr;
    QCheckBox* chkReticle = nullptr;
    QPushButton *btnOneToOne = nullptr, *btnFit = nullptr;
    StatusBar* status = nullptr;
    FocusAid* focus = nullptr;
    ExposureControl* exposure = nullptr;
    CoolerPanel* cooler = nullptr;
    SequenceRunner* sequence = nullptr;
    QWidget* displayPage = nullptr;
    QTabWidget* toolTabs = nullptr;

    DisplayPipeline display;
    /// Reports applied to the widgets so far.
    int64_t reportsShown() const { return reportsShown_; }
    /// Samples of the frame last reported (cursor read-out).
    std::shared_ptr<const FrameSamples> lastSamples() const { return lastSamples_; }
    /// The read-out for an image pixel of the last reported frame.
    QString pixelText(QPoint pixel) const;

private:
    void applyReport(FrameReport report);
    void updateDisplaySettings();
    void tick();
    QString settingsPath() const;
    std::unique_ptr<QSettings> openSettings() const;

    AppDelegate& app_;
    QSplitter* splitter_ = nullptr;
    QSplitter* sideSplitter_ = nullptr;
    QTimer* timer_ = nullptr;
    bool oneToOne_ = false;
    int64_t reportsShown_ = 0;
    std::shared_ptr<const FrameSamples> lastSamples_;
    std::array<int, 3> lastFrameSize_{}; ///< width, height, depth of the last reported frame
    QRect focusBox_;                     ///< chosen on the image; null: the default box

    // Status bar bookkeeping (GUI thread).
    int64_t lastFramesShown_ = 0;
    std::chrono::steady_clock::time_point lastRateTime_{};
    std::chrono::steady_clock::time_point recordingSince_{};
    bool wasRecording_ = false;
    int64_t shown_ = 0;                                    ///< frames shown at the last tick
    std::chrono::steady_clock::time_point frameArrived_{}; ///< when the last frame was shown
    bool liveWas_ = false;
    int ticks_ = 0;
    bool shutDown_ = false;
};

} // namespace hx::app
