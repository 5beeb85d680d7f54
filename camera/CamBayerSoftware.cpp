// The base camera's host-side settings: tone curves, saturation, digital gains, stretch, the
// automatic-exposure target and the processing switches. Setters build a new table in the
// record's shadow under the settings lock and mark it pending; the processing chain publishes it
// with _swap_software before it next reads the table.
#include <algorithm>
#include <cstring>

#include "algorithms/algorithms.h"
#include "camera/CamBayer.h"

namespace {

/// Record of a per-channel setting: base + channel, or base on a one-channel camera; -1 for a
/// channel outside 0 .. 2.
int channelRecord(int base, int channel, int channels) {
    if (channel < 0 || channel > 2) return -1;
    return channels == 1 ? base : base + channel;
}

int writeRange(const SoftWareValue& r, int* min, int* max, int* step) {
    if (min) *min = r.min;
    if (max) *max = r.max;
    if (step) *step = r.step;
    return 0;
}

} // namespace

void CamBayer::buildShadow(int index, int value) {
    SoftWareValue& r = software[index];
    if (!r.shadow) return;
    switch (index) {
    case kSwContrast:
        __matrix_contrast(value, r.shadow, kCurveTableSize);
        break;
    case kSwSaturation:
        __matrix_saturation(value, r.shadow, kCurveTableSize);
        break;
    case kSwGainRed:
    case kSwGainGreen:
    case kSwGainBlue:
        __matrix_channel(value, r.shadow, kCurveTableSize);
        break;
    case kSwGamma0:
    case kSwGamma0 + 1:
    case kSwGamma0 + 2:
        __matrix_gamma(value, r.shadow, kCurveTableSize);
        break;
    default:
        return;
    }
    r.pending = 1;
}

// ---- curves ---------------------------------------------------------------------------------

// Curve setters ignore values outside the range or equal to the current one; otherwise they
// build the table, store the value and mark it pending.

int CamBayer::_set_contrast(int value) {
    Lock lock(settingsLock);
    SoftWareValue& r = software[kSwContrast];
    if (value < r.min || value > r.max || value == r.value) return 0;
    buildShadow(kSwContrast, value);
    r.value = static_cast<uint8_t>(value);
    return 0;
}

int CamBayer::_contrast() {
    Lock lock(settingsLock);
    return software[kSwContrast].value;
}

int CamBayer::_contrast_range(int* min, int* max, int* step) {
    Lock lock(settingsLock);
    return writeRange(software[kSwContrast], min, max, step);
}

int CamBayer::_set_gamma(int value) {
    return _set_gamma(value, 0);
}
int CamBayer::_gamma() {
    return _gamma(0);
}
int CamBayer::_gamma_range(int* min, int* max, int* step) {
    return _gamma_range(min, max, step, 0);
}

int CamBayer::_set_gamma(int value, int channel) {
    Lock lock(settingsLock);
    const int index = channelRecord(kSwGamma0, channel, channels);
    if (index < 0) return -2;
    SoftWareValue& r = software[index];
    if (value < r.min || value > r.max || value == r.value) return 0;
    buildShadow(index, value);
    r.value = static_cast<uint8_t>(value);
    return 0;
}

int CamBayer::_gamma(int channel) {
    Lock lock(settingsLock);
    const int index = channelRecord(kSwGamma0, channel, channels);
    return index < 0 ? -2 : software[index].value;
}

int CamBayer::_gamma_range(int* min, int* max, int* step, int channel) {
    Lock lock(settingsLock);
    const int index = channelRecord(kSwGamma0, channel, channels);
    return index < 0 ? -2 : writeRange(software[index], min, max, step);
}

int CamBayer::_set_saturation(int value) {
    Lock lock(settingsLock);
    SoftWareValue& r = software[kSwSaturation];
    if (!r.enabled || value < r.min || value > r.max || value == r.value) return 0;
    buildShadow(kSwSaturation, value);
    r.value = static_cast<uint8_t>(value);
    return 0;
}

