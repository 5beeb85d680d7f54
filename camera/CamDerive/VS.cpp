#include "camera/CamDerive/VS.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "algorithms/algorithms.h"
#include "sim/CmosSimulation.h"

std::atomic<int> cntVSo035M1{1}, cntVSh035M1{1}, cntVSo035C1{1}, cntVSh035C1{1}, cntVS200C1{1},
    cntVSo036C1{1}, cntVSh036C1{1};

namespace {

constexpr RegisterMap kRegsVS{0x01, 0x03, 0x04, 0x02};
constexpr RegisterMap kRegsVS200{0xA0, 0xA2, 0xA3, 0xA1};

constexpr ModelSpec kVSo035M1{1,
                              0,
                              kRegsVS,
                              resTable(VSo035M1Res),
                              clkTable(VSo035M1Clk, 0, 1),
                              kDepth8Or16On,
                              {30, 1, 119, 30, true},
                              {300, 1, 1080, 30, true},
                              {0, 0, 100, 0, true},
                              kBlack100On,
                              ReceiveRule::Double,
                              0};

constexpr ModelSpec kVSo035C1{3,
                              2,
                              kRegsVS,
                              resTable(VSo035C1Res),
                              clkTable(VSo035C1Clk, 0, 1),
                              kDepth8Or16On,
                              {1, 1, 119, 1, true},
                              {30, 1, 1080, 30, true},
                              {0, 0, 100, 0, true},
                              kBlack100On,
                              ReceiveRule::Double,
                              100};

constexpr ModelSpec kVS200C1{3,
                             2,
                             kRegsVS200,
                             resTable(VS200C1Res),
                             clkTable(VS200C1Clk, 2, 0),
                             kDepth8Or16On,
                             {40, 1, 80, 30, true},
                             {100, 1, 1250, 30, true},
                             {0, 0, 30, 0, true},
                             kBlack100On,
                             ReceiveRule::Double,
                             100};

constexpr ModelSpec kVSo036C1{3,
                              2,
                              kRegsVS,
                              resTable(VSo036C1Res),
                              clkTable(VSo036C1Clk, 0, 1),
                              kDepth8Or16On,
                              {30, 8, 140, 30, true},
                              {300, 1, 5000, 30, true},
                              kOff,
                              kBlack100On,
                              ReceiveRule::Double,
                              100};

constexpr uint16_t gainLawDirect(int g) {
    return static_cast<uint16_t>(g);
}

constexpr int kKeep = -1;

constexpr PeriodRow kPeriods035M[] = {
    {0xC0, 1080, 100}, {0xC2, 540, 0}, {0xC3, 860, 100}, {0xC4, 538, 0}};
constexpr PeriodRow kPeriods035C[] = {{0xC0, 1080, 100}, {0xC1, 540, 100}, {0xC2, 540, 0}};
constexpr PeriodRow kPeriods036[] = {
    {0xC0, 60000, kKeep}, {0xC1, 1608, kKeep}, {0xC2, 1608, kKeep}};
constexpr PeriodRow kPeriods200[] = {{0xC0, 1250, kKeep}};

constexpr uint8_t kSlowClock = 0xA3;
constexpr uint16_t kBcdNoHead = 0xA001;
constexpr int kBlackLevelOffset = 60;

/// The simulated cameras of these models come with the model code.
[[maybe_unused]] const bool kSimulationRegistered = (hx::sim::registerCmosSimulation(), true);

bool startsWith(const unsigned char* p, unsigned char value) {
    for (int i = 0; i < 10; ++i)
        if (p[i] != value) return false;
    return true;
}

/// True when a block after the first of the received bytes begins with ten bytes of `value`:
/// the transfer ran into the next frame.
bool strayHead(const unsigned char* data, int received, int block, unsigned char value) {
    if (block < 10) return false;
    for (long long at = block; at + 10 <= received; at += block)
        if (startsWith(data + at, value)) return true;
    return false;
}

} // namespace

VSo035M1::VSo035M1() {
    nameModel("VSo035M1.", cntVSo035M1);
    buildModel(kVSo035M1);
}

