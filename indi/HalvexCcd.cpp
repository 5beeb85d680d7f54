#include "indi/HalvexCcd.h"

#include <libindi/eventloop.h>
#include <libindi/indicom.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>

#include "camera/CamApi.h"

namespace hx::indi {

namespace {

constexpr const char* kDriverName = "Halvex CCD";
/// Longest wait between two temperature readings and exposure progress updates.
constexpr uint32_t kMaxPollMs = 1000;
constexpr uint32_t kMinPollMs = 100;
/// The cooler's set points: it cools a few tens of degrees below the ambient at most.
constexpr double kTemperatureMin = -50;
constexpr double kTemperatureMax = 40;
/// The sensor reads in steps of half a degree above zero and of 0.625 below, so a set point
/// counts as reached within one step.
constexpr double kTemperatureQuantum = 0.65;
/// The cooler is switched on above the set point plus this and off below it minus this.
constexpr double kHysteresis = 0.3;
/// Weight of the newest poll in the cooler's duty share.
constexpr double kDutyWeight = 0.1;
/// An upload libindi started and never confirmed is taken as ended after this long.
constexpr auto kUploadGrace = std::chrono::seconds(60);
/// Longest text a client may set.
constexpr size_t kMaxText = 4096;

INDI_PIXEL_FORMAT streamFormat(int bayerCode) {
    switch (bayerCode) {
    case 1:
        return INDI_BAYER_BGGR;
    case 2:
        return INDI_BAYER_GBRG;
    case 3:
        return INDI_BAYER_RGGB;
    case 4:
        return INDI_BAYER_GRBG;
    default:
        return INDI_MONO;
    }
}

std::string isoTime(std::chrono::system_clock::time_point t) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(ms % 1000));
    return text;
}

HalvexFrameType cameraFrameType(INDI::CCDChip::CCD_FRAME type) {
    switch (type) {
    case INDI::CCDChip::BIAS_FRAME:
        return HALVEX_FRAME_BIAS;
    case INDI::CCDChip::DARK_FRAME:
        return HALVEX_FRAME_DARK;
    case INDI::CCDChip::FLAT_FRAME:
        return HALVEX_FRAME_FLAT;
    default:
        return HALVEX_FRAME_LIGHT;
    }
}

const char* frameTypeName(HalvexFrameType type) {
    switch (type) {
    case HALVEX_FRAME_BIAS:
        return "Bias Frame";
    case HALVEX_FRAME_DARK:
        return "Dark Frame";
    case HALVEX_FRAME_FLAT:
        return "Flat Frame";
    default:
        return "Light Frame";
    }
}

} // namespace

HalvexCcd::HalvexCcd(std::string camera, const std::string& deviceName)
    : camera_(std::move(camera)) {
    setDeviceName(deviceName.c_str());
    setVersion(1, 0);
    model_ = camera_.substr(0, camera_.rfind('.'));
    queryCamera();
}

HalvexCcd::~HalvexCcd() {
    stopGrabber();
    if (timer_ >= 0) RemoveTimer(timer_);
}

const char* HalvexCcd::getDefaultName() {
    return kDriverName;
}

// ---- what the camera offers -----------------------------------------------------------------

void HalvexCcd::queryCamera() {
    const char* n = camera_.c_str();
    modes_ = ReadoutModes::fromCamera(n);
    channels_ = GetImageChannles(n);
    bayerCode_ = channels_ == 3 ? GetRawBayernPattern(n) : 0;
    if (!ezBayerName(bayerCode_)) bayerCode_ = 0;
    if (GetAnaloggainRange(&gainMin_, &gainMax_, &gainStep_, n) != 0) gainMin_ = gainMax_ = 0;
    hasOffset_ = GetBlacklevelRange(&offsetMin_, &offsetMax_, &offsetStep_, n) == 0 &&
                 offsetMax_ > offsetMin_;
    const int clocks = GetPixelclockCount(n);
    for (int i = 0; i < clocks; ++i) {
        const char* text = GetPixclkItemName(i, n);
        clocks_.push_back(text && *text ? text : "Clock " + std::to_string(i + 1));
    }
    bool on = false;
    hasCooler_ = GetCooled(&on, n) == 0;
    cooled_ = on;
    float celsius = 0;
    hasTemperature_ = hasCooler_ && GetTemperature(&celsius, n) == 0;
    sixteenBits_ = probeSixteenBits();
    wantedDepth_ = GetRawDepth(n) == 16 ? 16 : 8;
}

/// Whether the camera ever delivers 16-bit samples: the depth is tried at a clock that allows
/// it and the camera's settings are put back.
bool HalvexCcd::probeSixteenBits() {
    const char* n = camera_.c_str();
    const int clocks = GetPixelclockCount(n);
    const int clock = GetPixelclock(n), depth = GetRawDepth(n);
    int candidate = -1;
    for (int i = 0; i < clocks; ++i) {
        const int state = GetRawDepthState(i, n);
        if (state == -4) return false;
        if (state == 0 && (candidate < 0 || i == clock)) candidate = i;
    }
    if (candidate < 0) return false;
    if (candidate != clock) SetPixelclock(candidate, n);
    const bool ok = SetRawDepth(16, n) == 0;
    SetRawDepth(depth == 16 ? 16 : 8, n);
    if (candidate != clock) SetPixelclock(clock, n);
    return ok;
}

// ---- properties -----------------------------------------------------------------------------

