// Waiting on a condition without the interpreter lock while Python's signal handlers can still
// run: a KeyboardInterrupt during a long wait ends it instead of being held until it is over.
#pragma once

#include <pybind11/pybind11.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

namespace hx::python {

using SteadyClock = std::chrono::steady_clock;

/// How often a waiting call looks for pending signals.
inline constexpr std::chrono::milliseconds kSignalCheckPeriod{50};

/// Waits on cv (lock held, interpreter lock released by the caller) until done() holds or the
/// deadline passes. Every kSignalCheckPeriod the mutex is let go and the interpreter lock taken
/// to run pending signal handlers; a handler that raised (Ctrl-C) ends the wait with
/// pybind11::error_already_set, the mutex then not held. Returns done() otherwise, the mutex
/// held.
template <typename Done>
bool waitInterruptibly(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, Done done,
                       std::optional<SteadyClock::time_point> deadline) {
    while (!done()) {
        auto until = SteadyClock::now() + kSignalCheckPeriod;
        if (deadline && *deadline < until) until = *deadline;
        cv.wait_until(lock, until, done);
        if (done()) return true;
        if (deadline && SteadyClock::now() >= *deadline) return false;
        // Never take the interpreter lock while holding the mutex: a thread that holds the
        // interpreter lock may be waiting for the mutex.
        lock.unlock();
        {
            pybind11::gil_scoped_acquire gil;
            if (PyErr_CheckSignals() != 0) throw pybind11::error_already_set();
        }
        lock.lock();
    }
    return true;
}

} // namespace hx::python
