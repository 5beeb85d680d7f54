// Frame read-out of the CCD cameras: one sequence for head-marker, end-marker, padded and plain
// transfers; the models differ only in the plan of where the bytes sit and how the delivered
// pixels become the image of the current resolution item.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "algorithms/algorithms.h"
#include "camera/CamDerive/VD.h"

namespace {

constexpr unsigned char kMarker = 0x88;
constexpr unsigned char kSnapshotMark = 0xCC;
constexpr int kHeadBytes = 10;

bool startsWithHead(const unsigned char* p) {
    for (int i = 0; i < kHeadBytes; ++i)
        if (p[i] != kMarker) return false;
    return true;
}

} // namespace

// ---- plans -----------------------------------------------------------------------------------

long long CcdCamera::itemPixelBytes() const {
    return static_cast<long long>(resItem(resolution.value).frameBytes) * rawDepth.value / 8;
}

void CcdCamera::fullFrameLayout(CcdFrame& plan, bool colour) const {
    const ResolutionItem& full = resItem(0);
    const ResolutionItem& item = resItem(resolution.value);
    plan.width = item.sensorWidth;
    plan.height = item.sensorHeight;
    if (item.code != full.code || item.sensorWidth >= full.sensorWidth || item.sensorWidth == 0)
        return;
    plan.width = full.sensorWidth;
    plan.height = full.sensorHeight;
    plan.factor = full.sensorWidth / item.sensorWidth;
    plan.reduce = colour ? CcdFrame::Reduce::ColourBin : CcdFrame::Reduce::MonoBin;
}

/// The whole sensor behind a head block; smaller items are binned from it on the host.
CcdFrame VDo285M1::framePlan() const {
    CcdFrame plan;
    plan.wire = CcdFrame::Wire::HeadMarker;
    fullFrameLayout(plan, false);
    return plan;
}

CcdFrame VDh285M1::framePlan() const {
    CcdFrame plan;
    plan.pixelBytes = itemPixelBytes();
    fullFrameLayout(plan, false);
    return plan;
}

CcdFrame VDh285C1::framePlan() const {
    CcdFrame plan;
    plan.pixelBytes = itemPixelBytes();
    fullFrameLayout(plan, true);
    return plan;
}

CcdFrame VDh674C1::framePlan() const {
    CcdFrame plan;
    plan.pixelBytes = itemPixelBytes();
    fullFrameLayout(plan, true);
    plan.aeEvery = 2;
    plan.snapshotMark = true;
    plan.fluorescence = true;
    return plan;
}

/// The end-marker frame of the 674/687/694 generation with its snapshot mark and fluorescence
/// step: the camera bins its own modes where the tables say so, the host bins the others from
/// the whole sensor.
CcdFrame VDh674M1::markedFramePlan() const {
    CcdFrame plan;
    plan.pixelBytes = itemPixelBytes();
    fullFrameLayout(plan, false);
    plan.snapshotMark = true;
    plan.fluorescence = true;
    return plan;
}

/// Generation 0xB001 pads the frame with one block that ends in the marker.
CcdFrame VDh674M1::framePlan() const {
    CcdFrame plan = markedFramePlan();
    if (bcdDevice() == 0xB001) plan.wire = CcdFrame::Wire::Padded;
    return plan;
}

/// No generation of the 687 pads its frames.
CcdFrame VDh687M1::framePlan() const {
    return markedFramePlan();
}

CcdFrame VDh694M1::framePlan() const {
    CcdFrame plan = markedFramePlan();
    plan.clockAfterMode = true;
    return plan;
}

/// Modes 0x0B and 0x0C arrive as full-width lines and are cut to the item; binned items of the
/// full-sensor mode are colour-binned from the whole sensor.
CcdFrame VDh694C1::framePlan() const {
    CcdFrame plan = VDh694M1::framePlan();
    plan.aeEvery = 2;
    const ResolutionItem& item = resItem(resolution.value);
    const int lineStart = item.code == 0x0B ? 552 : item.code == 0x0C ? 824 : -1;
    if (lineStart >= 0 && lineStart + item.sensorWidth <= resItem(0).sensorWidth) {
        plan.width = resItem(0).sensorWidth;
        plan.height = item.sensorHeight;
        plan.reduce = CcdFrame::Reduce::Crop;
        plan.cropX = lineStart;
        plan.cropY = 0;
        plan.cropWidth = item.sensorWidth;
        plan.cropHeight = item.sensorHeight;
        plan.factor = 1;
    } else {
        plan.reduce = CcdFrame::Reduce::None;
        plan.factor = 1;
        fullFrameLayout(plan, true);
    }
    return plan;
}

