// Cost of one port access through the platform's I/O space with a backend
// that does nothing, on both clocks, and of an unclaimed address.
#include <benchmark/benchmark.h>

#include "platform/ntddk.h"
#include "platform/system.h"

namespace {

using namespace zeva::platform;

class NullBackend : public PortBackend {
    std::uint8_t DoRead(std::uint32_t offset) override { return static_cast<std::uint8_t>(offset); }
    void DoWrite(std::uint32_t, std::uint8_t) override {}
};

void Boot(ClockMode clock, std::size_t ports) {
    SystemConfig config;
    config.clock = clock;
    for (std::size_t i = 0; i < ports; ++i) {
        PortConfig port;
        port.backend = std::make_unique<NullBackend>();
        config.ports.push_back(std::move(port));
    }
    BootSystem(std::move(config));
}

void BM_PortRead(benchmark::State& state) {
    Boot(state.range(0) ? ClockMode::Virtual : ClockMode::Real, 3);
    ULONG_PTR port = DefaultPortBase(2) + 1;  // the last range in the table
    for (auto _ : state) benchmark::DoNotOptimize(READ_PORT_UCHAR(port));
    ShutdownSystem();
}
BENCHMARK(BM_PortRead)->Arg(0)->Arg(1)->ArgName("virtual");

void BM_PortWrite(benchmark::State& state) {
    Boot(state.range(0) ? ClockMode::Virtual : ClockMode::Real, 1);
    UCHAR v = 0;
    for (auto _ : state) WRITE_PORT_UCHAR(0x378, v++);
    ShutdownSystem();
}
BENCHMARK(BM_PortWrite)->Arg(0)->Arg(1)->ArgName("virtual");

void BM_UnclaimedRead(benchmark::State& state) {
    Boot(ClockMode::Virtual, 3);
    for (auto _ : state) benchmark::DoNotOptimize(READ_PORT_UCHAR(0x2F8));
    ShutdownSystem();
}
BENCHMARK(BM_UnclaimedRead);

}  // namespace

BENCHMARK_MAIN();
