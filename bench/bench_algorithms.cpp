// Throughput of the per-frame geometry and calibration functions at 1600 x 1200, reported
// as pixels per second (items_per_second). In-place operations restart from a fresh copy of
// the input outside the timed region.
#include "algorithms/calibration.h"
#include "algorithms/geometry.h"

#include <benchmark/benchmark.h>

#ifdef HALVEX_HAVE_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr int kWidth = 1600;
constexpr int kHeight = 1200;

/// An image of the bench size with random samples and room for the statistics area.
struct BenchImage {
    _ezImage rec{};
    std::vector<unsigned char> buf;
    std::vector<unsigned char> pristine;
    BenchImage(int channels, int depth) {
        const size_t bytes = size_t(kWidth) * kHeight * channels * depth / 8;
        buf.resize(bytes + kEzStatisticsBytes);
        std::mt19937 rng(1);
        for (size_t i = 0; i < bytes; ++i) buf[i] = static_cast<unsigned char>(rng());
        pristine = buf;
        ezInitImageHeader(&rec, kWidth, kHeight, channels, depth, 56, buf.data(), 0, 0);
    }
};

void restore(benchmark::State& state, BenchImage& img, int channels, int depth) {
    state.PauseTiming();
    std::memcpy(img.buf.data(), img.pristine.data(), img.buf.size());
    ezInitImageHeader(&img.rec, kWidth, kHeight, channels, depth, 56, img.buf.data(), 0, 0);
    state.ResumeTiming();
}

void finish(benchmark::State& state) {
    state.SetItemsProcessed(state.iterations() * int64_t(kWidth) * kHeight);
}

void BM_mbin(benchmark::State& state) {
    const int depth = int(state.range(0));
    BenchImage img(1, depth);
    for (auto _ : state) {
        restore(state, img, 1, depth);
        __mbin(&img.rec, 2, 2);
        benchmark::ClobberMemory();
    }
    finish(state);
}
BENCHMARK(BM_mbin)->Arg(8)->Arg(16)->Unit(benchmark::kMillisecond);

void BM_cbin(benchmark::State& state) {
    const int depth = int(state.range(0));
    BenchImage img(1, depth);
    for (auto _ : state) {
        restore(state, img, 1, depth);
        __cbin(&img.rec, 2, 2);
        benchmark::ClobberMemory();
    }
    finish(state);
}
BENCHMARK(BM_cbin)->Arg(8)->Arg(16)->Unit(benchmark::kMillisecond);

void BM_rmac(benchmark::State& state) {
    const int mode = int(state.range(0));
    BenchImage img(1, 16);
    for (auto _ : state) {
        if (mode) restore(state, img, 1, 16);
        __rmac(&img.rec, mode); // mode 0 twice restores, so it needs no reset
        benchmark::ClobberMemory();
    }
    finish(state);
}
BENCHMARK(BM_rmac)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_calc_histogram(benchmark::State& state) {
    const int channels = int(state.range(0)), depth = int(state.range(1));
    BenchImage img(channels, depth);
    for (auto _ : state) {
        benchmark::DoNotOptimize(__calc_histogram(&img.rec));
        benchmark::ClobberMemory();
    }
    finish(state);
}
BENCHMARK(BM_calc_histogram)
    ->Args({1, 8})
    ->Args({1, 16})
    ->Args({3, 8})
    ->Args({3, 16})
    ->Unit(benchmark::kMillisecond);

void BM_flat_field(benchmark::State& state) {
    const int channels = int(state.range(0)), depth = int(state.range(1));
    BenchImage img(channels, depth);
    BenchImage ref(channels, 8);
    __calc_avg(&ref.rec, 0);
    for (auto _ : state) {
        restore(state, img, channels, depth);
        __flat_field(&img.rec, &ref.rec);
        benchmark::ClobberMemory();
    }
    finish(state);
}
BENCHMARK(BM_flat_field)->Args({1, 8})->Args({3, 8})->Args({3, 16})->Unit(benchmark::kMillisecond);

#ifdef HALVEX_HAVE_OPENCV
// Peers on one thread and the same input: area resize by two (an averaging 2 x 2 bin), the
// 256-bin histogram of one channel, and a scaled per-sample division.

void BM_peer_cv_resize_area(benchmark::State& state) {
    cv::setNumThreads(1);
    BenchImage img(1, 8);
    cv::Mat src(kHeight, kWidth, CV_8UC1, img.buf.data()), dst;
    for (auto _ : state) {
        cv::resize(src, dst, cv::Size(kWidth / 2, kHeight / 2), 0, 0, cv::INTER_AREA);
        benchmark::ClobberMemory();
    }
    finish(state);
}
BENCHMARK(BM_peer_cv_resize_area)->Unit(benchmark::kMillisecond);

void BM_peer_cv_calcHist(benchmark::State& state) {
    cv::setNumThreads(1);
    BenchImage img(1, 8);
    cv::Mat src(kHeight, kWidth, CV_8UC1, img.buf.data()), hist;
    const int channels[] = {0}, bins[] = {256};
    const float range[] = {0, 256};
    const float* ranges[] = {range};
    for (auto _ : state) {
        cv::calcHist(&src, 1, channels, cv::Mat(), hist, 1, bins, ranges);
        benchmark::ClobberMemory();
    }
    finish(state);
}
BENCHMARK(BM_peer_cv_calcHist)->Unit(benchmark::kMillisecond);

void BM_peer_cv_divide(benchmark::State& state) {
    cv::setNumThreads(1);
    BenchImage img(3, 8), ref(3, 8);
    cv::Mat src(kHeight, kWidth, CV_8UC3, img.buf.data());
    cv::Mat den(kHeight, kWidth, CV_8UC3, ref.buf.data()), dst;
    for (auto _ : state) {
        cv::divide(src, den, dst, 128.0);
        benchmark::ClobberMemory();
    }
    finish(state);
}
BENCHMARK(BM_peer_cv_divide)->Unit(benchmark::kMillisecond);
#endif

} // namespace

BENCHMARK_MAIN();
