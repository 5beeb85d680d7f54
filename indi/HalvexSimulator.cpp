#include "indi/HalvexSimulator.h"

#include <cstring>
#include <memory>
#include <string>

#include "camera/CamApi.h"
#include "camera/CamRegistry.h"
#include "indi/DriverHub.h"

namespace hx::indi {

namespace {
constexpr const char* kSimulatorName = "Halvex Simulator";
constexpr const char* kSimulationTab = "Simulation";
/// Texts are echoed in messages; a longer one is cut there.
constexpr size_t kEchoLimit = 80;
/// Longest text taken: model lists and device names are short, and libindi 1.9.9 corrupts its
/// heap when it sends a property holding a text of some ten thousand bytes with a message.
constexpr size_t kMaxText = 1024;

std::string echo(const char* text) {
    std::string s = text ? text : "";
    if (s.size() > kEchoLimit) s = s.substr(0, kEchoLimit) + "...";
    return s;
}
} // namespace

HalvexSimulator::HalvexSimulator(DriverHub& hub) : hub_(hub) {
    setDeviceName(kSimulatorName);
    setVersion(1, 0);
}

const char* HalvexSimulator::getDefaultName() {
    return kSimulatorName;
}

bool HalvexSimulator::initProperties() {
    INDI::DefaultDevice::initProperties();
    PlugTP[0].fill("MODEL", "Model[:bcdDevice]", "");
    PlugTP.fill(getDeviceName(), "SIM_PLUG", "Plug camera", kSimulationTab, IP_RW, 60, IPS_IDLE);
    UnplugTP[0].fill("NAME", "Device name", "");
    UnplugTP.fill(getDeviceName(), "SIM_UNPLUG", "Unplug camera", kSimulationTab, IP_RW, 60,
                  IPS_IDLE);
    return true;
}

/// The simulator's controls need no connection: plugging cameras is all it does.
void HalvexSimulator::ISGetProperties(const char* dev) {
    INDI::DefaultDevice::ISGetProperties(dev);
    defineProperty(PlugTP);
    defineProperty(UnplugTP);
}

bool HalvexSimulator::ISNewText(const char* dev, const char* name, char* texts[], char* names[],
                                int n) {
    if (!dev || std::strcmp(dev, getDeviceName()) != 0 || n < 1 || !texts || !texts[0])
        return INDI::DefaultDevice::ISNewText(dev, name, texts, names, n);
    INDI::PropertyText* property = nullptr;
    if (PlugTP.isNameMatch(name)) property = std::addressof(PlugTP);
    if (UnplugTP.isNameMatch(name)) property = std::addressof(UnplugTP);
    if (property && std::strlen(texts[0]) > kMaxText) {
        property->setState(IPS_ALERT);
        property->apply("The text is too long (%zu characters; at most %zu).",
                        std::strlen(texts[0]), kMaxText);
        return true;
    }
    if (PlugTP.isNameMatch(name)) {
        PlugTP.update(texts, names, n);
        const char* model = PlugTP[0].getText();
        const int r = PlugSimulatedCameras(model);
        if (r > 0) {
            PlugTP.setState(IPS_OK);
            PlugTP.apply("Plugged %s; the camera appears once the library takes it in.",
                         echo(model).c_str());
        } else {
            PlugTP.setState(IPS_ALERT);
            // The reason names the item, shortened like every echo of what the client sent.
            const std::vector<std::string> problems = hx::cam::simulateListProblems(echo(model));
            const std::string what = problems.empty() ? "'" + echo(model) + "'" : problems.front();
            PlugTP.apply("Cannot plug %s. Models that can be simulated: %s; or a product id "
                         "such as 0xE00C, optionally with :bcdDevice.",
                         what.c_str(), hx::cam::simulatableModelList().c_str());
        }
        return true;
    }
    if (UnplugTP.isNameMatch(name)) {
        UnplugTP.update(texts, names, n);
        const char* given = UnplugTP[0].getText();
        const std::string camera = hub_.cameraFor(given ? given : "");
        const int r = camera.empty() ? -1 : UnplugSimulatedCameraByName(camera.c_str());
        if (r == 0) {
            UnplugTP.setState(IPS_OK);
            UnplugTP.apply("Unplugged %s.", camera.c_str());
        } else {
            UnplugTP.setState(IPS_ALERT);
            UnplugTP.apply("No simulated camera is named '%s'.", echo(given).c_str());
        }
        return true;
    }
    return INDI::DefaultDevice::ISNewText(dev, name, texts, names, n);
}

} // namespace hx::indi
