// Image-file writers on camera-sized frames, against OpenCV's writers on the same images.
// Prints, per format, our time divided by OpenCV's (below 1.0: we are faster).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "ezImage/ezImage.h"

#ifdef HALVEX_HAVE_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#endif

namespace {
constexpr int kWidth = 1592;
constexpr int kHeight = 1192;

/// A smooth scene (gradients and soft blobs) with sensor-like noise, deterministic.
_ezImage* makeScene(int depth, int channels) {
    _ezImage* im = ezCreateImage(kWidth, kHeight, depth, channels, 56, 0);
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0.0, 2.0);
    const double full = depth == 16 ? 65535.0 : 255.0;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            for (int c = 0; c < channels; ++c) {
                const double u = x / double(kWidth), v = y / double(kHeight);
                double s = 0.35 + 0.25 * u + 0.15 * std::sin(6.0 * v + c) +
                           0.2 * std::exp(-((u - 0.6) * (u - 0.6) + (v - 0.4) * (v - 0.4)) * 18);
                s = s * full + noise(rng) * (full / 255.0);
                const double clamped = std::min(full, std::max(0.0, s));
                const size_t i = (static_cast<size_t>(y) * kWidth + x) * channels + c;
                if (depth == 8) {
                    im->data[i] = static_cast<unsigned char>(clamped);
                } else {
                    const unsigned w = static_cast<unsigned>(clamped);
                    im->data[2 * i] = static_cast<unsigned char>(w);
                    im->data[2 * i + 1] = static_cast<unsigned char>(w >> 8);
                }
            }
    return im;
}

struct Fixture {
    std::filesystem::path dir;
    _ezImage* rgb8 = nullptr;
    _ezImage* grey16 = nullptr;
#ifdef HALVEX_HAVE_OPENCV
    cv::Mat bgr8, grey16Mat, grey8Mat; // the same pixels as OpenCV expects them
#endif
    Fixture() {
        dir = std::filesystem::temp_directory_path() /
              ("hx-bench-ezimage-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir);
        ezInitGrfmt();
        rgb8 = makeScene(8, 3);
        grey16 = makeScene(16, 1);
#ifdef HALVEX_HAVE_OPENCV
        cv::Mat rgb(kHeight, kWidth, CV_8UC3, rgb8->data);
        bgr8.create(kHeight, kWidth, CV_8UC3);
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                const auto p = rgb.at<cv::Vec3b>(y, x);
                bgr8.at<cv::Vec3b>(y, x) = cv::Vec3b(p[2], p[1], p[0]);
            }
        grey16Mat = cv::Mat(kHeight, kWidth, CV_16UC1, grey16->data);
        // JPEG stores the high byte of 16-bit samples; OpenCV is handed that 8-bit image
        // ready-made.
        grey16Mat.convertTo(grey8Mat, CV_8U, 1.0 / 256.0);
#endif
    }
    ~Fixture() {
        ezReleaseImage(&rgb8);
        ezReleaseImage(&grey16);
        exExitGrfmt();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void BM_Ours(benchmark::State& state, std::string ext, bool colour) {
    Fixture& f = fixture();
    const _ezImage* image = colour ? f.rgb8 : f.grey16;
    const std::string path = (f.dir / ("ours." + ext)).string();
    for (auto _ : state)
        if (!ezSaveImage(path, image)) state.SkipWithError("save failed");
    state.SetBytesProcessed(state.iterations() * int64_t(image->stride) * image->height);
}

#ifdef HALVEX_HAVE_OPENCV
void BM_OpenCV(benchmark::State& state, std::string ext, bool colour) {
    Fixture& f = fixture();
    const std::string path = (f.dir / ("opencv." + ext)).string();
    std::vector<int> params;
    const cv::Mat* image = colour ? &f.bgr8 : &f.grey16Mat;
    if (ext == "png") {
        params = {cv::IMWRITE_PNG_COMPRESSION, 1, cv::IMWRITE_PNG_STRATEGY,
                  cv::IMWRITE_PNG_STRATEGY_HUFFMAN_ONLY};
    } else {
        params = {cv::IMWRITE_JPEG_QUALITY, 95};
        if (!colour) image = &f.grey8Mat;
    }
    for (auto _ : state)
        if (!cv::imwrite(path, *image, params)) state.SkipWithError("imwrite failed");
    state.SetBytesProcessed(state.iterations() * int64_t(image->total() * image->elemSize()));
}
#endif

/// Console output plus the real and CPU time of every run, for the ratios at the end.
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, std::pair<double, double>> times; // name -> (real, cpu)
    std::set<std::string> medians;
    void ReportRuns(const std::vector<Run>& runs) override {
        // With repetitions the median stands for the benchmark; otherwise its single run.
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            const std::string& name = run.run_name.function_name;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (median || (run.run_type == Run::RT_Iteration && !medians.count(name)))
                times[name] = {run.GetAdjustedRealTime(), run.GetAdjustedCPUTime()};
            if (median) medians.insert(name);
        }
        ConsoleReporter::ReportRuns(runs);
    }
};
} // namespace

int main(int argc, char** argv) {
    const char* exts[] = {"raw", "bmp", "tif", "png", "jpg"};
    for (bool colour : {true, false})
        for (const char* ext : exts) {
            const std::string image = colour ? "rgb8" : "grey16";
            benchmark::RegisterBenchmark(("ours/" + std::string(ext) + "/" + image).c_str(),
                                         BM_Ours, std::string(ext), colour)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();
#ifdef HALVEX_HAVE_OPENCV
            if (std::string(ext) == "png" || std::string(ext) == "jpg")
                benchmark::RegisterBenchmark(("opencv/" + std::string(ext) + "/" + image).c_str(),
                                             BM_OpenCV, std::string(ext), colour)
                    ->Unit(benchmark::kMillisecond)
                    ->UseRealTime();
#endif
        }
    benchmark::Initialize(&argc, argv);
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    std::printf("\nours / OpenCV (<= 1.0 means at least as fast):\n");
    for (const char* image : {"rgb8", "grey16"})
        for (const char* ext : {"png", "jpg"}) {
            const std::string suffix = std::string(ext) + "/" + image;
            const auto ours = reporter.times.find("ours/" + suffix);
            const auto peer = reporter.times.find("opencv/" + suffix);
            if (ours == reporter.times.end() || peer == reporter.times.end()) continue;
            const auto [ourReal, ourCpu] = ours->second;
            const auto [peerReal, peerCpu] = peer->second;
            std::printf("  %-12s real %.3f (%.2f ms vs %.2f ms)   cpu %.3f (%.2f ms vs %.2f ms)\n",
                        suffix.c_str(), ourReal / peerReal, ourReal, peerReal, ourCpu / peerCpu,
                        ourCpu, peerCpu);
        }
    benchmark::Shutdown();
    return 0;
}
