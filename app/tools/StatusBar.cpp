#include "app/tools/StatusBar.h"

#include <QFileInfo>
#include <QLabel>
#include <QStorageInfo>

#include "app/AppDelegate.h"

namespace hx::app {

namespace {

QLabel* field(QWidget* parent, const char* name, int minimumWidth = 0) {
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    if (minimumWidth) label->setMinimumWidth(minimumWidth);
    return label;
}

} // namespace

StatusBar::StatusBar(QWidget* parent) : QStatusBar(parent) {
    setObjectName("statusBar");
    camera = field(this, "statusCamera");
    rate = field(this, "statusRate", 70);
    dropped = field(this, "statusDropped");
    recording = field(this, "statusRecording");
    lastFile = field(this, "statusLastFile");
    cursor = field(this, "statusCursor", 150);
    problemLabel = field(this, "statusProblem");
    problemLabel->setStyleSheet(QStringLiteral("color: #d03030; font-weight: bold"));
    addWidget(camera);
    addWidget(rate);
    addWidget(dropped);
    addWidget(recording);
    addWidget(lastFile, 1);
    addWidget(problemLabel);
    addPermanentWidget(cursor);
    setDropped(0, 0);
}

void StatusBar::setCamera(const QString& name, int width, int height, int depth) {
    if (name.isEmpty()) {
        camera->setText(infoText("No camera"));
        return;
    }
    if (width <= 0) {
        camera->setText(name);
        return;
    }
    camera->setText(QStringLiteral("%1  %2 × %3  %4")
                        .arg(name)
                        .arg(width)
                        .arg(height)
                        .arg(infoText("%1 bit").arg(depth)));
}

void StatusBar::setFrameRate(double fps) {
    rate->setText(fps > 0 ? QString::asprintf("%.1f fps", fps) : QString());
}

void StatusBar::setDropped(int64_t handOver, int64_t recorder) {
    QString text = infoText("Dropped %1").arg(handOver);
    if (recorder > 0) text += QStringLiteral(" ") + infoText("(recorder %1)").arg(recorder);
    dropped->setText(text);
}

void StatusBar::setRecording(int64_t seconds) {
    if (seconds < 0) {
        recording->clear();
        return;
    }
    recording->setText(QStringLiteral("● %1 %2:%3:%4")
                           .arg(infoText("REC"))
                           .arg(seconds / 3600, 2, 10, QLatin1Char('0'))
                           .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
                           .arg(seconds % 60, 2, 10, QLatin1Char('0')));
}

void StatusBar::setLastFile(const QString& path) {
    lastFile->setText(infoText("Last file: %1").arg(QFileInfo(path).fileName()));
    lastFile->setToolTip(path);
}

void StatusBar::setCursorText(const QString& text) {
    cursor->setText(text);
}

void StatusBar::setProblem(const QString& text) {
    saveProblem_ = text;
    showProblems();
}

QString StatusBar::problem() const {
    return problemLabel->text();
}

bool StatusBar::checkFreeSpace(const QString& directory, int64_t limitBytes) {
    QStorageInfo storage(directory);
    const bool low =
        storage.isValid() && storage.bytesAvailable() >= 0 && storage.bytesAvailable() < limitBytes;
    spaceProblem_ = low ? infoText("Disk nearly full: %1 MiB free for snapshots")
                              .arg(storage.bytesAvailable() >> 20)
                        : QString();
    showProblems();
    return low;
}

void StatusBar::showProblems() {
    QStringList parts;
    if (!saveProblem_.isEmpty()) parts << saveProblem_;
    if (!spaceProblem_.isEmpty()) parts << spaceProblem_;
    problemLabel->setText(parts.join(QStringLiteral("  ·  ")));
}

} // namespace hx::app
