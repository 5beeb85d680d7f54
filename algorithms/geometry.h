// Halvex Capture geometry operations on image records: region of interest, mirror and flip,
// quarter turns, bilinear resize, sensor binning and decimation, 16-bit sample fix-up and
// de-interlacing. All but __resize work in place in the record's own pixel block.
#pragma once

#include "ezImage/ezImage.h"

/// Crops to the rectangle (x, y, width, height); rows are packed from the start of the block.
void __roi(_ezImage* image, int x, int y, int width, int height);
/// Bit 0 mirrors left-right, bit 1 turns upside down.
void __flip(_ezImage* image, int flags);
/// 2: quarter turn clockwise; 1: quarter turn counter-clockwise; anything else: nothing.
void __rotate(_ezImage* image, int flags);
/// Bilinear resize of src into dst at dst's width and height (same channel count).
void __resize(const _ezImage* src, _ezImage* dst);
/// Sum-binning of one-sample-per-pixel data; output sides are multiples of 4.
void __mbin(_ezImage* image, int bx, int by);
/// Sum-binning of a Bayer mosaic that keeps its 2 x 2 colour structure.
void __cbin(_ezImage* image, int bx, int by);
/// Sum-binning of interleaved multi-channel data.
void __colorbin(_ezImage* image, int bx, int by);
/// Decimation of a Bayer mosaic by whole 2 x 2 cells.
void __skip(_ezImage* image, int sx, int sy);
/// 16-bit sample fix-up: 0 swaps the bytes of every sample, 1 left-aligns 12-bit samples.
void __rmac(_ezImage* image, int mode);
/// Merges two fields stored one after the other into one frame.
void __interlace(_ezImage* image, int offset, int fieldRows);

namespace hx::algorithms {
/// Writes the `pixels` pixels of pixelBytes bytes at src to dst in reverse order (one row
/// mirrored); dst and src do not overlap.
void mirrorCopy(unsigned char* dst, const unsigned char* src, size_t pixels, size_t pixelBytes);
} // namespace hx::algorithms
