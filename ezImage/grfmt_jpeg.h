// JPEG writer through the libjpeg 6b interface, and an in-memory JPEG destination.
#pragma once

#include <cstdio>
#include <vector>

#include <jpeglib.h>

#include "ezImage/grfmt_base.h"

/// An in-memory destination: the library fills the fixed-size work buffer, which is appended to
/// the growing output whenever it is full and once more, partly, at the end.
struct JpegDestination {
    jpeg_destination_mgr pub; ///< the library's view; must stay the first member
    std::vector<unsigned char>& buffer;
    std::vector<unsigned char>& output;

    JpegDestination(std::vector<unsigned char>& work, std::vector<unsigned char>& out)
        : pub(), buffer(work), output(out) {}
};

/// Makes dest the compressor's destination. An empty work buffer is given 4096 bytes first.
void jpeg_buffer_dest(jpeg_compress_struct* cinfo, JpegDestination* dest);

/// Writes baseline JPEG files at quality 95 (extensions .jpeg, .jpg, .jpe); 16-bit images keep
/// their high bytes.
class JpegEncoder : public BaseImageEncoder {
public:
    JpegEncoder();
    bool write(const _ezImage& image) override;
    std::unique_ptr<BaseImageEncoder> clone() const override;

    /// Compresses the image exactly as write() does, appending the stream to output.
    bool writeToBuffer(const _ezImage& image, std::vector<unsigned char>& output);
};
