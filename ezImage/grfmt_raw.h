// The RAW container: the image record's header bytes followed by the pixel rows.
#pragma once

#include "ezImage/grfmt_base.h"

/// Largest pixel block a RAW file may announce before the reader allocates it.
inline constexpr long long kRawMaxPixelBytes = 256LL * 1024 * 1024;

/// Writes any record as a RAW container (extension .raw).
class RawEncoder : public BaseImageEncoder {
public:
    RawEncoder();
    bool write(const _ezImage& image) override;
    std::unique_ptr<BaseImageEncoder> clone() const override;
};

/// Reads one-channel 8- or 16-bit RAW containers (signature "QREZ").
class RawDecoder : public BaseImageDecoder {
public:
    RawDecoder();
    bool readHeader(RBaseStream& stream) override;
    bool readData(_ezImage& image, RBaseStream& stream) override;
    std::unique_ptr<BaseImageDecoder> newDecoder() const override;
};