bool HalvexCcd::initProperties() {
    INDI::CCD::initProperties();

    uint32_t caps = CCD_CAN_ABORT | CCD_CAN_SUBFRAME | CCD_HAS_STREAMING;
    if (modes_.binnings().size() > 1) caps |= CCD_CAN_BIN;
    if (hasTemperature_) caps |= CCD_HAS_COOLER;
    if (bayerCode_) caps |= CCD_HAS_BAYER;
    SetCCDCapability(caps);

    const char* fmt8 = bayerCode_ ? "INDI_RAW_8" : "INDI_MONO_8";
    const char* fmt16 = bayerCode_ ? "INDI_RAW_16" : "INDI_MONO_16";
    addCaptureFormat({fmt8, bayerCode_ ? "Raw 8" : "Mono 8", 8, true});
    if (sixteenBits_) addCaptureFormat({fmt16, bayerCode_ ? "Raw 16" : "Mono 16", 16, false});

    GainNP[0].fill("GAIN", "Gain", "%.f", gainMin_, gainMax_, std::max(gainStep_, 1),
                   GetAnaloggain(camera_.c_str()));
    GainNP.fill(getDeviceName(), "CCD_GAIN", "Gain", MAIN_CONTROL_TAB, IP_RW, 60, IPS_IDLE);
    OffsetNP[0].fill("OFFSET", "Offset", "%.f", offsetMin_, offsetMax_, std::max(offsetStep_, 1),
                     GetBlacklevel(camera_.c_str()));
    OffsetNP.fill(getDeviceName(), "CCD_OFFSET", "Offset", MAIN_CONTROL_TAB, IP_RW, 60, IPS_IDLE);

    ClockSP.resize(clocks_.size());
    for (size_t i = 0; i < clocks_.size(); ++i)
        ClockSP[i].fill("CLOCK_" + std::to_string(i), clocks_[i], ISS_OFF);
    ClockSP.fill(getDeviceName(), "CCD_PIXEL_CLOCK", "Pixel clock", IMAGE_SETTINGS_TAB, IP_RW,
                 ISR_1OFMANY, 60, IPS_IDLE);

    ResolutionSP.resize(modes_.items().size());
    for (const ReadoutItem& item : modes_.items())
        ResolutionSP[item.index].fill("RESOLUTION_" + std::to_string(item.index),
                                      item.text.empty() ? std::to_string(item.width) + "x" +
                                                              std::to_string(item.height)
                                                        : item.text,
                                      ISS_OFF);
    ResolutionSP.fill(getDeviceName(), "CCD_RESOLUTION", "Resolution", IMAGE_SETTINGS_TAB, IP_RW,
                      ISR_1OFMANY, 60, IPS_IDLE);

    CoolerSP[0].fill("COOLER_ON", "On", ISS_OFF);
    CoolerSP[1].fill("COOLER_OFF", "Off", ISS_ON);
    CoolerSP.fill(getDeviceName(), "CCD_COOLER", "Cooler", MAIN_CONTROL_TAB, IP_RW, ISR_1OFMANY, 60,
                  IPS_IDLE);
    CoolerPowerNP[0].fill("CCD_COOLER_VALUE", "Power (%)", "%.f", 0, 100, 1, 0);
    CoolerPowerNP.fill(getDeviceName(), "CCD_COOLER_POWER", "Cooler power", MAIN_CONTROL_TAB, IP_RO,
                       60, IPS_IDLE);

    StreamStatsNP[0].fill("STREAMED", "Frames streamed", "%.f", 0, 1e12, 1, 0);
    StreamStatsNP[1].fill("DROPPED", "Frames dropped", "%.f", 0, 1e12, 1, 0);
    StreamStatsNP.fill(getDeviceName(), "CCD_STREAM_FRAMES", "Stream frames", "Streaming", IP_RO,
                       60, IPS_IDLE);

    if (hasTemperature_) {
        TemperatureN[0].min = kTemperatureMin;
        TemperatureN[0].max = kTemperatureMax;
    }
    if (bayerCode_) {
        IUSaveText(&BayerT[0], "0");
        IUSaveText(&BayerT[1], "0");
        IUSaveText(&BayerT[2], ezBayerName(bayerCode_));
    }

    PrimaryCCD.setMinMaxStep("CCD_BINNING", "HOR_BIN", 1, modes_.binnings().back(), 1, false);
    PrimaryCCD.setMinMaxStep("CCD_BINNING", "VER_BIN", 1, modes_.binnings().back(), 1, false);

    setDefaultPollingPeriod(kMaxPollMs);
    addDebugControl();
    addConfigurationControl();
    addPollPeriodControl();
    return true;
}

bool HalvexCcd::updateProperties() {
    INDI::CCD::updateProperties();
    if (isConnected()) {
        // The camera's geometry goes out once the clients know the properties it fills.
        SetCCDParams(modes_.fullWidth(), modes_.fullHeight(), bitsPerPixel(), 0, 0);
        const PixelRect full{0, 0, modes_.fullWidth(), modes_.fullHeight()};
        applyPlan(plan_.item, full);
        updateCfa();
        ResolutionSP.reset();
        ResolutionSP[plan_.item].setState(ISS_ON);
        if (gainMax_ > gainMin_) defineProperty(GainNP);
        if (hasOffset_) defineProperty(OffsetNP);
        if (!clocks_.empty()) defineProperty(ClockSP);
        if (modes_.items().size() > 1) defineProperty(ResolutionSP);
        if (hasCooler_) {
            defineProperty(CoolerSP);
            defineProperty(CoolerPowerNP);
        }
        defineProperty(StreamStatsNP);
    } else {
        deleteProperty(GainNP.getName());
        deleteProperty(OffsetNP.getName());
        deleteProperty(ClockSP.getName());
        deleteProperty(ResolutionSP.getName());
        deleteProperty(CoolerSP.getName());
        deleteProperty(CoolerPowerNP.getName());
        deleteProperty(StreamStatsNP.getName());
    }
    return true;
}

void HalvexCcd::publishClock() {
    const int clock = GetPixelclock(camera_.c_str());
    ClockSP.reset();
    if (clock >= 0 && clock < static_cast<int>(ClockSP.size())) ClockSP[clock].setState(ISS_ON);
    ClockSP.apply();
}

void HalvexCcd::publishResolution() {
    ResolutionSP.reset();
    if (plan_.item >= 0 && plan_.item < static_cast<int>(ResolutionSP.size()))
        ResolutionSP[plan_.item].setState(ISS_ON);
    ResolutionSP.apply();
}

int HalvexCcd::bitsPerPixel() const {
    return GetRawDepth(camera_.c_str()) == 16 ? 16 : 8;
}