int VSo035M1::_set_analog_gain(int gain) {
    return writeAnalogGain(gain, gainLawDirect);
}

/// Re-scales the exposure to the new line time and period and splits it; the total rides in the
/// prepared resolution and clock requests (low 16 bits in wIndex, bits 16 to 23 in the high
/// byte of wValue). Nothing is sent here.
int VSo035M1::_retime() {
    Lock lock(settingsLock);
    if (!resolution.table || !pixelClock.table) return 0;
    carrySplitTotal(rescaleTotal(kPeriods035M, [] {}));
    return 0;
}

VSh035M1::VSh035M1() {
    nameModel("VSh035M1.", cntVSh035M1);
}

/// n = F x b / 8 + 3, plus headLength at 16 bits except in the binned mode 0xC2.
int VSh035M1::_raw_data(unsigned char* buffer, int size) {
    FrameInfo f;
    PendingMode mode(*this);
    if (!frameInfo(f, mode)) return -3;
    if (!buffer || size < f.width * f.height) return -2;
    const long long n = f.frameBytes * f.bits / 8 + 3 + (f.code != 0xC2 ? f.bits / 16 * f.head : 0);
    return readLineCountedFrame(buffer, size, f, n, n, false, 4, false, false);
}

VSo035C1::VSo035C1() {
    nameModel("VSo035C1.", cntVSo035C1);
    buildModel(kVSo035C1);
}

int VSo035C1::_set_analog_gain(int gain) {
    return writeAnalogGain(gain, gainLawDirect);
}

int VSo035C1::_retime() {
    Lock lock(settingsLock);
    if (!resolution.table || !pixelClock.table) return 0;
    carrySplitTotal(rescaleTotal(kPeriods035C, [] {}));
    return 0;
}

/// Starts without a start request: the settings, the mode first, then the firmware version.
int VSo035C1::_sensor_resume() {
    {
        Lock lock(settingsLock);
        int expected = kStateStopped;
        state.compare_exchange_strong(expected, kStateRunning);
        _set_resolution(resolution.value, true);
        _set_pixsclock(pixelClock.value);
        _set_raw_depth(rawDepth.value);
        _set_analog_gain(analogGain.value);
        _set_blacklevel(blackLevel.value);
    }
    // The reply is awaited without the settings lock, after the requests above went out.
    int version = 0;
    _versions(&version);
    return 0;
}

/// The head-marker read-out in whole blocks from the start of the buffer; the 640-wide mode
/// arrives doubled (1280 x 512) and is binned 2 x 1.
int VSo035C1::_raw_data(unsigned char* buffer, int size) {
    return guardedRead([&] { return headMarkerReadOut(buffer, size); });
}

int VSo035C1::headMarkerReadOut(unsigned char* buffer, int size) {
    FrameInfo f;
    PendingMode mode(*this);
    if (!frameInfo(f, mode)) return -3;
    if (!buffer || size < f.width * f.height) return -2;
    const bool doubled = f.width == 640;
    long long total = f.head + static_cast<long long>(f.width) * f.height * f.bits / 8;
    total -= total % f.block;
    if (doubled) total *= 2;
    const int width = doubled ? 1280 : f.width, height = doubled ? 512 : f.height;
    const long long imageBytes = static_cast<long long>(width) * height * f.bits / 8;
    if (std::max(total, f.head + imageBytes) > size) return -2;
    if (readAborted()) return -3;
    mode.send();
    const int received = boundedRead(buffer, size, 0, total);
    {
        EZURB ack = frameAck;
        _sumbit_ctl_urb(1000, 1, &ack);
    }
    if (received < 10) return -3;
    if (bcdDevice() != kBcdNoHead && !startsWith(buffer, 0x88)) return -3;
    auto* image = reinterpret_cast<_ezImage*>(buffer);
    ezInitImageHeader(image, width, height, 1, f.bits, f.head, buffer + f.head,
                      static_cast<unsigned char>(f.index), 0);
    if (strayHead(buffer, received, f.block, 0x88)) return -3;
    finishSteps(image, 0, doubled);
    if (autoExposure.load()) _calc_auto_exposure(image, 3);
    int result = 0;
    defectStep(image, result);
    return result;
}

