// The camera's pace: one full frame of every simulated model (mode 0, the
// imaging CCD, and the tracking CCD of the dual-CCD models) taken through
// ParDeviceCommand as the capture tool takes it, on the real clock, with the
// simulator's `port-ns=1000` making every port access take at least one
// microsecond, the ISA port cycle of the real camera.  Each port is wrapped
// in a counter; next to the frame time the benchmark reports the physical
// figure, accesses x 1 us, and their ratio (1.0: the simulated frame takes
// exactly what the port cycles of the real camera would; above 1: the
// software's own time between accesses).
//
//   pace_bench [--benchmark_filter=gannet]
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench/library_capture.h"
#include "machine/machine.h"

namespace {

using namespace zeva;
using namespace zeva::bench;

constexpr double kPortCycleSeconds = 1e-6;  // one ISA port cycle
constexpr unsigned kPortNs = 1000;

bool g_open = false;

// args: model index, CCD.
void BM_FullFrameAtPortPace(benchmark::State& bs) {
    const std::size_t model = static_cast<std::size_t>(bs.range(0));
    const auto ccd = static_cast<std::uint16_t>(bs.range(1));
    if (!g_open) {
        bs.SkipWithError(("the system did not start: " + machine::LastStartError()).c_str());
        return;
    }
    std::uint8_t in[2], out[4];
    Put16(in, 0, static_cast<std::uint16_t>(model + 1));
    if (!Ok(ParDeviceCommand(ZEVA_INVALID_HANDLE, CmdOpenDevice, in, out), "OpenDevice")) {
        bs.SkipWithError("OpenDevice failed");
        return;
    }
    const std::uint32_t h = le::Get32(out, 0);
    std::uint8_t type[2];
    Frame f;
    std::vector<std::uint8_t> line;
    if (!Ok(ParDeviceCommand(h, CmdEstablishLink, nullptr, type), "EstablishLink") ||
        !ModeZero(h, ccd, &f)) {
        bs.SkipWithError("no such CCD");
        ParDeviceCommand(h, CmdCloseDevice, nullptr, nullptr);
        return;
    }
    std::uint64_t accesses = 0;
    double seconds = 0;
    for (auto _ : bs) {
        const std::uint64_t before = g_ports[model]->accesses;
        const auto t0 = std::chrono::steady_clock::now();
        if (!Capture(h, ccd, f, &line)) {
            bs.SkipWithError("capture failed");
            break;
        }
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        accesses += g_ports[model]->accesses - before;
    }
    ParDeviceCommand(h, CmdCloseDevice, nullptr, nullptr);
    const double frames = static_cast<double>(bs.iterations());
    const double physical = static_cast<double>(accesses) * kPortCycleSeconds / frames;
    bs.SetLabel(std::string(kModels[model]) + (ccd ? " tracking " : " imaging ") +
                std::to_string(f.width) + "x" + std::to_string(f.height));
    bs.counters["frame_s"] = seconds / frames;
    bs.counters["accesses"] = static_cast<double>(accesses) / frames;
    bs.counters["physical_s"] = physical;
    bs.counters["ratio"] = physical > 0 ? seconds / frames / physical : 0.0;
}
BENCHMARK(BM_FullFrameAtPortPace)
    ->ArgsProduct({{0, 1, 2, 3}, {0, 1}})
    ->ArgsProduct({{4, 5, 6, 7}, {0}})
    ->Unit(benchmark::kSecond)
    ->UseRealTime()
    ->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
    // Every model on a port of its own at the camera's pace, bases well
    // apart (the extended control register sits 0x402 above each); the real
    // clock, so that the frame takes the time it would take.
    std::string ports;
    for (std::size_t i = 0; i < kModelCount; ++i) {
        char entry[96];
        std::snprintf(entry, sizeof entry, "%ssim:%s?scene=pattern&port-ns=%u&base=0x%X",
                      i ? "," : "", kModels[i], kPortNs,
                      0x1000u + 0x10u * static_cast<unsigned>(i));
        ports += entry;
    }
    setenv("ZEVA_PORTS", ports.c_str(), 1);
    setenv("ZEVA_CLOCK", "real", 1);
    machine::SetPortWrapper(&Count);
    g_open =
        Ok(ParDeviceCommand(ZEVA_INVALID_HANDLE, CmdOpenDriver, nullptr, nullptr), "OpenDriver");

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_open)
        ParDeviceCommand(ZEVA_INVALID_HANDLE, CmdCloseDriver, nullptr, nullptr);
    std::fflush(nullptr);
    // Like the tool: no static teardown of the in-process platform.
    std::_Exit(0);
}
