// The driver's registry of INDI devices: starts the camera library on the driver's event loop,
// makes one device per camera as cameras arrive and takes it away when its camera leaves, and
// offers the simulator device when simulated cameras are asked for.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace hx::indi {

class HalvexCcd;
class HalvexSimulator;

class DriverHub {
public:
    /// The one hub of the process; it lives until the process ends.
    static DriverHub& instance();

    /// Starts the camera library and announces the cameras present; on the event loop, once.
    void start();
    /// Ends every camera's reading and shuts the library down; at process exit.
    void stop();

    /// The INDI device name for a camera that arrives: "Halvex " and the model, then the lowest
    /// number no present device of that model carries (so a replugged camera gets its name,
    /// and its saved configuration, back).
    std::string deviceNameFor(const std::string& camera) const;
    /// The library name of a camera given by its INDI device name or its library name; empty
    /// when no present camera has it.
    std::string cameraFor(const std::string& name) const;

private:
    DriverHub() = default;
    static void hotPlug(void* hub, const char* name, int code);
    static void deviceEvents(int fd, void* hub);
    static void sweep(void* hub);
    void arrive(const std::string& camera);
    void leave(const std::string& camera);
    void scheduleSweep();

    bool started_ = false;
    bool stopped_ = false;
    int eventCallback_ = -1;
    int sweepTimer_ = -1;
    /// Present cameras by library name.
    std::map<std::string, std::unique_ptr<HalvexCcd>> devices_;
    /// Devices whose camera left, kept until libindi's upload threads have let go of them.
    std::vector<std::unique_ptr<HalvexCcd>> retired_;
    std::unique_ptr<HalvexSimulator> simulator_;
};

} // namespace hx::indi
