#include "camera/CamDerive/VD.h"

#include <algorithm>
#include <cmath>

#include "sim/VDSimulation.h"
#include "usb/UsbDevice.h"

std::atomic<int> cntVDo205M1{1}, cntVDh205M1{1}, cntVDh205C1{1}, cntVDo285M1{1}, cntVDh285M1{1},
    cntVDh285C1{1}, cntVDh674C1{1}, cntVDh674M1{1}, cntVDh687M1{1}, cntVDh694M1{1}, cntVDh694C1{1},
    cntVDo282C1{1}, cntVDh282C1{1};

namespace {

constexpr RegisterMap kRegsVD{0x01, 0x63, 0x62, 0x02};

constexpr ModelSpec kVDo205M1{1,
                              0,
                              kRegsVD,
                              resTable(VDo205M1Res),
                              clkTable(VDo205M1Clk, 0, 1),
                              kDepth8Or16On,
                              {297, 170, 1023, 297, true},
                              {300, 1, 1068, 30, true},
                              {0, 0, 4000, 0, true},
                              {0, 0, 1023, 0, true},
                              ReceiveRule::Double,
                              0};

constexpr ModelSpec kVDo282C1{3,
                              4,
                              kRegsVD,
                              resTable(VDo282C1Res),
                              clkTable(VDo282C1Clk, 0, 1),
                              kDepth8Or16On,
                              {297, 188, 1023, 200, true},
                              {300, 18, 1060, 30, true},
                              {0, 0, 300, 0, true},
                              kBlack100On,
                              ReceiveRule::Double,
                              100};

constexpr ModelSpec kVDh282C1{3,
                              4,
                              kRegsVD,
                              resTable(VDo282C1Res),
                              clkTable(VDo282C1Clk, 0, 1),
                              kDepth8Or16On,
                              {297, 188, 1023, 200, true},
                              {300, 18, 1060, 300, true},
                              {0, 0, 4000, 0, true},
                              kBlack100On,
                              ReceiveRule::Double,
                              100};

constexpr ModelSpec kVDo285M1{1,
                              0,
                              kRegsVD,
                              resTable(VDo285M1Res),
                              clkTable(VDo285M1Clk, 0, 0),
                              kDepth8Or16On,
                              {85, 1, 1023, 85, true},
                              {300, 1, 1068, 30, true},
                              {0, 0, 4000, 0, true},
                              {0, 0, 255, 0, true},
                              ReceiveRule::Double,
                              0};

constexpr int kColourSaturation = 100;

/// Hardware generations whose camera bins itself and reads its temperature.
constexpr bool binsInCamera(uint16_t bcd) {
    return bcd == 0xA001 || bcd == 0xA004;
}

constexpr uint16_t gainLawDirect(int g) {
    return static_cast<uint16_t>(g);
}

/// Line-count maxima of one exposure period per mode code.
constexpr CodeLimit kMax205[] = {{0x0A, 1068}, {0x0B, 546}, {0x0C, 284}};
constexpr CodeLimit kMax674[] = {{0x0A, 1521}, {0x0B, 759}, {0x0D, 759}};
constexpr CodeLimit kMax694[] = {{0x0A, 2261}, {0x0B, 1129}, {0x0D, 1129}};
constexpr CodeLimit kMax694C[] = {{0x0A, 2261}, {0x0B, 1211}, {0x0C, 855}, {0x0D, 1129}};
/// Long-exposure periods per mode code: the half-height mode has none.
constexpr CodeLimit kLong282[] = {{0xC0, 0}, {0xC1, 300}};
constexpr CodeLimit kLongH282[] = {{0xC0, 0}, {0xC1, 4000}};

/// Control-port requests (0xB8): wIndex of each setting.
constexpr uint16_t kPortEdge = 0;
constexpr uint16_t kPortCooler = 1;
constexpr uint16_t kPortVariant = 2;
constexpr uint16_t kPortShift = 3;
constexpr uint8_t kControlPort = 0xB8;

/// The simulator's CCD cameras are known wherever the CCD models are linked in.
[[maybe_unused]] const bool kSimulationRegistered = (hx::sim::registerCcdSimulation(), true);

} // namespace

// ---- shared exposure and start steps -----------------------------------------------------------

int CcdCamera::limitForCode(const CodeLimit* table, int count, int fallback) const {
    if (!resolution.table) return fallback;
    const uint8_t code = resItem(resolution.value).code;
    for (int i = 0; i < count; ++i)
        if (table[i].code == code) return table[i].value;
    return fallback;
}

