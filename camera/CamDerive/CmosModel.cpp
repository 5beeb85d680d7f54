#include "camera/CamDerive/CmosModel.h"

#include <algorithm>
#include <cmath>

#include "algorithms/algorithms.h"

namespace {

constexpr unsigned char kEndMarker = 0x88;
constexpr unsigned char kSnapshotMark = 0xCC;

/// The byte at offset `at` from the end of the pixel bytes, when it lies inside what arrived.
bool byteIs(const unsigned char* pixels, long long n, int received, int at, unsigned char value) {
    if (at == FrameLayout::kNone) return false;
    const long long pos = n + at;
    return pos >= 0 && pos < received && pixels[pos] == value;
}

} // namespace

/// Asks for at most what fits between buffer + offset and buffer + size, so that no device
/// can write past the caller's buffer, whatever length it delivers.
int CmosModel::boundedRead(unsigned char* buffer, int size, int offset, long long ask) {
    const long long room = static_cast<long long>(size) - offset;
    const int length = static_cast<int>(std::clamp(ask, 0LL, std::max(room, 0LL)));
    int received = 0;
    if (readBulk(buffer + offset, length, &received) != 0) return -1;
    return std::clamp(received, 0, length);
}

void CmosModel::moveRegionIntoCamera() {
    Lock lock(settingsLock);
    EZURB origin = roiOrigin;
    _sumbit_ctl_urb(1000, 1, &origin);
    EZURB size = roiSize;
    _sumbit_ctl_urb(1000, 1, &size);
    hardwareWindow = true;
    roiState = false;
}

void CmosModel::defectStep(_ezImage* image, int& result) {
    int count;
    {
        Lock lock(settingsLock);
        if (!defectList) return;
        if (defectRequest.exchange(false)) {
            defectCount = __calc_defects(image, defectList, defectCapacity);
            result = defectCount >= 0 ? 5 : -5;
        }
        count = defectCount;
    }
    if (count > 0 && defectCorrection.load())
        __defects_correction(image, defectList, std::min(count, defectCapacity));
}

void CmosModel::retimeLines() {
    Lock lock(settingsLock);
    if (!resolution.table || !pixelClock.table) return;
    const double oldLength = lineLength;
    const double oldClock = lineClock;
    const int newLength = resItem(resolution.value).lineLength;
    const int newClock = static_cast<int>(clkItem(pixelClock.value).rate);
    double lines = exposure.value;
    if (oldClock > 0 && newLength > 0)
        lines = std::trunc(exposure.value * oldLength * newClock / oldClock / newLength + 0.5);
    lineLength = newLength;
    lineClock = newClock;
    lines = std::clamp(lines, static_cast<double>(exposure.min), static_cast<double>(exposure.max));
    exposure.value = static_cast<uint16_t>(lines);
    prepareRequest(exposure.request, kRegisterWrite, exposure.value, exposureRegister);
    resolution.request.wIndex = exposure.value;
    pixelClock.request.wIndex = exposure.value;
}

/// The end-marker read-out. The frame size T is the item's frameBytes, or the hardware window
/// rounded down to whole blocks; the caller's buffer must hold the head, the bytes that must
/// arrive and the pixels the record describes, else -2 before anything is sent.
int CmosModel::endMarkerReadOut(unsigned char* buffer, int size, const FrameLayout& layout) {
    int width, height, bits, head, index;
    bool window;
    long long frame;
    float reapplyMs = -1.0f;
    PendingMode mode(*this);
    {
        Lock lock(settingsLock);
        if (!resolution.table) return -3;
        mode.take();
        index = resolution.value;
        bits = rawDepth.value == 16 ? 16 : 8;
        head = headLength;
        window = hardwareWindow.load();
        const ResolutionItem& item = resItem(index);
        if (window) {
            width = roiSize.wValue;
            height = roiSize.wIndex;
            const long long p = static_cast<long long>(width) * height;
            const int block = blockSize > 0 ? blockSize : 1;
            frame = p - p % block;
        } else {
            width = item.sensorWidth;
            height = item.sensorHeight;
            frame = item.frameBytes;
        }
    }
    const long long pixels = static_cast<long long>(width) * height;
    if (!buffer || size < pixels) return -2;
    long long n = layout.depthScaled ? frame * bits / 8 : frame;
    if (layout.extraHead16 && index == 0 && bits == 16) n += head;
    const long long expected = n + layout.trailer;
    if (head + std::max(expected, pixels * bits / 8) > size) return -2;
    if (readAborted()) return -3;

    if (mode.send() && layout.reapplyExposure) {
        Lock lock(settingsLock);
        if (lineClock > 0)
            reapplyMs = static_cast<float>(lineLength) * exposure.value / lineClock + 0.005f;
    }
    if (reapplyMs >= 0.0f) _set_exposure(reapplyMs);

    const int received = boundedRead(buffer, size, head, n + layout.askExtra);
    if (received < 0 || received != expected) return -3;
    unsigned char* data = buffer + head;
    if (layout.marker != FrameLayout::kNone &&
        !byteIs(data, n, received, layout.marker, kEndMarker))
        return -3;
    if (layout.clear != FrameLayout::kNone && n + layout.clear >= 0 && n + layout.clear < received)
        data[n + layout.clear] = 0;
    const bool snapshot = byteIs(data, n, received, layout.snapshot, kSnapshotMark);

    auto* image = reinterpret_cast<_ezImage*>(buffer);
    ezInitImageHeader(image, width, height, 1, bits, head, data, static_cast<unsigned char>(index),
                      0);
    if (layout.rmac && bits == 16) __rmac(image, 0);

    if (roiState.load()) {
        if (layout.window != WindowSwitch::None && !window && width == layout.windowWidth) {
            moveRegionIntoCamera();
            if (layout.delayOnWindow) _delay(2000);
            if (layout.window == WindowSwitch::Drop) return -3;
        } else {
            cropToRegion(image);
        }
    }
    if (autoExposure.load()) _calc_auto_exposure(image, layout.aeEvery);
    int result = snapshot ? 1 : 0;
    if (layout.defects) defectStep(image, result);
    return result;
}

