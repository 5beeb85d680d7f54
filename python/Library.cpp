// The library session of the Python module: its event thread, the hot-plug queue, and plugging
// and unplugging simulated cameras with a wait until the registry has followed.
#include "python/Library.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <set>
#include <utility>

#include "camera/CamApi.h"
#include "camera/CamRegistry.h"
#include "python/CameraFailure.h"

namespace hx::python {

namespace {

/// Hot-plug messages kept for a script that never pumps; older ones are dropped.
constexpr size_t kMaxQueuedChanges = 1000;
/// Longest wait for the library to start (USB enumeration included).
constexpr std::chrono::seconds kStartWait{30};
/// Longest wait for a plugged or unplugged simulated camera to reach the registry; arrivals
/// take microseconds, so only a product id that the library does not support waits this long.
constexpr std::chrono::seconds kPlugWait{3};

std::vector<std::string> registeredNames() {
    std::vector<std::string> names;
    const int count = DeviceCount();
    for (int i = 0; i < count; ++i) {
        const char* name = DeviceName(i);
        if (name && *name) names.emplace_back(name);
    }
    return names;
}

bool registered(const std::string& name) {
    const std::vector<std::string> names = registeredNames();
    return std::find(names.begin(), names.end(), name) != names.end();
}

} // namespace

Library& Library::instance() {
    static Library library;
    return library;
}

/// Normally the interpreter's exit has shut the library down. If not, the event thread is left
/// to the end of the process: the library's own objects may already be gone at this point.
Library::~Library() {
    if (thread_.joinable()) thread_.detach();
}

void Library::ensureStarted() {
    std::unique_lock lock(mutex_);
    if (state_ == State::Idle) {
        wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        state_ = State::Starting;
        thread_ = std::thread(&Library::run, this);
    }
    changed_.wait_for(lock, kStartWait, [this] { return state_ != State::Starting; });
    if (state_ == State::Running) return;
    if (state_ == State::Finished)
        throw CameraFailure(FailureKind::Camera,
                            "the camera library has been shut down (the interpreter is exiting)");
    throw CameraFailure(FailureKind::Camera, "the camera library did not start");
}

void Library::shutdown() {
    std::thread thread;
    {
        std::lock_guard lock(mutex_);
        if (state_ == State::Finished) return;
        const bool started = state_ != State::Idle;
        state_ = State::Finished;
        changed_.notify_all();
        if (!started) return;
        thread = std::move(thread_);
    }
    if (wakeFd_ >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
    }
    if (thread.joinable()) thread.join();
    if (wakeFd_ >= 0) ::close(wakeFd_);
    wakeFd_ = -1;
}

/// The event thread: starts the library, then applies device events as they come until the
/// module shuts down, and ends the library on the same thread.
void Library::run() {
    InitDevice(&Library::hotPlug, this, nullptr);
    {
        std::lock_guard lock(mutex_);
        if (state_ == State::Starting) state_ = State::Running;
        changed_.notify_all();
    }
    const int eventFd = DeviceEventFd();
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (state_ == State::Finished) break;
        }
        if (eventFd < 0 || wakeFd_ < 0) {
            PumpDeviceEvents(100);
            continue;
        }
        pollfd fds[2] = {{eventFd, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
            PumpDeviceEvents(100);
            continue;
        }
        if (fds[1].revents & POLLIN) {
            uint64_t count = 0;
            [[maybe_unused]] ssize_t n = ::read(wakeFd_, &count, sizeof count);
        }
        PumpDeviceEvents(0);
    }
    ExitDevice();
}

void Library::hotPlug(void* self, const char* name, int code) {
    static_cast<Library*>(self)->onHotPlug(name, code);
}

void Library::onHotPlug(const char* name, int code) {
    std::lock_guard lock(mutex_);
    changes_.push_back(DeviceChange{name ? name : "", code == 0});
    while (changes_.size() > kMaxQueuedChanges) changes_.pop_front();
    ++generation_;
    changed_.notify_all();
}

std::vector<std::string> Library::cameras() {
    ensureStarted();
    return registeredNames();
}

bool Library::waitForName(const std::string& name, bool present, SteadyClock::time_point deadline) {
    std::unique_lock lock(mutex_);
    for (;;) {
        const uint64_t seen = generation_;
        lock.unlock();
        if (registered(name) == present) return true;
        lock.lock();
        if (!waitInterruptibly(
                lock, changed_, [&] { return generation_ != seen || state_ == State::Finished; },
                deadline))
            return false;
        if (state_ == State::Finished) return false;
    }
}

std::string Library::simulate(const std::string& spec, bool realTime) {
    if (spec.empty() || spec.find(',') != std::string::npos ||
        spec.find_first_not_of(" \t") == std::string::npos)
        raiseValue("simulate() takes one camera: a model name such as 'VAh200C1' or a product id "
                   "such as '0xE00C', optionally with a device release ('0xE00C:0xA001')");
    ensureStarted();
    std::lock_guard plug(plugMutex_);
    const std::vector<std::string> before = registeredNames();
    uint64_t seen = 0;
    {
        std::lock_guard lock(mutex_);
        seen = generation_;
    }
    SetSimulatedPacing(realTime ? 1 : 0);
    const int plugged = PlugSimulatedCameras(spec.c_str());
    SetSimulatedPacing(0);
    if (plugged != 1) {
        const std::vector<std::string> problems = hx::cam::simulateListProblems(spec);
        raiseValue("cannot simulate " +
                   (problems.empty() ? "'" + spec + "': give one camera" : problems.front()) +
                   "; models that can be simulated: " + hx::cam::simulatableModelList());
    }

    // The new camera is the first registered name that was not there before the plug.
    const auto deadline = SteadyClock::now() + kPlugWait;
    std::unique_lock lock(mutex_);
    for (;;) {
        lock.unlock();
        for (const std::string& name : registeredNames())
            if (std::find(before.begin(), before.end(), name) == before.end()) return name;
        lock.lock();
        const bool changed = waitInterruptibly(
            lock, changed_, [&] { return generation_ != seen || state_ == State::Finished; },
            deadline);
        seen = generation_;
        if (!changed || state_ == State::Finished) break;
    }
    raiseValue("cannot simulate '" + spec + "': the library does not support this camera");
}

void Library::unplug(const std::string& name) {
    ensureStarted();
    if (UnplugSimulatedCameraByName(name.c_str()) != 0) {
        if (registered(name))
            raiseValue("camera '" + name +
                       "' is not simulated: only simulated cameras can be "
                       "unplugged from a script");
        throw CameraFailure(FailureKind::NotFound, "no camera named '" + name + "'", -1, name);
    }
    if (!waitForName(name, false, SteadyClock::now() + kPlugWait))
        throw CameraFailure(FailureKind::Camera,
                            "camera '" + name + "' was unplugged but the library still lists it",
                            -3, name);
}

std::vector<DeviceChange> Library::takeChanges(std::optional<SteadyClock::time_point> deadline) {
    ensureStarted();
    std::unique_lock lock(mutex_);
    waitInterruptibly(
        lock, changed_, [this] { return !changes_.empty() || state_ == State::Finished; },
        deadline);
    std::vector<DeviceChange> taken(changes_.begin(), changes_.end());
    changes_.clear();
    return taken;
}

void Library::restoreChanges(std::vector<DeviceChange> changes) {
    std::lock_guard lock(mutex_);
    changes_.insert(changes_.begin(), std::make_move_iterator(changes.begin()),
                    std::make_move_iterator(changes.end()));
}

} // namespace hx::python
