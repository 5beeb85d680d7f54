// The flat API's image functions: they work on one-buffer image records (header and pixels in
// one block) and need no camera.
#include <cstring>

#include "algorithms/calibration.h"
#include "algorithms/geometry.h"
#include "camera/CamRegistry.h"

namespace {

_ezImage* record(unsigned char* buffer) {
    return reinterpret_cast<_ezImage*>(buffer);
}

bool isRecord(const _ezImage* image) {
    return std::memcmp(image->magic, "QREZ", 4) == 0;
}

} // namespace

/// Resizes source into target at width x height; target takes the source's channels, depth,
/// header size, resolution and decoded flag. -4 for a source that is not a record; -2 for a
/// missing buffer, a bad size, or a source header whose depth, channels, header size or
/// geometry cannot describe an image (checked before the target is touched).
int ResizeImage(unsigned char* source, unsigned char* target, int width, int height) {
    if (!source || !target || width <= 0 || height <= 0 || width > 0xFFFF || height > 0xFFFF)
        return -2;
    _ezImage* src = record(source);
    if (!isRecord(src)) return -4;
    if ((src->depth != 8 && src->depth != 16) || (src->channels != 1 && src->channels != 3) ||
        static_cast<size_t>(src->headerSize) < sizeof(_ezImage) || src->width == 0 ||
        src->height == 0)
        return -2;
    _ezImage* dst = record(target);
    src->data = source + src->headerSize;
    ezInitImageHeader(dst, width, height, src->channels, src->depth, src->headerSize,
                      target + src->headerSize, src->resolution, src->decoded);
    dst->decoded = src->decoded;
    __resize(src, dst);
    return 0;
}

int CalcAverage(unsigned char* image) {
    if (!image) return -2;
    if (!isRecord(record(image))) return -4;
    __calc_avg(record(image), 0);
    return 0;
}

/// The intensity of one pixel: the grey value, or (r + 6g + 3b) / 10 for colour records.
int GetPointIntensity(int x, int y, unsigned char* image) {
    if (!image) return -1;
    const _ezImage* im = record(image);
    if (im->magic[0] != 'Q') return -1;
    if (x < 0 || y < 0 || x >= im->width || y >= im->height) return -1;
    if (im->depth != 8 && im->depth != 16) return -1;
    const int channels = im->channels;
    const size_t index = (static_cast<size_t>(y) * im->width + x) * channels;
    const unsigned char* pixels = image + im->headerSize;
    auto sample = [&](int k) -> int {
        if (im->depth == 8) return pixels[index + k];
        const unsigned char* p = pixels + 2 * (index + k);
        return p[0] | (p[1] << 8);
    };
    if (channels == 3) return (sample(0) + 6 * sample(1) + 3 * sample(2)) / 10;
    return sample(0);
}

/// Bayer-phase means over a window of a raw record. The window starts at even coordinates and
/// its sides are multiples of 4; a window running past the image is cut at its edge.
int GetImageIntensity(unsigned char* image, int x, int y, int width, int height, float* out1,
                      float* out2, float* out3, float* out4, float* out5) {
    if (!image || !out1 || !out2 || !out3 || !out4 || !out5) return -2;
    _ezImage* im = record(image);
    if (im->decoded || !isRecord(im)) return -4;
    if (x < 0 || y < 0) return -2;
    x &= ~1;
    y &= ~1;
    width &= ~3;
    height &= ~3;
    if (x > im->width || y > im->height || width <= 0 || height <= 0) return -2;
    if (x + width > im->width) width = im->width - x;
    if (y + height > im->height) height = im->height - y;
    if (width <= 0 || height <= 0) return -2;
    if (im->depth != 8 && im->depth != 16) return -2;
    _ezImage* copy =
        ezCreateImage(im->width, im->height, im->depth, im->channels, 56, im->resolution);
    if (!copy) return -3;
    im->data = image + im->headerSize;
    ezCopyImage(copy, im);
    copy->decoded = 0;
    __roi(copy, x, y, width, height);
    int result = __image_intensity(copy, out1, out2, out3, out4, out5);
    ezReleaseImage(&copy);
    return result;
}

int ShiftOperation(unsigned char* image, int shiftOperator) {
    if (!image) return -2;
    if (!isRecord(record(image))) return -4;
    return __shift_operation(record(image), shiftOperator);
}

int GetFrameInfo(const unsigned char* frame, HalvexFrameInfo* info) {
    if (!frame || !info) return -2;
    size_t capacity = sizeof(HalvexFrameInfo);
    if (info->size >= 16 && info->size < sizeof(HalvexFrameInfo)) capacity = info->size;
    return ezReadFrameInfo(frame, info, capacity) ? 0 : -4;
}
