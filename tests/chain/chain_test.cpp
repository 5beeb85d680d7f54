// The processing chain: which steps run, what they touch, and the level stretch.
#include <gtest/gtest.h>

#include "chain_model.h"

using namespace chaintest;

namespace {

std::vector<unsigned char> table(void (*build)(int, unsigned char*, int), int value) {
    std::vector<unsigned char> t(256);
    build(value, t.data(), 256);
    return t;
}

/// Runs the chain on a copy of raw and returns the finished image's pixels.
std::vector<unsigned char> run(ChainCam& cam, RawFrame raw, bool crop = false) {
    ImageBuffer out(raw.image()->width, raw.image()->height);
    EXPECT_EQ(cam._raw2image(raw.data(), out.data(), crop), 0);
    return pixels(out.image());
}

} // namespace

TEST(Chain, NeutralSettingsKeepTheDemosaicOutput) {
    for (int depth : {8, 16}) {
        ChainCam colour;
        RawFrame raw(40, 30, depth);
        raw.randomise(depth);
        EXPECT_EQ(run(colour, raw), demosaicOnly(raw, 3, 3)) << depth;

        ChainCam grey(false);
        EXPECT_EQ(run(grey, raw), demosaicOnly(raw, 1, 0)) << depth;
    }
}

TEST(Chain, CropRemovesTheUnwrittenBorderAndKeepsTheHeaderConsistent) {
    ChainCam cam;
    RawFrame raw(40, 30, 8, 2);
    raw.randomise(7);
    const std::vector<unsigned char> full = demosaicOnly(raw, 3, 3);
    ImageBuffer out(40, 30);
    ASSERT_EQ(cam._raw2image(raw.data(), out.data(), true), 0);
    const _ezImage* img = out.image();
    EXPECT_EQ(img->width, 32);
    EXPECT_EQ(img->height, 22);
    EXPECT_EQ(img->stride, 96);
    EXPECT_EQ(img->resolution, 2);
    EXPECT_EQ(img->decoded, 1);
    EXPECT_EQ(img->data, out.data() + kHead);
    for (int y = 0; y < 22; ++y)
        for (int x = 0; x < 32 * 3; ++x)
            ASSERT_EQ(img->data[y * 96 + x], full[(y + 4) * 120 + 12 + x]) << x << "," << y;
}

TEST(Chain, ToneStepsLeaveTheLastTwoPixels) {
    RawFrame raw(40, 30, 8);
    raw.randomise(3);
    const auto contrast = table(__matrix_contrast, 200);
    const size_t pixelsTotal = 40 * 30;

    ChainCam colour;
    colour._set_contrast(200);
    const auto before = demosaicOnly(raw, 3, 3);
    const auto after = run(colour, raw);
    for (size_t i = 0; i < (pixelsTotal - 2) * 3; ++i) ASSERT_EQ(after[i], contrast[before[i]]);
    for (size_t i = (pixelsTotal - 2) * 3; i < pixelsTotal * 3; ++i) EXPECT_EQ(after[i], before[i]);

    // Grey rendering of a colour camera: green through contrast then gamma into all samples.
    ChainCam mono;
    mono._set_monochrome(true);
    mono._set_contrast(200);
    mono._set_gamma(150);
    const auto gamma = table(__matrix_gamma, 150);
    const auto grey = run(mono, raw);
    for (size_t p = 0; p < pixelsTotal - 2; ++p)
        for (int c = 0; c < 3; ++c) ASSERT_EQ(grey[p * 3 + c], gamma[contrast[before[p * 3 + 1]]]);
    for (size_t i = (pixelsTotal - 2) * 3; i < pixelsTotal * 3; ++i) EXPECT_EQ(grey[i], before[i]);

    // A monochrome sensor: contrast then gamma per sample.
    ChainCam sensor(false);
    sensor._set_contrast(200);
    sensor._set_gamma(150);
    const auto plain = demosaicOnly(raw, 1, 0);
    const auto toned = run(sensor, raw);
    for (size_t i = 0; i < pixelsTotal - 2; ++i) ASSERT_EQ(toned[i], gamma[contrast[plain[i]]]);
    EXPECT_EQ(toned[pixelsTotal - 2], plain[pixelsTotal - 2]);
    EXPECT_EQ(toned[pixelsTotal - 1], plain[pixelsTotal - 1]);
}

