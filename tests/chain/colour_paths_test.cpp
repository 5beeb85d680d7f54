// The composed colour step against a plain step-by-step reference, for every combination of
// steps, both sample widths, and settings that change between frames.
#include <gtest/gtest.h>

#include "chain_model.h"

using namespace chaintest;

namespace {

/// Random pixels of a colour image record in one buffer.
struct ColourImage {
    ImageBuffer buffer;
    ColourImage(int w, int h, int depth, unsigned seed) : buffer(w, h) {
        ezInitImageHeader(buffer.image(), w, h, 3, depth, kHead, buffer.data() + kHead, 0, 0);
        std::mt19937 rng(seed);
        for (size_t i = 0; i < size_t(w) * h * 3 * depth / 8; ++i)
            buffer.image()->data[i] = static_cast<unsigned char>(rng());
    }
    std::vector<unsigned char> pixels() { return chaintest::pixels(buffer.image()); }
};

/// Publishes the camera's pending tables, as the chain does at the start of a frame.
void publish(ChainCam& cam) {
    RawFrame raw(16, 16, 8);
    ImageBuffer out(16, 16);
    ASSERT_EQ(cam._raw2image(raw.data(), out.data(), false), 0);
}

/// Gain, saturation, gamma, contrast in that order, each only when not neutral, through the
/// camera's live tables; 16-bit low bytes see gain and contrast. The last two pixels stay.
std::vector<unsigned char> reference(ChainCam& cam, std::vector<unsigned char> px, int depth) {
    const SoftWareValue* s = cam.software;
    bool gain = false, gamma = false;
    for (int c = 0; c < 3; ++c) {
        gain |= s[kSwGainRed + c].value != 64;
        gamma |= s[kSwGamma0 + c].value != 100;
    }
    const bool saturation = s[kSwSaturation].value != 100, contrast = s[kSwContrast].value != 128;
    const size_t e = depth / 8, hi = e - 1, n = px.size() / (3 * e);
    for (size_t i = 0; i + 2 < n; ++i) {
        unsigned char* p = &px[i * 3 * e];
        unsigned v[3] = {p[hi], p[e + hi], p[2 * e + hi]};
        for (int c = 0; c < 3; ++c) {
            if (gain) v[c] = s[kSwGainRed + c].table[v[c]];
        }
        if (saturation) {
            v[0] = s[kSwSaturation].table[v[1] * 256 + v[0]];
            v[2] = s[kSwSaturation].table[v[1] * 256 + v[2]];
        }
        for (int c = 0; c < 3; ++c) {
            if (gamma) v[c] = s[kSwGamma0 + c].table[v[c]];
            if (contrast) v[c] = s[kSwContrast].table[v[c]];
            p[c * e + hi] = static_cast<unsigned char>(v[c]);
            if (e == 2) {
                unsigned low = p[c * 2];
                if (gain) low = s[kSwGainRed + c].table[low];
                if (contrast) low = s[kSwContrast].table[low];
                p[c * 2] = static_cast<unsigned char>(low);
            }
        }
    }
    return px;
}

/// Sets the steps in mask (gain 1, saturation 2, gamma 4, contrast 8), varied by seed.
void configure(ChainCam& cam, unsigned mask, int seed) {
    cam._set_digital_gain(mask & 1 ? 40 + seed : 64, mask & 1 ? 90 - seed : 64, 64);
    cam._set_saturation(mask & 2 ? 20 + 30 * seed : 100);
    cam._set_gamma(mask & 4 ? 60 + seed : 100, 0);
    cam._set_gamma(mask & 4 ? 150 - seed : 100, 2);
    cam._set_contrast(mask & 8 ? 90 + 10 * seed : 128);
    publish(cam);
}

} // namespace

TEST(ColourPaths, EveryStepCombinationMatchesThePlainOrder) {
    // Sizes below, at and across the vector loops' blocks, with tails.
    const int sizes[][2] = {{23, 7}, {131, 5}, {64, 1}, {3, 1}, {1100, 2}};
    for (const auto& size : sizes)
        for (int depth : {8, 16})
            for (unsigned mask = 1; mask < 16; ++mask) {
                ChainCam cam;
                configure(cam, mask, 3);
                ColourImage img(size[0], size[1], depth, mask + depth);
                const auto expect = reference(cam, img.pixels(), depth);
                if (size[0] * size[1] > 2) {
                    ASSERT_NE(expect, img.pixels()) << "mask " << mask << " changes nothing";
                }
                ASSERT_EQ(cam._colr_image_process(img.buffer.image()), 0);
                ASSERT_EQ(img.pixels(), expect)
                    << "depth " << depth << " mask " << mask << " width " << size[0];
            }
}

TEST(ColourPaths, ChangedSettingsAndOtherCamerasAreNeverServedStaleTables) {
    // Two cameras converting on one thread in turn, each changing its saturation, gain and
    // tone between frames: every frame must see its own camera's current tables.
    ChainCam first, second;
    for (int frame = 0; frame < 6; ++frame)
        for (ChainCam* cam : {&first, &second}) {
            const int seed = frame + (cam == &second ? 2 : 0);
            configure(*cam, frame % 3 == 2 ? 15u : 3u, seed);
            ColourImage img(40, 9, frame % 2 ? 16 : 8, unsigned(seed));
            const auto expect = reference(*cam, img.pixels(), frame % 2 ? 16 : 8);
            ASSERT_EQ(cam->_colr_image_process(img.buffer.image()), 0);
            ASSERT_EQ(img.pixels(), expect) << "frame " << frame;
        }
}
