#include "sim/SimCamera.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "sim/FrameRenderer.h"

namespace hx::sim {

using namespace hx::usb;

namespace {

constexpr uint16_t kMemoryFirst = 0x41;          // first user-memory address
constexpr size_t kMemorySize = 512;              // bytes of user memory
constexpr size_t kReplyLength = 64;              // data stage of the 0xB6 replies
constexpr double kCoolerDelta = 30.0;            // degrees the cooler reaches below ambient
constexpr double kThermalSeconds = 30.0;         // time constant of the temperature
constexpr size_t kMaxSamples = size_t(1) << 26;  // sanity limit of one rendered frame
constexpr size_t kMaxTransfer = size_t(1) << 28; // sanity limit of one transfer
constexpr uint8_t kFillByte = 0x00;              // bytes a lengthened transfer carries

enum : uint8_t {
    kWriteMemory = 0xB0,
    kReadMemory = 0xB1,
    kFrameAck = 0xB3,
    kResolution = 0xB4,
    kClock = 0xB5,
    kQuery = 0xB6,
    kRegister = 0xB7,
    kControlPort = 0xB8,
    kDepth = 0xB9,
    kStart = 0xBA,
    kStop = 0xBB,
    kRoiOrigin = 0xBD,
    kRoiSize = 0xBE,
};

} // namespace

struct SimCamera::Impl {
    FrameRenderer renderer;
    Impl(const SensorProfile& profile, const SimOptions& options) : renderer(profile, options) {}
};

SimCamera::SimCamera(SensorProfile profile, std::unique_ptr<WireFormat> format, uint16_t bcdDevice,
                     SimOptions options)
    : profile_(std::move(profile)), format_(std::move(format)), bcdDevice_(bcdDevice),
      options_(options) {
    // A profile without tables still gives a working camera.
    if (profile_.resolutions.empty()) profile_.resolutions = {{0xC0, 1948, 0, 1600, 1200, 0}};
    for (auto& item : profile_.resolutions) {
        item.sensorWidth = std::max<uint16_t>(item.sensorWidth, 8);
        item.sensorHeight = std::max<uint16_t>(item.sensorHeight, 8);
        item.lineLength = std::max<uint16_t>(item.lineLength, 1);
    }
    if (profile_.clocks.empty()) profile_.clocks = {{0xA0, 24000}};
    for (auto& clock : profile_.clocks) clock.rateKHz = std::max<uint32_t>(clock.rateKHz, 1);
    if (!format_) format_ = std::make_unique<HeadMarkerFormat>();
    resolution_ = std::clamp(profile_.initialResolution, 0, int(profile_.resolutions.size()) - 1);
    clock_ = std::clamp(profile_.initialClock, 0, int(profile_.clocks.size()) - 1);
    registers_[profile_.gainRegister] = profile_.initialGainRegister;
    registers_[profile_.blackLevelRegister] = uint16_t(std::max(profile_.blackLevelZero, 0));
    exposureTotal_ = profile_.initialExposureLines;
    // Power-on register contents that agree with the initial exposure.
    const uint32_t period = periodLinesNow();
    switch (profile_.exposureLaw) {
    case ExposureLaw::Lines:
        registers_[profile_.exposureRegister] = uint16_t(exposureTotal_);
        break;
    case ExposureLaw::Periods:
        registers_[profile_.exposureRegister] = uint16_t(exposureTotal_ % period);
        if (profile_.longExposureRegister)
            registers_[profile_.longExposureRegister] = uint16_t(exposureTotal_ / period);
        break;
    case ExposureLaw::HighLow:
        registers_[profile_.exposureRegister] = uint16_t(exposureTotal_ >> 16);
        if (profile_.longExposureRegister)
            registers_[profile_.longExposureRegister] = uint16_t(exposureTotal_ & 0xFFFF);
        break;
    }
    temperature_ = options_.ambientCelsius;
    created_ = Clock::now();
    frameStart_ = created_;
    impl_ = std::make_unique<Impl>(profile_, options_);
}

SimCamera::~SimCamera() = default;

// ---------------------------------------------------------------------------------------------
// Device lifecycle

int SimCamera::open() {
    if (gone_) return kUsbNoDevice;
    std::lock_guard lock(m_);
    if (open_) return kUsbIoError; // exclusive use
    open_ = true;
    return kUsbOk;
}

/// A port reset stops the sensor and drops a frame in flight; settings and memory stay.
int SimCamera::reset() {
    if (gone_) return kUsbNoDevice;
    std::lock_guard lock(m_);
    if (!open_) return kUsbNotOpen;
    running_ = false;
    acknowledged_ = true;
    bulkHalted_ = false;
    ++generation_;
    cv_.notify_all();
    return kUsbOk;
}

int SimCamera::configurationCount() {
    return gone_ ? 0 : 1;
}

int SimCamera::setConfiguration(int index) {
    if (gone_) return kUsbNoDevice;
    std::lock_guard lock(m_);
    if (!open_) return kUsbNotOpen;
    return index == 0 ? kUsbOk : kUsbBadArgument;
}

int SimCamera::claimInterface() {
    if (gone_) return kUsbNoDevice;
    std::lock_guard lock(m_);
    if (!open_) return kUsbNotOpen;
    claimed_ = true;
    return kUsbOk;
}

int SimCamera::clearPipeStall(int pipe) {
    if (gone_) return kUsbNoDevice;
    std::lock_guard lock(m_);
    if (!open_) return kUsbNotOpen;
    if (pipe == kControlPipe) return kUsbOk;
    if (pipe != kBulkInPipe) return kUsbBadArgument;
    bulkHalted_ = false;
    cv_.notify_all();
    return kUsbOk;
}

void SimCamera::abort() {
    unplug();
}

void SimCamera::setReadTimeout(int timeoutMs) {
    readTimeoutMs_ = timeoutMs > 0 ? timeoutMs : 0;
}

void SimCamera::cancelRead() {
    std::lock_guard lock(m_);
    readCancel_ = true;
    cv_.notify_all();
}

void SimCamera::clearReadCancel() {
    std::lock_guard lock(m_);
    readCancel_ = false;
}

void SimCamera::close() {
    std::lock_guard lock(m_);
    open_ = false;
    claimed_ = false;
    ++generation_;
    cv_.notify_all();
}

void SimCamera::unplug() {
    std::lock_guard lock(m_);
    gone_ = true;
    cv_.notify_all();
}

// ---------------------------------------------------------------------------------------------
// Control requests

int SimCamera::controlRequest(EZURB& request) {
    request.wLenDone = 0;
    if (gone_) return kUsbNoDevice;
    std::lock_guard lock(m_);
    if (!open_) return kUsbNotOpen;
    const bool in = (request.bmRequestType & 0x80) != 0;
    std::vector<uint8_t> data;
    if (request.wLength && !request.pData) {
        logRequest(request, {}, kUsbBadArgument);
        return kUsbBadArgument;
    }
    if (!in && request.wLength) {
        const auto* bytes = static_cast<const uint8_t*>(request.pData);
        data.assign(bytes, bytes + request.wLength);
    }
    int result;
    if (stallControl_ > 0) {
        --stallControl_;
        result = kUsbPipeStalled;
    } else {
        result = handleRequest(request, data);
    }
    logRequest(request, std::move(data), result);
    return result;
}

void SimCamera::logRequest(const EZURB& request, std::vector<uint8_t> data, int result) {
    LoggedRequest entry;
    entry.bmRequestType = request.bmRequestType;
    entry.bRequest = request.bRequest;
    entry.wValue = request.wValue;
    entry.wIndex = request.wIndex;
    entry.wLength = request.wLength;
    entry.data = std::move(data);
    entry.result = result;
    log_.push_back(std::move(entry));
    while (log_.size() > kRequestLogLimit) log_.pop_front();
}

/// One vendor request. `data` holds the out data stage and receives the in reply. Requests
/// the camera does not know, in the wrong direction or with bad values stall pipe 0.
int SimCamera::handleRequest(EZURB& r, std::vector<uint8_t>& data) {
    const bool in = (r.bmRequestType & 0x80) != 0;
    const bool vendor = (r.bmRequestType & 0x60) == 0x40;
    if (!vendor) return kUsbPipeStalled;
    const bool wantsIn = r.bRequest == kReadMemory || r.bRequest == kQuery;
    if (in != wantsIn) return kUsbPipeStalled;

    std::vector<uint8_t> reply;
    switch (r.bRequest) {
    case kWriteMemory:
    case kReadMemory: {
        const unsigned first = r.wValue;
        const unsigned end = kMemoryFirst + kMemorySize; // one past the last address
        if (first < kMemoryFirst || first >= end) return kUsbPipeStalled;
        size_t n = r.wLength;
        if (r.wIndex >= first) n = std::min<size_t>(n, r.wIndex - first + 1);
        n = std::min<size_t>(n, end - first);
        uint8_t* cell = userMemory_.data() + (first - kMemoryFirst);
        if (r.bRequest == kWriteMemory) {
            std::memcpy(cell, data.data(), std::min(n, data.size()));
            r.wLenDone = r.wLength;
            return kUsbOk;
        }
        reply.assign(r.wLength, 0);
        std::memcpy(reply.data(), cell, std::min(n, reply.size()));
        break;
    }
    case kFrameAck:
        acknowledged_ = true;
        frameStart_ = Clock::now();
        cv_.notify_all();
        break;
    case kResolution: {
        const uint8_t code = uint8_t(r.wValue & 0xFF);
        for (size_t i = 0; i < profile_.resolutions.size(); ++i) {
            if (profile_.resolutions[i].code == code) {
                resolution_ = int(i);
                break;
            }
        }
        applyCarriedExposure(r.wValue, r.wIndex);
        roiRequested_ = false;
        restartSensor();
        break;
    }
    case kClock: {
        const uint8_t code = uint8_t(r.wValue & 0xFF);
        for (size_t i = 0; i < profile_.clocks.size(); ++i) {
            if (profile_.clocks[i].code == code) {
                clock_ = int(i);
                break;
            }
        }
        applyCarriedExposure(r.wValue, r.wIndex);
        cv_.notify_all();
        break;
    }
    case kQuery:
        reply.assign(kReplyLength, 0);
        if (r.wIndex == 1) {
            // Half degrees, signed; below zero the camera sends -m for m steps of 0.625 degrees.
            updateTemperature();
            int16_t t = 0;
            if (temperature_ >= 0) {
                t = int16_t(std::min(std::lround(temperature_ * 2.0), 32767l));
            } else {
                const long m = std::clamp(std::lround(-temperature_ / 0.625), 0l, 256l);
                t = int16_t(-m);
            }
            reply[0] = uint8_t(uint16_t(t) & 0xFF);
            reply[1] = uint8_t(uint16_t(t) >> 8);
        } else if (r.wIndex == 2) {
            const uint16_t v = uint16_t(profile_.firmwareVersion);
            reply[0] = uint8_t(v & 0xFF);
            reply[1] = uint8_t(v >> 8);
        } else {
            return kUsbPipeStalled;
        }
        break;
    case kRegister:
        writeRegister(r.wIndex, r.wValue);
        cv_.notify_all();
        break;
    case kControlPort:
        if (r.wIndex >= controlPort_.size()) return kUsbPipeStalled;
        if (r.wIndex == 0 && (r.wValue & 0xFF) >= 0x60 && (r.wValue & 0xFF) <= 0x62) {
            gpio_[(r.wValue & 0xFF) - 0x5F] = (r.wValue >> 8) != 0; // GPIO lines 1..3
        } else {
            if (r.wIndex == 1) updateTemperature(); // the cooler changes the drift from now
            controlPort_[r.wIndex] = r.wValue;
        }
        break;
    case kDepth:
        if (r.wValue == 5)
            bits_ = 16;
        else if (r.wValue == 10)
            bits_ = 8;
        else
            return kUsbPipeStalled;
        ++generation_;
        cv_.notify_all();
        break;
    case kStart:
        restartSensor();
        break;
    case kStop:
        running_ = false;
        ++generation_;
        cv_.notify_all();
        break;
    case kRoiOrigin:
        roiX_ = r.wValue;
        roiY_ = r.wIndex;
        roiRequested_ = true;
        break;
    case kRoiSize:
        roiW_ = r.wValue;
        roiH_ = r.wIndex;
        roiRequested_ = true;
        break;
    default:
        return kUsbPipeStalled;
    }
    if (in) {
        const size_t n = std::min<size_t>(r.wLength, reply.size());
        std::memcpy(r.pData, reply.data(), n);
        r.wLenDone = uint32_t(n);
        data.assign(reply.begin(), reply.begin() + n);
    } else {
        r.wLenDone = r.wLength;
    }
    return kUsbOk;
}

/// A mode or clock request carries the exposure line count: wIndex holds bits 0-15 and the
/// high byte of wValue bits 16-23. Zero means the request carries none.
void SimCamera::applyCarriedExposure(uint16_t wValue, uint16_t wIndex) {
    const uint32_t total = uint32_t(wIndex) | (uint32_t(wValue >> 8) << 16);
    if (total) exposureTotal_ = total;
}

/// Stores a sensor register and follows the exposure registers into the total line count.
void SimCamera::writeRegister(uint16_t reg, uint16_t value) {
    registers_[reg] = value;
    const uint16_t expReg = profile_.exposureRegister;
    const uint16_t longReg = profile_.longExposureRegister;
    const uint32_t lines = registers_.count(expReg) ? registers_[expReg] : 0;
    const uint32_t high = (longReg && registers_.count(longReg)) ? registers_[longReg] : 0;
    switch (profile_.exposureLaw) {
    case ExposureLaw::Lines:
        if (reg == expReg) exposureTotal_ = value;
        break;
    case ExposureLaw::Periods:
        if (reg == expReg || (longReg && reg == longReg))
            exposureTotal_ = high * periodLinesNow() + lines;
        break;
    case ExposureLaw::HighLow:
        if (reg == expReg || (longReg && reg == longReg)) exposureTotal_ = (lines << 16) | high;
        break;
    }
}

/// Start request or mode change: a new exposure begins now; a frame in flight is dropped.
void SimCamera::restartSensor() {
    running_ = true;
    acknowledged_ = true;
    frameStart_ = Clock::now();
    ++generation_;
    cv_.notify_all();
}

// ---------------------------------------------------------------------------------------------
// Timing and physics

double SimCamera::simSeconds() const {
    if (options_.realTime) return std::chrono::duration<double>(Clock::now() - created_).count();
    return virtualSeconds_;
}

/// First-order drift toward the cooler set-point (cooler on) or the ambient (off).
void SimCamera::updateTemperature() const {
    const double now = simSeconds();
    const double dt = now - temperatureAt_;
    temperatureAt_ = now;
    if (dt <= 0) return;
    const bool cooling = profile_.hasCooler && controlPort_[1] != 0;
    const double target = options_.ambientCelsius - (cooling ? kCoolerDelta : 0.0);
    temperature_ = target + (temperature_ - target) * std::exp(-dt / kThermalSeconds);
}

uint32_t SimCamera::periodLinesNow() const {
    const SimResolution& item = profile_.resolutions[resolution_];
    return item.periodLines ? item.periodLines : std::max<uint32_t>(profile_.periodLines, 1);
}

double SimCamera::exposureMsLocked() const {
    const SimResolution& item = profile_.resolutions[resolution_];
    return double(exposureTotal_) * item.lineLength / profile_.clocks[clock_].rateKHz;
}

/// Frame period: the longer of the exposure and the read-out of all rows.
double SimCamera::periodMs() const {
    const SimResolution& item = profile_.resolutions[resolution_];
    const double readout =
        double(item.sensorHeight) * item.lineLength / profile_.clocks[clock_].rateKHz;
    return std::max({exposureMsLocked(), readout, 1.0});
}

double SimCamera::gainLocked() const {
    auto it = registers_.find(profile_.gainRegister);
    const unsigned reg = it == registers_.end() ? 0 : it->second;
    switch (profile_.gainLaw) {
    case GainLaw::Bits7x2x2: {
        const double g = double(std::max(reg & 0x7Fu, 1u)) / 32.0;
        return g * ((reg & 0x80) ? 2 : 1) * ((reg & 0x100) ? 2 : 1);
    }
    case GainLaw::Coarse3FFine:
        if (reg < 64) return double(std::max(reg, 1u)) / 8.0;
        return double(reg & 0xFF) / 8.0 * (1.0 + double(reg >> 8) / 8.0);
    case GainLaw::Linear:
    default:
        return double(std::max(reg, 1u)) / std::max(profile_.gainUnity, 1e-3);
    }
}

SensorState SimCamera::stateLocked() const {
    SensorState s;
    s.profile = &profile_;
    s.bcdDevice = bcdDevice_;
    s.resolutionIndex = resolution_;
    s.clockIndex = clock_;
    s.bits = bits_;
    s.roiX = roiX_;
    s.roiY = roiY_;
    s.roiW = roiW_;
    s.roiH = roiH_;
    s.roiRequested = roiRequested_;
    s.controlPort = controlPort_;
    s.frameNumber = frameNumber_;
    return s;
}

// ---------------------------------------------------------------------------------------------
// Bulk pipe

int SimCamera::readPipe(int pipe, unsigned char* buffer, int length, int* received) {
    if (received) *received = 0;
    if (gone_) return kUsbNoDevice;
    if (pipe != kBulkInPipe || !buffer || length < 0) return kUsbBadArgument;
    std::lock_guard readLock(readMutex_);
    std::unique_lock lock(m_);
    if (gone_) return kUsbNoDevice;
    if (!open_) return kUsbNotOpen;
    if (bulkHalted_) return kUsbPipeStalled;
    if (stallBulk_ > 0) {
        --stallBulk_;
        bulkHalted_ = true;
        return kUsbPipeStalled;
    }

    if (std::exchange(readCancel_, false)) return kUsbCancelled;

    const bool rest = transferOffset_ < transferLength_ && transferGeneration_ == generation_;
    if (!rest) {
        // Wait for a frame: the sensor must run, the last frame must be acknowledged (when
        // the format asks for it) and, in real time, the exposure must be over. The host's
        // limit and its cancel end the wait as they end a real transfer.
        const auto start = Clock::now();
        const auto deadline = start + std::chrono::milliseconds(options_.readTimeoutMs);
        const int limitMs = readTimeoutMs_.load();
        const auto limit =
            limitMs > 0 ? start + std::chrono::milliseconds(limitMs) : Clock::time_point::max();
        for (;;) {
            if (gone_) return kUsbNoDevice;
            if (!open_) return kUsbNotOpen;
            if (bulkHalted_) return kUsbPipeStalled;
            if (std::exchange(readCancel_, false)) return kUsbCancelled;
            const bool waitingForHost =
                !running_ || (format_->needsAcknowledge() && !acknowledged_);
            if (waitingForHost) {
                if (!options_.realTime) return kUsbTimeout;
                const auto until = std::min(deadline, limit);
                if (Clock::now() >= until) return kUsbTimeout;
                cv_.wait_until(lock, until);
                continue;
            }
            if (options_.realTime) {
                const auto due =
                    frameStart_ + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double, std::milli>(periodMs()));
                const auto now = Clock::now();
                if (now < due) {
                    if (now >= limit) return kUsbTimeout;
                    cv_.wait_until(lock, std::min(due, limit));
                    continue;
                }
            }
            break;
        }
        const int produced = produceFrame(lock);
        if (produced != kUsbOk) return produced;
    }