CcdFrame VDo205M1::framePlan() const {
    CcdFrame plan;
    plan.wire = CcdFrame::Wire::HeadMarker;
    fullFrameLayout(plan, false);
    return plan;
}

/// Generation 0xB003 sends the bare pixels.
CcdFrame VDh205M1::framePlan() const {
    CcdFrame plan;
    plan.wire = bcdDevice() == 0xB003 ? CcdFrame::Wire::Plain : CcdFrame::Wire::EndMarker;
    plan.pixelBytes = itemPixelBytes();
    fullFrameLayout(plan, false);
    return plan;
}

/// The colour 205 leaves the exposure to the user: its frames never run automatic exposure.
CcdFrame VDh205C1::framePlan() const {
    CcdFrame plan;
    plan.pixelBytes = itemPixelBytes();
    fullFrameLayout(plan, true);
    plan.autoExposure = false;
    return plan;
}

namespace {

/// The 282 sensor: a mode of 1996 rows arrives as two fields; the half-height mode 0xC0 sends
/// full-width lines of which every other column pair is kept; every item of the full mode 0xC1 gets
/// the whole sensor and is colour-binned to its size.
CcdFrame plan282(const ResolutionItem& item, CcdFrame plan) {
    if (item.sensorHeight == 1996) {
        plan.width = item.sensorWidth;
        plan.height = item.sensorHeight;
        plan.reduce = CcdFrame::Reduce::Interlace;
        plan.factor = 998;
    } else if (item.code == 0xC0) {
        plan.width = 2 * item.sensorWidth;
        plan.height = item.sensorHeight;
        plan.reduce = CcdFrame::Reduce::SkipPairs;
        plan.factor = 1;
    }
    return plan;
}

} // namespace

CcdFrame VDo282C1::framePlan() const {
    CcdFrame plan;
    plan.wire = CcdFrame::Wire::HeadMarker;
    fullFrameLayout(plan, true);
    return plan282(resItem(resolution.value), plan);
}

CcdFrame VDh282C1::framePlan() const {
    CcdFrame plan;
    fullFrameLayout(plan, true);
    plan = plan282(resItem(resolution.value), plan);
    plan.pixelBytes = static_cast<long long>(plan.width) * plan.height * rawDepth.value / 8;
    plan.snapshotMark = true;
    plan.defects = true;
    plan.fluorescence = true;
    return plan;
}

// ---- the shared read -------------------------------------------------------------------------

/// Reads one frame as the plan of the current mode says. The buffer must hold the whole
/// transfer the read asks for and every pixel of the layout; the bulk read never asks for more
/// than that, so nothing is written past the buffer whatever the camera sends. Returns 0, 1 for
/// a frame with the snapshot mark, 5 / -5 after a defect collection, -2 for a short buffer, -3
/// for a failed read, a wrong length or a missing marker, or the fluorescence step's result.
int CcdCamera::_raw_data(unsigned char* buffer, int size) {
    return guardedRead([&] { return readPlannedFrame(buffer, size); });
}

