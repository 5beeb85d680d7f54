// Snapshot capture stepped one camera frame at a time: the series countdown and the camera's
// external snapshot mark.
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPushButton>
#include <QStatusBar>

#include <fstream>
#include <vector>

#include "AppFixture.h"
#include "recording/SerWriter.h"
#include "sim/SensorProfile.h"
#include "sim/SimCamera.h"
#include "sim/WireFormat.h"
#include "tests/FileSizeLimit.h"
#include "tests/WaitUntil.h"
#include "tests/ezImage/fits_test_util.h"
#include "tests/recording/SerLayout.h"
#include "usb/UsbDevice.h"

namespace {

/// A simulated camera whose frames the test hands out one by one, each with or without the
/// external snapshot mark. Without a frame to hand out a read finds nothing, as a camera that
/// has not finished exposing.
class SteppedCamera : public hx::sim::SimCamera {
public:
    explicit SteppedCamera(uint16_t productId)
        : SimCamera(hx::sim::findSensorProfile(productId, 0), hx::sim::makeWireFormat(productId, 0),
                    hx::sim::findSensorProfile(productId, 0).bcdDevice, hx::sim::SimOptions{}) {}

    /// From now on frames come only through release().
    void hold() { credits_ = 0; }
    /// Lets one more frame through, carrying the snapshot mark when `marked`.
    void release(bool marked) {
        marked_ = marked;
        credits_ = 1;
    }
    /// Frames flow freely again (and the live view can always stop).
    void flow() { credits_ = -1; }

    int readPipe(int pipe, unsigned char* buffer, int length, int* received) override {
        if (pipe != hx::usb::kBulkInPipe)
            return SimCamera::readPipe(pipe, buffer, length, received);
        const int credits = credits_;
        if (credits == 0) {
            if (received) *received = 0;
            return hx::usb::kUsbTimeout;
        }
        if (credits > 0 && marked_) pressSnapshotButton();
        const uint64_t before = framesDelivered();
        const int result = SimCamera::readPipe(pipe, buffer, length, received);
        if (credits > 0 && framesDelivered() != before) credits_ = 0;
        return result;
    }

private:
    std::atomic<int> credits_{-1};
    std::atomic<bool> marked_{false};
};

/// The one SER file of a directory: its 178-byte header and its size (an empty header when
/// the directory has not exactly one).
struct SerFile {
    QByteArray head;
    qint64 size = 0;
    int le32(int at) const {
        return static_cast<int>(static_cast<uint8_t>(head[at]) |
                                (static_cast<uint8_t>(head[at + 1]) << 8) |
                                (static_cast<uint8_t>(head[at + 2]) << 16) |
                                (static_cast<uint8_t>(head[at + 3]) << 24));
    }
};

SerFile onlySerFile(const QString& dir) {
    SerFile ser;
    const QStringList files = QDir(dir).entryList({"*.ser"}, QDir::Files);
    EXPECT_EQ(files.size(), 1) << files.join(' ').toStdString();
    QFile file(dir + (files.isEmpty() ? QString() : files[0]));
    if (files.size() != 1 || !file.open(QIODevice::ReadOnly)) return ser;
    ser.head = file.read(178);
    ser.size = file.size();
    return ser;
}

/// Opens the camera when a test leaves, so the controller's teardown never waits for a frame.
struct OpenOnExit {
    SteppedCamera& camera;
    ~OpenOnExit() { camera.flow(); }
};

} // namespace

class CaptureTest : public AppTest {
protected:
    /// Starts the controller on a stepped VAh200C1 (its read-out reports the snapshot mark).
    SteppedCamera& startStepped() {
        auto camera = std::make_shared<SteppedCamera>(
            static_cast<uint16_t>(hx::sim::simProductIdForClass("VAh200C1")));
        camera_ = camera.get();
        EXPECT_NE(hx::sim::SimBus::instance().plug(camera), 0u);
        start();
        EXPECT_TRUE(app_->camName.has_value());
        camera_->hold();
        return *camera_;
    }

    /// Hands out one frame and waits until the show thread has shown it and the GUI thread
    /// has run everything the two workers posted for it.
    bool step(bool marked = false) {
        const int64_t shown = app_->framesShown;
        camera_->release(marked);
        return waitFor([&] { return app_->framesShown == shown + 1; });
    }

    SteppedCamera* camera_ = nullptr;
};

