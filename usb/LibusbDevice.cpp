#include "usb/LibusbDevice.h"

#include <sys/time.h>

#include <algorithm>
#include <cstring>

namespace hx::usb {

namespace {
constexpr unsigned int kControlTimeoutMs = 5000; ///< a control request never waits longer
constexpr long kPollMicroseconds = 100000;       ///< how often a waiter looks at abort()
} // namespace

std::shared_ptr<LibusbContext> LibusbContext::create() {
    libusb_context* ctx = nullptr;
    if (libusb_init(&ctx) != 0) return nullptr;
    return std::shared_ptr<LibusbContext>(new LibusbContext(ctx));
}

LibusbContext::~LibusbContext() {
    libusb_exit(ctx_);
}

int mapLibusbError(int error) {
    switch (error) {
    case LIBUSB_SUCCESS:
        return kUsbOk;
    case LIBUSB_ERROR_PIPE:
        return kUsbPipeStalled;
    case LIBUSB_ERROR_NO_DEVICE:
    case LIBUSB_ERROR_NOT_FOUND:
        return kUsbNoDevice;
    case LIBUSB_ERROR_TIMEOUT:
        return kUsbTimeout;
    case LIBUSB_ERROR_OVERFLOW:
        return kUsbOverrun;
    case LIBUSB_ERROR_INVALID_PARAM:
        return kUsbBadArgument;
    case LIBUSB_ERROR_ACCESS:
    case LIBUSB_ERROR_BUSY:
        return kUsbNotOpen;
    default:
        return error > 0 ? kUsbOk : kUsbIoError;
    }
}

int mapTransferStatus(int status) {
    switch (status) {
    case LIBUSB_TRANSFER_COMPLETED:
        return kUsbOk;
    case LIBUSB_TRANSFER_STALL:
        return kUsbPipeStalled;
    case LIBUSB_TRANSFER_NO_DEVICE:
    case LIBUSB_TRANSFER_CANCELLED:
        return kUsbNoDevice;
    case LIBUSB_TRANSFER_TIMED_OUT:
        return kUsbTimeout;
    case LIBUSB_TRANSFER_OVERFLOW:
        return kUsbOverrun;
    default:
        return kUsbIoError;
    }
}

/// One request in flight: a control request (one transfer, one piece) or a bulk read split into
/// pieces of kChunkBytes that a few reusable transfers carry in turn. The completion callback
/// hands the next piece to a transfer that finished in full, so the pipe never runs dry.
struct LibusbDevice::Job {
    LibusbDevice* owner = nullptr;
    std::mutex mutex;
    int completed = 0;  ///< set to 1 when nothing is left in flight (libusb's completion flag)
    int pending = 0;    ///< transfers in flight
    bool stop = false;  ///< a piece ended early or failed: submit nothing more
    int cause = kUsbOk; ///< the failure that stopped the job
    std::vector<libusb_transfer*> transfers;
    std::vector<int> slotPiece; ///< piece carried by each transfer
    std::vector<bool> busy;     ///< transfer in flight
    unsigned char* buffer = nullptr;
    int length = 0;
    int nextOffset = 0;
    int nextPiece = 0;
    std::vector<int> pieceLength, pieceActual, pieceStatus;