VSh035C1::VSh035C1() {
    nameModel("VSh035C1.", cntVSh035C1);
}

/// Asks (headLength + F) x b / 8; n = F x b / 8 + 3, plus headLength at 16 bits in modes 0xC0
/// and 0xC1.
int VSh035C1::_raw_data(unsigned char* buffer, int size) {
    FrameInfo f;
    PendingMode mode(*this);
    if (!frameInfo(f, mode)) return -3;
    if (!buffer || size < f.width * f.height) return -2;
    const long long ask = (f.head + f.frameBytes) * f.bits / 8;
    const long long n = f.frameBytes * f.bits / 8 + 3 + (f.code != 0xC2 ? f.bits / 16 * f.head : 0);
    return readLineCountedFrame(buffer, size, f, ask, n, f.width == 640, 3, true, false);
}

int VS200C1::_set_analog_gain(int gain) {
    return writeAnalogGain(gain, gainLawDirect);
}

/// The 32-bit total goes out at once: its high half to the exposure register, then its low
/// half to the long-exposure register.
void VS200C1::writeTotal(uint32_t total) {
    splitTotal(total);
    prepareRequest(exposure.request, kRegisterWrite, static_cast<uint16_t>(total >> 16),
                   exposureRegister);
    prepareRequest(longExposure.request, kRegisterWrite, static_cast<uint16_t>(total & 0xFFFF),
                   longExposureRegister);
    EZURB high = exposure.request;
    _sumbit_ctl_urb(1000, 1, &high);
    EZURB low = longExposure.request;
    _sumbit_ctl_urb(1000, 1, &low);
}

int VS200C1::_retime() {
    Lock lock(settingsLock);
    if (!resolution.table || !pixelClock.table) return 0;
    writeTotal(rescaleTotal(kPeriods200, [] {}));
    return 0;
}

int VS200C1::_set_exposure(float milliseconds) {
    Lock lock(settingsLock);
    if (lineLength <= 0) return -2;
    const float lines =
        static_cast<float>(lineClock) * milliseconds / static_cast<float>(lineLength);
    double total = std::trunc(static_cast<double>(lines) + 0.5);
    if (!(total >= exposure.min)) total = exposure.min; // also NaN
    const double limit = (static_cast<double>(longExposure.max) + 1) * exposure.max - 1;
    total = std::min(total, std::max(limit, 0.0));
    writeTotal(static_cast<uint32_t>(total));
    return 0;
}

/// The register takes the level plus 60.
int VS200C1::_set_blacklevel(int level) {
    Lock lock(settingsLock);
    if (!blackLevel.supported) return -4;
    if (level < blackLevel.min || level > blackLevel.max) return -2;
    prepareRequest(blackLevel.request, kRegisterWrite,
                   static_cast<uint16_t>(level + kBlackLevelOffset), blackLevelRegister);
    EZURB request = blackLevel.request;
    _sumbit_ctl_urb(1000, 1, &request);
    blackLevel.value = static_cast<uint16_t>(level);
    return 0;
}

/// Start, acknowledge, the settings with the mode first, both exposure halves, the firmware
/// version.
int VS200C1::_sensor_resume() {
    {
        Lock lock(settingsLock);
        sendVendorRequest(0xBA, 0, 0);
        int expected = kStateStopped;
        state.compare_exchange_strong(expected, kStateRunning);
        EZURB ack = frameAck;
        _sumbit_ctl_urb(1000, 1, &ack);
        _set_resolution(resolution.value, true);
        _set_raw_depth(rawDepth.value);
        _set_pixsclock(pixelClock.value);
        _set_analog_gain(analogGain.value);
        _set_blacklevel(blackLevel.value);
        EZURB high = exposure.request;
        _sumbit_ctl_urb(1000, 1, &high);
        EZURB low = longExposure.request;
        _sumbit_ctl_urb(1000, 1, &low);
        _delay(10);
    }
    // The reply is awaited without the settings lock, after the requests above went out.
    int version = 0;
    _versions(&version);
    return 0;
}