TEST(Chain, GammaAloneAppliesOnlyTheGammaTables) {
    // The contrast table at its neutral value is not the identity, so a step that ran
    // although neutral would show.
    ChainCam cam;
    cam._set_gamma(150, 0);
    RawFrame raw(40, 30, 8);
    raw.randomise(11);
    const auto before = demosaicOnly(raw, 3, 3);
    const auto after = run(cam, raw);
    const auto gamma = table(__matrix_gamma, 150);
    for (size_t p = 0; p < 40 * 30 - 2; ++p) {
        ASSERT_EQ(after[p * 3], gamma[before[p * 3]]);
        ASSERT_EQ(after[p * 3 + 1], before[p * 3 + 1]);
        ASSERT_EQ(after[p * 3 + 2], before[p * 3 + 2]);
    }
}

TEST(Chain, ColourStepsRunInOrderAndSixteenBitMapsTheRightBytes) {
    const auto g0 = table(__matrix_channel, 96), g2 = table(__matrix_channel, 40);
    const auto gm = table(__matrix_gamma, 130), ct = table(__matrix_contrast, 150);
    std::vector<unsigned char> sat(65536), st(256);
    __matrix_saturation(160, sat.data(), 256);
    __matrix_stretch(20, 220, st.data(), 256);

    // A small frame, and a large one that is processed in two halves (with a flat field of a
    // uniform reference, which changes nothing).
    for (auto [w, h] : {std::pair{24, 16}, std::pair{1040, 620}}) {
        for (int depth : {8, 16}) {
            ChainCam cam;
            cam._set_digital_gain(96, 64, 40);
            cam._set_saturation(160);
            cam._set_gamma(130, 2);
            cam._set_contrast(150);
            for (int c = 0; c < 3; ++c) cam._set_stretch(20, 220, false, c);
            if (w > 100) {
                RawFrame flat(w, h, 8);
                flat.fillRggb(150, 150, 150);
                ASSERT_EQ(cam._calc_flat_field(flat.data(), false), 0);
                cam._set_ff_state(true);
            }
            RawFrame raw(w, h, depth);
            raw.randomise(depth + 1);
            const auto before = demosaicOnly(raw, 3, 3);
            const auto after = run(cam, raw);
            const int bytes = depth / 8, hi = bytes - 1; // hi: the high byte of a sample
            const size_t pixels = static_cast<size_t>(w) * h;
            for (size_t p = 0; p < pixels; ++p) {
                const unsigned char* in = &before[p * 3 * bytes];
                const unsigned char* out = &after[p * 3 * bytes];
                if (p >= pixels - 2) { // the last two pixels are only stretched
                    for (int c = 0; c < 3; ++c)
                        ASSERT_EQ(out[c * bytes + hi], st[in[c * bytes + hi]]);
                    continue;
                }
                // Gain on every byte, saturation around green's high byte, gamma on the high
                // byte of channel 2, contrast on every byte, stretch on the high byte.
                unsigned s0 = g0[in[hi]], s1 = in[bytes + hi], s2 = g2[in[2 * bytes + hi]];
                const unsigned x = s1;
                s0 = sat[x * 256 + s0];
                s2 = sat[x * 256 + s2];
                s1 = sat[x * 257];
                s2 = gm[s2];
                ASSERT_EQ(out[hi], st[ct[s0]]) << w << " " << depth << " " << p;
                ASSERT_EQ(out[bytes + hi], st[ct[s1]]);
                ASSERT_EQ(out[2 * bytes + hi], st[ct[s2]]);
                if (depth == 16) {
                    ASSERT_EQ(out[0], ct[g0[in[0]]]);
                    ASSERT_EQ(out[2], ct[in[2]]);
                    ASSERT_EQ(out[4], ct[g2[in[4]]]);
                }
            }
        }
    }
}

