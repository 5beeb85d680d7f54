// Snapshots and parameter sets that cannot be written: a full disk (a small file-size limit)
// or a directory that is not there is reported as -3, and what could be written stays.
#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <iterator>
#include <vector>

#include "ApiFixture.h"
#include "tests/FileSizeLimit.h"
#include "tests/ReadOnlyDirectory.h"

namespace fs = std::filesystem;

namespace {

std::vector<char> bytesOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

} // namespace

TEST_F(ApiTest, SnapshotFilesThatCannotBeWrittenAreReportedAndTheOthersStay) {
    std::vector<unsigned char> raw, image;
    const std::string name = grabFinished(0xA811, raw, image);
    ASSERT_FALSE(name.empty());
    const char* n = name.c_str();

    // RAW (big: 16 bits of three channels) and JPEG (small) of the finished image.
    const int formats = 1 | 8;
    const std::string whole = (dir_ / "whole").string();
    ASSERT_EQ(SaveFile(image.data(), whole.c_str(), formats, n), 0);
    const auto rawSize = fs::file_size(whole + ".raw");
    const auto jpegSize = fs::file_size(whole + ".jpg");
    ASSERT_GT(rawSize, 2 * jpegSize + 8192);

    // Room for the JPEG only: -3, the JPEG written whole, no RAW and no temporary file.
    const std::string part = (dir_ / "part").string();
    {
        hxtest::FileSizeLimit limit(jpegSize + 4096);
        ASSERT_TRUE(limit.ok());
        EXPECT_EQ(SaveFile(image.data(), part.c_str(), formats, n), -3);
        // An earlier snapshot of the same name is kept as it was.
        EXPECT_EQ(SaveFile(image.data(), whole.c_str(), formats, n), -3);
    }
    EXPECT_EQ(bytesOf(part + ".jpg"), bytesOf(whole + ".jpg"));
    EXPECT_FALSE(fs::exists(part + ".raw"));
    EXPECT_EQ(fs::file_size(whole + ".raw"), rawSize);
    // A FITS file that does not fit counts as well, after the JPEG before it was written.
    const std::string fitsPart = (dir_ / "fits-part").string();
    {
        hxtest::FileSizeLimit limit(jpegSize + 4096);
        ASSERT_TRUE(limit.ok());
        EXPECT_EQ(SaveFile(image.data(), fitsPart.c_str(), 8 | 32, n), -3);
    }
    EXPECT_EQ(bytesOf(fitsPart + ".jpg"), bytesOf(whole + ".jpg"));
    EXPECT_FALSE(fs::exists(fitsPart + ".fits"));
    for (const auto& entry : fs::directory_iterator(dir_))
        EXPECT_EQ(entry.path().filename().string().find(".hxsave-"), std::string::npos)
            << entry.path();

    // A directory that is not there: nothing can be written.
    const std::string nowhere = (dir_ / "missing" / "shot").string();
    EXPECT_EQ(SaveFile(image.data(), nowhere.c_str(), formats, n), -3);
    // A raw frame is converted first; its files fail the same way.
    EXPECT_EQ(SaveFile(raw.data(), nowhere.c_str(), 1 | 4, n), -3);
    EXPECT_EQ(SaveFile(raw.data(), part.c_str(), 1 | 4, n), 0);
    // FITS files, of the finished image and of the sensor samples, fail the same way.
    EXPECT_EQ(SaveFile(image.data(), nowhere.c_str(), 32, n), -3);
    EXPECT_EQ(SaveFile(raw.data(), nowhere.c_str(), 32 | 64, n), -3);
    EXPECT_EQ(SaveFile(raw.data(), part.c_str(), 32 | 64, n), 0);
    EXPECT_TRUE(fs::exists(part + ".fits"));
    SuspendDevice(n);
}

TEST_F(ApiTest, FitsSnapshotsThatCannotBeWrittenLeaveNoPartFileAndKeepAnEarlierOne) {
    std::vector<unsigned char> raw, image;
    const std::string name = grabFinished(0xA811, raw, image);
    ASSERT_FALSE(name.empty());
    const char* n = name.c_str();
    const fs::path shots = dir_ / "shots";
    fs::create_directories(shots);
    const std::string finished = (shots / "finished").string();
    const std::string sensor = (shots / "sensor").string();
    ASSERT_EQ(SaveFile(image.data(), finished.c_str(), 32, n), 0);
    ASSERT_EQ(SaveFile(raw.data(), sensor.c_str(), 32 | 64, n), 0);
    const auto finishedBytes = bytesOf(finished + ".fits");
    const auto sensorBytes = bytesOf(sensor + ".fits");
    ASSERT_GT(sensorBytes.size(), 2880u * 4);
    const auto onlyTheEarlierFiles = [&] {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(shots))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"finished.fits", "sensor.fits"}));
        EXPECT_EQ(bytesOf(finished + ".fits"), finishedBytes);
        EXPECT_EQ(bytesOf(sensor + ".fits"), sensorBytes);
    };

    // A full disk in the middle of the data: -3, and the files of that name stay as they were.
    {
        hxtest::FileSizeLimit limit(2880 * 3);
        ASSERT_TRUE(limit.ok());
        EXPECT_EQ(SaveFile(image.data(), finished.c_str(), 32, n), -3);
        EXPECT_EQ(SaveFile(raw.data(), sensor.c_str(), 32 | 64, n), -3);
        EXPECT_EQ(SaveFile(raw.data(), (shots / "new").c_str(), 32 | 64, n), -3);
    }
    onlyTheEarlierFiles();
    // A directory that cannot be written: the same.
    {
        hxtest::ReadOnlyDirectory readOnly(shots);
        ASSERT_TRUE(readOnly.ok());
        EXPECT_EQ(SaveFile(image.data(), finished.c_str(), 32, n), -3);
        EXPECT_EQ(SaveFile(raw.data(), sensor.c_str(), 32 | 64, n), -3);
        EXPECT_EQ(SaveFile(raw.data(), (shots / "new").c_str(), 32 | 64, n), -3);
    }
    onlyTheEarlierFiles();
    // With room again the same names are written.
    EXPECT_EQ(SaveFile(raw.data(), (shots / "new").c_str(), 32 | 64, n), 0);
    EXPECT_EQ(bytesOf(shots / "new.fits").size(), sensorBytes.size());
    SuspendDevice(n);
}

TEST_F(ApiTest, ParameterSetThatCannotBeWrittenIsReported) {
    start();
    const std::string name = plug(0xA811);
    ASSERT_FALSE(name.empty());
    const char* n = name.c_str();
    ASSERT_EQ(SaveConfiguration(1, n), 0);
    const auto slot = bytesOf(dir_ / "VAh200C1.b.txt");
    ASSERT_EQ(slot.size(), 38u);
    {
        hxtest::FileSizeLimit limit(0);
        ASSERT_TRUE(limit.ok());
        SetContrast(20, n);
        EXPECT_EQ(SaveConfiguration(1, n), -3);
    }
    // The slot written before is whole and unchanged.
    EXPECT_EQ(bytesOf(dir_ / "VAh200C1.b.txt"), slot);
    fs::remove_all(dir_);
    EXPECT_EQ(SaveConfiguration(1, n), -3);
    fs::create_directories(dir_);
    EXPECT_EQ(SaveConfiguration(1, n), 0);
}
