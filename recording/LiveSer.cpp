// SER recording of a running camera. Frames are read and handed to the writer on the calling
// thread, one after the other: no frame is replaced by a newer one on the way, so the file holds
// every frame the camera delivered unless the writer's queue was full (then it is counted).
#include "recording/LiveSer.h"

#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <vector>

#include "camera/CamApi.h"
#include "ezImage/FreeFileName.h"
#include "recording/LiveBuffers.h"

namespace hx::recording {

namespace {

int64_t wallMicros() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return static_cast<int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec;
}

/// The fields of a one-buffer record that the loop needs, checked against the buffer.
struct Record {
    int width = 0, height = 0, depth = 0, channels = 0, headerSize = 0;
    const unsigned char* pixels = nullptr;
};

bool readRecord(const unsigned char* buffer, size_t size, Record& r) {
    if (size < sizeof(_ezImage) || std::memcmp(buffer, "QREZ", 4) != 0) return false;
    _ezImage rec;
    std::memcpy(&rec, buffer, sizeof rec);
    r.width = rec.width;
    r.height = rec.height;
    r.depth = rec.depth;
    r.channels = rec.channels;
    r.headerSize = rec.headerSize;
    if ((r.depth != 8 && r.depth != 16) || (r.channels != 1 && r.channels != 3) ||
        r.headerSize < static_cast<int>(sizeof(_ezImage)) || r.width == 0 || r.height == 0)
        return false;
    const size_t bytes = static_cast<size_t>(r.width) * r.height * r.channels * (r.depth / 8);
    if (r.headerSize + bytes > size) return false;
    r.pixels = buffer + r.headerSize;
    return true;
}

} // namespace

LiveSerSession::LiveSerSession(std::string camName, std::string directory,
                               const LiveSerOptions& options)
    : camName_(std::move(camName)), directory_(std::move(directory)), options_(options),
      writer_(std::make_unique<SerWriter>(options.writer)) {}

LiveSerSession::~LiveSerSession() {
    LiveSerResult ignored;
    finish(ignored);
}

bool LiveSerSession::openFailed() {
    std::lock_guard<std::mutex> guard(lock_);
    return finished_ && !opened_;
}

bool LiveSerSession::writeFailed() {
    std::lock_guard<std::mutex> guard(lock_);
    return opened_ && !finished_ && writer_->diskFailed();
}

int64_t LiveSerSession::framesTaken() {
    std::lock_guard<std::mutex> guard(lock_);
    return result_.read;
}

bool LiveSerSession::addRawFrame(const unsigned char* buffer, size_t size) {
    Record frame;
    if (!buffer || !readRecord(buffer, size, frame) || frame.channels != 1) return false;
    HalvexFrameInfo info{};
    const bool described = GetFrameInfo(buffer, &info) == 0;
    std::lock_guard<std::mutex> guard(lock_);
    // One orientation for the whole file: the flip of the first frame.
    const int flip = opened_ ? flip_ : (described ? info.flip & 3 : 0);
    const int32_t colour =
        described ? serColourOfBayer(ezFlipBayer(info.bayer, flip, frame.width, frame.height))
                  : kSerMono;
    return add(frame.pixels, frame.width, frame.height, frame.depth, colour, flip,
               described ? info.exposureStartUs : wallMicros(), described ? info.model : nullptr);
}

bool LiveSerSession::addFinishedFrame(unsigned char* buffer, size_t size) {
    Record image;
    if (!buffer || !readRecord(buffer, size, image)) return false;
    HalvexFrameInfo info{};
    const bool described = GetFrameInfo(buffer, &info) == 0;
    // The live view's 8 bits: the high byte of each 16-bit sample.
    unsigned char* samples = buffer + image.headerSize;
    const size_t count = static_cast<size_t>(image.width) * image.height * image.channels;
    if (image.depth == 16)
        for (size_t i = 0; i < count; ++i) samples[i] = samples[2 * i + 1];
    std::lock_guard<std::mutex> guard(lock_);
    return add(samples, image.width, image.height, 8, image.channels == 3 ? kSerRGB : kSerMono, 0,
               described ? info.exposureStartUs : wallMicros(), described ? info.model : nullptr);
}

/// Called with the lock held.
bool LiveSerSession::add(const unsigned char* pixels, int width, int height, int depth,
                         int32_t colour, int flip, int64_t stamp, const char* model) {
    if (finished_) return false;
    ++result_.read;
    if (!opened_) {
        SerFormat format;
        format.width = width;
        format.height = height;
        format.colour = colour;
        format.depth = depth;
        format.observer = options_.observer;
        format.telescope = options_.telescope;
        format.instrument = model && model[0] ? std::string(model, strnlen(model, 16)) : camName_;
        result_.path = hx::files::freeFileName(SerWriter::serPath(directory_, std::time(nullptr)));
        if (!writer_->open(result_.path, format)) {
            result_.error = writer_->error();
            result_.read = 0;
            finished_ = true;
            return false;
        }
        opened_ = true;
        flip_ = flip;
        result_.width = width;
        result_.height = height;
        result_.depth = depth;
        result_.colour = colour;
    } else if (width != result_.width || height != result_.height || depth != result_.depth ||
               colour != result_.colour) {
        ++mismatched_;
        return true;
    }
    return writer_->append(pixels, stamp, flip_);
}

bool LiveSerSession::finish(LiveSerResult& result) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!finished_ && opened_) {
        const bool whole = writer_->close();
        result_.written = writer_->framesWritten();
        result_.dropped = writer_->framesDropped() + mismatched_;
        if (!whole && result_.error.empty()) result_.error = writer_->error();
    }
    finished_ = true;
    result = result_;
    return opened_;
}

bool recordLiveSer(const char* camName, const std::string& directory, const LiveSerOptions& options,
                   LiveSerResult& result) {
    using Clock = std::chrono::steady_clock;
    result = LiveSerResult{};
    LiveBuffers sizes;
    if (!liveBuffers(camName, sizes, result.error)) return false;
    const int head = sizes.head;
    const size_t rawBytes = sizes.rawBytes;
    std::vector<unsigned char> raw(rawBytes);
    std::vector<unsigned char> show(options.processed ? head + rawBytes * 3 + 4128 : 0);

    LiveSerSession session(camName, directory, options);
    std::string failure;
    const auto started = Clock::now();
    std::optional<Clock::time_point> recordStart;
    const auto length = std::chrono::duration<double>(std::max(options.seconds, 0.0));
    const auto waitLimit = length + std::chrono::seconds(10);
    for (;;) {
        const auto now = Clock::now();
        if (recordStart && now - *recordStart >= length) break;
        if (!recordStart && now - started > waitLimit) {
            failure = "the camera delivered no frames";
            break;
        }
        if (options.maxFrames > 0 && session.framesTaken() >= options.maxFrames) break;
        if (options.stopRequested && options.stopRequested()) break;
        const int r = GetRawData(raw.data(), static_cast<int>(rawBytes), camName);
        if (r == -1) {
            failure = "the camera has gone";
            break;
        }
        if (r != 0 && r != 1) continue;
        bool taken = false;
        if (!options.processed)
            taken = session.addRawFrame(raw.data(), raw.size());
        else if (DecodeRaw2Image(raw.data(), show.data(), camName) == 0)
            taken = session.addFinishedFrame(show.data(), show.size());
        if (!taken && session.openFailed()) break;
        if (taken && !recordStart) recordStart = Clock::now();
    }
    const bool written = session.finish(result);
    if (result.error.empty()) result.error = failure;
    return written;
}

} // namespace hx::recording
