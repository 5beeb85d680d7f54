// Halvex Capture calibration and clean-up: flat field, defect pixels, histogram and level
// bounds, means, bit shifts, smoothing, sharpening, border repair and the centre cross.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "ezImage/ezImage.h"

/// 256 zeros, 0 ... 255, 256 times 255: indexed at value + 256 it clamps -256 ... 511 to a byte.
extern const unsigned char ezSaturate8u_cv[768];

/// Layout of the statistics area that __calc_histogram writes at a record's tail (int32 items).
inline constexpr int kHistLumaBins = 0;   ///< luminance (or one-channel) bins 0 ... 255
inline constexpr int kHistLumaLow = 256;  ///< luminance low bound
inline constexpr int kHistLumaHigh = 257; ///< luminance high bound
inline constexpr int kHistSection = 258;  ///< items per section (256 bins, low, high)
/// First item of colour channel c (0, 1, 2) of a three-channel image; bins, then low, high.
inline constexpr int histChannelBase(int c) {
    return kHistSection * (c + 1);
}
inline constexpr int kHistItems1 = 258;  ///< items written for one-channel images
inline constexpr int kHistItems3 = 1032; ///< items written for three-channel images
/// Item `item` of the statistics area at the record's tail, read bytewise (the tail need not be
/// aligned). The caller makes sure the record has a tail that holds the item.
inline int histStatistic(const _ezImage* image, int item) {
    int32_t value = 0;
    std::memcpy(&value, image->tail + static_cast<size_t>(item) * sizeof(int32_t), sizeof(value));
    return value;
}

namespace hx::algorithms {

/// Counts of the (high-byte) sample pairs of two neighbouring 3-channel pixels p, q: (p red,
/// p green), (p blue, q red), (q green, q blue), first sample in the low byte of the index. One
/// increment counts two samples; a counter that wraps has already added 65536 to both of its
/// samples' bins.
struct PairCounts {
    uint16_t pairs[3][65536] = {};
};

/// Counts per channel (one-channel images use channel 0) of the samples' high bytes, gathered
/// over parts of one image; what __calc_histogram derives its statistics from. Neighbouring
/// pixels often share values, so four partial sets keep consecutive increments of one counter
/// apart; they are summed when the statistics are written. Varied stretches of 3-channel images
/// are counted in pairs, made on first use (without them, sample by sample).
struct HistogramCounts {
    uint32_t partial[4][3][256] = {};
    size_t pixels = 0;
    std::unique_ptr<PairCounts> pairs;
};
/// Adds `pixels` packed pixels of 1 or 3 channels of 8 or 16 bits to h.
void histogramAdd(HistogramCounts& h, const unsigned char* data, size_t pixels, int channels,
                  int depth);
/// Adds the counts of b to a.
void histogramMerge(HistogramCounts& a, const HistogramCounts& b);
/// Writes the statistics area of an image whose pixels are all counted in h (as
/// __calc_histogram does) at `statistics`.
void histogramFinish(const HistogramCounts& h, int channels, unsigned char* statistics);

} // namespace hx::algorithms

/// Divides frame by the 8-bit reference, scaled by the reference's channel averages.
void __flat_field(_ezImage* frame, const _ezImage* reference);
/// Finds hot pixels; returns the number found or -3 (too small, or list full).
int __calc_defects(const _ezImage* image, _ezPoint* list, int capacity);
/// Replaces each listed sample by the same-colour sample two columns to its left.
void __defects_correction(_ezImage* image, const _ezPoint* list, int count);
/// Fills the statistics area after the pixels; 0, or -3 for a null record.
int __calc_histogram(_ezImage* image);
/// Mean of the first width x height samples (high bytes of 16-bit samples).
float __calc_gray(const _ezImage* image);
/// Sets average0 ... average2 (mode 0 or 1), replacing zero samples by 1.
void __calc_avg(_ezImage* image, int mode);
/// Means of the four Bayer phases of a raw record, ordered blue, green (blue rows),
/// green (red rows), red; mean is their average. 0, -4 decoded record, -2 bad depth.
int __image_intensity(const _ezImage* raw, float* mean, float* c0, float* c1, float* c2, float* c3);
/// Shifts every sample left (k > 0, saturating) or right (k < 0); -2 when k is outside -8 ... 8.
int __shift_operation(_ezImage* image, int k);
/// Type 1: 3 x 3 median; type 2: 3 x 3 smoothing; in place.
void __smooth(_ezImage* image, int type);
/// 3 x 3 median of a 16-bit one-channel src into dst of the same size.
void __smooth_middle(const _ezImage* src, _ezImage* dst);
/// 3 x 3 sharpening in place; the type is not used.
void __laplace(_ezImage* image, int type);
/// Smooths an 8-bit image towards its lower and right neighbours, in place.
void __repair_step(_ezImage* image);
/// Replaces borders k rows high and 2k pixels wide by copies of the nearest inner pixels.
void __repair_edge(_ezImage* image, int k);
/// Draws a 99-pixel cross at the image centre.
void __cross(_ezImage* image);
