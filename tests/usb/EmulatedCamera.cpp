#include "EmulatedCamera.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace hx::test {

namespace {

/// Capabilities the emulated usbdevfs reports, those of a host controller without
/// scatter-gather: libusb splits each transfer into 16 KiB URBs chained as continuations.
constexpr uint32_t kCapabilities = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;

/// Lives until the process ends; its root directory goes with it.
struct Testbed {
    UMockdevTestbed* bed = nullptr;
    std::string why;
    ~Testbed() {
        if (bed) g_object_unref(bed);
    }
};

Testbed& testbed() {
    static Testbed t;
    static std::once_flag made;
    std::call_once(made, [] {
        // The preload library shows the testbed's /sys only once a testbed exists, so the
        // check comes after making one.
        t.bed = umockdev_testbed_new();
        if (!t.bed) {
            t.why = "umockdev could not make a testbed";
        } else if (!umockdev_in_mock_environment()) {
            g_object_unref(t.bed);
            t.bed = nullptr;
            t.why = "not running with umockdev's preload library (run the test through "
                    "umockdev-wrapper, as CTest does)";
        }
    });
    return t;
}

void put16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x & 0xFF));
    v.push_back(static_cast<uint8_t>(x >> 8));
}

/// Device descriptor and the one configuration: interface 0 with its bulk-in endpoint, in the
/// layout the kernel shows in sysfs "descriptors".
std::vector<uint8_t> descriptors(uint16_t productId, uint16_t bcdDevice) {
    std::vector<uint8_t> d = {18, 1};
    put16(d, 0x0200); // bcdUSB
    d.insert(d.end(), {0xFF, 0x00, 0x00, 64});
    put16(d, hx::sim::kSimVendorId);
    put16(d, productId);
    put16(d, bcdDevice);
    d.insert(d.end(), {0, 0, 0, 1});
    d.insert(d.end(), {9, 2});
    put16(d, 9 + 9 + 7);
    d.insert(d.end(), {1, 1, 0, 0x80, 50});
    d.insert(d.end(), {9, 4, 0, 0, 1, 0xFF, 0x00, 0x00, 0});
    d.insert(d.end(), {7, 5, EmulatedCamera::kBulkInEndpoint, 0x02});
    put16(d, 512);
    d.push_back(0);
    return d;
}

/// The block the ioctl argument points to, or null when it cannot be read.
UMockdevIoctlData* resolve(UMockdevIoctlData* arg, size_t length) {
    GError* error = nullptr;
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, length, &error);
    if (error) g_error_free(error);
    return data;
}

/// Seam results as URB statuses.
int urbStatus(int result) {
    switch (result) {
    case hx::usb::kUsbOk:
        return 0;
    case hx::usb::kUsbPipeStalled:
        return -EPIPE;
    case hx::usb::kUsbNoDevice:
        return -ESHUTDOWN;
    case hx::usb::kUsbOverrun:
        return -EOVERFLOW;
    default:
        return -EPROTO;
    }
}

} // namespace

UMockdevTestbed* emulatedUsb() {
    return testbed().bed;
}

const std::string& emulatedUsbUnavailable() {
    return testbed().why;
}

/// One URB between submission and reaping: the host's record and its resolved buffer (copies
/// that umockdev writes back when the URB is reaped).
struct EmulatedCamera::Urb {
    UMockdevIoctlData* record = nullptr; ///< the usbdevfs_urb
    UMockdevIoctlData* buffer = nullptr; ///< its transfer buffer
    ~Urb() {
        if (buffer) umockdev_ioctl_data_unref(buffer);
        if (record) umockdev_ioctl_data_unref(record);
    }
    usbdevfs_urb* urb() { return reinterpret_cast<usbdevfs_urb*>(record->data); }
    void finish(int status, int actual) {
        urb()->status = status;
        urb()->actual_length = actual;
    }
};

