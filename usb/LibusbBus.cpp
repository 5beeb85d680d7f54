#include "usb/LibusbBus.h"

#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>

#include "usb/DeviceEventQueue.h"
#include "usb/LibusbDevice.h"

namespace hx::usb {

struct LibusbBus::Impl {
    std::shared_ptr<LibusbContext> context;
    Filter filter;
    Listener listener;
    bool hotplug = false;
    libusb_hotplug_callback_handle handle = 0;
    std::thread thread;
    std::atomic<bool> running{false};
    std::mutex stopMutex;
    std::condition_variable stopCv;

    struct Known {
        uint64_t key;
        std::shared_ptr<LibusbDevice> device;
    };
    std::mutex mutex; ///< guards devices and listener calls
    std::map<libusb_device*, Known> devices;

    void arrived(libusb_device* dev);
    void left(libusb_device* dev);
    void poll();
    static int LIBUSB_CALL onHotplug(libusb_context*, libusb_device* dev,
                                     libusb_hotplug_event event, void* self);
};

/// A new device: reported once, when the filter accepts its ids.
void LibusbBus::Impl::arrived(libusb_device* dev) {
    libusb_device_descriptor desc{};
    if (libusb_get_device_descriptor(dev, &desc) != 0) return;
    if (desc.idVendor != kVendorId || !filter || !filter(desc.idVendor, desc.idProduct)) return;
    std::lock_guard lock(mutex);
    if (!running || devices.count(dev)) return;
    auto device = std::make_shared<LibusbDevice>(context, dev, desc);
    Known known{newDeviceKey(), device};
    devices.emplace(device->device(), known);
    listener(UsbEvent{UsbEvent::Kind::Arrived, known.key, device});
}

/// A device has gone: its transfers end at once and the removal is reported.
void LibusbBus::Impl::left(libusb_device* dev) {
    std::lock_guard lock(mutex);
    auto it = devices.find(dev);
    if (it == devices.end()) return;
    Known known = it->second;
    devices.erase(it);
    known.device->markGone();
    if (running) listener(UsbEvent{UsbEvent::Kind::Removed, known.key, known.device});
}

int LIBUSB_CALL LibusbBus::Impl::onHotplug(libusb_context*, libusb_device* dev,
                                           libusb_hotplug_event event, void* self) {
    auto* impl = static_cast<Impl*>(self);
    try { // nothing may be thrown through libusb
        if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED)
            impl->arrived(dev);
        else if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT)
            impl->left(dev);
    } catch (...) {
        std::fprintf(stderr, "halvex: USB device event dropped\n");
    }
    return 0;
}

/// Compares the device list with what is known: for systems without hot-plug notification.
void LibusbBus::Impl::poll() {
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(context->get(), &list);
    if (n < 0) return;
    std::map<libusb_device*, bool> present;
    for (ssize_t i = 0; i < n; ++i) present[list[i]] = true;
    std::vector<libusb_device*> gone;
    {
        std::lock_guard lock(mutex);
        for (auto& [dev, known] : devices)
            if (!present.count(dev)) gone.push_back(dev);
    }
    for (libusb_device* dev : gone) left(dev);
    for (ssize_t i = 0; i < n; ++i) arrived(list[i]);
    libusb_free_device_list(list, 1);
}

LibusbBus::LibusbBus() : impl_(std::make_unique<Impl>()) {}

LibusbBus::~LibusbBus() {
    stop();
}

bool LibusbBus::hotplug() const {
    return impl_->running && impl_->hotplug;
}

/// Devices present now are reported before start returns: by the hot-plug registration's
/// enumeration, or by a first look at the device list.
bool LibusbBus::start(Filter filter, Listener listener) {
    stop();
    Impl& d = *impl_;
    d.context = LibusbContext::create();
    if (!d.context) {
        std::fprintf(stderr, "halvex: USB access unavailable; only simulated cameras\n");
        return false;
    }
    d.filter = std::move(filter);
    d.listener = std::move(listener);
    d.running = true;
    d.hotplug = libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0;
    if (d.hotplug) {
        int r = libusb_hotplug_register_callback(
            d.context->get(),
            static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                              LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
            LIBUSB_HOTPLUG_ENUMERATE, kVendorId, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
            &Impl::onHotplug, &d, &d.handle);
        if (r != 0) d.hotplug = false;
    }
    if (!d.hotplug) {
        try {
            d.poll();
        } catch (...) {
            stop();
            return false;
        }
    }
    d.thread = std::thread([&d] {
        auto next = std::chrono::steady_clock::now();
        while (d.running) {
            if (d.hotplug) {
                timeval tv{0, 200000};
                libusb_handle_events_timeout_completed(d.context->get(), &tv, nullptr);
            } else {
                next += std::chrono::milliseconds(kPollIntervalMs);
                std::unique_lock lock(d.stopMutex);
                d.stopCv.wait_until(lock, next, [&d] { return !d.running; });
                lock.unlock();
                if (!d.running) break;
                try {
                    d.poll();
                } catch (...) {
                    std::fprintf(stderr, "halvex: USB device scan failed\n");
                }
            }
        }
    });
    return true;
}

void LibusbBus::stop() {
    Impl& d = *impl_;
    if (!d.context) return;
    {
        std::lock_guard lock(d.stopMutex);
        d.running = false;
    }
    d.stopCv.notify_all();
    if (d.hotplug) libusb_interrupt_event_handler(d.context->get());
    if (d.thread.joinable()) d.thread.join();
    if (d.hotplug) libusb_hotplug_deregister_callback(d.context->get(), d.handle);
    {
        std::lock_guard lock(d.mutex);
        d.devices.clear();
    }
    d.hotplug = false;
    d.listener = nullptr;
    d.filter = nullptr;
    d.context.reset();
}

} // namespace hx::usb
