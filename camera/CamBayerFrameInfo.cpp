// The frame information of the base camera: what the camera knew about a frame when it read it,
// written into the frame's head by the frame read and carried into the finished image by the
// conversion, so that every file and every front end describes the frame itself rather than
// the settings in force when it is saved.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstring>

#include "algorithms/algorithms.h"
#include "camera/CamBayer.h"

namespace {

constexpr uint32_t kNoCrop = 0xFFFFFFFFu;
constexpr int64_t kTemperatureRefreshUs = 1000000;

using SteadyClock = std::chrono::steady_clock;

int64_t steadyMicros(SteadyClock::time_point t) {
    return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
}

/// UTC in microseconds for a moment of the steady clock. The two clocks are tied together once
/// per process, so that the stamps of a run never step back when the wall clock is set (only
/// a slewed wall clock, as NTP keeps it, carries both along).
int64_t utcMicros(SteadyClock::time_point t) {
    struct Anchor {
        SteadyClock::time_point steady = SteadyClock::now();
        int64_t utc = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
    };
    static const Anchor anchor;
    return anchor.utc +
           std::chrono::duration_cast<std::chrono::microseconds>(t - anchor.steady).count();
}

/// A factor written as "2x2" or "4X4" in an item's name (a single digit on either side).
bool namedFactor(const char* text, int& bx, int& by) {
    const size_t n = std::strlen(text);
    for (size_t i = 1; i + 1 < n; ++i) {
        if (text[i] != 'x' && text[i] != 'X') continue;
        const char a = text[i - 1], b = text[i + 1];
        const bool lone = (i < 2 || !std::isdigit(static_cast<unsigned char>(text[i - 2]))) &&
                          (i + 2 >= n || !std::isdigit(static_cast<unsigned char>(text[i + 2])));
        if (lone && a >= '1' && a <= '8' && b >= '1' && b <= '8') {
            bx = a - '0';
            by = b - '0';
            return true;
        }
    }
    return false;
}

bool mentionsBinning(const char* text) {
    for (const char* p = text; p[0] && p[1] && p[2]; ++p)
        if (std::tolower(static_cast<unsigned char>(p[0])) == 'b' &&
            std::tolower(static_cast<unsigned char>(p[1])) == 'i' &&
            std::tolower(static_cast<unsigned char>(p[2])) == 'n')
            return true;
    return false;
}

/// Binning of a resolution item relative to the full sensor (item 0). Items that bin, in the
/// camera or on the host, say so in their name ("952X720 Bin", "672X504 2x2Bin", "676*540 Bin
/// 4X4"); the factor is the one named, else the size ratio to the full sensor, rounded. Other
/// items (full-sensor, cropped or windowed modes) are not binned.
void itemBinning(const ResolutionItem& item, const ResolutionItem& full, int& bx, int& by) {
    bx = by = 1;
    if (!item.text || !mentionsBinning(item.text)) return;
    if (namedFactor(item.text, bx, by)) return;
    if (item.sensorWidth > 0)
        bx =
            std::max(1, static_cast<int>(std::lround(double(full.sensorWidth) / item.sensorWidth)));
    if (item.sensorHeight > 0)
        by = std::max(1,
                      static_cast<int>(std::lround(double(full.sensorHeight) / item.sensorHeight)));
}

} // namespace

