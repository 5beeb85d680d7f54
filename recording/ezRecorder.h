// Movie writer shared by the front ends: H.264 video in a QuickTime movie, encoded on a writer
// thread of its own so that the thread that shows frames keeps its rate.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct AVFrame;

namespace hx::recording {

/// How a recorder treats frames that arrive faster than the encoder takes them.
struct RecorderOptions {
    int queueDepth = 3;               ///< frames waiting for the encoder at most (1 ... 64)
    bool waitWhenFull = false;        ///< false: drop the frame and count it; true: wait for room
    std::string preset = "ultrafast"; ///< encoder speed preset
    int threads = 0;                  ///< encoder threads; 0 lets the encoder choose
};

/// One recording: OpenRecorder, then AppendSampleBuffer for every shown frame (from any one
/// thread), then CloseRecorder (also done by the destructor). Frame k, counting from 1, is
/// presented at k / fps seconds; a dropped frame keeps its number, so the movie stays in step
/// with the live view.
class ezRecorder {
public:
    explicit ezRecorder(RecorderOptions options = {});
    ~ezRecorder();
    ezRecorder(const ezRecorder&) = delete;
    ezRecorder& operator=(const ezRecorder&) = delete;

    /// Creates the movie at path for frames of width x height with 1 (grey) or 3 (red, green,
    /// blue) channels and a time base of fps frames per second. False, with nothing left on the
    /// disk, when the arguments are out of range, the encoder is missing or the file cannot be
    /// written.
    bool OpenRecorder(const std::string& path, int width, int height, int channels, int fps);
    /// Converts one 8-bit frame (rows packed at width x channels bytes) on the calling thread
    /// and queues it for encoding; frames of another size are scaled to the movie's size. The
    /// pixels are not used after the call returns. False when no recording is open or the
    /// frame cannot be read (null pixels, size or channels out of range); the frame number
    /// then stays. True otherwise, also when the frame was dropped because the queue was full.
    bool AppendSampleBuffer(const unsigned char* pixels, int width, int height, int channels);
    /// Encodes every queued frame, completes the file and logs how many frames were written
    /// and dropped. True when the movie was written whole; false when a write failed (a full
    /// disk: the file then plays up to its last complete fragment) or no recording was open.
    bool CloseRecorder();

    bool isOpen() const { return open_; }
    /// The movie's path as given to OpenRecorder.
    const std::string& path() const { return path_; }
    /// Number the next appended frame gets (1 for the first).
    int32_t frameNumber() const { return frameCount; }
    int32_t frameRate() const { return kRecordingFPS; }
    /// Frames handed to the encoder, dropped at a full queue, and failed in the encoder.
    int64_t framesWritten() const { return written_; }
    int64_t framesDropped() const { return dropped_; }
    int64_t framesFailed() const { return failed_; }
    /// Size of the encoded picture: the declared size rounded up to even numbers.
    int codedWidth() const { return codedWidth_; }
    int codedHeight() const { return codedHeight_; }

    /// The movie path for a directory text (taken as it stands; the application's ends in
    /// "/") and a moment: directory + local "MMddHHmmss" + ".mov".
    static std::string moviePath(const std::string& directory, std::time_t when);
    /// Movie frame rate from the milliseconds ten shown frames took: 10000 / dustm, at least 1;
    /// kDefaultFrameRate while nothing has been measured yet (dustm 0 or less).
    static int frameRateFromDustm(int32_t dustm);
    static constexpr int kDefaultFrameRate = 10;

private:
    /// A converted picture waiting for the encoder, with its frame number.
    struct Frame {
        AVFrame* picture = nullptr;
        int64_t number = 0;
    };
    struct Encoder;

    bool convert(const unsigned char* pixels, int width, int height, int channels,
                 AVFrame* picture);
    void writerLoop();
    void encodeFrame(const Frame& frame);
    void drainEncoder(bool flush);
    void release();

    std::atomic<int32_t> frameCount{1};    ///< number of the next frame
    std::atomic<int32_t> kRecordingFPS{0}; ///< time base of the movie, frames per second
    std::unique_ptr<Encoder> encoder_;     ///< file writer, video track and converter

    RecorderOptions options_;
    int width_ = 0, height_ = 0, channels_ = 0, codedWidth_ = 0, codedHeight_ = 0;
    std::string path_;
    std::atomic<bool> open_{false};

    std::mutex appendMutex_; ///< one append or close at a time
    std::mutex queueMutex_;  ///< guards queue_, free_ and closing_; pictures are owned by encoder_
    std::condition_variable frameReady_, roomFree_;
    std::deque<Frame> queue_;
    std::vector<AVFrame*> free_;
    bool closing_ = false;
    std::thread writer_;
    std::atomic<int64_t> written_{0}, dropped_{0}, failed_{0};
};

/// What recordLiveMovie should do.
struct LiveMovieOptions {
    double seconds = 5;        ///< length of the recording in wall-clock seconds
    int64_t maxFrames = 0;     ///< also stop after this many appended frames (0: no limit)
    int fps = 0;               ///< movie frame rate; 0 measures ten shown frames first
    RecorderOptions recorder;  ///< queue and encoder options
    bool measureLevel = false; ///< add up the appended pixels for LiveMovieResult::meanLevel
    /// Asked about ten times a second; true ends the recording as its planned end would.
    std::function<bool()> stopRequested;
};

/// What recordLiveMovie did.
struct LiveMovieResult {
    std::string path;
    int width = 0, height = 0, channels = 0, fps = 0; ///< as declared to the recorder
    int64_t shown = 0;                                ///< frames decoded by the show loop
    int64_t appended = 0, written = 0, dropped = 0;
    double meanLevel = 0; ///< mean 8-bit sample of the appended frames (measureLevel)
    std::string error;    ///< why nothing was recorded; empty on success
};

/// Records the live view of a started camera into directory + "MMddHHmmss.mov", the way the
/// capture application does: a grab thread reads raw frames and hands the newest one over, the
/// calling thread decodes it, reduces it to 8 bits, measures the frame rate over blocks of ten
/// frames and appends it to an ezRecorder. True when a movie was written.
bool recordLiveMovie(const char* camName, const std::string& directory,
                     const LiveMovieOptions& options, LiveMovieResult& result);

} // namespace hx::recording
