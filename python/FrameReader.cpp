// The read thread of one camera and the wait for its frames.
#include "python/FrameReader.h"

#include <climits>
#include <utility>

#include "camera/CamApi.h"

namespace hx::python {

FrameReader::FrameReader(std::string camera) : camera_(std::move(camera)) {
    thread_ = std::thread(&FrameReader::run, this);
}

FrameReader::~FrameReader() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        cancelLocked();
        changed_.notify_all();
    }
    thread_.join();
}

void FrameReader::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return requested_ || stop_; });
        if (stop_) break;
        reading_ = true;
        unsigned char* data = buffer_.data();
        const int size = readSize_;
        lock.unlock();
        const int status = GetRawData(data, size, camera_.c_str());
        lock.lock();
        reading_ = false;
        requested_ = false;
        status_ = status;
        changed_.notify_all();
    }
}

void FrameReader::cancelLocked() {
    // The library cannot end a read from outside yet: a read given up here runs to its end by
    // itself (the library bounds it), and the next read waits for it.
}

FrameReader::Result FrameReader::read(size_t size,
                                      std::optional<SteadyClock::time_point> deadline) {
    std::unique_lock lock(mutex_);
    // A read that an earlier call gave up may still be writing the buffer.
    if (!waitInterruptibly(
            lock, changed_, [this] { return !requested_; }, deadline))
        return {};
    if (buffer_.size() < size) buffer_.resize(size);
    readSize_ = static_cast<int>(std::min<size_t>(buffer_.size(), INT_MAX));
    requested_ = true;
    changed_.notify_all();

    bool finished = false;
    try {
        finished = waitInterruptibly(
            lock, changed_, [this] { return !requested_; }, deadline);
    } catch (...) {
        std::lock_guard relock(mutex_);
        cancelLocked();
        throw;
    }
    if (!finished) {
        cancelLocked();
        return {};
    }
    return {true, status_};
}

} // namespace hx::python
