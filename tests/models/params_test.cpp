// Parameter sets of every model: what a camera saves comes back on the next camera of the
// model, whatever order its settings have to be restored in.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "models_test_util.h"

namespace fs = std::filesystem;

namespace {

/// A fresh parameter directory for one test.
class ModelParams : public ::testing::Test {
protected:
    void SetUp() override {
        // Hundreds of sets are saved, each written through to the disk: memory is faster.
        const char* base = std::getenv("HALVEX_TEST_TMP");
        std::error_code ec;
        fs::path root = base                               ? fs::path(base)
                        : fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm")
                                                           : fs::temp_directory_path();
        fs::create_directories(root);
        std::string pattern = (root / "model-params-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern + "/";
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string dir;
};

/// What a parameter set must bring back.
struct SensorState {
    int resolution, clock, depth;
    float exposure;
};

SensorState stateOf(CamBase& camera) {
    return {camera._resolution(), camera._pixsclock(), camera._raw_depth(), camera._exposure()};
}

/// Drives a camera to resolution r and clock c (in the order the setters allow: the clock last,
/// so that the resolution in force decides whether it is taken), the depth and an exposure at
/// `fraction` of its range.
void reach(CamBase& camera, int r, int c, int depth, double fraction) {
    camera._set_resolution(r, true);
    camera._set_pixsclock(c);
    camera._set_raw_depth(depth);
    float lo = 0, hi = 0, step = 0;
    ASSERT_EQ(camera._exposure_range(&lo, &hi, &step), 0);
    camera._set_exposure(static_cast<float>(lo + (hi - lo) * fraction));
}

} // namespace

TEST_F(ModelParams, ResolutionClockDepthAndExposureTimeComeBackOnEveryModel) {
    for (unsigned short id : kModelProductIds) {
        for (uint16_t bcd : modelGenerations(id)) {
            SCOPED_TRACE(testing::Message() << std::hex << "product 0x" << id << " bcd 0x" << bcd);
            // A camera that stays and loads every set in turn, from the state the one before
            // left it in.
            auto running = openModel(id, bcd);
            ASSERT_TRUE(running.camera);
            std::vector<std::pair<int, int>> combinations;
            for (int r = 0; r < running.camera->_resolution_count(); ++r)
                for (int c = 0; c < running.camera->_pixsclock_count(); ++c)
                    combinations.emplace_back(r, c);
            std::shuffle(combinations.begin(), combinations.end(), std::mt19937(id ^ bcd));
            for (const auto& [r, c] : combinations) {
                SCOPED_TRACE(testing::Message()
                             << std::dec << "resolution " << r << " clock " << c);
                // Short and long exposures, 8-bit and (where it is possible) 16-bit data.
                const int depth = (r + c) % 2 ? 16 : 8;
                const double fraction = (r + c) % 3 == 0 ? 0.9 : 0.002;
                auto saved = openModel(id, bcd);
                reach(*saved.camera, r, c, depth, fraction);
                const SensorState before = stateOf(*saved.camera);
                ASSERT_EQ(saved.camera->_save_params(0, dir), 0);

                // The next camera of the model starts from its construction defaults.
                auto arriving = openModel(id, bcd);
                for (CamBase* camera : {arriving.camera.get(), running.camera.get()}) {
                    ASSERT_EQ(camera->_load_params(0, dir), 0);
                    const SensorState after = stateOf(*camera);
                    EXPECT_EQ(after.resolution, before.resolution);
                    EXPECT_EQ(after.clock, before.clock);
                    EXPECT_EQ(after.depth, before.depth);
                    EXPECT_EQ(after.exposure, before.exposure);
                }
            }
        }
    }
}