    int pieces() const { return (length + kChunkBytes - 1) / kChunkBytes; }
    /// Sets up transfer slot for the next piece; false when the frame is covered.
    bool prepare(size_t slot) {
        if (nextOffset >= length) return false;
        int len = std::min(kChunkBytes, length - nextOffset);
        libusb_transfer* t = transfers[slot];
        t->buffer = buffer + nextOffset;
        t->length = len;
        slotPiece[slot] = nextPiece;
        pieceLength[nextPiece] = len;
        ++nextPiece;
        nextOffset += len;
        return true;
    }
    void cancelOthers() {
        for (size_t i = 0; i < transfers.size(); ++i)
            if (busy[i]) libusb_cancel_transfer(transfers[i]);
    }
};

LibusbDevice::LibusbDevice(std::shared_ptr<LibusbContext> context, libusb_device* device,
                           const libusb_device_descriptor& descriptor)
    : context_(std::move(context)), device_(libusb_ref_device(device)), descriptor_(descriptor) {}

LibusbDevice::~LibusbDevice() {
    close();
    libusb_unref_device(device_);
}

int LibusbDevice::open() {
    std::unique_lock lock(handleMutex_);
    if (aborted_ || gone_) return kUsbNoDevice;
    if (handle_) return kUsbOk;
    int r = libusb_open(device_, &handle_);
    if (r != 0) {
        handle_ = nullptr;
        return mapLibusbError(r);
    }
    libusb_set_auto_detach_kernel_driver(handle_, 1);
    return kUsbOk;
}

int LibusbDevice::reset() {
    std::shared_lock lock(handleMutex_);
    if (stopped()) return stoppedResult();
    if (!handle_) return kUsbNotOpen;
    return mapLibusbError(libusb_reset_device(handle_));
}

int LibusbDevice::configurationCount() {
    return descriptor_.bNumConfigurations;
}

/// Selects the configuration at the given descriptor index by its bConfigurationValue; an
/// already active configuration is left alone, which spares the device a needless reset.
int LibusbDevice::setConfiguration(int index) {
    std::shared_lock lock(handleMutex_);
    if (stopped()) return stoppedResult();
    if (!handle_) return kUsbNotOpen;
    if (index < 0 || index >= descriptor_.bNumConfigurations) return kUsbBadArgument;
    libusb_config_descriptor* cfg = nullptr;
    int r = libusb_get_config_descriptor(device_, static_cast<uint8_t>(index), &cfg);
    if (r != 0) return mapLibusbError(r);
    int value = cfg->bConfigurationValue;
    libusb_free_config_descriptor(cfg);
    int active = -1;
    if (libusb_get_configuration(handle_, &active) == 0 && active == value) return kUsbOk;
    return mapLibusbError(libusb_set_configuration(handle_, value));
}

/// Claims the first interface of the active configuration with alternate setting 0 and finds
/// its bulk-in endpoint (pipe 1). The frame-read transfers are made here, once per device.
int LibusbDevice::claimInterface() {
    std::unique_lock lock(handleMutex_);
    if (aborted_ || gone_) return kUsbNoDevice;
    if (!handle_) return kUsbNotOpen;
    if (interface_ >= 0) return kUsbOk;
    libusb_config_descriptor* cfg = nullptr;
    int r = libusb_get_active_config_descriptor(device_, &cfg);
    if (r != 0) return mapLibusbError(r);
    if (cfg->bNumInterfaces == 0 || cfg->interface[0].num_altsetting == 0) {
        libusb_free_config_descriptor(cfg);
        return kUsbIoError;
    }
    const libusb_interface_descriptor& alt = cfg->interface[0].altsetting[0];
    int number = alt.bInterfaceNumber;
    unsigned char bulkIn = 0;
    for (int i = 0; i < alt.bNumEndpoints; ++i) {
        const libusb_endpoint_descriptor& ep = alt.endpoint[i];
        if ((ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) &&
            (ep.bmAttributes & 0x3) == LIBUSB_TRANSFER_TYPE_BULK) {
            bulkIn = ep.bEndpointAddress;
            break;
        }
    }
    libusb_free_config_descriptor(cfg);
    r = libusb_claim_interface(handle_, number);
    if (r != 0) return mapLibusbError(r);
    r = libusb_set_interface_alt_setting(handle_, number, 0);
    if (r != 0) {
        libusb_release_interface(handle_, number);
        return mapLibusbError(r);
    }
    interface_ = number;
    bulkIn_ = bulkIn;
    for (int i = 0; i < kChunksInFlight; ++i) {
        libusb_transfer* t = libusb_alloc_transfer(0);
        if (t) chunks_.push_back(t);
    }
    return chunks_.empty() ? kUsbIoError : kUsbOk;
}

void LIBUSB_CALL LibusbDevice::onTransfer(libusb_transfer* transfer) {
    Job* job = static_cast<Job*>(transfer->user_data);
    LibusbDevice* self = job->owner;
    std::lock_guard lock(job->mutex);
    {
        std::lock_guard flight(self->flightMutex_);
        auto& v = self->inFlight_;
        v.erase(std::remove(v.begin(), v.end(), transfer), v.end());
    }
    size_t slot =
        std::find(job->transfers.begin(), job->transfers.end(), transfer) - job->transfers.begin();
    int piece = job->slotPiece[slot];
    job->pieceActual[piece] = transfer->actual_length;
    job->pieceStatus[piece] = transfer->status;
    job->busy[slot] = false;
    bool full = transfer->status == LIBUSB_TRANSFER_COMPLETED &&
                transfer->actual_length == transfer->length;
    if (!full) {
        if (!job->stop && transfer->status != LIBUSB_TRANSFER_COMPLETED &&
            transfer->status != LIBUSB_TRANSFER_CANCELLED)
            job->cause = mapTransferStatus(transfer->status);
        job->stop = true;
        job->cancelOthers();
    } else if (!job->stop && !self->stopped() && job->prepare(slot)) {
        std::lock_guard flight(self->flightMutex_);
        int r = libusb_submit_transfer(transfer);
        if (r == 0) {
            job->busy[slot] = true;
            self->inFlight_.push_back(transfer);
            return;
        }
        job->pieceStatus[job->slotPiece[slot]] = LIBUSB_TRANSFER_ERROR;
        job->cause = mapLibusbError(r);
        job->stop = true;
        job->cancelOthers();
    }
    if (--job->pending == 0) job->completed = 1;
}

/// Drives libusb's event handling until the job is done; cancels it once the device is
/// aborted, gone or being closed, so no caller waits on a device that will not answer. A bulk
/// read is also cancelled by cancelRead() and when its deadline has passed.
LibusbDevice::WaitEnd LibusbDevice::waitFor(Job& job, bool bulk,
                                            std::chrono::steady_clock::time_point deadline) {
    WaitEnd end = WaitEnd::Done;
    for (;;) {
        {
            std::lock_guard lock(job.mutex);
            if (job.completed) break;
            if (end == WaitEnd::Done) {
                if (stopped())
                    end = WaitEnd::Stopped;
                else if (bulk && readCancel_.exchange(false))
                    end = WaitEnd::Cancelled;
                else if (bulk && deadline != std::chrono::steady_clock::time_point{} &&
                         std::chrono::steady_clock::now() >= deadline)
                    end = WaitEnd::TimedOut;
                if (end != WaitEnd::Done) {
                    job.stop = true;
                    job.cancelOthers();
                }
            }
        }
        timeval tv{0, kPollMicroseconds};
        libusb_handle_events_timeout_completed(context_->get(), &tv, &job.completed);
    }
    return end;
}

int LibusbDevice::controlRequest(EZURB& request) {
    request.wLenDone = 0;
    if (request.wLength > 0 && !request.pData) return kUsbBadArgument;
    std::shared_lock lock(handleMutex_);
    if (stopped()) return stoppedResult();
    if (!handle_) return kUsbNotOpen;
    std::vector<unsigned char> setup(LIBUSB_CONTROL_SETUP_SIZE + request.wLength);
    libusb_fill_control_setup(setup.data(), request.bmRequestType, request.bRequest, request.wValue,
                              request.wIndex, request.wLength);
    const bool in = (request.bmRequestType & LIBUSB_ENDPOINT_IN) != 0;
    if (!in && request.wLength > 0)
        std::memcpy(setup.data() + LIBUSB_CONTROL_SETUP_SIZE, request.pData, request.wLength);
    libusb_transfer* t = libusb_alloc_transfer(0);
    if (!t) return kUsbIoError;
    Job job;
    job.owner = this;
    job.transfers = {t};
    job.slotPiece = {0};
    job.busy = {true};
    job.pieceLength = {request.wLength};
    job.pieceActual = {0};
    job.pieceStatus = {LIBUSB_TRANSFER_ERROR};
    job.pending = 1;
    libusb_fill_control_transfer(t, handle_, setup.data(), &LibusbDevice::onTransfer, &job,
                                 kControlTimeoutMs);
    int r;
    {
        std::lock_guard flight(flightMutex_);
        r = libusb_submit_transfer(t);
        if (r == 0) inFlight_.push_back(t);
    }
    if (r != 0) {
        libusb_free_transfer(t);
        return mapLibusbError(r);
    }
    waitFor(job);
    int result = mapTransferStatus(job.pieceStatus[0]);
    if (job.pieceStatus[0] == LIBUSB_TRANSFER_CANCELLED && stopped()) result = stoppedResult();
    int actual = std::clamp(t->actual_length, 0, static_cast<int>(request.wLength));
    if (in && actual > 0) std::memcpy(request.pData, libusb_control_transfer_get_data(t), actual);
    request.wLenDone = static_cast<uint32_t>(actual);
    libusb_free_transfer(t);
    return result;
}

/// Reads one whole frame (or less, if the device ends it with a short packet) into buffer.
/// The frame travels in pieces of kChunkBytes, kChunksInFlight at a time, so frames larger than
/// the kernel's per-transfer limit arrive in one call and the bus never waits for the host.
/// Pieces in flight behind a short one may already hold what the device sent next; those bytes
/// open the next read instead of being dropped, so one short frame does not put every later
/// frame out of step.
int LibusbDevice::readPipe(int pipe, unsigned char* buffer, int length, int* received) {
    if (received) *received = 0;
    if (pipe != kBulkInPipe || length < 0 || (!buffer && length > 0)) return kUsbBadArgument;
    std::shared_lock lock(handleMutex_);
    if (stopped()) return stoppedResult();
    if (!handle_ || interface_ < 0 || bulkIn_ == 0) return kUsbNotOpen;
    if (length == 0) return kUsbOk;
    std::lock_guard reading(readMutex_);
    if (readCancel_.exchange(false)) return kUsbCancelled;
    const int limitMs = readTimeoutMs_.load();
    const auto deadline =
        limitMs > 0 ? std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs)
                    : std::chrono::steady_clock::time_point{};

