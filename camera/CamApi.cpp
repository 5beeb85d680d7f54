// The flat camera API: each function looks the device name up in the registry, holds its own
// reference to the camera for the call and forwards to one camera operation.
#include "camera/CamRegistry.h"

#include <string>

#include "camera/CamBase.h"

using hx::cam::CamRegistry;

namespace {

/// Calls f with the named camera, or returns `unknown` for a name that is not registered.
/// Nothing thrown inside crosses the API.
template <typename R, typename F> R with(const char* name, R unknown, F&& f) noexcept {
    try {
        std::shared_ptr<CamBase> camera = CamRegistry::instance().find(name);
        if (!camera) return unknown;
        return f(*camera);
    } catch (...) {
        return unknown;
    }
}

template <typename F> void withVoid(const char* name, F&& f) noexcept {
    with(name, 0, [&](CamBase& c) {
        f(c);
        return 0;
    });
}

/// A channel index, taken as unsigned, above 2.
bool badChannel(int channel) {
    return static_cast<unsigned>(channel) > 2;
}

constexpr int kBadArgument = -2;

} // namespace

// ---- identity and buffer sizes -------------------------------------------------------------

int DataHeadLen(const char* name) {
    return with(name, 0, [](CamBase& c) { return c._head(); });
}
int RecvMemSize(const char* name) {
    return with(name, 0, [](CamBase& c) { return c._body(); });
}
int DeviceState(const char* name) {
    return with(name, 0, [](CamBase& c) { return c._state(); });
}
int DeviceProduct(const char* name) {
    return with(name, 0, [](CamBase& c) { return c._idproduct(); });
}
int DeviceVendor(const char* name) {
    return with(name, 0, [](CamBase& c) { return c._idvendor(); });
}
int DeviceBcd(const char* name) {
    return with(name, 0, [](CamBase& c) { return c._bcddevice(); });
}
int USBBcd(const char* name) {
    return with(name, 0, [](CamBase& c) { return c._bcdusb(); });
}
int DeviceVersion(const char* name) {
    return with(name, 0, [](CamBase& c) {
        int v = 0;
        c._versions(&v);
        return v;
    });
}

// ---- sensor settings and frames ------------------------------------------------------------