TEST_F(CaptureTest, SeriesOfThreeCountsDownSavesOneNumberedFramePerFrameAndEnds) {
    SteppedCamera& camera = startStepped();
    OpenOnExit guard{camera};
    // A directory that does not exist yet is made when the capture starts.
    const QString target = shots() + "new/";
    app_->txtPath->setText(target);
    app_->intCnt->setText("3");
    app_->btnCaptureAction();
    EXPECT_EQ(app_->btnSnap->text().toStdString(), "Stop Capture");
    app_->btnLiveAction();

    const auto files = [&] { return QDir(target).entryList(QDir::Files, QDir::Name); };
    const QStringList names{"Halvex1.jpg", "Halvex2.jpg", "Halvex3.jpg"};
    const QStringList remaining{"3", "2", "1"};
    for (int frame = 0; frame < 3; ++frame) {
        ASSERT_TRUE(step()) << frame;
        // The count before the frame is shown, the frame is saved with its number in the series.
        EXPECT_EQ(app_->txtSnap->text().toStdString(), remaining[frame].toStdString()) << frame;
        EXPECT_EQ(files(), names.mid(0, frame + 1)) << frame;
        EXPECT_EQ(app_->btnSnap->text().toStdString(), "Stop Capture") << frame;
        EXPECT_TRUE(app_->bSaveImage) << frame;
    }
    // The fourth frame ends the series without a file; later frames write nothing either.
    ASSERT_TRUE(step());
    EXPECT_EQ(app_->btnSnap->text().toStdString(), "Start Capture");
    EXPECT_FALSE(app_->bSaveImage);
    EXPECT_EQ(app_->txtSnap->text().toStdString(), "1");
    ASSERT_TRUE(step());
    EXPECT_EQ(files(), names);
    EXPECT_EQ(app_->saveImageCnt, 0);
    stopLive();
}

TEST_F(CaptureTest, SnapshotMarkTogglesTheCaptureOncePerRunOfMarkedFrames) {
    SteppedCamera& camera = startStepped();
    OpenOnExit guard{camera};
    app_->txtPath->setText(shots());
    // A long series that stays armed until a toggle ends it, written in no format.
    app_->intCnt->setText("2000");
    app_->snapType = 0;

    struct Frame {
        bool marked;
        bool armedAfter;
    };
    const auto play = [&](const std::vector<Frame>& frames) {
        for (size_t i = 0; i < frames.size(); ++i) {
            ASSERT_TRUE(step(frames[i].marked)) << i;
            EXPECT_EQ(app_->bSaveImage.load(), frames[i].armedAfter) << i;
            EXPECT_EQ(app_->btnSnap->text().toStdString(),
                      frames[i].armedAfter ? "Stop Capture" : "Start Capture")
                << i;
        }
    };

    app_->btnLiveAction();
    // The first marked frame after the start toggles; an even run would undo itself if every
    // marked frame toggled. An unmarked frame re-arms the toggle.
    play({{true, true},
          {true, true},
          {false, true},
          {true, false},
          {true, false},
          {true, false},
          {true, false},
          {false, false},
          {false, false},
          {true, true},
          {false, true}});

    // A new live view toggles on its first marked frame, although the last frame before the
    // stop was marked too.
    play({{true, false}});
    stopLive();
    app_->btnLiveAction();
    play({{true, true}, {true, true}});
    stopLive();
    EXPECT_TRUE(QDir(shots()).entryList(QDir::Files).isEmpty());
}

TEST_F(CaptureTest, FitsBoxesSetTheCamerasFormatsAndARawFitsHoldsTheShownFramesMosaic) {
    SteppedCamera& camera = startStepped();
    OpenOnExit guard{camera};
    const char* n = app_->camName->c_str();
    // A new camera has JPEG only: the FITS boxes show that they are off.
    EXPECT_FALSE(app_->chkFits->isChecked());
    EXPECT_FALSE(app_->chkFitsRaw->isChecked());
    EXPECT_EQ(app_->chkFitsRaw->text().toStdString(), "Raw sensor data");
    app_->chkJpg->setChecked(false);
    app_->chkJpgAction();
    app_->chkFits->setChecked(true);
    app_->chkFitsAction();
    app_->chkFitsRaw->setChecked(true);
    app_->chkFitsRawAction();
    int formats = 0;
    ASSERT_EQ(GetImageFormat(&formats, n), 0);
    EXPECT_EQ(formats, 32 | 64);

    app_->txtPath->setText(shots());
    app_->intCnt->setText("2");
    app_->btnCaptureAction();
    app_->btnLiveAction();
    ASSERT_TRUE(step());
    const std::string fits = shots().toStdString() + "Halvex1.fits";
    ASSERT_TRUE(QFile::exists(QString::fromStdString(fits)));
    // One sample per pixel, the frame's own size, and the pattern of its mosaic.
    const hxtest::FitsImage f = hxtest::readWithCfitsio(fits);
    ASSERT_TRUE(f.ok) << f.error;
    int width = 0, height = 0;
    GetRawSize(&width, &height, n);
    EXPECT_EQ(f.axes, (std::vector<long>{width, height}));
    EXPECT_EQ(f.key("BAYERPAT"), ezBayerName(GetRawBayernPattern(n)));
    EXPECT_EQ(hxtest::fitsverifyProblems(fits), "");
    stopLive();
}