int CcdCamera::readPlannedFrame(unsigned char* buffer, int size) {
    CcdFrame plan;
    int head = 512, block = 512, bits = 8, every = 3;
    bool checkHead = true;
    int index = 0;
    PendingMode mode(*this);
    {
        Lock lock(settingsLock);
        if (!resolution.table || !pixelClock.table) return -3;
        mode.take();
        index = resolution.value;
        plan = framePlan();
        head = headLength;
        block = blockSize > 0 ? blockSize : 1;
        bits = rawDepth.value;
        checkHead = bcdDevice() != 0xA001;
        every = plan.aeEvery;
    }
    if (plan.width <= 0 || plan.height <= 0 || (bits != 8 && bits != 16)) return -3;
    const long long layoutBytes = static_cast<long long>(plan.width) * plan.height * bits / 8;

    // Where the read goes, how much it asks for, and what it must deliver.
    long long offset = head, ask = 0, expect = 0, marker = -1;
    switch (plan.wire) {
    case CcdFrame::Wire::HeadMarker: {
        const long long extent = layoutBytes + head;
        offset = 0;
        ask = expect = extent - extent % block;
        break;
    }
    case CcdFrame::Wire::EndMarker:
        ask = plan.pixelBytes + head;
        expect = plan.pixelBytes + 3;
        marker = plan.pixelBytes;
        break;
    case CcdFrame::Wire::Padded:
        ask = plan.pixelBytes + 2LL * block;
        expect = plan.pixelBytes + block;
        marker = plan.pixelBytes + block - 3;
        break;
    case CcdFrame::Wire::Plain:
        ask = plan.pixelBytes + head;
        expect = plan.pixelBytes;
        break;
    }
    if (plan.wire != CcdFrame::Wire::HeadMarker && plan.pixelBytes < layoutBytes) return -3;
    // Room for the pixels and for the statistics the automatic functions write after them.
    const long long need = std::max(offset + ask, head + layoutBytes + kHistItems1 * 4LL);
    if (!buffer || size < 0 || need > size || need > 0x7FFFFFFF) return -2;
    if (readAborted()) return -3;

    if (mode.send() && plan.clockAfterMode) {
        _delay(100);
        Lock lock(settingsLock);
        EZURB clock = pixelClock.request;
        _sumbit_ctl_urb(1000, 1, &clock);
    }
    int received = 0;
    const bool transferred = readBulk(buffer + offset, static_cast<int>(ask), &received) == 0;

    // The wires with an acknowledge get it whatever the transfer brought, so that a camera
    // waiting for it goes on to the next frame.
    bool snapshot = false;
    switch (plan.wire) {
    case CcdFrame::Wire::HeadMarker: {
        EZURB ack = frameAck;
        _sumbit_ctl_urb(1000, 1, &ack);
        // A short frame would leave pixels of an earlier one in the image.
        if (!transferred || received != expect) return -3;
        if (checkHead && !startsWithHead(buffer)) return -3;
        if (block >= kHeadBytes)
            for (long long b = 1; b < expect / block; ++b)
                if (startsWithHead(buffer + b * block)) return -3;
        break;
    }
    case CcdFrame::Wire::Plain:
        if (!transferred || received != expect) {
            EZURB ack = frameAck;
            _sumbit_ctl_urb(1000, 1, &ack);
            return -3;
        }
        break;
    default: {
        if (!transferred || received != expect) return -3;
        unsigned char* end = buffer + head + marker;
        if (end[0] != kMarker) return -3;
        end[0] = 0;
        snapshot = end[1] == kSnapshotMark;
        break;
    }
    }

    auto* image = reinterpret_cast<_ezImage*>(buffer);
    ezInitImageHeader(image, plan.width, plan.height, 1, bits, head, buffer + head,
                      static_cast<unsigned char>(index), 0);
    if (bits == 16) __rmac(image, 0);
    switch (plan.reduce) {
    case CcdFrame::Reduce::MonoBin:
        if (plan.factor > 1) __mbin(image, plan.factor, plan.factor);
        break;
    case CcdFrame::Reduce::ColourBin:
        if (plan.factor > 1) __cbin(image, plan.factor, plan.factor);
        break;
    case CcdFrame::Reduce::Crop:
        __roi(image, plan.cropX, plan.cropY, plan.cropWidth, plan.cropHeight);
        break;
    case CcdFrame::Reduce::SkipPairs:
        __skip(image, 2, 1);
        break;
    case CcdFrame::Reduce::Interlace:
        __interlace(image, 0, plan.factor);
        break;
    case CcdFrame::Reduce::None:
        break;
    }

    if (roiState.load()) cropToRegion(image);
    if (plan.autoExposure && autoExposure.load()) _calc_auto_exposure(image, every);

    int result = snapshot && plan.snapshotMark ? 1 : 0;
    if (plan.defects) {
        int count;
        bool collected = false;
        {
            Lock lock(settingsLock);
            if (defectRequest.exchange(false) && defectList) {
                defectCount = __calc_defects(image, defectList, defectCapacity);
                collected = true;
            }
            count = defectCount;
        }
        if (count > 0 && defectCorrection.load() && defectList)
            __defects_correction(image, defectList, count);
        if (collected) result = count < 0 ? -5 : 5;
    }
    if (const int step = afterFrame(image); step != 0) return step;
    if (plan.fluorescence) {
        bool pending;
        {
            Lock lock(settingsLock);
            pending = gainSearch || measureFlag;
        }
        if (pending) {
            const int step = _fluorescence(image, 3);
            if (step != 0) return step;
        }
    }
    return result;
}

// ---- fluorescence with the exposure measured in the camera's own units -------------------------

