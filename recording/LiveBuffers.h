// What a live recording reads a camera's frames into: the size of a raw frame buffer, large
// enough for the whole frame and its head, taken once before the first read.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>

#include "camera/CamApi.h"

namespace hx::recording {

struct LiveBuffers {
    int head = 0;        ///< bytes before the samples (at least 64)
    size_t rawBytes = 0; ///< one raw frame with its head and trailer
};

/// The buffer sizes for the camera `camName`; false with `error` set when there is no such
/// camera.
inline bool liveBuffers(const char* camName, LiveBuffers& sizes, std::string& error) {
    if (!camName) {
        error = "no camera";
        return false;
    }
    const int recvSize = RecvMemSize(camName);
    if (recvSize <= 0) {
        error = std::string("no camera named '") + camName + "'";
        return false;
    }
    sizes.head = std::max(DataHeadLen(camName), 64);
    int rawWidth = 0, rawHeight = 0;
    GetRawSize(&rawWidth, &rawHeight, camName);
    sizes.rawBytes =
        std::max(static_cast<size_t>(recvSize),
                 static_cast<size_t>(sizes.head) +
                     static_cast<size_t>(std::max(rawWidth, 0)) * std::max(rawHeight, 0) * 2 + 512);
    return true;
}

} // namespace hx::recording