TEST_F(CaptureTest, SerMovieChoiceRecordsEveryFrameTheGrabThreadReads) {
    SteppedCamera& camera = startStepped();
    OpenOnExit guard{camera};
    app_->txtPath->setText(shots());
    QDir().mkpath(shots());
    app_->popMovie->setCurrentIndex(1);
    app_->btnAcquieMovie();
    EXPECT_EQ(app_->btnMovie->text().toStdString(), "Stop Video");
    app_->btnLiveAction();
    for (int k = 0; k < 3; ++k) ASSERT_TRUE(step()) << k;
    app_->btnAcquieMovie();
    EXPECT_EQ(app_->btnMovie->text().toStdString(), "Start Video");
    stopLive();
    const SerFile ser = onlySerFile(shots());
    ASSERT_EQ(ser.head.size(), 178);
    EXPECT_EQ(ser.head.left(14), QByteArray("LUCAM-RECORDER"));
    EXPECT_EQ(ser.le32(18), 8); // RGGB: the camera's own mosaic, unflipped
    EXPECT_GE(ser.le32(38), 3); // every frame read while recording
}

// The processed choice records what the show thread shows: 8-bit RGB of the finished image,
// one frame per frame shown, and the choice outlives a restart of the application.
TEST_F(CaptureTest, ProcessedSerRecordsTheShownImageAndIsKeptInTheSettings) {
    SteppedCamera& camera = startStepped();
    OpenOnExit guard{camera};
    app_->txtPath->setText(shots());
    QDir().mkpath(shots());
    EXPECT_FALSE(app_->chkSerProcessed->isEnabled()); // MOV: nothing to choose
    app_->popMovie->setCurrentIndex(1);
    ASSERT_TRUE(app_->chkSerProcessed->isEnabled());
    app_->chkSerProcessed->setChecked(true);
    app_->btnAcquieMovie();
    app_->btnLiveAction();
    for (int k = 0; k < 3; ++k) ASSERT_TRUE(step()) << k;
    app_->btnAcquieMovie();
    EXPECT_EQ(app_->btnMovie->text().toStdString(), "Start Video");
    stopLive();
    const std::string n = selected();
    const int index = GetResolution(n.c_str());
    const int width = GetResWidth(index, n.c_str()), height = GetResHeight(index, n.c_str());

    const SerFile ser = onlySerFile(shots());
    ASSERT_EQ(ser.head.size(), 178);
    EXPECT_EQ(ser.le32(18), 100); // RGB
    EXPECT_EQ(ser.le32(26), width);
    EXPECT_EQ(ser.le32(30), height);
    EXPECT_EQ(ser.le32(34), 8);
    EXPECT_EQ(ser.le32(38), 3); // the frames shown while recording
    // The frames, then the trailer of one time stamp per frame.
    EXPECT_EQ(ser.size, 178 + 3LL * width * height * 3 + 3 * 8);

    app_->applicationShouldTerminate();
    app_.reset();
    start();
    EXPECT_EQ(app_->popMovie->currentIndex(), 1);
    EXPECT_TRUE(app_->chkSerProcessed->isEnabled());
    EXPECT_TRUE(app_->chkSerProcessed->isChecked());
}

