// The frame information of a cooled colour camera's dark frame, with every optional field
// present: what FITS tests and the FITS benchmark write into a raw frame's head.
#pragma once

#include <cstring>

#include "ezImage/HalvexFrameInfo.h"

namespace hxtest {

inline HalvexFrameInfo sampleFrameInfo() {
    HalvexFrameInfo info{};
    info.sequence = 7;
    info.exposureStartUs = 1765275072345678LL; // 2025-12-09T10:11:12.345678 UTC
    info.exposureMs = 12.5f;
    info.temperature = -10.25f;
    info.setTemperature = -15.0f;
    info.flags = HALVEX_INFO_GAIN | HALVEX_INFO_BLACK_LEVEL | HALVEX_INFO_TEMPERATURE |
                 HALVEX_INFO_SET_TEMPERATURE;
    info.gain = 42;
    info.blackLevel = 17;
    info.originX = 101;
    info.originY = 51;
    info.binX = 2;
    info.binY = 2;
    info.bayer = 3;
    info.frameType = HALVEX_FRAME_DARK;
    std::strcpy(info.model, "VAh200C1");
    return info;
}

} // namespace hxtest