int SetResolution(int index, const char* name) {
    return with(name, -1, [&](CamBase& c) { return c._set_resolution(index, false); });
}
int GetResolution(const char* name) {
    return with(name, -1, [](CamBase& c) { return c._resolution(); });
}
int GetResolutionCount(const char* name) {
    return with(name, -1, [](CamBase& c) { return c._resolution_count(); });
}
const char* GetResItemName(int index, const char* name) {
    return with<const char*>(name, nullptr,
                             [&](CamBase& c) { return c._resolution_string_at_index(index); });
}
int GetResWidth(int index, const char* name) {
    return with(name, -2, [&](CamBase& c) { return c._resolution_width_at_index(index); });
}
int GetResHeight(int index, const char* name) {
    return with(name, -2, [&](CamBase& c) { return c._resolution_height_at_index(index); });
}
int SetPixelclock(int index, const char* name) {
    return with(name, -1, [&](CamBase& c) { return c._set_pixsclock(index); });
}
int GetPixelclock(const char* name) {
    return with(name, -1, [](CamBase& c) { return c._pixsclock(); });
}
int GetPixelclockCount(const char* name) {
    return with(name, -1, [](CamBase& c) { return c._pixsclock_count(); });
}
const char* GetPixclkItemName(int index, const char* name) {
    return with<const char*>(name, nullptr,
                             [&](CamBase& c) { return c._pixsclock_string_at_index(index); });
}
int GetRawSize(int* width, int* height, const char* name) {
    return with(name, -1, [&](CamBase& c) {
        return width && height ? c._raw_size(width, height) : kBadArgument;
    });
}
int GetRawDepth(const char* name) {
    return with(name, -1, [](CamBase& c) { return c._raw_depth(); });
}
int SetRawDepth(int bits, const char* name) {
    return with(name, -1, [&](CamBase& c) { return c._set_raw_depth(bits); });
}
int GetRawDepthState(int clock, const char* name) {
    return with(name, -1, [&](CamBase& c) { return c._raw_depth_state(clock); });
}
int GetRawData(unsigned char* buffer, int size, const char* name) {
    return with(name, -1, [&](CamBase& c) {
        return buffer && size > 0 ? c._read_frame(buffer, size) : kBadArgument;
    });
}
int CancelRawData(const char* name) {
    return with(name, -1, [](CamBase& c) { return c._end_read(ReadEnd::Cancel); });
}
int GetRawDataEx(HalvexFrameCallback callback, unsigned char* buffer, int size, const char* name) {
    return with(name, -1, [&](CamBase& c) { return c._raw_data_asyn(callback, buffer, size); });
}
int GetRawBayernPattern(const char* name) {
    return with(name, -1, [](CamBase& c) { return c._bayer(); });
}
int GetImageChannles(const char* name) {
    return with(name, -1, [](CamBase& c) { return c._channles(); });
}
int DecodeRaw2Image(unsigned char* raw, unsigned char* image, const char* name) {
    return with(name, -1, [&](CamBase& c) {
        return raw && image ? c._raw2image(raw, image, true) : kBadArgument;
    });
}
int GetAnaloggainRange(int* min, int* max, int* step, const char* name) {
    return with(name, -1, [&](CamBase& c) {
        return min && max && step ? c._analog_gain_range(min, max, step) : kBadArgument;
    });
}
int GetAnaloggain(const char* name) {
    return with(name, -1, [](CamBase& c) { return c._analog_gain(); });
}
int SetAnaloggain(int gain, const char* name) {
    return with(name, -1, [&](CamBase& c) { return c._set_analog_gain(gain); });
}
int GetExposureRange(float* min, float* max, float* step, const char* name) {
    return with(name, -1, [&](CamBase& c) {
        return min && max && step ? c._exposure_range(min, max, step) : kBadArgument;
    });
}
int SetExposure(float milliseconds, const char* name) {
    return with(name, -1, [&](CamBase& c) { return c._set_exposure(milliseconds); });
}
float GetExposure(const char* name) {
    return with(name, -1.0f, [](CamBase& c) { return c._exposure(); });
}
int ResetSupport(const char* name) {
    return with(name, -1, [](CamBase& c) { return c._restart_state(); });
}
int ResetDevice(const char* name) {
    return with(name, -1, [](CamBase& c) { return c._restart_exposure(); });
}
int SetBlacklevel(int level, const char* name) {
    return with(name, -1, [&](CamBase& c) { return c._set_blacklevel(level); });
}
int GetBlacklevel(const char* name) {
    return with(name, -1, [](CamBase& c) { return c._blacklevel(); });
}
int GetBlacklevelRange(int* min, int* max, int* step, const char* name) {
    return with(name, -1, [&](CamBase& c) {
        return min && max && step ? c._blacklevel_range(min, max, step) : kBadArgument;
    });
}
int SetRoi(int x, int y, int width, int height, const char* name) {
    return with(name, -1, [&](CamBase& c) { return c._set_roi(x, y, width, height); });
}
int GetRoi(int* x, int* y, int* width, int* height, const char* name) {
    return with(name, -1, [&](CamBase& c) {
        return x && y && width && height ? c._roi(x, y, width, height) : kBadArgument;
    });
}
int SetRoiState(bool on, const char* name) {
    return with(name, -1, [&](CamBase& c) { return c._set_roi_state(on); });
}
int GetRoiState(bool* on, const char* name) {
    return with(name, -1, [&](CamBase& c) { return on ? c._roi_state(on) : kBadArgument; });
}
int WriteInf(char* data, int length, const char* name) {
    return with(name, -1,
                [&](CamBase& c) { return data ? c._wmem_inf(data, length) : kBadArgument; });
}
int ReadInf(char* buffer, int length, const char* name) {
    return with(name, -1,
                [&](CamBase& c) { return buffer ? c._rmem_inf(buffer, length) : kBadArgument; });
}

// ---- model extras --------------------------------------------------------------------------

