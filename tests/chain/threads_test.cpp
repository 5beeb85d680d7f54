// The chain converting frames on one thread while settings, calibrations and snapshot requests
// arrive from another (run under the thread sanitizer in CI).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

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
