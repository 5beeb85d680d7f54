// Calibrations and automatic functions of the base camera: the flat-field reference, one-shot
// white balance, automatic gain and the fluorescence procedure, plus small image measures.
// Calculations that start from a raw frame first take a private 8-bit copy of it, so the frame
// buffer may be refilled by the grab thread as soon as the copy is made.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#include "algorithms/algorithms.h"
#include "camera/CamBayer.h"

namespace {

/// A record and the buffer that holds it (header first, pixels after the header).
struct OwnedRecord {
    std::unique_ptr<unsigned char[]> buffer;
    _ezImage* image() const { return reinterpret_cast<_ezImage*>(buffer.get()); }
};

/// Allocates a zeroed one-buffer record; an empty record on allocation failure.
OwnedRecord makeRecord(int width, int height, int channels, int headerSize,
                       unsigned char resolution) {
    OwnedRecord r;
    const size_t bytes =
        static_cast<size_t>(headerSize) + static_cast<size_t>(width) * height * channels;
    r.buffer.reset(new (std::nothrow) unsigned char[bytes]());
    if (r.buffer)
        ezInitImageHeader(r.image(), width, height, channels, 8, headerSize,
                          r.buffer.get() + headerSize, resolution, 0);
    return r;
}

/// Reads and checks the header of a raw frame held in one buffer: the record magic, 8 or 16
/// bits, one channel, a non-empty image and a header at least as large as the record.
bool rawHeader(const unsigned char* frame, _ezImage& header) {
    if (!frame) return false;
    std::memcpy(&header, frame, sizeof(header));
    if (std::memcmp(header.magic, "QREZ", 4) != 0) return false;
    if (header.depth != 8 && header.depth != 16) return false;
    if (header.width == 0 || header.height == 0) return false;
    return header.headerSize >= sizeof(_ezImage);
}

/// Copies the pixels of a raw frame (high byte of 16-bit samples) into an 8-bit record of the
/// same size.
void copyEightBit(const unsigned char* frame, const _ezImage& header, _ezImage* dst) {
    const size_t n = static_cast<size_t>(header.width) * header.height;
    const unsigned char* src = frame + header.headerSize;
    if (header.depth == 8) {
        std::memcpy(dst->data, src, n);
    } else {
        for (size_t i = 0; i < n; ++i) dst->data[i] = src[2 * i + 1];
    }
    dst->bayer = header.bayer;
}

/// Repeats the outermost written pixels of a demosaiced 8-bit record into the border the
/// demosaic leaves unwritten (column 0, column W - 1, row 0, rows H - 2 and H - 1), so that a
/// reference made from it has no black frame around it.
void fillDemosaicBorder(_ezImage* image, int bayer) {
    const int w = image->width, h = image->height, p = image->channels;
    if (bayer == 0 || p != 3 || w < 3 || h < 4) return;
    const size_t stride = static_cast<size_t>(w) * p;
    for (int y = 1; y <= h - 3; ++y) {
        unsigned char* row = image->data + y * stride;
        std::memcpy(row, row + p, p);
        std::memcpy(row + (w - 1) * p, row + (w - 2) * p, p);
    }
    std::memcpy(image->data, image->data + stride, stride);
    std::memcpy(image->data + (h - 2) * stride, image->data + (h - 3) * stride, stride);
    std::memcpy(image->data + (h - 1) * stride, image->data + (h - 3) * stride, stride);
}

/// Item `index` of the statistics area at the record's tail.
void setStatistic(_ezImage* image, int index, int value) {
    const int32_t v = value;
    std::memcpy(image->tail + static_cast<size_t>(index) * sizeof(int32_t), &v, sizeof(v));
}

/// Luminance bin b (0 ... 255) of the statistics area.
long long bin(const _ezImage* image, int b) {
    return histStatistic(image, kHistLumaBins + b);
}

bool measurable(const _ezImage* image) {
    return image && image->data && image->tail && (image->depth == 8 || image->depth == 16) &&
           (image->channels == 1 || image->channels == 3) && image->width > 0 && image->height > 0;
}

} // namespace

// ---- flat field -----------------------------------------------------------------------------