/// Settings that change the frame wait while the camera works on one.
bool HalvexCcd::busy(const char* what) {
    if (InExposure || (grabber_ && grabber_->streaming())) {
        LOGF_ERROR("The %s cannot change while an exposure or the video stream runs.", what);
        return true;
    }
    return false;
}

void HalvexCcd::ISGetProperties(const char* dev) {
    if (retired_) return;
    INDI::CCD::ISGetProperties(dev);
}

bool HalvexCcd::ISNewText(const char* dev, const char* name, char* texts[], char* names[], int n) {
    if (retired_) return false;
    // libindi 1.9.9 corrupts its heap sending some very long texts back; no text of a camera
    // (directories, file prefixes, FITS header values, device names) needs more than this.
    for (int i = 0; i < n; ++i) {
        if (texts && texts[i] && std::strlen(texts[i]) > kMaxText) {
            LOGF_ERROR("%s: the text is too long (%zu characters; at most %zu).", name,
                       std::strlen(texts[i]), kMaxText);
            return false;
        }
    }
    return INDI::CCD::ISNewText(dev, name, texts, names, n);
}

bool HalvexCcd::ISNewBLOB(const char* dev, const char* name, int sizes[], int blobsizes[],
                          char* blobs[], char* formats[], char* names[], int n) {
    if (retired_) return false;
    return INDI::CCD::ISNewBLOB(dev, name, sizes, blobsizes, blobs, formats, names, n);
}

bool HalvexCcd::ISSnoopDevice(XMLEle* root) {
    if (retired_) return false;
    return INDI::CCD::ISSnoopDevice(root);
}

bool HalvexCcd::ISNewNumber(const char* dev, const char* name, double values[], char* names[],
                            int n) {
    if (retired_) return false;
    if (dev && std::strcmp(dev, getDeviceName()) == 0) {
        // libindi's range check lets NaN through ("nan" parses as a number), and it would
        // reach the camera as an exposure time, a divisor or a set point.
        for (int i = 0; i < n; ++i) {
            if (!std::isfinite(values[i])) {
                LOGF_ERROR("%s: %s is not a finite number.", name, names[i] ? names[i] : "?");
                INDI::PropertyNumber refused = getNumber(name);
                if (refused.isValid()) {
                    refused.setState(IPS_ALERT);
                    refused.apply();
                }
                return false;
            }
        }
        if (GainNP.isNameMatch(name)) {
            const int wanted = static_cast<int>(std::lround(values[0]));
            const int r = SetAnaloggain(wanted, camera_.c_str());
            GainNP[0].setValue(GetAnaloggain(camera_.c_str()));
            GainNP.setState(r == 0 ? IPS_OK : IPS_ALERT);
            GainNP.apply();
            if (r != 0) LOGF_ERROR("The camera refused gain %d (code %d).", wanted, r);
            return true;
        }
        if (std::strcmp(name, "CCD_FRAME") == 0) {
            // The camera crops in steps, so the frame the clients see is the one it delivers,
            // not the one asked for.
            PixelRect wanted = plan_.frame;
            for (int i = 0; i < n; ++i) {
                const int v = static_cast<int>(std::lround(std::max(values[i], 0.0)));
                if (std::strcmp(names[i], "X") == 0) wanted.x = v;
                if (std::strcmp(names[i], "Y") == 0) wanted.y = v;
                if (std::strcmp(names[i], "WIDTH") == 0) wanted.width = v;
                if (std::strcmp(names[i], "HEIGHT") == 0) wanted.height = v;
            }
            const bool ok = UpdateCCDFrame(wanted.x, wanted.y, wanted.width, wanted.height);
            PrimaryCCD.setFrame(plan_.frame.x, plan_.frame.y, plan_.frame.width,
                                plan_.frame.height);
            INDI::PropertyNumber frame = getNumber("CCD_FRAME");
            if (frame.isValid()) {
                frame.setState(ok ? IPS_OK : IPS_ALERT);
                frame.apply();
            }
            return true;
        }
        if (OffsetNP.isNameMatch(name)) {
            const int wanted = static_cast<int>(std::lround(values[0]));
            const int r = SetBlacklevel(wanted, camera_.c_str());
            OffsetNP[0].setValue(GetBlacklevel(camera_.c_str()));
            OffsetNP.setState(r == 0 ? IPS_OK : IPS_ALERT);
            OffsetNP.apply();
            if (r != 0)
                LOGF_ERROR("The camera refused offset %d; it takes %d to %d.", wanted, offsetMin_,
                           offsetMax_);
            return true;
        }
    }
    return INDI::CCD::ISNewNumber(dev, name, values, names, n);
}

