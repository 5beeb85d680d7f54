// The capture application's one controller: the window, the device list and hot-plug, the live
// view with its grab and show threads, the control panel and the snapshot controls.
#pragma once

#include <QObject>
#include <QSize>
#include <QString>
#include <QStringList>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

class QAction;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QEvent;
class QImage;
class QLabel;
class QLineEdit;
class QMainWindow;
class QMenu;
class QPushButton;
class QRadioButton;
class QScrollArea;
class QSlider;
class QSocketNotifier;
class QTabWidget;
class QTimer;
class QWidget;

namespace hx::recording {
class ezRecorder;
class LiveSerSession;
} // namespace hx::recording

namespace hx::app {

class CaptureTools;
class ImageView;
using recording::ezRecorder;
using recording::LiveSerSession;

/// The live view's hand-over record: three raw buffers that the two worker threads exchange
/// by pointer and the decoded image.
struct GenericGrabContext {
    int32_t recvSize = 0;
    int32_t recvHead = 0;
    unsigned char* recvBuf = nullptr;
    unsigned char* idleBuf = nullptr;
    unsigned char* fullBuf = nullptr;
    unsigned char* showBuf = nullptr;
    std::atomic<uint8_t> lkRun{0};
    uint8_t lkObtain = 0; ///< guarded by lkSwap
};

/// Where the controller keeps its files and which cameras it simulates at start.
struct AppOptions {
    QString documentsDir; ///< empty: the user's Documents directory
    QString desktopDir;   ///< empty: the user's Desktop directory
    QStringList simulate; ///< simulated cameras to plug before the library starts
    QString settingsFile; ///< empty: the window's settings in the user's configuration
};

/// Localised text of a key of the "InfoPlist" table; the key itself where no entry exists.
QString infoText(const char* key);
/// A snapshot directory text ending with "/" (an empty text stays empty).
QString normalisedDirectory(const QString& directory);

class AppDelegate : public QObject {
    Q_OBJECT

public:
    explicit AppDelegate(AppOptions options = {}, QObject* parent = nullptr);
    ~AppDelegate() override;

    QMainWindow* window() const { return _window; }

    // ---- start, hot-plug, selection, shutdown ----
    void applicationDidFinishLaunching();
    /// Stops live view, waits for both worker threads, releases the cameras and writes the
    /// settings file. Safe to call twice.
    void applicationShouldTerminate();
    void refreshDevices(const char* name, int code);
    QString settingsFilePath() const { return documentsPath_ + "PhotosPath.txt"; }
    QString documentsPath() const { return documentsPath_; }

    // ---- live view ----
    bool initGrabContext();
    void exitGrabContext();
    bool liveRunning() const { return ctxGrab.lkRun.load() != 0 || grab_.joinable(); }

    // ---- control panel ----
    void refreshUI();
    /// Shows the camera's colour enhancement, defect correction and flat-field switches (also
    /// after its parameters were restored).
    void showProcessingStates();

