// Demosaic speed against OpenCV's bilinear Bayer conversion on the same frames, single thread,
// plus the time to build the colour-correction table. Prints the ratio ours / OpenCV at the end.
#include "algorithms/demosaic.h"
#include "algorithms/simd.h"
#include "bench/bench_main.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#if __has_include("sim/Scene.h")
#include "sim/Scene.h"
#define HALVEX_HAVE_SIM_SCENE 1
#else
#define HALVEX_HAVE_SIM_SCENE 0
#endif

#ifdef HALVEX_HAVE_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

constexpr int kTimingBayer = 3; // RGGB

/// A raw frame and its colour output, both as records over owned buffers.
struct Frame {
    int width, height, depth;
    std::vector<unsigned char> raw, out;
    _ezImage rawRec{}, outRec{};
};

/// Sample colour (0 red, 1 green, 2 blue) at (x, y) of a mosaic with our Bayer code.
int siteColour(int bayer, int x, int y) {
    static const int table[5][2][2] = {
        {{1, 1}, {1, 1}}, {{2, 1}, {1, 0}}, {{1, 2}, {0, 1}}, {{0, 1}, {1, 2}}, {{1, 0}, {2, 1}}};
    return table[bayer][y & 1][x & 1];
}

/// Frame contents: 0 the simulator's microscope slide with shot-like noise (what the live view
/// mostly sees), 1 noisy colour gradients (many distinct colours: a hard case for the table),
/// 2 an almost noiseless grey card (few distinct colours: the table stays in the first cache).
enum Scene { kSlide = 0, kGradients = 1, kGreyCard = 2 };

/// Radiance 0..1 of channel c at (x, y).
class SceneSource {
public:
    explicit SceneSource(int scene) : scene_(scene) {
#if HALVEX_HAVE_SIM_SCENE
        if (scene == kSlide)
            tile_ = hx::sim::sceneTile(hx::sim::SimScene::MicroscopeSlide, {0.5, 0.5, 0.5});
#endif
    }
    double operator()(int c, int x, int y, int w, int h) const {
#if HALVEX_HAVE_SIM_SCENE
        if (tile_)
            return tile_->planes[c]
                                [size_t(y & tile_->mask()) * tile_->size() + (x & tile_->mask())] /
                   255.0;
#endif
        if (scene_ == kGreyCard) return c == 1 ? 0.45 : 0.4;
        const double u = double(x) / w, v = double(y) / h;
        const double dx = u - 0.5, dy = v - 0.5;
        if (dx * dx + dy * dy < 0.04) return c == 0 ? 0.9 : c == 1 ? 0.4 : 0.2;
        return c == 0   ? 0.2 + 0.6 * u
               : c == 1 ? 0.3 + 0.5 * v
                        : 0.5 + 0.3 * std::sin(6 * u + 4 * v);
    }

private:
    int scene_;
#if HALVEX_HAVE_SIM_SCENE
    std::shared_ptr<const hx::sim::SceneTile> tile_;
#endif
};

Frame* makeFrame(int width, int height, int depth, int bayer, int scene) {
    auto* f = new Frame{width, height, depth, {}, {}, {}, {}};
    const size_t bps = depth / 8;
    f->raw.resize(size_t(width) * height * bps);
    f->out.resize(size_t(width) * height * 3 * bps);
    SceneSource source(scene);
    std::mt19937 rng(7);
    std::normal_distribution<double> unit(0.0, 1.0);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            double v = source(siteColour(bayer, x, y), x, y, width, height);
            // Shot noise grows with the signal; the gradients get a flat 1 %, the card 0.1 %.
            v += unit(rng) * (scene == kSlide      ? 0.022 * std::sqrt(v + 0.004)
                              : scene == kGreyCard ? 0.001
                                                   : 0.01);
            v = std::clamp(v, 0.0, 1.0);
            if (depth == 8)
                f->raw[size_t(y) * width + x] = static_cast<unsigned char>(v * 255);
            else
                reinterpret_cast<uint16_t*>(f->raw.data())[size_t(y) * width + x] =
                    static_cast<uint16_t>(v * 65535);
        }
    ezInitImageHeader(&f->rawRec, width, height, 1, depth, 56, f->raw.data(), 0, 0);
    ezInitImageHeader(&f->outRec, width, height, 3, depth, 56, f->out.data(), 0, 0);
    return f;
}

Frame* frameFor(const benchmark::State& state) {
    static std::map<std::string, Frame*> cache;
    const int w = int(state.range(0)), h = int(state.range(1)), depth = int(state.range(2));
    const int scene = int(state.range(3));
    const std::string key = std::to_string(w) + "x" + std::to_string(h) + "/" +
                            std::to_string(depth) + "/" + std::to_string(scene);
    auto& f = cache[key];
    if (!f) f = makeFrame(w, h, depth, kTimingBayer, scene);
    return f;
}

void BM_Fast(benchmark::State& state) {
    Frame* f = frameFor(state);
    for (auto _ : state) {
        __decode_rawdatafast(&f->rawRec, &f->outRec, kTimingBayer);
        benchmark::DoNotOptimize(f->out.data());
    }
}

void BM_Corrected(benchmark::State& state) {
    if (!pCCM) __init_algorithms();
    Frame* f = frameFor(state);
    for (auto _ : state) {
        __decode_rawdata(&f->rawRec, &f->outRec, kTimingBayer);
        benchmark::DoNotOptimize(f->out.data());
    }
}

/// Building the table from scratch, allocation and first touch of its memory included.
void BM_InitTable(benchmark::State& state) {
    for (auto _ : state) {
        __exit_algorithms();
        __init_algorithms();
        benchmark::DoNotOptimize(pCCM);
    }
}