    const size_t n = std::min(size_t(length), transferLength_ - transferOffset_);
    std::memcpy(buffer, transfer_.data() + transferOffset_, n);
    transferOffset_ += n;
    if (received) *received = int(n);
    return kUsbOk;
}

/// Renders and serialises the next frame into the transfer buffer. Entered and left with
/// m_ held; the rendering itself runs without it so control requests are never held up.
int SimCamera::produceFrame(std::unique_lock<std::mutex>& lock) {
    updateTemperature();
    SensorState state = stateLocked();
    state.snapshot = std::exchange(snapshotPressed_, false);
    state.omitMarker = std::exchange(omitMarker_, false);
    const int stray = std::exchange(strayBlock_, -1);
    const int shorten = std::exchange(shortenBy_, 0);
    const int lengthen = std::exchange(lengthenBy_, 0);

    const SimResolution& full = profile_.resolutions.front();
    RenderParams params;
    params.shape = format_->shape(state);
    params.fullWidth = full.sensorWidth;
    params.fullHeight = full.sensorHeight;
    params.bayer = profile_.bayer;
    params.exposureMs = exposureMsLocked();
    params.gain = gainLocked();
    params.temperature = temperature_;
    const auto blackIt = registers_.find(profile_.blackLevelRegister);
    const int blackReg = blackIt == registers_.end() ? 0 : blackIt->second;
    params.blackCounts = profile_.pedestal -
                         std::max(0, blackReg - profile_.blackLevelZero) * profile_.blackLevelStep;
    params.frameNumber = frameNumber_;

    const size_t samples =
        size_t(std::max(params.shape.width, 0)) * size_t(std::max(params.shape.height, 0));
    const size_t size = format_->transferSize(state);
    if (samples > kMaxSamples || size > kMaxTransfer) return kUsbIoError;

    ++frameNumber_;
    if (!format_->needsAcknowledge()) frameStart_ = Clock::now();
    acknowledged_ = false;
    if (!options_.realTime) virtualSeconds_ += periodMs() / 1000.0;
    const uint64_t generation = generation_;

    lock.unlock();
    const size_t capacity = size + size_t(std::max(lengthen, 0));
    if (transfer_.size() < capacity) transfer_.resize(capacity);
    bool complete;
    {
        std::lock_guard renderLock(renderMutex_);
        const FrameShape& s = params.shape;
        const FrameShape& r = renderedShape_;
        const bool same = rendered_ && s.width == r.width && s.height == r.height &&
                          s.originX == r.originX && s.originY == r.originY && s.step == r.step &&
                          s.binGain == r.binGain && s.bayerPhaseX == r.bayerPhaseX &&
                          s.bayerPhaseY == r.bayerPhaseY;
        if (options_.repeatPicture && same) {
            complete = !gone_;
        } else {
            complete = impl_->renderer.render(params, gone_);
            rendered_ = complete;
            renderedShape_ = params.shape;
        }
        if (complete) format_->serialise(state, impl_->renderer.frame(), transfer_.data());
    }
    size_t length = size;
    if (stray >= 0) format_->writeStrayHead(transfer_.data(), length, stray);
    if (lengthen > 0) {
        std::memset(transfer_.data() + length, kFillByte, size_t(lengthen));
        length += size_t(lengthen);
    }
    if (shorten > 0) length -= std::min(length, size_t(shorten));
    lock.lock();

    if (gone_ || !complete) return kUsbNoDevice;
    transferLength_ = length;
    transferOffset_ = 0;
    transferGeneration_ = generation;
    return kUsbOk;
}

