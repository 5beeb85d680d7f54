// Device arrivals and removals on their way from the bus backends to the application's thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "usb/UsbBus.h"

namespace hx::usb {

/// A process-wide unique key for a newly seen device; never 0, never reused.
uint64_t newDeviceKey();

/// A queue of bus events. Backends push from any thread; the owner watches fd() (readable while
/// events wait) or calls wait(), then takes the events and applies them on its own thread.
class DeviceEventQueue {
public:
    DeviceEventQueue();
    ~DeviceEventQueue();
    DeviceEventQueue(const DeviceEventQueue&) = delete;
    DeviceEventQueue& operator=(const DeviceEventQueue&) = delete;

    /// Appends an event; safe from any thread.
    void push(UsbEvent event);
    /// Removes and returns every waiting event, oldest first.
    std::vector<UsbEvent> take();
    /// Drops every waiting event.
    void clear() { take(); }
    /// Waits until an event waits or timeoutMs passes (negative: no limit; 0: just look).
    /// Returns true when an event waits.
    bool wait(int timeoutMs);
    /// Number of waiting events.
    size_t size() const;
    /// A file descriptor that polls readable while events wait; -1 if none could be made.
    int fd() const { return fd_; }

private:
    mutable std::mutex mutex_;
    std::vector<UsbEvent> events_;
    int fd_ = -1;
};

} // namespace hx::usb