#ifdef HALVEX_HAVE_OPENCV
/// OpenCV conversion code whose output matches ours for each of our Bayer codes.
int gCvCode[5] = {0, 0, 0, 0, 0};

void BM_OpenCV(benchmark::State& state) {
    Frame* f = frameFor(state);
    const int type = f->depth == 8 ? CV_8UC1 : CV_16UC1;
    const int outType = f->depth == 8 ? CV_8UC3 : CV_16UC3;
    cv::Mat raw(f->height, f->width, type, f->raw.data());
    cv::Mat out(f->height, f->width, outType, f->out.data());
    for (auto _ : state) {
        cv::demosaicing(raw, out, gCvCode[kTimingBayer]);
        benchmark::DoNotOptimize(out.data);
    }
}

/// Finds, for every Bayer code of ours, the OpenCV code that gives the same colours on a frame
/// of one uniform colour (their pattern names count from a different origin).
bool matchOpenCvCodes() {
    const int candidates[4] = {cv::COLOR_BayerBG2RGB, cv::COLOR_BayerGB2RGB, cv::COLOR_BayerRG2RGB,
                               cv::COLOR_BayerGR2RGB};
    const char* names[4] = {"BayerBG2RGB", "BayerGB2RGB", "BayerRG2RGB", "BayerGR2RGB"};
    const int colour[3] = {200, 100, 30};
    const int w = 16, h = 16;
    for (int bayer = 1; bayer <= 4; ++bayer) {
        cv::Mat raw(h, w, CV_8UC1);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                raw.at<uchar>(y, x) = uchar(colour[siteColour(bayer, x, y)]);
        _ezImage rawRec{}, outRec{};
        std::vector<unsigned char> ours(w * h * 3);
        ezInitImageHeader(&rawRec, w, h, 1, 8, 56, raw.data, 0, 0);
        ezInitImageHeader(&outRec, w, h, 3, 8, 56, ours.data(), 0, 0);
        __decode_rawdatafast(&rawRec, &outRec, bayer);
        const unsigned char* p = &ours[(6 * w + 6) * 3];
        if (p[0] != colour[0] || p[1] != colour[1] || p[2] != colour[2]) return false;
        for (int c = 0; c < 4; ++c) {
            cv::Mat out;
            cv::demosaicing(raw, out, candidates[c]);
            const cv::Vec3b q = out.at<cv::Vec3b>(6, 6);
            if (q[0] == p[0] && q[1] == p[1] && q[2] == p[2]) {
                gCvCode[bayer] = candidates[c];
                std::printf("our Bayer code %d matches OpenCV COLOR_%s\n", bayer, names[c]);
            }
        }
        if (!gCvCode[bayer]) return false;
    }
    return true;
}
#endif

/// Console output plus a table of ratios ours / OpenCV per frame size and depth.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs)
            if (!r.error_occurred && r.run_type == Run::RT_Iteration) {
                // With repetitions the fastest one counts: it is the least disturbed.
                auto [it, fresh] = times_.try_emplace(r.run_name.str(), r.GetAdjustedCPUTime());
                if (!fresh) it->second = std::min(it->second, r.GetAdjustedCPUTime());
            }
    }
    void printRatios() const {
        std::printf("\nratio ours / OpenCV bilinear (same frames, single thread, CPU time, best "
                    "repetition)\n");
        for (const auto& [name, t] : times_) {
            const auto slash = name.find('/');
            if (slash == std::string::npos) continue;
            const std::string kind = name.substr(0, slash), args = name.substr(slash);
            if (kind != "BM_Fast" && kind != "BM_Corrected") continue;
            const auto peer = times_.find("BM_OpenCV" + args);
            if (peer == times_.end()) continue;
            const double ratio = t / peer->second;
            std::printf("  %-13s %-20s %8.3f ms vs %8.3f ms  ratio %.2f", kind.c_str(),
                        args.c_str(), t, peer->second, ratio);
            if (kind == "BM_Corrected")
                std::printf("  target <= 1.5 %s", ratio <= 1.5 ? "met" : "MISSED");
            std::printf("\n");
        }
    }

private:
    std::map<std::string, double> times_;
};

void sizes(benchmark::internal::Benchmark* b) {
    for (int scene : {kSlide, kGradients, kGreyCard})
        for (int depth : {8, 16}) {
            b->Args({1600, 1200, depth, scene});
            b->Args({3664, 2748, depth, scene});
        }
    b->ArgNames({"w", "h", "depth", "scene"})->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_Fast)->Apply(sizes);
BENCHMARK(BM_Corrected)->Apply(sizes);
#ifdef HALVEX_HAVE_OPENCV
BENCHMARK(BM_OpenCV)->Apply(sizes);
#endif
BENCHMARK(BM_InitTable)->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace

int main(int argc, char** argv) {
    // Start-up cost as the library pays it: the first build in a fresh process.
    const auto t0 = std::chrono::steady_clock::now();
    __init_algorithms();
    const auto t1 = std::chrono::steady_clock::now();
    std::printf("first colour-correction table build: %.1f ms\n",
                std::chrono::duration<double, std::milli>(t1 - t0).count());
    std::printf("AVX2 path: %s%s\n", hx::algorithms::demosaicHasAvx2() ? "yes" : "no",
                hx::algorithms::simdEnabled() ? "" : " (vector kernels off: HALVEX_SIMD)");
#ifdef HALVEX_HAVE_OPENCV
    cv::setNumThreads(1);
    if (!matchOpenCvCodes()) {
        std::fprintf(stderr, "could not match the Bayer codes with OpenCV\n");
        return 1;
    }
#endif
    return hxbench::runWithRatios<RatioReporter>(argc, argv);
}