// ---------------------------------------------------------------------------------------------
// Faults

void SimCamera::stallPipe(int pipe, int count) {
    std::lock_guard lock(m_);
    if (pipe == kControlPipe) stallControl_ += std::max(count, 0);
    if (pipe == kBulkInPipe) stallBulk_ += std::max(count, 0);
}

void SimCamera::shortenNextTransfer(int bytes) {
    std::lock_guard lock(m_);
    shortenBy_ = std::max(bytes, 0);
}

void SimCamera::lengthenNextTransfer(int bytes) {
    std::lock_guard lock(m_);
    lengthenBy_ = std::clamp(bytes, 0, 1 << 20);
}

void SimCamera::omitNextMarker() {
    std::lock_guard lock(m_);
    omitMarker_ = true;
}

void SimCamera::strayHeadAtBlock(int block) {
    std::lock_guard lock(m_);
    strayBlock_ = block;
}

void SimCamera::pressSnapshotButton() {
    std::lock_guard lock(m_);
    snapshotPressed_ = true;
}

void SimCamera::advanceClock(double seconds) {
    std::lock_guard lock(m_);
    if (options_.realTime || !(seconds > 0)) return;
    updateTemperature();
    virtualSeconds_ += seconds;
    updateTemperature();
}

// ---------------------------------------------------------------------------------------------
// Request log and inspection