/// The total T = long x max + short keeps its time: T' = T x r with r the ratio of the old and
/// the new line time, in single precision and truncated, then limited to what the registers can
/// hold. Both register writes are prepared, and the mode and clock requests carry T'.
int CcdCamera::retimeSplit(int newMax, int newLongMax, bool followLineLength) {
    Lock lock(settingsLock);
    if (!resolution.table || !pixelClock.table) return 0;
    const double total = static_cast<double>(longExposure.value) * exposure.max + exposure.value;
    const double newRate = clkItem(pixelClock.value).rate;
    const double oldRate = lineClock;
    const double oldLength = lineLength;
    const double newLength = followLineLength ? resItem(resolution.value).lineLength : lineLength;
    double ratio = 1.0;
    if (oldRate > 0 && newLength > 0)
        ratio = followLineLength ? newRate * oldLength / oldRate / newLength : newRate / oldRate;
    lineClock = static_cast<int>(newRate);
    lineLength = static_cast<int>(newLength);
    if (newMax >= 0) exposure.max = static_cast<uint16_t>(newMax);
    if (newLongMax >= 0) longExposure.max = static_cast<uint16_t>(newLongMax);
    if (exposure.max == 0) return 0;

    const float scaled = static_cast<float>(total) * static_cast<float>(ratio);
    const uint32_t t = splitLines(std::trunc(static_cast<double>(scaled)));

    if (resolution.request.bRequest == 0)
        prepareRequest(resolution.request, static_cast<uint8_t>(resolutionRequest),
                       resItem(resolution.value).code, 0);
    if (pixelClock.request.bRequest == 0)
        prepareRequest(pixelClock.request, static_cast<uint8_t>(clockRequest),
                       clkItem(pixelClock.value).code, 0);
    carryExposure(resolution.request, t);
    carryExposure(pixelClock.request, t);
    return 0;
}

/// The count is raised to exposure.min and lowered to (longExposure.max + 1) x exposure.max - 1,
/// the most the two registers hold; the rest of a division by exposure.max goes to the short
/// register, the quotient to the long one.
uint32_t CcdCamera::splitLines(double lines) {
    const double limit = (static_cast<double>(longExposure.max) + 1) * exposure.max - 1;
    lines = std::min(std::max(lines, static_cast<double>(exposure.min)), limit);
    const auto t = static_cast<uint32_t>(lines);
    exposure.value = static_cast<uint16_t>(t % exposure.max);
    prepareRequest(exposure.request, kRegisterWrite, exposure.value, exposureRegister);
    longExposure.value = static_cast<uint16_t>(t / exposure.max);
    prepareRequest(longExposure.request, kRegisterWrite, longExposure.value, longExposureRegister);
    return t;
}

/// Sensor start of the CCD cameras: no start request and no wait; the mode request that ends
/// the sequence starts the sensor.
int CcdCamera::resumeSettings(bool resolutionBeforeGain) {
    {
        Lock lock(settingsLock);
        int expected = kStateStopped;
        state.compare_exchange_strong(expected, kStateRunning);
        _set_raw_depth(rawDepth.value);
        _set_pixsclock(pixelClock.value);
        if (resolutionBeforeGain) _set_resolution(resolution.value, true);
        _set_analog_gain(analogGain.value);
        _set_blacklevel(blackLevel.value);
        if (!resolutionBeforeGain) _set_resolution(resolution.value, true);
    }
    // The reply is awaited without the settings lock, after the requests above went out.
    int version = 0;
    _versions(&version);
    return 0;
}

/// Reading t >= 0 is in half degrees; below zero the camera counts m steps of -0.625 degrees.
float CcdCamera::temperatureFromReading(uint16_t reading) {
    const auto t = static_cast<int16_t>(reading);
    if (t >= 0) return static_cast<float>(t) * 0.5f;
    const auto m = static_cast<int16_t>(((~reading) & 0x80FF) + 1);
    return static_cast<float>(m) * -0.5f * 5.0f * 0.25f;
}

// ---- VDo205M1, VDh205M1, VDh205C1 ------------------------------------------------------------

VDo205M1::VDo205M1() {
    nameModel("VDo205M1.", cntVDo205M1);
    buildModel(kVDo205M1);
}

int VDo205M1::_sensor_resume() {
    return resumeSettings(false);
}

int VDo205M1::_set_analog_gain(int gain) {
    return writeAnalogGain(gain, gainLawDirect);
}

int VDo205M1::_retime() {
    Lock lock(settingsLock);
    return retimeSplit(limitForCode(kMax205, exposure.max), -1, true);
}

VDh205M1::VDh205M1() {
    nameModel("VDh205M1.", cntVDh205M1);
}