bool HalvexCcd::ISNewSwitch(const char* dev, const char* name, ISState* states, char* names[],
                            int n) {
    if (retired_) return false;
    if (dev && std::strcmp(dev, getDeviceName()) == 0) {
        // libindi clears a one-of-many vector before it looks the names up, and leaves it with
        // no choice when one is unknown: such a message changes nothing.
        INDI::PropertySwitch known = getSwitch(name);
        for (int i = 0; known.isValid() && i < n; ++i) {
            if (!names[i] || !known.findWidgetByName(names[i])) {
                LOGF_ERROR("%s has no choice named %s.", name, names[i] ? names[i] : "?");
                known.setState(IPS_ALERT);
                known.apply();
                return false;
            }
        }
        if (ClockSP.isNameMatch(name)) {
            if (busy("pixel clock")) {
                ClockSP.setState(IPS_ALERT);
                publishClock();
                return true;
            }
            if (!ClockSP.update(states, names, n)) return false;
            const int wanted = ClockSP.findOnSwitchIndex();
            const int r = SetPixelclock(wanted, camera_.c_str());
            if (r < 0) {
                LOGF_ERROR("The camera refused the pixel clock %s (code %d).",
                           clocks_[std::max(wanted, 0)].c_str(), r);
            } else if (r == 4 && GetPixelclock(camera_.c_str()) != wanted) {
                LOGF_WARN("The camera cannot run the %s clock at this resolution or depth; it "
                          "runs at %s.",
                          clocks_[wanted].c_str(),
                          clocks_[std::clamp(GetPixelclock(camera_.c_str()), 0,
                                             static_cast<int>(clocks_.size()) - 1)]
                              .c_str());
            }
            // A faster clock may have ended 16-bit samples; a slower one may allow them again.
            if (wantedDepth_ == 16 && bitsPerPixel() != 16) SetRawDepth(16, camera_.c_str());
            PrimaryCCD.setBPP(bitsPerPixel());
            ClockSP.setState(r < 0 ? IPS_ALERT : IPS_OK);
            publishClock();
            updateExposureRange();
            freshGeometry_ = true;
            return true;
        }
        if (ResolutionSP.isNameMatch(name)) {
            if (busy("resolution")) {
                ResolutionSP.setState(IPS_ALERT);
                publishResolution();
                return true;
            }
            if (!ResolutionSP.update(states, names, n)) return false;
            const int item = ResolutionSP.findOnSwitchIndex();
            const PixelRect full{0, 0, modes_.fullWidth(), modes_.fullHeight()};
            const bool ok = applyPlan(item, full);
            ResolutionSP.setState(ok ? IPS_OK : IPS_ALERT);
            publishResolution();
            return true;
        }
        if (CoolerSP.isNameMatch(name)) {
            if (!CoolerSP.update(states, names, n)) return false;
            const bool on = CoolerSP.findOnSwitchIndex() == 0;
            if (hasTemperature_) {
                regulating_ = on;
                if (on && !targetSet_) {
                    // No set point yet: cool as far as the cooler goes.
                    target_ = kTemperatureMin;
                }
                if (!on) {
                    m_TemperatureCheckTimer.stop();
                    TemperatureNP.s = IPS_IDLE;
                    IDSetNumber(&TemperatureNP, nullptr);
                }
                double celsius = 0;
                if (on && readTemperature(celsius))
                    regulate(celsius);
                else if (!on)
                    SetCooled(false, camera_.c_str());
            } else {
                SetCooled(on, camera_.c_str());
            }
            bool actual = false;
            GetCooled(&actual, camera_.c_str());
            cooled_ = actual;
            setCoolerSwitch(on);
            return true;
        }
    }
    return INDI::CCD::ISNewSwitch(dev, name, states, names, n);
}

bool HalvexCcd::saveConfigItems(FILE* fp) {
    INDI::CCD::saveConfigItems(fp);
    if (gainMax_ > gainMin_) GainNP.save(fp);
    if (hasOffset_) OffsetNP.save(fp);
    // The resolution goes before the clock: a clock request depends on the resolution.
    if (modes_.items().size() > 1) ResolutionSP.save(fp);
    if (!clocks_.empty()) ClockSP.save(fp);
    return true;
}

// ---- connection -----------------------------------------------------------------------------

bool HalvexCcd::Connect() {
    const char* n = camera_.c_str();
    if (retired_ || DeviceVendor(n) == 0) {
        LOG_ERROR("The camera is no longer connected.");
        return false;
    }
    const int r = ResumeDevice(n);
    if (r != 0) {
        LOGF_ERROR("The camera does not start (code %d).", r);
        return false;
    }
    // Frames go to the clients as the sensor gives them: nothing the capture application's
    // processing would change reaches a raw frame, but automatic exposure would change the
    // time the client asked for.
    SetAutoExposure(false, n);

    grabber_ = std::make_unique<FrameGrabber>(camera_);
    grabberCallback_ = IEAddCallback(grabber_->eventFd(), &HalvexCcd::grabberCallback, this);

    plan_.item = std::clamp(GetResolution(n), 0, static_cast<int>(modes_.items().size()) - 1);
    GainNP[0].setValue(GetAnaloggain(n));
    OffsetNP[0].setValue(GetBlacklevel(n));
    ClockSP.reset();
    const int clock = GetPixelclock(n);
    if (clock >= 0 && clock < static_cast<int>(ClockSP.size())) ClockSP[clock].setState(ISS_ON);
    bool on = false;
    if (hasCooler_ && GetCooled(&on, n) == 0) cooled_ = on;
    regulating_ = false;
    CoolerSP.reset();
    CoolerSP[cooled_ ? 0 : 1].setState(ISS_ON);
    CoolerPowerNP[0].setValue(cooled_ ? 100 : 0);
    coolerDuty_ = cooled_ ? 1 : 0;
    double celsius = 0;
    if (hasTemperature_ && readTemperature(celsius)) {
        TemperatureN[0].value = celsius;
    }
    timer_ = SetTimer(std::clamp(getCurrentPollingPeriod(), kMinPollMs, kMaxPollMs));
    LOGF_INFO("%s is ready.", camera_.c_str());
    return true;
}

bool HalvexCcd::Disconnect() {
    if (timer_ >= 0) RemoveTimer(timer_);
    timer_ = -1;
    if (Streamer && Streamer->isStreaming()) Streamer->setStream(false);
    const char* n = camera_.c_str();
    if (InExposure) LOG_WARN("The exposure in progress ends without a frame.");
    // The sensor stops first: that ends a frame read in progress, so the grabber ends at once.
    if (!retired_) SuspendDevice(n);
    stopGrabber();
    InExposure = false;
    if (PrimaryCCD.isExposing()) PrimaryCCD.setExposureFailed();
    if (hasCooler_ && cooled_ && !retired_) {
        // Nothing regulates the cooler once the driver lets go of the camera.
        SetCooled(false, n);
        cooled_ = false;
        LOG_INFO("The cooler is off.");
    }
    regulating_ = false;
    m_TemperatureCheckTimer.stop();
    return true;
}

void HalvexCcd::stopGrabber() {
    if (grabberCallback_ >= 0) IERmCallback(grabberCallback_);
    grabberCallback_ = -1;
    grabber_.reset();
}

