// The base camera's sensor settings: resolution, pixel clock, raw depth, exposure with the
// line-time conversion and the long-exposure extension, black level and region of interest.
#include <algorithm>
#include <cmath>

#include "camera/CamBayer.h"

namespace {

/// Products whose exposure request goes out whenever the line time changes.
bool sendsExposureOnRetime(int product) {
    return (product >= 0xC003 && product <= 0xC00C) || product == 0xD001 || product == 0xD004 ||
           product == 0xD006 || product == 0xF007 || product == 0xF008 || product == 0xF00B;
}

/// Products whose gain must be re-sent after a resolution change.
bool resendsGainOnResolution(int product) {
    return product == 0xA005 || product == 0xA009 || product == 0xA00A;
}

/// Products without a long-exposure restart.
bool refusesRestart(int product) {
    return product == 0xA005 || product == 0xA009 || product == 0xA00A;
}

/// Products that wait after the stop of a restart.
bool waitsOnRestart(int product) {
    return product == 0xE006 || (product >= 0xE009 && product <= 0xE00C) || product == 0xE80A;
}

} // namespace

// ---- resolution -----------------------------------------------------------------------------

/// Selects a resolution item. With apply the request goes out at once; otherwise it waits for
/// the next frame read. Any change switches the region of interest and the hardware window off.
int CamBayer::_set_resolution(int index, bool apply) {
    Lock lock(settingsLock);
    if (!resolution.table || index < resolution.min || index >= resolution.max) return -2;
    int result = 0;
    const int product = descriptor.idProduct;
    if ((product == 0xE00A || product == 0xE00C) && index <= 0 && pixelClock.table) {
        const uint32_t rate = clkItem(pixelClock.value).rate;
        if (rate > 24000 || (rawDepth.value == 16 && rate >= 24000)) {
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
        EZURB request = resolution.request;
        _sumbit_ctl_urb(1000, 1, &request);
        if (resendsGainOnResolution(product)) _set_analog_gain(analogGain.value);
    } else {
        resolutionPending = true;
    }
    return result;
}

int CamBayer::_resolution() {
    Lock lock(settingsLock);
    return resolution.value;
}

int CamBayer::_resolution_count() {
    Lock lock(settingsLock);
    return resolution.max;
}

const char* CamBayer::_resolution_string_at_index(int index) {
    Lock lock(settingsLock);
    if (!resolution.table || index < resolution.min || index >= resolution.max) return nullptr;
    return resItem(index).text;
}

/// Image width of an item (sensor width - 8); -2 for an index outside the table.
int CamBayer::_resolution_width_at_index(int index) {
    Lock lock(settingsLock);
    if (!resolution.table || index < 0 || index >= resolution.max) return -2;
    return resItem(index).sensorWidth - 8;
}

/// Image height of an item (sensor height - 8); -2 for an index outside the table.
int CamBayer::_resolution_height_at_index(int index) {
    Lock lock(settingsLock);
    if (!resolution.table || index < 0 || index >= resolution.max) return -2;
    return resItem(index).sensorHeight - 8;
}

int CamBayer::_raw_size(int* width, int* height) {
    Lock lock(settingsLock);
    if (!resolution.table) return -2;
    if (width) *width = resItem(resolution.value).sensorWidth;
    if (height) *height = resItem(resolution.value).sensorHeight;
    return 0;
}

// ---- pixel clock ----------------------------------------------------------------------------

/// Selects a clock item. Returns 4 when the request was moved down the table by the item's
/// shift, or refused because 16-bit data at full resolution needs a slower clock.
int CamBayer::_set_pixsclock(int index) {
    Lock lock(settingsLock);
    if (!pixelClock.table || !resolution.table || index < pixelClock.min || index >= pixelClock.max)
        return -2;
    if (rawDepth.value == 16 && clkItem(index).rate >= 24000 && resolution.value == 0) return 4;
    int result = 0;
    if (resolution.value < clkItem(index).shift) {
        index += clkItem(index).shift;
        result = 4;
    }
    if (index > pixelClock.max - 1) return -2;
    if (rawDepth.supported && rawDepth.value == 16 && clkItem(index).deep == 0) _set_raw_depth(8);
    prepareRequest(pixelClock.request, static_cast<uint8_t>(clockRequest), clkItem(index).code, 0);
    pixelClock.value = static_cast<uint16_t>(index);
    _retime();
    EZURB request = pixelClock.request;
    _sumbit_ctl_urb(1000, 1, &request);
    return result;
}

int CamBayer::_pixsclock() {
    Lock lock(settingsLock);
    return pixelClock.value;
}

int CamBayer::_pixsclock_count() {
    Lock lock(settingsLock);
    return pixelClock.max;
}

const char* CamBayer::_pixsclock_string_at_index(int index) {
    Lock lock(settingsLock);
    if (!pixelClock.table || index < pixelClock.min || index >= pixelClock.max) return nullptr;
    return clkItem(index).text;
}

// ---- raw depth ------------------------------------------------------------------------------

/// Whether 16-bit data is possible at a clock: 0 yes, 4 not at full resolution, -4 never.
int CamBayer::_raw_depth_state(int clockIndex) {
    Lock lock(settingsLock);
    if (!pixelClock.table || clockIndex < pixelClock.min || clockIndex >= pixelClock.max) return -2;
    if (clkItem(pixelClock.max - 1).deep == 0) return -4;
    if (clkItem(clockIndex).rate < 24000) return 0;
    return resolution.value == 0 ? 4 : 0;
}

int CamBayer::_raw_depth() {
    Lock lock(settingsLock);
    return rawDepth.value;
}

int CamBayer::_set_raw_depth(int bits) {
    Lock lock(settingsLock);
    if (!rawDepth.supported || _raw_depth_state(pixelClock.value) != 0) return -4;
    uint16_t code;
    if (bits == 16)
        code = 5;
    else if (bits == 8)
        code = 10;
    else
        return -2;
    prepareRequest(rawDepth.request, static_cast<uint8_t>(depthRequest), code, 0);
    EZURB request = rawDepth.request;
    _sumbit_ctl_urb(1000, 1, &request);
    rawDepth.value = static_cast<uint16_t>(bits);
    return 0;
}

// ---- gain and exposure ----------------------------------------------------------------------

int CamBayer::_analog_gain() {
    Lock lock(settingsLock);
    return analogGain.value;
}

int CamBayer::_analog_gain_range(int* min, int* max, int* step) {
    Lock lock(settingsLock);
    if (min) *min = analogGain.min;
    if (max) *max = analogGain.max;
    if (step) *step = analogGain.step;
    return 0;
}

/// Takes the line time of the current resolution and clock items and converts the exposure line
/// count so that the exposure time stays the same. The new count also rides in wIndex of the
/// prepared resolution and clock requests.
int CamBayer::_retime() {
    Lock lock(settingsLock);
    if (!resolution.table || !pixelClock.table) return 0;
    const double oldLines = exposure.value;
    const double oldLength = lineLength;
    const double oldClock = lineClock;
    lineLength = resItem(resolution.value).lineLength;
    lineClock = static_cast<int>(clkItem(pixelClock.value).rate);
    double lines = oldLines;
    if (oldClock > 0 && lineLength > 0)
        lines = std::trunc(lineClock * (oldLines * oldLength) / oldClock / lineLength + 0.5);
    lines = std::clamp(lines, static_cast<double>(exposure.min), static_cast<double>(exposure.max));
    exposure.value = static_cast<uint16_t>(lines);
    prepareRequest(exposure.request, 0xB7, exposure.value, exposureRegister);
    if (sendsExposureOnRetime(descriptor.idProduct)) {
        EZURB request = exposure.request;
        _sumbit_ctl_urb(1000, 1, &request);
    }
    resolution.request.wIndex = exposure.value;
    pixelClock.request.wIndex = exposure.value;
    return 0;
}

/// Sets the exposure in milliseconds, converted to whole sensor lines at the current clock. With
/// long exposure the count is split into whole periods of exposure.max lines and a rest.
int CamBayer::_set_exposure(float milliseconds) {
    Lock lock(settingsLock);
    if (!pixelClock.table || lineLength <= 0) return -2;
    const float rate = static_cast<float>(clkItem(pixelClock.value).rate);
    float raw = std::trunc(rate * milliseconds / static_cast<float>(lineLength));
    if (!(raw >= static_cast<float>(exposure.min))) raw = exposure.min; // also NaN
    if (!longExposure.supported) {
        const long lines = static_cast<long>(std::min(raw, static_cast<float>(exposure.max)));
        writeRegister(exposureRegister, static_cast<uint16_t>(lines));
        exposure.value = static_cast<uint16_t>(lines);
    } else if (exposure.max > 0) {
        const double limit = (static_cast<double>(longExposure.max) + 1) * exposure.max - 1;
        const long lines = static_cast<long>(std::min(static_cast<double>(raw), limit));
        const long periods = lines / exposure.max;
        const long rest = lines % exposure.max;
        if (periods != longExposure.value || rest != exposure.value) {
            exposure.value = static_cast<uint16_t>(rest);
            longExposure.value = static_cast<uint16_t>(periods);
            writeRegister(exposureRegister, static_cast<uint16_t>(rest));
            writeRegister(longExposureRegister, static_cast<uint16_t>(periods));
        }
    }
    if (resolutionPending.load()) _retime();
    return 0;
}

float CamBayer::_exposure() {
    Lock lock(settingsLock);
    if (!pixelClock.table) return 0.0f;
    const float rate = static_cast<float>(clkItem(pixelClock.value).rate);
    if (rate <= 0.0f) return 0.0f;
    const float lines = static_cast<float>(longExposure.value) * exposure.max + exposure.value;
    return lines * static_cast<float>(lineLength) / rate;
}

int CamBayer::_exposure_range(float* min, float* max, float* step) {
    Lock lock(settingsLock);
    if (lineClock <= 0) return -2;
    const float line = static_cast<float>(lineLength) / static_cast<float>(lineClock);
    if (min) *min = exposure.min * line;
    if (max) *max = ((static_cast<float>(longExposure.max) + 1) * exposure.max - 1) * line;
    if (step) *step = exposure.step * line;
    return 0;
}

/// Restarts a long exposure: stop, then the resolution request carrying the total line count
/// (low 16 bits in wIndex, bits 16 to 23 in the high byte of wValue).
int CamBayer::_restart_exposure() {
    Lock lock(settingsLock);
    const int product = descriptor.idProduct;
    if (refusesRestart(product) || !longExposure.supported) return -4;
    sendVendorRequest(0xBB, 0, 0);
    if (waitsOnRestart(product)) _delay(400);
    const uint32_t total =
        static_cast<uint32_t>(longExposure.value) * exposure.max + exposure.value;
    // The request is rebuilt from the current item, so that it is whole even before the first
    // resolution change prepared it.
    if (resolution.table)
        prepareRequest(resolution.request, static_cast<uint8_t>(resolutionRequest),
                       resItem(resolution.value).code, 0);
    resolution.request.wIndex = static_cast<uint16_t>(total & 0xFFFF);
    resolution.request.wValue =
        static_cast<uint16_t>((resolution.request.wValue & 0xFF) | (((total >> 16) & 0xFF) << 8));
    EZURB request = resolution.request;
    _sumbit_ctl_urb(1000, 1, &request);
    return 0;
}

int CamBayer::_restart_state() {
    Lock lock(settingsLock);
    if (refusesRestart(descriptor.idProduct) || !longExposure.supported) return -4;
    return 0;
}

// ---- black level ----------------------------------------------------------------------------

int CamBayer::_set_blacklevel(int level) {
    Lock lock(settingsLock);
    if (!blackLevel.supported) return -4;
    if (level < blackLevel.min || level > blackLevel.max) return -2;
    prepareRequest(blackLevel.request, 0xB7, static_cast<uint16_t>(level), blackLevelRegister);
    EZURB request = blackLevel.request;
    _sumbit_ctl_urb(1000, 1, &request);
    blackLevel.value = static_cast<uint16_t>(level);
    return 0;
}

int CamBayer::_blacklevel() {
    Lock lock(settingsLock);
    return blackLevel.value;
}

int CamBayer::_blacklevel_range(int* min, int* max, int* step) {
    Lock lock(settingsLock);
    if (!blackLevel.supported) return -4;
    if (min) *min = blackLevel.min;
    if (max) *max = blackLevel.max;
    if (step) *step = blackLevel.step;
    return 0;
}

// ---- region of interest ---------------------------------------------------------------------

/// Stores a region of interest in image coordinates of the current item, limited to the image
/// and aligned (x to 4, y to 2, width + 8 to 4, height + 8 to 2). The frame read crops to it.
int CamBayer::_set_roi(int x, int y, int width, int height) {
    Lock lock(settingsLock);
    if (!resolution.table) return -2;
    const int imageWidth = resItem(resolution.value).sensorWidth - 8;
    const int imageHeight = resItem(resolution.value).sensorHeight - 8;
    if (imageWidth < 8 || imageHeight < 8) return -2;
    // An origin beyond the image would leave no room for the smallest region: keep 8 pixels.
    x = std::clamp(x, 0, imageWidth - 8);
    y = std::clamp(y, 0, imageHeight - 8);
    width = std::clamp(width, 8, imageWidth);
    height = std::clamp(height, 8, imageHeight);
    if (x + width > imageWidth) width = imageWidth - x;
    if (y + height > imageHeight) height = imageHeight - y;
    roiOrigin.wValue = static_cast<uint16_t>(x & ~3);
    roiOrigin.wIndex = static_cast<uint16_t>(y & ~1);
    roiSize.wValue = static_cast<uint16_t>((width + 8) & ~3);
    roiSize.wIndex = static_cast<uint16_t>((height + 8) & ~1);
    roiState = true;
    return 0;
}

int CamBayer::_roi(int* x, int* y, int* width, int* height) {
    Lock lock(settingsLock);
    if (x) *x = roiOrigin.wValue;
    if (y) *y = roiOrigin.wIndex;
    if (width) *width = roiSize.wValue - 8;
    if (height) *height = roiSize.wIndex - 8;
    return 0;
}

/// Switches the region on or off. Switching it off while the camera delivers only the region
/// returns the camera to the first resolution item with the next frame read.
int CamBayer::_set_roi_state(bool on) {
    Lock lock(settingsLock);
    roiState = on;
    if (!on && hardwareWindow.load()) {
        hardwareWindow = false;
        _set_resolution(0, false);
    }
    return 0;
}

int CamBayer::_roi_state(bool* on) {
    if (!on) return -2;
    *on = roiState.load();
    return 0;
}