VDh205C1::VDh205C1() {
    nameModel("VDh205C1.", cntVDh205C1);
    Lock lock(settingsLock);
    channels = 3;
    bayerPattern = 4;
    applyResolutionTable(resTable(VDh205C1Res));
    applyClockTable(clkTable(VDh205C1Clk, 0, 1));
    applyLineTiming();
    applyReceiveSize(ReceiveRule::Double);
    _retime();
    ensureColourSettings(kColourSaturation);
}

// ---- VDo282C1, VDh282C1 ----------------------------------------------------------------------

VDo282C1::VDo282C1() {
    nameModel("VDo282C1.", cntVDo282C1);
    buildModel(kVDo282C1);
}

int VDo282C1::_sensor_resume() {
    return resumeSettings(true);
}

int VDo282C1::_set_analog_gain(int gain) {
    return writeAnalogGain(gain, gainLawDirect);
}

int VDo282C1::_retime() {
    Lock lock(settingsLock);
    return retimeSplit(-1, limitForCode(kLong282, longExposure.max), false);
}

VDh282C1::VDh282C1() {
    nameModel("VDh282C1.", cntVDh282C1);
    buildModel(kVDh282C1);
}

int VDh282C1::_sensor_resume() {
    return resumeSettings(true);
}

int VDh282C1::_set_analog_gain(int gain) {
    return writeAnalogGain(gain, gainLawDirect);
}

int VDh282C1::_retime() {
    Lock lock(settingsLock);
    return retimeSplit(-1, limitForCode(kLongH282, longExposure.max), false);
}

// ---- VDo285M1 and the cameras built on it ----------------------------------------------------

VDo285M1::VDo285M1() {
    nameModel("VDo285M1.", cntVDo285M1);
    buildModel(kVDo285M1);
}

int VDo285M1::_sensor_resume() {
    return resumeSettings(false);
}

int VDo285M1::_set_analog_gain(int gain) {
    return writeAnalogGain(gain, gainLawDirect);
}

/// A clock change keeps the exposure time at the same line length.
int VDo285M1::_retime() {
    return retimeSplit(-1, -1, false);
}

int VDo285M1::_set_edge_inhibition(bool on) {
    Lock lock(settingsLock);
    controlPortState = on ? kEdgeInhibitionOn : kEdgeInhibitionOff;
    sendVendorRequest(kControlPort, static_cast<uint16_t>(controlPortState), kPortEdge);
    return 0;
}

int VDo285M1::_edge_inhibition(bool* on) {
    if (!on) return -2;
    Lock lock(settingsLock);
    *on = controlPortState == kEdgeInhibitionOn;
    return 0;
}

int VDo285M1::_set_cooled(bool on) {
    Lock lock(settingsLock);
    cooled = on;
    sendVendorRequest(kControlPort, on ? 1 : 0, kPortCooler);
    return 0;
}

int VDo285M1::_cooled(bool* on) {
    if (!on) return -2;
    Lock lock(settingsLock);
    *on = cooled;
    return 0;
}

VDh285M1::VDh285M1() {
    nameModel("VDh285M1.", cntVDh285M1);
}

VDh285C1::VDh285C1() {
    nameModel("VDh285C1.", cntVDh285C1);
    Lock lock(settingsLock);
    channels = 3;
    bayerPattern = 4;
    applyResolutionTable(resTable(VDh285C1Res, 1));
    applyClockTable(clkTable(VDh285C1Clk, 0, 0));
    applyLineTiming();
    applyReceiveSize(ReceiveRule::Double);
    _retime();
    ensureColourSettings(kColourSaturation);
}

/// The colour 674 sensor; edge inhibition starts on.
VDh674C1::VDh674C1() {
    nameModel("VDh674C1.", cntVDh674C1);
    Lock lock(settingsLock);
    channels = 3;
    bayerPattern = 3;
    applyResolutionTable(resTable(VDh674C1Res));
    applyClockTable(clkTable(VDh674C1Clk, 0, 0));
    applyValue(analogGain, {80, 1, 1023, 80, true});
    applyValue(exposure, {300, 1, 1521, 30, true});
    applyLineTiming();
    applyReceiveSize(ReceiveRule::Double);
    controlPortState = kEdgeInhibitionOn;
    _retime();
    ensureColourSettings(kColourSaturation);
}