void HalvexCcd::retire() {
    if (retired_) return;
    retired_ = true;
    if (InExposure) {
        InExposure = false;
        PrimaryCCD.setExposureFailed();
        LOG_ERROR("The camera was unplugged; the exposure ended without a frame.");
    }
    if (Streamer && Streamer->isStreaming()) {
        LOG_ERROR("The camera was unplugged; the video stream ended.");
        Streamer->setStream(false);
    }
    if (timer_ >= 0) RemoveTimer(timer_);
    timer_ = -1;
    stopGrabber();
    m_TemperatureCheckTimer.stop();
    IDDelete(getDeviceName(), nullptr, nullptr);
}

void HalvexCcd::shutdown() {
    retired_ = true;
    if (timer_ >= 0) RemoveTimer(timer_);
    timer_ = -1;
    stopGrabber();
}

bool HalvexCcd::releasable() {
    if (uploads_.load() == 0) return true;
    if (std::chrono::steady_clock::now() - lastUpload_ < kUploadGrace) return false;
    // An upload that failed never reports; once it lets go of the buffer it is over.
    if (!ccdBufferLock.try_lock()) return false;
    ccdBufferLock.unlock();
    return true;
}

/// libindi would start the next fast exposure on its upload thread; it starts on the main
/// thread instead, when the frame is delivered. True lets the upload go on.
bool HalvexCcd::processFastExposure(INDI::CCDChip*) {
    return true;
}

void HalvexCcd::UploadComplete(INDI::CCDChip*) {
    uploads_.fetch_sub(1);
}

// ---- frame geometry -------------------------------------------------------------------------

bool HalvexCcd::applyPlan(int item, const PixelRect& requested) {
    const char* n = camera_.c_str();
    const ReadoutPlan next = modes_.plan(item, requested);
    // The region goes off first: switching it off can select the first resolution item.
    SetRoiState(false, n);
    if (GetResolution(n) != next.item || plan_.item != next.item) {
        const int r = SetResolution(next.item, n);
        if (r != 0 || GetResolution(n) != next.item) {
            LOGF_ERROR("The camera refused the resolution %s at this pixel clock and depth "
                       "(code %d); choose a slower clock or 8 bits.",
                       modes_.items()[next.item].text.c_str(), r);
            // Back to what the camera has.
            const int current =
                std::clamp(GetResolution(n), 0, static_cast<int>(modes_.items().size()) - 1);
            plan_ = modes_.plan(current, plan_.frame);
            if (plan_.roi) {
                SetRoi(plan_.region.x, plan_.region.y, plan_.region.width - 8,
                       plan_.region.height - 8, n);
                SetRoiState(true, n);
            }
            return false;
        }
    }
    if (next.roi) {
        SetRoi(next.region.x, next.region.y, next.region.width - 8, next.region.height - 8, n);
        SetRoiState(true, n);
    }
    plan_ = next;
    freshGeometry_ = true;

    PrimaryCCD.setBin(plan_.bin, plan_.bin);
    PrimaryCCD.setFrame(plan_.frame.x, plan_.frame.y, plan_.frame.width, plan_.frame.height);
    {
        std::lock_guard lock(ccdBufferLock);
        PrimaryCCD.setFrameBufferSize(static_cast<uint32_t>(plan_.region.width) *
                                      plan_.region.height * 2);
    }
    updateExposureRange();
    if (Streamer) Streamer->setSize(plan_.region.width, plan_.region.height);
    return true;
}

bool HalvexCcd::UpdateCCDFrame(int x, int y, int w, int h) {
    if (busy("frame")) {
        PrimaryCCD.setFrame(plan_.frame.x, plan_.frame.y, plan_.frame.width, plan_.frame.height);
        return false;
    }
    const PixelRect wanted{x, y, w, h};
    if (!applyPlan(plan_.item, wanted)) return false;
    if (!(plan_.frame == wanted))
        LOGF_INFO("The camera crops to %d,%d %dx%d (columns in steps of %d, rows in steps of %d).",
                  plan_.frame.x, plan_.frame.y, plan_.frame.width, plan_.frame.height,
                  4 * plan_.bin, 2 * plan_.bin);
    return true;
}

bool HalvexCcd::UpdateCCDBin(int hor, int ver) {
    if (busy("binning")) return false;
    const int item = hor == ver ? modes_.itemForBinning(hor) : -1;
    if (item < 0) {
        std::string offered;
        for (int b : modes_.binnings())
            offered += (offered.empty() ? "" : ", ") + std::to_string(b) + "x" + std::to_string(b);
        LOGF_ERROR("The camera bins %s only.", offered.c_str());
        return false;
    }
    // The frame stays where it was on the sensor.
    const bool ok = applyPlan(item, plan_.frame);
    publishResolution();
    return ok;
}

bool HalvexCcd::UpdateCCDFrameType(INDI::CCDChip::CCD_FRAME fType) {
    // The camera stamps the type into its frames; there is no shutter to close for darks.
    if (SetFrameType(cameraFrameType(fType), camera_.c_str()) != 0) return false;
    PrimaryCCD.setFrameType(fType);
    return true;
}

bool HalvexCcd::SetCaptureFormat(uint8_t index) {
    if (index >= m_CaptureFormats.size()) return false;
    const int bits = m_CaptureFormats[index].bitsPerPixel;
    if (isConnected()) {
        if (busy("sample depth")) return false;
        int r = SetRawDepth(bits, camera_.c_str());
        if (r != 0 && bits == 16 && slowClockForSixteenBits())
            r = SetRawDepth(bits, camera_.c_str());
        if (r != 0) {
            LOGF_ERROR("The camera cannot deliver %d-bit samples at the %s clock and this "
                       "resolution; choose a slower clock.",
                       bits,
                       clocks_.empty() ? "current"
                                       : clocks_[std::clamp(GetPixelclock(camera_.c_str()), 0,
                                                            int(clocks_.size()) - 1)]
                                             .c_str());
            wantedDepth_ = bits;
            return false;
        }
        PrimaryCCD.setBPP(bits);
        freshGeometry_ = true;
    }
    wantedDepth_ = bits;
    return true;
}

