#include "camera/CamRegistry.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "algorithms/demosaic.h"
#include "camera/CamBase.h"
#include "camera/CamDerive/CamFactory.h"
#include "sim/SimBus.h"
#include "usb/DeviceEventQueue.h"
#include "usb/LibusbBus.h"

namespace hx::cam {

const CamSupportRow tabCamSupport[kCamSupportRows] = {
    {0x0547, 0xC003}, {0x0547, 0xC004}, {0x0547, 0xC005}, {0x0547, 0xC006}, {0x0547, 0xC007},
    {0x0547, 0xC008}, {0x0547, 0xC009}, {0x0547, 0xC00A}, {0x0547, 0xC00C}, {0x0547, 0xD001},
    {0x0547, 0xD002}, {0x0547, 0xD004}, {0x0547, 0xD006}, {0x0547, 0xD007}, {0x0547, 0xF007},
    {0x0547, 0xF008}, {0x0547, 0xF00B}, {0x0547, 0xE001}, {0x0547, 0xE004}, {0x0547, 0xE006},
    {0x0547, 0xE80A}, {0x0547, 0xE008}, {0x0547, 0xE009}, {0x0547, 0xE00A}, {0x0547, 0xE00B},
    {0x0547, 0xE00C}, {0x0547, 0xA008}, {0x0547, 0xA007}, {0x0547, 0xA004}, {0x0547, 0xA003},
    {0x0547, 0xA005}, {0x0547, 0xA00A}, {0x0547, 0xA009}, {0x0547, 0xA00D}, {0x0547, 0xA811},
};

bool camSupported(uint16_t vendorId, uint16_t productId) {
    for (const CamSupportRow& row : tabCamSupport)
        if (row.vendorId == vendorId && row.productId == productId) return true;
    return false;
}

namespace {

/// Why a simulated camera of this product id would never be taken in, or "" when it would.
std::string neverArrives(uint16_t productId) {
    char id[8];
    std::snprintf(id, sizeof id, "0x%04X", productId);
    if (!_has_model(productId)) return std::string("no camera model has product id ") + id;
    if (!camSupported(hx::sim::kSimVendorId, productId))
        return std::string("this library does not take cameras of this model (product id ") + id +
               ")";
    return {};
}

} // namespace

std::vector<std::string> simulatableModels() {
    std::vector<std::string> models;
    for (std::string& name : hx::sim::simClassNames()) {
        const int productId = hx::sim::simProductIdForClass(name);
        if (productId >= 0 && neverArrives(static_cast<uint16_t>(productId)).empty())
            models.push_back(std::move(name));
    }
    return models;
}

std::string simulatableModelList() {
    std::string list;
    for (const std::string& model : simulatableModels()) list += (list.empty() ? "" : ", ") + model;
    return list;
}

std::vector<std::string> simulateListProblems(std::string_view list) {
    std::vector<std::string> unread, problems;
    for (const hx::sim::SimulateItem& item : hx::sim::parseSimulateList(list, &unread))
        if (std::string why = neverArrives(item.productId); !why.empty())
            problems.push_back("'" + item.text + "': " + why);
    for (const std::string& bad : unread)
        problems.push_back("'" + bad + "' is not a model name or product id");
    return problems;
}

namespace {
bool envTrue(const char* name) {
    const char* v = std::getenv(name);
    return v && *v && std::strcmp(v, "0") != 0;
}
} // namespace

/// The simulated bus is made first, so that it outlives the registry at process exit.
CamRegistry::CamRegistry() : queue_(std::make_unique<hx::usb::DeviceEventQueue>()) {
    hx::sim::SimBus::instance();
}

CamRegistry::~CamRegistry() {
    hx::sim::SimBus::instance().stop();
    if (usb_) usb_->stop();
}

CamRegistry& CamRegistry::instance() {
    static CamRegistry registry;
    return registry;
}

/// Starts both buses. Cameras already present reach the queue while the buses start and are
/// taken in before this returns; a second call first shuts the library down as ExitDevice does,
/// so no camera of the first run is left without its parameters saved.
int CamRegistry::init(HalvexHotPlugCallback callback, void* application,
                      const char* documentsPath) {
    if (initialised_) exit();
    ezInitGrfmt();
    __init_algorithms();
    {
        std::unique_lock lock(mutex_);
        mapCamList.clear();
        keys_.clear();
        documentPaths_ = documentsPath ? documentsPath : "";
        if (!documentPaths_.empty() && documentPaths_.back() != '/') documentPaths_ += '/';
    }
    callback_ = callback;
    application_ = application;
    owner_ = std::this_thread::get_id();
    queue_->clear();

    hx::usb::UsbBus::Filter filter = [](uint16_t vendorId, uint16_t productId) {
        return camSupported(vendorId, productId);
    };
    hx::usb::DeviceEventQueue* queue = queue_.get();
    hx::usb::UsbBus::Listener listener = [queue](const hx::usb::UsbEvent& event) {
        queue->push(event);
    };

    auto& sim = hx::sim::SimBus::instance();
    if (const char* list = std::getenv("HALVEX_SIMULATE")) {
        for (const hx::sim::SimulateItem& item : hx::sim::parseSimulateList(list)) {
            if (!neverArrives(item.productId).empty()) continue;
            uint64_t key = sim.plug(item.productId, item.bcdDevice);
            if (key) envSimulated_.push_back(key);
        }
        const std::vector<std::string> problems = simulateListProblems(list);
        for (const std::string& problem : problems)
            std::fprintf(stderr, "halvex: HALVEX_SIMULATE: %s\n", problem.c_str());
        if (!problems.empty())
            std::fprintf(stderr, "halvex: HALVEX_SIMULATE: models that can be simulated: %s\n",
                         simulatableModelList().c_str());
    }
    sim.start(filter, listener);
    if (!envTrue("HALVEX_NO_USB")) {
        usb_ = std::make_unique<hx::usb::LibusbBus>();
        if (!usb_->start(filter, listener)) usb_.reset();
    }
    initialised_.store(true, std::memory_order_release);
    pump(0);
    return 0;
}

/// Saves and releases every camera in name order. A camera still in use on another thread is
/// destroyed when that call returns.
void CamRegistry::exit() {
    auto& sim = hx::sim::SimBus::instance();
    sim.stop();
    if (usb_) {
        usb_->stop();
        usb_.reset();
    }
    for (uint64_t key : envSimulated_) sim.unplug(key);
    envSimulated_.clear();
    queue_->clear();

    std::map<std::string, std::shared_ptr<CamBase>, std::less<>> cameras;
    std::string docs;
    {
        std::unique_lock lock(mutex_);
        cameras.swap(mapCamList);
        keys_.clear();
        docs = documentPaths_;
    }
    byKey_.clear();
    // Reads in progress on other threads end now; they hold their camera until they return.
    for (auto& entry : cameras) entry.second->_end_read(ReadEnd::Shutdown);
    for (auto& [name, camera] : cameras) {
        if (!docs.empty()) {
            int slot = camera->_current_params(docs);
            camera->_save_params(slot, docs);
        }
        camera.reset();
    }
    cameras.clear();
    if (initialised_) {
        exExitGrfmt();
        __exit_algorithms();
    }
    initialised_ = false;
    callback_ = nullptr;
    application_ = nullptr;
}

int CamRegistry::pump(int timeoutMs) {
    if (!initialised_.load(std::memory_order_acquire) || std::this_thread::get_id() != owner_)
        return -1;
    queue_->wait(timeoutMs);
    int applied = 0;
    for (const hx::usb::UsbEvent& event : queue_->take()) {
        apply(event);
        ++applied;
    }
    return applied;
}

int CamRegistry::eventFd() const {
    return initialised_ ? queue_->fd() : -1;
}

void CamRegistry::apply(const hx::usb::UsbEvent& event) {
    try {
        if (event.kind == hx::usb::UsbEvent::Kind::Arrived)
            arrive(event);
        else
            remove(event);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "halvex: device event dropped: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "halvex: device event dropped\n");
    }
}

/// A new device: make the model object, open it, file it under its name, restore its
/// parameters and tell the application. A device that cannot be opened is not registered.
void CamRegistry::arrive(const hx::usb::UsbEvent& event) {
    if (!event.device || byKey_.count(event.key)) return;
    const uint16_t vendorId = event.device->vendorId();
    const uint16_t productId = event.device->productId();
    if (!camSupported(vendorId, productId)) return;
    std::shared_ptr<CamBase> camera(_create_device(productId, vendorId));
    if (!camera) return;
    if (camera->__open_driver(event.device) != 0) {
        std::fprintf(stderr, "halvex: camera 0x%04x:0x%04x cannot be opened; ignored\n", vendorId,
                     productId);
        return;
    }
    const char* cname = camera->_name();
    if (!cname) return;
    std::string name = cname;
    std::string docs;
    {
        std::unique_lock lock(mutex_);
        mapCamList[name] = camera;
        keys_[name] = event.key;
        names_.insert(name);
        docs = documentPaths_;
    }
    byKey_[event.key] = Entry{camera, event.device, name};
    if (!docs.empty()) {
        int slot = camera->_current_params(docs);
        camera->_load_params(slot, docs);
    }
    notify(name, 0);
}

/// A device has gone: take its camera out of the registry at once, save its parameters, make
/// a running camera give up its frame read, and tell the application. The object itself dies
/// when the last call that holds it returns.
void CamRegistry::remove(const hx::usb::UsbEvent& event) {
    auto it = byKey_.find(event.key);
    if (it == byKey_.end()) return;
    Entry entry = std::move(it->second);
    byKey_.erase(it);
    std::string docs;
    {
        std::unique_lock lock(mutex_);
        auto cam = mapCamList.find(entry.name);
        if (cam != mapCamList.end() && cam->second == entry.camera) {
            mapCamList.erase(cam);
            keys_.erase(entry.name);
        }
        docs = documentPaths_;
    }
    if (!docs.empty()) {
        int slot = entry.camera->_current_params(docs);
        entry.camera->_save_params(slot, docs);
    }
    if (entry.camera->_state() != kStateStopped) entry.camera->_mark_removed();
    entry.camera.reset();
    entry.device.reset();
    notify(entry.name, 3);
}

void CamRegistry::notify(const std::string& name, int code) {
    if (callback_) callback_(application_, name.c_str(), code);
}

std::shared_ptr<CamBase> CamRegistry::find(const char* name) const {
    if (!name) return nullptr;
    std::shared_lock lock(mutex_);
    auto it = mapCamList.find(std::string_view(name));
    return it == mapCamList.end() ? nullptr : it->second;
}

int CamRegistry::count() const {
    std::shared_lock lock(mutex_);
    return static_cast<int>(mapCamList.size());
}

const char* CamRegistry::nameAt(int index) const {
    std::shared_lock lock(mutex_);
    if (index < 0 || index >= static_cast<int>(mapCamList.size())) return "";
    auto name = names_.find(std::next(mapCamList.begin(), index)->first);
    return name == names_.end() ? "" : name->c_str();
}

uint64_t CamRegistry::keyOf(const char* name) const {
    if (!name) return 0;
    std::shared_lock lock(mutex_);
    auto it = keys_.find(std::string_view(name));
    return it == keys_.end() ? 0 : it->second;
}

std::string CamRegistry::documentPath() const {
    std::shared_lock lock(mutex_);
    return documentPaths_;
}

} // namespace hx::cam

