// Parameter sets through the library: what a camera had comes back when the library starts
// again, a broken index file falls back to the first slot, and without a documents directory
// no parameter file is read or written anywhere.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ApiFixture.h"
#include "camera/CamApi.h"

namespace fs = std::filesystem;

namespace {

std::vector<unsigned char> bytesOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void writeBytes(const fs::path& path, const std::vector<unsigned char>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

std::vector<unsigned char> index32(int32_t slot) {
    const auto v = static_cast<uint32_t>(slot);
    return {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
            static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
}

/// Runs a test with the process's working directory in a directory of its own.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const fs::path& path) : old_(fs::current_path()) {
        fs::create_directories(path);
        fs::current_path(path);
    }
    ~WorkingDirectory() { fs::current_path(old_); }
    WorkingDirectory(const WorkingDirectory&) = delete;
    WorkingDirectory& operator=(const WorkingDirectory&) = delete;

private:
    fs::path old_;
};

} // namespace

TEST_F(ApiTest, ClockShiftedAtFullResolutionComesBackWithResolutionAndExposure) {
    // The fastest clock of this camera is moved down the table at full resolution, so it must
    // be restored after the binned resolution it was saved with.
    start();
    std::string name = plug(0xE00C, 0xA001);
    const char* n = name.c_str();
    ASSERT_EQ(SetResolution(1, n), 0);
    ASSERT_EQ(SetPixelclock(0, n), 0);
    ASSERT_EQ(SetExposure(50.0f, n), 0);
    const float exposure = GetExposure(n);
    ASSERT_NEAR(exposure, 50.0f, 0.2f);
    ExitDevice();

    start();
    ASSERT_EQ(DeviceCount(), 1);
    const std::string again = DeviceName(0);
    EXPECT_EQ(GetResolution(again.c_str()), 1);
    EXPECT_EQ(GetPixelclock(again.c_str()), 0);
    EXPECT_EQ(GetExposure(again.c_str()), exposure);
}

TEST_F(ApiTest, IndexNamingNoSlotFallsBackToTheFirstSlot) {
    start();
    uint64_t key = 0;
    std::string first = plug(0xA811, 0, &key);
    SetContrast(150, first.c_str());
    UnplugSimulatedCamera(key);
    PumpDeviceEvents(0);
    const fs::path index = dir_ / "VAh200C1.", slot0 = dir_ / "VAh200C1.a.txt";
    ASSERT_EQ(bytesOf(slot0).at(5), 150);

    for (int32_t bad : {30, 1000, -1, INT32_MIN}) {
        SCOPED_TRACE(bad);
        // A camera arriving loads slot 0, and the index names slot 0 again.
        writeBytes(index, index32(bad));
        std::string name = plug(0xA811, 0, &key);
        const char* n = name.c_str();
        EXPECT_EQ(GetContrast(n), 150);
        EXPECT_EQ(bytesOf(index), index32(0));

        // Asking for the current slot mends the index too.
        writeBytes(index, index32(bad));
        EXPECT_EQ(GetCurrentConfiguration(n), 0);
        EXPECT_EQ(bytesOf(index), index32(0));

        // Leaving, the camera saves into slot 0.
        writeBytes(index, index32(bad));
        SetContrast(90, n);
        UnplugSimulatedCamera(key);
        PumpDeviceEvents(0);
        auto saved = bytesOf(slot0);
        EXPECT_EQ(saved.at(5), 90);
        EXPECT_EQ(bytesOf(index), index32(0));
        saved.at(5) = 150;
        writeBytes(slot0, saved);
    }
}

TEST_F(ApiTest, WithoutDocumentsDirectoryNoParameterFileIsWrittenAnywhere) {
    const fs::path work = dir_ / "cwd";
    WorkingDirectory cwd(work);
    for (const char* docs : {"", static_cast<const char*>(nullptr)}) {
        ASSERT_EQ(InitDevice(&recordHotPlug, &log_, docs), 0);
        uint64_t key = 0;
        std::string name = plug(0xA811, 0, &key);
        const char* n = name.c_str();
        SetContrast(150, n);
        EXPECT_EQ(GetCurrentConfiguration(n), 0);
        SaveConfiguration(3, n);
        LoadConfiguration(3, n);
        EXPECT_EQ(GetCurrentConfiguration(n), 0);
        EXPECT_EQ(GetContrast(n), 150);
        UnplugSimulatedCamera(key);
        PumpDeviceEvents(0);
        plug(0xA811, 0, &key);
        ExitDevice();
        EXPECT_TRUE(fs::is_empty(work));
    }
    EXPECT_FALSE(fs::exists(dir_ / "VAh200C1."));
}
