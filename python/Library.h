// The camera library as the Python module uses it: started on first use on a thread of its own,
// which owns the library's device events (it calls InitDevice and pumps), so that cameras arrive
// and leave promptly whatever the script does; hot-plug messages wait in a queue until a script
// thread takes them (halvexcam.pump).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "python/InterruptibleWait.h"

namespace hx::python {

/// One hot-plug message: a camera arrived or was removed.
struct DeviceChange {
    std::string name;
    bool arrived = false;
};

class Library {
public:
    static Library& instance();
    ~Library();
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    /// Starts the library unless it runs; cameras already present are registered when this
    /// returns. Throws CameraFailure after shutdown. Call without the interpreter lock.
    void ensureStarted();
    /// Ends the library: every camera is released and reads in progress give up. Further
    /// calls fail. Call without the interpreter lock.
    void shutdown();

    /// Device names in the library's order. Call without the interpreter lock.
    std::vector<std::string> cameras();
    /// Plugs one simulated camera ("VAh200C1", "0xE00C", "0xE00C:0xA001") and returns its
    /// device name once it has been taken in. Throws CameraFailure (Value) for a text that
    /// names no camera the library supports. Call without the interpreter lock.
    std::string simulate(const std::string& spec, bool realTime);
    /// Unplugs a simulated camera and returns once the library has let it go.
    void unplug(const std::string& name);

    /// Waits up to the deadline (none: until a change comes) for hot-plug messages and takes
    /// them all, oldest first. Call without the interpreter lock; a KeyboardInterrupt ends the
    /// wait (pybind11::error_already_set).
    std::vector<DeviceChange> takeChanges(std::optional<SteadyClock::time_point> deadline);
    /// Puts messages that could not be delivered back at the head of the queue.
    void restoreChanges(std::vector<DeviceChange> changes);

private:
    Library() = default;
    enum class State { Idle, Starting, Running, Finished };

    void run();
    void onHotPlug(const char* name, int code);
    static void hotPlug(void* self, const char* name, int code);
    /// Waits until the registry holds (present) or no longer holds the name.
    bool waitForName(const std::string& name, bool present, SteadyClock::time_point deadline);

    std::mutex mutex_;
    std::condition_variable changed_; ///< a state change or a hot-plug message
    State state_ = State::Idle;
    uint64_t generation_ = 0;          ///< counts hot-plug messages
    std::deque<DeviceChange> changes_; ///< waiting for pump(); the oldest are dropped past a limit
    std::thread thread_;
    int wakeFd_ = -1;      ///< eventfd that ends the event thread's wait
    std::mutex plugMutex_; ///< one simulate() at a time: pacing and the new arrival are its own
};

} // namespace hx::python
