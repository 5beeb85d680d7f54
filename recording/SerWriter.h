// SER video writer: the uncompressed frame sequence planetary and lunar imagers stack. A
// 178-byte header, the frames one after the other, and a trailer of one UTC time stamp per
// frame. Frames are written on a thread of their own, in the order they were appended.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace hx::recording {

/// ColorID values of the SER header.
enum SerColour : int32_t {
    kSerMono = 0,
    kSerBayerRGGB = 8,
    kSerBayerGRBG = 9,
    kSerBayerGBRG = 10,
    kSerBayerBGGR = 11,
    kSerRGB = 100,
};

/// Size of the SER header in bytes.
inline constexpr size_t kSerHeaderBytes = 178;
/// 100-nanosecond ticks from 0001-01-01 to 1970-01-01, the epoch of SER time stamps.
inline constexpr int64_t kSerTicksAt1970 = 621355968000000000LL;

/// The ColorID of a mosaic from its Bayer code (0 mono, 1 BGGR, 2 GBRG, 3 RGGB, 4 GRBG).
int32_t serColourOfBayer(int bayerCode);
/// SER ticks (100 ns since 0001-01-01) of UTC microseconds since 1970.
int64_t serTicks(int64_t utcMicros);

/// What a recording holds: every frame has the same size and layout.
struct SerFormat {
    int width = 0, height = 0;
    int32_t colour = kSerMono; ///< SerColour
    int depth = 8;             ///< bits per sample and plane: 8, or up to 16 in two bytes
    std::string observer, instrument, telescope;
};

struct SerOptions {
    int queueFrames = 16;        ///< frames waiting for the disk at most (1 ... 1024)
    bool waitWhenFull = false;   ///< false: drop the frame and count it; true: wait for room
    int headerIntervalMs = 1000; ///< the header's frame count lags the file by no more than this
};

/// One SER file: open, append every frame (from one thread at a time), close. The frame count
/// in the header is brought up to date while recording, so a recording that is cut off stays
/// readable up to the last update; close writes the time stamps and the exact count.
class SerWriter {
public:
    explicit SerWriter(SerOptions options = {});
    ~SerWriter();
    SerWriter(const SerWriter&) = delete;
    SerWriter& operator=(const SerWriter&) = delete;

    /// Creates the file. False, with nothing left behind, for a format out of range or a file
    /// that cannot be created; error() says why.
    bool open(const std::string& path, const SerFormat& format);
    /// Queues one frame of frameBytes() bytes (rows top-down; 16-bit samples little-endian)
    /// taken at utcMicros, turned by flip (1 mirrored, 2 upside down) on the way. True when
    /// queued or dropped for a full queue (counted); false when not open or pixels is null.
    bool append(const unsigned char* pixels, int64_t utcMicros, int flip = 0);
    /// Writes every queued frame, the trailer and the final header, and closes the file. True
    /// when every frame handed to the disk was written.
    bool close();

    bool isOpen() const { return open_; }
    size_t frameBytes() const { return frameBytes_; }
    int64_t framesWritten() const { return written_; }
    /// Frames that found the queue full, or that the disk could not take.
    int64_t framesDropped() const { return dropped_; }
    /// Whether the disk refused a write (full, or past the file-size limit): every later frame
    /// is dropped. May be asked from any thread while frames are written.
    bool diskFailed() const { return diskFailed_; }
    const std::string& error() const { return error_; }

    /// directory + local "MMddHHmmss" + ".ser", the directory taken as it stands.
    static std::string serPath(const std::string& directory, std::time_t when);
    /// The 178-byte header for a format, a frame count and the first frame's UTC time stamp.
    static std::vector<unsigned char> header(const SerFormat& format, int32_t frames,
                                             int64_t firstUtcMicros);

private:
    struct Slot {
        std::unique_ptr<unsigned char[]> pixels;
        int64_t utcMicros = 0;
    };
    void writerLoop();
    bool writeAll(const unsigned char* data, size_t bytes);
    void refreshHeader();

    SerOptions options_;
    SerFormat format_;
    std::string path_, error_;
    int fd_ = -1;
    size_t frameBytes_ = 0, pixelBytes_ = 0;
    std::atomic<bool> open_{false};

    std::mutex appendMutex_; ///< one append or close at a time
    std::mutex queueMutex_;  ///< guards ready_, free_ and closing_
    std::condition_variable frameReady_, roomFree_;
    std::deque<Slot> ready_;
    std::vector<Slot> free_;
    bool closing_ = false;
    std::thread writer_;

    // Owned by the writer thread while it runs.
    std::vector<int64_t> stamps_; ///< UTC ticks of the frames written
    int32_t headerFrames_ = -1;
    std::atomic<bool> diskFailed_{false}; ///< written by the writer thread, read by any
    std::atomic<int64_t> written_{0}, dropped_{0};
};

} // namespace hx::recording
