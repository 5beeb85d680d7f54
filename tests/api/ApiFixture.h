// A library started with a fresh parameter directory, real USB left alone, and a record of
// every hot-plug message.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "camera/CamRegistry.h"
#include "sim/SimBus.h"

struct HotPlugLog {
    std::vector<std::pair<std::string, int>> messages;
    std::vector<std::thread::id> threads;
};

inline void recordHotPlug(void* application, const char* name, int code) {
    auto* log = static_cast<HotPlugLog*>(application);
    log->messages.emplace_back(name, code);
    log->threads.push_back(std::this_thread::get_id());
}

class ApiTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("HALVEX_NO_USB", "1", 1);
        unsetenv("HALVEX_SIMULATE");
        static std::atomic<int> serial{0};
        dir_ = std::filesystem::temp_directory_path() /
               ("halvex-api-" + std::to_string(::getpid()) + "-" + std::to_string(serial++));
        std::filesystem::create_directories(dir_);
        docs_ = dir_.string() + "/";
    }
    void TearDown() override {
        ExitDevice();
        auto& bus = hx::sim::SimBus::instance();
        for (uint64_t key : bus.keys()) bus.unplug(key);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    void start() { ASSERT_EQ(InitDevice(&recordHotPlug, &log_, docs_.c_str()), 0); }
    /// Plugs a simulated camera and takes it in; returns its device name, "" if none arrived.
    std::string plug(unsigned short productId, unsigned short bcd = 0, uint64_t* key = nullptr) {
        size_t before = log_.messages.size();
        uint64_t k = PlugSimulatedCamera(productId, bcd);
        if (key) *key = k;
        PumpDeviceEvents(0);
        return log_.messages.size() > before ? log_.messages.back().first : std::string();
    }

    std::filesystem::path dir_;
    std::string docs_;
    HotPlugLog log_;
};
