// The frame information block in a record's header area, and the Bayer code arithmetic that
// the writers of raw sensor data need when a frame is cut or flipped.
#include <algorithm>
#include <cstring>

#include "ezImage/ezImage.h"

namespace {

constexpr char kInfoMagic[4] = {'H', 'X', 'F', 'I'};
/// The smallest block a reader accepts: the version-1 block.
constexpr size_t kMinimumBlock = sizeof(HalvexFrameInfo);

/// Where the block lies in a one-buffer record, or null when the header area cannot hold the
/// smallest block.
const unsigned char* blockOf(const unsigned char* buffer) {
    const auto* image = reinterpret_cast<const _ezImage*>(buffer);
    if (std::memcmp(image->magic, "QREZ", 4) != 0) return nullptr;
    if (image->headerSize < HALVEX_FRAME_INFO_OFFSET + kMinimumBlock) return nullptr;
    return buffer + HALVEX_FRAME_INFO_OFFSET;
}

/// The column and row parity of the red sample in the 2 x 2 cell of a code: RGGB has red at
/// (0, 0), GRBG at (1, 0), GBRG at (0, 1), BGGR at (1, 1).
bool redAt(int code, int& x, int& y) {
    switch (code) {
    case 3:
        x = 0, y = 0;
        return true;
    case 4:
        x = 1, y = 0;
        return true;
    case 2:
        x = 0, y = 1;
        return true;
    case 1:
        x = 1, y = 1;
        return true;
    default:
        return false;
    }
}

int codeWithRedAt(int x, int y) {
    static constexpr int kCodes[2][2] = {{3, 4}, {2, 1}}; // [y][x]
    return kCodes[y & 1][x & 1];
}

} // namespace

bool ezReadFrameInfo(const unsigned char* buffer, HalvexFrameInfo* info, size_t capacity) {
    if (!buffer || !info) return false;
    const unsigned char* block = blockOf(buffer);
    if (!block || std::memcmp(block, kInfoMagic, 4) != 0) return false;
    uint32_t size = 0;
    std::memcpy(&size, block + 4, sizeof size);
    const auto* image = reinterpret_cast<const _ezImage*>(buffer);
    // A block must be whole and lie inside the header area the record announces.
    if (size < kMinimumBlock ||
        size > static_cast<uint32_t>(image->headerSize - HALVEX_FRAME_INFO_OFFSET))
        return false;
    capacity = std::min(capacity, sizeof(HalvexFrameInfo));
    std::memset(info, 0, capacity);
    std::memcpy(info, block, std::min<size_t>(capacity, size));
    return true;
}

bool ezReadFrameInfo(const _ezImage& image, HalvexFrameInfo& info) {
    const auto* base = reinterpret_cast<const unsigned char*>(&image);
    // Only a record whose pixels follow its header in one buffer owns the bytes after it.
    if (!image.data || image.data != base + image.headerSize) return false;
    return ezReadFrameInfo(base, &info, sizeof info);
}

bool ezWriteFrameInfo(_ezImage& image, const HalvexFrameInfo& info) {
    if (image.headerSize < HALVEX_FRAME_INFO_OFFSET + sizeof(HalvexFrameInfo)) return false;
    HalvexFrameInfo block = info;
    std::memcpy(block.magic, kInfoMagic, 4);
    block.size = sizeof(HalvexFrameInfo);
    std::memcpy(reinterpret_cast<unsigned char*>(&image) + HALVEX_FRAME_INFO_OFFSET, &block,
                sizeof block);
    return true;
}

void ezClearFrameInfo(_ezImage& image) {
    if (image.headerSize < HALVEX_FRAME_INFO_OFFSET + 4) return;
    std::memset(reinterpret_cast<unsigned char*>(&image) + HALVEX_FRAME_INFO_OFFSET, 0, 4);
}

int ezShiftBayer(int code, int dx, int dy) {
    int x = 0, y = 0;
    if (!redAt(code, x, y)) return code;
    return codeWithRedAt(x ^ (dx & 1), y ^ (dy & 1));
}

int ezFlipBayer(int code, int flip, int width, int height) {
    const int dx = (flip & 1) ? (width - 1) : 0;
    const int dy = (flip & 2) ? (height - 1) : 0;
    return ezShiftBayer(code, dx, dy);
}

const char* ezBayerName(int code) {
    switch (code) {
    case 1:
        return "BGGR";
    case 2:
        return "GBRG";
    case 3:
        return "RGGB";
    case 4:
        return "GRBG";
    default:
        return nullptr;
    }
}
