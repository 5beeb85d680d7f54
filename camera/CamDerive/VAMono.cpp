// The conversion of the one-channel 1.3-megapixel cameras (VAo131M1, VAg131M1, VAh131M1): a
// checkerboard filter instead of demosaicing, then the base chain's grey steps.
#include <cstdint>
#include <cstring>
#include <string>

#include "algorithms/algorithms.h"
#include "camera/CamDerive/VA.h"

namespace {

/// Filters an 8-bit raw frame into out on a checkerboard: on every other position the mean of
/// the four orthogonal neighbours, on the positions between them the pixel weighted four times
/// with its four diagonal neighbours. Pixels the filter does not reach keep their value.
void checkerboard(const uint8_t* raw, uint8_t* out, int width, int height) {
    const auto at = [raw, width](int row, int col) -> unsigned {
        return raw[static_cast<size_t>(row) * width + col];
    };
    for (int y = 0; y + 4 <= height; ++y) {
        const int p = (y % 2 == 0) ? 1 : 0;
        uint8_t* row = out + static_cast<size_t>(y + 1) * width;
        for (int i = 0; p + i <= width - 4; i += 2) {
            const int c = p + i;
            row[1 + c] = static_cast<uint8_t>(
                (at(y + 1, c) + at(y, 1 + c) + at(y + 1, 2 + c) + at(y + 2, 1 + c) + 2) / 4);
            row[2 + c] = static_cast<uint8_t>((4 * at(y + 1, 2 + c) + at(y, 1 + c) + at(y, 3 + c) +
                                               at(y + 2, 1 + c) + at(y + 2, 3 + c)) /
                                              8);
        }
    }
}

} // namespace

/// Raw frame to finished image: publish the grey tables, filter, cut the 4-pixel border, flat
/// field, flip, grey tone, histogram, stretch, and serve a pending snapshot taken at the current
/// resolution. Returns 0; -2 for missing buffers, a header that is not a frame record or a
/// frame that is not 8-bit.
int VAo131M1::_raw2image(unsigned char* raw, unsigned char* out, bool /*crop*/) {
    if (!raw || !out || raw == out) return -2;
    auto* rawImage = reinterpret_cast<_ezImage*>(raw);
    auto* image = reinterpret_cast<_ezImage*>(out);
    if (std::memcmp(rawImage->magic, "QREZ", 4) != 0) return -2;
    const int width = rawImage->width, height = rawImage->height, depth = rawImage->depth;
    const int headerSize = rawImage->headerSize;
    const unsigned char resolutionIndex = rawImage->resolution, decoded = rawImage->decoded;
    if (depth != 8 || headerSize < static_cast<int>(sizeof(_ezImage)) || width < 9 || height < 9)
        return -2;
    std::lock_guard conversion(conversionLock);

    {
        Lock lock(settingsLock);
        _swap_software(&software[kSwGamma0], kCurveTableSize);
        _swap_software(&software[kSwContrast], kCurveTableSize);
        _swap_software(&software[kSwStretch0], kCurveTableSize);
    }
    ezInitImageHeader(rawImage, width, height, 1, depth, headerSize, raw + headerSize,
                      resolutionIndex, decoded);
    std::memmove(out, raw, sizeof(_ezImage));
    ezInitImageHeader(image, width, height, _channles(), depth, headerSize, out + headerSize,
                      resolutionIndex, decoded);
    checkerboard(rawImage->data, image->data, width, height);
    __roi(image, 4, 4, width - 8, height - 8);

    if (flatField.load()) _image_fladfield(image);
    const int flipCode = flip.load();
    __flip(image, flipCode);
    carryFrameInfo(rawImage, image, flipCode);
    _gray_image_process(image);
    if (histogram.load()) __calc_histogram(image);
    bool stretch = false;
    {
        Lock lock(settingsLock);
        SoftWareValue& s = software[kSwStretch0];
        if (s.value != 0) {
            if (s.table)
                __matrix_stretch(histStatistic(image, kHistLumaLow),
                                 histStatistic(image, kHistLumaHigh), s.table, kCurveTableSize);
            stretch = true;
        } else {
            stretch = s.min != 0 || s.max != 255;
        }
    }
    if (stretch) _image_stretch(image);

    // A pending snapshot is served by the first frame at the current resolution, whatever its
    // size.
    if (savePending.load()) {
        std::string path;
        int16_t saved = 0;
        int formats = 0;
        bool serve = false;
        {
            Lock lock(settingsLock);
            if (savePending.load() && rawImage->resolution == resolution.value) {
                path = savePath;
                saved = savedResolution;
                formats = snapFormat.load();
                serve = true;
            }
        }
        if (serve) {
            writeSnapshotFiles(path, formats, rawImage, image);
            Lock lock(settingsLock);
            if (savePath == path && savedResolution == saved) {
                savePending = false;
                if (saved != resolution.value) _set_resolution(saved, false);
            }
        }
    }
    return 0;
}
