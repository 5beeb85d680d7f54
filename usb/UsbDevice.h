// The transport seam: one USB device as the camera layer sees it. Backends: the libusb
// device (real hardware) and the simulated camera. Nothing above usb/ includes libusb.
#pragma once

#include <cstdint>

#include "usb/EZURB.h"

namespace hx::usb {

/// Transport results: 0 or a negative code. Callers compare only against these names.
enum UsbResult : int {
    kUsbOk = 0,
    kUsbPipeStalled = static_cast<int>(0xE000404Fu), ///< the endpoint answered with a stall
    kUsbNoDevice = static_cast<int>(0xE00002C0u),    ///< the device is gone (or was aborted)
    kUsbIoError = static_cast<int>(0xE00002CAu),     ///< any other transfer failure
    kUsbTimeout = static_cast<int>(0xE0004051u),     ///< the transfer timed out
    kUsbNotOpen = static_cast<int>(0xE00002CDu),     ///< the device or interface is not open
    kUsbBadArgument = static_cast<int>(0xE00002C2u), ///< a null buffer, a bad pipe, a bad length
    kUsbOverrun = static_cast<int>(0xE00002E8u),     ///< the device sent more than was asked for
    kUsbCancelled = static_cast<int>(0xE00002EBu),   ///< the read was ended by cancelRead()
};

inline constexpr int kControlPipe = 0; ///< pipe 0: the default control endpoint
inline constexpr int kBulkInPipe = 1;  ///< pipe 1: the first interface's bulk-in endpoint

/// One USB device. All operations may be called from several threads at once: control requests
/// (pipe 0) and bulk reads (pipe 1) can be in flight together. A device that is gone answers
/// kUsbNoDevice and never blocks forever.
class UsbDevice {
public:
    virtual ~UsbDevice() = default;

    // Descriptor ids, known before the device is opened.
    virtual uint16_t vendorId() const = 0;
    virtual uint16_t productId() const = 0;
    virtual uint16_t bcdDevice() const = 0;

    /// Opens the device for exclusive use.
    virtual int open() = 0;
    /// Resets the device (port reset).
    virtual int reset() = 0;
    /// Number of configurations the device offers.
    virtual int configurationCount() = 0;
    /// Selects the configuration with the given descriptor index (0: the first).
    virtual int setConfiguration(int index) = 0;
    /// Claims the first interface and selects its alternate setting 0.
    virtual int claimInterface() = 0;
    /// One control request on pipe 0; fills request.wLenDone.
    virtual int controlRequest(EZURB& request) = 0;
    /// One read of up to length bytes from the given pipe (kBulkInPipe); *received gets the
    /// byte count actually read, also on failure.
    virtual int readPipe(int pipe, unsigned char* buffer, int length, int* received) = 0;
    /// Clears a stall on pipe 0 or 1.
    virtual int clearPipeStall(int pipe) = 0;
    /// Makes every transfer in progress and every later one return kUsbNoDevice at once.
    virtual void abort() = 0;

    // Bounded bulk reads. Backends whose reads can wait override these; the defaults suit a
    // device that always answers at once.

    /// Bulk reads that start from now on give up with kUsbTimeout once timeoutMs have passed
    /// (0, the initial value: no limit).
    virtual void setReadTimeout(int timeoutMs) { (void)timeoutMs; }
    /// Ends the bulk read in progress with kUsbCancelled, promptly; with none in progress the
    /// next one to start ends so at once. Unlike abort() the device stays usable.
    virtual void cancelRead() {}
    /// Forgets a cancel that no read has taken.
    virtual void clearReadCancel() {}
    /// Releases the interface and closes the device; safe to call twice.
    virtual void close() = 0;
};

} // namespace hx::usb
