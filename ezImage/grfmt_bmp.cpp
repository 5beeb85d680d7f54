// Windows bitmap writer: bottom-up rows padded to four bytes, BGR order, grey palette for one
// channel.
#include "ezImage/grfmt_bmp.h"

#include <vector>

#include "ezImage/bitstrm.h"

void FillGrayPalette(PaletteEntry* palette, int bits, bool negative) {
    if (!palette || bits < 1 || bits > 8) return;
    const int length = 1 << bits;
    const int xor_mask = negative ? 255 : 0;
    for (int i = 0; i < length; ++i) {
        const int v = (i * 255 / (length - 1)) ^ xor_mask;
        palette[i] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v), static_cast<uint8_t>(v), 0};
    }
}

BmpEncoder::BmpEncoder() {
    m_description = "Windows bitmap (*.bmp;*.dib)";
}

std::unique_ptr<BaseImageEncoder> BmpEncoder::clone() const {
    return std::make_unique<BmpEncoder>(*this);
}

/// Writes the file header, the info header, the palette for grey images and the rows from the
/// last to the first. Refuses empty images, channel counts other than 1, 3, 4, depths other than
/// 8 and 16, and images whose file size does not fit the 32-bit size field.
bool BmpEncoder::write(const _ezImage& image) {
    const int n = image.channels;
    const int width = image.width;
    const int height = image.height;
    if ((n != 1 && n != 3 && n != 4) || (image.depth != 8 && image.depth != 16)) return false;
    if (width == 0 || height == 0 || !image.data) return false;

    const size_t rowBytes = static_cast<size_t>(n) * width;
    const size_t stride = (rowBytes + 3) & ~size_t{3};
    const int offBits = n < 2 ? 1078 : 54;
    const uint64_t fileSize = static_cast<uint64_t>(stride) * height + offBits;
    if (fileSize > 0xFFFFFFFFull) return false;

    AtomicFile file(m_filename);
    if (!file.isCreated()) return false;
    WBaseStream stream;
    if (!stream.open(file.path())) return false;

    stream.putBytes("BM", 2);
    stream.putDWord(static_cast<int>(static_cast<uint32_t>(fileSize)));
    stream.putDWord(0);
    stream.putDWord(offBits);
    stream.putDWord(40);
    stream.putDWord(width);
    stream.putDWord(height);
    stream.putWord(1);
    stream.putWord(n * 8);
    for (int i = 0; i < 6; ++i) stream.putDWord(0);
    if (n == 1) {
        PaletteEntry palette[256];
        FillGrayPalette(palette, 8);
        stream.putBytes(palette, sizeof palette);
    }

    // One padded row: the padding bytes stay zero, the pixel bytes are refilled per row.
    const int bps = image.depth / 8;
    const int hi = bps - 1; // offset of the high byte of a little-endian sample
    const size_t srcRow = rowBytes * bps;
    std::vector<unsigned char> row(stride, 0);
    for (int y = height - 1; y >= 0 && !stream.hasError(); --y) {
        const unsigned char* src = image.data + srcRow * y;
        unsigned char* dst = row.data();
        if (n == 1) {
            for (int x = 0; x < width; ++x) dst[x] = src[x * bps + hi];
        } else {
            const int step = n * bps;
            for (int x = 0; x < width; ++x, src += step, dst += n) {
                dst[0] = src[2 * bps + hi];
                dst[1] = src[bps + hi];
                dst[2] = src[hi];
                if (n == 4) dst[3] = src[3 * bps + hi];
            }
        }
        stream.putBytes(row.data(), static_cast<int>(stride));
    }
    stream.close();
    if (stream.hasError()) return false;
    return file.commit();
}