/// Two cooled models have no edge inhibition; the camera is not asked.
int SetEdgeInhibition(bool on, const char* name) {
    return with(name, -1, [&](CamBase& c) {
        int product = c._idproduct();
        return product == 0xE00A || product == 0xE00C ? -4 : c._set_edge_inhibition(on);
    });
}
int GetEdgeInhibition(bool* on, const char* name) {
    return with(name, -1, [&](CamBase& c) { return on ? c._edge_inhibition(on) : kBadArgument; });
}
int SetGpio(int line, bool level, const char* name) {
    return with(name, -1, [&](CamBase& c) { return c._set_gpio(line, level); });
}
int Gpio(int line, bool* level, const char* name) {
    return with(name, -1, [&](CamBase& c) { return level ? c._gpio(line, level) : kBadArgument; });
}
int SetCooled(bool on, const char* name) {
    return with(name, -1, [&](CamBase& c) { return c._set_cooled(on); });
}
int GetCooled(bool* on, const char* name) {
    return with(name, -1, [&](CamBase& c) { return on ? c._cooled(on) : kBadArgument; });
}
int GetTemperature(float* celsius, const char* name) {
    return with(name, -1,
                [&](CamBase& c) { return celsius ? c._temperature(celsius) : kBadArgument; });
}
int SetSharpness(int value, const char* name) {
    return with(name, -1, [&](CamBase& c) { return c._set_sharpness(value); });
}
int GetSharpness(const char* name) {
    return with(name, -1, [](CamBase& c) { return c._sharpness(); });
}
int GetSharpnessRange(int* min, int* max, int* step, const char* name) {
    return with(name, -1, [&](CamBase& c) {
        return min && max && step ? c._sharpness_range(min, max, step) : kBadArgument;
    });
}
int SetDenoise(int value, const char* name) {
    return with(name, -1, [&](CamBase& c) { return c._set_denoise(value); });
}
int GetDenoise(const char* name) {
    return with(name, -1, [](CamBase& c) { return c._denoise(); });
}
int GetDenoiseRange(int* min, int* max, int* step, const char* name) {
    return with(name, -1, [&](CamBase& c) {
        return min && max && step ? c._denoise_range(min, max, step) : kBadArgument;
    });
}
int SetShiftOperator(int value, const char* name) {
    return with(name, -1, [&](CamBase& c) { return c._set_shift_operator(value); });
}
int GetShiftOperator(const char* name) {
    return with(name, -1, [](CamBase& c) { return c._shift_operator(); });
}
int GetShiftOperatorRange(int* min, int* max, int* step, const char* name) {
    return with(name, -1, [&](CamBase& c) {
        return min && max && step ? c._shift_operator_range(min, max, step) : kBadArgument;
    });
}
int SetFilter(bool on, const char* name) {
    return with(name, -1, [&](CamBase& c) { return c._set_filter(on); });
}
int GetFilter(bool* on, const char* name) {
    return with(name, -1, [&](CamBase& c) { return on ? c._get_filter(on) : kBadArgument; });
}
int UpdateFirmware(const char* path, const char* name) {
    return with(name, -1,
                [&](CamBase& c) { return path ? c._update_firmware(path) : kBadArgument; });
}
int FluorescenceGuide(int channel, int value, const char* name) {
    if (badChannel(channel)) return kBadArgument;
    return with(name, -1, [&](CamBase& c) { return c._fluorescence_guide(channel, value); });
}

// ---- host-side processing ------------------------------------------------------------------

