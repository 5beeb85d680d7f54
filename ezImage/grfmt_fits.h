// FITS writer through cfitsio: one primary image, top-down rows, and the keywords astronomy
// software reads (exposure, gain, offset, binning, sub-frame origin, temperatures, frame type,
// observation time, Bayer pattern of raw sensor data).
#pragma once

#include <string>
#include <vector>

#include "ezImage/grfmt_base.h"

/// One FITS header card to be written: name, value and comment. Exactly one of the value kinds
/// is used, as `kind` says.
struct FitsCard {
    enum Kind { kText, kInteger, kReal };
    std::string name;
    Kind kind = kText;
    std::string text;
    long long integer = 0;
    double real = 0;
    int digits = 0; ///< decimals of a real value (cfitsio's fixed notation)
    std::string comment;
};

/// Writes FITS files (extensions .fits, .fit, .fts). 8-bit samples as BITPIX 8, 16-bit samples
/// as BITPIX 16 with BZERO 32768; one channel as a two-axis image, three channels as three
/// planes red, green, blue. A raw sensor record (not demosaiced, one channel) is written in the
/// orientation its frame information's flip asks for, with the Bayer pattern of the samples
/// as written. The samples are never rescaled.
class FitsEncoder : public BaseImageEncoder {
public:
    FitsEncoder();
    bool isFormatSupported(int depth) const override;
    bool write(const _ezImage& image) override;
    std::unique_ptr<BaseImageEncoder> clone() const override;

    /// The header cards the writer puts after the structural keywords for this record, in
    /// order; each only when its value is known.
    static std::vector<FitsCard> headerCards(const _ezImage& image);
    /// UTC microseconds since 1970 as ISO 8601 with milliseconds, "2026-12-09T10:11:12.345".
    static std::string isoTime(long long utcMicros);
};