/// 16-bit samples need a slower pixel clock on some models at some resolutions: selects the
/// fastest clock that allows them. False when none does.
bool HalvexCcd::slowClockForSixteenBits() {
    const char* n = camera_.c_str();
    const int clocks = GetPixelclockCount(n), current = GetPixelclock(n);
    for (int i = std::max(current, 0) + 1; i < clocks; ++i) {
        if (GetRawDepthState(i, n) != 0) continue;
        if (SetPixelclock(i, n) < 0) continue;
        LOGF_INFO("16-bit samples need a slower pixel clock: the clock is now %s.",
                  clocks_[std::clamp(GetPixelclock(n), 0, clocks - 1)].c_str());
        publishClock();
        updateExposureRange();
        return true;
    }
    return false;
}

void HalvexCcd::updateExposureRange() {
    float min = 0, max = 0, step = 0;
    if (GetExposureRange(&min, &max, &step, camera_.c_str()) != 0 || !(max > 0)) return;
    PrimaryCCD.setMinMaxStep("CCD_EXPOSURE", "CCD_EXPOSURE_VALUE", min / 1000.0, max / 1000.0,
                             std::max(step / 1000.0, 1e-6), isConnected());
}

void HalvexCcd::updateCfa() {
    if (!bayerCode_) return;
    IUSaveText(&BayerT[0], "0");
    IUSaveText(&BayerT[1], "0");
    IUSaveText(&BayerT[2], ezBayerName(ezShiftBayer(bayerCode_, plan_.region.x, plan_.region.y)));
    IDSetText(&BayerTP, nullptr);
}

// ---- exposures ------------------------------------------------------------------------------

bool HalvexCcd::StartExposure(float duration) {
    if (!grabber_ || retired_) {
        LOG_ERROR("The camera is not connected.");
        return false;
    }
    if (grabber_->streaming()) {
        LOG_ERROR("Stop the video stream before an exposure.");
        return false;
    }
    const char* n = camera_.c_str();
    float min = 0, max = 0, step = 0;
    GetExposureRange(&min, &max, &step, n);
    double wanted = duration * 1000.0;
    if (PrimaryCCD.getFrameType() == INDI::CCDChip::BIAS_FRAME) wanted = min;
    SetExposure(static_cast<float>(wanted), n);
    const double actual = GetExposure(n);
    const double tolerance = std::max<double>(step, 1e-3) + wanted * 1e-4;
    if (!(std::abs(actual - wanted) <= tolerance)) {
        LOGF_ERROR("The camera cannot expose for %.6g s at this resolution and pixel clock; "
                   "it takes %.6g s to %.6g s in steps of %.3g ms, and would expose for %.6g s.",
                   wanted / 1000.0, min / 1000.0, max / 1000.0, step, actual / 1000.0);
        return false;
    }
    exposureMs_ = actual;
    ExposureJob job;
    job.milliseconds = actual;
    job.restart = ResetSupport(n) == 0;
    job.discard = job.restart ? 0 : 1;
    job_ = grabber_->expose(job);
    freshGeometry_ = false;

    PrimaryCCD.setExposureDuration(actual / 1000.0);
    exposureStarted_ = std::chrono::steady_clock::now();
    pendingMeta_ = FrameMeta{};
    pendingMeta_.start = std::chrono::system_clock::now();
    pendingMeta_.exposureSeconds = actual / 1000.0;
    pendingMeta_.gain = GetAnaloggain(n);
    pendingMeta_.offset = hasOffset_ ? GetBlacklevel(n) : -1;
    pendingMeta_.bin = plan_.bin;
    pendingMeta_.originX = plan_.frame.x;
    pendingMeta_.originY = plan_.frame.y;
    pendingMeta_.frameType = frameTypeName(cameraFrameType(PrimaryCCD.getFrameType()));
    if (bayerCode_)
        pendingMeta_.bayer = ezBayerName(ezShiftBayer(bayerCode_, plan_.region.x, plan_.region.y));
    InExposure = true;
    return true;
}

bool HalvexCcd::AbortExposure() {
    if (grabber_) grabber_->abort();
    job_ = 0;
    InExposure = false;
    return true;
}

void HalvexCcd::grabberCallback(int, void* self) {
    static_cast<HalvexCcd*>(self)->onGrabberEvent();
}

void HalvexCcd::onGrabberEvent() {
    if (!grabber_) return;
    for (GrabResult& result : grabber_->takeResults()) {
        switch (result.kind) {
        case GrabResult::Kind::Exposed:
            if (InExposure && result.job == job_) deliverFrame(std::move(result.frame));
            break;
        case GrabResult::Kind::Failed:
            if (InExposure && result.job == job_) failExposure(result.message);
            break;
        case GrabResult::Kind::StreamFailed:
            LOGF_ERROR("The video stream ended: %s", result.message.c_str());
            if (Streamer && Streamer->isStreaming()) Streamer->setStream(false);
            break;
        }
    }
}

void HalvexCcd::failExposure(const std::string& message) {
    InExposure = false;
    job_ = 0;
    PrimaryCCD.setExposureFailed();
    LOGF_ERROR("The exposure failed: %s", message.c_str());
}