/// Reads the frame with the model's read-out and stamps it. Exposure, gain, black level, binning
/// and flip are taken before the read: they are what the frame was exposed with. The exposure
/// start is worked out from the moment the frame arrived, less the sensor's read-out of its
/// rows at the current line timing and less the exposure; it never goes back from one frame to
/// the next. The whole call counts as the read in progress, so that a cancel arriving while
/// the frame is stamped ends this read and waits for no other.
int CamBayer::_read_frame(unsigned char* buffer, int size) {
    FrameRead read(*this);
    if (read.ended()) return -3;
    HalvexFrameInfo info{};
    double readoutMs = 0;
    bool window = false;
    uint16_t windowX = 0, windowY = 0;
    {
        Lock lock(settingsLock);
        info.exposureMs = _exposure();
        if (analogGain.supported) {
            info.gain = analogGain.value;
            info.flags |= HALVEX_INFO_GAIN;
        }
        if (blackLevel.supported) {
            info.blackLevel = blackLevel.value;
            info.flags |= HALVEX_INFO_BLACK_LEVEL;
        }
        int bx = 1, by = 1, rows = 0;
        if (resolution.table && resolution.value < resolution.max) {
            const ResolutionItem& item = resItem(resolution.value);
            itemBinning(item, resItem(0), bx, by);
            rows = item.sensorHeight;
        }
        window = hardwareWindow.load();
        if (window) {
            windowX = roiOrigin.wValue;
            windowY = roiOrigin.wIndex;
            rows = roiSize.wIndex;
        }
        info.binX = static_cast<uint8_t>(std::clamp(bx, 1, 255));
        info.binY = static_cast<uint8_t>(std::clamp(by, 1, 255));
        if (lineClock > 0) readoutMs = double(rows) * lineLength / lineClock;
        info.flip = static_cast<uint8_t>(flip.load() & 3);
        info.frameType = static_cast<uint8_t>(frameType.load());
        std::string model = displayName;
        while (!model.empty() && model.back() == '.') model.pop_back();
        std::strncpy(info.model, model.c_str(), sizeof info.model - 1);
    }
    float celsius = 0;
    if (frameTemperature(celsius)) {
        info.temperature = celsius;
        info.flags |= HALVEX_INFO_TEMPERATURE;
    }

    cropOrigin = kNoCrop;
    const int result = _raw_data(buffer, size);
    const SteadyClock::time_point arrived = SteadyClock::now();
    // -2 and -3 are the codes of a read that delivered no frame; every other code comes with
    // the record the read wrote.
    if (!buffer || result == -2 || result == -3) return read.finish(result);
    auto* image = reinterpret_cast<_ezImage*>(buffer);
    if (std::memcmp(image->magic, "QREZ", 4) != 0) return read.finish(result);

    // The region: the camera's own window, the crop this read made, or none. A window and a
    // crop start at even coordinates, so the samples keep the sensor's pattern; the arithmetic
    // is kept general all the same.
    int x = 0, y = 0;
    const uint32_t crop = cropOrigin.load();
    if (window) {
        x = windowX;
        y = windowY;
    }
    if (crop != kNoCrop) {
        x += static_cast<int>(crop & 0xFFFF);
        y += static_cast<int>(crop >> 16);
    }
    info.originX = static_cast<uint16_t>(x);
    info.originY = static_cast<uint16_t>(y);
    info.bayer = static_cast<uint8_t>(ezShiftBayer(_bayer(), x, y));
    if (result == 1) info.flags |= HALVEX_INFO_SNAPSHOT;

    const auto before = static_cast<int64_t>(std::llround((readoutMs + info.exposureMs) * 1000.0));
    int64_t start = utcMicros(arrived) - before;
    {
        Lock lock(settingsLock);
        if (frameSequence > 0 && start <= lastExposureStartUs) start = lastExposureStartUs + 1;
        lastExposureStartUs = start;
        info.sequence = ++frameSequence;
    }
    info.exposureStartUs = start;
    ezWriteFrameInfo(*image, info);
    return read.finish(result);
}

bool CamBayer::frameTemperature(float& celsius) {
    const int64_t now = steadyMicros(SteadyClock::now());
    {
        Lock lock(settingsLock);
        if (temperatureSensor == 0) return false;
        if (temperatureSensor == 1 && now - lastTemperatureAtUs < kTemperatureRefreshUs) {
            celsius = lastTemperature;
            return true;
        }
    }
    // The control transfer runs without the lock, like every other transfer of a read.
    float reading = 0;
    const int result = _temperature(&reading);
    Lock lock(settingsLock);
    if (result == -4) {
        temperatureSensor = 0;
        return false;
    }
    if (result != 0) return false;
    temperatureSensor = 1;
    lastTemperature = reading;
    lastTemperatureAtUs = now;
    celsius = reading;
    return true;
}

void CamBayer::cropToRegion(_ezImage* image) {
    int x, y, w, h;
    {
        Lock lock(settingsLock);
        x = roiOrigin.wValue;
        y = roiOrigin.wIndex;
        w = roiSize.wValue;
        h = roiSize.wIndex;
    }
    const int width = image ? image->width : 0, height = image ? image->height : 0;
    __roi(image, x, y, w, h);
    // __roi leaves the record alone for a region of the frame's own size or one outside it.
    if (image && (image->width != width || image->height != height))
        cropOrigin = static_cast<uint32_t>(x) | static_cast<uint32_t>(y) << 16;
}

void CamBayer::carryFrameInfo(const _ezImage* raw, _ezImage* image, int flipApplied) {
    if (!raw || !image) return;
    HalvexFrameInfo info;
    if (!ezReadFrameInfo(reinterpret_cast<const unsigned char*>(raw), &info, sizeof info)) {
        ezClearFrameInfo(*image);
        return;
    }
    info.flip = static_cast<uint8_t>(flipApplied & 3);
    // The finished image lost the frame's 4-pixel border on every side: its first pixel lies
    // 4 columns and 4 rows into the region the frame came from.
    if (image->width + 8 == raw->width && image->height + 8 == raw->height) {
        info.originX = static_cast<uint16_t>(info.originX + 4);
        info.originY = static_cast<uint16_t>(info.originY + 4);
    }
    ezWriteFrameInfo(*image, info);
}

/// -2 for a type that is none of light, dark, flat and bias.
int CamBayer::_set_frame_type(int type) {
    if (type < HALVEX_FRAME_LIGHT || type > HALVEX_FRAME_BIAS) return -2;
    frameType = type;
    return 0;
}

int CamBayer::_frame_type() {
    return frameType.load();
}
