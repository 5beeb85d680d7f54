// The device-event queue and the real USB bus started without cameras.
#include <gtest/gtest.h>
#include <poll.h>

#include <thread>

#include "usb/DeviceEventQueue.h"
#include "usb/LibusbBus.h"

namespace {

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
}

hx::usb::UsbEvent event(hx::usb::UsbEvent::Kind kind, uint64_t key) {
    return hx::usb::UsbEvent{kind, key, nullptr};
}

} // namespace

TEST(DeviceEventQueue, DescriptorIsReadableExactlyWhileEventsWait) {
    hx::usb::DeviceEventQueue queue;
    ASSERT_GE(queue.fd(), 0);
    EXPECT_FALSE(readable(queue.fd()));
    EXPECT_FALSE(queue.wait(0));
    EXPECT_FALSE(queue.wait(10));
    queue.push(event(hx::usb::UsbEvent::Kind::Arrived, 1));
    queue.push(event(hx::usb::UsbEvent::Kind::Removed, 1));
    EXPECT_TRUE(readable(queue.fd()));
    EXPECT_TRUE(queue.wait(-1));
    auto events = queue.take();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, hx::usb::UsbEvent::Kind::Arrived);
    EXPECT_EQ(events[1].kind, hx::usb::UsbEvent::Kind::Removed);
    EXPECT_FALSE(readable(queue.fd()));
    EXPECT_TRUE(queue.take().empty());
}

TEST(DeviceEventQueue, UnboundedWaitWakesOnAPushFromAnotherThread) {
    hx::usb::DeviceEventQueue queue;
    std::thread pusher([&] { queue.push(event(hx::usb::UsbEvent::Kind::Arrived, 7)); });
    EXPECT_TRUE(queue.wait(-1));
    pusher.join();
    EXPECT_EQ(queue.take().at(0).key, 7u);
    EXPECT_NE(hx::usb::newDeviceKey(), hx::usb::newDeviceKey());
}

TEST(LibusbBus, StartsAndStopsCleanlyWithOrWithoutUsb) {
    hx::usb::LibusbBus bus;
    int events = 0;
    bool started = bus.start([](uint16_t, uint16_t) { return true; },
                             [&](const hx::usb::UsbEvent&) { ++events; });
    bus.stop();
    bus.stop();
    EXPECT_FALSE(bus.hotplug());
    if (started) {
        // A second start after a stop works as the first did.
        EXPECT_TRUE(bus.start([](uint16_t, uint16_t) { return false; },
                              [&](const hx::usb::UsbEvent&) { ++events; }));
    }
}
