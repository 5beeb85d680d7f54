// Live view: the grab thread reads raw frames, the show thread decodes, corrects, saves and
// shows the newest one. The two meet in the grab context; lkSwap guards the pointer exchanges.
#include <QComboBox>
#include <QDateTime>
#include <QImage>
#include <QLabel>
#include <QMetaObject>
#include <QPushButton>
#include <QScrollArea>

#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>

#include "app/AppDelegate.h"
#include "app/ImageView.h"
#include "app/tools/CaptureTools.h"
#include "camera/CamApi.h"
#include "ezImage/FreeFileName.h"
#include "recording/LiveSer.h"

namespace hx::app {

namespace {

/// Room after the decoded pixels for the statistics area the processing chain writes there.
constexpr size_t kShowBufReserve = 8192;
/// Failed reads in a row after which the grab thread starts to pause between reads.
constexpr int kFailuresBeforeBackoff = 3;
constexpr auto kBackoff = std::chrono::milliseconds(20);

/// The fields of a one-buffer image record that the show thread reads.
struct RecordView {
    int width = 0, height = 0, depth = 0, channels = 0, headerSize = 0;
    size_t samples = 0; ///< width * height * channels
    unsigned char* pixels = nullptr;
};

uint16_t readU16(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

/// Reads and checks the decoded record at the start of buf: known magic, depth and channel
/// count, and pixels that lie inside the buffer. Anything else is not shown.
bool readRecord(unsigned char* buf, size_t size, RecordView& view) {
    if (size < 56 || std::memcmp(buf, "QREZ", 4) != 0) return false;
    view.width = readU16(buf + 4);
    view.height = readU16(buf + 6);
    view.depth = buf[8];
    view.channels = buf[9];
    view.headerSize = readU16(buf + 12);
    if ((view.depth != 8 && view.depth != 16) || (view.channels != 1 && view.channels != 3) ||
        view.headerSize < 56)
        return false;
    view.samples = static_cast<size_t>(view.width) * view.height * view.channels;
    const size_t bytes = view.samples * (view.depth == 16 ? 2 : 1);
    if (view.headerSize + bytes > size) return false;
    view.pixels = buf + view.headerSize;
    return true;
}

int64_t wallMicroseconds() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return static_cast<int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec;
}

} // namespace

// ---- grab context ----------------------------------------------------------------------------

/// Sizes the buffers for the selected camera: three raw buffers of RecvMemSize bytes and the
/// decoded image at three times that. Buffers start cleared, so a calculation on a buffer that
/// never received a frame sees no record and fails cleanly.
bool AppDelegate::initGrabContext() {
    if (!camName || liveRunning()) return false;
    ctxGrab.lkObtain = 0;
    ctxGrab.recvHead = DataHeadLen(camName->c_str());
    ctxGrab.recvSize = RecvMemSize(camName->c_str());
    if (ctxGrab.recvSize <= 0) return false;
    const size_t raw = static_cast<size_t>(ctxGrab.recvSize);
    for (unsigned char** buf : {&ctxGrab.recvBuf, &ctxGrab.idleBuf, &ctxGrab.fullBuf}) {
        std::free(*buf);
        *buf = static_cast<unsigned char*>(std::calloc(raw, 1));
        if (!*buf) return false;
    }
    std::free(ctxGrab.showBuf);
    showSize_ = 3 * raw + kShowBufReserve;
    ctxGrab.showBuf = static_cast<unsigned char*>(std::calloc(showSize_, 1));
    return ctxGrab.showBuf != nullptr;
}

void AppDelegate::exitGrabContext() {
    if (liveRunning()) return;
    for (unsigned char** buf :
         {&ctxGrab.recvBuf, &ctxGrab.idleBuf, &ctxGrab.fullBuf, &ctxGrab.showBuf}) {
        std::free(*buf);
        *buf = nullptr;
    }
    showSize_ = 0;
}

bool AppDelegate::copyIdleFrame(std::unique_ptr<unsigned char[]>& copy) {
    if (ctxGrab.recvSize <= 0) return false;
    copy.reset(new (std::nothrow) unsigned char[static_cast<size_t>(ctxGrab.recvSize)]);
    if (!copy) return false;
    // The hand-over slot is exchanged by the workers under the lock, so it is read under it too.
    std::lock_guard lock(lkSwap);
    if (!ctxGrab.idleBuf) return false;
    std::memcpy(copy.get(), ctxGrab.idleBuf, static_cast<size_t>(ctxGrab.recvSize));
    return true;
}

// ---- start and stop --------------------------------------------------------------------------

void AppDelegate::btnLiveAction() {
    if (!camName) return;
    if (btnLive->text() == infoText("Live")) {
        if (grab_.joinable() || show_.joinable() || !ctxGrab.recvBuf || !ctxGrab.showBuf) return;
        btnLive->setText(infoText("Stop"));
        pouDev->setEnabled(false);
        cntFrame = 0;
        framesDropped = 0;
        tmStartUs = wallMicroseconds();
        liveName_ = *camName;
        {
            std::lock_guard lock(lkSwap);
            ctxGrab.lkRun = 1;
            ctxGrab.lkObtain = 0;
        }
        // Set before either thread runs, so the grab thread cannot finish before the show
        // thread has even started.
        flgShow = 1;
        show_ = std::thread(&AppDelegate::showThread, this);
        grab_ = std::thread(&AppDelegate::grabThread, this);
    } else {
        stopWorkers();
    }
}

/// Tells both worker threads to leave. The grab thread may be inside a frame read that lasts
/// for the rest of a long exposure: that read is ended through the library, so stopping never
/// waits the exposure out.
void AppDelegate::stopWorkers() {
    {
        std::lock_guard lock(lkSwap);
        ctxGrab.lkRun = 0;
    }
    frameReady_.notify_all();
    if (grab_.joinable()) CancelRawData(liveName_.c_str());
}

/// Runs on the GUI thread once both workers have left: restores the live button and the
/// device list and, when the selected camera went away meanwhile, selects the next one.
void AppDelegate::liveEnded() {
    if (show_.joinable()) show_.join();
    if (grab_.joinable()) grab_.join();
    if (terminated_) return;
    btnLive->setText(infoText("Live"));
    pouDev->setEnabled(true);
    if (cntRunDevLeft > 0) {
        --cntRunDevLeft;
        if (cntDevConnect > 0) {
            pouDev->setCurrentIndex(0);
            devChangeAction();
        } else {
            camName.reset();
            refreshUI();
        }
    }
}

// ---- grab thread -----------------------------------------------------------------------------

void AppDelegate::grabThread() {
    const std::string name = liveName_;
    bool snapEdge = true;
    int failures = 0;
    while (ctxGrab.lkRun) {
        const int r = GetRawData(ctxGrab.recvBuf, ctxGrab.recvSize, name.c_str());
        if (r != 0 && r != 1) {
            // No usable frame. A camera that keeps failing (unplugged, stalled) is not hammered.
            if (++failures >= kFailuresBeforeBackoff) std::this_thread::sleep_for(kBackoff);
            continue;
        }
        failures = 0;
        // A SER recording takes every frame read, before the hand-over may drop it.
        if (std::shared_ptr<LiveSerSession> ser = serRecording.load(); ser && !ser->processed())
            ser->addRawFrame(ctxGrab.recvBuf, static_cast<size_t>(ctxGrab.recvSize));
        if (r == 1) {
            if (snapEdge) {
                post([this] { btnCaptureAction(); });
                snapEdge = false;
            }
        } else {
            snapEdge = true;
        }
        {
            std::lock_guard lock(lkSwap);
            // A frame still waiting in the slot is replaced, never queued: count it.
            if (ctxGrab.lkObtain == 1) ++framesDropped;
            std::swap(ctxGrab.recvBuf, ctxGrab.idleBuf);
            ctxGrab.lkObtain = 1;
        }
        frameReady_.notify_one();
    }
    {
        std::unique_lock lock(lkSwap);
        frameReady_.wait(lock, [this] { return flgShow == 0; });
    }
    post([this] { liveEnded(); });
}

// ---- show thread -----------------------------------------------------------------------------

void AppDelegate::showThread() {
    std::printf("Show thread enter!\n");
    std::fflush(stdout);
    const std::string name = liveName_;
    while (ctxGrab.lkRun) {
        {
            std::unique_lock lock(lkSwap);
            frameReady_.wait_for(lock, std::chrono::milliseconds(200),
                                 [this] { return ctxGrab.lkObtain == 1 || ctxGrab.lkRun == 0; });
            if (ctxGrab.lkObtain != 1) continue;
            std::swap(ctxGrab.idleBuf, ctxGrab.fullBuf);
            ctxGrab.lkObtain = 0;
        }
        showFrame(name);
    }
    std::printf("Show thread left!\n");
    std::fflush(stdout);
    {
        std::lock_guard lock(lkSwap);
        flgShow = 0;
    }
    frameReady_.notify_all();
}

/// One shown frame: decode, dark calibration and subtraction, snapshot, 8-bit reduction,
/// display, movie and frame rate.
void AppDelegate::showFrame(const std::string& name) {
    unsigned char* const showBuf = ctxGrab.showBuf;
    if (DecodeRaw2Image(ctxGrab.fullBuf, showBuf, name.c_str()) < 0) return;
    RecordView rec;
    if (!readRecord(showBuf, showSize_, rec)) return;
    const size_t n = rec.samples;
    const size_t step = rec.depth == 16 ? 2 : 1;
    unsigned char* msb = rec.pixels + (step - 1);

    // Dark calibration over the length chosen when it started.
    if (bCalcDark) {
        const int length = darkLength_;
        const int left = --darkFrameCnt;
        CalcAverage(showBuf);
        const int level =
            (readU16(showBuf + 50) + 6 * readU16(showBuf + 52) + 3 * readU16(showBuf + 54)) / 10;
        const int index = length - 1 - left;
        if (index >= 0 && index < static_cast<int>(darkAry.size())) darkAry[index] = level;
        if (left <= 0) {
            int sum = 0;
            for (auto& v : darkAry) sum += v;
            darkRedus = sum / length;
            bCalcDark = false;
        }
    }

    // Dark subtraction on the most significant byte of every sample, never below 0.
    if (darkOn_ && darkAry[0] != 0 && n != 0) {
        const int redus = darkRedus;
        for (size_t i = 0; i < n; ++i) {
            const int v = msb[i * step] - redus;
            msb[i * step] = static_cast<unsigned char>(std::clamp(v, 0, 255));
        }
    }

    if (bSaveImage) saveSnapshot(name);
    tools_->frameShown(showBuf, name);

    // The picture shown is made from the full-depth samples before they are reduced; the
    // display stretch and the clipping marks touch only this copy.
    if (n != 0) {
        QImage image = tools_->renderFrame(
            FrameView{rec.pixels, rec.width, rec.height, rec.depth, rec.channels});
        if (!image.isNull()) postImage(std::move(image));
    }

    // Reduce to 8 bits in place: the most significant byte of sample i moves to byte i. A
    // processed SER recording takes the frame and makes the same reduction.
    std::shared_ptr<LiveSerSession> ser = serRecording.load();
    if (ser && ser->processed())
        ser->addFinishedFrame(showBuf, showSize_);
    else if (step == 2)
        for (size_t i = 0; i < n; ++i) rec.pixels[i] = rec.pixels[2 * i + 1];

    if (bSaveVideo && appendMovieFrame)
        appendMovieFrame(rec.pixels, rec.width, rec.height, rec.channels);

    ++framesShown;
    if (cntFrame++ >= 9) {
        const int64_t now = wallMicroseconds();
        const int64_t secs = now / 1000000 - tmStartUs / 1000000;
        const int64_t usecs = now % 1000000 - tmStartUs % 1000000;
        dustm = static_cast<int32_t>(secs * 1000 + usecs / 1000);
        const QString text = QString::asprintf("%.2f fps", 10000.0 / dustm);
        post([this, text] { txtFPS->setText(text); });
        tmStartUs = now;
        cntFrame = 0;
    }
}

/// Saves the snapshot of this frame: one file set named with the date and time for a count of
/// 1, else frame k of n named with k; the capture ends by itself after the last one.
void AppDelegate::saveSnapshot(const std::string& name) {
    const int count = snapCount_;
    QString path;
    {
        std::lock_guard lock(textLock_);
        path = normalisedDirectory(snapDir_) + snapPrefix_;
    }
    // An earlier snapshot of the same name (from this run or an earlier one) is never replaced.
    const int formats = snapType;
    auto freePath = [formats](const QString& stem) {
        return hx::files::freeSnapshotStem(stem.toStdString(), formats);
    };
    const auto started = std::chrono::system_clock::now();
    // A raw FITS file holds the frame as read, which the show thread still has; every other
    // file the shown image. The result is the first failure of the two saves.
    auto save = [this, formats, &name](const std::string& stem) {
        const int rawFits = (formats & 32) && (formats & 64) ? (32 | 64) : 0;
        int r = 0;
        if (formats & ~rawFits)
            r = SaveFile(ctxGrab.showBuf, stem.c_str(), formats & ~rawFits, name.c_str());
        if (rawFits) {
            const int raw = SaveFile(ctxGrab.fullBuf, stem.c_str(), rawFits, name.c_str());
            if (r == 0) r = raw;
        }
        return r;
    };
    if (count == 1) {
        path += QDateTime::currentDateTime().toString(QStringLiteral("MMddHHmmss"));
        const std::string stem = freePath(path);
        const int saved = save(stem);
        tools_->snapshotSaved(QString::fromStdString(stem), formats, saved, started);
        bSaveImage = false;
        postCaptureTitle();
        if (saved != 0) snapshotFailed(QString::fromStdString(stem));
    } else if (saveImageCnt > 0) {
        const QString remaining = QString::number(saveImageCnt.load());
        post([this, remaining] { txtSnap->setText(remaining); });
        const int left = --saveImageCnt;
        path += QString::number(count - left);
        const std::string stem = freePath(path);
        const int saved = save(stem);
        tools_->snapshotSaved(QString::fromStdString(stem), formats, saved, started);
        if (saved != 0) {
            // A disk that is full or a directory that cannot be written fails every later
            // frame too: the series ends here, and the user is told once.
            saveImageCnt = 0;
            bSaveImage = false;
            postCaptureTitle();
            snapshotFailed(QString::fromStdString(stem));
        }
    } else {
        bSaveImage = false;
        postCaptureTitle();
    }
}

/// Tells the user, on the GUI thread, that the files of a snapshot could not all be written
/// (those that could stay where they are).
void AppDelegate::snapshotFailed(const QString& path) {
    post([this, path] {
        alert(infoText("The snapshot could not be saved:") + QLatin1Char(' ') + path);
    });
}

/// The capture button's title follows the armed state as it is when the GUI gets to it, so a
/// press in between is not overwritten by a stale title.
void AppDelegate::postCaptureTitle() {
    post([this] { btnSnap->setText(infoText(bSaveImage ? "Stop Capture" : "Start Capture")); });
}

/// Runs a function on the GUI thread, after every function posted before it. The functions
/// travel through our own locked queue; Qt only carries the wake-up, which holds no data.
void AppDelegate::post(std::function<void()> function) {
    bool wake = false;
    {
        std::lock_guard lock(postLock_);
        posted_.push_back(std::move(function));
        wake = !wakePending_;
        wakePending_ = true;
    }
    if (wake) QMetaObject::invokeMethod(this, "drainPosted", Qt::QueuedConnection);
}

void AppDelegate::drainPosted() {
    std::deque<std::function<void()>> batch;
    {
        std::lock_guard lock(postLock_);
        batch.swap(posted_);
        wakePending_ = false;
    }
    for (auto& function : batch) function();
}

/// Hands a frame to the GUI thread. Only the newest waits there: a frame that arrives before
/// the previous one was painted replaces it.
void AppDelegate::postImage(QImage image) {
    std::lock_guard lock(imageLock_);
    pendingImage_ = std::make_unique<QImage>(std::move(image));
    if (imagePosted_) return;
    imagePosted_ = true;
    post([this] {
        std::unique_ptr<QImage> next;
        {
            std::lock_guard lock(imageLock_);
            next = std::move(pendingImage_);
            imagePosted_ = false;
        }
        if (!next) return;
        const QSize size = next->size();
        pView->setImage(std::move(*next));
        if (size != lastImageSize_) {
            lastImageSize_ = size;
            layoutView();
        }
    });
}

/// The view fills the free space at the frame's aspect ratio, times the zoom factor; the
/// scroll area scrolls when it is larger than its area.
void AppDelegate::layoutView() {
    // The area without scroll bars, so that bars appearing at a zoom do not change the base.
    const QSize area = viewArea->maximumViewportSize();
    QSize base = lastImageSize_.isEmpty() ? area : lastImageSize_.scaled(area, Qt::KeepAspectRatio);
    // At 100 % one image pixel is one screen pixel (times the zoom).
    if (tools_ && tools_->oneToOne() && !lastImageSize_.isEmpty()) base = lastImageSize_;
    if (base.isEmpty()) base = QSize(1, 1);
    pView->resize(base * zoomVal);
}

} // namespace hx::app
