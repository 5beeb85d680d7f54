// A camera's identity, start and stop, and its settings. Every setter checks the value against
// the range the camera reports, so that a script learns at once that a value cannot be had,
// instead of the library's silent clamping or ignoring.
#include "python/Camera.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "camera/CamApi.h"
#include "python/CameraFailure.h"
#include "python/Library.h"

namespace hx::python {

namespace {

/// A number as people write it: six significant digits, no exponent for large values.
std::string number(double v) {
    char text[48];
    std::snprintf(text, sizeof text, std::fabs(v) >= 1e5 ? "%.0f" : "%.6g", v);
    return text;
}

std::string rangeText(int min, int max) {
    return std::to_string(min) + " ... " + std::to_string(max);
}

/// Throws a ValueError naming the setting and its range unless min <= value <= max.
void requireInRange(const std::string& setting, long long value, int min, int max,
                    const std::string& camera) {
    if (value < min || value > max)
        raiseValue(setting + " of camera '" + camera + "' must be within " + rangeText(min, max) +
                   " (got " + std::to_string(value) + ")");
}

} // namespace

Camera::Camera(const std::optional<std::string>& name) {
    const std::vector<std::string> names = Library::instance().cameras();
    if (!name) {
        if (names.empty())
            throw CameraFailure(FailureKind::NotFound,
                                "no camera is connected (try halvexcam.simulate('VAh200C1') "
                                "for a simulated one)",
                                -1);
        name_ = names.front();
    } else {
        name_ = *name;
        if (std::find(names.begin(), names.end(), name_) == names.end()) {
            std::string known;
            for (const std::string& n : names) known += (known.empty() ? "" : ", ") + n;
            throw CameraFailure(FailureKind::NotFound,
                                "no camera named '" + name_ + "' (connected: " +
                                    (known.empty() ? std::string("none") : known) + ")",
                                -1, name_);
        }
    }
}

/// A camera that this object started stops with it; one started elsewhere keeps running.
Camera::~Camera() {
    if (startedHere_) SuspendDevice(name_.c_str());
}

int Camera::check(int status, const std::string& what) const {
    return checkStatus(status, name_, what);
}

void Camera::requirePresent() const {
    if (DeviceProduct(name_.c_str()) == 0) raiseStatus(-1, name_, "");
}

void Camera::requireRunning() const {
    const int state = DeviceState(name_.c_str());
    if (state == 1) return;
    requirePresent();
    throw CameraFailure(FailureKind::Camera,
                        "camera '" + name_ +
                            "' is not started: use 'with halvexcam.Camera() as cam:' or "
                            "cam.start()",
                        0, name_);
}

void Camera::requireColour(const std::string& what) const {
    if (!isColour()) {
        requirePresent();
        throw CameraFailure(FailureKind::NotSupported,
                            "camera '" + name_ + "' is monochrome: it has no " + what, -4, name_);
    }
}

std::pair<int, int> Camera::rangeOf(RangeGetter getter, const std::string& what) const {
    int min = 0, max = 0, step = 0;
    check(getter(&min, &max, &step, name_.c_str()), what);
    return {min, max};
}

double Camera::fromSingle(float v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.7g", static_cast<double>(v));
    return std::strtod(text, nullptr);
}

// ---- identity --------------------------------------------------------------------------------

std::string Camera::model() const {
    // Device names are the display name ("VAh200C1.") followed by one instance character.
    std::string model = name_.size() > 1 ? name_.substr(0, name_.size() - 1) : name_;
    if (!model.empty() && model.back() == '.') model.pop_back();
    return model;
}

int Camera::productId() const {
    const int id = DeviceProduct(name_.c_str());
    if (id == 0) raiseStatus(-1, name_, "");
    return id;
}

bool Camera::isColour() const {
    return check(GetImageChannles(name_.c_str()), "read the channel count") == 3;
}

int Camera::bayerCode() const {
    return check(GetRawBayernPattern(name_.c_str()), "read the Bayer pattern");
}

// ---- start and stop --------------------------------------------------------------------------

void Camera::start() {
    const bool wasRunning = running();
    check(ResumeDevice(name_.c_str()), "start the sensor");
    if (!wasRunning) startedHere_ = true;
}

void Camera::stop() {
    SuspendDevice(name_.c_str());
    startedHere_ = false;
}

bool Camera::running() const {
    return DeviceState(name_.c_str()) == 1;
}

void Camera::close() {
    stop();
}

// ---- sensor settings -------------------------------------------------------------------------

double Camera::exposureMs() const {
    const float ms = GetExposure(name_.c_str());
    if (ms < 0) raiseStatus(-1, name_, "");
    return fromSingle(ms);
}

std::pair<double, double> Camera::exposureRange() const {
    float min = 0, max = 0, step = 0;
    check(GetExposureRange(&min, &max, &step, name_.c_str()), "read the exposure range");
    return {fromSingle(min), fromSingle(max)};
}

void Camera::setExposureMs(double ms) {
    const auto [min, max] = exposureRange();
    // The range is single precision: allow what rounding to it loses.
    const double slack = 1e-6 * std::max(1.0, max);
    if (!std::isfinite(ms) || ms < min - slack || ms > max + slack)
        raiseValue("exposure_ms of camera '" + name_ + "' must be within " + number(min) + " ... " +
                   number(max) + " ms (got " + number(ms) + ")");
    check(SetExposure(static_cast<float>(std::clamp(ms, min, max)), name_.c_str()),
          "set the exposure");
}

int Camera::gain() const {
    return check(GetAnaloggain(name_.c_str()), "read the gain");
}

std::pair<int, int> Camera::gainRange() const {
    return rangeOf(GetAnaloggainRange, "read the gain range");
}

void Camera::setGain(int gain) {
    const auto [min, max] = gainRange();
    requireInRange("gain", gain, min, max, name_);
    check(SetAnaloggain(gain, name_.c_str()), "set the gain");
}

int Camera::blackLevel() const {
    blackLevelRange(); // a camera without a black level says so here
    return check(GetBlacklevel(name_.c_str()), "read the black level");
}

std::pair<int, int> Camera::blackLevelRange() const {
    return rangeOf(GetBlacklevelRange, "set a black level");
}

void Camera::setBlackLevel(int level) {
    const auto [min, max] = blackLevelRange();
    requireInRange("black_level", level, min, max, name_);
    check(SetBlacklevel(level, name_.c_str()), "set the black level");
}

int Camera::bitDepth() const {
    return check(GetRawDepth(name_.c_str()), "read the bit depth");
}

std::vector<int> Camera::bitDepths() const {
    const int clocks = check(GetPixelclockCount(name_.c_str()), "read the pixel clocks");
    for (int i = 0; i < clocks; ++i) {
        const int state = GetRawDepthState(i, name_.c_str());
        if (state == 0 || state == 4) return {8, 16};
    }
    return {8};
}

void Camera::setBitDepth(int bits) {
    if (bits != 8 && bits != 16)
        raiseValue("bit_depth of camera '" + name_ + "' must be 8 or 16 (got " +
                   std::to_string(bits) + ")");
    // The camera refuses any depth change where 16 bits cannot be had, also back to 8.
    if (bits == bitDepth()) return;
    const int result = SetRawDepth(bits, name_.c_str());
    if (result == -4) {
        requirePresent();
        const std::vector<int> depths = bitDepths();
        if (depths.size() == 1) raiseValue("camera '" + name_ + "' delivers 8-bit data only");
        const char* clock = GetPixclkItemName(GetPixelclock(name_.c_str()), name_.c_str());
        raiseValue("camera '" + name_ + "' cannot deliver 16-bit data at pixel clock " +
                   std::to_string(GetPixelclock(name_.c_str())) + " ('" + (clock ? clock : "?") +
                   "') with this resolution: choose a slower pixel_clock or another resolution");
    }
    check(result, "set the bit depth");
}

int Camera::resolution() const {
    return check(GetResolution(name_.c_str()), "read the resolution");
}

std::vector<Camera::Resolution> Camera::resolutions() const {
    const int count = check(GetResolutionCount(name_.c_str()), "read the resolutions");
    std::vector<Resolution> items;
    for (int i = 0; i < count; ++i) {
        const char* text = GetResItemName(i, name_.c_str());
        items.emplace_back(GetResWidth(i, name_.c_str()), GetResHeight(i, name_.c_str()),
                           text ? text : "");
    }
    return items;
}

void Camera::setResolution(int index) {
    const int count = check(GetResolutionCount(name_.c_str()), "read the resolutions");
    requireInRange("resolution", index, 0, count - 1, name_);
    const int result = SetResolution(index, name_.c_str());
    if (result == -3)
        raiseValue("camera '" + name_ + "' cannot read resolution " + std::to_string(index) +
                   " at this pixel clock and bit depth: choose a slower pixel_clock first");
    check(result, "set the resolution");
}

int Camera::pixelClock() const {
    return check(GetPixelclock(name_.c_str()), "read the pixel clock");
}

std::vector<std::string> Camera::pixelClocks() const {
    const int count = check(GetPixelclockCount(name_.c_str()), "read the pixel clocks");
    std::vector<std::string> items;
    for (int i = 0; i < count; ++i) {
        const char* text = GetPixclkItemName(i, name_.c_str());
        items.emplace_back(text ? text : "");
    }
    return items;
}

std::optional<std::string> Camera::setPixelClock(int index) {
    const int count = check(GetPixelclockCount(name_.c_str()), "read the pixel clocks");
    requireInRange("pixel_clock", index, 0, count - 1, name_);
    const int result = check(SetPixelclock(index, name_.c_str()), "set the pixel clock");
    if (result == 4) {
        const int now = GetPixelclock(name_.c_str());
        if (now == index) return std::nullopt;
        return "camera '" + name_ + "' cannot use pixel clock " + std::to_string(index) +
               " with the current resolution and bit depth; it uses pixel clock " +
               std::to_string(now);
    }
    return std::nullopt;
}

std::optional<Camera::Rect> Camera::roi() const {
    bool on = false;
    check(GetRoiState(&on, name_.c_str()), "read the region of interest");
    if (!on) return std::nullopt;
    int x = 0, y = 0, w = 0, h = 0;
    check(GetRoi(&x, &y, &w, &h, name_.c_str()), "read the region of interest");
    return Rect{x, y, w, h};
}

void Camera::setRoi(const std::optional<Rect>& roi) {
    if (!roi) {
        check(SetRoiState(false, name_.c_str()), "switch the region of interest off");
        return;
    }
    const auto [x, y, w, h] = *roi;
    const int index = resolution();
    const int width = GetResWidth(index, name_.c_str()),
              height = GetResHeight(index, name_.c_str());
    if (x < 0 || y < 0 || w < 8 || h < 8 || static_cast<long long>(x) + w > width ||
        static_cast<long long>(y) + h > height)
        raiseValue("roi of camera '" + name_ + "' must be (x, y, width, height) within the " +
                   std::to_string(width) + " x " + std::to_string(height) +
                   " image, at least 8 x 8 (got (" + std::to_string(x) + ", " + std::to_string(y) +
                   ", " + std::to_string(w) + ", " + std::to_string(h) + "))");
    check(SetRoi(x, y, w, h, name_.c_str()), "set the region of interest");
    check(SetRoiState(true, name_.c_str()), "switch the region of interest on");
}

bool Camera::autoExposure() const {
    bool on = false;
    check(GetAutoExposure(&on, name_.c_str()), "read automatic exposure");
    return on;
}

void Camera::setAutoExposure(bool on) {
    requirePresent();
    SetAutoExposure(on, name_.c_str());
}

bool Camera::cooler() const {
    bool on = false;
    check(GetCooled(&on, name_.c_str()), "switch a cooler");
    return on;
}

void Camera::setCooler(bool on) {
    check(SetCooled(on, name_.c_str()), "switch a cooler");
}

double Camera::temperature() const {
    float celsius = 0;
    check(GetTemperature(&celsius, name_.c_str()), "measure the sensor temperature");
    return fromSingle(celsius);
}

int Camera::frameType() const {
    return check(GetFrameType(name_.c_str()), "read the frame type");
}

void Camera::setFrameType(int type) {
    requireInRange("frame_type", type, HALVEX_FRAME_LIGHT, HALVEX_FRAME_BIAS, name_);
    check(SetFrameType(type, name_.c_str()), "set the frame type");
}

// ---- host-side processing --------------------------------------------------------------------

int Camera::flip() const {
    requirePresent();
    return GetFlip(name_.c_str());
}

void Camera::setFlip(int code) {
    requireInRange("flip", code, 0, 3, name_);
    requirePresent();
    SetFlip(code, name_.c_str());
}

int Camera::gamma() const {
    return check(GetGamma(name_.c_str()), "read the gamma");
}

std::pair<int, int> Camera::gammaRange() const {
    return rangeOf(GetGammaRange, "read the gamma range");
}

void Camera::setGamma(int value) {
    const auto [min, max] = gammaRange();
    requireInRange("gamma", value, min, max, name_);
    // One curve per channel: the plain setter would change the first channel only.
    const int channels = std::max(1, GetImageChannles(name_.c_str()));
    for (int c = 0; c < channels; ++c) SetGammaEx(value, c, name_.c_str());
}

int Camera::contrast() const {
    return check(GetContrast(name_.c_str()), "read the contrast");
}

std::pair<int, int> Camera::contrastRange() const {
    return rangeOf(GetContrastRange, "read the contrast range");
}

void Camera::setContrast(int value) {
    const auto [min, max] = contrastRange();
    requireInRange("contrast", value, min, max, name_);
    SetContrast(value, name_.c_str());
}

int Camera::saturation() const {
    requireColour("saturation");
    return check(GetSaturation(name_.c_str()), "set a saturation");
}

std::pair<int, int> Camera::saturationRange() const {
    requireColour("saturation");
    return rangeOf(GetSaturationRange, "read the saturation range");
}

void Camera::setSaturation(int value) {
    const auto [min, max] = saturationRange();
    requireInRange("saturation", value, min, max, name_);
    SetSaturation(value, name_.c_str());
}

std::tuple<int, int, int> Camera::channelGains() const {
    channelGainRange();
    int r = 0, g = 0, b = 0;
    check(GetChannelGain(&r, &g, &b, name_.c_str()), "read the channel gains");
    return {r, g, b};
}

std::pair<int, int> Camera::channelGainRange() const {
    requireColour("channel gains");
    return rangeOf(GetChannelGainRange, "set channel gains");
}

void Camera::setChannelGains(const std::tuple<int, int, int>& gains) {
    const auto [min, max] = channelGainRange();
    const auto [r, g, b] = gains;
    for (int v : {r, g, b}) requireInRange("channel_gains", v, min, max, name_);
    SetChannelGain(r, g, b, name_.c_str());
}

} // namespace hx::python
