// PNG writer through libpng.
#pragma once

#include "ezImage/grfmt_base.h"

/// Writes PNG files (extension .png), 8 or 16 bits per sample, grey, RGB or RGB with alpha.
class PngEncoder : public BaseImageEncoder {
public:
    PngEncoder();
    bool isFormatSupported(int depth) const override;
    bool write(const _ezImage& image) override;
    std::unique_ptr<BaseImageEncoder> clone() const override;
};
