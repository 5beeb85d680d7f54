// Frame reads run on the thread that asks for the frame, without the interpreter lock. This
// watch ends them from outside when they must not go on: at a script's time limit, and on
// Ctrl-C while the main thread waits for a frame (a SIGINT handler, put in front of Python's
// own for the length of the read, wakes the watch, which cancels the read; Python's handler
// still runs and raises KeyboardInterrupt once the read has returned).
#pragma once

#include <chrono>
#include <cstdint>
#include <list>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <string>
#include <thread>

namespace hx::python {

class ReadWatch {
public:
    using Clock = std::chrono::steady_clock;

    /// Why a read was ended from outside.
    enum class Ending { None, TimeLimit, Interrupt };

    static ReadWatch& instance();
    ~ReadWatch();
    ReadWatch(const ReadWatch&) = delete;
    ReadWatch& operator=(const ReadWatch&) = delete;

    /// Remembers the interpreter's main thread, the one whose waits Ctrl-C ends.
    void setMainThread(pthread_t thread) {
        mainThread_ = thread;
        mainThreadKnown_ = true;
    }

    /// GetRawData on the calling thread, ended at the deadline or on Ctrl-C (main thread).
    /// Call without the interpreter lock. ending tells whether and why it was ended.
    int read(const std::string& camera, unsigned char* buffer, int size,
             std::optional<Clock::time_point> deadline, Ending* ending);

    /// Stops the watch thread (interpreter exit); reads after this are not watched.
    void shutdown();

private:
    ReadWatch() = default;

    struct Entry {
        const std::string* camera;
        std::optional<Clock::time_point> deadline;
        bool onMainThread;
        bool reading = false; ///< inside GetRawData: only then may the read be cancelled
        Ending ending = Ending::None;
    };

    void start();
    void run();
    /// Wakes the watch thread (also from the signal handler: only an eventfd write).
    void wake();

    std::mutex mutex_;
    std::list<Entry*> entries_; ///< reads in progress that may have to be ended
    std::thread thread_;
    bool stopping_ = false;
    bool finished_ = false;
    int wakeFd_ = -1;
    pthread_t mainThread_{};
    bool mainThreadKnown_ = false;
};

} // namespace hx::python
