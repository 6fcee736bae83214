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

#include "common/commands.h"
#include "common/le.h"
#include "common/records.h"
#include "machine/machine.h"
#include "zeva/zeva.h"

namespace {

using namespace zeva;
using le::Get16;
using le::Put16;
using le::Put32;
using le::Put8;

constexpr double kPortCycleSeconds = 1e-6;  // one ISA port cycle
constexpr unsigned kPortNs = 1000;

// Counts every access and passes it on; attaches the camera behind it to the
// platform clock at the first access (the platform attaches only the outer
// backend).
class CountingPort final : public platform::PortBackend {
  public:
    explicit CountingPort(std::unique_ptr<platform::PortBackend> inner)
        : inner_(std::move(inner)) {}
    std::uint64_t accesses = 0;

  private:
    void Attached() {
        if (inner_->Host() == nullptr)
            inner_->Attach(Host());
    }
    std::uint8_t DoRead(std::uint32_t offset) override {
        ++accesses;
        Attached();
        return inner_->Read(offset);
    }
    void DoWrite(std::uint32_t offset, std::uint8_t value) override {
        ++accesses;
        Attached();
        inner_->Write(offset, value);
    }
    void DoLevelChanged(bool raised) override { inner_->LevelChanged(raised); }

    std::unique_ptr<platform::PortBackend> inner_;
};

const char* const kModels[] = {"gannet",  "heron", "ibis",  "jacana",
                               "kestrel", "egret", "finch", "siskin"};
constexpr std::size_t kModelCount = sizeof kModels / sizeof kModels[0];
CountingPort* g_ports[kModelCount] = {};

std::unique_ptr<platform::PortBackend> Count(std::unique_ptr<platform::PortBackend> backend,
                                             std::size_t index) {
    auto port = std::make_unique<CountingPort>(std::move(backend));
    if (index < kModelCount)
        g_ports[index] = port.get();
    return port;
}

bool Ok(std::uint32_t status) {
    return status == 0;
}

struct Frame {
    unsigned width = 0, height = 0;
};

bool ModeZero(std::uint32_t h, std::uint16_t ccd, Frame* f) {
    std::uint8_t in[rec::CcdInfoParams::kSize], out[rec::CcdInfoResult::kSize] = {};
    Put16(in, 0, ccd);
    if (!Ok(ParDeviceCommand(h, CmdGetCCDInfo, in, out)))
        return false;
    f->width = Get16(out, rec::CcdInfoResult::Mode(0) + rec::ReadoutModeInfo::Width);
    f->height = Get16(out, rec::CcdInfoResult::Mode(0) + rec::ReadoutModeInfo::Height);
    return f->width > 0 && f->height > 0;
}

// One frame, the capture tool's sequence: cooler status, start, poll, end,
// every line, end of readout.
bool Capture(std::uint32_t h, std::uint16_t ccd, const Frame& f, std::vector<std::uint8_t>* line) {
    std::uint8_t temp[rec::TemperatureStatusResults::kSize];
    if (!Ok(ParDeviceCommand(h, CmdQueryTemperatureStatus, nullptr, temp)))
        return false;
    std::uint8_t start[rec::StartExposureParams::kSize] = {};
    Put16(start, rec::StartExposureParams::Ccd, ccd);
    Put32(start, rec::StartExposureParams::ExposureTime, 1);  // 10 ms
    Put16(start, rec::StartExposureParams::ShutterMode, 1);
    if (!Ok(ParDeviceCommand(h, CmdStartExposure, start, nullptr)))
        return false;
    for (;;) {
        std::uint8_t q[2], word[2];
        Put16(q, 0, CmdStartExposure);
        if (!Ok(ParDeviceCommand(h, CmdQueryCommandStatus, q, word)))
            return false;
        if (((Get16(word, 0) >> (2 * ccd)) & 3u) != 2)
            break;
    }
    std::uint8_t c[2];
    Put16(c, 0, ccd);
    if (!Ok(ParDeviceCommand(h, CmdEndExposure, c, nullptr)))
        return false;
    std::uint8_t params[rec::ReadoutLineParams::kSize] = {};
    Put16(params, rec::ReadoutLineParams::Ccd, ccd);
    Put8(params, rec::ReadoutLineParams::VerticalFactor, 1);
    Put16(params, rec::ReadoutLineParams::PixelLength, static_cast<std::uint16_t>(f.width));
    line->resize(2u * f.width);
    for (unsigned r = 0; r < f.height; ++r)
        if (!Ok(ParDeviceCommand(h, CmdReadoutLine, params, line->data())))
            return false;
    return Ok(ParDeviceCommand(h, CmdEndReadout, c, nullptr));
}

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
    if (!Ok(ParDeviceCommand(ZEVA_INVALID_HANDLE, CmdOpenDevice, in, out))) {
        bs.SkipWithError("OpenDevice failed");
        return;
    }
    const std::uint32_t h = le::Get32(out, 0);
    std::uint8_t type[2];
    Frame f;
    std::vector<std::uint8_t> line;
    if (!Ok(ParDeviceCommand(h, CmdEstablishLink, nullptr, type)) || !ModeZero(h, ccd, &f)) {
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
    g_open = Ok(ParDeviceCommand(ZEVA_INVALID_HANDLE, CmdOpenDriver, nullptr, nullptr));

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
