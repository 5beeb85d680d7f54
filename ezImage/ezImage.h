// Halvex Capture image record and image-file layer: the one record every layer shares,
// the codec registry and the load/save entry points.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "ezImage/HalvexFrameInfo.h"

static_assert(sizeof(void*) == 8, "the image record lays out 8-byte pointers");

#pragma pack(push, 1)
/// The image record: a packed 56-byte little-endian header; pixels are reached through `data`.
/// The first headerSize bytes of a raw frame record are also the header of the RAW container.
struct _ezImage {
    char magic[4];      ///< "QREZ"
    uint16_t width;     ///< pixels per row
    uint16_t height;    ///< rows
    uint8_t depth;      ///< bits per sample: 8 or 16 (16-bit samples little-endian)
    uint8_t channels;   ///< samples per pixel: 1 or 3 (4 accepted by the file layer)
    uint8_t bayer;      ///< Bayer code of the sensor (0 monochrome, 1 BGGR, 2 GBRG, 3 RGGB, 4 GRBG)
    uint8_t resolution; ///< resolution index the frame was taken at
    uint16_t headerSize;    ///< offset of the pixels when header and pixels share one buffer
    uint16_t stride;        ///< bytes per row: width * channels * depth / 8
    unsigned char* data;    ///< first pixel byte
    unsigned char* tail;    ///< data + stride * height; the statistics area lives here
    uint8_t decoded;        ///< 0 raw sensor data, 1 demosaiced
    uint8_t clock;          ///< pixel-clock code at capture
    uint16_t gain;          ///< analog gain at capture
    uint16_t black;         ///< black level at capture
    uint16_t productId;     ///< USB product id
    uint16_t vendorId;      ///< USB vendor id
    uint16_t deviceRelease; ///< USB device release number
    float exposureTime;     ///< exposure of the frame
    uint8_t reserved[2];    ///< never written
    uint16_t average0;      ///< mean of channel 0 (grey mean of one-channel records)
    uint16_t average1;      ///< mean of channel 1
    uint16_t average2;      ///< mean of channel 2
};

/// A pixel position: row, then column.
struct _ezPoint {
    int16_t row;
    int16_t column;
};

/// A rectangle; right and bottom are exclusive.
struct __IMG_RECT {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
};
#pragma pack(pop)

static_assert(sizeof(_ezImage) == 56);
static_assert(offsetof(_ezImage, magic) == 0);
static_assert(offsetof(_ezImage, width) == 4);
static_assert(offsetof(_ezImage, height) == 6);
static_assert(offsetof(_ezImage, depth) == 8);
static_assert(offsetof(_ezImage, channels) == 9);
static_assert(offsetof(_ezImage, bayer) == 10);
static_assert(offsetof(_ezImage, resolution) == 11);
static_assert(offsetof(_ezImage, headerSize) == 12);
static_assert(offsetof(_ezImage, stride) == 14);
static_assert(offsetof(_ezImage, data) == 16);
static_assert(offsetof(_ezImage, tail) == 24);
static_assert(offsetof(_ezImage, decoded) == 32);
static_assert(offsetof(_ezImage, clock) == 33);
static_assert(offsetof(_ezImage, gain) == 34);
static_assert(offsetof(_ezImage, black) == 36);
static_assert(offsetof(_ezImage, productId) == 38);
static_assert(offsetof(_ezImage, vendorId) == 40);
static_assert(offsetof(_ezImage, deviceRelease) == 42);
static_assert(offsetof(_ezImage, exposureTime) == 44);
static_assert(offsetof(_ezImage, reserved) == 48);
static_assert(offsetof(_ezImage, average0) == 50);
static_assert(offsetof(_ezImage, average1) == 52);
static_assert(offsetof(_ezImage, average2) == 54);
static_assert(sizeof(_ezPoint) == 4);
static_assert(sizeof(__IMG_RECT) == 16);

/// Size of the statistics area that the histogram writes after the pixels of a record.
inline constexpr int kEzStatisticsBytes = 4128;

// ---- the record ----------------------------------------------------------------------------

/// Writes magic, geometry, headerSize, stride, data, tail, resolution and decoded; nothing else.
void ezInitImageHeader(_ezImage* image, int width, int height, int channels, int depth,
                       int headerSize, unsigned char* data, unsigned char resolution,
                       unsigned char decoded);
/// Allocates a record and its pixel block (not cleared). Note: depth before channels.
/// Returns null when the size is negative or the allocation fails.
_ezImage* ezCreateImage(int width, int height, int depth, int channels, int headerSize,
                        unsigned char resolution);
/// Frees a record made by ezCreateImage and nulls the caller's pointer.
void ezReleaseImage(_ezImage** image);
/// Copies the means, the Bayer code and the source's pixel bytes into dst's pixel block.
void ezCopyImage(_ezImage* dst, _ezImage* src);

// ---- per-frame information -----------------------------------------------------------------

/// Reads the frame information block of a record whose header and pixels share one buffer
/// (data == record + headerSize) and whose header area holds the block. False, with info
/// untouched, for any other record.
bool ezReadFrameInfo(const _ezImage& image, HalvexFrameInfo& info);
/// The same for a buffer that starts with a one-buffer record: the block is taken from the
/// header area that headerSize announces. Fills capacity bytes of info at most (the block's
/// missing tail as zeros). False for a buffer without record magic or without the block.
bool ezReadFrameInfo(const unsigned char* buffer, HalvexFrameInfo* info, size_t capacity);
/// Writes the block (magic and size set here) into the header area of a one-buffer record;
/// false when the header area is too small.
bool ezWriteFrameInfo(_ezImage& image, const HalvexFrameInfo& info);
/// Removes the block from a record's header area, so that no stale block describes it.
void ezClearFrameInfo(_ezImage& image);

/// The Bayer code of a mosaic seen from (dx, dy) on: an odd step across or down changes which
/// colour comes first. Codes as in the image record (0 monochrome stays 0).
int ezShiftBayer(int code, int dx, int dy);
/// The Bayer code of a width x height mosaic after a flip (1 mirrored, 2 upside down): the
/// last column (row) becomes the first.
int ezFlipBayer(int code, int flip, int width, int height);
/// The pattern name of a code ("RGGB", "BGGR", "GRBG", "GBRG"); null for 0 and unknown codes.
const char* ezBayerName(int code);

// ---- the codec registry (grfmt / loadsave) -------------------------------------------------

class BaseImageEncoder;
class BaseImageDecoder;

void ezInitGrfmt();
void exExitGrfmt();
BaseImageEncoder* findEncoder(const std::string& fileName);
BaseImageDecoder* findDecoder(const std::string& fileName);
/// Writes the image in the format the file name's extension selects.
bool ezSaveImage(const std::string& fileName, const _ezImage* image);
/// Reads an image back (the RAW container); null on any failure.
_ezImage* ezLoadImage(const std::string& fileName);
