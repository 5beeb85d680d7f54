// The "Halvex Simulator" device: plugs and unplugs simulated cameras from any INDI client, so
// that hot-plug can be tried and tested without hardware.
#pragma once

#include <libindi/defaultdevice.h>
#include <libindi/indipropertytext.h>

namespace hx::indi {

class DriverHub;

class HalvexSimulator : public INDI::DefaultDevice {
public:
    explicit HalvexSimulator(DriverHub& hub);

    const char* getDefaultName() override;
    bool initProperties() override;
    void ISGetProperties(const char* dev) override;
    bool ISNewText(const char* dev, const char* name, char* texts[], char* names[], int n) override;

protected:
    bool Connect() override { return true; }
    bool Disconnect() override { return true; }

private:
    DriverHub& hub_;
    /// SIM_PLUG.MODEL: a model name or product id with an optional bcdDevice, or a list of them.
    INDI::PropertyText PlugTP{1};
    /// SIM_UNPLUG.NAME: the camera's INDI device name or its library name.
    INDI::PropertyText UnplugTP{1};
};

} // namespace hx::indi
