// Science formats on camera-sized frames, written to a memory-backed directory (/dev/shm when
// there is one) so that the disk does not set the pace:
//   - our FITS writer (the ".fits" codec with the frame's keywords, written through a temporary
//     and renamed into place) against cfitsio's plain create / fits_write_img / close of the
//     same samples;
//   - our SER writer (frames copied into its queue and written by its disk thread, one UTC time
//     stamp per frame, header refreshes, trailer) against plain write() of the same bytes on
//     the calling thread.
// Prints MB/s (10^6 bytes of samples per second) of both and the ratio of their times, for the
// median and for the best of the repetitions (use --benchmark_repetitions=N).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <fitsio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "ezImage/HalvexFrameInfo.h"
#include "ezImage/ezImage.h"
#include "recording/SerWriter.h"
#include "tests/ezImage/frame_info_sample.h"

namespace {

using hx::recording::SerFormat;
using hx::recording::SerOptions;
using hx::recording::SerWriter;

/// Frame sizes of the cameras: a 2-megapixel and a 10-megapixel sensor.
struct Size {
    int width, height;
};
constexpr Size kSizes[] = {{1592, 1192}, {3664, 2748}};
constexpr int kDepths[] = {16, 8};
constexpr int kHead = 512; ///< bytes before the samples in a raw frame, as the camera has them
/// Sample bytes per SER recording (at least kMinFrames frames): long enough that the queue's
/// start and the trailer are small against the frames.
constexpr size_t kRecordingBytes = 400u << 20;
constexpr int kMinFrames = 16;
/// USB 2.0's ceiling as the SER requirement counts it, and the required multiple of it.
constexpr double kUsb2MBs = 160.0;
constexpr double kSerMultiple = 3.0;
/// Our FITS writer may take this much longer than cfitsio alone.
constexpr double kFitsAllowance = 1.2;

std::filesystem::path benchDirectory() {
    std::error_code ec;
    std::filesystem::path base = "/dev/shm";
    if (!std::filesystem::is_directory(base, ec)) base = std::filesystem::temp_directory_path();
    std::filesystem::path dir = base / ("hx-bench-science-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    return dir;
}

/// A raw sensor frame as the frame read leaves it: the image record and the frame information
/// in the head, then the samples (16-bit little-endian), a deterministic noisy gradient.
struct RawFrame {
    std::vector<unsigned char> buffer;
    int width = 0, height = 0, depth = 0;
    _ezImage* record() { return reinterpret_cast<_ezImage*>(buffer.data()); }
    const unsigned char* samples() const { return buffer.data() + kHead; }
    size_t sampleBytes() const { return static_cast<size_t>(width) * height * (depth / 8); }
};

RawFrame makeFrame(int width, int height, int depth, uint32_t seed) {
    RawFrame f;
    f.width = width;
    f.height = height;
    f.depth = depth;
    f.buffer.assign(kHead + f.sampleBytes() + kEzStatisticsBytes, 0);
    ezInitImageHeader(f.record(), width, height, 1, depth, kHead, f.buffer.data() + kHead, 0, 0);
    unsigned char* px = f.buffer.data() + kHead;
    const unsigned full = depth == 16 ? 4095 : 255; // a 12-bit sensor in 16-bit samples
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            seed = seed * 1664525u + 1013904223u;
            const unsigned base = (static_cast<unsigned>(x + y) * full) / (width + height);
            const unsigned v = std::min(full, base + (seed >> 29));
            const size_t i = static_cast<size_t>(y) * width + x;
            if (depth == 8) {
                px[i] = static_cast<unsigned char>(v);
            } else {
                px[2 * i] = static_cast<unsigned char>(v);
                px[2 * i + 1] = static_cast<unsigned char>(v >> 8);
            }
        }
    // A light frame of the whole sensor, unbinned.
    HalvexFrameInfo info = hxtest::sampleFrameInfo();
    info.sequence = 1;
    info.originX = info.originY = 0;
    info.binX = info.binY = 1;
    info.frameType = HALVEX_FRAME_LIGHT;
    ezWriteFrameInfo(*f.record(), info);
    return f;
}

struct Fixture {
    std::filesystem::path dir;
    std::map<long, std::vector<RawFrame>> frames; ///< two distinct frames per size and depth
    Fixture() : dir(benchDirectory()) { ezInitGrfmt(); }
    ~Fixture() {
        exExitGrfmt();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::vector<RawFrame>& framesOf(int width, int height, int depth) {
        const long key =
            (static_cast<long>(width) << 24) | (static_cast<long>(height) << 5) | depth;
        auto it = frames.find(key);
        if (it == frames.end()) {
            std::vector<RawFrame> made;
            made.reserve(2); // the records point into their own buffers, which moves keep
            made.push_back(makeFrame(width, height, depth, 7));
            made.push_back(makeFrame(width, height, depth, 11));
            it = frames.emplace(key, std::move(made)).first;
        }
        return it->second;
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

std::string caseName(int width, int height, int depth) {
    return std::to_string(width) + "x" + std::to_string(height) + "/" + std::to_string(depth) +
           "bit";
}

/// Sample bytes one iteration of each benchmark writes, by benchmark name.
std::map<std::string, double> g_bytesPerIteration;

int64_t utcMicrosNow() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

bool writeAll(int fd, const unsigned char* data, size_t bytes) {
    while (bytes > 0) {
        const ssize_t n = ::write(fd, data, bytes);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        bytes -= static_cast<size_t>(n);
    }
    return true;
}

// ---- FITS ----------------------------------------------------------------------------------

/// Ours: the registry's ".fits" writer on the raw frame record, keywords from its frame
/// information. The previous file is removed outside the measurement.
void BM_OurFits(benchmark::State& state, const std::string& name, int width, int height,
                int depth) {
    Fixture& f = fixture();
    RawFrame& frame = f.framesOf(width, height, depth).front();
    const std::string path = (f.dir / "ours.fits").string();
    for (auto _ : state) {
        state.PauseTiming();
        ::unlink(path.c_str());
        state.ResumeTiming();
        if (!ezSaveImage(path, frame.record())) {
            state.SkipWithError("ezSaveImage failed");
            break;
        }
    }
    ::unlink(path.c_str());
    g_bytesPerIteration[name] = static_cast<double>(frame.sampleBytes());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(frame.sampleBytes()));
}

/// The peer: cfitsio alone, the same samples as one fits_write_img, nothing in the header but
/// what cfitsio puts there itself.
void BM_CfitsioFits(benchmark::State& state, const std::string& name, int width, int height,
                    int depth) {
    Fixture& f = fixture();
    const RawFrame& frame = f.framesOf(width, height, depth).front();
    const std::string path = (f.dir / "cfitsio.fits").string();
    long axes[2] = {width, height};
    for (auto _ : state) {
        state.PauseTiming();
        ::unlink(path.c_str());
        state.ResumeTiming();
        fitsfile* file = nullptr;
        int status = 0;
        fits_create_diskfile(&file, path.c_str(), &status);
        fits_create_img(file, depth == 8 ? BYTE_IMG : USHORT_IMG, 2, axes, &status);
        fits_write_img(file, depth == 8 ? TBYTE : TUSHORT, 1, static_cast<LONGLONG>(width) * height,
                       const_cast<unsigned char*>(frame.samples()), &status);
        int closing = 0;
        if (file) fits_close_file(file, &closing);
        if (status != 0 || closing != 0) {
            state.SkipWithError("cfitsio failed");
            break;
        }
    }
    ::unlink(path.c_str());
    g_bytesPerIteration[name] = static_cast<double>(frame.sampleBytes());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(frame.sampleBytes()));
}

// ---- SER -----------------------------------------------------------------------------------

int framesPerRecording(const RawFrame& frame) {
    return std::max<int>(kMinFrames, static_cast<int>(kRecordingBytes / frame.sampleBytes()));
}

SerFormat serFormat(int width, int height, int depth) {
    SerFormat format;
    format.width = width;
    format.height = height;
    format.depth = depth == 16 ? 12 : 8;
    format.colour = hx::recording::kSerBayerRGGB;
    format.instrument = "VAh200C1";
    return format;
}

/// Seconds between two steady-clock moments.
double secondsBetween(std::chrono::steady_clock::time_point a,
                      std::chrono::steady_clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

/// Ours: one recording per iteration, every frame kept (the writer waits for room instead of
/// dropping), each appended with the UTC time of its "read". Measured from the first frame to
/// the end of close (queue drained, trailer and header written, file closed); open, which
/// allocates the queue, is measured apart (counter open_ms).
void BM_OurSer(benchmark::State& state, const std::string& name, int width, int height, int depth) {
    Fixture& f = fixture();
    const std::vector<RawFrame>& frames = f.framesOf(width, height, depth);
    const int count = framesPerRecording(frames.front());
    const std::string path = (f.dir / "ours.ser").string();
    SerOptions options;
    options.waitWhenFull = true;
    double openSeconds = 0;
    for (auto _ : state) {
        ::unlink(path.c_str());
        SerWriter writer(options);
        const auto opening = std::chrono::steady_clock::now();
        if (!writer.open(path, serFormat(width, height, depth))) {
            state.SkipWithError(writer.error().c_str());
            break;
        }
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < count; ++i)
            writer.append(frames[static_cast<size_t>(i) & 1].samples(), utcMicrosNow());
        const bool ok = writer.close();
        const auto end = std::chrono::steady_clock::now();
        if (!ok || writer.framesWritten() != count || writer.framesDropped() != 0) {
            state.SkipWithError("SER recording lost frames");
            break;
        }
        openSeconds += secondsBetween(opening, start);
        state.SetIterationTime(secondsBetween(start, end));
    }
    ::unlink(path.c_str());
    const double bytes = static_cast<double>(frames.front().sampleBytes()) * count;
    g_bytesPerIteration[name] = bytes;
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
    state.counters["frames"] = count;
    state.counters["open_ms"] =
        state.iterations() > 0 ? 1000.0 * openSeconds / static_cast<double>(state.iterations()) : 0;
}

/// The peer: the same file made with plain write() on the calling thread: the header, every
/// frame straight from the camera's buffer with its time stamp taken, the trailer, the final
/// header. Measured over the same span as ours (creating the file and the first header apart).
void BM_WriteSer(benchmark::State& state, const std::string& name, int width, int height,
                 int depth) {
    Fixture& f = fixture();
    const std::vector<RawFrame>& frames = f.framesOf(width, height, depth);
    const int count = framesPerRecording(frames.front());
    const size_t frameBytes = frames.front().sampleBytes();
    const SerFormat format = serFormat(width, height, depth);
    const std::string path = (f.dir / "write.ser").string();
    std::vector<int64_t> stamps(static_cast<size_t>(count));
    for (auto _ : state) {
        ::unlink(path.c_str());
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        const std::vector<unsigned char> empty = SerWriter::header(format, 0, 0);
        if (fd < 0 || !writeAll(fd, empty.data(), empty.size())) {
            if (fd >= 0) ::close(fd);
            state.SkipWithError("cannot create the file");
            break;
        }
        const auto start = std::chrono::steady_clock::now();
        bool ok = true;
        for (int i = 0; i < count && ok; ++i) {
            stamps[static_cast<size_t>(i)] = hx::recording::serTicks(utcMicrosNow());
            ok = writeAll(fd, frames[static_cast<size_t>(i) & 1].samples(), frameBytes);
        }
        ok = ok && writeAll(fd, reinterpret_cast<const unsigned char*>(stamps.data()),
                            stamps.size() * sizeof(int64_t));
        const std::vector<unsigned char> full = SerWriter::header(
            format, count, (stamps.front() - hx::recording::kSerTicksAt1970) / 10);
        ok = ok && ::pwrite(fd, full.data(), full.size(), 0) == static_cast<ssize_t>(full.size());
        ok = ::close(fd) == 0 && ok;
        const auto end = std::chrono::steady_clock::now();
        if (!ok) {
            state.SkipWithError("write failed");
            break;
        }
        state.SetIterationTime(secondsBetween(start, end));
    }
    ::unlink(path.c_str());
    const double bytes = static_cast<double>(frameBytes) * count;
    g_bytesPerIteration[name] = bytes;
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
    state.counters["frames"] = count;
}

/// Console output plus the real time of every benchmark: the median of the repetitions and
/// the best repetition (on a shared machine the fastest run is the least disturbed).
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> median, best; // name -> seconds per iteration
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            const std::string& name = run.run_name.function_name;
            const double seconds = run.GetAdjustedRealTime() / 1000.0; // milliseconds
            if (run.run_type == Run::RT_Iteration) {
                const auto it = best.find(name);
                if (it == best.end() || seconds < it->second) best[name] = seconds;
                if (!medianSeen.count(name)) median[name] = seconds;
            } else if (run.aggregate_name == "median") {
                median[name] = seconds;
                medianSeen.insert(name);
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

private:
    std::set<std::string> medianSeen;
};

void registerCase(const char* format, const char* ours, const char* peer,
                  void (*oursFn)(benchmark::State&, const std::string&, int, int, int),
                  void (*peerFn)(benchmark::State&, const std::string&, int, int, int),
                  bool manualTime, const Size& size, int depth) {
    const std::string suffix =
        std::string("/") + format + "/" + caseName(size.width, size.height, depth);
    for (int side = 0; side < 2; ++side) {
        const std::string name = (side == 0 ? ours : peer) + suffix;
        auto* b = benchmark::RegisterBenchmark(name.c_str(), side == 0 ? oursFn : peerFn, name,
                                               size.width, size.height, depth);
        b->Unit(benchmark::kMillisecond);
        if (manualTime)
            b->UseManualTime();
        else
            b->UseRealTime();
    }
}

void printComparison(const std::map<std::string, double>& seconds, const char* format,
                     const char* ours, const char* peer) {
    for (const Size& size : kSizes)
        for (int depth : kDepths) {
            const std::string suffix =
                std::string("/") + format + "/" + caseName(size.width, size.height, depth);
            const auto o = seconds.find(ours + suffix);
            const auto p = seconds.find(peer + suffix);
            if (o == seconds.end() || p == seconds.end()) continue;
            const double ourMBs = g_bytesPerIteration[ours + suffix] / o->second / 1e6;
            const double peerMBs = g_bytesPerIteration[peer + suffix] / p->second / 1e6;
            std::printf("  %-4s %-16s ours %8.1f MB/s   %-7s %8.1f MB/s   time ours/%s %.3f\n",
                        format, suffix.substr(std::strlen(format) + 2).c_str(), ourMBs, peer,
                        peerMBs, peer, o->second / p->second);
        }
}

} // namespace

int main(int argc, char** argv) {
    for (const Size& size : kSizes)
        for (int depth : kDepths)
            registerCase("fits", "ours", "cfitsio", BM_OurFits, BM_CfitsioFits, false, size, depth);
    for (const Size& size : kSizes)
        for (int depth : kDepths)
            registerCase("ser", "ours", "write", BM_OurSer, BM_WriteSer, true, size, depth);
    benchmark::Initialize(&argc, argv);
    std::printf("writing to %s\n", fixture().dir.c_str());
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    std::printf("\nMB/s = 10^6 bytes of samples per second\n");
    for (int kind = 0; kind < 2; ++kind) {
        const auto& seconds = kind == 0 ? reporter.median : reporter.best;
        std::printf("%s\n", kind == 0 ? "median of the repetitions:" : "best repetition:");
        std::printf("FITS: our time / cfitsio's fits_write_img (required <= %.1f)\n",
                    kFitsAllowance);
        printComparison(seconds, "fits", "ours", "cfitsio");
        std::printf("SER: ours must sustain >= %.0f MB/s (%.0f x %.0f MB/s); time ours / write()\n",
                    kSerMultiple * kUsb2MBs, kSerMultiple, kUsb2MBs);
        printComparison(seconds, "ser", "ours", "write");
    }
    benchmark::Shutdown();
    return 0;
}
