// The simulated camera: a complete device behind the USB seam that speaks the vendor
// protocol and delivers frames rendered from a moving scene through a sensor model.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "sim/SensorProfile.h"
#include "sim/WireFormat.h"
#include "usb/UsbDevice.h"

namespace hx::sim {

inline constexpr uint16_t kSimVendorId = 0x0547;

/// What the camera looks at.
enum class SimScene {
    MicroscopeSlide, ///< stained cells drifting across the field
    StarField,       ///< stars of many magnitudes drifting slowly
    TestChart,       ///< colour bars, grey steps and fine lines
    Flat,            ///< a uniform field of SimOptions::flatColour (for measurements)
};

struct SimOptions {
    uint64_t seed = 1;     ///< same seed and same requests give the same bytes
    bool realTime = false; ///< pace frames by exposure and line timing; else at once
    SimScene scene = SimScene::MicroscopeSlide;
    std::array<double, 3> flatColour{0.5, 0.5, 0.5}; ///< red, green, blue radiance, 0..1
    double ambientCelsius = 20.0;
    bool noise = true;     ///< shot and read noise
    bool hotPixels = true; ///< fixed pixels with strong dark current
    bool vignetting = true;
    bool motion = true;       ///< the scene moves from frame to frame
    int readTimeoutMs = 2000; ///< real time: longest wait for a start or an acknowledge
    /// Renders a picture once per frame shape and sends it again while the shape stays (for
    /// fault and fuzz runs, where the layout of the bytes matters, not the picture).
    bool repeatPicture = false;
};

/// One vendor request as the camera received it.
struct LoggedRequest {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;
    std::vector<uint8_t> data; ///< data stage: what the host sent (out) or was answered (in)
    int result = 0;            ///< the transport result returned to the host
};

class SimCamera : public hx::usb::UsbDevice {
public:
    SimCamera(SensorProfile profile, std::unique_ptr<WireFormat> format, uint16_t bcdDevice,
              SimOptions options);
    ~SimCamera() override;
    SimCamera(const SimCamera&) = delete;
    SimCamera& operator=(const SimCamera&) = delete;

    // hx::usb::UsbDevice
    uint16_t vendorId() const override { return kSimVendorId; }
    uint16_t productId() const override { return profile_.productId; }
    uint16_t bcdDevice() const override { return bcdDevice_; }
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

    // Request log: every vendor request received, in order (the oldest are dropped beyond
    // kRequestLogLimit entries).
    static constexpr size_t kRequestLogLimit = 1u << 16;
    std::vector<LoggedRequest> requestLog() const;
    void clearRequestLog();

    // Faults on demand.
    /// The next `count` transfers on pipe 0 or 1 stall. A stalled bulk pipe stays halted
    /// until clearPipeStall(1); pipe 0 recovers with the next request.
    void stallPipe(int pipe, int count = 1);
    /// The next frame transfer arrives `bytes` shorter.
    void shortenNextTransfer(int bytes);
    /// The next frame transfer arrives `bytes` longer (filler after the frame).
    void lengthenNextTransfer(int bytes);
    /// The next frame comes without its marker (head or end marker, as the format has).
    void omitNextMarker();
    /// The next frame carries a stray head at the start of block `block`.
    void strayHeadAtBlock(int block);
    /// The external snapshot button: the next frame carries the snapshot mark.
    void pressSnapshotButton();
    /// The cable is pulled: every transfer in progress and later answers kUsbNoDevice.
    void unplug();
    bool unplugged() const { return gone_.load(); }
    /// Fast mode: lets simulated time pass (temperature drift); real time ignores it.
    void advanceClock(double seconds);

