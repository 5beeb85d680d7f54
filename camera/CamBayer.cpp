// The base camera: construction, destruction and the USB layer (open, control transfers, bulk
// reads, sensor start and stop, firmware versions, user-information memory).
#include "camera/CamBayer.h"

#include <algorithm>
#include <cstring>

#include "algorithms/algorithms.h"

using hx::usb::kBulkInPipe;
using hx::usb::kControlPipe;
using hx::usb::kUsbBadArgument;
using hx::usb::kUsbNoDevice;
using hx::usb::kUsbNotOpen;
using hx::usb::kUsbPipeStalled;

namespace {

/// User-information memory: up to 512 bytes at device addresses 0x41 onwards, 64 per request.
constexpr int kUserMemoryBytes = 512;
constexpr int kUserMemoryChunk = 64;
constexpr uint16_t kUserMemoryBase = 0x41;

/// Fills both halves of a curve allocation with one builder's table.
template <typename Build> void fillBoth(unsigned char* tables, int size, Build build) {
    build(tables);
    std::memcpy(tables + size, tables, static_cast<size_t>(size));
}

} // namespace

/// Builds the host-side settings of every camera: contrast, the automatic-exposure target (which
/// borrows the contrast tables), three stretch curves and three gamma curves. Saturation and the
/// digital gains stay off until a colour model creates them.
CamBayer::CamBayer() {
    contrastTables = std::make_unique<unsigned char[]>(2 * kCurveTableSize);
    fillBoth(contrastTables.get(), kCurveTableSize,
             [](unsigned char* t) { __matrix_contrast(128, t, kCurveTableSize); });
    software[kSwContrast] = {
        128, 0, 255, 1, 1, 0, contrastTables.get(), contrastTables.get() + kCurveTableSize};
    software[kSwAeTarget] = {
        110, 60, 180, 1, 1, 0, contrastTables.get(), contrastTables.get() + kCurveTableSize};
    for (int c = 0; c < 3; ++c) {
        stretchTables[c] = std::make_unique<unsigned char[]>(2 * kCurveTableSize);
        fillBoth(stretchTables[c].get(), kCurveTableSize,
                 [](unsigned char* t) { __matrix_stretch(0, 255, t, kCurveTableSize); });
        software[kSwStretch0 + c] = {
            0, 0, 255, 1, 1, 0, stretchTables[c].get(), stretchTables[c].get() + kCurveTableSize};
        gammaTables[c] = std::make_unique<unsigned char[]>(2 * kCurveTableSize);
        fillBoth(gammaTables[c].get(), kCurveTableSize,
                 [](unsigned char* t) { __matrix_gamma(100, t, kCurveTableSize); });
        software[kSwGamma0 + c] = {
            100, 20, 150, 1, 1, 0, gammaTables[c].get(), gammaTables[c].get() + kCurveTableSize};
    }
}

/// Stops a running sensor, frees the calibration images and closes the device. The lookup
/// tables and the defect list are released by their owners.
CamBayer::~CamBayer() {
    if (state.load() == kStateRunning && usbDevice) {
        EZURB stop{0x40, 0xBB, 0, 0, 0, nullptr, 0};
        controlTransfer(stop);
        state = kStateStopped;
    }
    ezReleaseImage(&flatFieldImage);
    ezReleaseImage(&flatFieldWork);
    delete[] defectList;
    defectList = nullptr;
    if (usbDevice) usbDevice->close();
}

/// Creates the colour-only settings: saturation with its 256 x 256 table and the three digital
/// gains at the neutral 64.
void CamBayer::createColourSettings(int saturationValue) {
    Lock lock(settingsLock);
    const int sat = std::clamp(saturationValue, 0, 255);
    saturationTables = std::make_unique<unsigned char[]>(2 * kSaturationTableSize);
    __matrix_saturation(sat, saturationTables.get(), kCurveTableSize);
    std::memcpy(saturationTables.get() + kSaturationTableSize, saturationTables.get(),
                kSaturationTableSize);
    software[kSwSaturation] = {static_cast<uint8_t>(sat),
                               0,
                               255,
                               1,
                               1,
                               0,
                               saturationTables.get(),
                               saturationTables.get() + kSaturationTableSize};
    for (int c = 0; c < 3; ++c) {
        gainTables[c] = std::make_unique<unsigned char[]>(2 * kCurveTableSize);
        fillBoth(gainTables[c].get(), kCurveTableSize,
                 [](unsigned char* t) { __matrix_channel(64, t, kCurveTableSize); });
        software[kSwGainRed + c] = {
            64, 16, 240, 1, 1, 0, gainTables[c].get(), gainTables[c].get() + kCurveTableSize};
    }
}