    // ---- controls (object names as the members) ----
    QMainWindow* _window = nullptr;
    ImageView* pView = nullptr;
    QScrollArea* viewArea = nullptr;
    QTabWidget* tabView = nullptr;
    QWidget* tabItemColr = nullptr;
    QComboBox* pouDev = nullptr;
    QLabel* txtDev = nullptr;
    QPushButton* btnLive = nullptr;
    QLabel* txtFPS = nullptr;
    QComboBox *pouRes = nullptr, *pouSav = nullptr, *pouClk = nullptr;
    QWidget* radBit = nullptr;
    QRadioButton *radBit8 = nullptr, *radBit16 = nullptr;
    QSlider* sldGain = nullptr;
    QLineEdit* txtGain = nullptr;
    QSlider* sldTime = nullptr;
    QLineEdit* txtTime = nullptr;
    QCheckBox* chkAE = nullptr;
    QPushButton* btnRestart = nullptr;
    QSlider* sldBlvl = nullptr;
    QLineEdit* txtBlvl = nullptr;
    QLabel* tilBlvl = nullptr;
    QPushButton* btnReset = nullptr;
    QSlider *sldGamma = nullptr, *sldContrast = nullptr, *sldSaturation = nullptr;
    QLineEdit *txtGamma = nullptr, *txtContrast = nullptr, *txtSaturation = nullptr;
    QCheckBox *chkMono = nullptr, *chkColor = nullptr, *chkDead = nullptr, *chkHF = nullptr,
              *chkVF = nullptr;
    QPushButton* btnWB = nullptr;
    QLabel* txtWB = nullptr;
    QSlider *sldRed = nullptr, *sldGreen = nullptr, *sldBlue = nullptr;
    QLineEdit *txtRed = nullptr, *txtGreen = nullptr, *txtBlue = nullptr;
    QPushButton *btnIn = nullptr, *btnOut = nullptr, *btnRestore = nullptr;
    QLineEdit *txtPath = nullptr, *txtfileName = nullptr;
    QPushButton* btnBrowse = nullptr;
    QLineEdit* intCnt = nullptr;
    QLabel* txtSnap = nullptr;
    QCheckBox *chkRaw = nullptr, *chkTif = nullptr, *chkPng = nullptr, *chkJpg = nullptr,
              *chkBmp = nullptr;
    QCheckBox *chkFits = nullptr, *chkFitsRaw = nullptr;
    QComboBox* popMovie = nullptr; ///< what the movie button records: MOV or SER
    /// SER only: record the finished image as the live view shows it (8-bit grey or RGB)
    /// instead of the sensor samples.
    QCheckBox* chkSerProcessed = nullptr;
    QPushButton* btnSnap = nullptr;
    QPushButton* btnMovie = nullptr;
    QCheckBox* chkFF = nullptr;
    QPushButton* btnFF = nullptr;
    QCheckBox* chkDark = nullptr;
    QPushButton* btnDark = nullptr;
    QComboBox* popDark = nullptr;
    QMenu* menuSimulate = nullptr;
    QMenu* menuUnplug = nullptr;

    // ---- state ----
    std::optional<std::string> camName;
    int32_t cntDevConnect = 0;
    std::atomic<int32_t> cntRunDevLeft{0};
    GenericGrabContext ctxGrab;
    int32_t zoomVal = 1;
    std::atomic<int32_t> snapType{31};
    std::atomic<bool> bSaveVideo{false};
    /// The open movie writer while bSaveVideo is set. The show thread takes its own reference
    /// for each append; destroying the controller at quit closes an open movie properly.
    std::atomic<std::shared_ptr<ezRecorder>> recorder;
    /// The open SER recording while bSaveVideo is set: the grab thread hands it every frame it
    /// reads, or, for a processed recording, the show thread every frame it shows.
    std::atomic<std::shared_ptr<LiveSerSession>> serRecording;
    /// The directory the SER recording goes to (GUI thread only).
    std::string serDirectory_;
    /// Finishes an open movie (its index is written only on close); called at quit.
    void closeOpenMovie();
    std::atomic<bool> bCalcDark{false};
    std::atomic<int32_t> darkRedus{0};
    std::atomic<int32_t> darkFrameCnt{5};
    std::array<std::atomic<int32_t>, 20> darkAry{};
    std::atomic<bool> bSaveImage{false};
    std::atomic<int32_t> saveImageCnt{0};
    std::atomic<int32_t> dustm{0};
    int32_t flipType = 0;
    int32_t red = 64, green = 64, blue = 64;
    float fmin = 0.f, fmax = 0.f, fstp = 1.f;