/// Takes the flat-field reference from a raw frame: an 8-bit demosaiced copy with its channel
/// means (zero samples raised to 1). The chain rebuilds its working copy at the next frame.
/// Returns 0; -4 when flag is set; -2 for a frame that is not a raw record; -3 when memory is
/// short.
int CamBayer::_calc_flat_field(unsigned char* rawFrame, bool flag) {
    if (flag) return -4;
    _ezImage header{};
    if (!rawHeader(rawFrame, header)) return -2;
    const int width = header.width, height = header.height;
    _ezImage* copy = ezCreateImage(width, height, 8, 1, sizeof(_ezImage), header.resolution);
    if (!copy) return -3;
    copyEightBit(rawFrame, header, copy);

    const int channels = _channles() == 1 ? 1 : 3;
    _ezImage* reference =
        ezCreateImage(width, height, 8, channels, sizeof(_ezImage), header.resolution);
    if (!reference) {
        ezReleaseImage(&copy);
        return -3;
    }
    // The demosaic leaves a border unwritten: keep it defined (means then lift it to 1).
    std::memset(reference->data, 0, static_cast<size_t>(width) * height * channels);
    if (colorEnhancement.load())
        __decode_rawdata(copy, reference, _bayer());
    else
        __decode_rawdatafast(copy, reference, _bayer());
    fillDemosaicBorder(reference, _bayer());
    __calc_avg(reference, 0);
    ezReleaseImage(&copy);

    _ezImage* previous = nullptr;
    {
        Lock lock(settingsLock);
        previous = flatFieldImage;
        flatFieldImage = reference;
        flatFieldReady = true;
    }
    ezReleaseImage(&previous);
    return 0;
}

// ---- white balance --------------------------------------------------------------------------

/// One-shot white balance from a raw frame, over the whole image or over an area given in
/// display coordinates. The new digital gains are published with the next frame. Returns 0;
/// -4 on a monochrome camera; -2 for a bad frame or an empty area; -3 when no estimate was
/// possible (or memory is short).
int CamBayer::_calc_white_balance(unsigned char* rawFrame, __IMG_RECT* area) {
    {
        Lock lock(settingsLock);
        if (!software[kSwSaturation].enabled) return -4;
    }
    _ezImage header{};
    if (!rawHeader(rawFrame, header)) return -2;
    const int width = header.width, height = header.height;
    const int headerSize = std::max(_head(), static_cast<int>(sizeof(_ezImage)));

    // Private copies: the frame is read once, here.
    OwnedRecord grey = makeRecord(width, height, 1, headerSize, header.resolution);
    if (!grey.buffer) return -3;
    copyEightBit(rawFrame, header, grey.image());
    OwnedRecord colour = makeRecord(width, height, 3, headerSize, header.resolution);
    if (!colour.buffer) return -3;
    if (colorEnhancement.load())
        __decode_rawdata(grey.image(), colour.image(), _bayer());
    else
        __decode_rawdatafast(grey.image(), colour.image(), _bayer());

    int gains[3] = {64, 64, 64};
    if (!area) {
        if (__white_balance(colour.image(), gains) != 0) return -3;
        Lock lock(settingsLock);
        for (int c = 0; c < 3; ++c) {
            buildShadow(kSwGainRed + c, gains[c]);
            software[kSwGainRed + c].value = static_cast<uint8_t>(gains[c]);
        }
        return 0;
    }

    const int left = std::max(area->left, 0), top = std::max(area->top, 0);
    const int right = std::min(area->right, width), bottom = std::min(area->bottom, height);
    if (right - left < 1 || bottom - top < 1) return -2;
    __flip(colour.image(), flip.load());
    long long sum[3] = {0, 0, 0};
    const unsigned char* pixels = colour.image()->data;
    for (int y = top; y < bottom; ++y) {
        const unsigned char* p = pixels + (static_cast<size_t>(y) * width + left) * 3;
        for (int x = left; x < right; ++x, p += 3) {
            sum[0] += p[0];
            sum[1] += p[1];
            sum[2] += p[2];
        }
    }
    const long long count = static_cast<long long>(right - left) * (bottom - top);
    double mean[3];
    for (int c = 0; c < 3; ++c) mean[c] = static_cast<double>(std::max(sum[c] / count, 1LL));
    const double hi = std::max({mean[0], mean[1], mean[2]});
    const double lo = std::min({mean[0], mean[1], mean[2]});
    const double f = 64.0 * hi / lo > 240.0 ? 240.0 * lo : 64.0 * hi;
    for (int c = 0; c < 3; ++c) gains[c] = static_cast<int>(f / mean[c]);

    Lock lock(settingsLock);
    for (int c = 0; c < 3; ++c) {
        SoftWareValue& r = software[kSwGainRed + c];
        if (gains[c] == r.value || gains[c] < r.min || gains[c] > r.max) continue;
        buildShadow(kSwGainRed + c, gains[c]);
        r.value = static_cast<uint8_t>(gains[c]);
    }
    return 0;
}

