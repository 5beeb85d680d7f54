// The image record: header set-up, allocation, copy.
#include "ezImage/ezImage.h"

#include <cstdlib>
#include <cstring>

void ezInitImageHeader(_ezImage* image, int width, int height, int channels, int depth,
                       int headerSize, unsigned char* data, unsigned char resolution,
                       unsigned char decoded) {
    if (!image) return;
    std::memcpy(image->magic, "QREZ", 4);
    image->width = static_cast<uint16_t>(width);
    image->height = static_cast<uint16_t>(height);
    image->channels = static_cast<uint8_t>(channels);
    image->depth = static_cast<uint8_t>(depth);
    image->headerSize = static_cast<uint16_t>(headerSize);
    const uint16_t stride = static_cast<uint16_t>(width * channels * depth / 8);
    image->stride = stride;
    image->data = data;
    image->resolution = resolution;
    // The tail follows the stored (16-bit) stride, exactly as readers compute it.
    image->tail = data ? data + static_cast<size_t>(stride) * image->height : nullptr;
    image->decoded = decoded;
}

_ezImage* ezCreateImage(int width, int height, int depth, int channels, int headerSize,
                        unsigned char resolution) {
    if (width < 0 || height < 0 || depth < 0 || channels < 0) return nullptr;
    // The header keeps sizes, the header length and the row length in 16 bits: a record that
    // cannot describe itself would misplace its rows, so none is made.
    if (width > 0xFFFF || height > 0xFFFF || headerSize < 0 || headerSize > 0xFFFF) return nullptr;
    if (static_cast<long long>(width) * channels * depth / 8 > 0xFFFF) return nullptr;
    const long long bytes = static_cast<long long>(width) * height * depth * channels / 8;
    auto* image = static_cast<_ezImage*>(std::calloc(1, sizeof(_ezImage)));
    if (!image) return nullptr;
    // Always allocate at least one byte so a zero-sized record still owns a block.
    auto* data =
        static_cast<unsigned char*>(std::malloc(bytes > 0 ? static_cast<size_t>(bytes) : 1));
    if (!data) {
        std::free(image);
        return nullptr;
    }
    ezInitImageHeader(image, width, height, channels, depth, headerSize, data, resolution, 0);
    return image;
}

void ezReleaseImage(_ezImage** image) {
    if (!image || !*image) return;
    std::free((*image)->data);
    std::free(*image);
    *image = nullptr;
}

void ezCopyImage(_ezImage* dst, _ezImage* src) {
    if (!dst || !src) return;
    dst->average0 = src->average0;
    dst->average1 = src->average1;
    dst->average2 = src->average2;
    dst->bayer = src->bayer;
    if (dst->data && src->data) {
        const size_t bytes =
            static_cast<size_t>(src->width) * src->height * src->channels * src->depth / 8;
        std::memmove(dst->data, src->data, bytes);
    }
}
