// The libusb backend of the USB seam. Internal to usb/: nothing above this folder includes it.
#pragma once

#include <libusb.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "usb/UsbDevice.h"

namespace hx::usb {

/// One libusb context, shared by the bus that made it and every device it found, so that a
/// device stays usable after the bus has stopped.
class LibusbContext {
public:
    /// A fresh context, or null when libusb cannot start (no USB file system, for example).
    static std::shared_ptr<LibusbContext> create();
    ~LibusbContext();
    libusb_context* get() const { return ctx_; }

private:
    explicit LibusbContext(libusb_context* ctx) : ctx_(ctx) {}
    libusb_context* ctx_;
};

/// Maps a libusb error code to the seam's result codes.
int mapLibusbError(int error);
/// Maps a libusb transfer status to the seam's result codes.
int mapTransferStatus(int status);

/// A camera reached through libusb. Thread-safe: a control request and a bulk read may run at
/// once; abort() and a vanished device end both without waiting.
class LibusbDevice final : public UsbDevice {
public:
    LibusbDevice(std::shared_ptr<LibusbContext> context, libusb_device* device,
                 const libusb_device_descriptor& descriptor);
    ~LibusbDevice() override;

    uint16_t vendorId() const override { return descriptor_.idVendor; }
    uint16_t productId() const override { return descriptor_.idProduct; }
    uint16_t bcdDevice() const override { return descriptor_.bcdDevice; }

    int open() override;
    int reset() override;
    int configurationCount() override;
    int setConfiguration(int index) override;
    int claimInterface() override;
    int controlRequest(EZURB& request) override;
    int readPipe(int pipe, unsigned char* buffer, int length, int* received) override;
    int clearPipeStall(int pipe) override;
    void abort() override;
    void setReadTimeout(int timeoutMs) override;
    void cancelRead() override;
    void clearReadCancel() override;
    void close() override;

    /// Called by the bus when the device has left: every transfer ends with kUsbNoDevice.
    void markGone();
    libusb_device* device() const { return device_; }

    /// Bytes per bulk transfer and transfers kept in flight while a frame is read.
    static constexpr int kChunkBytes = 512 * 1024;
    static constexpr int kChunksInFlight = 4;

private:
    struct Job;
    bool stopped() const { return aborted_.load() || gone_.load() || closing_.load(); }
    int stoppedResult() const {
        return closing_.load() && !aborted_.load() && !gone_.load() ? kUsbNotOpen : kUsbNoDevice;
    }
    /// Why a wait ended before its job was done.
    enum class WaitEnd { Done, Stopped, Cancelled, TimedOut };
    /// Drives event handling until the job is done. A bulk read (`bulk`) also ends on
    /// cancelRead() and at its deadline (none when `deadline` is the epoch).
    WaitEnd waitFor(Job& job, bool bulk = false,
                    std::chrono::steady_clock::time_point deadline = {});
    static void LIBUSB_CALL onTransfer(libusb_transfer* transfer);

    std::shared_ptr<LibusbContext> context_;
    libusb_device* device_;
    libusb_device_descriptor descriptor_;

    /// Held shared by every operation that uses the handle, exclusively by open and close.
    std::shared_mutex handleMutex_;
    libusb_device_handle* handle_ = nullptr;
    int interface_ = -1;
    unsigned char bulkIn_ = 0;

    /// One frame read at a time; the chunk transfers are made once and reused.
    std::mutex readMutex_;
    std::vector<libusb_transfer*> chunks_;

    /// Bytes that chunks still in flight caught after a read ended with a short packet: the
    /// start of what the device sends next. The next read begins with them; a piece that
    /// itself ended short ends that read. Guarded by readMutex_.
    struct Carry {
        std::vector<unsigned char> bytes;
        bool shortEnd;
    };
    std::deque<Carry> carry_;

    /// Transfers in flight, so that abort() can cancel them.
    std::mutex flightMutex_;
    std::vector<libusb_transfer*> inFlight_;

    std::atomic<int> readTimeoutMs_{0};   ///< limit of each bulk read, 0: none
    std::atomic<bool> readCancel_{false}; ///< cancelRead() waits for a read to end
    std::atomic<bool> aborted_{false};
    std::atomic<bool> gone_{false};
    std::atomic<bool> closing_{false};
};

} // namespace hx::usb