bool CmosModel::frameInfo(FrameInfo& f, PendingMode& mode) {
    Lock lock(settingsLock);
    if (!resolution.table) return false;
    mode.take();
    f.mode = &mode;
    const ResolutionItem& item = resItem(resolution.value);
    f.width = item.sensorWidth;
    f.height = item.sensorHeight;
    f.index = resolution.value;
    f.bits = rawDepth.value == 16 ? 16 : 8;
    f.head = headLength;
    f.block = blockSize > 0 ? blockSize : 1;
    f.frameBytes = item.frameBytes;
    f.code = item.code;
    return true;
}

void CmosModel::finishSteps(_ezImage* image, int rmacMode, bool doubled) {
    if (image->depth == 16) __rmac(image, rmacMode);
    if (doubled) __cbin(image, 2, 1);
    if (roiState.load()) cropToRegion(image);
}

int CmosModel::lineCountedReadOut(unsigned char* buffer, int size, const FrameInfo& f,
                                  long long ask, long long expected, bool doubled, int aeEvery,
                                  bool defects, bool blackCheck) {
    const int width = doubled ? 1280 : f.width;
    const int height = doubled ? 512 : f.height;
    const long long imageBytes = static_cast<long long>(width) * height * f.bits / 8;
    if (expected < 3 || f.head + std::max(expected, imageBytes) > size) return -2;
    if (readAborted()) return -3;
    if (f.mode && f.mode->send()) {
        Lock lock(settingsLock);
        EZURB gain = analogGain.request;
        _sumbit_ctl_urb(1000, 1, &gain);
    }
    const int m = boundedRead(buffer, size, f.head, ask);
    if (m < 0 || m != expected) return -3;
    unsigned char* data = buffer + f.head;
    if (data[m - 3] != kEndMarker) return -3;
    data[m - 3] = 0;
    const bool snapshot = data[m - 2] == kSnapshotMark;

    auto* image = reinterpret_cast<_ezImage*>(buffer);
    ezInitImageHeader(image, width, height, 1, f.bits, f.head, data,
                      static_cast<unsigned char>(f.index), 0);
    if (f.bits == 16) __rmac(image, 0);
    bool rejected = false;
    if (blackCheck) {
        Lock lock(settingsLock);
        rejected = __calc_gray(image) < 0.00001f && exposure.value > 80;
    }
    if (doubled) __cbin(image, 2, 1);
    if (roiState.load()) cropToRegion(image);
    if (autoExposure.load() && !rejected) _calc_auto_exposure(image, aeEvery);
    int result = rejected ? -3 : (snapshot ? 1 : 0);
    if (defects) defectStep(image, result);
    return result;
}

/// Step 4 and 5 of the re-scaling: scale = new clock x old length / old clock / new length in
/// double precision, rounded to single; the total truncated in single precision, raised to the
/// minimum and lowered to the longest exposure the periods allow.
uint32_t CmosModel::limitTotal(double oldTotal, double oldClock, double oldLength) {
    float scale = 1.0f;
    if (oldClock > 0 && lineLength > 0)
        scale = static_cast<float>(static_cast<double>(lineClock) * oldLength / oldClock /
                                   static_cast<double>(lineLength));
    float total = std::trunc(static_cast<float>(oldTotal) * scale);
    const double limit = (static_cast<double>(longExposure.max) + 1) * exposure.max - 1;
    double t = std::max(static_cast<double>(total), static_cast<double>(exposure.min));
    t = std::min(t, std::max(limit, 0.0));
    return static_cast<uint32_t>(t);
}

void CmosModel::splitTotal(uint32_t total) {
    const uint32_t period = exposure.max > 0 ? exposure.max : 1;
    exposure.value = static_cast<uint16_t>(total % period);
    longExposure.value = static_cast<uint16_t>(total / period);
}

void CmosModel::carrySplitTotal(uint32_t total) {
    splitTotal(total);
    prepareRequest(exposure.request, kRegisterWrite, exposure.value, exposureRegister);
    prepareRequest(longExposure.request, kRegisterWrite, longExposure.value, longExposureRegister);
    carryExposure(resolution.request, total);
    carryExposure(pixelClock.request, total);
}