void SetGamma(int value, const char* name) {
    withVoid(name, [&](CamBase& c) { c._set_gamma(value); });
}
void SetContrast(int value, const char* name) {
    withVoid(name, [&](CamBase& c) { c._set_contrast(value); });
}
void SetSaturation(int value, const char* name) {
    withVoid(name, [&](CamBase& c) { c._set_saturation(value); });
}
void SetFlip(int code, const char* name) {
    withVoid(name, [&](CamBase& c) { c._set_flip(code); });
}
void SetRotate(int code, const char* name) {
    withVoid(name, [&](CamBase& c) { c._set_rotate(code); });
}
void SetMonochrome(bool on, const char* name) {
    withVoid(name, [&](CamBase& c) { c._set_monochrome(on); });
}
void SetColorEnhancement(bool on, const char* name) {
    withVoid(name, [&](CamBase& c) { c._set_color_enhancement(on); });
}
void SetHistogramState(bool on, const char* name) {
    withVoid(name, [&](CamBase& c) { c._set_histogram(on); });
}
void SetAutoExposure(bool on, const char* name) {
    withVoid(name, [&](CamBase& c) { c._set_autoexposure(on); });
}
void SetAETarget(int value, const char* name) {
    withVoid(name, [&](CamBase& c) { c._set_aetarget(value); });
}
void SetFlatfieldState(bool on, const char* name) {
    withVoid(name, [&](CamBase& c) { c._set_ff_state(on); });
}
void SetImageFormat(int formats, const char* name) {
    withVoid(name, [&](CamBase& c) { c._set_snap_format(formats); });
}
void CalcDefectCorrection(const char* name) {
    withVoid(name, [](CamBase& c) { c._calc_defect_correction(); });
}
void CalcBlackField(const char* name) {
    withVoid(name, [](CamBase& c) { c._blackfield(); });
}
void SetChannelGain(int red, int green, int blue, const char* name) {
    withVoid(name, [&](CamBase& c) { c._set_digital_gain(red, green, blue); });
}
void SetGammaEx(int value, int channel, const char* name) {
    if (badChannel(channel)) return;
    withVoid(name, [&](CamBase& c) { c._set_gamma(value, channel); });
}
int GetGamma(const char* name) {
    return with(name, -1, [](CamBase& c) { return c._gamma(); });
}
int GetContrast(const char* name) {
    return with(name, -1, [](CamBase& c) { return c._contrast(); });
}
int GetSaturation(const char* name) {
    return with(name, -1, [](CamBase& c) { return c._saturation(); });
}
int GetFlip(const char* name) {
    return with(name, -1, [](CamBase& c) { return c._flip(); });
}
int GetRotate(const char* name) {
    return with(name, -1, [](CamBase& c) { return c._rotate(); });
}
int GetAETarget(const char* name) {
    return with(name, -1, [](CamBase& c) { return c._aetarget(); });
}
int GetGammaRange(int* min, int* max, int* step, const char* name) {
    return with(name, -1, [&](CamBase& c) {
        return min && max && step ? c._gamma_range(min, max, step) : kBadArgument;
    });
}
int GetContrastRange(int* min, int* max, int* step, const char* name) {
    return with(name, -1, [&](CamBase& c) {
        return min && max && step ? c._contrast_range(min, max, step) : kBadArgument;
    });
}
int GetAETargetRange(int* min, int* max, int* step, const char* name) {
    return with(name, -1, [&](CamBase& c) {
        return min && max && step ? c._aetarget_range(min, max, step) : kBadArgument;
    });
}
int GetChannelGainRange(int* min, int* max, int* step, const char* name) {
    return with(name, -1, [&](CamBase& c) {
        return min && max && step ? c._digital_gain_range(min, max, step) : kBadArgument;
    });
}
int GetStretchRange(int* min, int* max, int* step, const char* name) {
    return with(name, -1, [&](CamBase& c) {
        return min && max && step ? c._stretch_range(min, max, step) : kBadArgument;
    });
}
int GetSaturationRange(int* min, int* max, int* step, const char* name) {
    return with(name, -1, [&](CamBase& c) {
        if (!min || !max || !step) return kBadArgument;
        c._saturation_range(min, max, step);
        return 0;
    });
}
int GetChannelGain(int* red, int* green, int* blue, const char* name) {
    return with(name, -1, [&](CamBase& c) {
        if (!red || !green || !blue) return kBadArgument;
        c._digital_gain(red, green, blue);
        return 0;
    });
}
int GetGammaEx(int channel, const char* name) {
    if (badChannel(channel)) return kBadArgument;
    return with(name, -1, [&](CamBase& c) { return c._gamma(channel); });
}
int GetGammaRangeEx(int* min, int* max, int* step, int channel, const char* name) {
    if (badChannel(channel)) return kBadArgument;
    return with(name, -1, [&](CamBase& c) {
        return min && max && step ? c._gamma_range(min, max, step, channel) : kBadArgument;
    });
}
int SetStretch(int low, int high, bool automatic, const char* name) {
    return with(name, -1, [&](CamBase& c) { return c._set_stretch(low, high, automatic); });
}
int GetStretch(int* low, int* high, bool* automatic, const char* name) {
    return with(name, -1, [&](CamBase& c) { return c._stretch(low, high, automatic); });
}
int SetStretchEx(int low, int high, bool automatic, int channel, const char* name) {
    if (badChannel(channel)) return kBadArgument;
    return with(name, -1,
                [&](CamBase& c) { return c._set_stretch(low, high, automatic, channel); });
}
int GetStretchEx(int* low, int* high, bool* automatic, int channel, const char* name) {
    if (badChannel(channel)) return kBadArgument;
    return with(name, -1, [&](CamBase& c) { return c._stretch(low, high, automatic, channel); });
}
int GetStretchRangeEx(int* min, int* max, int* step, int channel, const char* name) {
    if (badChannel(channel)) return kBadArgument;
    return with(name, -1, [&](CamBase& c) {
        return min && max && step ? c._stretch_range(min, max, step, channel) : kBadArgument;
    });
}
int GetMonochrome(bool* on, const char* name) {
    return with(name, -1, [&](CamBase& c) { return on ? c._monochrome(on) : kBadArgument; });
}
int GetColorEnhancement(bool* on, const char* name) {
    return with(name, -1, [&](CamBase& c) { return on ? c._color_enhancement(on) : kBadArgument; });
}
int GetAutoExposure(bool* on, const char* name) {
    return with(name, -1, [&](CamBase& c) { return on ? c._autoexposure(on) : kBadArgument; });
}
int GetBlackFieldState(bool* on, const char* name) {
    return with(name, -1, [&](CamBase& c) { return on ? c._blackfield_state(on) : kBadArgument; });
}
int SetBlackFieldState(bool on, const char* name) {
    return with(name, -1, [&](CamBase& c) { return c._set_blackfield_state(on); });
}
int SetFrameType(int type, const char* name) {
    return with(name, -1, [&](CamBase& c) { return c._set_frame_type(type); });
}
int GetFrameType(const char* name) {
    return with(name, -1, [](CamBase& c) { return c._frame_type(); });
}
int GetImageFormat(int* formats, const char* name) {
    return with(name, -1,
                [&](CamBase& c) { return formats ? c._snap_format(formats) : kBadArgument; });
}
int GetFlatfieldState(bool* on, const char* name) {
    return with(name, -1, [&](CamBase& c) {
        if (!on) return kBadArgument;
        c._ff_state(on);
        return 0;
    });
}
int SetDefectCorrectionState(bool on, const char* name) {
    return with(name, -1, [&](CamBase& c) {
        c._set_dc_state(on);
        return 0;
    });
}
int GetDefectCorrectionState(bool* on, const char* name) {
    return with(name, -1, [&](CamBase& c) {
        if (!on) return kBadArgument;
        c._dc_state(on);
        return 0;
    });
}
int GetHistogramState(bool* on, const char* name) {
    return with(name, -1, [&](CamBase& c) {
        if (!on) return kBadArgument;
        c._histogram(on);
        return 0;
    });
}
/// The image is needed only when a reference is to be taken (flag clear).
int CalcFlatfield(unsigned char* image, bool flag, const char* name) {
    return with(name, -1, [&](CamBase& c) {
        return image || flag ? c._calc_flat_field(image, flag) : kBadArgument;
    });
}
int CalcWhiteBalance(unsigned char* image, __IMG_RECT* area, const char* name) {
    return with(name, -1, [&](CamBase& c) {
        return image ? c._calc_white_balance(image, area) : kBadArgument;
    });
}

