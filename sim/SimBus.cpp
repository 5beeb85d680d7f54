#include "sim/SimBus.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "usb/DeviceEventQueue.h"

namespace hx::sim {

namespace {

struct ClassRow {
    const char* name;
    uint16_t productId;
};

/// Camera classes by name, with the product id that makes each (the first, for classes that
/// two product ids make).
constexpr ClassRow kClasses[] = {
    {"VAh1KC1", 0xA003},  {"VAh500C1", 0xA004}, {"VSh035C1", 0xA005}, {"VAh500M1", 0xA006},
    {"VAh300C1", 0xA007}, {"VAh131C1", 0xA008}, {"VSh036C1", 0xA009}, {"VSh035M1", 0xA00A},
    {"VAh131M1", 0xA00B}, {"VAh200C1", 0xA811}, {"V3h5MC1", 0xAC11},  {"VAo1KC1", 0xC003},
    {"VAo500C1", 0xC004}, {"VSo035C1", 0xC005}, {"VAo500M1", 0xC006}, {"VAo300C1", 0xC007},
    {"VAo131C1", 0xC008}, {"VSo036C1", 0xC009}, {"VSo035M1", 0xC00A}, {"VAo131M1", 0xC00B},
    {"VS200C1", 0xC00C},  {"VAo200C1", 0xC811}, {"VDo282C1", 0xD001}, {"VDo205M1", 0xD004},
    {"VDo285M1", 0xD006}, {"VDh282C1", 0xE001}, {"VDh205M1", 0xE004}, {"VDh285M1", 0xE006},
    {"VDh205C1", 0xE008}, {"VDh285C1", 0xE009}, {"VDh674M1", 0xE00A}, {"VDh687M1", 0xE00B},
    {"VDh694M1", 0xE00C}, {"VDh674C1", 0xE80A}, {"VDh694C1", 0xE80C}, {"VAg300C1", 0xF007},
    {"VAg131C1", 0xF008}, {"VAg131M1", 0xF00B},
};

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

/// A 16-bit number, decimal or 0x hexadecimal, with nothing after it.
bool parseNumber(std::string_view s, uint16_t& out) {
    if (s.empty() || !std::isdigit(static_cast<unsigned char>(s.front()))) return false;
    std::string text(s);
    char* end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > 0xFFFF) return false;
    out = static_cast<uint16_t>(v);
    return true;
}

} // namespace

int simProductIdForClass(std::string_view className) {
    if (!className.empty() && className.back() == '.') className.remove_suffix(1);
    for (const ClassRow& row : kClasses)
        if (className == row.name) return row.productId;
    return -1;
}

std::vector<std::string> simClassNames() {
    std::vector<std::string> names;
    for (const ClassRow& row : kClasses) names.emplace_back(row.name);
    return names;
}

std::vector<SimulateItem> parseSimulateList(std::string_view text,
                                            std::vector<std::string>* errors) {
    std::vector<SimulateItem> items;
    while (!text.empty()) {
        size_t comma = text.find(',');
        std::string_view item = trim(text.substr(0, comma));
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
        if (item.empty()) continue;
        std::string_view model = item, bcd;
        size_t colon = item.find(':');
        if (colon != std::string_view::npos) {
            model = trim(item.substr(0, colon));
            bcd = trim(item.substr(colon + 1));
        }
        SimulateItem parsed;
        parsed.text = item;
        int byName = simProductIdForClass(model);
        bool ok = byName >= 0 ? (parsed.productId = static_cast<uint16_t>(byName), true)
                              : parseNumber(model, parsed.productId);
        if (ok && colon != std::string_view::npos) ok = parseNumber(bcd, parsed.bcdDevice);
        if (ok)
            items.push_back(parsed);
        else if (errors)
            errors->emplace_back(item);
    }
    return items;
}

SimBus& SimBus::instance() {
    static SimBus bus;
    return bus;
}

bool SimBus::accepted(const SimCamera& camera) const {
    return filter_ && filter_(camera.vendorId(), camera.productId());
}

/// Reports every plugged camera the filter accepts, before returning.
bool SimBus::start(Filter filter, Listener listener) {
    std::lock_guard lock(mutex_);
    filter_ = std::move(filter);
    listener_ = std::move(listener);
    running_ = static_cast<bool>(listener_);
    if (!running_) return false;
    for (auto& [key, camera] : cameras_)
        if (accepted(*camera))
            listener_(hx::usb::UsbEvent{hx::usb::UsbEvent::Kind::Arrived, key, camera});
    return true;
}

void SimBus::stop() {
    std::lock_guard lock(mutex_);
    running_ = false;
    listener_ = nullptr;
    filter_ = nullptr;
}

uint64_t SimBus::plug(uint16_t productId, uint16_t bcdDevice) {
    SimOptions options;
    {
        std::lock_guard lock(mutex_);
        options = defaults_;
    }
    return plug(productId, bcdDevice, options);
}

void SimBus::setDefaultOptions(const SimOptions& options) {
    std::lock_guard lock(mutex_);
    defaults_ = options;
}

uint64_t SimBus::plug(uint16_t productId, uint16_t bcdDevice, SimOptions options) {
    return plug(makeSimCamera(productId, bcdDevice, options));
}

uint64_t SimBus::plug(std::shared_ptr<SimCamera> camera) {
    if (!camera) return 0;
    std::lock_guard lock(mutex_);
    uint64_t key = hx::usb::newDeviceKey();
    cameras_.emplace(key, camera);
    if (running_ && accepted(*camera))
        listener_(hx::usb::UsbEvent{hx::usb::UsbEvent::Kind::Arrived, key, camera});
    return key;
}

/// The camera answers kUsbNoDevice from now on; the removal is reported with the same key.
bool SimBus::unplug(uint64_t key) {
    std::lock_guard lock(mutex_);
    auto it = cameras_.find(key);
    if (it == cameras_.end()) return false;
    std::shared_ptr<SimCamera> camera = std::move(it->second);
    cameras_.erase(it);
    camera->unplug();
    if (running_ && accepted(*camera))
        listener_(hx::usb::UsbEvent{hx::usb::UsbEvent::Kind::Removed, key, camera});
    return true;
}

std::shared_ptr<SimCamera> SimBus::camera(uint64_t key) const {
    std::lock_guard lock(mutex_);
    auto it = cameras_.find(key);
    return it == cameras_.end() ? nullptr : it->second;
}

std::vector<uint64_t> SimBus::keys() const {
    std::lock_guard lock(mutex_);
    std::vector<uint64_t> out;
    for (auto& [key, camera] : cameras_) out.push_back(key);
    return out;
}

} // namespace hx::sim