std::vector<LoggedRequest> SimCamera::requestLog() const {
    std::lock_guard lock(m_);
    return {log_.begin(), log_.end()};
}

void SimCamera::clearRequestLog() {
    std::lock_guard lock(m_);
    log_.clear();
}

bool SimCamera::isOpen() const {
    std::lock_guard lock(m_);
    return open_;
}

bool SimCamera::running() const {
    std::lock_guard lock(m_);
    return running_;
}

uint16_t SimCamera::registerValue(uint16_t reg) const {
    std::lock_guard lock(m_);
    auto it = registers_.find(reg);
    return it == registers_.end() ? 0 : it->second;
}

std::map<uint16_t, uint16_t> SimCamera::registers() const {
    std::lock_guard lock(m_);
    return registers_;
}

int SimCamera::resolutionIndex() const {
    std::lock_guard lock(m_);
    return resolution_;
}

uint8_t SimCamera::resolutionCode() const {
    std::lock_guard lock(m_);
    return profile_.resolutions[resolution_].code;
}

int SimCamera::clockIndex() const {
    std::lock_guard lock(m_);
    return clock_;
}

uint8_t SimCamera::clockCode() const {
    std::lock_guard lock(m_);
    return profile_.clocks[clock_].code;
}

int SimCamera::bitDepth() const {
    std::lock_guard lock(m_);
    return bits_;
}

