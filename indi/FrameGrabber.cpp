#include "indi/FrameGrabber.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace hx::indi {

namespace {

/// readFrame's answer when the work was ended before or during the read.
constexpr int kCancelled = -100;
/// Pause after a failed read while streaming, so that a camera that fails at once (unplugged and
/// not yet taken out of the registry) does not spin the thread.
constexpr auto kRetryPause = std::chrono::milliseconds(50);

std::string readError(int code) {
    switch (code) {
    case -1:
        return "The camera is no longer connected.";
    case -2:
        return "The camera's frame does not fit the receive buffer.";
    default:
        return "The camera delivered no frame (the read failed or the frame was damaged, code " +
               std::to_string(code) + ").";
    }
}

/// The frame a read left in buffer: where its samples are and how they are laid out. False
/// when the head holds no frame record that fits the buffer.
bool frameLayout(const std::vector<uint8_t>& buffer, FrameView& view) {
    if (buffer.size() < sizeof(_ezImage)) return false;
    _ezImage image;
    std::memcpy(&image, buffer.data(), sizeof image);
    if (std::memcmp(image.magic, "QREZ", 4) != 0) return false;
    if ((image.depth != 8 && image.depth != 16) || image.channels != 1) return false;
    if (image.width == 0 || image.height == 0 || image.headerSize < sizeof(_ezImage)) return false;
    const size_t bytes = size_t(image.width) * image.height * (image.depth / 8);
    if (image.headerSize > buffer.size() || bytes > buffer.size() - image.headerSize) return false;
    view.pixels = buffer.data() + image.headerSize;
    view.bytes = bytes;
    view.width = image.width;
    view.height = image.height;
    view.depth = image.depth;
    return true;
}

} // namespace

FrameGrabber::FrameGrabber(std::string camera) : camera_(std::move(camera)) {
    eventFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    thread_ = std::thread([this] { run(); });
}

FrameGrabber::~FrameGrabber() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        ++generation_;
        cancelRead();
    }
    wake_.notify_all();
    thread_.join();
    if (eventFd_ >= 0) ::close(eventFd_);
}

std::vector<GrabResult> FrameGrabber::takeResults() {
    if (eventFd_ >= 0) {
        uint64_t count = 0;
        [[maybe_unused]] ssize_t n = ::read(eventFd_, &count, sizeof count);
    }
    std::lock_guard lock(mutex_);
    std::vector<GrabResult> out(std::make_move_iterator(results_.begin()),
                                std::make_move_iterator(results_.end()));
    results_.clear();
    return out;
}

uint64_t FrameGrabber::expose(const ExposureJob& job) {
    uint64_t id;
    {
        std::lock_guard lock(mutex_);
        id = ++nextJob_;
        job_ = id;
        jobSpec_ = job;
        ++generation_;
        mode_ = Mode::Expose;
        cancelRead();
    }
    wake_.notify_all();
    return id;
}

void FrameGrabber::abort() {
    {
        std::lock_guard lock(mutex_);
        if (mode_.load() != Mode::Expose) return;
        ++generation_;
        mode_ = Mode::Idle;
        cancelRead();
    }
    wake_.notify_all();
}

void FrameGrabber::startStream(StreamSink sink) {
    {
        std::lock_guard lock(mutex_);
        sink_ = std::move(sink);
        ++generation_;
        mode_ = Mode::Stream;
        streamed_ = 0;
        dropped_ = 0;
        cancelRead();
    }
    wake_.notify_all();
}

void FrameGrabber::stopStream() {
    {
        std::lock_guard lock(mutex_);
        if (mode_.load() != Mode::Stream) return;
        ++generation_;
        mode_ = Mode::Idle;
        cancelRead();
    }
    wake_.notify_all();
}

void FrameGrabber::cancelRead() {
    // Only a read of our own is ended, so no cancel is ever left pending for a later read.
    if (reading_) CancelRawData(camera_.c_str());
}

bool FrameGrabber::stillWanted(Mode mode, uint64_t generation) const {
    std::lock_guard lock(mutex_);
    return !stop_ && generation_ == generation && mode_.load() == mode;
}

void FrameGrabber::post(GrabResult result) {
    {
        std::lock_guard lock(mutex_);
        results_.push_back(std::move(result));
    }
    const uint64_t one = 1;
    if (eventFd_ >= 0) [[maybe_unused]]
        ssize_t n = ::write(eventFd_, &one, sizeof one);
}

void FrameGrabber::run() {
    std::unique_lock lock(mutex_);
    uint64_t handled =
        0; // the generation at construction: work asked for before the thread ran counts
    for (;;) {
        wake_.wait(lock, [&] { return stop_ || (generation_ != handled && mode_ != Mode::Idle); });
        if (stop_) return;
        handled = generation_;
        const Mode mode = mode_.load();
        if (mode == Mode::Expose) {
            const uint64_t id = job_;
            const ExposureJob job = jobSpec_;
            lock.unlock();
            exposeLoop(handled, id, job);
            lock.lock();
        } else if (mode == Mode::Stream) {
            lock.unlock();
            streamLoop(handled);
            lock.lock();
        }
        // Work that ended by itself leaves the grabber idle; a newer request stays.
        if (generation_ == handled) mode_ = Mode::Idle;
    }
}