TEST(Stretch, OneChannelSixteenBitManualUsesTwelveBits) {
    ChainCam cam(false);
    ImageBuffer buf(8, 1);
    _ezImage* img = buf.image();
    ezInitImageHeader(img, 8, 1, 1, 16, kHead, buf.data() + kHead, 0, 1);
    const unsigned in[8] = {0, 15, 16, 32768, 65279, 65280, 65535, 4080};
    auto load = [&] {
        for (int i = 0; i < 8; ++i) {
            img->data[2 * i] = static_cast<unsigned char>(in[i]);
            img->data[2 * i + 1] = static_cast<unsigned char>(in[i] >> 8);
        }
    };
    auto sample = [&](int i) { return img->data[2 * i] | (img->data[2 * i + 1] << 8); };

    load();
    ASSERT_EQ(cam._image_stretch(img), 0);
    for (int i = 0; i < 8; ++i) {
        const unsigned v = in[i] / 16;
        const unsigned expect = v < 4080 ? (v * 4095 / 4080) * 16 : 65520;
        EXPECT_EQ(sample(i), static_cast<int>(expect)) << in[i];
    }

    // A narrower range: below 16 * low is black, from 16 * high on full scale.
    ASSERT_EQ(cam._set_stretch(16, 200, false), 0);
    load();
    cam._image_stretch(img);
    EXPECT_EQ(sample(1), 0);
    EXPECT_EQ(sample(7), 0);                               // 4080 / 16 = 255 < 256
    EXPECT_EQ(sample(3), (2048 - 256) * 4095 / 2944 * 16); // 32768 / 16 = 2048
    EXPECT_EQ(sample(5), 65520);

    // Automatic mode maps the high byte through the table and keeps the low byte.
    cam._swap_software(&cam.software[kSwStretch0], 256);
    cam._set_stretch(0, 0, true);
    img->data[0] = 0x34;
    img->data[1] = 128;
    cam._image_stretch(img);
    EXPECT_EQ(img->data[0], 0x34);
    EXPECT_EQ(img->data[1], (128 - 16) * 255 / 184);
}

TEST(Stretch, AutomaticBoundsComeFromTheRightHistogramSection) {
    // Channel 2 alone in automatic mode takes the bounds of its own section.
    ChainCam cam;
    cam._set_histogram(true);
    cam._set_stretch(0, 0, true, 2);
    RawFrame raw(40, 30, 8);
    raw.fillRggb(200, 120, 60);
    for (int y = 1; y < 30; y += 2) raw.set(11, y, 90); // a column of brighter blue sites
    const auto before = demosaicOnly(raw, 3, 3);
    ImageBuffer out(40, 30);
    ASSERT_EQ(cam._raw2image(raw.data(), out.data(), true), 0);
    const _ezImage* img = out.image();
    int32_t stats[1032];
    std::memcpy(stats, img->tail, sizeof stats);
    const int low = stats[histChannelBase(2) + 256], high = stats[histChannelBase(2) + 257];
    ASSERT_LT(low, high);
    std::vector<unsigned char> t(256);
    __matrix_stretch(low, high, t.data(), 256);
    for (int y = 0; y < img->height; ++y)
        for (int x = 0; x < img->width; ++x) {
            const unsigned char* p = img->data + (y * img->width + x) * 3;
            const unsigned char* q = &before[((y + 4) * 40 + x + 4) * 3];
            ASSERT_EQ(p[0], q[0]);
            ASSERT_EQ(p[1], q[1]);
            ASSERT_EQ(p[2], t[q[2]]);
        }
}

