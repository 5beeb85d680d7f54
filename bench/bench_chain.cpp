// The camera processing chain against the USB transfer of the same frame: DecodeRaw2Image's work
// (`_raw2image` with crop) with every step active, as a fraction of the time the frame needs on
// the bus at 53.2 MB/s, and each step alone. Frames: 640 x 480, 1600 x 1200, 3664 x 2740 sensor
// samples at 8 and 16 bits. ratio_to_bus uses wall time; cpu_ratio uses the whole process's
// processor time (the chain splits large frames between two threads), the figure to compare
// on a busy machine.
#include <benchmark/benchmark.h>

#include <cstring>
#include <ctime>
#include <random>
#include <vector>

#include "algorithms/algorithms.h"
#include "camera/CamBayer.h"

namespace {

constexpr double kBusBytesPerSecond = 53.2e6;
constexpr int kHead = 512;

/// A colour camera without a device, all processing steps switched on.
class BenchCam : public CamBayer {
public:
    BenchCam() {
        channels = 3;
        bayerPattern = 3;
        createColourSettings(100);
        _set_contrast(140);
        _set_gamma(120, 0);
        _set_gamma(110, 1);
        _set_gamma(90, 2);
        _set_saturation(130);
        _set_digital_gain(80, 64, 100);
        _set_flip(3);
        _set_histogram(true);
        _set_color_enhancement(true);
        for (int c = 0; c < 3; ++c) _set_stretch(0, 255, true, c);
    }
    int _set_analog_gain(int) override { return 0; }
};

struct Frame {
    std::vector<unsigned char> raw, image;
    int width, height, depth;
    Frame(int w, int h, int d) : width(w), height(h), depth(d) {
        const size_t bytes = static_cast<size_t>(w) * h * d / 8;
        raw.resize(kHead + bytes);
        image.resize(kHead + bytes * 3 + kEzStatisticsBytes);
        std::mt19937 rng(7);
        // A smooth field with noise, so the histogram and stretch have real bounds.
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const unsigned v = 40 + (x * 150 / w) + (y * 50 / h) + (rng() & 15);
                const size_t i = static_cast<size_t>(y) * w + x;
                if (d == 8)
                    raw[kHead + i] = static_cast<unsigned char>(v);
                else {
                    raw[kHead + 2 * i] = static_cast<unsigned char>(rng());
                    raw[kHead + 2 * i + 1] = static_cast<unsigned char>(v);
                }
            }
        header();
    }
    void header() {
        ezInitImageHeader(rawImage(), width, height, 1, depth, kHead, raw.data() + kHead, 0, 0);
    }
    _ezImage* rawImage() { return reinterpret_cast<_ezImage*>(raw.data()); }
    _ezImage* outImage() { return reinterpret_cast<_ezImage*>(image.data()); }
    /// out's header as the chain sets it before demosaicing.
    void outHeader(int w, int h) {
        ezInitImageHeader(outImage(), w, h, 3, depth, kHead, image.data() + kHead, 0, 0);
    }
    double transferSeconds() const {
        return static_cast<double>(width) * height * depth / 8 / kBusBytesPerSecond;
    }
};

/// Processor time of the whole process (every thread), in seconds.
double processSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

/// ratio_to_bus: wall time per frame over the frame's bus time; cpu_ratio: the same with the
/// processor time the process spent in the timed loop, the figure that holds on a busy machine.
void setRatio(benchmark::State& state, const Frame& f, double cpuSeconds) {
    const double busSeconds = f.transferSeconds() * static_cast<double>(state.iterations());
    state.counters["ratio_to_bus"] =
        benchmark::Counter(busSeconds, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["cpu_ratio"] = benchmark::Counter(busSeconds > 0 ? cpuSeconds / busSeconds : 0);
    state.counters["Mpix/s"] =
        benchmark::Counter(static_cast<double>(f.width) * f.height * state.iterations() / 1e6,
                           benchmark::Counter::kIsRate);
}

void initOnce() {
    static const bool ready = [] {
        __init_algorithms();
        return true;
    }();
    (void)ready;
}

/// The whole chain, every step active, flat field included.
void BM_Chain(benchmark::State& state) {
    initOnce();
    Frame f(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)),
            static_cast<int>(state.range(2)));
    BenchCam cam;
    cam._calc_flat_field(f.raw.data(), false);
    cam._set_ff_state(true);
    const double cpuStart = processSeconds();
    for (auto _ : state) {
        cam._raw2image(f.raw.data(), f.image.data(), true);
        benchmark::DoNotOptimize(f.image.data());
    }
    setRatio(state, f, processSeconds() - cpuStart);
}

enum Step { kDemosaic, kDemosaicFast, kCrop, kFlatField, kFlip, kColour, kHistogram, kStretch };

/// One step alone, on an image prepared by the steps before it.
void BM_Step(benchmark::State& state) {
    initOnce();
    const auto step = static_cast<Step>(state.range(3));
    Frame f(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)),
            static_cast<int>(state.range(2)));
    BenchCam cam;
    cam._calc_flat_field(f.raw.data(), false);
    cam._set_ff_state(true);
    cam._raw2image(f.raw.data(), f.image.data(), true); // publishes tables, builds working copy
    const int w = f.width - 8, h = f.height - 8;
    auto prepare = [&] {
        f.header();
        f.outHeader(f.width, f.height);
        __decode_rawdatafast(f.rawImage(), f.outImage(), 3);
        if (step != kCrop) __roi(f.outImage(), 4, 4, w, h);
    };
    if (step != kDemosaic && step != kDemosaicFast) prepare();
    const double cpuStart = processSeconds();
    for (auto _ : state) {
        switch (step) {
        case kDemosaic:
        case kDemosaicFast:
            f.outHeader(f.width, f.height);
            if (step == kDemosaic)
                __decode_rawdata(f.rawImage(), f.outImage(), 3);
            else
                __decode_rawdatafast(f.rawImage(), f.outImage(), 3);
            break;
        case kCrop:
            f.outHeader(f.width, f.height);
            __roi(f.outImage(), 4, 4, w, h);
            break;
        case kFlatField:
            cam._image_fladfield(f.outImage());
            break;
        case kFlip:
            __flip(f.outImage(), 3);
            break;
        case kColour:
            cam._colr_image_process(f.outImage());
            break;
        case kHistogram:
            __calc_histogram(f.outImage());
            break;
        case kStretch:
            cam._image_stretch(f.outImage());
            break;
        }
        benchmark::DoNotOptimize(f.image.data());
    }
    setRatio(state, f, processSeconds() - cpuStart);
}

void sizes(benchmark::internal::Benchmark* b, bool steps) {
    const int frames[3][2] = {{640, 480}, {1600, 1200}, {3664, 2740}};
    for (int depth : {8, 16})
        for (const auto& s : frames) {
            if (!steps) {
                b->Args({s[0], s[1], depth});
                continue;
            }
            for (int step = kDemosaic; step <= kStretch; ++step) b->Args({s[0], s[1], depth, step});
        }
    b->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
}

} // namespace

BENCHMARK(BM_Chain)->Apply([](benchmark::internal::Benchmark* b) { sizes(b, false); });
BENCHMARK(BM_Step)
    ->ArgNames({"w", "h", "bits", "step"})
    ->Apply([](benchmark::internal::Benchmark* b) { sizes(b, true); });

BENCHMARK_MAIN();
