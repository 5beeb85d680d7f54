#include "usb/DeviceEventQueue.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>

namespace hx::usb {

uint64_t newDeviceKey() {
    static std::atomic<uint64_t> next{1};
    return next.fetch_add(1, std::memory_order_relaxed);
}

DeviceEventQueue::DeviceEventQueue() {
    fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

DeviceEventQueue::~DeviceEventQueue() {
    if (fd_ >= 0) ::close(fd_);
}

/// The eventfd counter is raised under the lock, so it is nonzero exactly while the list is
/// not empty and a watcher never sees a readable descriptor with nothing to take.
void DeviceEventQueue::push(UsbEvent event) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
    if (fd_ >= 0) {
        uint64_t one = 1;
        ssize_t n = ::write(fd_, &one, sizeof one);
        (void)n;
    }
}

std::vector<UsbEvent> DeviceEventQueue::take() {
    std::vector<UsbEvent> out;
    std::lock_guard lock(mutex_);
    out.swap(events_);
    if (fd_ >= 0) {
        uint64_t count = 0;
        ssize_t n = ::read(fd_, &count, sizeof count); // resets the counter; EAGAIN if zero
        (void)n;
    }
    return out;
}

size_t DeviceEventQueue::size() const {
    std::lock_guard lock(mutex_);
    return events_.size();
}

/// Polls the eventfd, restarting after signals with the time that is left.
bool DeviceEventQueue::wait(int timeoutMs) {
    if (size() > 0) return true;
    if (timeoutMs == 0 || fd_ < 0) return false;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        int left = -1;
        if (timeoutMs > 0) {
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                          .count();
            if (ms <= 0) return size() > 0;
            left = static_cast<int>(ms);
        }
        pollfd p{fd_, POLLIN, 0};
        int r = ::poll(&p, 1, left);
        if (r > 0 && size() > 0) return true;
        if (r == 0) return size() > 0;
        if (r < 0 && errno != EINTR) return size() > 0;
    }
}

} // namespace hx::usb
