// The one-pass chain over bands of rows against the step-by-step chain over the whole frame:
// the same finished image, header and statistics for combinations of sample width, flip,
// colour enhancement, flat field, colour steps, stretch modes, thread counts and frame sizes.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "chain_model.h"

using namespace chaintest;

namespace {

struct Settings {
    int depth = 8;
    int flip = 0;
    bool enhance = false;
    bool flat = false;
    unsigned colour = 0; ///< gain 1, saturation 2, gamma 4, contrast 8
    int stretch = 0;     ///< 0 neutral, 1 manual bounds, 2 automatic, 3 automatic on channel 1
    bool histogram = true;
};

std::string describe(const Settings& s) {
    return "depth " + std::to_string(s.depth) + " flip " + std::to_string(s.flip) + " enhance " +
           std::to_string(s.enhance) + " flat " + std::to_string(s.flat) + " colour " +
           std::to_string(s.colour) + " stretch " + std::to_string(s.stretch) + " histogram " +
           std::to_string(s.histogram);
}

/// A mosaic with smooth structure, noise and a few saturated sites.
RawFrame scene(int w, int h, int depth, unsigned seed) {
    RawFrame raw(w, h, depth);
    std::mt19937 rng(seed);
    const int top = depth == 8 ? 255 : 65535;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            int v = (40 + x * 170 / w + y * 40 / h + int(rng() % 24)) * (top / 255);
            if (rng() % 97 == 0) v = top;
            raw.set(x, y, v);
        }
    return raw;
}

void configure(ChainCam& cam, const Settings& s, RawFrame& flat) {
    cam._set_flip(s.flip);
    cam._set_color_enhancement(s.enhance);
    cam._set_histogram(s.histogram);
    cam._set_digital_gain(s.colour & 1 ? 90 : 64, s.colour & 1 ? 70 : 64, s.colour & 1 ? 50 : 64);
    cam._set_saturation(s.colour & 2 ? 150 : 100);
    cam._set_gamma(s.colour & 4 ? 130 : 100, 0);
    cam._set_gamma(s.colour & 4 ? 80 : 100, 2);
    cam._set_contrast(s.colour & 8 ? 150 : 128);
    for (int c = 0; c < 3; ++c) {
        if (s.stretch == 1)
            cam._set_stretch(20, 220, false, c);
        else if (s.stretch == 2 || (s.stretch == 3 && c == 1))
            cam._set_stretch(0, 255, true, c);
        else
            cam._set_stretch(0, 255, false, c);
    }
    if (s.flat) {
        ASSERT_EQ(cam._calc_flat_field(flat.data(), false), 0);
        cam._set_ff_state(true);
    }
}

/// The finished image's header, pixels and (when counted) statistics after one conversion.
std::vector<unsigned char> convert(ChainCam& cam, RawFrame raw, bool banded, bool statistics) {
    CamBayer::setBandedChain(banded);
    ImageBuffer out(raw.image()->width, raw.image()->height);
    EXPECT_EQ(cam._raw2image(raw.data(), out.data(), true), 0);
    CamBayer::setBandedChain(true);
    const _ezImage* img = out.image();
    const size_t used =
        kHead + size_t(img->stride) * img->height + (statistics ? size_t(kEzStatisticsBytes) : 0);
    std::vector<unsigned char> kept(out.bytes.begin(), out.bytes.begin() + used);
    // The pixel and tail pointers name this buffer: compare them as offsets.
    const ptrdiff_t offsets[2] = {img->data - out.data(), img->tail - out.data()};
    std::memcpy(kept.data() + offsetof(_ezImage, data), offsets, sizeof offsets);
    return kept;
}

/// Two cameras set alike convert the same two frames, one banded, one step by step.
void compare(const Settings& s, int w, int h) {
    ChainCam banded, stepwise;
    RawFrame flat = scene(w, h, 8, 5);
    configure(banded, s, flat);
    configure(stepwise, s, flat);
    for (unsigned frame = 0; frame < 2; ++frame) {
        const RawFrame raw = scene(w, h, s.depth, 11 + frame);
        const auto a = convert(banded, raw, true, s.histogram);
        const auto b = convert(stepwise, raw, false, s.histogram);
        ASSERT_EQ(a.size(), b.size());
        size_t at = 0;
        while (at < a.size() && a[at] == b[at]) ++at;
        ASSERT_EQ(at, a.size()) << describe(s) << " size " << w << "x" << h << " frame " << frame
                                << ": first difference at byte " << at << " ("
                                << int(a[at]) << " banded, " << int(b[at]) << " stepwise)";
    }
}

class BandedChain : public ::testing::Test {
protected:
    static void SetUpTestSuite() { __init_algorithms(); }
    static void TearDownTestSuite() {
        CamBayer::setConversionThreads(0);
        __exit_algorithms();
    }
};

} // namespace

TEST_F(BandedChain, EqualsTheStepwiseChainOverSettings) {
    // Several bands per frame (300 x 150), and a frame of one band.
    const unsigned colours[] = {0, 15, 3, 12, 5, 10};
    int k = 0;
    for (int depth : {8, 16})
        for (int flip = 0; flip < 4; ++flip)
            for (bool enhance : {false, true})
                for (bool flat : {false, true}) {
                    Settings s;
                    s.depth = depth, s.flip = flip, s.enhance = enhance, s.flat = flat;
                    for (int i = 0; i < 2; ++i, ++k) {
                        s.colour = colours[k % 6];
                        s.stretch = k % 4;
                        compare(s, 300, 150);
                        if (HasFatalFailure()) return;
                    }
                    s.colour = 15, s.stretch = 2;
                    compare(s, 19, 12);
                    if (HasFatalFailure()) return;
                }
}

TEST_F(BandedChain, EqualsTheStepwiseChainWithoutHistogramAndOnNarrowFrames) {
    for (int depth : {8, 16})
        for (int flip = 0; flip < 4; ++flip) {
            Settings s;
            s.depth = depth, s.flip = flip, s.colour = 15, s.stretch = 1, s.histogram = false;
            compare(s, 40, 30);
            // Two columns and one row after the crop: the kept last two pixels are the whole
            // image; three columns: they share the row with one coloured pixel.
            s.histogram = true, s.stretch = 2;
            compare(s, 10, 9);
            compare(s, 11, 10);
            if (HasFatalFailure()) return;
        }
}

TEST_F(BandedChain, LargeFramesOnOneAndTwoThreads) {
    for (int threads : {1, 2})
        for (int depth : {8, 16}) {
            CamBayer::setConversionThreads(threads);
            Settings s;
            s.depth = depth, s.flip = depth == 8 ? 3 : 1, s.enhance = true, s.flat = true;
            s.colour = 15, s.stretch = 2;
            compare(s, 1040, 620);
            if (HasFatalFailure()) return;
        }
    CamBayer::setConversionThreads(0);
}
