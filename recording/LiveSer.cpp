// SER recording of a running camera. Frames are read and handed to the writer on the calling
// thread, one after the other: no frame is replaced by a newer one on the way, so the file holds
// every frame the camera delivered unless the writer's queue was full (then it is counted).
#include "recording/LiveSer.h"

#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "camera/CamApi.h"
#include "ezImage/FreeFileName.h"

namespace hx::recording {

namespace {

int64_t wallMicros() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return static_cast<int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec;
}

/// The fields of a one-buffer record that the loop needs, checked against the buffer.
struct Record {
    int width = 0, height = 0, depth = 0, channels = 0, headerSize = 0;
    const unsigned char* pixels = nullptr;
};

bool readRecord(const unsigned char* buffer, size_t size, Record& r) {
    if (size < sizeof(_ezImage) || std::memcmp(buffer, "QREZ", 4) != 0) return false;
    _ezImage rec;
    std::memcpy(&rec, buffer, sizeof rec);
    r.width = rec.width;
    r.height = rec.height;
    r.depth = rec.depth;
    r.channels = rec.channels;
    r.headerSize = rec.headerSize;
    if ((r.depth != 8 && r.depth != 16) || (r.channels != 1 && r.channels != 3) ||
        r.headerSize < static_cast<int>(sizeof(_ezImage)) || r.width == 0 || r.height == 0)
        return false;
    const size_t bytes = static_cast<size_t>(r.width) * r.height * r.channels * (r.depth / 8);
    if (r.headerSize + bytes > size) return false;
    r.pixels = buffer + r.headerSize;
    return true;
}

} // namespace

bool recordLiveSer(const char* camName, const std::string& directory, const LiveSerOptions& options,
                   LiveSerResult& result) {
    using Clock = std::chrono::steady_clock;
    result = LiveSerResult{};
    if (!camName) {
        result.error = "no camera";
        return false;
    }
    const int recvSize = RecvMemSize(camName);
    if (recvSize <= 0) {
        result.error = std::string("no camera named '") + camName + "'";
        return false;
    }
    const int head = std::max(DataHeadLen(camName), 64);
    int rawWidth = 0, rawHeight = 0;
    GetRawSize(&rawWidth, &rawHeight, camName);
    const size_t rawBytes =
        std::max(static_cast<size_t>(recvSize),
                 static_cast<size_t>(head) +
                     static_cast<size_t>(std::max(rawWidth, 0)) * std::max(rawHeight, 0) * 2 + 512);
    std::vector<unsigned char> raw(rawBytes);
    std::vector<unsigned char> show(options.processed ? head + rawBytes * 3 + 4128 : 0);

    SerWriter writer(options.writer);
    bool opened = false;
    int flip = 0;
    int64_t mismatched = 0;
    const auto started = Clock::now();
    Clock::time_point recordStart{};
    const auto length = std::chrono::duration<double>(std::max(options.seconds, 0.0));
    const auto waitLimit = length + std::chrono::seconds(10);

    for (;;) {
        const auto now = Clock::now();
        if (opened && now - recordStart >= length) break;
        if (!opened && now - started > waitLimit) {
            result.error = "the camera delivered no frames";
            break;
        }
        if (options.maxFrames > 0 && result.read >= options.maxFrames) break;
        const int r = GetRawData(raw.data(), static_cast<int>(rawBytes), camName);
        if (r == -1) {
            result.error = "the camera has gone";
            break;
        }
        if (r != 0 && r != 1) continue;
        Record frame;
        if (!readRecord(raw.data(), raw.size(), frame)) continue;
        HalvexFrameInfo info{};
        const bool described = GetFrameInfo(raw.data(), &info) == 0;
        const int64_t stamp = described ? info.exposureStartUs : wallMicros();

        int frameFlip = 0;
        int32_t colour = kSerMono;
        int depth = frame.depth;
        const unsigned char* pixels = frame.pixels;
        if (options.processed) {
            Record image;
            if (DecodeRaw2Image(raw.data(), show.data(), camName) != 0 ||
                !readRecord(show.data(), show.size(), image)) {
                ++result.read;
                ++mismatched;
                continue;
            }
            // The live view's 8 bits: the high byte of each 16-bit sample.
            auto* samples = show.data() + image.headerSize;
            const size_t count = static_cast<size_t>(image.width) * image.height * image.channels;
            if (image.depth == 16)
                for (size_t i = 0; i < count; ++i) samples[i] = samples[2 * i + 1];
            frame = image;
            pixels = samples;
            depth = 8;
            colour = image.channels == 3 ? kSerRGB : kSerMono;
        } else {
            if (frame.channels != 1) continue;
            frameFlip = described ? info.flip & 3 : 0;
            // One orientation for the whole file: the flip of the first frame.
            const int turn = opened ? flip : frameFlip;
            colour =
                described
                    ? serColourOfBayer(ezFlipBayer(info.bayer, turn, frame.width, frame.height))
                    : kSerMono;
        }
        ++result.read;

        if (!opened) {
            SerFormat format;
            format.width = frame.width;
            format.height = frame.height;
            format.colour = colour;
            format.depth = depth;
            format.observer = options.observer;
            format.telescope = options.telescope;
            format.instrument =
                described && info.model[0]
                    ? std::string(info.model, strnlen(info.model, sizeof info.model))
                    : std::string(camName);
            result.path =
                hx::files::freeFileName(SerWriter::serPath(directory, std::time(nullptr)));
            if (!writer.open(result.path, format)) {
                result.error = writer.error();
                result.read = 0;
                return false;
            }
            opened = true;
            recordStart = Clock::now();
            flip = frameFlip;
            result.width = format.width;
            result.height = format.height;
            result.depth = format.depth;
            result.colour = format.colour;
        } else if (frame.width != result.width || frame.height != result.height ||
                   depth != result.depth || colour != result.colour) {
            ++mismatched;
            continue;
        }
        writer.append(pixels, stamp, options.processed ? 0 : flip);
    }
    if (!opened) return false;
    const bool whole = writer.close();
    result.written = writer.framesWritten();
    result.dropped = writer.framesDropped() + mismatched;
    if (!whole && result.error.empty()) result.error = writer.error();
    return true;
}

} // namespace hx::recording