    // Inspection.
    const SensorProfile& profile() const { return profile_; }
    bool isOpen() const;
    bool running() const;
    uint16_t registerValue(uint16_t reg) const; ///< 0 when never written
    std::map<uint16_t, uint16_t> registers() const;
    int resolutionIndex() const;
    uint8_t resolutionCode() const;
    int clockIndex() const;
    uint8_t clockCode() const;
    int bitDepth() const;           ///< 8 or 16
    uint32_t exposureLines() const; ///< total exposure line count in force
    double exposureMs() const;      ///< exposure time in force
    double linearGain() const;      ///< analog gain from the gain register
    int blackLevelRegisterValue() const;
    uint16_t controlPort(uint16_t index) const; ///< last 0xB8 wValue for this wIndex (0..7)
    bool coolerOn() const;
    bool gpio(int line) const; ///< GPIO lines 1..3 (0xB8 low byte 0x5F + line)
    double temperatureCelsius() const;
    std::pair<uint16_t, uint16_t> roiOrigin() const; ///< 0xBD wValue, wIndex
    std::pair<uint16_t, uint16_t> roiSize() const;   ///< 0xBE wValue, wIndex
    std::array<uint8_t, 512> userMemory() const;
    void setUserMemory(const std::array<uint8_t, 512>& bytes);
    uint64_t framesDelivered() const;   ///< frames whose transfer has begun
    size_t currentTransferSize() const; ///< bytes the next frame transfer will carry
    FrameShape currentShape() const;
    /// Hot pixels of the current shape, as (column, row) of the rendered image.
    std::vector<std::pair<int, int>> hotPixels() const;

private:
    struct Impl;
    using Clock = std::chrono::steady_clock;

    // Helpers called with m_ held.
    int handleRequest(EZURB& request, std::vector<uint8_t>& data);
    void logRequest(const EZURB& request, std::vector<uint8_t> data, int result);
    double simSeconds() const;
    void updateTemperature() const;
    double exposureMsLocked() const;
    double periodMs() const;
    uint32_t periodLinesNow() const;
    double gainLocked() const;
    void restartSensor();
    SensorState stateLocked() const;
    void applyCarriedExposure(uint16_t wValue, uint16_t wIndex);
    void writeRegister(uint16_t reg, uint16_t value);
    int produceFrame(std::unique_lock<std::mutex>& lock); // m_ held, released meanwhile

    SensorProfile profile_;
    std::unique_ptr<WireFormat> format_;
    uint16_t bcdDevice_;
    SimOptions options_;
    std::unique_ptr<Impl> impl_; // renderer: scene, tables, buffers

    mutable std::mutex m_;
    std::condition_variable cv_;
    std::mutex readMutex_;           // one bulk read at a time
    mutable std::mutex renderMutex_; // the renderer in impl_
    FrameShape renderedShape_{};     // guarded by renderMutex_: what the renderer holds
    bool rendered_ = false;          // guarded by renderMutex_
    std::atomic<bool> gone_{false};
    std::atomic<int> readTimeoutMs_{0}; // the host's limit of one bulk read, 0: none
    bool readCancel_ = false;           // guarded by m_: cancelRead() waits for a read
    bool open_ = false;
    bool claimed_ = false;

    // Device state, guarded by m_.
    std::map<uint16_t, uint16_t> registers_;
    int resolution_ = 0;
    int clock_ = 0;
    int bits_ = 8;
    uint32_t exposureTotal_ = 0;
    std::array<uint16_t, 8> controlPort_{};
    std::array<bool, 4> gpio_{};
    uint16_t roiX_ = 0, roiY_ = 0, roiW_ = 0, roiH_ = 0;
    bool roiRequested_ = false;
    std::array<uint8_t, 512> userMemory_{};
    bool running_ = false;
    bool acknowledged_ = true;
    Clock::time_point frameStart_;
    Clock::time_point created_;
    double virtualSeconds_ = 0;
    mutable double temperature_ = 20;
    mutable double temperatureAt_ = 0;
    uint64_t frameNumber_ = 0;

    // Faults, guarded by m_.
    int stallControl_ = 0;
    int stallBulk_ = 0;
    bool bulkHalted_ = false;
    int shortenBy_ = 0;
    int lengthenBy_ = 0;
    bool omitMarker_ = false;
    int strayBlock_ = -1;
    bool snapshotPressed_ = false;

    // Bytes of the frame being transferred, guarded by readMutex_.
    std::vector<uint8_t> transfer_;
    size_t transferLength_ = 0;
    size_t transferOffset_ = 0;
    uint64_t transferGeneration_ = 0; // bumped by mode changes to drop a stale rest
    uint64_t generation_ = 0;         // guarded by m_

    std::deque<LoggedRequest> log_;
};

/// A simulated camera for a product id of vendor 0x0547. bcdDevice 0 takes the profile's;
/// the wire format registered for the product id (or the base format) is selected.
std::shared_ptr<SimCamera> makeSimCamera(uint16_t productId, uint16_t bcdDevice = 0,
                                         SimOptions options = {});

} // namespace hx::sim