void CamBayer::allocateDefectList() {
    delete[] defectList;
    defectList = new _ezPoint[static_cast<size_t>(std::max(defectCapacity, 1))]();
    defectCount = 0;
}

void CamBayer::setModelName(const char* display, std::atomic<int>& counter) {
    displayName = display ? display : "";
    name = displayName;
    name.push_back(static_cast<char>(48 + counter.fetch_add(1)));
}

// ---- opening --------------------------------------------------------------------------------

/// Opens the device: open, port reset, configuration 0, claim of the first interface, then the
/// model's claim hook. A device that cannot be opened or whose interface cannot be claimed is
/// closed and forgotten, so the camera never sends to it.
int CamBayer::__open_driver(std::shared_ptr<hx::usb::UsbDevice> device) {
    if (!device) return -3;
    descriptor.idProduct = device->productId();
    descriptor.idVendor = device->vendorId();
    descriptor.bcdDevice = device->bcdDevice();
    if (device->open() != 0) {
        device->close();
        return -3;
    }
    device->reset();
    device->configurationCount();
    device->setConfiguration(0);
    if (device->claimInterface() != 0) {
        device->close();
        return -3;
    }
    {
        Lock lock(settingsLock);
        usbDevice = std::move(device);
        usbInterface = true;
    }
    _claim_device();
    return 0;
}

int CamBayer::_claim_device() {
    return 0;
}

// ---- the settings lock ----------------------------------------------------------------------

void CamBayer::SettingsMutex::acquired() {
    if (depth_++ == 0) {
        owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
        queued_ = false;
    }
}

void CamBayer::SettingsMutex::lock() {
    mutex_.lock();
    acquired();
}

bool CamBayer::SettingsMutex::try_lock() {
    if (!mutex_.try_lock()) return false;
    acquired();
    return true;
}

/// The outermost unlock of a hold that queued control requests sends them, without the lock:
/// a camera that is slow to answer holds up the thread that changed its settings, never the
/// threads that only read them.
void CamBayer::SettingsMutex::unlock() {
    bool send = false;
    if (--depth_ == 0) {
        owner_.store(std::thread::id(), std::memory_order_relaxed);
        send = queued_;
        queued_ = false;
    }
    mutex_.unlock();
    if (send) camera_.flushControlRequests();
}

// ---- transfers ------------------------------------------------------------------------------

/// One vendor control request, tried up to `attempts` times. A stall is cleared after the failed
/// attempt and the clearing's result becomes the current one. The time-out is not used.
///
/// Made under the settings lock, a request without a reply is queued and goes out when the
/// lock is let go (its result is then 0: settings never depend on it); requests to one camera
/// always reach it in the order they were made. Any other request is sent at once, after the
/// requests queued before it.
int CamBayer::_sumbit_ctl_urb(unsigned int /*timeout*/, unsigned int attempts, EZURB* request) {
    if (!request || attempts == 0) return kUsbBadArgument;
    if (settingsLock.heldHere()) {
        if (!usbDevice || !usbInterface) return kUsbNotOpen;
        if ((request->bmRequestType & 0x80) == 0) {
            queueControlRequest(*request, attempts);
            return 0;
        }
    }
    std::lock_guard transfer(transferMutex);
    sendQueuedLocked();
    return submitNow(*request, attempts);
}

int CamBayer::submitNow(EZURB& request, unsigned int attempts) {
    if (!usbDevice || !usbInterface) return kUsbNotOpen;
    int result = 0;
    for (unsigned int i = 0; i < attempts; ++i) {
        result = usbDevice->controlRequest(request);
        if (result == 0) return 0;
        if (result == kUsbPipeStalled) result = usbDevice->clearPipeStall(kControlPipe);
        if (result == kUsbNoDevice) break;
    }
    return result;
}

void CamBayer::queueControlRequest(const EZURB& request, unsigned int attempts) {
    QueuedRequest queued{request, attempts, {}};
    if (request.wLength > 0 && request.pData) {
        const auto* bytes = static_cast<const unsigned char*>(request.pData);
        queued.data.assign(bytes, bytes + request.wLength);
    }
    {
        std::lock_guard outboxLock(outboxMutex);
        outbox.push_back(std::move(queued));
    }
    settingsLock.noteQueued();
}

