// Snapshot, file-format, directory, dark-frame and flat-field controls. They only arm things;
// the show thread does the work.
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMainWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryFile>

#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>

#include "app/AppDelegate.h"
#ifdef HALVEX_HAVE_RECORDER
#include "recording/ezRecorder.h"
#endif
#include "camera/CamApi.h"
#include "ezImage/FreeFileName.h"
#include "recording/LiveSer.h"

namespace hx::app {

void AppDelegate::btnCaptureAction() {
    if (!camName) return;
    txtIntAction();
    if (bSaveImage) {
        bSaveImage = false;
        btnSnap->setText(infoText("Start Capture"));
    } else {
        // The default directory (the Desktop) may not exist yet; snapshots would be lost.
        const QString directory = normalisedDirectory(txtPath->text());
        if (directory != txtPath->text()) txtPath->setText(directory);
        if (!directory.isEmpty()) QDir().mkpath(directory);
        saveImageCnt = intCnt->text().trimmed().toInt();
        bSaveImage = true;
        btnSnap->setText(infoText("Stop Capture"));
    }
}

/// The count is kept within 0 to 2000; a negative count means one snapshot.
void AppDelegate::txtIntAction() {
    int v = intCnt->text().trimmed().toInt();
    if (v > 2000)
        v = 2000;
    else if (v < 0)
        v = 1;
    saveImageCnt = v;
    intCnt->setText(QString::number(v));
}

void AppDelegate::formatBoxAction(QCheckBox* box, int bit) {
    if (!camName) return;
    snapType = box->isChecked() ? (snapType | bit) : (snapType & ~bit);
    SetImageFormat(snapType, camName->c_str());
}

/// A window-modal directory chooser; the directory is taken when the user confirms.
void AppDelegate::btnBrowseAction() {
    auto* dialog = new QFileDialog(_window);
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setOption(QFileDialog::ShowDirsOnly, true);
    // The chooser opens where snapshots go now.
    if (QDir(txtPath->text()).exists()) dialog->setDirectory(txtPath->text());
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QFileDialog::fileSelected, this, &AppDelegate::chooseDirectory);
    dialog->open();
}

void AppDelegate::chooseDirectory(const QString& path) {
    if (path.isEmpty()) return;
    QString text = path + '/';
    const QString scheme = QStringLiteral("file://localhost");
    const int at = text.indexOf(scheme);
    if (at >= 0) text.remove(0, at + scheme.size());
    txtPath->setText(text);
    directoryEntered();
}

/// Snapshot names are the directory text and the prefix joined as they stand, so a directory
/// always ends with its separator.
QString normalisedDirectory(const QString& directory) {
    if (directory.isEmpty() || directory.endsWith('/')) return directory;
    return directory + '/';
}

namespace {

/// True when a file can be created in an existing directory.
bool canCreateFilesIn(const QString& directory) {
    QTemporaryFile probe(directory + QStringLiteral(".halvex-probe-XXXXXX"));
    return probe.open();
}

} // namespace

/// Why files cannot be saved into a directory text, or nothing when they can. A directory that
/// does not exist yet is fine when it can be made: captures and movies make it.
QString AppDelegate::directoryProblem(const QString& directory) const {
    if (directory.isEmpty()) return QString();
    // Looked at without its separator, so that a regular file of this name is seen as one.
    QString bare = directory;
    while (bare.size() > 1 && bare.endsWith('/')) bare.chop(1);
    const QFileInfo info(bare);
    if (info.exists()) {
        if (!info.isDir()) return infoText("%1 is not a directory").arg(directory);
        if (!canCreateFilesIn(directory)) return infoText("%1 cannot be written").arg(directory);
        return QString();
    }
    // The nearest part of the path that exists decides whether the rest can be made: it must
    // be a directory one can write in (a regular file on the way stops it).
    QString base = info.absoluteFilePath();
    while (!QFileInfo::exists(base)) {
        const QString up = QFileInfo(base).absolutePath();
        if (up == base) break;
        base = up;
    }
    if (!QFileInfo(base).isDir() || !canCreateFilesIn(normalisedDirectory(base)))
        return infoText("%1 cannot be created").arg(directory);
    return QString();
}

/// The directory was typed, chosen or loaded: it gets its separator, and the user hears at once
/// when files cannot be saved there.
void AppDelegate::directoryEntered() {
    const QString text = normalisedDirectory(txtPath->text());
    if (text != txtPath->text()) txtPath->setText(text);
    const QString problem = directoryProblem(text);
    if (!problem.isEmpty())
        tell(problem);
    else if (!text.isEmpty() && !QFileInfo::exists(text))
        tell(infoText("%1 does not exist yet; it is made with the first snapshot or movie")
                 .arg(text));
    else
        tell(QString());
}

/// A message in the window's status line (and the system log); an empty text clears it.
void AppDelegate::tell(const QString& message) {
    if (!message.isEmpty()) syslog(LOG_NOTICE, "%s", qPrintable(message));
    if (message.isEmpty())
        _window->statusBar()->clearMessage();
    else
        _window->statusBar()->showMessage(message);
}

/// A modal alert with one button.
void AppDelegate::alert(const QString& text) {
    if (showAlert) {
        showAlert(text);
        return;
    }
    QMessageBox box(_window);
    box.setText(text);
    box.setInformativeText(QString());
    box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    box.exec();
}

/// Starts a dark-frame calibration over 5, 10, 15 or 20 frames; the length is fixed now, so a
/// later change of the list cannot move the show thread's writes.
void AppDelegate::btnDarkAction() {
    alert(infoText("cover telescope"));
    const int index = std::clamp(popDark->currentIndex(), 0, 3);
    darkLength_ = 5 * (index + 1);
    darkFrameCnt = darkLength_.load();
    for (auto& v : darkAry) v = 0;
    bCalcDark = true;
}

