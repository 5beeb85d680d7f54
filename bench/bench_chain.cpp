// The camera processing chain against the USB transfer of the same frame: DecodeRaw2Image's work
// (`_raw2image` with crop) with every step active, as a fraction of the time the frame needs on
// the bus at 53.2 MB/s, the same steps composed from OpenCV calls on the same frames as the
// peer, and each step alone. Frames: the sensor sizes of the colour models at 8 and 16 bits,
// flat-fielded against themselves (nearly of one colour after it) or, in the busy chain,
// against a separate vignetted flat.
// ratio_to_bus uses wall time; cpu_ratio uses the whole process's processor time, the figure
// to compare on a busy machine. A table at the end gives each chain ratio next to its target.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <random>
#include <string>
#include <vector>

#ifdef HALVEX_HAVE_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>
#endif

#include "algorithms/algorithms.h"
#include "algorithms/simd.h"
#include "bench/bench_main.h"
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
    /// A smooth field with noise, so the histogram and stretch have real bounds; or (flat) the
    /// smooth, vignetted field of a flat-field calibration frame.
    Frame(int w, int h, int d, bool flat = false) : width(w), height(h), depth(d) {
        const size_t bytes = static_cast<size_t>(w) * h * d / 8;
        raw.resize(kHead + bytes);
        image.resize(kHead + bytes * 3 + kEzStatisticsBytes);
        std::mt19937 rng(7);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const double dx = 2.0 * x / w - 1, dy = 2.0 * y / h - 1;
                const unsigned v = flat ? static_cast<unsigned>(220 - 60 * (dx * dx + dy * dy) / 2)
                                        : 40 + (x * 150 / w) + (y * 50 / h) + (rng() & 15);
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

/// The whole chain, every step active, flat field included, on `threads` converting threads.
/// The flat field is calibrated on the frame itself, which leaves the corrected frame nearly of
/// one colour, or (busy) on a separate vignetted flat frame, which leaves the frame's own
/// structure and noise.
void chain(benchmark::State& state, int threads, bool busy = false) {
    initOnce();
    CamBayer::setConversionThreads(threads);
    const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1)),
              d = static_cast<int>(state.range(2));
    Frame f(w, h, d);
    BenchCam cam;
    cam._calc_flat_field(busy ? Frame(w, h, d, true).raw.data() : f.raw.data(), false);
    cam._set_ff_state(true);
    // The first frame builds what later frames reuse (the flat-field working copy, the composed
    // colour tables); a live view runs the frames after it.
    cam._raw2image(f.raw.data(), f.image.data(), true);
    const double cpuStart = processSeconds();
    for (auto _ : state) {
        cam._raw2image(f.raw.data(), f.image.data(), true);
        benchmark::DoNotOptimize(f.image.data());
    }
    setRatio(state, f, processSeconds() - cpuStart);
    CamBayer::setConversionThreads(0);
}

void BM_Chain(benchmark::State& state) {
    chain(state, 1);
}

/// The chain on a frame whose flat field leaves it busy.
void BM_ChainBusy(benchmark::State& state) {
    chain(state, 1, true);
}

/// The chain on range(3) threads.
void BM_ChainThreads(benchmark::State& state) {
    chain(state, static_cast<int>(state.range(3)));
}

#ifdef HALVEX_HAVE_OPENCV
/// The same steps composed from OpenCV calls, as an application would write them: bilinear
/// demosaic, crop, a 3 x 3 colour matrix, flat field by division, both flips, per-channel tone
/// tables (a per-channel scale for 16 bits, which LUT does not take), saturation as a matrix
/// towards green, the three channel histograms and a stretch table (a scale for 16 bits).
void BM_ChainOpenCV(benchmark::State& state) {
    Frame f(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)),
            static_cast<int>(state.range(2)));
    const bool wide = f.depth == 16;
    const int w = f.width - 8, h = f.height - 8;
    cv::Mat raw(f.height, f.width, wide ? CV_16UC1 : CV_8UC1, f.raw.data() + kHead);
    cv::Mat rgb, corrected, flat, tone(1, 256, CV_8UC3), stretch(1, 256, CV_8UC3);
    cv::Mat reference(h, w, wide ? CV_16UC3 : CV_8UC3, cv::Scalar::all(wide ? 150 << 8 : 150));
    const cv::Matx33f colour(1.34f, -0.32f, -0.06f, -0.23f, 1.68f, -0.54f, 0.0f, -0.5f, 1.63f);
    const float s = 1.3f;
    const cv::Matx33f saturation(s, 1 - s, 0, 0, 1, 0, 0, 1 - s, s);
    for (int i = 0; i < 256; ++i) {
        tone.at<cv::Vec3b>(i) =
            cv::Vec3b(cv::saturate_cast<uchar>(i * 1.2), cv::saturate_cast<uchar>(i * 1.1),
                      cv::saturate_cast<uchar>(i * 0.9));
        stretch.at<cv::Vec3b>(i) = cv::Vec3b::all(cv::saturate_cast<uchar>((i - 10) * 1.1));
    }
    const int histSize = 256;
    const float range[] = {0, wide ? 65536.0f : 256.0f};
    const float* ranges[] = {range};
    cv::Mat hist;
    auto round = [&] {
        cv::demosaicing(raw, rgb, cv::COLOR_BayerBG2RGB);
        cv::transform(rgb(cv::Rect(4, 4, w, h)), corrected, colour);
        cv::divide(corrected, reference, flat, wide ? 150 << 8 : 150);
        cv::flip(flat, flat, -1);
        if (wide)
            cv::multiply(flat, cv::Scalar(1.2, 1.1, 0.9), flat);
        else
            cv::LUT(flat, tone, flat);
        cv::transform(flat, flat, saturation);
        for (int c = 0; c < 3; ++c)
            cv::calcHist(&flat, 1, &c, cv::Mat(), hist, 1, &histSize, ranges);
        if (wide)
            flat.convertTo(flat, -1, 1.1, -10 * 256);
        else
            cv::LUT(flat, stretch, flat);
        benchmark::DoNotOptimize(flat.data);
    };
    round(); // allocates every output matrix, as our first frame is converted before timing
    const double cpuStart = processSeconds();
    for (auto _ : state) round();
    setRatio(state, f, processSeconds() - cpuStart);
}
#endif

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
    if (!steps) {
        const int frames[5][2] = {
            {1280, 1024}, {1600, 1200}, {1920, 1460}, {2048, 1536}, {3664, 2740}};
        for (int depth : {8, 16})
            for (const auto& s : frames) b->Args({s[0], s[1], depth});
    } else {
        const int frames[3][2] = {{640, 480}, {1600, 1200}, {3664, 2740}};
        for (int depth : {8, 16})
            for (const auto& s : frames)
                for (int step = kDemosaic; step <= kStretch; ++step)
                    b->Args({s[0], s[1], depth, step});
    }
    b->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();
}