TEST(Chain, FlatFieldOfTheSameFlatFrameChangesNothingAtAnySize) {
    ChainCam cam;
    RawFrame raw(40, 30, 16);
    raw.fillRggb(150 << 8, 150 << 8, 150 << 8);
    EXPECT_EQ(cam._calc_flat_field(raw.data(), true), -4);
    ASSERT_EQ(cam._calc_flat_field(raw.data(), false), 0);
    cam._set_ff_state(true);
    // Full size, cropped (the reference's interior) and another resolution (resized).
    RawFrame other(30, 20, 16, 1);
    other.fillRggb(150 << 8, 150 << 8, 150 << 8);
    for (auto [frame, crop] : {std::pair{&raw, false}, {&raw, true}, {&other, true}}) {
        ImageBuffer out(40, 30);
        ASSERT_EQ(cam._raw2image(frame->data(), out.data(), crop), 0);
        const _ezImage* img = out.image();
        EXPECT_EQ(img->width, frame->image()->width - (crop ? 8 : 0));
        const int border = crop ? 0 : 4; // uncropped frames keep the unwritten border
        for (int y = border; y < img->height - border; ++y)
            for (int x = border; x < img->width - border; ++x)
                for (int c = 0; c < 3; ++c)
                    ASSERT_NEAR(img->data[((y * img->width + x) * 3 + c) * 2 + 1], 150,
                                frame == &other ? 1 : 0) // resizing rounds in float
                        << x << "," << y << " crop " << crop;
    }
}

TEST(Chain, FlatFieldOfFramesThatAlternateInSizeIsResizedFromTheReference) {
    // A reference with structure at every scale, so that each resize changes it.
    RawFrame flat(40, 30, 8);
    std::mt19937 rng(5);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x) flat.set(x, y, 60 + int(rng() % 150));
    RawFrame large(40, 30, 8), small(30, 20, 8, 1);
    large.fillRggb(120, 140, 160);
    small.fillRggb(120, 140, 160);
    auto finished = [](ChainCam& cam, RawFrame frame) {
        ImageBuffer out(40, 30);
        EXPECT_EQ(cam._raw2image(frame.data(), out.data(), true), 0);
        return pixels(out.image());
    };
    auto fresh = [&](RawFrame& frame) {
        ChainCam cam;
        EXPECT_EQ(cam._calc_flat_field(flat.data(), false), 0);
        cam._set_ff_state(true);
        return finished(cam, frame);
    };
    const std::vector<unsigned char> smallAlone = fresh(small), largeAlone = fresh(large);
    for (bool banded : {true, false}) {
        CamBayer::setBandedChain(banded);
        ChainCam cam;
        ASSERT_EQ(cam._calc_flat_field(flat.data(), false), 0);
        cam._set_ff_state(true);
        for (int round = 0; round < 3; ++round) {
            EXPECT_EQ(finished(cam, small), smallAlone)
                << "banded " << banded << " round " << round;
            EXPECT_EQ(finished(cam, large), largeAlone)
                << "banded " << banded << " round " << round;
        }
    }
    CamBayer::setBandedChain(true);
}

TEST(Chain, FlatFieldEvensOutAShadedFrame) {
    ChainCam cam;
    RawFrame shade(40, 30, 8);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x) shade.set(x, y, x < 20 ? 100 : 200);
    ASSERT_EQ(cam._calc_flat_field(shade.data(), false), 0);
    cam._set_ff_state(true);
    ImageBuffer out(40, 30);
    ASSERT_EQ(cam._raw2image(shade.data(), out.data(), true), 0);
    const _ezImage* img = out.image();
    // Away from the step the corrected frame is uniform at the reference's mean.
    const int left = img->data[(10 * img->width + 2) * 3 + 1];
    const int right = img->data[(10 * img->width + 28) * 3 + 1];
    EXPECT_EQ(left, right);
    EXPECT_NEAR(left, 150, 3);
}

TEST(Chain, BadInputIsRefused) {
    ChainCam cam;
    RawFrame raw(40, 30, 8);
    ImageBuffer out(40, 30);
    EXPECT_EQ(cam._raw2image(nullptr, out.data(), true), -2);
    EXPECT_EQ(cam._raw2image(raw.data(), nullptr, true), -2);
    raw.bytes[0] = 'X';
    EXPECT_EQ(cam._raw2image(raw.data(), out.data(), true), -2);
    EXPECT_EQ(cam._colr_image_process(nullptr), -2);
    EXPECT_EQ(cam._image_stretch(nullptr), -2);
}