// ---- snapshots and parameter sets ----------------------------------------------------------

int SaveImage(const char* path, int resolution, const char* name) {
    return with(name, -1,
                [&](CamBase& c) { return path ? c._saveimage(path, resolution) : kBadArgument; });
}
int SaveFile(unsigned char* image, const char* path, int formats, const char* name) {
    return with(name, -1, [&](CamBase& c) {
        return image && path ? c._savefile(image, path, formats) : kBadArgument;
    });
}
int SaveImageEx(const char* path, int resolution, HalvexFrameCallback callback, const char* name) {
    return with(name, -1, [&](CamBase& c) {
        return path ? c._callback_save_iamge(path, resolution, callback) : kBadArgument;
    });
}
int GetCurrentConfiguration(const char* name) {
    return with(name, -1, [](CamBase& c) {
        return c._current_params(CamRegistry::instance().documentPath());
    });
}
int SaveConfiguration(int slot, const char* name) {
    return with(name, -1, [&](CamBase& c) {
        // A slot that could not be written is reported; other outcomes answer 0 as before.
        return c._save_params(slot, CamRegistry::instance().documentPath()) == -3 ? -3 : 0;
    });
}
int LoadConfiguration(int slot, const char* name) {
    return with(name, -1, [&](CamBase& c) {
        c._load_params(slot, CamRegistry::instance().documentPath());
        return 0;
    });
}
/// Back to the factory settings, in a fixed order, ending with the sensor defaults.
int SetDefaultConfiguration(const char* name) {
    return with(name, -1, [](CamBase& c) {
        c._set_autoexposure(false);
        c._set_raw_depth(8);
        c._set_contrast(128);
        c._set_flip(0);
        c._set_monochrome(false);
        c._set_saturation(100);
        const int channels = c._channles();
        for (int channel = 0; channel < channels; ++channel) c._set_gamma(100, channel);
        return c._default();
    });
}