TEST_F(CaptureTest, SerRecordingCutOffByAFullDiskEndsAtOnceIsReportedAndKeepsItsWholeFrames) {
    SteppedCamera& camera = startStepped();
    OpenOnExit guard{camera};
    const char* n = app_->camName->c_str();
    int width = 0, height = 0;
    GetRawSize(&width, &height, n);
    const size_t frameBytes = static_cast<size_t>(width) * height * (GetRawDepth(n) > 8 ? 2 : 1);
    ASSERT_GT(frameBytes, 0u);
    app_->txtPath->setText(shots());
    QDir().mkpath(shots());
    app_->popMovie->setCurrentIndex(1);
    {
        // The disk fills in the middle of the third frame.
        hxtest::FileSizeLimit limit(hx::recording::kSerHeaderBytes + frameBytes * 5 / 2);
        ASSERT_TRUE(limit.ok());
        app_->btnAcquieMovie();
        app_->btnLiveAction();
        for (int k = 0; k < 5; ++k) ASSERT_TRUE(step()) << k;
        // The device timer's check ends the recording once the writer met the full disk,
        // without the user pressing Stop.
        EXPECT_TRUE(hxtest::waitUntil([&] {
            app_->watchRecording();
            return !app_->bSaveVideo;
        })) << "the recording went on after the disk refused a frame";
        EXPECT_EQ(app_->btnMovie->text().toStdString(), "Start Video");
        ASSERT_TRUE(step());
        app_->watchRecording(); // once ended, nothing more is said
    }
    stopLive();
    const QStringList files = QDir(shots()).entryList({"*.ser"}, QDir::Files);
    ASSERT_EQ(files.size(), 1);
    ASSERT_EQ(alerts_.size(), 1);
    EXPECT_TRUE(alerts_[0].contains(shots() + files[0])) << alerts_[0].toStdString();
    // The recording is the user's: a valid file of the two whole frames, counted so.
    const hxtest::SerFile f = hxtest::readSer((shots() + files[0]).toStdString());
    ASSERT_TRUE(f.ok);
    EXPECT_EQ(f.frames, 2);
    EXPECT_EQ(f.width, width);
    EXPECT_EQ(QFileInfo(shots() + files[0]).size(),
              static_cast<qint64>(hx::recording::kSerHeaderBytes + 2 * frameBytes));
}

TEST_F(CaptureTest, SerRecordingIntoADirectoryThatCannotBeWrittenIsRefusedOnTheStatusBar) {
    SteppedCamera& camera = startStepped();
    OpenOnExit guard{camera};
    QDir().mkpath(shots());
    // A directory below a regular file can be neither made nor written, also by root.
    std::ofstream(dir_ / "shots" / "file") << "x";
    const QString target = shots() + "file/sub/";
    app_->txtPath->setText(target);
    app_->popMovie->setCurrentIndex(1);
    app_->btnAcquieMovie();
    EXPECT_EQ(app_->btnMovie->text().toStdString(), "Start Video");
    EXPECT_FALSE(app_->bSaveVideo);
    const QString status = app_->window()->statusBar()->currentMessage();
    EXPECT_TRUE(status.contains(target)) << status.toStdString();
    EXPECT_TRUE(status.contains("cannot be written")) << status.toStdString();
    EXPECT_TRUE(alerts_.isEmpty());
}

TEST_F(CaptureTest, SnapshotThatCannotBeWrittenIsReportedOnceAndEndsTheSeries) {
    SteppedCamera& camera = startStepped();
    OpenOnExit guard{camera};
    // A directory below a regular file can be neither made nor written, also by root.
    std::ofstream(dir_ / "shots" / "file") << "x";
    const QString target = shots() + "file/sub/";
    app_->txtPath->setText(target);
    app_->intCnt->setText("3");
    app_->btnCaptureAction();
    app_->btnLiveAction();
    ASSERT_TRUE(step());
    ASSERT_TRUE(waitFor([&] { return !alerts_.isEmpty(); }));
    ASSERT_EQ(alerts_.size(), 1);
    EXPECT_TRUE(alerts_[0].contains(target + "Halvex1")) << alerts_[0].toStdString();
    EXPECT_FALSE(app_->bSaveImage);
    EXPECT_EQ(app_->btnSnap->text().toStdString(), "Start Capture");
    // Later frames neither write nor report again.
    ASSERT_TRUE(step());
    EXPECT_EQ(alerts_.size(), 1);
    EXPECT_EQ(app_->saveImageCnt, 0);

    // A single snapshot is reported the same way.
    app_->intCnt->setText("1");
    app_->btnCaptureAction();
    ASSERT_TRUE(step());
    ASSERT_TRUE(waitFor([&] { return alerts_.size() == 2; }));
    EXPECT_FALSE(app_->bSaveImage);
    stopLive();
}