// ---- automatic gain and the fluorescence procedure ------------------------------------------

/// Raises the analog gain by 161 every `every` frames until the brightest part of the image
/// (the bins that hold the top 1/8000 of the pixels, and down from there) reaches 134. Returns
/// -3 when not due or after raising the gain, 0 when bright enough, 1 when the gain is at its
/// limit (the histogram's high bound then becomes the top level); -2 for an unusable image.
int CamBayer::_calc_auto_gain(_ezImage* image, int every) {
    if (!measurable(image)) return -2;
    if (every < 1) every = 1;
    int k = 0;
    {
        Lock lock(settingsLock);
        ++frameCounter;
        if (frameCounter % every != 0) return -3;
        k = frameCounter / every;
    }
    __calc_histogram(image);
    const int lo = std::clamp(histStatistic(image, kHistLumaLow), 0, 255);
    const int hi = std::clamp(histStatistic(image, kHistLumaHigh), 0, 255);
    const long long d = static_cast<long long>(image->width) * image->height / 8000;

    int top = lo;
    long long sum = 0;
    for (int b = hi; b >= lo; --b) {
        sum += bin(image, b);
        if (sum > d) {
            top = b;
            break;
        }
    }
    long long count = 0, weighted = 0;
    for (int b = top; b >= 0; --b) {
        count += bin(image, b);
        weighted += bin(image, b) * b;
        if (!(count >= 50 * d && b > lo)) break;
    }
    const long long mean = count ? weighted / count : 0;

    Lock lock(settingsLock);
    if (k == 1 || k == 2) {
        historyMean[k - 1] = count ? static_cast<double>(weighted) / count : 0.0;
        historyGain[k - 1] = analogGain.value;
    }
    if (mean >= 134) return 0;
    if (analogGain.value > analogGain.max - 161) {
        setStatistic(image, kHistLumaHigh, top);
        return 1;
    }
    _set_analog_gain(analogGain.value + 161);
    return -3;
}

/// Steps of the fluorescence procedure: 1 starts the gain search from a long exposure at gain
/// 244 with the full stretch range, 2 asks for the measurement on the next frame, 0 stores a
/// guide value. Returns 0; -4 without long-exposure support.
int CamBayer::_fluorescence_guide(int step, int value) {
    Lock lock(settingsLock);
    if (!longExposure.supported) return -4;
    if (step == 1) {
        _set_autoexposure(false);
        if (lineClock > 0)
            _set_exposure(static_cast<float>(exposure.max - 10) * static_cast<float>(lineLength) /
                          static_cast<float>(lineClock));
        _set_analog_gain(244);
        _restart_exposure();
        _set_pixsclock(pixelClock.value);
        for (int c = 0; c < channels; ++c) _set_stretch(0, 255, false, c);
        frameCounter = 0;
        gainSearch = true;
    } else if (step == 2) {
        measureFlag = true;
    } else if (step == 0) {
        guideValue = value;
        guideSet = true;
    }
    return 0;
}

