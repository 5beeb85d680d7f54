// Baseline uncompressed TIFF writer (little-endian, 8- or 16-bit samples).
#pragma once

#include "ezImage/grfmt_base.h"

class WBaseStream;

/// Directory tags the writer emits.
enum TiffTag : int {
    kTiffTagImageWidth = 256,
    kTiffTagImageLength = 257,
    kTiffTagBitsPerSample = 258,
    kTiffTagCompression = 259,
    kTiffTagPhotometric = 262,
    kTiffTagStripOffsets = 273,
    kTiffTagSamplesPerPixel = 277,
    kTiffTagRowsPerStrip = 278,
    kTiffTagStripByteCounts = 279,
};

/// Field types of directory entries.
enum TiffFieldType : int {
    kTiffTypeShort = 3,
    kTiffTypeLong = 4,
};

/// Writes TIFF files (extension .tiff or .tif) with strips of about 8 KiB.
class TiffEncoder : public BaseImageEncoder {
public:
    TiffEncoder();
    bool isFormatSupported(int depth) const override;
    bool write(const _ezImage& image) override;
    std::unique_ptr<BaseImageEncoder> clone() const override;

    /// Writes one 12-byte directory entry: tag, type, count, value or offset.
    void writeTag(WBaseStream& stream, TiffTag tag, TiffFieldType type, int count, int value);
};