// ---- the registry's flat functions ---------------------------------------------------------

using hx::cam::CamRegistry;

namespace {
/// Runs a registry operation; nothing thrown inside crosses the API.
template <typename R, typename F> R guarded(R failure, F&& f) noexcept {
    try {
        return f();
    } catch (...) {
        return failure;
    }
}
char versions[1024];
std::mutex versionsMutex;
} // namespace

int InitDevice(HalvexHotPlugCallback callback, void* application, const char* documentsPath) {
    return guarded(
        -3, [&] { return CamRegistry::instance().init(callback, application, documentsPath); });
}

void ExitDevice() {
    guarded(0, [] {
        CamRegistry::instance().exit();
        return 0;
    });
}

int DeviceEventFd() {
    return CamRegistry::instance().eventFd();
}

int PumpDeviceEvents(int timeoutMs) {
    return guarded(-1, [&] { return CamRegistry::instance().pump(timeoutMs); });
}

int ResumeDevice(const char* name) {
    return guarded(-3, [&] {
        auto camera = CamRegistry::instance().find(name);
        if (!camera) return -1;
        camera->_end_read(ReadEnd::Resume);
        if (camera->_state() != kStateStopped) return 0;
        return camera->_sensor_resume();
    });
}

/// The sensor stops first, so that no read starts after the read in progress has been ended.
int SuspendDevice(const char* name) {
    return guarded(-3, [&] {
        auto camera = CamRegistry::instance().find(name);
        if (!camera) return -1;
        const int result = camera->_state() == kStateRunning ? camera->_sensor_suspend() : 0;
        camera->_end_read(ReadEnd::Suspend);
        return result;
    });
}

