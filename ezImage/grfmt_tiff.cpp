// TIFF writer: header, strips, a pad byte when they end on an odd offset, out-of-line arrays,
// then the one image file directory, whose offset is patched into the header at the end.
#include "ezImage/grfmt_tiff.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <vector>

#include "ezImage/bitstrm.h"

TiffEncoder::TiffEncoder() {
    m_description = "TIFF Files (*.tiff;*.tif)";
}

std::unique_ptr<BaseImageEncoder> TiffEncoder::clone() const {
    return std::make_unique<TiffEncoder>(*this);
}

bool TiffEncoder::isFormatSupported(int depth) const {
    return depth == 8 || depth == 16;
}

void TiffEncoder::writeTag(WBaseStream& stream, TiffTag tag, TiffFieldType type, int count,
                           int value) {
    stream.putWord(tag);
    stream.putWord(type);
    stream.putDWord(count);
    stream.putDWord(value);
}

namespace {
/// Writes the directory offset into bytes 4..7 of the finished file.
bool patchDirectoryOffset(const std::string& path, uint32_t offset) {
    std::FILE* f = std::fopen(path.c_str(), "r+b");
    if (!f) return false;
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(offset), static_cast<unsigned char>(offset >> 8),
        static_cast<unsigned char>(offset >> 16), static_cast<unsigned char>(offset >> 24)};
    bool ok = std::fseek(f, 4, SEEK_SET) == 0 && std::fwrite(bytes, 1, 4, f) == 4;
    ok = (std::fclose(f) == 0) && ok;
    return ok;
}
} // namespace

/// Strip byte counts are stored as 16-bit words (packed into the entry for two strips) while they
/// fit; when a strip is larger than 65535 bytes they are stored as a 32-bit array so that no
/// count is truncated.
bool TiffEncoder::write(const _ezImage& image) {
    const int n = image.channels;
    const int width = image.width;
    const int height = image.height;
    if ((image.depth != 8 && image.depth != 16) || (n != 1 && n != 3 && n != 4)) return false;
    if (width == 0 || height == 0 || !image.data) return false;

    const int bytesPerSample = image.depth / 8;
    const int rowBytes = width * n * bytesPerSample;
    const int rowsPerStrip = std::min(height, std::max(1, 8192 / rowBytes));
    const int stripCount = (height + rowsPerStrip - 1) / rowsPerStrip;
    const bool longCounts =
        stripCount >= 2 && static_cast<long long>(rowsPerStrip) * rowBytes > 0xFFFF;

    // Every offset in the file is a 32-bit value and positions are kept as int.
    const long long fileSize = 8 + static_cast<long long>(rowBytes) * height + 1 +
                               8LL * stripCount + 2LL * n + 2 + 9 * 12 + 4;
    if (fileSize > INT_MAX) return false;

    AtomicFile file(m_filename);
    if (!file.isCreated()) return false;
    WBaseStream stream;
    if (!stream.open(file.path())) return false;

    stream.putBytes("II*\0", 4);
    stream.putDWord(0);

    std::vector<int> stripOffsets(static_cast<size_t>(stripCount));
    std::vector<int> stripCounts(static_cast<size_t>(stripCount));
    const unsigned char* src = image.data;
    for (int s = 0; s < stripCount && !stream.hasError(); ++s) {
        const int rows = std::min(rowsPerStrip, height - s * rowsPerStrip);
        stripOffsets[s] = stream.getPos();
        stripCounts[s] = rows * rowBytes;
        for (int r = 0; r < rows; ++r, src += rowBytes) stream.putBytes(src, rowBytes);
    }

    // Directory and arrays must start on a word boundary; the pixels of an odd-sized 8-bit
    // image end on an odd offset, so one pad byte follows them. The arrays that come next are
    // all of even length, so everything after the pad stays aligned.
    if (stream.getPos() % 2 != 0) stream.putByte(0);

    int offsetsPos = 0, countsPos = 0, bitsPos = 0;
    if (stripCount >= 2) {
        offsetsPos = stream.getPos();
        for (int offset : stripOffsets) stream.putDWord(offset);
    }
    if (stripCount >= 3 || longCounts) {
        countsPos = stream.getPos();
        for (int count : stripCounts) longCounts ? stream.putDWord(count) : stream.putWord(count);
    }
    if (n >= 2) {
        bitsPos = stream.getPos();
        for (int i = 0; i < n; ++i) stream.putWord(image.depth);
    }

    const int directoryPos = stream.getPos();
    stream.putWord(9);
    writeTag(stream, kTiffTagImageWidth, kTiffTypeLong, 1, width);
    writeTag(stream, kTiffTagImageLength, kTiffTypeLong, 1, height);
    writeTag(stream, kTiffTagBitsPerSample, kTiffTypeShort, n, n < 2 ? image.depth : bitsPos);
    writeTag(stream, kTiffTagCompression, kTiffTypeLong, 1, 1);
    writeTag(stream, kTiffTagPhotometric, kTiffTypeShort, 1, n < 2 ? 1 : 2);
    writeTag(stream, kTiffTagStripOffsets, kTiffTypeLong, stripCount,
             stripCount == 1 ? stripOffsets[0] : offsetsPos);
    writeTag(stream, kTiffTagSamplesPerPixel, kTiffTypeShort, 1, n);
    writeTag(stream, kTiffTagRowsPerStrip, kTiffTypeLong, 1, rowsPerStrip);
    if (stripCount < 2) {
        writeTag(stream, kTiffTagStripByteCounts, kTiffTypeLong, 1, stripCounts[0]);
    } else if (longCounts) {
        writeTag(stream, kTiffTagStripByteCounts, kTiffTypeLong, stripCount, countsPos);
    } else if (stripCount == 2) {
        writeTag(stream, kTiffTagStripByteCounts, kTiffTypeShort, 2,
                 static_cast<int>(static_cast<uint32_t>(stripCounts[0]) |
                                  static_cast<uint32_t>(stripCounts[1]) << 16));
    } else {
        writeTag(stream, kTiffTagStripByteCounts, kTiffTypeShort, stripCount, countsPos);
    }
    stream.putDWord(0);
    stream.close();

    if (stream.hasError()) return false;
    if (!patchDirectoryOffset(file.path(), static_cast<uint32_t>(directoryPos))) return false;
    return file.commit();
}
