// Raw decoding: bilinear demosaic of Bayer mosaics, colour-correction table, YUV 4:2:2.
#pragma once

#include <cstddef>

#include "ezImage/ezImage.h"

/// Colour-correction table: 256^3 entries of 3 bytes (corrected blue, green, red), indexed by
/// (blue << 16) | (green << 8) | red. Built by __init_algorithms, released by __exit_algorithms.
/// For single-threaded inspection only: decodes hold a reference of their own to the table, so
/// it stays valid for them while another thread shuts the library down.
extern unsigned char* pCCM;
/// Colour-correction matrix; the diagonal entries are gains, the others are subtracted.
extern double m00, m01, m02, m10, m11, m12, m20, m21, m22;

/// Builds the colour-correction table (a table that still exists is reused, never refilled).
void __init_algorithms();
/// Releases the colour-correction table; it is freed once no decode reads it any more.
void __exit_algorithms();

/// Bilinear demosaic of a one-channel raw record (depth 8 or 16) into a three-channel record of
/// the same size and depth (red, green, blue). Bayer code 0 copies the samples unchanged.
void __decode_rawdatafast(_ezImage* raw, _ezImage* out, int bayer);
/// As __decode_rawdatafast, then every interior pair passes through the colour-correction table
/// (without a table, i.e. before __init_algorithms, the interpolation is delivered uncorrected).
void __decode_rawdata(_ezImage* raw, _ezImage* out, int bayer);

/// Converts width x height pixels of packed YUV 4:2:2 (Y0 U Y1 V when yuyv, else U Y0 V Y1)
/// into 3 bytes per pixel in the order blue, green, red.
void __yuv422_rgb888(unsigned char* src, unsigned char* dst, int width, int height, bool yuyv);

namespace hx::algorithms {

/// Demosaic implementations that can be selected, mainly so tests can compare them.
enum class DemosaicPath {
    Auto,      ///< the fastest path this processor supports
    Portable,  ///< plain C++ pair loop (compiler-vectorised at best)
    Avx2,      ///< AVX2 intrinsics, colour correction computed (with FMA) or looked up;
               ///< falls back to Portable when the processor lacks AVX2 or vectors are off
    Avx2Table, ///< AVX2 intrinsics, colour correction always looked up in the table
};

/// Selects the implementation used by __decode_rawdatafast and __decode_rawdata.
void setDemosaicPath(DemosaicPath path);
/// True when this processor can run the AVX2 path and vectors are not switched off.
bool demosaicHasAvx2();

/// The demosaic of output rows [y0, y1) alone (1 <= y0 < y1 <= height - 2), colour-corrected
/// when asked and a table exists, written to dst as packed rows of width pixels (row y0 first);
/// the columns the demosaic leaves (0 and width - 1) are not written. The same results as
/// __decode_rawdata / __decode_rawdatafast give for those rows. False (nothing written) for an
/// unusable record, Bayer code or row range.
bool decodeRawRows(const _ezImage* raw, int bayer, bool colourCorrect, int y0, int y1,
                   unsigned char* dst);

/// Colour-corrects n interleaved 8-bit pixels (red, green, blue) in place, as __decode_rawdata
/// does with the selected path (on the portable path with the plain computed form, the one the
/// portable demosaic of 16-bit frames uses); nothing without a table.
void colourCorrectPixels(unsigned char* rgb, size_t n);

/// Straightforward per-pixel implementation of the demosaic, kept as the reference that every
/// optimised path must match bit for bit. Same contract as __decode_rawdatafast/__decode_rawdata.
void decodeRawReference(_ezImage* raw, _ezImage* out, int bayer, bool colourCorrect);

/// Straightforward evaluation of one colour-correction table entry (blue, green, red in and
/// out), used to check the table.
void colourCorrectReference(int blue, int green, int red, unsigned char result[3]);

} // namespace hx::algorithms
