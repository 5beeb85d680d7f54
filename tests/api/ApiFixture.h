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

#include "camera/CamApi.h"
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

/// Reads until a frame arrives (codes 0 and 1); the code of the last read.
inline int readFrame(std::vector<unsigned char>& buffer, const char* name) {
    int r = -3;
    for (int attempt = 0; attempt < 20 && r != 0 && r != 1; ++attempt)
        r = GetRawData(buffer.data(), static_cast<int>(buffer.size()), name);
    return r;
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

    /// Starts the library and a simulated camera, reads a frame into `raw` and its finished
    /// image into `image`; the camera's name, "" (with the failure recorded) when that fails.
    std::string grabFinished(unsigned short productId, std::vector<unsigned char>& raw,
                             std::vector<unsigned char>& image) {
        start();
        const std::string name = plug(productId);
        const char* n = name.c_str();
        if (name.empty() || ResumeDevice(n) != 0) {
            ADD_FAILURE() << "no camera 0x" << std::hex << productId << " to read from";
            return {};
        }
        raw.assign(RecvMemSize(n), 0);
        image.assign(raw.size() * 3 + 8192, 0);
        const int r = readFrame(raw, n);
        if ((r != 0 && r != 1) || DecodeRaw2Image(raw.data(), image.data(), n) != 0) {
            ADD_FAILURE() << "no frame from " << name << " (code " << r << ")";
            return {};
        }
        return name;
    }

    std::filesystem::path dir_;
    std::string docs_;
    HotPlugLog log_;
};
