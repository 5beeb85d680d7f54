// Frame rate of a plain frame-read loop over the flat camera API: the peer that the Python
// module's grab_raw loop is compared with (bench/bench_python.py runs both in one go). A
// simulated camera at full resolution delivers frames as fast as it can make them; the rate is
// frames per second of wall time, since the camera's work runs on the reading thread.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "camera/CamApi.h"

namespace {

/// The simulated model, HALVEX_BENCH_MODEL or the capture application's default.
std::string benchModel() {
    const char* model = std::getenv("HALVEX_BENCH_MODEL");
    return model && *model ? model : "VAh200C1";
}

void BM_GrabRawFlatApi(benchmark::State& state) {
    InitDevice(nullptr, nullptr, nullptr);
    if (PlugSimulatedCameras(benchModel().c_str()) != 1) {
        state.SkipWithError("cannot simulate the camera");
        return;
    }
    for (int i = 0; i < 50 && DeviceCount() == 0; ++i) PumpDeviceEvents(100);
    const std::string name = DeviceName(0);
    if (name.empty() || ResumeDevice(name.c_str()) != 0) {
        state.SkipWithError("the camera did not start");
        return;
    }
    std::vector<unsigned char> buffer(static_cast<size_t>(RecvMemSize(name.c_str())));
    const int size = static_cast<int>(buffer.size());
    for (int i = 0; i < 5; ++i) GetRawData(buffer.data(), size, name.c_str());
    int64_t frames = 0;
    for (auto _ : state) {
        const int status = GetRawData(buffer.data(), size, name.c_str());
        if (status != 0 && status != 1) {
            state.SkipWithError("a frame read failed");
            break;
        }
        benchmark::DoNotOptimize(buffer.data());
        ++frames;
    }
    state.SetItemsProcessed(frames);
    SuspendDevice(name.c_str());
    ExitDevice();
}

BENCHMARK(BM_GrabRawFlatApi)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
