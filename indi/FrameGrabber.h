// The thread that reads one camera's frames for the INDI driver: single exposures, which it hands
// to the driver's main thread, and a video stream, whose frames it passes on as they come. The
// driver's main thread never waits on the camera; it starts, aborts and stops work here and is
// woken through a descriptor when results wait.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "camera/CamApi.h"

namespace hx::indi {

/// One frame off the camera: its samples row by row (16-bit samples little-endian).
struct GrabbedFrame {
    std::vector<uint8_t> pixels;
    int width = 0;
    int height = 0;
    int depth = 8; ///< bits per sample
    int code = 0;  ///< the frame read's result: 0, or 1 for a frame with the snapshot mark
    std::chrono::system_clock::time_point readAt; ///< when the read returned
    bool hasInfo = false; ///< the frame carries the library's frame information
    HalvexFrameInfo info{};
    /// When the exposure began at the latest: the moment it was restarted, for jobs that restart
    /// it; else the epoch.
    std::chrono::system_clock::time_point notBefore;
};

/// A streamed frame, valid during the sink call only.
struct FrameView {
    const uint8_t* pixels = nullptr;
    size_t bytes = 0;
    int width = 0;
    int height = 0;
    int depth = 8;
};

/// One exposure: the camera's exposure is already set to its time when it is started.
struct ExposureJob {
    double milliseconds = 0;
    /// Restart the camera's exposure before reading (cameras that can), so that the frame is
    /// exposed from now on; otherwise...
    bool restart = false;
    /// ...this many frames are dropped first: they began before the exposure was asked for.
    int discard = 0;
    /// Frames whose information says they were exposed for another time (the setting reached
    /// the camera during their exposure) are dropped, this many at most before the exposure
    /// fails.
    int mismatches = 3;
};

/// What the grabber reports to the main thread.
struct GrabResult {
    enum class Kind {
        Exposed,      ///< the exposure's frame is in `frame`
        Failed,       ///< the exposure ended without a frame; `message` says why
        StreamFailed, ///< the stream ended on its own (the camera is gone); `message` says why
    };
    Kind kind = Kind::Failed;
    uint64_t job = 0;
    GrabbedFrame frame;
    std::string message;
};

class FrameGrabber {
public:
    using StreamSink = std::function<void(const FrameView&)>;

    /// Reads from the camera registered under `camera`; starts the thread.
    explicit FrameGrabber(std::string camera);
    /// Ends what runs and joins the thread.
    ~FrameGrabber();
    FrameGrabber(const FrameGrabber&) = delete;
    FrameGrabber& operator=(const FrameGrabber&) = delete;

    /// Readable while results wait (an eventfd); for the driver's event loop.
    int eventFd() const { return eventFd_; }
    /// Takes the waiting results, oldest first, and clears the descriptor.
    std::vector<GrabResult> takeResults();

    /// Starts an exposure; ends a stream or an exposure in progress first. Returns its job id.
    uint64_t expose(const ExposureJob& job);
    /// Ends the exposure in progress, if any; it reports nothing.
    void abort();
    /// Streams: every good frame goes to the sink on the grabber thread, once each.
    void startStream(StreamSink sink);
    void stopStream();
    bool streaming() const { return mode_.load() == Mode::Stream; }
    bool exposing() const { return mode_.load() == Mode::Expose; }

    /// Frames streamed to the sink, and frames the camera did not deliver (failed reads and gaps
    /// in the frames' sequence numbers) or that could not be passed on, since the stream
    /// started.
    uint64_t framesStreamed() const { return streamed_.load(); }
    uint64_t framesDropped() const { return dropped_.load(); }

private:
    enum class Mode { Idle, Expose, Stream };

    void run();
    void exposeLoop(uint64_t generation, uint64_t id, ExposureJob job);
    void streamLoop(uint64_t generation);
    /// One frame read into buffer_ for the work of `generation`; the read can be ended from
    /// another thread by cancelRead.
    int readFrame(uint64_t generation);
    /// Ends the read in progress, if one is; takes mutex_.
    void cancelRead();
    bool stillWanted(Mode mode, uint64_t generation) const;
    void post(GrabResult result);

    const std::string camera_;
    int eventFd_ = -1;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::atomic<Mode> mode_{Mode::Idle};
    uint64_t nextJob_ = 0;           ///< guarded by mutex_
    uint64_t job_ = 0;               ///< the job asked for; guarded by mutex_
    ExposureJob jobSpec_;            ///< guarded by mutex_
    uint64_t generation_ = 0;        ///< bumped by every change of mode; guarded by mutex_
    StreamSink sink_;                ///< guarded by mutex_
    bool reading_ = false;           ///< a frame read is in progress; guarded by mutex_
    bool stop_ = false;              ///< guarded by mutex_
    std::deque<GrabResult> results_; ///< guarded by mutex_

    std::atomic<uint64_t> streamed_{0};
    std::atomic<uint64_t> dropped_{0};

    std::vector<uint8_t> buffer_; ///< the receive buffer; the grabber thread only
    std::thread thread_;
};

} // namespace hx::indi