uint32_t SimCamera::exposureLines() const {
    std::lock_guard lock(m_);
    return exposureTotal_;
}

double SimCamera::exposureMs() const {
    std::lock_guard lock(m_);
    return exposureMsLocked();
}

double SimCamera::linearGain() const {
    std::lock_guard lock(m_);
    return gainLocked();
}

int SimCamera::blackLevelRegisterValue() const {
    std::lock_guard lock(m_);
    auto it = registers_.find(profile_.blackLevelRegister);
    return it == registers_.end() ? 0 : it->second;
}

uint16_t SimCamera::controlPort(uint16_t index) const {
    std::lock_guard lock(m_);
    return index < controlPort_.size() ? controlPort_[index] : 0;
}

bool SimCamera::coolerOn() const {
    std::lock_guard lock(m_);
    return controlPort_[1] != 0;
}

bool SimCamera::gpio(int line) const {
    std::lock_guard lock(m_);
    return line >= 1 && line <= 3 && gpio_[line];
}

double SimCamera::temperatureCelsius() const {
    std::lock_guard lock(m_);
    updateTemperature();
    return temperature_;
}

std::pair<uint16_t, uint16_t> SimCamera::roiOrigin() const {
    std::lock_guard lock(m_);
    return {roiX_, roiY_};
}

