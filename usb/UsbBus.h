// A source of USB device arrivals and removals (real hardware or simulated cameras).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "usb/UsbDevice.h"

namespace hx::usb {

struct UsbEvent {
    enum class Kind { Arrived, Removed };
    Kind kind;
    uint64_t key;                        ///< identifies the device for the whole time it is present
    std::shared_ptr<UsbDevice> device;   ///< the device (arrival); the same object again on removal
};

/// Reports arrivals and removals of the devices whose (vendor, product) the filter accepts.
class UsbBus {
public:
    using Filter = std::function<bool(uint16_t vendorId, uint16_t productId)>;
    using Listener = std::function<void(const UsbEvent&)>;

    virtual ~UsbBus() = default;
    /// Starts watching. Devices already present are reported to the listener before start
    /// returns; later events may arrive on any thread.
    virtual bool start(Filter filter, Listener listener) = 0;
    /// Stops watching; no event is delivered after stop returns.
    virtual void stop() = 0;
};

}  // namespace hx::usb
