// A camera library started for a test on simulated cameras only, and shut down after it.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "camera/CamApi.h"
#include "sim/SimBus.h"

class SimulatedLibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("HALVEX_NO_USB", "1", 1);
        unsetenv("HALVEX_SIMULATE");
        InitDevice(nullptr, nullptr, nullptr);
    }
    void TearDown() override {
        ExitDevice();
        auto& bus = hx::sim::SimBus::instance();
        for (uint64_t key : bus.keys()) bus.unplug(key);
        SetSimulatedPacing(0);
    }
    /// Plugs one simulated camera and takes it in; its device name, "" when none arrived.
    std::string plugCamera(unsigned short product, unsigned short bcd = 0, bool realTime = false) {
        SetSimulatedPacing(realTime ? 1 : 0);
        const int before = DeviceCount();
        PlugSimulatedCamera(product, bcd);
        PumpDeviceEvents(0);
        EXPECT_EQ(DeviceCount(), before + 1);
        return DeviceCount() > before ? DeviceName(0) : "";
    }
};
