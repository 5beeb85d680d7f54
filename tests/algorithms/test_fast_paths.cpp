// The vectorised and unrolled paths of flip, histogram and flat field against plain per-pixel
// references on random images of awkward sizes, for every pixel width the chain produces.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "algorithms/calibration.h"
#include "algorithms/geometry.h"

namespace {

/// A record over an exactly sized buffer (statistics area optional), filled with random bytes,
/// so that a read or write past the pixels shows under AddressSanitizer.
struct RandomImage {
    _ezImage rec{};
    std::vector<unsigned char> buf;
    RandomImage(int w, int h, int channels, int depth, unsigned seed, bool statistics = false,
                unsigned values = 256) {
        const size_t bytes = size_t(w) * h * channels * depth / 8;
        buf.resize(bytes + (statistics ? kEzStatisticsBytes : 0));
        std::mt19937 rng(seed);
        for (size_t i = 0; i < bytes; ++i) buf[i] = static_cast<unsigned char>(rng() % values);
        ezInitImageHeader(&rec, w, h, channels, depth, 56, buf.data(), 0, 0);
    }
};

TEST(FastPaths, FlipMatchesPlainMoveOfEveryPixel) {
    for (int depth : {8, 16})
        for (int channels : {1, 3})
            for (int w : {1, 2, 3, 5, 6, 7, 15, 16, 17, 33, 101, 130, 257})
                for (int h : {1, 2, 3, 4, 7})
                    for (int flags = 0; flags < 4; ++flags) {
                        RandomImage img(w, h, channels, depth, unsigned(w * 31 + h + flags));
                        const std::vector<unsigned char> before = img.buf;
                        __flip(&img.rec, flags);
                        const size_t p = size_t(channels) * depth / 8;
                        for (int y = 0; y < h; ++y)
                            for (int x = 0; x < w; ++x) {
                                const int sy = (flags & 2) ? h - 1 - y : y;
                                const int sx = (flags & 1) ? w - 1 - x : x;
                                const size_t to = (size_t(y) * w + x) * p;
                                const size_t from = (size_t(sy) * w + sx) * p;
                                ASSERT_EQ(std::memcmp(&img.buf[to], &before[from], p), 0)
                                    << "w " << w << " h " << h << " p " << p << " flags " << flags
                                    << " at " << x << "," << y;
                            }
                    }
}

TEST(FastPaths, HistogramCountsEveryPixelOnce) {
    // Pixel counts around multiples of four; few distinct values make long runs of one counter.
    // The largest frame spans several of the chunks in which 16-bit high bytes are gathered,
    // the last one partly filled.
    for (int depth : {8, 16})
        for (int channels : {1, 3})
            for (auto [w, h] : {std::pair{1, 1}, {3, 1}, {5, 3}, {64, 9}, {333, 7}, {1291, 5}})
                for (unsigned values : {2u, 256u}) {
                    RandomImage img(w, h, channels, depth, unsigned(w + h + depth), true, values);
                    ASSERT_EQ(__calc_histogram(&img.rec), 0);
                    std::vector<int32_t> st(channels == 3 ? kHistItems3 : kHistItems1);
                    std::memcpy(st.data(), img.buf.data() + size_t(w) * h * channels * depth / 8,
                                st.size() * sizeof(int32_t));
                    const size_t es = depth / 8;
                    for (int c = 0; c < channels; ++c) {
                        std::vector<int32_t> expect(256, 0);
                        for (size_t i = 0; i < size_t(w) * h; ++i)
                            ++expect[img.buf[(i * channels + c) * es + es - 1]];
                        const int base = channels == 3 ? histChannelBase(c) : 0;
                        for (int v = 0; v < 256; ++v)
                            ASSERT_EQ(st[base + v], expect[v])
                                << w << "x" << h << " depth " << depth << " channels " << channels
                                << " channel " << c;
                    }
                }
}

TEST(FastPaths, HistogramCountsRunsOfOneColourAndEverySampleThatBreaksThem) {
    // Frames of one colour are counted a block of pixels at a time. Break the block at the
    // second block's start, one sample at a time, everywhere in it and at its edges: in the
    // high byte the block is no longer one colour, in the low byte of a 16-bit sample it still is.
    for (int depth : {8, 16})
        for (int channels : {1, 3})
            for (int w : {21, 40, 41, 63}) {
                const size_t es = depth / 8, p = channels * es, pixels = size_t(w) * 2;
                const size_t first = 20 * p; // the second block's first byte
                for (size_t at = first - p; at < first + 21 * p && at < pixels * p; ++at) {
                    RandomImage img(w, 2, channels, depth, 1u, true);
                    for (size_t i = 0; i < pixels * p; ++i) img.buf[i] = img.buf[i % p];
                    img.buf[at] ^= 0x5A;
                    ASSERT_EQ(__calc_histogram(&img.rec), 0);
                    std::vector<int32_t> st(channels == 3 ? kHistItems3 : kHistItems1);
                    std::memcpy(st.data(), img.buf.data() + pixels * p,
                                st.size() * sizeof(int32_t));
                    for (int c = 0; c < channels; ++c) {
                        std::vector<int32_t> expect(256, 0);
                        for (size_t i = 0; i < pixels; ++i)
                            ++expect[img.buf[i * p + c * es + es - 1]];
                        const int base = channels == 3 ? histChannelBase(c) : 0;
                        for (int v = 0; v < 256; ++v)
                            ASSERT_EQ(st[base + v], expect[v])
                                << "depth " << depth << " channels " << channels << " w " << w
                                << " byte " << at << " channel " << c << " value " << v;
                    }
                }
            }
}

TEST(FastPaths, HistogramPairCountersThatWrapKeepEveryCount) {
    // Two alternating colours never make a block of one colour, so every pixel is counted in
    // pairs, and one pair counter passes 65535 several times. The same frame counted in two
    // parts and merged, as two converting threads do, gives the same statistics.
    for (int depth : {8, 16}) {
        const int w = 520, h = 300; // 156000 pixels: each pair counter gets 78000
        RandomImage img(w, h, 3, depth, 5u, true);
        const size_t es = depth / 8, p = 3 * es, pixels = size_t(w) * h;
        for (size_t i = 2 * p; i < pixels * p; ++i) img.buf[i] = img.buf[i % (2 * p)];
        std::vector<unsigned char> copy = img.buf;
        ASSERT_EQ(__calc_histogram(&img.rec), 0);
        hx::algorithms::HistogramCounts top, bottom;
        const size_t half = size_t(w) * (h / 2);
        hx::algorithms::histogramAdd(top, copy.data(), half, 3, depth);
        hx::algorithms::histogramAdd(bottom, copy.data() + half * p, pixels - half, 3, depth);
        hx::algorithms::histogramMerge(top, bottom);
        hx::algorithms::histogramFinish(top, 3, copy.data() + pixels * p);
        ASSERT_EQ(std::memcmp(copy.data() + pixels * p, img.buf.data() + pixels * p,
                              kHistItems3 * sizeof(int32_t)),
                  0)
            << "depth " << depth;
        std::vector<int32_t> st(kHistItems3);
        std::memcpy(st.data(), img.buf.data() + pixels * p, st.size() * sizeof(int32_t));
        for (int c = 0; c < 3; ++c) {
            std::vector<int32_t> expect(256, 0);
            for (size_t i = 0; i < pixels; ++i) ++expect[img.buf[i * p + c * es + es - 1]];
            for (int v = 0; v < 256; ++v)
                ASSERT_EQ(st[histChannelBase(c) + v], expect[v])
                    << "depth " << depth << " channel " << c << " value " << v;
        }
    }
}

TEST(FastPaths, FlatFieldIsTheExactQuotientForEveryLayout) {
    // Random frames against random references (zeros included), three different channel
    // averages, sample counts that leave a remainder after the wide steps.
    for (int depth : {8, 16})
        for (int channels : {1, 3})
            for (auto [w, h] : {std::pair{1, 1}, {7, 3}, {61, 17}}) {
                RandomImage frame(w, h, channels, depth, unsigned(w * h + depth + channels));
                RandomImage ref(w, h, channels, 8, unsigned(w + 5 * h));
                ref.rec.average0 = 255, ref.rec.average1 = 1, ref.rec.average2 = 137;
                const std::vector<unsigned char> before = frame.buf;
                __flat_field(&frame.rec, &ref.rec);
                const size_t es = depth / 8;
                const unsigned avg[3] = {channels == 3 ? 255u : 1u, 1u, channels == 3 ? 137u : 1u};
                for (size_t i = 0; i < size_t(w) * h * channels; ++i) {
                    const unsigned r = ref.buf[i] ? ref.buf[i] : 1;
                    const unsigned q = avg[i % channels] * before[i * es + es - 1] / r;
                    ASSERT_EQ(frame.buf[i * es + es - 1], q > 255 ? 255 : q)
                        << w << "x" << h << " depth " << depth << " sample " << i;
                    if (es == 2) {
                        ASSERT_EQ(frame.buf[i * 2], before[i * 2]);
                    }
                }
            }
}

TEST(FastPaths, FlatFieldFollowsEveryChangeOfTheAverages) {
    // One row at a time, as the one-pass chain corrects, with the averages changing between
    // rows and back again (the portable path keeps its scale tables from call to call).
    const unsigned averages[][3] = {{200, 90, 31}, {12, 255, 140}, {200, 90, 31}, {200, 91, 31}};
    for (int depth : {8, 16})
        for (int channels : {1, 3}) {
            RandomImage frame(37, 4, channels, depth, unsigned(depth + channels));
            RandomImage ref(37, 4, channels, 8, 11u);
            const std::vector<unsigned char> before = frame.buf;
            const size_t es = depth / 8, row = size_t(37) * channels;
            for (int y = 0; y < 4; ++y) {
                _ezImage f = frame.rec, r = ref.rec;
                f.height = r.height = 1;
                f.data += y * row * es;
                r.data += y * row;
                r.average0 = static_cast<uint16_t>(averages[y][0]);
                r.average1 = static_cast<uint16_t>(averages[y][1]);
                r.average2 = static_cast<uint16_t>(averages[y][2]);
                __flat_field(&f, &r);
                for (size_t i = 0; i < row; ++i) {
                    const size_t at = (y * row + i) * es + es - 1;
                    const unsigned a = channels == 3 ? averages[y][i % 3] : averages[y][1];
                    const unsigned q = a * before[at] / std::max(1u, unsigned(r.data[i]));
                    ASSERT_EQ(frame.buf[at], std::min(q, 255u))
                        << "depth " << depth << " channels " << channels << " row " << y;
                }
            }
        }
}

TEST(FastPaths, FlatFieldQuotientsAreExactForEverySampleAndReferenceByte) {
    // Every (average, sample, reference) triple: the vector kernels divide in single precision,
    // and quotients at or just under a whole number are where a rounded quotient would truncate
    // to the wrong side.
    std::vector<unsigned char> frame(65536), ref(65536);
    for (unsigned avg = 0; avg < 256; ++avg) {
        for (size_t i = 0; i < frame.size(); ++i) {
            frame[i] = static_cast<unsigned char>(i);
            ref[i] = static_cast<unsigned char>(i >> 8);
        }
        _ezImage f{}, r{};
        ezInitImageHeader(&f, 256, 256, 1, 8, 56, frame.data(), 0, 0);
        ezInitImageHeader(&r, 256, 256, 1, 8, 56, ref.data(), 0, 0);
        r.average1 = static_cast<uint16_t>(avg);
        __flat_field(&f, &r);
        for (unsigned i = 0; i < 65536; ++i) {
            const unsigned q = avg * (i & 255) / std::max(1u, i >> 8);
            ASSERT_EQ(frame[i], std::min(q, 255u))
                << "avg " << avg << " v " << (i & 255) << " r " << (i >> 8);
        }
    }
}

TEST(FastPaths, FlatFieldQuotientsAreExactForEveryTripleInEveryChannelAndDepth) {
    // The same triples through three interleaved channels with different averages, in 8-bit
    // samples and in the high bytes of 16-bit ones (whose low bytes must stay): each channel
    // meets every (average, sample, reference) triple as the averages turn over.
    const size_t pixels = 65536;
    for (int depth : {8, 16}) {
        const size_t es = depth / 8;
        std::vector<unsigned char> frame(pixels * 3 * es), ref(pixels * 3);
        for (unsigned avg = 0; avg < 256; ++avg) {
            const unsigned a[3] = {avg, 255 - avg, (avg * 7 + 3) & 255};
            for (size_t i = 0; i < pixels; ++i)
                for (size_t c = 0; c < 3; ++c) {
                    const size_t at = (3 * i + c) * es;
                    frame[at + es - 1] = static_cast<unsigned char>(i);
                    if (es == 2) frame[at] = static_cast<unsigned char>(i * 3 + c + avg);
                    ref[3 * i + c] = static_cast<unsigned char>(i >> 8);
                }
            _ezImage f{}, r{};
            ezInitImageHeader(&f, 256, 256, 3, depth, 56, frame.data(), 0, 0);
            ezInitImageHeader(&r, 256, 256, 3, 8, 56, ref.data(), 0, 0);
            r.average0 = static_cast<uint16_t>(a[0]);
            r.average1 = static_cast<uint16_t>(a[1]);
            r.average2 = static_cast<uint16_t>(a[2]);
            __flat_field(&f, &r);
            for (size_t i = 0; i < pixels; ++i)
                for (size_t c = 0; c < 3; ++c) {
                    const size_t at = (3 * i + c) * es;
                    const unsigned q = a[c] * (i & 255) / std::max<unsigned>(1, unsigned(i >> 8));
                    ASSERT_EQ(frame[at + es - 1], std::min(q, 255u))
                        << "depth " << depth << " channel " << c << " avg " << a[c] << " v "
                        << (i & 255) << " r " << (i >> 8);
                    if (es == 2) {
                        ASSERT_EQ(frame[at], static_cast<unsigned char>(i * 3 + c + avg));
                    }
                }
        }
    }
}

} // namespace