/// "XTDT" at the start of the pixel area with a non-zero byte among bytes 12 to 21; 16-bit
/// samples arrive as 12 bits in two bytes. A later 60 KiB block beginning with ten 0xBB bytes
/// means the transfer ran into the next frame.
int VS200C1::_raw_data(unsigned char* buffer, int size) {
    return guardedRead([&] { return stampedReadOut(buffer, size); });
}

int VS200C1::stampedReadOut(unsigned char* buffer, int size) {
    FrameInfo f;
    PendingMode mode(*this);
    if (!frameInfo(f, mode)) return -3;
    long long total = static_cast<long long>(f.width) * f.height * f.bits / 8 + f.head;
    total -= total % f.head;
    if (!buffer || f.head + total > size) return -2;
    if (readAborted()) return -3;
    mode.send();
    const int received = boundedRead(buffer, size, f.head, total);
    {
        EZURB ack = frameAck;
        _sumbit_ctl_urb(1000, 1, &ack);
    }
    const unsigned char* data = buffer + f.head;
    if (received < 22 || std::memcmp(data, "XTDT", 4) != 0) return -3;
    bool stamped = false;
    for (int i = 12; i <= 21; ++i) stamped = stamped || data[i] != 0;
    if (!stamped) return -3;
    auto* image = reinterpret_cast<_ezImage*>(buffer);
    ezInitImageHeader(image, f.width, f.height, 1, f.bits, f.head, buffer + f.head,
                      static_cast<unsigned char>(f.index), 0);
    if (strayHead(data, received, f.block, 0xBB)) return -3;
    finishSteps(image, 1, false);
    if (autoExposure.load()) _calc_auto_exposure(image, 3);
    return 0;
}

VS200C1::VS200C1() {
    nameModel("VS200C1.", cntVS200C1);
    {
        Lock lock(settingsLock);
        blockSize = 61440;
    }
    buildModel(kVS200C1);
}

/// The line length of this sensor also follows from the mode; it is taken from the first item
/// here as well so that the retiming at construction keeps the default exposure instead of
/// scaling it from a zero line length down to the minimum.
VSo036C1::VSo036C1() {
    nameModel("VSo036C1.", cntVSo036C1);
    buildModel(kVSo036C1);
}

int VSo036C1::_set_analog_gain(int gain) {
    return writeAnalogGain(gain, gainLawDirect);
}

/// As the other line-counted sensors, without long exposure; the slowest clock needs a gain of
/// at least 31, the others 8.
int VSo036C1::_retime() {
    Lock lock(settingsLock);
    if (!resolution.table || !pixelClock.table) return 0;
    const uint32_t total = rescaleTotal(kPeriods036, [this] {
        if (clkItem(pixelClock.value).code == kSlowClock) {
            analogGain.min = 31;
            if (analogGain.value <= 30) _set_analog_gain(31);
        } else {
            analogGain.min = 8;
        }
    });
    carrySplitTotal(total);
    return 0;
}

VSh036C1::VSh036C1() {
    nameModel("VSh036C1.", cntVSh036C1);
}

int VSh036C1::_set_exposure(float milliseconds) {
    return CamBayer::_set_exposure(milliseconds);
}

/// n = F x b / 8, plus headLength at 16 bits in the third mode; asks n + 2 headLength, accepts
/// n + 3; an all-black frame at more than 80 lines is rejected.
int VSh036C1::_raw_data(unsigned char* buffer, int size) {
    FrameInfo f;
    PendingMode mode(*this);
    if (!frameInfo(f, mode)) return -3;
    if (!buffer || size < f.width * f.height) return -2;
    const long long n = f.frameBytes * f.bits / 8 + (f.index == 2 ? f.bits / 16 * f.head : 0);
    return readLineCountedFrame(buffer, size, f, n + 2 * f.head, n + 3, false, 4, true, true);
}
