// The simulated USB bus: simulated cameras plugged and unplugged by the program.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "sim/SimCamera.h"
#include "usb/UsbBus.h"

namespace hx::sim {

/// The product id a camera class name stands for ("VAh200C1", also with a trailing "."),
/// or -1 for a name no model has. A class made by two product ids gives the first.
int simProductIdForClass(std::string_view className);

/// The camera class names a simulation list may give, in the order of the class table.
std::vector<std::string> simClassNames();

/// One camera of a simulation list: product id and bcdDevice (0: the model's own), and the item
/// as it was written.
struct SimulateItem {
    uint16_t productId = 0;
    uint16_t bcdDevice = 0;
    std::string text;
};

/// Parses a simulation list: class names or product ids (decimal or 0x hexadecimal), each
/// optionally followed by ":bcdDevice", separated by commas; blanks around items are ignored
/// and empty items skipped. Items that cannot be read are left out and named in *errors.
std::vector<SimulateItem> parseSimulateList(std::string_view text,
                                            std::vector<std::string>* errors = nullptr);

/// The process-wide simulated bus. Cameras stay plugged while the bus is stopped, as on a real
/// bus, and are reported again when it starts. Only cameras the filter accepts are reported.
class SimBus final : public hx::usb::UsbBus {
public:
    static SimBus& instance();

    bool start(Filter filter, Listener listener) override;
    void stop() override;

    /// Plugs a new simulated camera with the bus's default options; returns its key (never 0).
    uint64_t plug(uint16_t productId, uint16_t bcdDevice = 0);
    /// Plugs a new simulated camera with the given options; returns its key (never 0).
    uint64_t plug(uint16_t productId, uint16_t bcdDevice, SimOptions options);
    /// Options of the cameras plugged without options of their own (as fast as possible unless
    /// a program asks for real-time pacing).
    void setDefaultOptions(const SimOptions& options);
    /// Plugs a camera made by the caller; returns its key, 0 for a null camera.
    uint64_t plug(std::shared_ptr<SimCamera> camera);
    /// Pulls the cable of a plugged camera; false when no camera has this key.
    bool unplug(uint64_t key);
    /// The camera plugged under a key, or null.
    std::shared_ptr<SimCamera> camera(uint64_t key) const;
    /// The keys of every plugged camera, oldest first.
    std::vector<uint64_t> keys() const;

private:
    SimBus() = default;
    bool accepted(const SimCamera& camera) const;

    mutable std::mutex mutex_;
    std::map<uint64_t, std::shared_ptr<SimCamera>> cameras_;
    Filter filter_;
    Listener listener_;
    SimOptions defaults_;
    bool running_ = false;
};

} // namespace hx::sim
