// SER recording of a running camera through the flat camera API: every frame the camera
// delivers goes to the file in order, with the time stamp the frame read took.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "recording/SerWriter.h"

namespace hx::recording {

struct LiveSerOptions {
    double seconds = 5;     ///< length of the recording in wall-clock seconds
    int64_t maxFrames = 0;  ///< also stop after this many frames read (0: no limit)
    bool processed = false; ///< record the finished 8-bit image (grey or RGB) as the live view
                            ///< shows it, instead of the sensor samples
    SerOptions writer;      ///< queue and header-refresh options
    std::string observer, telescope;
    /// Asked between frames: true ends the recording early, closed as at its planned end.
    std::function<bool()> stopRequested;
};

struct LiveSerResult {
    std::string path;
    int width = 0, height = 0, depth = 0;
    int32_t colour = kSerMono;
    int64_t read = 0;    ///< frames the camera delivered while recording
    int64_t written = 0; ///< frames in the file
    int64_t dropped = 0; ///< frames lost: queue full, disk failure, frames of another size,
                         ///< and frames the camera delivered that the reads missed
    std::string error;   ///< why nothing (or not everything) was recorded; empty on success
};

/// One SER recording fed frame by frame, from any one thread at a time; finish() may come from
/// another thread. The file is created with the first frame, whose size and layout every
/// later frame must have (others are dropped and counted). Raw frames are the records
/// GetRawData fills: their samples, turned by the first frame's flip, with the mosaic's
/// ColorID as it lies in the file. Finished frames are records DecodeRaw2Image fills: they are
/// reduced to 8 bits in place and recorded as grey or RGB.
class LiveSerSession {
public:
    LiveSerSession(std::string camName, std::string directory, const LiveSerOptions& options);
    ~LiveSerSession();
    LiveSerSession(const LiveSerSession&) = delete;
    LiveSerSession& operator=(const LiveSerSession&) = delete;

    /// False once the file could not be made or the session is finished.
    bool addRawFrame(const unsigned char* buffer, size_t size);
    bool addFinishedFrame(unsigned char* buffer, size_t size);
    /// Closes the file and reports; true when a file was written.
    bool finish(LiveSerResult& result);
    /// Frames taken so far (also those dropped).
    int64_t framesTaken();
    /// Whether the file could not be created (error in finish's result).
    bool openFailed();
    /// Whether the disk refused a write: the file keeps its whole frames, later ones are lost.
    bool writeFailed();
    /// Whether the recording takes finished frames (addFinishedFrame) rather than raw ones.
    bool processed() const { return options_.processed; }

private:
    bool add(const unsigned char* pixels, int width, int height, int depth, int32_t colour,
             int flip, int64_t stamp, const char* model);

    std::string camName_, directory_;
    LiveSerOptions options_;
    std::mutex lock_;
    std::unique_ptr<SerWriter> writer_;
    LiveSerResult result_;
    bool opened_ = false, finished_ = false;
    int flip_ = 0;
    int64_t mismatched_ = 0;
};

/// Records a started camera into directory + "MMddHHmmss.ser" ("-2", "-3", ... before the
/// extension when that name is taken). Raw: the samples of every frame, turned by the frame's
/// flip, with the mosaic's ColorID as it lies in the file; processed: the finished image in
/// 8 bits. The format is fixed by the first frame; later frames of another size are dropped
/// and counted. True when a file was written.
bool recordLiveSer(const char* camName, const std::string& directory, const LiveSerOptions& options,
                   LiveSerResult& result);

} // namespace hx::recording
