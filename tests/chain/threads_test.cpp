// The chain converting frames on one thread while settings, calibrations and snapshot requests
// arrive from another (run under the thread sanitizer in CI).
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "chain_model.h"

using namespace chaintest;

TEST(ChainThreads, SettersAndCalibrationsDuringConversion) {
    ChainCam cam;
    cam._set_histogram(true);
    cam._set_ff_state(true);
    cam._set_snap_format(0); // deferred saves are served without writing files
    // Large enough for the steps that split a frame between two threads.
    RawFrame shared(800, 700, 8);
    shared.randomise(1);
    std::atomic<bool> done{false};

    std::thread show([&] {
        RawFrame raw = shared;
        ImageBuffer out(800, 700);
        for (int i = 0; i < 20; ++i) {
            raw.image()->data = raw.data() + kHead;
            ASSERT_EQ(cam._raw2image(raw.data(), out.data(), i % 2 == 0), 0);
        }
        done = true;
    });
    RawFrame mine = shared;
    for (int i = 0; !done.load(); ++i) {
        cam._set_contrast(100 + i % 60);
        cam._set_gamma(60 + i % 80, i % 3);
        cam._set_saturation(50 + i % 100);
        cam._set_digital_gain(40 + i % 50, 64, 90 - i % 30);
        cam._set_stretch(i % 50, 200 + i % 50, i % 7 == 0, i % 3);
        cam._set_flip(i % 4);
        cam._set_monochrome(i % 5 == 0);
        if (i % 50 == 0) cam._calc_flat_field(mine.data(), false);
        if (i % 50 == 25) {
            __IMG_RECT area{5, 5, 300, 200};
            cam._calc_white_balance(mine.data(), i % 20 == 5 ? &area : nullptr);
        }
        if (i % 16 == 0) cam._saveimage("unused", i % 3);
    }
    show.join();
}

namespace {

std::vector<unsigned char> fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

// The live view converts frames while another thread saves a raw record of the same camera as
// TIFF, which converts it too. Automatic stretch rebuilds the stretch tables from each image,
// and flat field works through the camera's working copy: every conversion must still come out
// exactly as it does alone.
TEST(ChainThreads, TwoThreadsConvertFramesOfOneCameraAtOnce) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("halvex-chain-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    ezInitGrfmt();
    ChainCam cam;
    cam._set_histogram(true);
    cam._set_snap_format(0);
    cam._set_gamma(80);
    cam._set_contrast(150);
    cam._set_saturation(130);
    cam._set_digital_gain(70, 64, 50);
    for (int c = 0; c < 3; ++c) cam._set_stretch(0, 0, true, c);
    // Two frames of one size with different content, so that their stretch tables differ.
    RawFrame live(800, 700, 8), saved(800, 700, 8), flat(800, 700, 8);
    live.randomise(1);
    saved.fillRggb(200, 60, 20);
    for (int y = 0; y < 700; y += 3)
        for (int x = 0; x < 800; x += 5) saved.set(x, y, 250);
    flat.fillRggb(180, 200, 170);
    ASSERT_EQ(cam._calc_flat_field(flat.data(), false), 0);
    ASSERT_EQ(cam._set_ff_state(true), 0);

    auto convert = [&cam](const RawFrame& frame) {
        RawFrame raw = frame;
        ImageBuffer out(800, 700);
        EXPECT_EQ(cam._raw2image(raw.data(), out.data(), true), 0);
        return pixels(out.image());
    };
    const std::vector<unsigned char> liveAlone = convert(live);
    ASSERT_FALSE(liveAlone.empty());
    const std::string reference = (dir / "alone").string();
    {
        RawFrame raw = saved;
        ASSERT_EQ(cam._savefile(raw.data(), reference, 2), 0);
    }
    const std::vector<unsigned char> savedAlone = fileBytes(reference + ".tif");
    ASSERT_GT(savedAlone.size(), 800u * 700u);
    ASSERT_NE(convert(saved), liveAlone);

    std::atomic<int> liveWrong{0}, savedWrong{0};
    std::thread show([&] {
        for (int i = 0; i < 10; ++i)
            if (convert(live) != liveAlone) ++liveWrong;
    });
    for (int i = 0; i < 5; ++i) {
        RawFrame raw = saved;
        const std::string path = (dir / ("shot" + std::to_string(i))).string();
        ASSERT_EQ(cam._savefile(raw.data(), path, 2), 0);
        if (fileBytes(path + ".tif") != savedAlone) ++savedWrong;
        std::filesystem::remove(path + ".tif");
    }
    show.join();
    EXPECT_EQ(liveWrong.load(), 0);
    EXPECT_EQ(savedWrong.load(), 0);
    exExitGrfmt();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

// The banded chain with its rows split between the converting thread and a helper, forced on
// whatever the machine or frame size, against the same conversion on one thread.
TEST(ChainThreads, BandsSplitBetweenTwoThreadsEqualOneThread) {
    ChainCam cam;
    cam._set_histogram(true);
    cam._set_flip(3);
    cam._set_saturation(140);
    cam._set_gamma(90, 1);
    for (int c = 0; c < 3; ++c) cam._set_stretch(0, 255, true, c);
    for (int depth : {8, 16}) {
        RawFrame frame(200, 131, depth), flat(200, 131, depth);
        frame.randomise(unsigned(depth));
        flat.fillRggb(150 << (depth - 8), 170 << (depth - 8), 140 << (depth - 8));
        ASSERT_EQ(cam._calc_flat_field(flat.data(), false), 0);
        cam._set_ff_state(true);
        std::vector<unsigned char> alone;
        for (int threads : {1, 2}) {
            CamBayer::setConversionThreads(threads);
            for (int repeat = 0; repeat < 3; ++repeat) {
                RawFrame raw = frame;
                ImageBuffer out(200, 131);
                ASSERT_EQ(cam._raw2image(raw.data(), out.data(), true), 0);
                const std::vector<unsigned char> finished = pixels(out.image());
                if (threads == 1 && repeat == 0) alone = finished;
                EXPECT_EQ(finished, alone) << "depth " << depth << " threads " << threads;
            }
        }
        CamBayer::setConversionThreads(0);
    }
}
