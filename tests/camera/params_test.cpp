// Parameter files of the base camera: byte layout, index file, loading order, and slot files
// that are short, long or hold values outside their ranges.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "camera_test_model.h"
#include "tests/FileSizeLimit.h"

using namespace camtest;
namespace fs = std::filesystem;

namespace {

class CameraParams : public ::testing::Test {
protected:
    void SetUp() override {
        const char* base = std::getenv("HALVEX_TEST_TMP");
        fs::path root = base ? fs::path(base) : fs::temp_directory_path();
        fs::create_directories(root);
        std::string pattern = (root / "params-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern + "/";
        ASSERT_EQ(cam.__open_driver(sim), 0);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::vector<unsigned char> readFile(const std::string& name) {
        std::ifstream in(dir + name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    void writeFile(const std::string& name, const std::vector<unsigned char>& bytes) {
        std::ofstream out(dir + name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }

    std::string dir;
    std::shared_ptr<hx::sim::SimCamera> sim = makeSim();
    TestCam cam;
};

int u16(const std::vector<unsigned char>& b, int offset) {
    return b[offset] | (b[offset + 1] << 8);
}

} // namespace

TEST_F(CameraParams, SaveWritesIndexAndSlotByteForByte) {
    cam._set_gamma(120);
    cam._set_gamma(90, 1);
    cam._set_gamma(40, 2);
    cam._set_contrast(140);
    cam._set_aetarget(150);
    cam._set_saturation(77);
    cam._set_digital_gain(70, 80, 90);
    cam._set_flip(2);
    cam._set_monochrome(true);
    cam._set_autoexposure(true);
    cam._set_snap_format(5);
    cam._set_analog_gain(45);
    cam._set_pixsclock(1);
    cam._set_resolution(1, true);
    cam._set_roi(16, 10, 200, 100);
    cam._set_exposure(250.5f * 800.0f / 24000.0f);

    EXPECT_EQ(cam._save_params(2, dir), 0);
    EXPECT_EQ(readFile("VAo200C1."), (std::vector<unsigned char>{2, 0, 0, 0}));
    const auto b = readFile("VAo200C1.c.txt");
    ASSERT_EQ(b.size(), 38u);
    const std::vector<unsigned char> head{1, 1, 0, 1, 120, 140, 150, 77, 70, 80, 90, 2};
    EXPECT_EQ(std::vector<unsigned char>(b.begin(), b.begin() + 12), head);
    EXPECT_EQ(u16(b, 12), 1);   // resolution
    EXPECT_EQ(u16(b, 14), 1);   // clock
    EXPECT_EQ(u16(b, 16), 8);   // depth
    EXPECT_EQ(u16(b, 18), 0);   // black level
    EXPECT_EQ(u16(b, 20), 250); // exposure lines
    EXPECT_EQ(u16(b, 22), 0);
    EXPECT_EQ(u16(b, 24), 16);
    EXPECT_EQ(u16(b, 26), 10);
    EXPECT_EQ(u16(b, 28), 208);
    EXPECT_EQ(u16(b, 30), 108);
    EXPECT_EQ(u16(b, 32), 5);
    EXPECT_EQ(u16(b, 34), 45);
    EXPECT_EQ(b[36], 90);
    EXPECT_EQ(b[37], 40);
    EXPECT_EQ(cam._current_params(dir), 2);
    // No temporary files are left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);

    // A second camera of the model loads the set back, exposure included.
    TestCam other;
    auto sim2 = makeSim();
    ASSERT_EQ(other.__open_driver(sim2), 0);
    EXPECT_EQ(other._load_params(2, dir), 0);
    EXPECT_EQ(other._resolution(), 1);
    EXPECT_EQ(other._pixsclock(), 1);
    EXPECT_EQ(other._analog_gain(), 45);
    EXPECT_EQ(other.exposure.value, 250);
    EXPECT_EQ(other._gamma(), 120);
    EXPECT_EQ(other._gamma(2), 40);
    EXPECT_EQ(other._saturation(), 77);
    EXPECT_EQ(other._flip(), 2);
    bool on = false;
    other._roi_state(&on);
    EXPECT_FALSE(on); // the resolution changed, which switches the region off
    EXPECT_EQ(other.software[kSwGamma0].pending, 1);
    EXPECT_EQ(sim2->resolutionIndex(), 1);
}

TEST_F(CameraParams, ExposureOf300LinesLoadsBackAs300) {
    cam._set_exposure(12.175f);
    ASSERT_EQ(cam.exposure.value, 300);
    cam._save_params(0, dir);
    cam._set_exposure(1.0f);
    cam._load_params(0, dir);
    EXPECT_EQ(cam.exposure.value, 300);
}

TEST_F(CameraParams, MissingFilesAndBadSlots) {
    EXPECT_EQ(cam._current_params(dir), 0);
    cam._save_params(0, dir);
    cam._set_contrast(10);
    EXPECT_EQ(cam._load_params(1, dir), 0);
    EXPECT_EQ(cam._contrast(), 10);
    EXPECT_EQ(cam._current_params(dir), 1);
    EXPECT_EQ(cam._save_params(-50, dir), -2); // would name "/" + ...
    EXPECT_EQ(cam._load_params(1000, dir), -2);
    EXPECT_EQ(cam._current_params(dir), 1);

    // Any directory length works.
    std::string deep = dir + std::string(200, 'd') + "/" + std::string(200, 'e') + "/";
    fs::create_directories(deep);
    EXPECT_EQ(cam._save_params(3, deep), 0);
    EXPECT_EQ(cam._current_params(deep), 3);
    // An unwritable directory is reported and leaves nothing behind.
    EXPECT_EQ(cam._save_params(0, dir + "missing/"), -3);
}

TEST_F(CameraParams, HostileSlotFilesNeverPutASettingOutOfRange) {
    // Every field out of range: gamma 0, contrast ok, target 255, resolution 9, clock 7,
    // depth 12, exposure 60000, region outside the image, gain 500.
    std::vector<unsigned char> bad(38, 0);
    bad[0] = 7;                     // not a switch value
    bad[4] = 0;                     // gamma 0
    bad[5] = 130;                   // contrast: fine
    bad[6] = 255;                   // target beyond 180
    bad[8] = 255;                   // gain beyond 240
    bad[11] = 9;                    // flip code
    bad[12] = 9;                    // resolution index past the table
    bad[14] = 7;                    // clock index past the table
    bad[16] = 12;                   // depth
    bad[20] = 0x60, bad[21] = 0xEA; // 60000 lines
    bad[24] = 0xFF, bad[25] = 0xFF; // region origin far outside
    bad[28] = 100, bad[30] = 100;
    bad[3] = 1;
    bad[34] = 0xF4, bad[35] = 0x01; // gain 500
    bad[36] = 200;                  // gamma 200
    writeFile("VAo200C1.a.txt", bad);
    cam._set_exposure(12.175f);
    EXPECT_EQ(cam._load_params(0, dir), 0);
    bool on = true;
    cam._monochrome(&on);
    EXPECT_FALSE(on);
    EXPECT_EQ(cam._gamma(0), 100);
    EXPECT_EQ(cam._gamma(1), 100);
    EXPECT_EQ(cam._contrast(), 130);
    EXPECT_EQ(cam._aetarget(), 110);
    int r = 0, g = 0, b = 0;
    cam._digital_gain(&r, &g, &b);
    EXPECT_EQ(r, 64);
    EXPECT_EQ(cam._flip(), 0);
    EXPECT_EQ(cam._resolution(), 0);
    EXPECT_EQ(cam._pixsclock(), 0);
    EXPECT_EQ(cam._raw_depth(), 8);
    EXPECT_EQ(cam.exposure.value, 300);
    EXPECT_EQ(cam._analog_gain(), 30);
    cam._roi_state(&on);
    EXPECT_FALSE(on);

    // A short file applies what it holds; a long one its first 38 bytes.
    writeFile("VAo200C1.b.txt", {0, 0, 0, 0, 90, 100});
    EXPECT_EQ(cam._load_params(1, dir), 0);
    EXPECT_EQ(cam._gamma(), 90);
    EXPECT_EQ(cam._contrast(), 100);
    EXPECT_EQ(cam._aetarget(), 110);
    EXPECT_EQ(cam.exposure.value, 300);
    std::vector<unsigned char> longer(100, 0);
    longer[4] = 60;
    longer[5] = 128;
    longer[6] = 100;
    longer[16] = 8;
    longer[20] = 100;
    longer[34] = 20;
    longer[36] = 100;
    longer[37] = 100;
    writeFile("VAo200C1.c.txt", longer);
    EXPECT_EQ(cam._load_params(2, dir), 0);
    EXPECT_EQ(cam._gamma(), 60);
    EXPECT_EQ(cam._analog_gain(), 20);
    EXPECT_EQ(cam.exposure.value, 100);
}

TEST_F(CameraParams, RegionFromASlotIsAlignedAsTheSetterAlignsIt) {
    // A foreign slot: region at (17, 11), 203 x 101 (stored + 8), switched on, same resolution.
    std::vector<unsigned char> slot(38, 0);
    slot[3] = 1;
    slot[4] = slot[36] = slot[37] = 100;
    slot[5] = 128;
    slot[6] = 110;
    slot[12] = static_cast<unsigned char>(cam._resolution());
    slot[16] = 8;
    slot[20] = 100;
    slot[24] = 17, slot[26] = 11;
    slot[28] = 211, slot[30] = 109;
    slot[34] = 30;
    writeFile("VAo200C1.a.txt", slot);
    ASSERT_EQ(cam._load_params(0, dir), 0);
    bool on = false;
    cam._roi_state(&on);
    EXPECT_TRUE(on);
    int x = -1, y = -1, w = -1, h = -1;
    cam._roi(&x, &y, &w, &h);
    // As _set_roi(17, 11, 203, 101) stores it: x to 4, y to 2, width + 8 to 4, height + 8 to 2.
    EXPECT_EQ(x, 16);
    EXPECT_EQ(y, 10);
    EXPECT_EQ(w, 200);
    EXPECT_EQ(h, 100);
    TestCam reference;
    auto sim2 = makeSim();
    ASSERT_EQ(reference.__open_driver(sim2), 0);
    reference._set_roi(17, 11, 203, 101);
    int rx = -1, ry = -1, rw = -1, rh = -1;
    reference._roi(&rx, &ry, &rw, &rh);
    EXPECT_EQ(std::vector<int>({x, y, w, h}), std::vector<int>({rx, ry, rw, rh}));
}

TEST_F(CameraParams, StaleTemporariesOfKilledWritersAreSweptWhenTheDirectoryIsWritten) {
    ASSERT_EQ(cam._save_params(0, dir), 0);
    const std::string display = "VAo200C1.";
    const auto make = [&](const std::string& name, int ageSeconds) {
        writeFile(name, {1, 2, 3});
        const auto when = fs::file_time_type::clock::now() - std::chrono::seconds(ageSeconds);
        fs::last_write_time(dir + name, when);
    };
    // What killed writers of the index and of two slot files left, two minutes ago.
    make(display + ".hxparam-Ab12Cd", 120);
    make(display + "c.txt.hxparam-000000", 120);
    make(display + "~.txt.hxparam-zZ9yY8", 120);
    // Kept: a write that may still run, other names, other models, and what is not a file.
    const std::vector<std::string> kept = {display + ".hxparam-Fresh1",
                                           display + ".hxparam-Ab12C",
                                           display + ".hxparam-Ab12Cd.old",
                                           display + "A.txt.hxparam-Ab12Cd",
                                           display + ".backup",
                                           "Other1.hxparam-Ab12Cd",
                                           display + "cc.txt.hxparam-Ab12Cd"};
    make(kept[0], 10);
    for (size_t i = 1; i < kept.size(); ++i) make(kept[i], 120);
    fs::create_directory(dir + display + "d.txt.hxparam-Dir123");
    fs::create_symlink(dir + display, dir + display + "e.txt.hxparam-Link12");

    ASSERT_EQ(cam._save_params(1, dir), 0);
    EXPECT_FALSE(fs::exists(dir + display + ".hxparam-Ab12Cd"));
    EXPECT_FALSE(fs::exists(dir + display + "c.txt.hxparam-000000"));
    EXPECT_FALSE(fs::exists(dir + display + "~.txt.hxparam-zZ9yY8"));
    for (const std::string& name : kept) EXPECT_TRUE(fs::exists(dir + name)) << name;
    EXPECT_TRUE(fs::is_directory(dir + display + "d.txt.hxparam-Dir123"));
    EXPECT_TRUE(fs::is_symlink(dir + display + "e.txt.hxparam-Link12"));
    // The files themselves are whole.
    EXPECT_EQ(cam._current_params(dir), 1);
    EXPECT_EQ(readFile(display + "b.txt").size(), 38u);
}

TEST_F(CameraParams, AWriterKilledByTheFileSizeLimitLeavesATemporaryTheNextWriteSweeps) {
    const std::string display = "VAo200C1.";
    // The limit's signal at its default kills the writer in the middle of the index file.
    const int status = hxtest::writerStatusUnderLimit(1, [&] { cam._save_params(4, dir); });
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(dir)) {
        left.push_back(entry.path().filename().string());
        fs::last_write_time(entry.path(),
                            fs::file_time_type::clock::now() - std::chrono::minutes(2));
    }
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].rfind(display + ".hxparam-", 0), 0u) << left[0];

    ASSERT_EQ(cam._save_params(4, dir), 0);
    EXPECT_FALSE(fs::exists(dir + left[0]));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);
}