    // What the last read left over comes first; a piece of it that ended short ends this read.
    int carried = 0;
    bool carryEnded = false;
    while (!carry_.empty() && carried < length && !carryEnded) {
        Carry& c = carry_.front();
        const size_t n = std::min(c.bytes.size(), static_cast<size_t>(length - carried));
        std::memcpy(buffer + carried, c.bytes.data(), n);
        carried += static_cast<int>(n);
        if (n < c.bytes.size()) {
            c.bytes.erase(c.bytes.begin(), c.bytes.begin() + static_cast<std::ptrdiff_t>(n));
        } else {
            carryEnded = c.shortEnd;
            carry_.pop_front();
        }
    }
    if (carried == length || carryEnded) {
        if (received) *received = carried;
        return kUsbOk;
    }
    buffer += carried;
    length -= carried;

    Job job;
    job.owner = this;
    job.buffer = buffer;
    job.length = length;
    const int pieces = job.pieces();
    job.pieceLength.assign(pieces, 0);
    job.pieceActual.assign(pieces, 0);
    job.pieceStatus.assign(pieces, LIBUSB_TRANSFER_ERROR);
    job.transfers = chunks_;
    job.slotPiece.assign(chunks_.size(), -1);
    job.busy.assign(chunks_.size(), false);
    {
        std::lock_guard jl(job.mutex);
        std::lock_guard flight(flightMutex_);
        for (size_t slot = 0; slot < chunks_.size(); ++slot) {
            if (job.stop || !job.prepare(slot)) break;
            libusb_transfer* t = chunks_[slot];
            libusb_fill_bulk_transfer(t, handle_, bulkIn_, t->buffer, t->length,
                                      &LibusbDevice::onTransfer, &job, 0);
            int r = libusb_submit_transfer(t);
            if (r != 0) {
                job.pieceStatus[job.slotPiece[slot]] = LIBUSB_TRANSFER_ERROR;
                job.cause = mapLibusbError(r);
                job.stop = true;
                job.cancelOthers();
                break;
            }
            job.busy[slot] = true;
            ++job.pending;
            inFlight_.push_back(t);
        }
        if (job.pending == 0) job.completed = 1;
    }
    const WaitEnd end = waitFor(job, true, deadline);

