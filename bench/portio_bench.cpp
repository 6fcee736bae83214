// The driver's cost per port access over each real-port backend's user-space
// path, with the kernel and the processor's port instructions faked by ones
// that do nothing: full-width imaging lines of a Gannet read by the driver
// as the dispatcher runs them (level raised around each line), on the real
// clock.  Next to them the same lines on a bare do-nothing port (what the
// driver and the platform cost without any backend), so that the difference
// is what a backend adds per access; and one real ioctl(2) that the kernel
// refuses (on /dev/null), the system call each ppdev access pays on top of
// the port cycle.
//
//   portio_bench [--benchmark_filter=Line]
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <unistd.h>

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
#include "portio/direct_port.h"
#include "ppdev/ppdev_port.h"

namespace {

using namespace zeva;
using driver::DeviceState;

constexpr std::uint16_t kWidth = driver::kImagingGannet.ActiveColumns;  // a Gannet's imaging line

// Answers 0 to every read (not busy, nibble 0) and counts the accesses.
class NullPort final : public platform::PortBackend {
  public:
    std::uint64_t accesses = 0;

  private:
    std::uint8_t DoRead(std::uint32_t) override {
        ++accesses;
        return 0;
    }
    void DoWrite(std::uint32_t, std::uint8_t) override { ++accesses; }
};

// A kernel that lets the port be claimed; its register ioctls are
// NullIoctls, called directly as the real ones are.
class NullKernel final : public ppdev::System {
  public:
    int Open(const char*) override { return 3; }
    void Close(int) override {}
    int Ioctl(int, unsigned long, void*) override { return 0; }
    void LevelChanged(bool) override {}  // as if already real-time
    void Notice(const std::string&) override {}
};

// Register ioctls that do nothing but count (and read 0).
struct NullIoctls {
    std::uint64_t* accesses;
    int operator()(int, unsigned long request, void* arg) const {
        ++*accesses;
        if (request == PPRSTATUS || request == PPRDATA || request == PPRCONTROL)
            *static_cast<unsigned char*>(arg) = 0;
        return 0;
    }
};

// A processor that lets the port be opened; its port instructions are
// NullInstructions, inlined as the real ones are.
class NullProcessor final : public portio::System {
  public:
    bool HasPortInstructions() override { return true; }
    bool HasRawIoCapability() override { return true; }
    std::string KernelClaim(std::uint32_t, std::uint32_t) override { return {}; }
    int Ioperm(std::uint32_t, std::uint32_t, bool) override { return 0; }
    std::uint8_t In(std::uint16_t) override { return 0; }
    void Out(std::uint16_t, std::uint8_t) override {}
    void LevelChanged(bool) override {}
    void Notice(const std::string&) override {}
};

// Port instructions that do nothing but count (and read 0).
struct NullInstructions {
    std::uint64_t* accesses;
    std::uint8_t In(std::uint16_t) const {
        ++*accesses;
        return 0;
    }
    void Out(std::uint16_t, std::uint8_t) const { ++*accesses; }
};

std::unique_ptr<DeviceState> Boot(std::unique_ptr<platform::PortBackend> port) {
    platform::SystemConfig config;
    config.clock = platform::ClockMode::Real;
    platform::PortConfig pc;
    pc.entry = "bench";
    pc.base = 0x378;
    pc.backend = std::move(port);
    config.ports.push_back(std::move(pc));
    platform::BootSystem(std::move(config));
    auto s = std::make_unique<DeviceState>();
    s->PortBase = 0x378;
    s->RaisedIrql = driver::kInitialRaisedIrql;
    s->CameraType = driver::kCameraGannet;
    s->MaxCCD = 1;
    driver::InitCCDInfo(s.get());
    return s;
}

// Reads imaging lines until the benchmark has its time; `accesses` counts
// the port accesses the backend saw.
template <typename Counter>
void ReadLines(benchmark::State& bs, DeviceState* s, const Counter& accesses) {
    std::vector<std::uint8_t> buffer(2u * kWidth + 8);
    std::uint64_t total = 0;
    for (auto _ : bs) {
        namespace p = rec::ReadoutLineParams;
        le::Put16(buffer.data(), p::Ccd, 0);
        le::Put8(buffer.data(), p::ReadoutMode, 0);
        le::Put8(buffer.data(), p::VerticalFactor, 1);
        le::Put16(buffer.data(), p::PixelStart, 0);
        le::Put16(buffer.data(), p::PixelLength, kWidth);
        const std::uint64_t before = accesses();
        driver::PrepareReadoutLine(s, buffer.data());
        driver::disable(s);
        benchmark::DoNotOptimize(driver::ReadoutLine(s, buffer.data()));
        driver::enable(s);
        total += accesses() - before;
    }
    bs.counters["accesses_per_line"] =
        bs.iterations() ? double(total) / double(bs.iterations()) : 0.0;
    bs.counters["time_per_access"] = benchmark::Counter(
        double(total), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    platform::ShutdownSystem();
}

void BM_LineOnBarePort(benchmark::State& bs) {
    auto port = std::make_unique<NullPort>();
    NullPort* p = port.get();
    auto s = Boot(std::move(port));
    ReadLines(bs, s.get(), [p] { return p->accesses; });
}
BENCHMARK(BM_LineOnBarePort)->Unit(benchmark::kMicrosecond);

// Lines through the backend `opened` gives, whose counter is `accesses`.
void LinesThrough(benchmark::State& bs, platform::BackendResult opened,
                  const std::uint64_t& accesses) {
    if (!opened.backend) {
        bs.SkipWithError(opened.error.c_str());
        return;
    }
    auto s = Boot(std::move(opened.backend));
    ReadLines(bs, s.get(), [&accesses] { return accesses; });
}

void BM_LineThroughPpdev(benchmark::State& bs) {
    NullKernel kernel;
    std::uint64_t accesses = 0;
    LinesThrough(bs, ppdev::OpenPortWith("/dev/parport0", kernel, NullIoctls{&accesses}), accesses);
}
BENCHMARK(BM_LineThroughPpdev)->Unit(benchmark::kMicrosecond);

void BM_LineThroughDirectIo(benchmark::State& bs) {
    NullProcessor processor;
    std::uint64_t accesses = 0;
    LinesThrough(bs, portio::OpenPortWith(0x378, processor, NullInstructions{&accesses}), accesses);
}
BENCHMARK(BM_LineThroughDirectIo)->Unit(benchmark::kMicrosecond);

// The system call a ppdev access makes, refused by the kernel at once
// (/dev/null has no ppdev ioctls): entry, dispatch and return only.
void BM_IoctlRoundTrip(benchmark::State& bs) {
    const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    unsigned char status = 0;
    for (auto _ : bs) benchmark::DoNotOptimize(ioctl(fd, PPRSTATUS, &status));
    close(fd);
}
BENCHMARK(BM_IoctlRoundTrip);

}  // namespace

BENCHMARK_MAIN();
