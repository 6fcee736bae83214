// Readout engine cost: a full frame of every model and mode from the
// simulated camera (port accesses per pixel, frame time on the platform
// clock), and the driver's own cost per port access with a port that does
// nothing.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/le.h"
#include "common/records.h"
#include "driver/camera.h"
#include "driver/device_state.h"
#include "driver/frame/routines.h"
#include "driver/link/port.h"
#include "driver/ops/link.h"
#include "driver/readout/readout.h"
#include "platform/system.h"
#include "sim/camera.h"
#include "sim/config.h"

namespace {

using namespace zeva;
using driver::DeviceState;

// Counts every access and passes it to the camera behind it (or answers 0: not busy).
class CountingPort : public platform::PortBackend {
  public:
    explicit CountingPort(std::unique_ptr<platform::PortBackend> inner)
        : inner_(std::move(inner)) {}
    std::uint64_t accesses = 0;

  private:
    std::uint8_t DoRead(std::uint32_t offset) override {
        ++accesses;
        return inner_ ? inner_->Read(offset) : 0;
    }
    void DoWrite(std::uint32_t offset, std::uint8_t value) override {
        ++accesses;
        if (inner_)
            inner_->Write(offset, value);
    }
    std::unique_ptr<platform::PortBackend> inner_;
};

struct Rig {
    CountingPort* port = nullptr;
    sim::Camera* cam = nullptr;
    std::unique_ptr<DeviceState> state;
};

Rig BootRig(const std::string& entry, bool with_camera) {
    Rig rig;
    std::unique_ptr<platform::PortBackend> inner;
    if (with_camera) {
        inner = sim::MakeBackend(entry).backend;
        rig.cam = static_cast<sim::Camera*>(inner.get());
    }
    auto port = std::make_unique<CountingPort>(std::move(inner));
    rig.port = port.get();
    platform::SystemConfig config;
    config.clock = platform::ClockMode::Virtual;
    platform::PortConfig pc;
    pc.entry = entry;
    pc.backend = std::move(port);
    config.ports.push_back(std::move(pc));
    platform::BootSystem(std::move(config));
    rig.state = std::make_unique<DeviceState>();
    DeviceState* s = rig.state.get();
    s->PortBase = platform::DefaultPortBase(0);
    s->RaisedIrql = driver::kInitialRaisedIrql;
    // The type the link would settle on, and the driver's geometry for it.
    const sim::ModelInfo& info = rig.cam ? rig.cam->info() : sim::InfoFor(sim::Model::Gannet);
    s->CameraType = info.type;
    s->SiskinVariant = info.model == sim::Model::Siskin;
    s->MaxCCD = driver::HasTrackingCcd(s->CameraType) ? 1 : 0;
    driver::InitCCDInfo(s);
    return rig;
}

// The request of a line of `width` pixels from column 0.
void LineRequest(std::vector<std::uint8_t>& buffer, int ccd, int mode, std::uint16_t width) {
    namespace p = rec::ReadoutLineParams;
    le::Put16(buffer.data(), p::Ccd, static_cast<std::uint16_t>(ccd));
    le::Put8(buffer.data(), p::ReadoutMode, static_cast<std::uint8_t>(mode));
    le::Put8(buffer.data(), p::VerticalFactor, 1);
    le::Put16(buffer.data(), p::PixelStart, 0);
    le::Put16(buffer.data(), p::PixelLength, width);
}

// One line the way the dispatcher runs it: prepared at passive level, read at the raised level.
NTSTATUS ReadLine(DeviceState* s, std::vector<std::uint8_t>& buffer) {
    driver::PrepareReadoutLine(s, buffer.data());
    driver::disable(s);
    const NTSTATUS status = driver::ReadoutLine(s, buffer.data());
    driver::enable(s);
    return status;
}

// args: model, ccd, mode.
void BM_FullFrame(benchmark::State& bs) {
    static const char* kEntries[] = {"sim:gannet?scene=pattern",  "sim:heron?scene=pattern",
                                     "sim:ibis?scene=pattern",    "sim:jacana?scene=pattern",
                                     "sim:kestrel?scene=pattern", "sim:egret?scene=pattern",
                                     "sim:finch?scene=pattern",   "sim:siskin?scene=pattern"};
    const std::string entry = kEntries[bs.range(0)];
    const int ccd = static_cast<int>(bs.range(1));
    const int mode = static_cast<int>(bs.range(2));
    Rig rig = BootRig(entry, true);
    DeviceState* s = rig.state.get();
    if (ccd > s->MaxCCD) {
        bs.SkipWithError("no such CCD");
        platform::ShutdownSystem();
        return;
    }
    const driver::GeometryRecord& g = s->Geometry[ccd];
    const std::uint16_t width = static_cast<std::uint16_t>(g.ActiveColumns / g.ModeBinning[mode]);
    const int rows_per_line = driver::RowsPerLine(mode, 1);
    const int lines = g.ActiveRows / rows_per_line;
    std::vector<std::uint8_t> buffer(2u * width + 8);
    std::uint64_t pixels = 0, accesses = 0, ns = 0;
    for (auto _ : bs) {
        const std::uint64_t a0 = rig.port->accesses;
        const std::uint64_t t0 = platform::ClockNowNs();
        for (int line = 0; line < lines; ++line) {
            LineRequest(buffer, ccd, mode, width);
            if (ReadLine(s, buffer) != 0) {
                bs.SkipWithError("line failed");
                break;
            }
        }
        ns += platform::ClockNowNs() - t0;
        accesses += rig.port->accesses - a0;
        pixels += static_cast<std::uint64_t>(lines) * width;
    }
    bs.counters["accesses_per_pixel"] = pixels ? double(accesses) / double(pixels) : 0.0;
    bs.counters["platform_ms_per_frame"] =
        bs.iterations() ? double(ns) / 1e6 / double(bs.iterations()) : 0.0;
    platform::ShutdownSystem();
}
BENCHMARK(BM_FullFrame)
    ->ArgsProduct({{0, 1, 2, 3, 4}, {0}, {0, 1, 2, 3, 4, 5, 6, 7, 8}})
    ->ArgsProduct({{0, 1, 2, 3}, {1}, {0, 1}})
    ->ArgsProduct({{5}, {0}, {0, 1}})
    ->ArgsProduct({{6, 7}, {0}, {0, 1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

// The driver's own cost per port access: imaging lines on a port that answers 0.
void BM_DriverCostPerAccess(benchmark::State& bs) {
    Rig rig = BootRig("none", false);
    DeviceState* s = rig.state.get();
    const std::uint16_t width = s->Geometry[0].ActiveColumns;
    std::vector<std::uint8_t> buffer(2u * width + 8);
    std::uint64_t accesses = 0;
    for (auto _ : bs) {
        LineRequest(buffer, 0, 0, width);
        const std::uint64_t a0 = rig.port->accesses;
        benchmark::DoNotOptimize(driver::ReadoutLine(s, buffer.data()));
        accesses += rig.port->accesses - a0;
    }
    bs.counters["time_per_access"] = benchmark::Counter(
        double(accesses), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    platform::ShutdownSystem();
}
BENCHMARK(BM_DriverCostPerAccess)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