/// Generations 0xA001 and 0xA004 bin in the camera, offer the faster clock table and are told
/// so through the control port; the cooler goes on and the temperature is read.
int VDh674M1::_claim_device() {
    CamBayer::_claim_device();
    Lock lock(settingsLock);
    nameModel("VDh674M1.", cntVDh674M1);
    if (binsInCamera(bcdDevice())) {
        applyResolutionTable(resTable(VDh674M1V1Res));
        applyClockTable(clkTable(VDh674M1Clk2, 1, 1));
        sendVendorRequest(kControlPort, 1, kPortVariant);
    } else {
        applyResolutionTable(resTable(VDh674M1V0Res));
        applyClockTable(clkTable(VDh674M1Clk, 0, 0));
    }
    applyValue(analogGain, {80, 1, 1023, 80, true});
    applyValue(exposure, {300, 1, 1521, 30, true});
    lineLength = resItem(resolution.value).lineLength;
    applyReceiveSize(ReceiveRule::Double);
    _retime();
    controlPortState = kEdgeInhibitionOff;
    _set_cooled(true);
    _temperature(&temperature);
    _set_edge_inhibition(false);
    return 0;
}

/// Generations that bin in the camera have their own period per mode and line length.
int VDh674M1::_retime() {
    Lock lock(settingsLock);
    if (!binsInCamera(bcdDevice())) return VDo285M1::_retime();
    return retimeSplit(limitForCode(kMax674, exposure.max), -1, true);
}

/// Reads the sensor temperature straight from the control pipe (request 0xB6, index 1). Only
/// generations 0xA001 and 0xA004 have the sensor. A stalled pipe is cleared and the reply
/// converted all the same; a camera that is gone gives -3.
int VDh674M1::_temperature(float* celsius) {
    if (!binsInCamera(bcdDevice())) return -4;
    if (!celsius) return -2;
    unsigned char reply[64] = {};
    EZURB request{0xC0, 0xB6, 0, 1, sizeof(reply), reply, 0};
    const int result = controlTransfer(request);
    if (result != hx::usb::kUsbOk && result != hx::usb::kUsbPipeStalled) return -3;
    *celsius = temperatureFromReading(static_cast<uint16_t>(reply[0] | (reply[1] << 8)));
    return 0;
}

/// Generation 0xA001 bins in the camera; edge inhibition stays on, the cooler untouched.
int VDh687M1::_claim_device() {
    CamBayer::_claim_device();
    Lock lock(settingsLock);
    nameModel("VDh687M1.", cntVDh687M1);
    if (bcdDevice() == 0xA001) {
        applyResolutionTable(resTable(VDh687M1V1Res));
        applyClockTable(clkTable(VDh687M1Clk2, 1, 1));
        sendVendorRequest(kControlPort, 1, kPortVariant);
    } else {
        applyResolutionTable(resTable(VDh687M1Res));
        applyClockTable(clkTable(VDh687M1Clk, 0, 0));
    }
    applyValue(analogGain, {256, 1, 1023, 256, true});
    applyValue(exposure, {300, 1, 2261, 30, true});
    lineLength = resItem(resolution.value).lineLength;
    applyReceiveSize(ReceiveRule::Double);
    _retime();
    controlPortState = kEdgeInhibitionOn;
    return 0;
}

int VDh687M1::_retime() {
    Lock lock(settingsLock);
    return retimeSplit(limitForCode(kMax694, exposure.max), -1, true);
}

/// Other generations keep the VDo285M1 tables of construction.
int VDh694M1::_claim_device() {
    CamBayer::_claim_device();
    Lock lock(settingsLock);
    nameModel("VDh694M1.", cntVDh694M1);
    if (binsInCamera(bcdDevice())) {
        applyResolutionTable(resTable(VDh694M1V1Res));
        applyClockTable(clkTable(VDh694M1Clk, 1, 1));
    }
    applyValue(analogGain, {80, 1, 1023, 80, true});
    applyValue(exposure, {300, 1, 2261, 30, true});
    lineLength = resItem(resolution.value).lineLength;
    applyReceiveSize(ReceiveRule::Double);
    _retime();
    controlPortState = kEdgeInhibitionOff;
    _set_cooled(true);
    _set_edge_inhibition(false);
    return 0;
}

int VDh694M1::_retime() {
    Lock lock(settingsLock);
    return retimeSplit(limitForCode(kMax694, exposure.max), -1, true);
}