int FrameGrabber::readFrame(uint64_t generation) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int wanted = std::max(RecvMemSize(camera_.c_str()), 0);
        if (buffer_.size() < size_t(wanted)) buffer_.resize(size_t(wanted));
        if (buffer_.empty()) return -1;
        {
            std::lock_guard lock(mutex_);
            if (stop_ || generation_ != generation) return kCancelled;
            reading_ = true;
        }
        const int r = GetRawData(buffer_.data(), static_cast<int>(buffer_.size()), camera_.c_str());
        {
            std::lock_guard lock(mutex_);
            reading_ = false;
            if (stop_ || generation_ != generation) return kCancelled;
        }
        if (r != -2) return r;
        // The frame needs more than the camera's receive size: make room for a whole frame of
        // the current item at 16 bits and try once more.
        int w = 0, h = 0;
        if (GetRawSize(&w, &h, camera_.c_str()) != 0 || w <= 0 || h <= 0) return r;
        const size_t need =
            size_t(w) * size_t(h) * 2 + size_t(std::max(DataHeadLen(camera_.c_str()), 0)) + 4096;
        if (need <= buffer_.size()) return r;
        buffer_.resize(need);
    }
    return -2;
}

void FrameGrabber::exposeLoop(uint64_t generation, uint64_t id, ExposureJob job) {
    const auto requested = std::chrono::system_clock::now();
    if (job.restart) ResetDevice(camera_.c_str());
    int discard = std::max(job.discard, 0);
    int mismatches = std::max(job.mismatches, 0);
    // The exposure a frame may carry: the camera counts in lines, a setting in milliseconds.
    const double tolerance = std::max(0.01, job.milliseconds * 1e-3);
    for (;;) {
        const int r = readFrame(generation);
        if (r == kCancelled || !stillWanted(Mode::Expose, generation)) return;
        GrabResult result;
        result.job = id;
        if (r < 0) {
            result.kind = GrabResult::Kind::Failed;
            result.message = readError(r);
            post(std::move(result));
            return;
        }
        if (discard > 0) {
            --discard;
            continue;
        }
        FrameView view;
        if (!frameLayout(buffer_, view)) {
            result.kind = GrabResult::Kind::Failed;
            result.message = "The camera's frame carries no valid frame record.";
            post(std::move(result));
            return;
        }
        GrabbedFrame& frame = result.frame;
        frame.hasInfo = GetFrameInfo(buffer_.data(), &frame.info) == 0;
        if (frame.hasInfo && job.milliseconds > 0 &&
            std::abs(frame.info.exposureMs - job.milliseconds) > tolerance) {
            if (mismatches-- > 0) continue;
            result.kind = GrabResult::Kind::Failed;
            result.message = "The camera exposed for " + std::to_string(frame.info.exposureMs) +
                             " ms instead of " + std::to_string(job.milliseconds) + " ms.";
            post(std::move(result));
            return;
        }
        result.kind = GrabResult::Kind::Exposed;
        frame.pixels.assign(view.pixels, view.pixels + view.bytes);
        frame.width = view.width;
        frame.height = view.height;
        frame.depth = view.depth;
        frame.code = r;
        frame.readAt = std::chrono::system_clock::now();
        if (job.restart) frame.notBefore = requested;
        post(std::move(result));
        return;
    }
}

void FrameGrabber::streamLoop(uint64_t generation) {
    StreamSink sink;
    {
        std::lock_guard lock(mutex_);
        sink = sink_;
    }
    uint64_t lastSequence = 0;
    while (stillWanted(Mode::Stream, generation)) {
        const int r = readFrame(generation);
        if (r == kCancelled || !stillWanted(Mode::Stream, generation)) return;
        if (r == -1) {
            GrabResult result;
            result.kind = GrabResult::Kind::StreamFailed;
            result.message = readError(r);
            post(std::move(result));
            return;
        }
        FrameView view;
        if (r < 0 || !frameLayout(buffer_, view)) {
            ++dropped_;
            lastSequence = 0; // counted here, not again as a gap
            std::unique_lock lock(mutex_);
            wake_.wait_for(lock, kRetryPause, [&] { return stop_ || generation_ != generation; });
            continue;
        }
        // A gap in the camera's sequence numbers is frames it made that never arrived.
        HalvexFrameInfo info{};
        if (GetFrameInfo(buffer_.data(), &info) == 0) {
            if (lastSequence && info.sequence > lastSequence + 1)
                dropped_ += info.sequence - lastSequence - 1;
            lastSequence = info.sequence;
        }
        if (sink) sink(view);
        ++streamed_;
    }
}

} // namespace hx::indi
