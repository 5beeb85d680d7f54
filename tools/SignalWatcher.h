// Ctrl-C and SIGTERM as ordinary events: the signals are blocked in every thread and taken by
// one watcher thread, which runs a callback outside signal context, so that the callback may
// end a frame read, ask an event loop to quit or take a lock. A second signal while the first
// is handled ends the process the way the signal does by default. Header only: the command-line
// tool and the capture application both use it.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

namespace hx::tools {

class SignalWatcher {
public:
    /// Blocks SIGINT and SIGTERM in the calling thread and in every thread started after this
    /// (create the watcher first in main) and starts the watcher thread.
    SignalWatcher() {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &set_, &previous_);
        thread_ = std::thread([this] { watch(); });
    }
    ~SignalWatcher() {
        quitting_ = true;
        pthread_kill(thread_.native_handle(), SIGTERM);
        thread_.join();
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

    /// What to do on the first signal (runs on the watcher thread); replaces the previous one.
    void onSignal(std::function<void(int)> callback) {
        std::lock_guard lock(mutex_);
        callback_ = std::move(callback);
    }
    /// The first signal that arrived, 0 while none has.
    int received() const { return received_; }

private:
    void watch() {
        for (;;) {
            int signal = 0;
            if (sigwait(&set_, &signal) != 0) continue;
            if (quitting_) return;
            if (received_ != 0) {
                // Asked twice: the program did not end by itself, so the signal ends it.
                struct sigaction action {};
                action.sa_handler = SIG_DFL;
                sigaction(signal, &action, nullptr);
                pthread_sigmask(SIG_UNBLOCK, &set_, nullptr);
                raise(signal);
                return;
            }
            received_ = signal;
            std::function<void(int)> callback;
            {
                std::lock_guard lock(mutex_);
                callback = callback_;
            }
            if (callback) callback(signal);
        }
    }

    sigset_t set_{}, previous_{};
    std::atomic<int> received_{0};
    std::atomic<bool> quitting_{false};
    std::mutex mutex_;
    std::function<void(int)> callback_;
    std::thread thread_;
};

} // namespace hx::tools
