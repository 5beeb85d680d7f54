// Frame delivery rate of the simulated camera, as fast as possible, per core: rates use CPU
// time, so a loaded machine still measures one core. The counter "xUSB2" compares the rate
// with the practical USB 2.0 bulk rate of 40 MB/s.
#include <benchmark/benchmark.h>

#include <vector>

#include "sim/SimCamera.h"

namespace {

using namespace hx::sim;
using namespace hx::usb;

constexpr double kUsb2BytesPerSecond = 40e6;

int send(SimCamera& cam, uint8_t request, uint16_t value = 0, uint16_t index = 0) {
    EZURB urb{0x40, request, value, index, 0, nullptr, 0};
    return cam.controlRequest(urb);
}

/// Reads and acknowledges 1600 x 1200 frames at the given depth, the base read-out's way.
void framesAtDepth(benchmark::State& state, SimScene scene) {
    const int bits = int(state.range(0));
    SimOptions options;
    options.scene = scene;
    auto cam = makeSimCamera(0xC811, 0, options);
    cam->open();
    send(*cam, 0xBA);
    send(*cam, 0xB9, bits == 16 ? 5 : 10);
    const int total = 1600 * 1200 * bits / 8 + 512;
    std::vector<unsigned char> buffer(size_t(total) + 4096);
    int64_t bytes = 0;
    for (auto _ : state) {
        int received = 0;
        if (cam->readPipe(kBulkInPipe, buffer.data(), total, &received) != kUsbOk) {
            state.SkipWithError("read failed");
            break;
        }
        send(*cam, 0xB3);
        bytes += received;
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(bytes);
    state.counters["xUSB2"] =
        benchmark::Counter(double(bytes) / kUsb2BytesPerSecond, benchmark::Counter::kIsRate);
}

void BM_SimSlide(benchmark::State& state) {
    framesAtDepth(state, SimScene::MicroscopeSlide);
}
void BM_SimStars(benchmark::State& state) {
    framesAtDepth(state, SimScene::StarField);
}

BENCHMARK(BM_SimSlide)->Arg(8)->Arg(16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SimStars)->Arg(8)->Arg(16)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
