// Tone and colour lookup tables and the automatic white-balance estimate.
#include "algorithms/tone.h"

#include "algorithms/geometry.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace {

/// Stores an integer table value as a byte (tables longer than 256 keep the low byte).
inline unsigned char toByte(long long v) {
    return static_cast<unsigned char>(v);
}

/// Frees the working records of the white-balance estimate on every way out.
struct ImageGuard {
    _ezImage* image = nullptr;
    ~ImageGuard() { ezReleaseImage(&image); }
};

} // namespace

/// Gamma curve computed in double precision with the platform's pow. A gamma of 0 or below has
/// no exponent and leaves the table as it is.
void __matrix_gamma(int gamma, unsigned char* table, int n) {
    if (!table || n <= 0 || gamma <= 0) return;
    if (n == 1) {
        table[0] = 0; // a one-entry curve has only the black point
        return;
    }
    const double p = 100.0 / gamma;
    const double top = std::pow(double(n - 1), p);
    const double scale = top / (n - 1);
    for (int i = 0; i < n; ++i) {
        const double v = std::pow(double(i), p) / scale;
        table[i] = toByte(v >= n - 1 ? n - 1 : static_cast<long long>(v));
    }
}

/// Contrast line through (128, 128) whose slope is the tangent of an angle that moves from 44
/// degrees by 45/128 degree per step of the setting; results clamp to 0 ... n - 1.
void __matrix_contrast(int contrast, unsigned char* table, int n) {
    if (!table || n <= 0) return;
    const double degrees = 44 + (static_cast<long long>(contrast) - 128) * 45 * 0.0078125;
    const double slope = std::tan(degrees / 180 * 3.1415926535897625);
    for (int i = 0; i < n; ++i) {
        const double v = (i - 128) * slope + 128.5;
        long long e;
        if (!(v > 0))
            e = 0; // also catches a non-finite slope
        else if (v >= n - 1)
            e = n - 1;
        else
            e = static_cast<long long>(v);
        table[i] = toByte(e);
    }
}

/// Linear stretch of [low, high) onto [0, n - 1] in integer arithmetic; bounds outside the
/// table only limit the ranges that are written.
void __matrix_stretch(int low, int high, unsigned char* table, int n) {
    if (!table || n <= 0) return;
    const int lowEnd = std::clamp(low, 0, n);
    std::fill(table, table + lowEnd, 0);
    if (high > low) {
        const long long span = static_cast<long long>(high) - low;
        const int from = std::clamp(low, 0, n), to = std::clamp(high, 0, n);
        for (int i = from; i < to; ++i)
            table[i] = toByte((static_cast<long long>(i) - low) * (n - 1) / span);
    }
    const int highStart = std::clamp(high, 0, n);
    std::fill(table + highStart, table + n, toByte(n - 1));
}

/// Row x of the table pulls or pushes every value v away from the reference x by
/// saturation / 100, truncating towards zero, clamped to 0 ... n - 1.
void __matrix_saturation(int saturation, unsigned char* table, int n) {
    if (!table || n <= 0) return;
    for (int x = 0; x < n; ++x) {
        unsigned char* row = table + static_cast<size_t>(x) * n;
        for (int v = 0; v < n; ++v) {
            const long long e = x + static_cast<long long>(saturation) * (v - x) / 100;
            row[v] = toByte(std::clamp<long long>(e, 0, n - 1));
        }
    }
}

/// Digital gain with 64 as unity, limited to n - 1 (and to 0 for a negative gain).
void __matrix_channel(int gain, unsigned char* table, int n) {
    if (!table || n <= 0) return;
    for (int i = 0; i < n; ++i) {
        const long long e = static_cast<long long>(i) * gain * n / n / 64;
        table[i] = toByte(std::clamp<long long>(e, 0, n - 1));
    }
}