EmulatedCamera::EmulatedCamera(uint16_t productId, hx::sim::SimOptions options)
    : sim_(hx::sim::makeSimCamera(productId, 0, options)) {
    // Powered and enumerated: the camera answers whoever opens its node.
    sim_->open();
    UMockdevTestbed* bed = emulatedUsb();
    if (!bed) return;
    // Each camera gets a port and an address of its own, as after a fresh plug.
    static std::atomic<int> serial{0};
    const int n = ++serial;
    char name[24], devnum[16], major[24], address[16], node[64], product[32];
    std::snprintf(name, sizeof name, "1-%d", n);
    std::snprintf(devnum, sizeof devnum, "%d\n", n + 1);
    std::snprintf(major, sizeof major, "189:%d\n", n); // the kernel's usb_device numbers
    std::snprintf(address, sizeof address, "%03d", n + 1);
    std::snprintf(node, sizeof node, "/dev/bus/usb/001/%s", address);
    std::snprintf(product, sizeof product, "547/%x/%x", productId, sim_->bcdDevice());
    char* path = umockdev_testbed_add_device(bed, "usb", name, nullptr,
                                             // sysfs attributes
                                             "busnum", "1\n", "devnum", devnum, "dev", major,
                                             "speed", "480\n", "bConfigurationValue", "1\n",
                                             "bNumConfigurations", "1\n", nullptr,
                                             // udev properties
                                             "DEVNAME", node, "DEVTYPE", "usb_device", "BUSNUM",
                                             "001", "DEVNUM", address, "PRODUCT", product, nullptr);
    if (!path) return;
    sysPath_ = path;
    g_free(path);
    devNode_ = node;
    std::vector<uint8_t> d = descriptors(productId, sim_->bcdDevice());
    umockdev_testbed_set_attribute_binary(bed, sysPath_.c_str(), "descriptors", d.data(),
                                          static_cast<gssize>(d.size()));
    char hex[8];
    std::snprintf(hex, sizeof hex, "%04x\n", productId);
    umockdev_testbed_set_attribute(bed, sysPath_.c_str(), "idProduct", hex);
    umockdev_testbed_set_attribute(bed, sysPath_.c_str(), "idVendor", "0547\n");

    // The node itself: the preload library answers for a /dev path only where the testbed has
    // a file, and add_device makes none without recorded contents.
    {
        char* root = umockdev_testbed_get_root_dir(bed);
        const std::filesystem::path file = std::filesystem::path(root) / (devNode_.c_str() + 1);
        g_free(root);
        std::error_code ec;
        std::filesystem::create_directories(file.parent_path(), ec);
        std::ofstream{file};
    }
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&EmulatedCamera::onIoctl), this);
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(bed, devNode_.c_str(), handler_, &error)) {
        std::fprintf(stderr, "usb emulation: cannot attach to %s: %s\n", devNode_.c_str(),
                     error ? error->message : "?");
        if (error) g_error_free(error);
    }
}

EmulatedCamera::~EmulatedCamera() {
    UMockdevTestbed* bed = emulatedUsb();
    if (bed && handler_) {
        umockdev_testbed_detach_ioctl(bed, devNode_.c_str(), nullptr);
        g_signal_handlers_disconnect_by_data(handler_, this);
        g_object_unref(handler_);
    }
    if (bed && !sysPath_.empty()) umockdev_testbed_remove_device(bed, sysPath_.c_str());
    std::lock_guard lock(mutex_);
    for (Urb* u : pending_) delete u;
    for (Urb* u : completed_) delete u;
}

void EmulatedCamera::announce() {
    if (UMockdevTestbed* bed = emulatedUsb()) umockdev_testbed_uevent(bed, sysPath_.c_str(), "add");
}

void EmulatedCamera::unplug() {
    sim_->unplug();
    {
        std::lock_guard lock(mutex_);
        gone_ = true;
        for (Urb* u : pending_) {
            u->finish(-ESHUTDOWN, 0);
            completed_.push_back(u);
        }
        pending_.clear();
        counts_.pendingBulk = 0;
    }
    if (UMockdevTestbed* bed = emulatedUsb())
        umockdev_testbed_uevent(bed, sysPath_.c_str(), "remove");
}

void EmulatedCamera::holdBulk(bool hold) {
    std::lock_guard lock(mutex_);
    hold_ = hold;
}

std::vector<SetupPacket> EmulatedCamera::controlLog() const {
    std::lock_guard lock(mutex_);
    return log_;
}

void EmulatedCamera::clearControlLog() {
    std::lock_guard lock(mutex_);
    log_.clear();
}

NodeCounts EmulatedCamera::counts() const {
    std::lock_guard lock(mutex_);
    return counts_;
}

int EmulatedCamera::onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
    return static_cast<EmulatedCamera*>(self)->handle(client) ? TRUE : FALSE;
}