std::pair<uint16_t, uint16_t> SimCamera::roiSize() const {
    std::lock_guard lock(m_);
    return {roiW_, roiH_};
}

std::array<uint8_t, 512> SimCamera::userMemory() const {
    std::lock_guard lock(m_);
    return userMemory_;
}

void SimCamera::setUserMemory(const std::array<uint8_t, 512>& bytes) {
    std::lock_guard lock(m_);
    userMemory_ = bytes;
}

uint64_t SimCamera::framesDelivered() const {
    std::lock_guard lock(m_);
    return frameNumber_;
}

size_t SimCamera::currentTransferSize() const {
    std::lock_guard lock(m_);
    return format_->transferSize(stateLocked());
}

FrameShape SimCamera::currentShape() const {
    std::lock_guard lock(m_);
    return format_->shape(stateLocked());
}

std::vector<std::pair<int, int>> SimCamera::hotPixels() const {
    FrameShape shape;
    int fullWidth, fullHeight;
    {
        std::lock_guard lock(m_);
        shape = format_->shape(stateLocked());
        fullWidth = profile_.resolutions.front().sensorWidth;
        fullHeight = profile_.resolutions.front().sensorHeight;
    }
    std::lock_guard renderLock(renderMutex_);
    return impl_->renderer.hotPixels(shape, fullWidth, fullHeight);
}

std::shared_ptr<SimCamera> makeSimCamera(uint16_t productId, uint16_t bcdDevice,
                                         SimOptions options) {
    SensorProfile profile = findSensorProfile(productId, bcdDevice);
    const uint16_t bcd = bcdDevice ? bcdDevice : profile.bcdDevice;
    auto format = makeWireFormat(productId, bcd);
    return std::make_shared<SimCamera>(std::move(profile), std::move(format), bcd, options);
}

} // namespace hx::sim