void HalvexCcd::deliverFrame(GrabbedFrame&& frame) {
    InExposure = false;
    job_ = 0;
    const int bytesPerSample = frame.depth / 8;
    const int w = plan_.region.width, h = plan_.region.height;
    {
        std::lock_guard lock(ccdBufferLock);
        // The frame as the clients were told it would be: the camera's frame, cut or padded to
        // the planned size should the camera have delivered another.
        const size_t bytes = size_t(w) * size_t(h) * size_t(bytesPerSample);
        PrimaryCCD.setFrameBufferSize(static_cast<uint32_t>(bytes));
        PrimaryCCD.setBPP(frame.depth);
        uint8_t* out = PrimaryCCD.getFrameBuffer();
        if (frame.width == w && frame.height == h) {
            std::memcpy(out, frame.pixels.data(), bytes);
        } else {
            std::memset(out, 0, bytes);
            const int rows = std::min(h, frame.height);
            const size_t row = size_t(std::min(w, frame.width)) * bytesPerSample;
            for (int r = 0; r < rows; ++r)
                std::memcpy(out + size_t(r) * w * bytesPerSample,
                            frame.pixels.data() + size_t(r) * frame.width * bytesPerSample, row);
            LOGF_DEBUG("The camera delivered %dx%d instead of %dx%d.", frame.width, frame.height, w,
                       h);
        }
        meta_ = pendingMeta_;
        if (hasTemperature_ && temperatureValid_) {
            meta_.hasTemperature = true;
            meta_.temperature = lastTemperature_;
        }
        meta_.hasSetPoint = regulating_ && targetSet_;
        meta_.setPoint = target_;
        if (frame.hasInfo) {
            // What the library stamped into the frame describes the frame itself.
            const HalvexFrameInfo& info = frame.info;
            meta_.exposureSeconds = info.exposureMs / 1000.0;
            meta_.gain = (info.flags & HALVEX_INFO_GAIN) ? info.gain : -1;
            meta_.offset =
                (info.flags & HALVEX_INFO_BLACK_LEVEL) && hasOffset_ ? info.blackLevel : -1;
            meta_.hasTemperature = (info.flags & HALVEX_INFO_TEMPERATURE) != 0;
            meta_.temperature = info.temperature;
            if (ezBayerName(info.bayer)) meta_.bayer = ezBayerName(info.bayer);
            meta_.frameType = frameTypeName(static_cast<HalvexFrameType>(info.frameType));
            // The start is worked out from the arrival; an exposure restarted by the driver
            // cannot have begun before it was.
            const auto start = std::chrono::system_clock::time_point(
                std::chrono::duration_cast<std::chrono::system_clock::duration>(
                    std::chrono::microseconds(info.exposureStartUs)));
            meta_.start = std::max(start, frame.notBefore);
        }
    }
    PrimaryCCD.setExposureLeft(0);
    uploads_.fetch_add(1);
    lastUpload_ = std::chrono::steady_clock::now();
    ExposureComplete(&PrimaryCCD);

    // Fast exposure: the next frame of the series starts at once, while this one uploads.
    if (FastExposureToggleS[INDI_ENABLED].s == ISS_ON && FastExposureCountN[0].value > 1) {
        FastExposureCountN[0].value -= 1;
        IDSetNumber(&FastExposureCountNP, nullptr);
        if (!StartExposure(static_cast<float>(PrimaryCCD.getExposureDuration()))) {
            FastExposureCountN[0].value = 1;
            IDSetNumber(&FastExposureCountNP, nullptr);
        }
    }
}

void HalvexCcd::addFITSKeywords(INDI::CCDChip* targetChip) {
    INDI::CCD::addFITSKeywords(targetChip);
    fitsfile* fptr = *targetChip->fitsFilePointer();
    if (!fptr) return;
    int status = 0;
    // Runs on libindi's upload thread with ccdBufferLock held.
    const FrameMeta& m = meta_;
    fits_update_key_str(fptr, "INSTRUME", model_.c_str(), "Camera model", &status);
    double exptime = m.exposureSeconds;
    fits_update_key_dbl(fptr, "EXPTIME", exptime, 6, "Exposure time the camera used (s)", &status);
    const std::string dateObs = isoTime(m.start);
    fits_update_key_str(fptr, "DATE-OBS", dateObs.c_str(), "UTC at the start of the exposure",
                        &status);
    if (m.gain >= 0) {
        int gain = m.gain;
        fits_update_key(fptr, TINT, "GAIN", &gain, "Analog gain setting", &status);
    }
    if (m.offset >= 0) {
        int offset = m.offset;
        fits_update_key(fptr, TINT, "OFFSET", &offset, "Black level setting", &status);
    }
    int bin = m.bin;
    fits_update_key(fptr, TINT, "XBINNING", &bin, "Binning factor in width", &status);
    fits_update_key(fptr, TINT, "YBINNING", &bin, "Binning factor in height", &status);
    int ox = m.originX, oy = m.originY;
    fits_update_key(fptr, TINT, "XORGSUBF", &ox, "Region origin, unbinned column", &status);
    fits_update_key(fptr, TINT, "YORGSUBF", &oy, "Region origin, unbinned row", &status);
    if (m.hasTemperature) {
        double t = m.temperature;
        fits_update_key_dbl(fptr, "CCD-TEMP", t, 3, "Sensor temperature (C)", &status);
    } else {
        int ignored = 0;
        fits_delete_key(fptr, "CCD-TEMP", &ignored);
    }
    if (m.hasSetPoint) {
        double t = m.setPoint;
        fits_update_key_dbl(fptr, "SET-TEMP", t, 3, "Cooler set point (C)", &status);
    }
    fits_update_key_str(fptr, "IMAGETYP", m.frameType.c_str(), "Frame type", &status);
    if (!m.bayer.empty()) {
        int zero = 0;
        fits_update_key_str(fptr, "BAYERPAT", m.bayer.c_str(), "Bayer pattern of the samples",
                            &status);
        fits_update_key(fptr, TINT, "XBAYROFF", &zero, "Bayer pattern offset in width", &status);
        fits_update_key(fptr, TINT, "YBAYROFF", &zero, "Bayer pattern offset in height", &status);
    }
    if (!(targetChip->getPixelSizeX() > 0)) {
        // The library knows no pixel sizes; a zero would read as a measurement.
        for (const char* key : {"PIXSIZE1", "PIXSIZE2", "XPIXSZ", "YPIXSZ"}) {
            int ignored = 0;
            fits_delete_key(fptr, key, &ignored);
        }
    }
    fits_update_key_str(fptr, "ROWORDER", "TOP-DOWN", "First row is the top of the image", &status);
    fits_update_key_str(fptr, "SWCREATE", "Halvex Capture INDI driver", "Software", &status);
    if (status) {
        char text[FLEN_STATUS] = {0};
        fits_get_errstatus(status, text);
        LOGF_ERROR("FITS keywords: %s", text);
    }
}