/// Full resolution is refused at clocks the sensor cannot read it at: from 24001 kHz, and
/// above 23999 kHz with 16-bit data. The requests still go out for the index kept.
int VDh694M1::_set_resolution(int index, bool apply) {
    Lock lock(settingsLock);
    if (!resolution.table || !pixelClock.table || index < resolution.min || index >= resolution.max)
        return -2;
    int result = 0;
    if (index <= 0) {
        const uint32_t rate = clkItem(pixelClock.value).rate;
        if (rate >= 24001 || (rawDepth.value == 16 && rate > 23999)) {
            index = resolution.value;
            result = -3;
        }
    }
    prepareRequest(resolution.request, static_cast<uint8_t>(resolutionRequest), resItem(index).code,
                   0);
    ++resolutionSerial;
    resolution.value = static_cast<uint16_t>(index);
    _retime();
    roiState = false;
    hardwareWindow = false;
    if (apply) {
        EZURB mode = resolution.request;
        _sumbit_ctl_urb(1000, 1, &mode);
        _delay(100);
        EZURB clock = pixelClock.request;
        _sumbit_ctl_urb(1000, 1, &clock);
    } else {
        resolutionPending = true;
    }
    return result;
}

/// Starts a dark-frame capture: the sensor stops, and restarts with a 10-second exposure
/// carried by the mode request; the next frame becomes the dark frame.
int VDh694M1::_blackfield() {
    Lock lock(settingsLock);
    if (!resolution.table || !pixelClock.table || lineLength <= 0) return -2;
    sendVendorRequest(0xBB, 0, 0);
    _delay(400);
    savedExposure = _exposure();
    const uint64_t lines = static_cast<uint64_t>(clkItem(pixelClock.value).rate) * 10000 /
                           static_cast<uint64_t>(lineLength);
    darkLines = static_cast<uint32_t>(std::min<uint64_t>(lines, 0xFFFFFF));
    restartCarrying(darkLines);
    blackFieldRequest = true;
    return 0;
}

int VDh694M1::frameTimeoutMs() {
    const int base = CamBayer::frameTimeoutMs();
    if (!blackFieldRequest.load()) return base;
    double darkMs = 0.0;
    {
        Lock lock(settingsLock);
        if (lineClock > 0) darkMs = static_cast<double>(darkLines) * lineLength / lineClock;
    }
    return static_cast<int>(std::min(base + darkMs, 2.0e9));
}

/// Restarts the stopped sensor: the mode request goes out carrying the total line count, and
/// the clock request (prepared when it never was) carries it too, for the next send.
void VDh694M1::restartCarrying(uint32_t total) {
    prepareRequest(resolution.request, static_cast<uint8_t>(resolutionRequest),
                   resItem(resolution.value).code, 0);
    carryExposure(resolution.request, total);
    EZURB mode = resolution.request;
    _sumbit_ctl_urb(1000, 1, &mode);
    if (pixelClock.request.bRequest == 0)
        prepareRequest(pixelClock.request, static_cast<uint8_t>(clockRequest),
                       clkItem(pixelClock.value).code, 0);
    carryExposure(pixelClock.request, total);
}

int VDh694M1::_set_shift_operator(int value) {
    Lock lock(settingsLock);
    shiftOperator = std::clamp(value, 0, 8);
    sendVendorRequest(kControlPort, static_cast<uint16_t>(shiftOperator), kPortShift);
    return 0;
}

int VDh694M1::_shift_operator() {
    Lock lock(settingsLock);
    return shiftOperator;
}

/// Reports 0 to 4 although values up to 8 are taken: callers rely on the narrower range.
int VDh694M1::_shift_operator_range(int* min, int* max, int* step) {
    if (min) *min = 0;
    if (max) *max = 4;
    if (step) *step = 1;
    return 0;
}

VDh694C1::VDh694C1() {
    Lock lock(settingsLock);
    ensureColourSettings(kColourSaturation);
}

/// Generation 0xA001 has the colour modes of its own; others keep the monochrome tables.
int VDh694C1::_claim_device() {
    CamBayer::_claim_device();
    Lock lock(settingsLock);
    nameModel("VDh694C1.", cntVDh694C1);
    channels = 3;
    bayerPattern = 4;
    if (bcdDevice() == 0xA001) {
        applyResolutionTable(resTable(VDh694C1V1Res));
        applyClockTable(clkTable(VDh94C1Clk, 0, 0));
    }
    applyValue(analogGain, {256, 1, 1023, 256, true});
    applyValue(exposure, {300, 1, 2261, 30, true});
    applyLineTiming();
    applyReceiveSize(ReceiveRule::Double);
    _retime();
    controlPortState = kEdgeInhibitionOff;
    _set_edge_inhibition(false);
    return 0;
}

int VDh694C1::_retime() {
    Lock lock(settingsLock);
    return retimeSplit(limitForCode(kMax694C, exposure.max), -1, true);
}

/// The conversion steps of this camera are those of the base chain.
int VDh694C1::_raw2image(unsigned char* raw, unsigned char* image, bool crop) {
    return CamBayer::_raw2image(raw, image, crop);
}