/// The gain search as every camera does it; the measurement scales the short exposure register
/// by how far the brightest level is from full scale (doubled for each 155 steps of gain past
/// the first above 244), and restarts the sensor with that total carried by the mode request.
int VDh694M1::_fluorescence(_ezImage* image, int every) {
    if (!image || !image->data || !image->tail || image->width == 0 || image->height == 0 ||
        (image->depth != 8 && image->depth != 16))
        return -2;
    int result = 0;
    bool searching;
    {
        Lock lock(settingsLock);
        searching = gainSearch;
    }
    if (searching) {
        const int r = _calc_auto_gain(image, every);
        if (r == 1 || r == 0) {
            Lock lock(settingsLock);
            gainSearch = false;
            if (r == 1) {
                const int high = std::clamp(histStatistic(image, kHistLumaHigh), 0, 255);
                for (int c = 0; c < channels; ++c) _set_stretch(0, high, false, c);
            }
            result = 2;
        }
    }
    bool measuring;
    {
        Lock lock(settingsLock);
        measuring = measureFlag;
        measureFlag = false;
    }
    if (!measuring) return result;
    __calc_histogram(image);

    Lock lock(settingsLock);
    const int high = software[kSwStretch0].max;
    if (high <= 0 || exposure.max == 0 || !resolution.table || !pixelClock.table) return result;
    const int n = (static_cast<int>(analogGain.value) - 244) / 155 - 1;
    const double m = n > 0 ? static_cast<double>(1u << std::min(n, 16)) : 1.0;
    splitLines(std::trunc(static_cast<double>(exposure.value) * 255.0 / high * m));

    _set_analog_gain(244);
    for (int c = 0; c < channels; ++c) _set_stretch(0, 255, false, c);
    sendVendorRequest(0xBB, 0, 0);
    _delay(400);
    const uint32_t total =
        static_cast<uint32_t>(longExposure.value) * exposure.max + exposure.value;
    restartCarrying(total);
    return 3;
}

// ---- dark frames and the guide binning -------------------------------------------------------

int VDh694M1::afterFrame(_ezImage* image) {
    darkFrameStep(image);
    return 0;
}

/// The first frame after `_blackfield` becomes the dark frame (median-smoothed, with the line
/// count it was exposed for), and the exposure in force before is restored. With the dark
/// frame on, each pixel loses the dark signal scaled to the current exposure.
void VDh694M1::darkFrameStep(_ezImage* image) {
    if (!image || !image->data) return;
    const int w = image->width, h = image->height, depth = image->depth;
    const size_t count = static_cast<size_t>(w) * h;
    if (blackFieldRequest.exchange(false)) {
        _ezImage* dark = ezCreateImage(w, h, depth, 1, 0, image->resolution);
        if (dark) {
            Lock lock(settingsLock);
            dark->exposureTime = static_cast<float>(darkLines);
            if (depth == 16 && w >= 3)
                __smooth_middle(image, dark);
            else
                std::memcpy(dark->data, image->data, count * (depth / 8));
            darkFrame.reset(dark);
            // The mode request left the camera at the dark exposure: write both registers back.
            _set_exposure(savedExposure);
            writeRegister(exposureRegister, exposure.value);
            writeRegister(longExposureRegister, longExposure.value);
        }
    }
    if (!blackFieldState.load()) return;
    float now;
    const _ezImage* dark;
    {
        Lock lock(settingsLock);
        dark = darkFrame.get();
        if (!dark || dark->width != w || dark->height != h || dark->depth != depth) return;
        now = static_cast<float>(longExposure.value) * exposure.max + exposure.value;
    }
    const float exposed = dark->exposureTime;
    // A dark frame without exposure holds no dark signal to scale.
    if (!(exposed > 0.0f)) return;
    if (depth == 16) {
        auto* p = image->data;
        const auto* d = dark->data;
        for (size_t i = 0; i < count; ++i) {
            const unsigned pv = p[2 * i] | (p[2 * i + 1] << 8);
            const unsigned dv = d[2 * i] | (d[2 * i + 1] << 8);
            const float v = static_cast<float>(pv) - static_cast<float>(dv) * now / exposed;
            const unsigned out = v > 0.0f ? static_cast<unsigned>(v) : 0u;
            p[2 * i] = static_cast<unsigned char>(out & 0xFF);
            p[2 * i + 1] = static_cast<unsigned char>(out >> 8);
        }
    } else {
        for (size_t i = 0; i < count; ++i) {
            const float v = static_cast<float>(image->data[i]) -
                            static_cast<float>(dark->data[i]) * now / exposed;
            image->data[i] = v > 0.0f ? static_cast<unsigned char>(v) : 0;
        }
    }
}

/// After the dark-frame step, the fluorescence guide's binning factor bins the colour frame.
int VDh694C1::afterFrame(_ezImage* image) {
    darkFrameStep(image);
    int factor = 0;
    {
        Lock lock(settingsLock);
        if (guideSet) factor = guideValue;
    }
    if (factor > 1 && factor <= 8) __cbin(image, factor, factor);
    return 0;
}
