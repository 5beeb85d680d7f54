// A camera emulated at the kernel interface: a umockdev testbed holds its sysfs entry and a
// usbdevfs node whose ioctls are answered by the simulator's protocol engine, so the product's
// libusb backend runs unchanged against the same camera the simulated bus offers.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/SimCamera.h"

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

namespace hx::test {

/// The process's testbed, made on first use. It must exist before the first libusb context,
/// so every test asks for it before it starts the library. Null when the process does not run
/// with umockdev's preload library; emulatedUsbUnavailable() then says what is missing.
UMockdevTestbed* emulatedUsb();
const std::string& emulatedUsbUnavailable();

/// One control transfer as it crossed the emulated device node.
struct SetupPacket {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;
    std::vector<uint8_t> data; ///< what the host sent (out) or was answered (in)
    int status = 0;            ///< the URB status handed back (0, -EPIPE, ...)
};

/// What the emulated node was asked, in counts.
struct NodeCounts {
    int claims = 0;
    int releases = 0;
    int resets = 0;
    int clearHalts = 0;      ///< on the bulk-in endpoint
    int bulkSubmits = 0;     ///< bulk URBs submitted
    int bulkCompletions = 0; ///< bulk URBs handed back with data or an error
    long long bulkBytes = 0; ///< bytes carried by completed bulk URBs
    int discards = 0;        ///< URBs the host took back
    int pendingBulk = 0;     ///< bulk URBs waiting for data now
};

class EmulatedCamera {
public:
    static constexpr uint8_t kBulkInEndpoint = 0x82;

    /// Adds a camera of this product id to the testbed: sysfs entry, descriptors and device
    /// node. The host sees it at its next enumeration, or at once after announce().
    explicit EmulatedCamera(uint16_t productId, hx::sim::SimOptions options = {});
    ~EmulatedCamera();
    EmulatedCamera(const EmulatedCamera&) = delete;
    EmulatedCamera& operator=(const EmulatedCamera&) = delete;

    /// Sends the "add" uevent of a camera plugged in while the host is running.
    void announce();
    /// Pulls the cable: the simulator goes, URBs in flight end with -ESHUTDOWN, every later
    /// ioctl fails with ENODEV, and the "remove" uevent follows.
    void unplug();
    /// While held, bulk URBs stay queued as on a camera that is still exposing.
    void holdBulk(bool hold);

    hx::sim::SimCamera& sim() { return *sim_; }
    const std::string& sysPath() const { return sysPath_; }
    std::vector<SetupPacket> controlLog() const;
    void clearControlLog();
    NodeCounts counts() const;

private:
    struct Urb;
    static int onIoctl(UMockdevIoctlBase* base, UMockdevIoctlClient* client, void* self);
    bool handle(UMockdevIoctlClient* client);
    void submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void control(Urb& urb);
    void progressBulk();

    std::shared_ptr<hx::sim::SimCamera> sim_;
    std::string sysPath_;
    std::string devNode_;
    UMockdevIoctlBase* handler_ = nullptr;

    /// Shared between umockdev's handler thread and the test.
    mutable std::mutex mutex_;
    bool gone_ = false;
    bool hold_ = false;
    std::deque<Urb*> pending_;   ///< bulk URBs waiting for data, in submission order
    std::deque<Urb*> completed_; ///< URBs ready to be reaped
    std::vector<SetupPacket> log_;
    NodeCounts counts_;
};

} // namespace hx::test