    // Bytes count up to the first piece that did not arrive whole.
    int total = 0;
    int result = kUsbOk;
    int last = -1;
    for (int i = 0; i < job.nextPiece; ++i) {
        total += job.pieceActual[i];
        if (job.pieceStatus[i] == LIBUSB_TRANSFER_COMPLETED &&
            job.pieceActual[i] == job.pieceLength[i])
            continue;
        last = i;
        if (job.pieceStatus[i] == LIBUSB_TRANSFER_COMPLETED)
            result = kUsbOk;
        else if (stopped())
            result = stoppedResult();
        else if (job.pieceStatus[i] == LIBUSB_TRANSFER_CANCELLED && end == WaitEnd::Cancelled)
            result = kUsbCancelled;
        else if (job.pieceStatus[i] == LIBUSB_TRANSFER_CANCELLED && end == WaitEnd::TimedOut)
            result = kUsbTimeout;
        else if (job.pieceStatus[i] == LIBUSB_TRANSFER_CANCELLED)
            result = job.cause;
        else
            result = mapTransferStatus(job.pieceStatus[i]);
        break;
    }
    // Behind a short packet, pieces that still caught bytes hold the start of the next read.
    if (last >= 0 && job.pieceStatus[last] == LIBUSB_TRANSFER_COMPLETED && !stopped()) {
        for (int i = last + 1; i < job.nextPiece; ++i) {
            const int actual = job.pieceActual[i];
            const bool completed = job.pieceStatus[i] == LIBUSB_TRANSFER_COMPLETED;
            if (actual > 0 || completed) {
                const unsigned char* at = buffer + static_cast<size_t>(i) * kChunkBytes;
                carry_.push_back(Carry{std::vector<unsigned char>(at, at + actual),
                                       completed && actual < job.pieceLength[i]});
            }
            if (!completed) break; // nothing arrives behind a cancelled or failed piece
        }
    }
    if (received) *received = carried + total;
    return result;
}