void CamBayer::sendQueuedLocked() {
    for (;;) {
        QueuedRequest next;
        {
            std::lock_guard outboxLock(outboxMutex);
            if (outbox.empty()) return;
            next = std::move(outbox.front());
            outbox.pop_front();
        }
        next.request.pData = next.data.empty() ? nullptr : next.data.data();
        submitNow(next.request, next.attempts);
    }
}

void CamBayer::flushControlRequests() {
    std::lock_guard transfer(transferMutex);
    sendQueuedLocked();
}

int CamBayer::controlTransfer(EZURB& request) {
    std::lock_guard transfer(transferMutex);
    sendQueuedLocked();
    if (!usbDevice || !usbInterface) return kUsbNotOpen;
    const int result = usbDevice->controlRequest(request);
    if (result == kUsbPipeStalled) usbDevice->clearPipeStall(kControlPipe);
    return result;
}

int CamBayer::readBulk(unsigned char* buffer, int length, int* received) {
    int dummy = 0;
    int* got = received ? received : &dummy;
    *got = 0;
    if (!buffer || length < 0) return kUsbBadArgument;
    if (!usbDevice || !usbInterface) return kUsbNotOpen;
    if (state.load() == kStateRemoved) return kUsbNoDevice;
    usbDevice->setReadTimeout(frameTimeoutMs());
    const int result = usbDevice->readPipe(kBulkInPipe, buffer, length, got);
    if (result == kUsbPipeStalled) usbDevice->clearPipeStall(kBulkInPipe);
    return result;
}

/// One bulk read; always 0: callers judge the read by the byte count and the frame markers.
int CamBayer::_read_bulk_data(unsigned char* buffer, int length, int* received) {
    readBulk(buffer, length, received);
    return 0;
}

void CamBayer::prepareRequest(EZURB& request, uint8_t bRequest, uint16_t wValue, uint16_t wIndex) {
    request = EZURB{0x40, bRequest, wValue, wIndex, 0, nullptr, 0};
}

int CamBayer::sendVendorRequest(uint8_t bRequest, uint16_t wValue, uint16_t wIndex) {
    EZURB request;
    prepareRequest(request, bRequest, wValue, wIndex);
    return _sumbit_ctl_urb(1000, 1, &request);
}

void CamBayer::PendingMode::take() {
    if (taken_ || !camera_.resolutionPending.load()) return;
    request_ = camera_.resolution.request;
    serial_ = camera_.resolutionSerial;
    taken_ = true;
}

bool CamBayer::PendingMode::send() {
    if (!taken_ || sent_) return false;
    sent_ = true;
    Lock lock(camera_.settingsLock);
    EZURB request = request_;
    if (camera_.resolutionSerial == serial_) {
        if (!camera_.resolutionPending.load()) return false;
        camera_.resolutionPending = false;
        request = camera_.resolution.request;
    }
    camera_._sumbit_ctl_urb(1000, 1, &request);
    return true;
}

bool CamBayer::readAborted() const {
    return state.load() == kStateRemoved;
}

void CamBayer::_mark_removed() {
    state = kStateRemoved;
    if (usbDevice) usbDevice->abort();
}

int CamBayer::_delay(int /*milliseconds*/) {
    return 0;
}

// ---- sensor start and stop ------------------------------------------------------------------

/// Stops the sensor. A camera marked removed stays marked.
int CamBayer::_sensor_suspend() {
    Lock lock(settingsLock);
    sendVendorRequest(0xBB, 0, 0);
    int expected = kStateRunning;
    state.compare_exchange_strong(expected, kStateStopped);
    return 0;
}

/// Starts the sensor and re-applies the current settings through the virtual setters, so that a
/// model's own versions run.
int CamBayer::_sensor_resume() {
    Lock lock(settingsLock);
    sendVendorRequest(0xBA, 0, 0);
    int expected = kStateStopped;
    state.compare_exchange_strong(expected, kStateRunning);
    _delay(300);
    _set_raw_depth(rawDepth.value);
    _set_pixsclock(pixelClock.value);
    _set_analog_gain(analogGain.value);
    _set_blacklevel(blackLevel.value);
    _set_resolution(resolution.value, true);
    return 0;
}

int CamBayer::_default() {
    Lock lock(settingsLock);
    _set_analog_gain(analogGain.def);
    _set_pixsclock(pixelClock.def);
    _set_blacklevel(blackLevel.def);
    return 0;
}

// ---- identity -------------------------------------------------------------------------------

