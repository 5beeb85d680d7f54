// Hot-plug soak: simulated cameras plugged and unplugged over and over on the owning thread,
// the streamed camera included, while one thread reads and converts frames and another saves
// snapshots. Nothing crashes, leaks, races or hangs; the registry ends empty and every
// parameter file is whole. HALVEX_SOAK_CYCLES sets the number of cycles (default 1000).
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "camera/CamApi.h"

namespace fs = std::filesystem;

namespace {

void ignoreHotPlug(void*, const char*, int) {}

/// The names of the cameras registered now, as the owning thread last saw them.
class NameBoard {
public:
    void publish() {
        std::vector<std::string> names;
        for (int i = 0; i < DeviceCount(); ++i) names.emplace_back(DeviceName(i));
        std::lock_guard lock(m_);
        names_ = std::move(names);
    }
    std::string pick(unsigned k) {
        std::lock_guard lock(m_);
        return names_.empty() ? std::string() : names_[k % names_.size()];
    }

private:
    std::mutex m_;
    std::vector<std::string> names_;
};

/// A decoded frame handed from the streaming thread to the saving thread.
class LatestImage {
public:
    void put(const std::string& name, const std::vector<unsigned char>& image) {
        std::lock_guard lock(m_);
        name_ = name;
        image_ = image;
    }
    bool take(std::string& name, std::vector<unsigned char>& image) {
        std::lock_guard lock(m_);
        if (image_.empty()) return false;
        name = std::move(name_);
        image.swap(image_);
        image_.clear();
        return true;
    }

private:
    std::mutex m_;
    std::string name_;
    std::vector<unsigned char> image_;
};

int soakCycles() {
    const char* text = std::getenv("HALVEX_SOAK_CYCLES");
    const int n = text ? std::atoi(text) : 0;
    return n > 0 ? n : 1000;
}

} // namespace

TEST(HotPlugSoak, PlugAndUnplugWhileFramesStreamAndSnapshotsSave) {
    setenv("HALVEX_NO_USB", "1", 1);
    unsetenv("HALVEX_SIMULATE");
    const fs::path dir = fs::temp_directory_path() / ("halvex-soak-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "shots");
    ASSERT_EQ(InitDevice(&ignoreHotPlug, nullptr, (dir.string() + "/").c_str()), 0);

    // The streamed camera and the others: CMOS end marker, line-counted, cooled CCD.
    const unsigned short products[] = {0xA811, 0xC00C, 0xE00C, 0xA00A};
    const int cycles = soakCycles();
    NameBoard board;
    LatestImage latest;
    std::atomic<bool> stop{false};
    std::atomic<long> frames{0}, saves{0}, failedReads{0};

    std::thread streamer([&] {
        std::vector<unsigned char> raw, image;
        for (unsigned k = 0; !stop; ++k) {
            const std::string name = board.pick(k / 8);
            if (name.empty()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            const char* n = name.c_str();
            const int size = RecvMemSize(n);
            if (size <= 0) continue; // gone already
            raw.resize(static_cast<size_t>(size));
            image.resize(raw.size() * 3 + 8192);
            ResumeDevice(n);
            const int r = GetRawData(raw.data(), size, n);
            EXPECT_TRUE(r == 0 || r == 1 || r == -1 || r == -3) << r;
            if (r != 0 && r != 1) {
                ++failedReads;
                continue;
            }
            if (DecodeRaw2Image(raw.data(), image.data(), n) != 0) continue;
            ++frames;
            latest.put(name, image);
        }
    });
    std::thread saver([&] {
        const std::string stem = (dir / "shots" / "soak").string();
        std::string name;
        std::vector<unsigned char> image;
        while (!stop) {
            if (!latest.take(name, image)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            // The camera may be gone (-1); a written snapshot replaces the last one whole.
            const int r = SaveFile(image.data(), stem.c_str(), 4 | 1, name.c_str());
            EXPECT_TRUE(r == 0 || r == -1) << r;
            if (r == 0) ++saves;
        }
    });

    std::vector<uint64_t> plugged;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(8);
    int cycle = 0;
    for (; cycle < cycles && std::chrono::steady_clock::now() < deadline; ++cycle) {
        // Two cameras stay plugged most of the time; the oldest goes, a new one comes.
        plugged.push_back(PlugSimulatedCamera(products[cycle % 4], 0));
        PumpDeviceEvents(0);
        board.publish();
        if (plugged.size() > 2) {
            EXPECT_EQ(UnplugSimulatedCamera(plugged.front()), 0);
            plugged.erase(plugged.begin());
            PumpDeviceEvents(0);
            board.publish();
        }
        // Every hundred cycles the cameras hold still until both workers got further (a frame
        // streamed, a snapshot saved), so that they work on every stretch of the soak; the wait
        // is bounded and only a stuck worker runs out of it.
        if (cycle % 100 == 99) {
            const long framesBefore = frames, savesBefore = saves;
            const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while ((frames == framesBefore || saves == savesBefore) &&
                   std::chrono::steady_clock::now() < limit)
                PumpDeviceEvents(10);
            EXPECT_GT(frames.load(), framesBefore) << "no frame at cycle " << cycle;
            EXPECT_GT(saves.load(), savesBefore) << "no snapshot at cycle " << cycle;
        }
    }
    for (uint64_t key : plugged) EXPECT_EQ(UnplugSimulatedCamera(key), 0);
    for (int i = 0; i < 100 && DeviceCount() > 0; ++i) PumpDeviceEvents(10);
    board.publish();
    stop = true;
    streamer.join();
    saver.join();

    EXPECT_EQ(cycle, cycles) << "the soak ran out of time";
    EXPECT_EQ(DeviceCount(), 0);
    EXPECT_GT(frames.load(), 0);
    EXPECT_GT(saves.load(), 0);
    ExitDevice();

    // Every parameter file is whole: index files of 4 bytes, slot files of 38; nothing else
    // but the snapshots, and no temporary file anywhere.
    int parameterFiles = 0;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (!entry.is_regular_file()) continue;
        const std::string file = entry.path().filename().string();
        const auto size = fs::file_size(entry.path());
        if (entry.path().parent_path() == dir / "shots") {
            EXPECT_TRUE(file == "soak.png" || file == "soak.raw") << file;
            continue;
        }
        ++parameterFiles;
        if (file.size() > 4 && file.compare(file.size() - 4, 4, ".txt") == 0)
            EXPECT_EQ(size, 38u) << file;
        else
            EXPECT_EQ(size, 4u) << file;
    }
    EXPECT_EQ(parameterFiles, 8); // an index and slot 0 of each of the four models
    std::printf("soak: %d cycles, %ld frames, %ld failed reads, %ld snapshots\n", cycle,
                frames.load(), failedReads.load(), saves.load());
    fs::remove_all(dir);
}
