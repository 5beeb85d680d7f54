// The watch over frame reads: one thread that sleeps until a read's time limit or a Ctrl-C, and
// then cancels that read through the library.
#include "python/ReadWatch.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>

#include "camera/CamApi.h"

namespace hx::python {

namespace {

/// Set by the SIGINT handler, cleared before each main-thread read is watched.
std::atomic<bool> gInterruptPending{false};
std::atomic<int> gWakeFd{-1};
/// The SIGINT handler that ours stands in front of (Python's), called after ours.
struct sigaction gPrevious {};

extern "C" void onInterrupt(int signal, siginfo_t* info, void* context) {
    const int saved = errno;
    gInterruptPending.store(true);
    const int fd = gWakeFd.load();
    if (fd >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
    }
    if (gPrevious.sa_flags & SA_SIGINFO) {
        if (gPrevious.sa_sigaction) gPrevious.sa_sigaction(signal, info, context);
    } else if (gPrevious.sa_handler != SIG_DFL && gPrevious.sa_handler != SIG_IGN) {
        gPrevious.sa_handler(signal);
    }
    errno = saved;
}

/// Puts onInterrupt in front of the SIGINT handler. False, and nothing changed, when no
/// handler function is installed (Ctrl-C then ends or leaves the process as the system does).
bool standInFront() {
    struct sigaction current {};
    if (::sigaction(SIGINT, nullptr, &current) != 0) return false;
    const bool function = (current.sa_flags & SA_SIGINFO)
                              ? current.sa_sigaction != nullptr
                              : current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN;
    if (!function || current.sa_sigaction == &onInterrupt) return false;
    gPrevious = current;
    gInterruptPending.store(false);
    struct sigaction ours = current;
    ours.sa_flags = (current.sa_flags | SA_SIGINFO) & ~SA_RESETHAND;
    ours.sa_sigaction = &onInterrupt;
    return ::sigaction(SIGINT, &ours, nullptr) == 0;
}

void stepAside() {
    ::sigaction(SIGINT, &gPrevious, nullptr);
}

} // namespace

ReadWatch& ReadWatch::instance() {
    static ReadWatch watch;
    return watch;
}

/// Normally shut down at interpreter exit; the thread is left to the end of the process else.
ReadWatch::~ReadWatch() {
    if (thread_.joinable()) thread_.detach();
}

void ReadWatch::start() {
    std::lock_guard lock(mutex_);
    if (thread_.joinable() || finished_) return;
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) return;
    gWakeFd.store(wakeFd_);
    thread_ = std::thread(&ReadWatch::run, this);
}

void ReadWatch::wake() {
    const int fd = gWakeFd.load();
    if (fd < 0) return;
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
}

void ReadWatch::shutdown() {
    std::thread thread;
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
        stopping_ = true;
        thread = std::move(thread_);
    }
    wake();
    if (thread.joinable()) thread.join();
}

int ReadWatch::read(const std::string& camera, unsigned char* buffer, int size,
                    std::optional<Clock::time_point> deadline, Ending* ending) {
    *ending = Ending::None;
    const bool onMainThread = mainThreadKnown_ && ::pthread_equal(::pthread_self(), mainThread_);
    // A read off the main thread without a time limit has nothing to be ended for.
    if (!onMainThread && !deadline) return GetRawData(buffer, size, camera.c_str());
    start();
    const bool guarded = onMainThread && standInFront();
    Entry entry{&camera, deadline, guarded};
    bool watched = false;
    {
        std::lock_guard lock(mutex_);
        if (guarded && gInterruptPending.load()) {
            entry.ending = Ending::Interrupt; // Ctrl-C came before the read could start
        } else if (thread_.joinable() && !stopping_) {
            entries_.push_back(&entry);
            entry.reading = true;
            watched = true;
        }
    }
    int status = -3;
    if (entry.ending == Ending::None) {
        if (deadline && watched) wake();
        status = GetRawData(buffer, size, camera.c_str());
    }
    if (watched) {
        std::lock_guard lock(mutex_);
        entry.reading = false;
        entries_.remove(&entry);
    }
    if (guarded) stepAside();
    *ending = entry.ending;
    return status;
}

void ReadWatch::run() {
    for (;;) {
        int timeoutMs = -1;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) break;
            const auto now = Clock::now();
            for (const Entry* e : entries_) {
                if (!e->deadline || e->ending != Ending::None) continue;
                const auto left =
                    std::chrono::ceil<std::chrono::milliseconds>(*e->deadline - now).count();
                const int ms = static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
                if (timeoutMs < 0 || ms < timeoutMs) timeoutMs = ms;
            }
        }
        pollfd p{wakeFd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) > 0) {
            uint64_t count = 0;
            [[maybe_unused]] ssize_t n = ::read(wakeFd_, &count, sizeof count);
        }
        std::lock_guard lock(mutex_);
        if (stopping_) break;
        const auto now = Clock::now();
        const bool interrupted = gInterruptPending.load();
        for (Entry* e : entries_) {
            if (!e->reading || e->ending != Ending::None) continue;
            if (interrupted && e->onMainThread)
                e->ending = Ending::Interrupt;
            else if (e->deadline && now >= *e->deadline)
                e->ending = Ending::TimeLimit;
            else
                continue;
            // Only while the read is in progress, so that no cancel is left for a later read.
            CancelRawData(e->camera->c_str());
        }
    }
    // The descriptor stays open: a signal handler may still be about to write to it.
    gWakeFd.store(-1);
}

} // namespace hx::python