const char* CamBayer::_name() {
    return name.c_str();
}
int CamBayer::_body() {
    return receiveSize;
}
int CamBayer::_head() {
    return headLength;
}
int CamBayer::_state() {
    return state.load();
}
int CamBayer::_set_state(int value) {
    state = value;
    return 0;
}
int CamBayer::_idproduct() {
    return descriptor.idProduct;
}
int CamBayer::_idvendor() {
    return descriptor.idVendor;
}
int CamBayer::_bcddevice() {
    return descriptor.bcdDevice;
}
int CamBayer::_bcdusb() {
    return descriptor.bcdUSB;
}
int CamBayer::_channles() {
    return channels;
}
int CamBayer::_bayer() {
    return bayerPattern;
}

/// Firmware versions: the first two bytes of the 0xB6 reply as a signed little-endian number.
int CamBayer::_versions(int* version) {
    if (!version) return -2;
    unsigned char reply[64] = {};
    EZURB request{0xC0, 0xB6, 0, 2, 64, reply, 0};
    controlTransfer(request);
    *version = static_cast<int16_t>(static_cast<uint16_t>(reply[0] | (reply[1] << 8)));
    return 0;
}

// ---- user-information memory ----------------------------------------------------------------

namespace {

/// The request that moves one chunk of user information at `offset` bytes into the memory:
/// wValue its first address, wIndex its last, a data stage of `chunk` bytes.
EZURB userMemoryRequest(uint8_t bmRequestType, uint8_t bRequest, int offset, int chunk,
                        unsigned char* bytes) {
    const auto first = static_cast<uint16_t>(kUserMemoryBase + offset);
    return EZURB{bmRequestType,
                 bRequest,
                 first,
                 static_cast<uint16_t>(first + chunk - 1),
                 static_cast<uint16_t>(chunk),
                 bytes,
                 0};
}

} // namespace

/// Writes min(length, 512) bytes in 64-byte chunks from address 0x41. A short last chunk carries
/// only the bytes the caller gave: its data stage is that many bytes and wIndex is the address
/// of its last byte.
int CamBayer::_wmem_inf(const char* data, int length) {
    if (!data) return -2;
    const int total = std::clamp(length, 0, kUserMemoryBytes);
    for (int offset = 0; offset < total; offset += kUserMemoryChunk) {
        const int chunk = std::min(kUserMemoryChunk, total - offset);
        unsigned char bytes[kUserMemoryChunk] = {};
        std::memcpy(bytes, data + offset, static_cast<size_t>(chunk));
        EZURB request = userMemoryRequest(0x40, 0xB0, offset, chunk, bytes);
        if (controlTransfer(request) == kUsbNotOpen) break;
    }
    return 0;
}

/// Reads min(length, 512) bytes of user information as text, in the chunks _wmem_inf writes,
/// and ends them with a 0 byte: the buffer holds that count plus one. Bytes the camera did not
/// send read as 0.
int CamBayer::_rmem_inf(char* buffer, int length) {
    if (!buffer) return -2;
    const int total = std::clamp(length, 0, kUserMemoryBytes);
    for (int offset = 0; offset < total; offset += kUserMemoryChunk) {
        const int chunk = std::min(kUserMemoryChunk, total - offset);
        unsigned char bytes[kUserMemoryChunk] = {};
        EZURB request = userMemoryRequest(0xC0, 0xB1, offset, chunk, bytes);
        controlTransfer(request);
        std::memcpy(buffer + offset, bytes, static_cast<size_t>(chunk));
    }
    buffer[total] = 0;
    return 0;
}

// ---- operations the base does not offer ------------------------------------------------------

int CamBayer::_set_edge_inhibition(bool) {
    return -4;
}
int CamBayer::_edge_inhibition(bool*) {
    return -4;
}
int CamBayer::_set_gpio(int, bool) {
    return -4;
}
int CamBayer::_gpio(int, bool*) {
    return -4;
}
int CamBayer::_set_cooled(bool) {
    return -4;
}
int CamBayer::_cooled(bool*) {
    return -4;
}
int CamBayer::_temperature(float*) {
    return -4;
}
int CamBayer::_set_shift_operator(int) {
    return -4;
}
int CamBayer::_shift_operator() {
    return -4;
}
int CamBayer::_shift_operator_range(int*, int*, int*) {
    return -4;
}
int CamBayer::_set_filter(bool) {
    return -4;
}
int CamBayer::_get_filter(bool* on) {
    if (on) *on = false;
    return -4;
}
int CamBayer::_update_firmware(const std::string&) {
    return -4;
}
int CamBayer::_extern_snap() {
    return 0;
}