/// Console output plus, per frame, the chain's processor-time share of the bus time next to
/// its target and the OpenCV composition's time over ours.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            if (r.error_occurred || r.run_type != Run::RT_Iteration) continue;
            const auto c = r.counters.find("cpu_ratio");
            if (c == r.counters.end()) continue;
            // With repetitions the least disturbed one counts.
            auto [it, fresh] = ratios_.try_emplace(r.run_name.str(), c->second.value);
            if (!fresh) it->second = std::min(it->second, double(c->second.value));
            const double wall = r.GetAdjustedRealTime();
            auto [t, first] = times_.try_emplace(r.run_name.str(), wall);
            if (!first) t->second = std::min(t->second, wall);
        }
    }
    void printRatios() const {
        std::printf("\nprocessor time / bus time at 53.2 MB/s (best repetition), target <= 0.10; "
                    "vector kernels %s\n",
                    hx::algorithms::simdEnabled() ? "on" : "off (HALVEX_SIMD)");
        for (const auto& [name, ratio] : ratios_) {
            const auto slash = name.find('/');
            if (slash == std::string::npos) continue;
            const std::string kind = name.substr(0, slash), args = name.substr(slash);
            if (kind != "BM_Chain" && kind != "BM_ChainBusy") continue;
            std::printf("  %s %-22s %6.3f %s", kind == "BM_Chain" ? "chain" : "busy ", args.c_str(),
                        ratio, ratio <= 0.10 ? "met" : "MISSED");
            const auto peer = ratios_.find("BM_ChainOpenCV" + args);
            if (peer != ratios_.end() && kind == "BM_Chain")
                std::printf("   OpenCV %6.3f  OpenCV / ours %5.2f", peer->second,
                            peer->second / ratio);
            std::printf("\n");
        }
        for (const auto& [name, ratio] : ratios_)
            if (name.rfind("BM_ChainThreads", 0) == 0) {
                const auto t = times_.find(name);
                std::printf("  %s  processor %6.3f of bus time, wall %.1f ms per frame\n",
                            name.c_str(), ratio, t == times_.end() ? 0.0 : t->second);
            }
    }

private:
    std::map<std::string, double> ratios_;
    std::map<std::string, double> times_; ///< wall time per iteration, in the run's unit
};

} // namespace

BENCHMARK(BM_Chain)->ArgNames({"w", "h", "bits"})->Apply([](benchmark::internal::Benchmark* b) {
    sizes(b, false);
});
BENCHMARK(BM_ChainBusy)->ArgNames({"w", "h", "bits"})->Apply([](benchmark::internal::Benchmark* b) {
    sizes(b, false);
});
BENCHMARK(BM_ChainThreads)
    ->ArgNames({"w", "h", "bits", "threads"})
    ->Args({3664, 2740, 8, 1})
    ->Args({3664, 2740, 8, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();
#ifdef HALVEX_HAVE_OPENCV
BENCHMARK(BM_ChainOpenCV)
    ->ArgNames({"w", "h", "bits"})
    ->Apply([](benchmark::internal::Benchmark* b) { sizes(b, false); });
#endif
BENCHMARK(BM_Step)
    ->ArgNames({"w", "h", "bits", "step"})
    ->Apply([](benchmark::internal::Benchmark* b) { sizes(b, true); });

int main(int argc, char** argv) {
    return hxbench::runWithRatios<RatioReporter>(argc, argv);
}
