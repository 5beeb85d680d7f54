// Bounded waits for tests: a condition is polled until it holds or its time limit passes, so that
// a fault makes the test fail instead of hanging it.
#pragma once

#include <chrono>
#include <thread>

namespace hxtest {

/// Polls `condition` until it holds, for at most `limit`; whether it held.
template <class Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace hxtest
