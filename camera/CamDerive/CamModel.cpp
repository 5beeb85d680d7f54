#include "camera/CamDerive/CamModel.h"

#include <algorithm>
#include <string>

#include "algorithms/algorithms.h"

/// Names the camera after its model. The instance character is 48 + the counter, so the first
/// camera is "1" and the tenth ":". Past '~' (the 78th camera of a model in one process) the
/// character would leave printable ASCII and, at the 208th, wrap around to names already
/// given; from there on the counter is written out in decimal instead, which keeps every name
/// printable and distinct.
void CamModel::nameModel(const char* display, std::atomic<int>& counter) {
    Lock lock(settingsLock);
    const int n = counter.fetch_add(1);
    displayName = display;
    name = displayName;
    if (n >= 0 && 48 + n <= '~')
        name.push_back(static_cast<char>(48 + n));
    else
        name += std::to_string(n);
}

void CamModel::applyRegisters(const RegisterMap& map) {
    gainRegister = map.gain;
    exposureRegister = map.exposure;
    longExposureRegister = map.longExposure;
    blackLevelRegister = map.blackLevel;
}

/// Installs a resolution table: index 0, minimum 0, maximum = item count, step 1.
void CamModel::applyResolutionTable(const ResolutionTable& table) {
    resolution.table = table.items;
    resolution.value = 0;
    resolution.min = 0;
    resolution.max = table.count;
    resolution.step = 1;
    resolution.def = table.def;
    resolution.supported = 1;
}

/// Installs a clock table at its starting index.
void CamModel::applyClockTable(const ClockTable& table) {
    pixelClock.table = table.items;
    pixelClock.value = table.start;
    pixelClock.min = 0;
    pixelClock.max = table.count;
    pixelClock.step = 1;
    pixelClock.def = table.def;
    pixelClock.supported = 1;
}

void CamModel::applyValue(HardWareValue& target, const HwDefault& source) {
    target.value = source.value;
    target.min = source.min;
    target.max = source.max;
    target.step = source.step;
    target.def = source.def;
    target.supported = source.supported ? 1 : 0;
}

void CamModel::applyReceiveSize(ReceiveRule rule) {
    const int f = static_cast<int>(resItem(0).frameBytes);
    switch (rule) {
    case ReceiveRule::Single:
        receiveSize = f + headLength + 2048;
        break;
    case ReceiveRule::Double:
        receiveSize = 2 * f + headLength + 2048;
        break;
    case ReceiveRule::DoubleWithHead:
        receiveSize = 2 * (f + headLength) + 4096;
        break;
    case ReceiveRule::FullColour5M:
        receiveSize = 2 * headLength + 10245226;
        break;
    }
}

void CamModel::applyLineTiming() {
    lineLength = resItem(resolution.value).lineLength;
    lineClock = static_cast<int>(clkItem(pixelClock.value).rate);
}

void CamModel::ensureColourSettings(int saturation) {
    if (!software[kSwSaturation].table) createColourSettings(saturation);
}

void CamModel::ensureDefectList() {
    if (!defectList) allocateDefectList();
}

/// Construction of a model from its description, in the order every model constructor follows:
/// identity and registers, tables and values, line timing, frame buffer size, retiming, then
/// the buffers of the host-side colour settings and of the defect list.
void CamModel::buildModel(const ModelSpec& spec, bool retime) {
    Lock lock(settingsLock);
    channels = spec.channels;
    bayerPattern = spec.bayer;
    applyRegisters(spec.registers);
    applyResolutionTable(spec.resolution);
    applyClockTable(spec.clock);
    applyValue(blackLevel, spec.blackLevel);
    applyValue(rawDepth, spec.rawDepth);
    applyValue(analogGain, spec.analogGain);
    applyValue(exposure, spec.exposure);
    applyValue(longExposure, spec.longExposure);
    applyLineTiming();
    applyReceiveSize(spec.receive);
    if (retime) _retime();
    if (spec.channels == 3 && spec.saturation > 0) ensureColourSettings(spec.saturation);
    ensureDefectList();
}

int CamModel::clampGain(int gain) const {
    return std::clamp(gain, static_cast<int>(analogGain.min),
                      std::max(static_cast<int>(analogGain.min), static_cast<int>(analogGain.max)));
}

/// The request code in the low byte of wValue stays as prepared.
void CamModel::carryExposure(EZURB& request, uint32_t total) {
    request.wIndex = static_cast<uint16_t>(total & 0xFFFF);
    request.wValue = static_cast<uint16_t>((request.wValue & 0xFF) | (((total >> 16) & 0xFF) << 8));
}