// ---- polling: exposure progress, temperature, stream ----------------------------------------

void HalvexCcd::TimerHit() {
    timer_ = -1;
    if (!isConnected() || retired_) return;
    if (InExposure) {
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - exposureStarted_)
                .count();
        PrimaryCCD.setExposureLeft(std::max(0.0, exposureMs_ / 1000.0 - elapsed));
    }
    double celsius = 0;
    if (hasTemperature_ && readTemperature(celsius)) {
        if (std::abs(celsius - TemperatureN[0].value) > 1e-3 || TemperatureNP.s == IPS_BUSY) {
            TemperatureN[0].value = celsius;
            IDSetNumber(&TemperatureNP, nullptr);
        }
        if (regulating_) regulate(celsius);
    }
    if (hasCooler_) {
        coolerDuty_ += kDutyWeight * ((cooled_ ? 1.0 : 0.0) - coolerDuty_);
        const double power = std::round(coolerDuty_ * 100.0);
        if (power != CoolerPowerNP[0].getValue()) {
            CoolerPowerNP[0].setValue(power);
            CoolerPowerNP.setState(cooled_ ? IPS_BUSY : IPS_IDLE);
            CoolerPowerNP.apply();
        }
    }
    if (grabber_ && grabber_->streaming() && Streamer) {
        const double wanted = Streamer->getTargetExposure() * 1000.0;
        if (wanted > 0 && std::abs(wanted - streamExposure_) > 1e-6) {
            SetExposure(static_cast<float>(wanted), camera_.c_str());
            streamExposure_ = wanted;
        }
        StreamStatsNP[0].setValue(static_cast<double>(grabber_->framesStreamed()));
        StreamStatsNP[1].setValue(
            static_cast<double>(grabber_->framesDropped() + streamMismatch_.load()));
        StreamStatsNP.setState(IPS_BUSY);
        StreamStatsNP.apply();
    }
    timer_ = SetTimer(std::clamp(getCurrentPollingPeriod(), kMinPollMs, kMaxPollMs));
}

bool HalvexCcd::readTemperature(double& celsius) {
    float t = 0;
    if (GetTemperature(&t, camera_.c_str()) != 0 || !std::isfinite(t)) return false;
    celsius = t;
    lastTemperature_ = t;
    temperatureValid_ = true;
    return true;
}

/// Two-point control: the cooler only switches on and off, so it runs while the sensor is warmer
/// than the set point and rests while it is colder.
void HalvexCcd::regulate(double celsius) {
    bool want = cooled_;
    if (celsius > target_ + kHysteresis) want = true;
    if (celsius < target_ - kHysteresis) want = false;
    if (want != cooled_) {
        SetCooled(want, camera_.c_str());
        bool actual = want;
        GetCooled(&actual, camera_.c_str());
        cooled_ = actual;
    }
}

void HalvexCcd::setCoolerSwitch(bool on) {
    CoolerSP.reset();
    CoolerSP[on ? 0 : 1].setState(ISS_ON);
    CoolerSP.setState(on ? IPS_BUSY : IPS_IDLE);
    CoolerSP.apply();
}

int HalvexCcd::SetTemperature(double temperature) {
    if (!hasTemperature_ || !grabber_) return -1;
    target_ = temperature;
    targetSet_ = true;
    regulating_ = true;
    double celsius = 0;
    if (!readTemperature(celsius)) return -1;
    regulate(celsius);
    setCoolerSwitch(true);
    return std::abs(celsius - temperature) <= kTemperatureQuantum ? 1 : 0;
}

void HalvexCcd::checkTemperatureTarget() {
    if (TemperatureNP.s == IPS_BUSY &&
        std::abs(m_TargetTemperature - TemperatureN[0].value) <= kTemperatureQuantum) {
        TemperatureNP.s = IPS_OK;
        m_TemperatureCheckTimer.stop();
        IDSetNumber(&TemperatureNP, nullptr);
        return;
    }
    INDI::CCD::checkTemperatureTarget();
}

// ---- video stream ---------------------------------------------------------------------------

bool HalvexCcd::StartStreaming() {
    if (!grabber_ || retired_) return false;
    if (InExposure) {
        LOG_ERROR("Wait for the exposure to end, or abort it, before streaming.");
        return false;
    }
    const char* n = camera_.c_str();
    float min = 0, max = 0, step = 0;
    GetExposureRange(&min, &max, &step, n);
    double ms = Streamer->getTargetExposure() * 1000.0;
    ms = std::clamp(ms, double(min), double(max));
    SetExposure(static_cast<float>(ms), n);
    streamExposure_ = Streamer->getTargetExposure() * 1000.0;
    const int bits = bitsPerPixel();
    const int w = plan_.region.width, h = plan_.region.height;
    Streamer->setPixelFormat(
        streamFormat(bayerCode_ ? ezShiftBayer(bayerCode_, plan_.region.x, plan_.region.y) : 0),
        static_cast<uint8_t>(bits));
    Streamer->setSize(static_cast<uint16_t>(w), static_cast<uint16_t>(h));
    streamMismatch_ = 0;
    INDI::StreamManager* streamer = Streamer.get();
    grabber_->startStream([this, streamer, w, h, bits](const FrameView& view) {
        // Only frames of the announced size and depth go out; anything else would be shown
        // garbled, so it counts as dropped.
        if (view.width != w || view.height != h || view.depth != bits) {
            ++streamMismatch_;
            return;
        }
        streamer->newFrame(view.pixels, static_cast<uint32_t>(view.bytes));
    });
    StreamStatsNP[0].setValue(0);
    StreamStatsNP[1].setValue(0);
    StreamStatsNP.setState(IPS_BUSY);
    StreamStatsNP.apply();
    return true;
}

bool HalvexCcd::StopStreaming() {
    if (grabber_) grabber_->stopStream();
    StreamStatsNP.setState(IPS_IDLE);
    StreamStatsNP.apply();
    return true;
}

} // namespace hx::indi
