#include "indi/DriverHub.h"

#include <libindi/indidevapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "camera/CamApi.h"
#include "indi/HalvexCcd.h"
#include "indi/HalvexSimulator.h"

namespace hx::indi {

namespace {
constexpr const char* kPrefix = "Halvex ";
/// How often devices whose camera left are looked at for deletion.
constexpr int kSweepMs = 5000;

/// The model part of a library name ("VAh200C1" of "VAh200C1.1").
std::string modelOf(const std::string& camera) {
    const size_t dot = camera.rfind('.');
    std::string model = dot == std::string::npos ? camera : camera.substr(0, dot);
    // INDI tools address device.property.element: a device name holds no dot.
    for (char& c : model)
        if (c == '.') c = ' ';
    return model;
}

/// HALVEX_SIM_PACING=fast delivers simulated frames as fast as they can be made (for tests);
/// otherwise they come at the pace of a real camera.
bool realTimePacing() {
    const char* pacing = std::getenv("HALVEX_SIM_PACING");
    return !(pacing && std::strcmp(pacing, "fast") == 0);
}
} // namespace

DriverHub& DriverHub::instance() {
    // Never destroyed: at exit the devices may still be referenced by libindi's own threads.
    static DriverHub* hub = new DriverHub;
    return *hub;
}

void DriverHub::start() {
    if (started_) return;
    started_ = true;
    if (std::getenv("HALVEX_SIMULATE")) {
        simulator_ = std::make_unique<HalvexSimulator>(*this);
        simulator_->ISGetProperties(nullptr);
    }
    SetSimulatedPacing(realTimePacing() ? 1 : 0);
    // No parameter files: the camera's settings are the driver's INDI configuration.
    InitDevice(&DriverHub::hotPlug, this, nullptr);
    std::atexit([] { DriverHub::instance().stop(); });
    const int fd = DeviceEventFd();
    if (fd >= 0) eventCallback_ = IEAddCallback(fd, &DriverHub::deviceEvents, this);
}

void DriverHub::stop() {
    if (!started_ || stopped_) return;
    stopped_ = true;
    if (eventCallback_ >= 0) IERmCallback(eventCallback_);
    eventCallback_ = -1;
    for (auto& [name, device] : devices_) device->shutdown();
    ExitDevice();
}

void DriverHub::hotPlug(void* hub, const char* name, int code) {
    if (!hub || !name) return;
    auto* self = static_cast<DriverHub*>(hub);
    if (code == 0) self->arrive(name);
    if (code == 3) self->leave(name);
}

void DriverHub::deviceEvents(int, void* hub) {
    if (!static_cast<DriverHub*>(hub)->stopped_) PumpDeviceEvents(0);
}

std::string DriverHub::deviceNameFor(const std::string& camera) const {
    const std::string base = kPrefix + modelOf(camera) + " ";
    for (int n = 1;; ++n) {
        const std::string candidate = base + std::to_string(n);
        bool taken = false;
        for (const auto& [name, device] : devices_)
            if (candidate == device->getDeviceName()) taken = true;
        if (!taken) return candidate;
    }
}

std::string DriverHub::cameraFor(const std::string& name) const {
    if (devices_.count(name)) return name;
    for (const auto& [camera, device] : devices_)
        if (name == device->getDeviceName()) return camera;
    return {};
}

void DriverHub::arrive(const std::string& camera) {
    if (devices_.count(camera)) return;
    const std::string deviceName = deviceNameFor(camera);
    auto device = std::make_unique<HalvexCcd>(camera, deviceName);
    HalvexCcd* raw = device.get();
    devices_.emplace(camera, std::move(device));
    std::fprintf(stderr, "halvex: %s is INDI device '%s'\n", camera.c_str(), deviceName.c_str());
    // Announce the device to the clients that already asked for everything.
    raw->ISGetProperties(nullptr);
}

void DriverHub::leave(const std::string& camera) {
    auto it = devices_.find(camera);
    if (it == devices_.end()) return;
    std::unique_ptr<HalvexCcd> device = std::move(it->second);
    devices_.erase(it);
    std::fprintf(stderr, "halvex: %s left; INDI device '%s' removed\n", camera.c_str(),
                 device->getDeviceName());
    device->retire();
    retired_.push_back(std::move(device));
    scheduleSweep();
}

void DriverHub::scheduleSweep() {
    if (sweepTimer_ < 0) sweepTimer_ = IEAddTimer(kSweepMs, &DriverHub::sweep, this);
}

void DriverHub::sweep(void* hub) {
    auto* self = static_cast<DriverHub*>(hub);
    self->sweepTimer_ = -1;
    if (self->stopped_) return;
    auto& retired = self->retired_;
    for (auto it = retired.begin(); it != retired.end();) {
        if ((*it)->releasable()) {
            std::fprintf(stderr, "halvex: INDI device '%s' released\n", (*it)->getDeviceName());
            it = retired.erase(it);
        } else
            ++it;
    }
    if (!retired.empty()) self->scheduleSweep();
}

} // namespace hx::indi