/// Advances the fluorescence procedure by one frame. Returns 2 when the gain search finished,
/// 3 when the measured exposure was applied, otherwise 0 (-2 for an unusable image).
int CamBayer::_fluorescence(_ezImage* image, int every) {
    if (!measurable(image)) return -2;
    int result = 0;
    bool searching = false, measuring = false;
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
    {
        Lock lock(settingsLock);
        measuring = measureFlag;
        measureFlag = false;
    }
    if (!measuring) return result;

    const int g = static_cast<int>(__calc_gray(image));
    __calc_histogram(image);
    const int hi = std::clamp(histStatistic(image, kHistLumaHigh), 0, 255);
    if (hi < g) return result;
    const long long enough = static_cast<long long>(image->width) * image->height * 5 / 100;
    long long count = 0, weighted = 0;
    for (int b = hi; b >= 0; --b) {
        count += bin(image, b);
        weighted += bin(image, b) * b;
        if (!(count >= enough && b > g)) break;
    }
    if (count == 0) return result;
    const long long brightness = weighted / count;

    Lock lock(settingsLock);
    const int stretchHigh = software[kSwStretch0].max;
    const double reference = historyMean[0];
    if (stretchHigh == 0 || reference <= 0.0 || lineClock <= 0) return result;
    const double lines = static_cast<double>(exposure.value) * static_cast<double>(brightness) *
                         255.0 / stretchHigh / reference;
    _set_autoexposure(false);
    _set_exposure(static_cast<float>(lineLength * lines / lineClock));
    _set_analog_gain(244);
    for (int c = 0; c < channels; ++c) _set_stretch(0, 255, false, c);
    _restart_exposure();
    return 3;
}

// ---- measures -------------------------------------------------------------------------------

/// Grey value of the pixel at column x, row y of a record: the sample of a one-channel image,
/// (s0 + 6 s1 + 3 s2) / 10 of a three-channel one; -2 outside the image or for other layouts.
int CamBayer::_pt_gray(int x, int y, unsigned char* buffer) {
    if (!buffer) return -2;
    _ezImage h{};
    std::memcpy(&h, buffer, sizeof(h));
    if (!h.data || x < 0 || y < 0 || x >= h.width || y >= h.height) return -2;
    if ((h.depth != 8 && h.depth != 16) || (h.channels != 1 && h.channels != 3)) return -2;
    const size_t index = (static_cast<size_t>(y) * h.width + x) * h.channels;
    auto sample = [&](int c) -> int {
        if (h.depth == 8) return h.data[index + c];
        const unsigned char* p = h.data + 2 * (index + c);
        return p[0] | (p[1] << 8);
    };
    if (h.channels == 1) return sample(0);
    return (sample(0) + 6 * sample(1) + 3 * sample(2)) / 10;
}

/// Scans a mask row by row (direction 1: column by column, runs continuing across line ends)
/// and returns the average of (run length - 1) / 2 over the runs of non-zero values that end
/// at a zero, the average starting from one run of 1. -2 for a missing or empty mask.
int CamBayer::_longest_light(const unsigned char* mask, int width, int height, int direction) {
    if (!mask || width <= 0 || height <= 0) return -2;
    long long sum = 1, count = 1, run = 0;
    auto visit = [&](unsigned char v) {
        if (v) {
            ++run;
        } else if (run > 0) {
            sum += (run - 1) / 2;
            ++count;
            run = 0;
        }
    };
    if (direction == 1) {
        for (int x = 0; x < width; ++x)
            for (int y = 0; y < height; ++y) visit(mask[static_cast<size_t>(y) * width + x]);
    } else {
        const size_t n = static_cast<size_t>(width) * height;
        for (size_t i = 0; i < n; ++i) visit(mask[i]);
    }
    return static_cast<int>(sum / count);
}

/// Clears dst and sets 255 wherever the (2rx + 1) x (2ry + 1) window of src around a pixel at
/// least rx columns and ry rows from the border is non-zero throughout.
void CamBayer::_dilation(const unsigned char* src, int width, int height, unsigned char* dst,
                         int rx, int ry) {
    if (!src || !dst || width <= 0 || height <= 0) return;
    std::memset(dst, 0, static_cast<size_t>(width) * height);
    if (rx < 0 || ry < 0) return;
    for (int y = ry; y < height - ry; ++y) {
        for (int x = rx; x < width - rx; ++x) {
            if (!src[static_cast<size_t>(y) * width + x]) continue;
            bool full = true;
            for (int wy = y - ry; wy <= y + ry && full; ++wy)
                for (int wx = x - rx; wx <= x + rx; ++wx)
                    if (!src[static_cast<size_t>(wy) * width + wx]) {
                        full = false;
                        break;
                    }
            if (full) dst[static_cast<size_t>(y) * width + x] = 255;
        }
    }
}
