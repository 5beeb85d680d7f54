// The registry of connected cameras: arrival and removal from the USB and simulated buses,
// look-up by device name for the flat API. Internal to the camera library.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// The image layer defines the rectangle that the public header re-declares for SDK users.
#include "ezImage/ezImage.h"
#ifndef HALVEX_IMG_RECT_DEFINED
#define HALVEX_IMG_RECT_DEFINED
#endif
#include "camera/CamApi.h"
#include "usb/UsbBus.h"

class CamBase;

namespace hx::usb {
class DeviceEventQueue;
class LibusbBus;
} // namespace hx::usb

namespace hx::cam {

/// One supported device: USB vendor id and product id.
struct CamSupportRow {
    int32_t vendorId;
    int32_t productId;
};
inline constexpr int kCamSupportRows = 35;
/// The devices the buses report; every other device is never seen.
extern const CamSupportRow tabCamSupport[kCamSupportRows];
/// True when (vendorId, productId) is a row of tabCamSupport.
bool camSupported(uint16_t vendorId, uint16_t productId);

/// The camera models a simulated camera can be made of: the classes whose product id the
/// buses report, in the order of the class table.
std::vector<std::string> simulatableModels();
/// The same, comma-separated, for messages.
std::string simulatableModelList();
/// What keeps the items of a simulation list (the HALVEX_SIMULATE form) from arriving: one
/// message per item that is not a model name or product id, or that names a camera whose
/// product id the buses never report. Empty when every item would arrive.
std::vector<std::string> simulateListProblems(std::string_view list);

/// The process-wide registry. Look-ups may come from any thread and hand out their own
/// reference to the camera; arrival and removal happen on the thread that called init.
class CamRegistry {
public:
    static CamRegistry& instance();
    ~CamRegistry();

    int init(HalvexHotPlugCallback callback, void* application, const char* documentsPath);
    void exit();
    /// Applies waiting bus events on the init thread; see PumpDeviceEvents.
    int pump(int timeoutMs);
    int eventFd() const;

    /// The camera registered under a name, or null; the caller holds it for its call.
    std::shared_ptr<CamBase> find(const char* name) const;
    int count() const;
    /// The name of the index-th camera, "" when out of range; the text stays valid for the
    /// life of the process.
    const char* nameAt(int index) const;
    /// The bus key of a registered camera, 0 when the name is unknown.
    uint64_t keyOf(const char* name) const;
    std::string documentPath() const;

private:
    CamRegistry();
    void apply(const hx::usb::UsbEvent& event);
    void arrive(const hx::usb::UsbEvent& event);
    void remove(const hx::usb::UsbEvent& event);
    void notify(const std::string& name, int code);

    /// Name-ordered cameras and their bus keys; guarded by mutex_.
    mutable std::shared_mutex mutex_;
    std::map<std::string, std::shared_ptr<CamBase>, std::less<>> mapCamList;
    std::map<std::string, uint64_t, std::less<>> keys_;
    /// Every name ever registered; DeviceName hands out these texts, so a name read on one
    /// thread stays readable even if the camera leaves on another.
    std::set<std::string, std::less<>> names_;
    std::string documentPaths_;

    /// Touched only on the init thread.
    struct Entry {
        std::shared_ptr<CamBase> camera;
        std::shared_ptr<hx::usb::UsbDevice> device;
        std::string name;
    };
    std::map<uint64_t, Entry> byKey_;
    HalvexHotPlugCallback callback_ = nullptr;
    void* application_ = nullptr;
    std::thread::id owner_; ///< written before initialised_ is set
    std::atomic<bool> initialised_{false};
    std::unique_ptr<hx::usb::DeviceEventQueue> queue_;
    std::unique_ptr<hx::usb::LibusbBus> usb_;
    std::vector<uint64_t> envSimulated_;
};

} // namespace hx::cam