/// Answers the usbdevfs requests libusb makes. Runs on umockdev's thread.
bool EmulatedCamera::handle(UMockdevIoctlClient* client) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    std::lock_guard lock(mutex_);
    if (gone_) {
        // Completed URBs stay reapable after a disconnect, as in the kernel.
        if (request == USBDEVFS_REAPURBNDELAY && !completed_.empty())
            reap(client, arg);
        else
            umockdev_ioctl_client_complete(client, -1, ENODEV);
        return true;
    }
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES:
        if (UMockdevIoctlData* caps = resolve(arg, sizeof kCapabilities)) {
            std::memcpy(caps->data, &kCapabilities, sizeof kCapabilities);
            umockdev_ioctl_client_complete(client, 0, 0);
            umockdev_ioctl_data_unref(caps);
        } else {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
        }
        return true;
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_DISCONNECT_CLAIM: // no kernel driver to disconnect
        ++counts_.claims;
        sim_->claimInterface();
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    case USBDEVFS_RELEASEINTERFACE:
        ++counts_.releases;
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL:
        umockdev_ioctl_client_complete(client, -1, ENODATA); // no kernel driver bound
        return true;
    case USBDEVFS_RESET:
        ++counts_.resets;
        sim_->reset();
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    case USBDEVFS_CLEAR_HALT: {
        unsigned int endpoint = 0;
        if (UMockdevIoctlData* ep = resolve(arg, sizeof endpoint)) {
            std::memcpy(&endpoint, ep->data, sizeof endpoint);
            umockdev_ioctl_data_unref(ep);
        }
        int r = hx::usb::kUsbBadArgument;
        if (endpoint == kBulkInEndpoint) {
            ++counts_.clearHalts;
            r = sim_->clearPipeStall(hx::usb::kBulkInPipe);
        } else if (endpoint == 0) {
            r = sim_->clearPipeStall(hx::usb::kControlPipe);
        }
        umockdev_ioctl_client_complete(client, r == hx::usb::kUsbOk ? 0 : -1,
                                       r == hx::usb::kUsbOk ? 0 : EINVAL);
        return true;
    }
    case USBDEVFS_SUBMITURB:
        submit(client, arg);
        return true;
    case USBDEVFS_REAPURBNDELAY:
        reap(client, arg);
        return true;
    case USBDEVFS_DISCARDURB:
        discard(client, arg);
        return true;
    default:
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return true;
    }
}

/// Control URBs are answered at once by the simulator; bulk-in URBs wait in order for data.
void EmulatedCamera::submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    UMockdevIoctlData* record = resolve(arg, sizeof(usbdevfs_urb));
    if (!record) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    auto* u = reinterpret_cast<usbdevfs_urb*>(record->data);
    const bool controlUrb = u->type == USBDEVFS_URB_TYPE_CONTROL && u->endpoint == 0;
    const bool bulkUrb = u->type == USBDEVFS_URB_TYPE_BULK && u->endpoint == kBulkInEndpoint;
    if ((!controlUrb && !bulkUrb) || u->buffer_length <= (controlUrb ? 7 : 0)) {
        umockdev_ioctl_data_unref(record);
        umockdev_ioctl_client_complete(client, -1, controlUrb || bulkUrb ? EINVAL : ENOENT);
        return;
    }
    GError* error = nullptr;
    UMockdevIoctlData* buffer = umockdev_ioctl_data_resolve(
        record, offsetof(usbdevfs_urb, buffer), static_cast<gsize>(u->buffer_length), &error);
    if (!buffer) {
        if (error) g_error_free(error);
        umockdev_ioctl_data_unref(record);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    auto* urb = new Urb;
    urb->record = record;
    urb->buffer = buffer;
    if (controlUrb) {
        control(*urb);
        completed_.push_back(urb);
    } else {
        ++counts_.bulkSubmits;
        pending_.push_back(urb);
        counts_.pendingBulk = static_cast<int>(pending_.size());
    }
    umockdev_ioctl_client_complete(client, 0, 0);
}