int CamBayer::_saturation() {
    Lock lock(settingsLock);
    return software[kSwSaturation].enabled ? software[kSwSaturation].value : -4;
}

int CamBayer::_saturation_range(int* min, int* max, int* step) {
    Lock lock(settingsLock);
    if (!software[kSwSaturation].enabled) return -4;
    return writeRange(software[kSwSaturation], min, max, step);
}

// ---- digital gain ---------------------------------------------------------------------------

int CamBayer::_set_digital_gain(int red, int green, int blue) {
    Lock lock(settingsLock);
    if (!software[kSwGainRed].enabled) return 0;
    const int values[3] = {red, green, blue};
    for (int c = 0; c < 3; ++c) {
        SoftWareValue& r = software[kSwGainRed + c];
        const int v = values[c];
        if (v == r.value || v < r.min || v > r.max) continue;
        buildShadow(kSwGainRed + c, v);
        r.value = static_cast<uint8_t>(v);
    }
    return 0;
}

int CamBayer::_digital_gain(int* red, int* green, int* blue) {
    Lock lock(settingsLock);
    if (!software[kSwGainRed].enabled) return -4;
    if (red) *red = software[kSwGainRed].value;
    if (green) *green = software[kSwGainGreen].value;
    if (blue) *blue = software[kSwGainBlue].value;
    return 0;
}

int CamBayer::_digital_gain_range(int* min, int* max, int* step) {
    Lock lock(settingsLock);
    if (!software[kSwGainRed].enabled) return -4;
    return writeRange(software[kSwGainRed], min, max, step);
}

// ---- automatic-exposure target --------------------------------------------------------------

int CamBayer::_set_aetarget(int value) {
    Lock lock(settingsLock);
    SoftWareValue& r = software[kSwAeTarget];
    if (value >= r.min && value <= r.max && value != r.value) r.value = static_cast<uint8_t>(value);
    return 0;
}

int CamBayer::_aetarget() {
    Lock lock(settingsLock);
    return software[kSwAeTarget].value;
}

int CamBayer::_aetarget_range(int* min, int* max, int* step) {
    Lock lock(settingsLock);
    if (!software[kSwAeTarget].enabled) return -4;
    return writeRange(software[kSwAeTarget], min, max, step);
}

// ---- stretch --------------------------------------------------------------------------------

int CamBayer::_set_stretch(int low, int high, bool automatic) {
    return _set_stretch(low, high, automatic, 0);
}
int CamBayer::_stretch(int* low, int* high, bool* automatic) {
    return _stretch(low, high, automatic, 0);
}
int CamBayer::_stretch_range(int* min, int* max, int* step) {
    return _stretch_range(min, max, step, 0);
}

/// Automatic stretch only raises the record's flag. A manual range 0 <= low < high <= 255 is
/// built and stored; any other range returns -2 and re-marks the old curve.
int CamBayer::_set_stretch(int low, int high, bool automatic, int channel) {
    Lock lock(settingsLock);
    const int index = channelRecord(kSwStretch0, channel, channels);
    if (index < 0) return -2;
    SoftWareValue& r = software[index];
    if (automatic) {
        r.value = 1;
        return 0;
    }
    r.value = 0;
    int result = 0;
    if (low >= 0 && high <= 255 && low < high) {
        r.min = static_cast<uint8_t>(low);
        r.max = static_cast<uint8_t>(high);
    } else {
        result = -2;
    }
    if (r.shadow) __matrix_stretch(r.min, r.max, r.shadow, kCurveTableSize);
    r.pending = 1;
    return result;
}

int CamBayer::_stretch(int* low, int* high, bool* automatic, int channel) {
    Lock lock(settingsLock);
    const int index = channelRecord(kSwStretch0, channel, channels);
    if (index < 0) return -2;
    if (low) *low = software[index].min;
    if (high) *high = software[index].max;
    if (automatic) *automatic = software[index].value != 0;
    return 0;
}

int CamBayer::_stretch_range(int* min, int* max, int* step, int channel) {
    if (channel < 0 || channel > 2) return -2;
    if (min) *min = 0;
    if (max) *max = 255;
    if (step) *step = 1;
    return 0;
}