int DeviceCount() {
    return CamRegistry::instance().count();
}

const char* DeviceName(int index) {
    return CamRegistry::instance().nameAt(index);
}

const char* VersionInf(int type) {
    const char* text = nullptr;
    switch (type) {
    case 1:
        text = "2014/07/24";
        break;
    case 2:
        text = "4.0.0.0";
        break;
    case 3:
        text = "(CHINA_Zorvik)";
        break;
    default:
        break;
    }
    std::lock_guard lock(versionsMutex);
    if (text) std::snprintf(versions, sizeof versions, "%s", text);
    return versions;
}

uint64_t PlugSimulatedCamera(unsigned short productId, unsigned short bcdDevice) {
    return guarded<uint64_t>(
        0, [&] { return hx::sim::SimBus::instance().plug(productId, bcdDevice); });
}

void SetSimulatedPacing(int realTime) {
    hx::sim::SimOptions options;
    options.realTime = realTime != 0;
    hx::sim::SimBus::instance().setDefaultOptions(options);
}

int PlugSimulatedCameras(const char* list) {
    if (!list) return -2;
    return guarded(-3, [&] {
        std::vector<std::string> errors;
        int plugged = 0;
        bool unsupported = false;
        for (const hx::sim::SimulateItem& item : hx::sim::parseSimulateList(list, &errors)) {
            // A camera the buses never report would sit on the bus unseen.
            if (!hx::cam::neverArrives(item.productId).empty())
                unsupported = true;
            else if (hx::sim::SimBus::instance().plug(item.productId, item.bcdDevice))
                ++plugged;
        }
        return errors.empty() && !unsupported ? plugged : -2;
    });
}

int UnplugSimulatedCamera(uint64_t handle) {
    return guarded(-3, [&] { return hx::sim::SimBus::instance().unplug(handle) ? 0 : -1; });
}

int UnplugSimulatedCameraByName(const char* name) {
    return guarded(-3, [&] {
        uint64_t key = CamRegistry::instance().keyOf(name);
        return key && hx::sim::SimBus::instance().unplug(key) ? 0 : -1;
    });
}