void AppDelegate::chkFFAction() {
    if (camName) SetFlatfieldState(chkFF->isChecked(), camName->c_str());
}

/// Flat-field calibration on a private copy of the newest raw frame.
void AppDelegate::btnFFAction() {
    if (!camName) return;
    std::unique_ptr<unsigned char[]> frame;
    if (copyIdleFrame(frame)) CalcFlatfield(frame.get(), false, camName->c_str());
}

/// Ends the SER recording, if one runs, and logs what it wrote. Returns the file (or the
/// directory, when none could be made) of a recording that failed or was cut short (a full
/// disk keeps the frames written before it); empty when it is whole or none ran.
static QString finishSer(std::shared_ptr<LiveSerSession> ser, const std::string& directory) {
    if (!ser) return {};
    hx::recording::LiveSerResult result;
    const bool written = ser->finish(result);
    if (written)
        syslog(LOG_INFO, "SER %s: %lld frames written, %lld frames dropped%s%s",
               result.path.c_str(), static_cast<long long>(result.written),
               static_cast<long long>(result.dropped), result.error.empty() ? "" : ": ",
               result.error.c_str());
    else if (!result.error.empty())
        syslog(LOG_WARNING, "SER recording failed: %s", result.error.c_str());
    if (result.error.empty()) return {};
    return QFile::decodeName((written ? result.path : directory).c_str());
}

/// A SER recording whose disk refused a write ends there, as at Stop, and the user is told now
/// rather than after recording on for nothing.
void AppDelegate::watchRecording() {
    if (!bSaveVideo) return;
    if (std::shared_ptr<LiveSerSession> ser = serRecording.load(); ser && ser->writeFailed())
        btnAcquieMovie();
}

void AppDelegate::closeOpenMovie() {
    bSaveVideo = false;
    // At quit the log is all there is to tell.
    finishSer(serRecording.exchange(nullptr), serDirectory_);
#ifdef HALVEX_HAVE_RECORDER
    if (std::shared_ptr<ezRecorder> open = recorder.exchange(nullptr)) open->CloseRecorder();
#endif
}

/// Starts or stops a movie of the live view: MMddHHmmss.mov in the snapshot directory, at the
/// camera's resolution, with the measured live frame rate as time base. A failed opening is
/// logged and leaves the button at "Start Video".
void AppDelegate::btnAcquieMovie() {
    if (!camName) return;
    // SER: every frame the grab thread reads, as the sensor delivered it, or every frame the
    // show thread shows, as it shows it.
    if (bSaveVideo && serRecording.load()) {
        bSaveVideo = false;
        btnMovie->setText(infoText("Start Video"));
        const QString failed = finishSer(serRecording.exchange(nullptr), serDirectory_);
        if (!failed.isEmpty())
            alert(infoText("The movie could not be saved:") + QLatin1Char(' ') + failed);
        return;
    }
    if (!bSaveVideo && popMovie->currentIndex() == 1) {
        const std::string dir = QFile::encodeName(txtPath->text()).toStdString();
        if (dir.empty() || ::access(dir.c_str(), W_OK) != 0) {
            syslog(LOG_WARNING, "cannot record into '%s'", dir.c_str());
            tell(infoText("The movie %1 cannot be written").arg(txtPath->text()));
            return;
        }
        tell(QString());
        serDirectory_ = dir;
        hx::recording::LiveSerOptions options;
        options.processed = chkSerProcessed->isChecked();
        serRecording.store(std::make_shared<LiveSerSession>(*camName, dir, options));
        btnMovie->setText(infoText("Stop Video"));
        bSaveVideo = true;
        return;
    }
#ifdef HALVEX_HAVE_RECORDER
    if (bSaveVideo) {
        bSaveVideo = false;
        btnMovie->setText(infoText("Start Video"));
        if (std::shared_ptr<ezRecorder> open = recorder.exchange(nullptr)) {
            if (!open->CloseRecorder())
                alert(infoText("The movie could not be saved:") + QLatin1Char(' ') +
                      QFile::decodeName(open->path().c_str()));
        }
        return;
    }
    const char* n = camName->c_str();
    // The directory may not exist yet (the default Desktop, or one typed by hand).
    const QString directory = normalisedDirectory(txtPath->text());
    if (!directory.isEmpty()) QDir().mkpath(directory);
    // Two movies started within the same second, or a name left by an earlier run, never
    // replace a movie.
    const std::string path = hx::files::freeFileName(
        ezRecorder::moviePath(QFile::encodeName(directory).toStdString(), std::time(nullptr)));
    const int index = GetResolution(n);
    auto movie = std::make_shared<ezRecorder>();
    if (!movie->OpenRecorder(path, GetResWidth(index, n), GetResHeight(index, n),
                             GetImageChannles(n), ezRecorder::frameRateFromDustm(dustm))) {
        tell(infoText("The movie %1 cannot be written").arg(QFile::decodeName(path.c_str())));
        return;
    }
    tell(QString());
    // Set once, before the show thread can see bSaveVideo, and never changed afterwards.
    if (!appendMovieFrame)
        appendMovieFrame = [this](const unsigned char* pixels, int width, int height,
                                  int channels) {
            if (std::shared_ptr<ezRecorder> open = recorder.load())
                open->AppendSampleBuffer(pixels, width, height, channels);
        };
    recorder.store(std::move(movie));
    btnMovie->setText(infoText("Stop Video"));
    bSaveVideo = true;
#else
    syslog(LOG_WARNING, "movie recording is not built into this program");
#endif
}

} // namespace hx::app
