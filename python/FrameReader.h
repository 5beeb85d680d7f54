// A camera's frame reads on a thread of their own. The calling thread waits for the frame
// without the interpreter lock and keeps running Python's signal handlers, so Ctrl-C or a time
// limit can end a read that would otherwise block it for a whole exposure.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "python/InterruptibleWait.h"

namespace hx::python {

class FrameReader {
public:
    explicit FrameReader(std::string camera);
    /// Ends a read in progress and joins the thread.
    ~FrameReader();
    FrameReader(const FrameReader&) = delete;
    FrameReader& operator=(const FrameReader&) = delete;

    /// The outcome of one read.
    struct Result {
        bool finished = false; ///< false: the deadline passed first (the read was ended)
        int status = 0;        ///< GetRawData's code when finished
    };

    /// Reads one frame into the buffer, which grows to size bytes. Call without the interpreter
    /// lock, from one thread at a time. A read left behind by an earlier deadline or interrupt is
    /// waited for first. On Ctrl-C the read is ended and pybind11::error_already_set thrown.
    Result read(size_t size, std::optional<SteadyClock::time_point> deadline);

    /// The frame of the last finished read; valid until the next read.
    unsigned char* data() { return buffer_.data(); }
    size_t size() const { return buffer_.size(); }

private:
    void run();
    /// Ends the read in progress, if any (mutex_ held).
    void cancelLocked();

    const std::string camera_;
    std::vector<unsigned char> buffer_; ///< written by the thread only while a read runs

    std::mutex mutex_;
    std::condition_variable changed_;
    bool requested_ = false; ///< a read is asked for and not yet finished
    bool reading_ = false;   ///< the thread is inside GetRawData
    bool stop_ = false;
    int status_ = 0;
    int readSize_ = 0;
    std::thread thread_;
};

} // namespace hx::python
