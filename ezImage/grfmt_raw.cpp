// RAW container writer and reader.
#include "ezImage/grfmt_raw.h"

#include <cstring>

#include "ezImage/bitstrm.h"

RawEncoder::RawEncoder() {
    m_description = "(*.raw)";
}

std::unique_ptr<BaseImageEncoder> RawEncoder::clone() const {
    return std::make_unique<RawEncoder>(*this);
}

/// Writes headerSize header bytes and then height × stride pixel bytes. The header is the record
/// as it lies in memory; bytes beyond the 56-byte record are taken from memory only when the pixels
/// follow the header in one buffer, and are zero otherwise. The two pointers are stored as zero.
bool RawEncoder::write(const _ezImage& image) {
    if (!image.data && image.height > 0 && image.stride > 0) return false;
    // A stride that disagrees with the geometry (a wrapped row length, a foreign header) would
    // write a file that does not read back as this image; so would a header shorter than the
    // record itself.
    if (image.stride != ezRowBytes(image) || image.headerSize < sizeof(_ezImage)) return false;
    AtomicFile file(m_filename);
    if (!file.isCreated()) return false;
    WBaseStream stream;
    if (!stream.open(file.path())) return false;

    const auto* record = reinterpret_cast<const unsigned char*>(&image);
    const int headerSize = image.headerSize;
    unsigned char head[sizeof(_ezImage)];
    std::memcpy(head, record, sizeof head);
    std::memset(head + offsetof(_ezImage, data), 0, 2 * sizeof(void*));
    const int fromRecord = headerSize < static_cast<int>(sizeof head) ? headerSize : sizeof head;
    stream.putBytes(head, fromRecord);
    if (headerSize > fromRecord) {
        const bool oneBuffer = image.data == record + headerSize;
        if (oneBuffer) {
            stream.putBytes(record + fromRecord, headerSize - fromRecord);
        } else {
            for (int i = fromRecord; i < headerSize; ++i) stream.putByte(0);
        }
    }
    if (image.stride > 0)
        for (size_t y = 0; y < image.height; ++y)
            stream.putBytes(image.data + y * image.stride, image.stride);
    stream.close();
    if (stream.hasError()) return false;
    return file.commit();
}

RawDecoder::RawDecoder() {
    m_signature = "QREZ";
}

std::unique_ptr<BaseImageDecoder> RawDecoder::newDecoder() const {
    return std::make_unique<RawDecoder>();
}

/// Reads the geometry and the data offset. Accepted: one channel, depth 8 or 16, non-zero size,
/// rows whose length fits the record's 16-bit stride, pixels that start after the 56-byte
/// record (an offset inside it could not be written back as it was read), and a pixel block no
/// larger than kRawMaxPixelBytes (checked before anyone allocates it).
bool RawDecoder::readHeader(RBaseStream& stream) {
    if (!stream.open(m_filename)) return false;
    stream.skip(4);
    m_width = stream.getWord();
    m_height = stream.getWord();
    m_depth = stream.getByte();
    m_channels = stream.getByte();
    stream.skip(2);
    m_offset = stream.getWord();

    const long long bytes = static_cast<long long>(m_width) * m_height * m_depth / 8;
    const long long rowBytes = static_cast<long long>(m_width) * m_depth / 8;
    const bool ok = m_width > 0 && m_height > 0 && m_channels == 1 &&
                    (m_depth == 8 || m_depth == 16) && rowBytes <= 0xFFFF &&
                    m_offset >= static_cast<int>(sizeof(_ezImage)) && bytes <= kRawMaxPixelBytes;
    if (!ok) {
        m_offset = m_width = m_height = m_depth = -1;
        stream.close();
        return false;
    }
    return true;
}

/// Reads height rows of the record's stride from the data offset. Bytes beyond the end of a
/// truncated file read as zero.
bool RawDecoder::readData(_ezImage& image, RBaseStream& stream) {
    if (m_offset < 0 || !stream.isOpened() || !image.data) return false;
    stream.setPos(m_offset);
    const int stride = image.stride;
    unsigned char* row = image.data;
    for (int y = 0; y < image.height; ++y, row += stride) {
        const int got = stream.getBytes(row, stride);
        if (got < stride) std::memset(row + got, 0, static_cast<size_t>(stride - got));
    }
    return true;
}