/// One vendor request to the simulator, with the setup packet the host put in the buffer.
void EmulatedCamera::control(Urb& urb) {
    const uint8_t* setup = urb.buffer->data;
    SetupPacket packet;
    packet.bmRequestType = setup[0];
    packet.bRequest = setup[1];
    packet.wValue = static_cast<uint16_t>(setup[2] | setup[3] << 8);
    packet.wIndex = static_cast<uint16_t>(setup[4] | setup[5] << 8);
    packet.wLength = static_cast<uint16_t>(setup[6] | setup[7] << 8);
    const int room = urb.buffer->data_len - 8;
    if (packet.wLength > room || (packet.bmRequestType & 0x60) != 0x40) {
        // Only vendor requests exist on this camera; anything else stalls.
        packet.status = -EPIPE;
        urb.finish(-EPIPE, 0);
        log_.push_back(std::move(packet));
        return;
    }
    const bool in = (packet.bmRequestType & 0x80) != 0;
    std::vector<uint8_t> data(urb.buffer->data + 8, urb.buffer->data + 8 + packet.wLength);
    EZURB request{packet.bmRequestType,
                  packet.bRequest,
                  packet.wValue,
                  packet.wIndex,
                  packet.wLength,
                  data.empty() ? nullptr : data.data(),
                  0};
    const int r = sim_->controlRequest(request);
    const int done = static_cast<int>(std::min<uint32_t>(request.wLenDone, packet.wLength));
    if (in && done > 0) std::memcpy(urb.buffer->data + 8, data.data(), static_cast<size_t>(done));
    packet.data.assign(data.begin(), data.begin() + (in ? done : packet.wLength));
    packet.status = urbStatus(r);
    urb.finish(packet.status, in ? done : (r == hx::usb::kUsbOk ? packet.wLength : 0));
    log_.push_back(std::move(packet));
}

/// Feeds waiting bulk URBs from the simulator, oldest first, until one has to wait for a frame.
/// As in the kernel, a URB that ends short where the host asked for SHORT_NOT_OK, or that fails,
/// takes the rest of its transfer (the URBs flagged as its continuation) down with it, so those
/// never receive bytes of the next frame.
void EmulatedCamera::progressBulk() {
    // The last URB of a transfer is the one without SHORT_NOT_OK. Data flows only into
    // transfers the host has finished submitting: a real camera is far slower than the
    // submission, and this keeps the emulation from racing libusb's own bookkeeping.
    auto submitted = [this] {
        return std::any_of(pending_.begin(), pending_.end(), [](Urb* u) {
            return (u->urb()->flags & USBDEVFS_URB_SHORT_NOT_OK) == 0;
        });
    };
    while (!pending_.empty() && !hold_ && submitted()) {
        Urb* urb = pending_.front();
        const int length = urb->buffer->data_len;
        int received = 0;
        const int r = sim_->readPipe(hx::usb::kBulkInPipe, urb->buffer->data, length, &received);
        if (r == hx::usb::kUsbTimeout && received == 0) break; // no frame yet: keep waiting
        int status = urbStatus(r);
        if (status == 0 && received < length && (urb->urb()->flags & USBDEVFS_URB_SHORT_NOT_OK))
            status = -EREMOTEIO;
        urb->finish(status, received);
        ++counts_.bulkCompletions;
        counts_.bulkBytes += received;
        pending_.pop_front();
        completed_.push_back(urb);
        if (status == 0) continue;
        while (!pending_.empty() &&
               (pending_.front()->urb()->flags & USBDEVFS_URB_BULK_CONTINUATION)) {
            pending_.front()->finish(-ECONNRESET, 0);
            completed_.push_back(pending_.front());
            pending_.pop_front();
        }
    }
    counts_.pendingBulk = static_cast<int>(pending_.size());
}

/// Hands back the oldest finished URB. umockdev writes the record and its buffer back into the
/// host's memory when the ioctl completes.
void EmulatedCamera::reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    if (!gone_) progressBulk();
    if (completed_.empty()) {
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        return;
    }
    Urb* urb = completed_.front();
    completed_.pop_front();
    UMockdevIoctlData* slot = resolve(arg, sizeof(void*));
    if (!slot) {
        completed_.push_front(urb);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    umockdev_ioctl_data_set_ptr(slot, 0, urb->record);
    umockdev_ioctl_client_complete(client, 0, 0);
    umockdev_ioctl_data_unref(slot);
    delete urb;
}

/// Takes a waiting URB back; it is reaped with -ENOENT. A URB already finished cannot be.
void EmulatedCamera::discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    // The argument is the URB's address itself.
    gulong address = 0;
    std::memcpy(&address, arg->data, std::min(sizeof address, static_cast<size_t>(arg->data_len)));
    auto it = std::find_if(pending_.begin(), pending_.end(),
                           [&](Urb* u) { return u->record->client_addr == address; });
    if (it == pending_.end()) {
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    Urb* urb = *it;
    pending_.erase(it);
    urb->finish(-ENOENT, 0);
    completed_.push_back(urb);
    ++counts_.discards;
    counts_.pendingBulk = static_cast<int>(pending_.size());
    umockdev_ioctl_client_complete(client, 0, 0);
}

} // namespace hx::test
