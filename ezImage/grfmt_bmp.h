// Uncompressed Windows bitmap writer.
#pragma once

#include <cstdint>

#include "ezImage/grfmt_base.h"

/// One palette entry as a bitmap stores it.
struct PaletteEntry {
    uint8_t b, g, r, a;
};

/// Fills 2^bits grey entries (v = i × 255 / (2^bits − 1), complemented when negative is set).
/// bits outside 1..8 fill nothing.
void FillGrayPalette(PaletteEntry* palette, int bits, bool negative = false);

/// Writes 8-bit bitmaps (extension .bmp or .dib); 16-bit images keep their high bytes.
class BmpEncoder : public BaseImageEncoder {
public:
    BmpEncoder();
    bool write(const _ezImage& image) override;
    std::unique_ptr<BaseImageEncoder> clone() const override;
};
