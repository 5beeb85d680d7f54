// The bus of real cameras, watched through libusb.
#pragma once

#include <memory>

#include "usb/UsbBus.h"

namespace hx::usb {

/// Reports arrivals and removals of real USB devices of the camera vendor (0x0547) whose product
/// the filter accepts. Uses hot-plug notification where the system offers it and otherwise
/// looks at the device list once a second. Runs its own event thread while started.
class LibusbBus final : public UsbBus {
public:
    LibusbBus();
    ~LibusbBus() override;
    bool start(Filter filter, Listener listener) override;
    void stop() override;
    /// True while started with hot-plug notification (false: polling, or not started).
    bool hotplug() const;

    static constexpr uint16_t kVendorId = 0x0547;
    static constexpr int kPollIntervalMs = 1000;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace hx::usb
