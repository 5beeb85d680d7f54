// Sequences and time-lapse: N frames at an interval (0: as fast as the camera goes) of one frame
// type, saved as a numbered series in the snapshot directory. Frame k is due at
// start + k x interval, whatever the saves before it took, so hours of time-lapse do not drift;
// a frame is taken only when its exposure began at or after its moment and carries the type.
#pragma once

#include <QString>
#include <QWidget>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QTimer;

namespace hx::app {

/// When frame k (0 for the first) of a sequence is due.
struct SequenceSchedule {
    std::chrono::steady_clock::time_point start{};
    std::chrono::microseconds interval{0};

    std::chrono::steady_clock::time_point due(int64_t k) const { return start + interval * k; }
    /// Time to wait at `now` before frame k; zero when it is due already.
    std::chrono::microseconds waitFor(int64_t k, std::chrono::steady_clock::time_point now) const;
};

class SequenceRunner : public QWidget {
public:
    using Post = std::function<void(std::function<void()>)>;

    /// What a sequence needs from the window: the selected camera, the directory, prefix and
    /// formats to save with, and live view.
    struct Hooks {
        std::function<std::string()> camera;
        std::function<QString()> directory;
        std::function<QString()> prefix;
        std::function<int()> formats;
        std::function<bool()> liveRunning;
        std::function<void()> toggleLive;
        /// A file set was saved (path without extension, formats, SaveFile's answer).
        std::function<void(const QString&, int, int)> saved;
    };

    SequenceRunner(Hooks hooks, Post post, QWidget* parent = nullptr);
    ~SequenceRunner() override;

    bool running() const { return running_; }
    void start();
    void stop();
    /// Show thread: saves this frame when one is wanted and it qualifies.
    void frameShown(unsigned char* image, const std::string& camera);
    int framesSaved() const { return saved_; }

    QSpinBox* spnCount = nullptr;
    QDoubleSpinBox* spnInterval = nullptr;
    QComboBox* pouType = nullptr;
    QPushButton* btnStart = nullptr;
    QProgressBar* progress = nullptr;
    QLabel* txtState = nullptr;

private:
    void arm();
    void frameSaved(int index, int result);
    void finish(const QString& state);

    Hooks hooks_;
    Post post_;
    QTimer* timer_ = nullptr;
    SequenceSchedule schedule_;
    bool running_ = false;
    bool startedLive_ = false;
    int count_ = 0;
    int saved_ = 0;

    // Shared with the show thread.
    std::mutex mutex_;
    std::atomic<bool> armed_{false};
    int64_t armedAtUs_ = 0; ///< wall clock (UTC µs) when the frame became due
    int nextIndex_ = 1;
    int frameType_ = 0;
    QString base_;
    int formats_ = 0;
    std::string camera_;
};

} // namespace hx::app
