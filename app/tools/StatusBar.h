// The window's status bar: camera, frame size and depth; measured frame rate; dropped frames;
// recording state and time; the last file written; the pixel under the cursor; and problems
// such as a failed save or a nearly full disk, shown here instead of in a dialog.
#pragma once

#include <QStatusBar>
#include <QString>

#include <cstdint>

class QLabel;

namespace hx::app {

class StatusBar : public QStatusBar {
public:
    explicit StatusBar(QWidget* parent = nullptr);

    /// Below this many free bytes in the snapshot directory a warning is shown.
    static constexpr int64_t kLowSpaceBytes = int64_t(1) << 30;

    void setCamera(const QString& camera, int width, int height, int depth);
    void setFrameRate(double fps);
    void setDropped(int64_t handOver, int64_t recorder);
    /// Recording for this many seconds; negative: not recording.
    void setRecording(int64_t seconds);
    void setLastFile(const QString& path);
    void setCursorText(const QString& text);
    /// A problem to show until it is mended or replaced; empty clears it.
    void setProblem(const QString& text);
    QString problem() const;
    /// Checks the free space where snapshots go; true and a warning when it is low.
    bool checkFreeSpace(const QString& directory, int64_t limitBytes = kLowSpaceBytes);

    QLabel *camera = nullptr, *rate = nullptr, *dropped = nullptr, *recording = nullptr,
           *lastFile = nullptr, *cursor = nullptr, *problemLabel = nullptr;

private:
    QString saveProblem_, spaceProblem_;
    void showProblems();
};

} // namespace hx::app
