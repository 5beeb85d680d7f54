// Per-frame information: what the camera knew about one frame when it read it (sequence number,
// exposure start in UTC, exposure, gain, black level, temperature, region, binning, Bayer
// pattern, flip, snapshot mark, frame type). The frame read writes it into the raw frame's head
// right after the 56-byte image record; the conversion copies it into the finished image's head,
// so it travels with the buffer and lands in the header area of RAW files.
//
// Plain C layout, natural alignment, little-endian, fixed widths: the block is also what lies on
// disk. New fields are only ever appended; `size` says how much of the block a writer filled.
// This header is installed with the SDK beside CamApi.h and needs only the C standard library.
#pragma once

#include <stddef.h>
#include <stdint.h>

/// Kind of exposure a frame is, as set per camera with SetFrameType.
enum HalvexFrameType {
    HALVEX_FRAME_LIGHT = 0, ///< an ordinary exposure of the object
    HALVEX_FRAME_DARK = 1,  ///< the sensor covered, same exposure as the lights
    HALVEX_FRAME_FLAT = 2,  ///< an evenly lit field
    HALVEX_FRAME_BIAS = 3,  ///< the sensor covered, shortest exposure
};

/// Bits of HalvexFrameInfo::flags: which of the optional values the frame carries.
enum HalvexFrameInfoFlags {
    HALVEX_INFO_GAIN = 1,            ///< `gain` is the camera's analog gain setting
    HALVEX_INFO_BLACK_LEVEL = 2,     ///< `blackLevel` is the camera's black level setting
    HALVEX_INFO_TEMPERATURE = 4,     ///< `temperature` was read from the camera for this frame
    HALVEX_INFO_SET_TEMPERATURE = 8, ///< `setTemperature` is the cooler's target
    HALVEX_INFO_SNAPSHOT = 16,       ///< the frame carries the camera's external-snapshot mark
};

/// The frame information block, 72 bytes in this version.
struct HalvexFrameInfo {
    char magic[4];           ///< "HXFI"
    uint32_t size;           ///< bytes of the block as written (72 in this version)
    uint64_t sequence;       ///< 1 for the camera's first frame after it was opened, +1 per frame
    int64_t exposureStartUs; ///< exposure start, microseconds since 1970-01-01 00:00:00 UTC
    float exposureMs;        ///< exposure the camera used for this frame, milliseconds
    float temperature;       ///< sensor temperature in degrees Celsius (HALVEX_INFO_TEMPERATURE)
    float setTemperature;    ///< cooler target in degrees Celsius (HALVEX_INFO_SET_TEMPERATURE)
    uint32_t flags;          ///< HalvexFrameInfoFlags
    uint16_t gain;           ///< analog gain setting (HALVEX_INFO_GAIN)
    uint16_t blackLevel;     ///< black level setting (HALVEX_INFO_BLACK_LEVEL)
    uint16_t originX;        ///< sensor column of the first pixel (finished images: their own
                             ///< first pixel, 4 in from the frame), 0 for a whole raw frame
    uint16_t originY;        ///< sensor row of the first pixel, likewise
    uint8_t binX;            ///< binning of the resolution item across (1: none)
    uint8_t binY;            ///< binning of the resolution item down (1: none)
    uint8_t bayer;           ///< pattern of the samples as delivered: 0 mono, 1 BGGR, 2 GBRG,
                             ///< 3 RGGB, 4 GRBG (of the raw samples, before any flip)
    uint8_t flip;            ///< 1 mirrored, 2 upside down: the raw frame's setting; the finished
                             ///< image's flip as applied
    uint8_t frameType;       ///< HalvexFrameType
    uint8_t reserved[3];     ///< 0
    char model[16];          ///< camera model, e.g. "VAh200C1", NUL-terminated
};

#ifdef __cplusplus
static_assert(sizeof(HalvexFrameInfo) == 72, "the frame information block is 72 bytes");
static_assert(offsetof(HalvexFrameInfo, sequence) == 8, "frame information layout");
static_assert(offsetof(HalvexFrameInfo, exposureStartUs) == 16, "frame information layout");
static_assert(offsetof(HalvexFrameInfo, flags) == 36, "frame information layout");
static_assert(offsetof(HalvexFrameInfo, gain) == 40, "frame information layout");
static_assert(offsetof(HalvexFrameInfo, binX) == 48, "frame information layout");
static_assert(offsetof(HalvexFrameInfo, frameType) == 52, "frame information layout");
static_assert(offsetof(HalvexFrameInfo, model) == 56, "frame information layout");
#endif

/// Offset of the block from the start of an image record's buffer (just after the record).
#define HALVEX_FRAME_INFO_OFFSET 56