/// Clears a halt on the bulk-in pipe. A stall of the default pipe ends with the next setup
/// packet by itself, so pipe 0 needs no request.
int LibusbDevice::clearPipeStall(int pipe) {
    if (pipe != kControlPipe && pipe != kBulkInPipe) return kUsbBadArgument;
    std::shared_lock lock(handleMutex_);
    if (stopped()) return stoppedResult();
    if (!handle_) return kUsbNotOpen;
    if (pipe == kControlPipe) return kUsbOk;
    if (bulkIn_ == 0) return kUsbNotOpen;
    return mapLibusbError(libusb_clear_halt(handle_, bulkIn_));
}

void LibusbDevice::abort() {
    aborted_ = true;
    std::lock_guard flight(flightMutex_);
    for (libusb_transfer* t : inFlight_) libusb_cancel_transfer(t);
}

void LibusbDevice::setReadTimeout(int timeoutMs) {
    readTimeoutMs_ = timeoutMs > 0 ? timeoutMs : 0;
}

/// The waiting read sees the flag at its next poll, within kPollMicroseconds.
void LibusbDevice::cancelRead() {
    readCancel_ = true;
}

void LibusbDevice::clearReadCancel() {
    readCancel_ = false;
}

void LibusbDevice::markGone() {
    gone_ = true;
    std::lock_guard flight(flightMutex_);
    for (libusb_transfer* t : inFlight_) libusb_cancel_transfer(t);
}

/// Cancels what is in flight, waits until every operation has left, then releases the
/// interface and closes the handle.
void LibusbDevice::close() {
    closing_ = true;
    {
        std::lock_guard flight(flightMutex_);
        for (libusb_transfer* t : inFlight_) libusb_cancel_transfer(t);
    }
    std::unique_lock lock(handleMutex_);
    for (libusb_transfer* t : chunks_) libusb_free_transfer(t);
    chunks_.clear();
    carry_.clear(); // no read is running while the handle is held exclusively
    if (handle_) {
        if (interface_ >= 0 && !gone_) libusb_release_interface(handle_, interface_);
        libusb_close(handle_);
    }
    handle_ = nullptr;
    interface_ = -1;
    bulkIn_ = 0;
    closing_ = false;
}

} // namespace hx::usb