// ---- switches -------------------------------------------------------------------------------

int CamBayer::_set_flip(int code) {
    flip = static_cast<int8_t>(code & 0xFF);
    return 0;
}
int CamBayer::_flip() {
    return flip.load();
}
int CamBayer::_set_rotate(int code) {
    rotate = static_cast<int8_t>(code & 0xFF);
    return 0;
}
int CamBayer::_rotate() {
    return rotate.load();
}

/// Monochrome output and colour enhancement exist only on colour cameras.
int CamBayer::_set_monochrome(bool on) {
    Lock lock(settingsLock);
    if (software[kSwSaturation].enabled) monochrome = on;
    return 0;
}

int CamBayer::_monochrome(bool* on) {
    Lock lock(settingsLock);
    if (!software[kSwSaturation].enabled) return -4;
    if (!on) return -2;
    *on = monochrome.load();
    return 0;
}

int CamBayer::_set_color_enhancement(bool on) {
    Lock lock(settingsLock);
    if (software[kSwSaturation].enabled) colorEnhancement = on;
    return 0;
}

int CamBayer::_color_enhancement(bool* on) {
    Lock lock(settingsLock);
    if (!software[kSwSaturation].enabled) return -4;
    if (!on) return -2;
    *on = colorEnhancement.load();
    return 0;
}

namespace {
int readFlag(const std::atomic<bool>& flag, bool* out) {
    if (!out) return -2;
    *out = flag.load();
    return 0;
}
} // namespace

int CamBayer::_set_autoexposure(bool on) {
    autoExposure = on;
    return 0;
}
int CamBayer::_autoexposure(bool* on) {
    return readFlag(autoExposure, on);
}
int CamBayer::_set_histogram(bool on) {
    histogram = on;
    return 0;
}
int CamBayer::_histogram(bool* on) {
    return readFlag(histogram, on);
}
int CamBayer::_set_ff_state(bool on) {
    flatField = on;
    return 0;
}
int CamBayer::_ff_state(bool* on) {
    return readFlag(flatField, on);
}
int CamBayer::_set_dc_state(bool on) {
    defectCorrection = on;
    return 0;
}
int CamBayer::_dc_state(bool* on) {
    return readFlag(defectCorrection, on);
}
int CamBayer::_set_blackfield_state(bool on) {
    blackFieldState = on;
    return 0;
}
int CamBayer::_blackfield_state(bool* on) {
    return readFlag(blackFieldState, on);
}
int CamBayer::_calc_defect_correction() {
    defectRequest = true;
    return 0;
}
int CamBayer::_blackfield() {
    return 0;
}

int CamBayer::_set_snap_format(int code) {
    snapFormat = static_cast<int16_t>(code);
    return 0;
}

int CamBayer::_snap_format(int* code) {
    if (!code) return -2;
    *code = snapFormat.load();
    return 0;
}

int CamBayer::_set_sharpness(int) {
    return -4;
}
int CamBayer::_sharpness() {
    return -4;
}
int CamBayer::_sharpness_range(int*, int*, int*) {
    return -4;
}
int CamBayer::_set_denoise(int) {
    return -4;
}
int CamBayer::_denoise() {
    return -4;
}
int CamBayer::_denoise_range(int*, int*, int*) {
    return -4;
}

// ---- publishing -----------------------------------------------------------------------------

/// Copies a pending shadow table into the live table and clears the mark. Only records of this
/// camera are accepted, and never more bytes than the record's tables hold.
int CamBayer::_swap_software(SoftWareValue* record, int length) {
    if (!record || record < software || record >= software + kSwCount) return -2;
    Lock lock(settingsLock);
    if (!record->pending) return 0;
    const int capacity =
        record == &software[kSwSaturation] ? kSaturationTableSize : kCurveTableSize;
    const int n = std::clamp(length, 0, capacity);
    if (record->table && record->shadow && n > 0)
        std::memcpy(record->table, record->shadow, static_cast<size_t>(n));
    record->pending = 0;
    return 0;
}