    /// Frames shown since live view started (for tests and the status line).
    std::atomic<int64_t> framesShown{0};
    /// Frames the grab thread replaced in the hand-over before the show thread took them,
    /// since live view started.
    std::atomic<int64_t> framesDropped{0};
    /// Histogram, stretch, view, focus, status, exposure, cooling, sequences, shortcuts.
    CaptureTools* tools() const { return tools_.get(); }
    /// Takes each shown 8-bit frame while bSaveVideo is set (pixels, width, height, channels);
    /// runs on the show thread.
    std::function<void(const unsigned char*, int, int, int)> appendMovieFrame;
    /// Shows a modal alert with one button; null: a message box on the window.
    std::function<void(const QString&)> showAlert;

public slots:
    void devChangeAction();
    void btnLiveAction();
    // control panel
    void resChangeAction();
    void savChangeAction() {}
    void clkChangeAction();
    void radBitAction();
    void sldGainAction();
    void sldTimeAction();
    void txtTimeAction();
    void chkAEAction();
    void btnRestartAction();
    void sldBklvlAction();
    void btnResetAction();
    void sldGammaAction();
    void sldContrastAction();
    void sldSaturationAction();
    void chkMonoAction();
    void chkColorAction();
    void chkDeadCorrectAction();
    void chkHFlipAction();
    void chkVFlioAction();
    void sldRedAction();
    void sldGreenAction();
    void sldBlueAction();
    void btnWBAction();
    void btnInAction();
    void btnOutAction();
    void btnRestoreAction();
    // snapshots, dark frames and files
    void btnCaptureAction();
    void txtIntAction();
    void chkRawAction() { formatBoxAction(chkRaw, 1); }
    void chkTifAction() { formatBoxAction(chkTif, 2); }
    void chkPngAction() { formatBoxAction(chkPng, 4); }
    void chkJpgAction() { formatBoxAction(chkJpg, 8); }
    void chkBmpAction() { formatBoxAction(chkBmp, 16); }
    void chkFitsAction() { formatBoxAction(chkFits, 32); }
    void chkFitsRawAction() { formatBoxAction(chkFitsRaw, 64); }
    void btnBrowseAction();
    void btnDarkAction();
    void chkDarkAction() {}
    void darkChangeAction() {}
    void chkFFAction();
    void btnFFAction();
    /// Starts and stops movie recording; the recorder fills it in.
    void btnAcquieMovie();
    /// Called by the device timer: ends a SER recording the disk no longer takes and says so.
    void watchRecording();
    void miniaturize() {}
    void deminiaturize() {}
    /// Sets the snapshot directory as a confirmed directory choice does.
    void chooseDirectory(const QString& path);
    /// Normalises the directory in txtPath and reports at once when files cannot go there.
    void directoryEntered();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

    /// Why files cannot be saved into the directory, or an empty text when they can.
    QString directoryProblem(const QString& directory) const;
    /// Shows a message in the window's status line; an empty text clears it.
    void tell(const QString& message);

private:
    friend class CaptureTools;
    void buildWindow();
    void buildSimulateMenu();
    void fillUnplugMenu();
    void pumpDevices();
    void afterExposureChange(int sliderMinimum);
    void endExposureHold();
    void showExposureRange(int sliderMinimum);
    void showBitDepth(int clock);
    void showChannelGains();
    void channelGainAction(QSlider* slider, QLineEdit* text, int32_t& member);
    void formatBoxAction(QCheckBox* box, int bit);
    void layoutView();
    /// Copies the newest raw frame under lkSwap so a calculation sees a frame no thread changes.
    bool copyIdleFrame(std::unique_ptr<unsigned char[]>& copy);

    // worker threads
    void grabThread();
    void showThread();
    void stopWorkers();
    void liveEnded();
    void showFrame(const std::string& name);
    void saveSnapshot(const std::string& name);
    void postImage(QImage image);
    void postCaptureTitle();
    void snapshotFailed(const QString& path);
    void alert(const QString& text);
    void post(std::function<void()> function);
    Q_INVOKABLE void drainPosted();

    AppOptions options_;
    std::unique_ptr<CaptureTools> tools_;
    QString documentsPath_;
    QSocketNotifier* notifier_ = nullptr;
    QTimer* pumpTimer_ = nullptr;
    bool started_ = false;
    bool terminated_ = false;

    std::mutex lkSwap;
    std::condition_variable frameReady_;
    std::thread grab_, show_;
    std::string liveName_; ///< the camera the worker threads use
    std::atomic<uint8_t> flgShow{0};
    int32_t cntFrame = 0;
    int64_t tmStartUs = 0;

    // Control state mirrored for the worker threads, which never read widgets.
    std::mutex textLock_;
    QString snapDir_, snapPrefix_;
    std::atomic<int32_t> snapCount_{1};
    std::atomic<bool> darkOn_{false};
    std::atomic<int32_t> darkLength_{5}; ///< length of the running calibration, fixed at its start

    size_t showSize_ = 0; ///< bytes of showBuf

    std::mutex postLock_;
    std::deque<std::function<void()>> posted_;
    bool wakePending_ = false;

    std::mutex imageLock_;
    std::unique_ptr<QImage> pendingImage_;
    bool imagePosted_ = false;
    bool exposureHeld_ = false;           ///< exposure input waits for the new range
    std::optional<QString> heldExposure_; ///< text typed while held
    int settleSerial_ = 0;                ///< the pending range re-read, if it matches
    QSize lastImageSize_;
};

} // namespace hx::app