/// Gains from the channel means of the masked pixels: the brightest channel gets 64, unless the
/// darkest would then need more than 250, in which case the darkest gets 250.
int _color_temperature(_ezImage* image, _ezImage* mask, int* gains) {
    if (!image || !mask || !gains || !image->data || !mask->data) return -2;
    const int channels = image->channels;
    if (image->depth != 8 || (channels != 1 && channels < 3)) return -2;
    if (mask->depth != 8 || mask->channels != 1 || mask->width != image->width ||
        mask->height != image->height)
        return -2;
    const size_t pixels = static_cast<size_t>(image->width) * image->height;
    const unsigned char* s = image->data;
    const unsigned char* m = mask->data;
    long long sum[3] = {0, 0, 0};
    long long count = 0;
    if (channels == 1) {
        for (size_t i = 0; i < pixels; ++i)
            if (m[i] && s[i] < 253) {
                sum[0] += s[i];
                ++count;
            }
        sum[1] = sum[2] = sum[0];
    } else {
        for (size_t i = 0; i < pixels; ++i, s += channels)
            if (m[i]) {
                sum[0] += s[0];
                sum[1] += s[1];
                sum[2] += s[2];
                ++count;
            }
    }
    if (count < 10) return -1;
    double mean[3];
    for (int k = 0; k < 3; ++k) mean[k] = static_cast<double>(std::max(1LL, sum[k] / count));
    const double hi = std::max({mean[0], mean[1], mean[2]});
    const double lo = std::min({mean[0], mean[1], mean[2]});
    const double f = 64 * hi / lo > 250 ? 250 * lo : 64 * hi;
    for (int k = 0; k < 3; ++k) gains[k] = static_cast<int>(f / mean[k]);
    return 0;
}

/// Estimates gains from the pixels between a grey-level threshold and near-white: the image is
/// reduced to at most 512 x 512, a two-pass between-class-variance search over the grey
/// histogram picks the threshold, and _color_temperature averages the pixels kept.
int __white_balance(_ezImage* image, int* gains) {
    if (!image || !gains || !image->data) return -2;
    const int channels = image->channels;
    if (image->depth != 8 || (channels != 1 && channels != 3)) return -2;
    if (image->width < 1 || image->height < 1) return -2;
    const int w = std::min<int>(image->width, 512);
    const int h = std::min<int>(image->height, 512);
    ImageGuard copy{ezCreateImage(w, h, 8, channels, 56, image->resolution)};
    ImageGuard mask{ezCreateImage(w, h, 8, 1, 56, image->resolution)};
    if (!copy.image || !mask.image) return -3;
    __resize(image, copy.image);

    // Grey level of every pixel into the mask and the histogram; the range of levels up to 249.
    long long hist[256] = {};
    int lo = 250, hi = 0;
    const size_t pixels = static_cast<size_t>(w) * h;
    const unsigned char* s = copy.image->data;
    unsigned char* m = mask.image->data;
    for (size_t i = 0; i < pixels; ++i) {
        const int level =
            channels == 1 ? s[i] : (3 * s[3 * i] + 6 * s[3 * i + 1] + s[3 * i + 2]) / 10;
        m[i] = static_cast<unsigned char>(level);
        ++hist[level];
        if (level <= 249) {
            lo = std::min(lo, level);
            hi = std::max(hi, level);
        }
    }
    long long total = 0, weighted = 0;
    for (int j = lo; j <= hi; ++j) {
        total += hist[j];
        weighted += j * hist[j];
    }

    // Two passes of the threshold search; the running sums carry over into the second pass.
    int threshold = lo;
    long long c = 0, wsum = 0;
    for (int pass = 0; pass < 2; ++pass) {
        double best = -1;
        for (int j = pass == 0 ? lo : threshold; j < hi; ++j) {
            if (!hist[j]) continue;
            c += hist[j];
            if (c == total) break;
            wsum += j * hist[j];
            double between = double(weighted - wsum) / double(total - c) - double(wsum) / double(c);
            between = between * between * double(c) * double(total - c);
            if (between > best) {
                best = between;
                threshold = j;
            }
        }
    }

    for (size_t i = 0; i < pixels; ++i)
        if (m[i] < threshold || m[i] > 250) m[i] = 0;
    return _color_temperature(copy.image, mask.image, gains);
}
