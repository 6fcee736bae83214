// What `zeva capture` costs per model: one full frame of each simulated
// camera (mode 0, the imaging CCD, and the tracking CCD of the dual-CCD
// models) taken through ParDeviceCommand as the tool takes it: cooler
// status, start, poll, end, every line, end of readout.  The platform runs
// on the virtual clock, so the wall time is the cost of the software stack
// alone.  Each port is wrapped in a counter; a real parallel port needs about
// 1 us per access, which gives the time the same frame would take on one.
//
//   capture_bench [--frames N] [--model NAME]
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

constexpr double kRealPortAccessSeconds = 1e-6;  // one ISA port cycle

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

bool Ok(std::uint32_t status, const char* what) {
    if (status == 0)
        return true;
    std::fprintf(stderr, "capture_bench: %s failed: 0x%08X\n", what, status);
    return false;
}

struct Frame {
    unsigned width = 0, height = 0;
};

// Mode 0 of `ccd` from the camera's own table.
bool ModeZero(std::uint32_t h, std::uint16_t ccd, Frame* f) {
    std::uint8_t in[rec::CcdInfoParams::kSize], out[rec::CcdInfoResult::kSize] = {};
    Put16(in, 0, ccd);
    if (!Ok(ParDeviceCommand(h, CmdGetCCDInfo, in, out), "GetCCDInfo"))
        return false;
    f->width = Get16(out, rec::CcdInfoResult::Mode(0) + rec::ReadoutModeInfo::Width);
    f->height = Get16(out, rec::CcdInfoResult::Mode(0) + rec::ReadoutModeInfo::Height);
    return f->width > 0 && f->height > 0;
}

// One frame, the tool's sequence.
bool Capture(std::uint32_t h, std::uint16_t ccd, const Frame& f, std::vector<std::uint8_t>* line) {
    std::uint8_t temp[rec::TemperatureStatusResults::kSize];
    if (!Ok(ParDeviceCommand(h, CmdQueryTemperatureStatus, nullptr, temp), "QueryTemperature"))
        return false;
    std::uint8_t start[rec::StartExposureParams::kSize] = {};
    Put16(start, rec::StartExposureParams::Ccd, ccd);
    Put32(start, rec::StartExposureParams::ExposureTime, 1);  // 10 ms
    Put16(start, rec::StartExposureParams::ShutterMode, 1);
    if (!Ok(ParDeviceCommand(h, CmdStartExposure, start, nullptr), "StartExposure"))
        return false;
    for (;;) {
        std::uint8_t q[2], word[2];
        Put16(q, 0, CmdStartExposure);
        if (!Ok(ParDeviceCommand(h, CmdQueryCommandStatus, q, word), "QueryCommandStatus"))
            return false;
        if (((Get16(word, 0) >> (2 * ccd)) & 3u) != 2)
            break;  // each poll costs port cycles, so virtual time moves on
    }
    std::uint8_t c[2];
    Put16(c, 0, ccd);
    if (!Ok(ParDeviceCommand(h, CmdEndExposure, c, nullptr), "EndExposure"))
        return false;
    std::uint8_t params[rec::ReadoutLineParams::kSize] = {};
    Put16(params, rec::ReadoutLineParams::Ccd, ccd);
    Put8(params, rec::ReadoutLineParams::VerticalFactor, 1);
    Put16(params, rec::ReadoutLineParams::PixelLength, static_cast<std::uint16_t>(f.width));
    line->resize(2u * f.width);
    for (unsigned r = 0; r < f.height; ++r)
        if (!Ok(ParDeviceCommand(h, CmdReadoutLine, params, line->data()), "ReadoutLine"))
            return false;
    return Ok(ParDeviceCommand(h, CmdEndReadout, c, nullptr), "EndReadout");
}

}  // namespace

int main(int argc, char** argv) {
    int frames = 1;
    const char* only = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--frames") == 0 && i + 1 < argc) {
            frames = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--model") == 0 && i + 1 < argc) {
            only = argv[++i];
        } else {
            std::fprintf(stderr, "usage: capture_bench [--frames N] [--model NAME]\n");
            return 2;
        }
    }
    if (frames < 1)
        frames = 1;

    // Every model on a port of its own, bases well apart (the extended
    // control register sits 0x402 above each).
    std::string ports;
    for (std::size_t i = 0; i < kModelCount; ++i) {
        char entry[64];
        std::snprintf(entry, sizeof entry, "%ssim:%s?base=0x%X", i ? "," : "", kModels[i],
                      0x1000u + 0x10u * static_cast<unsigned>(i));
        ports += entry;
    }
    setenv("ZEVA_PORTS", ports.c_str(), 1);
    setenv("ZEVA_CLOCK", "virtual", 1);
    machine::SetPortWrapper(&Count);

    if (!Ok(ParDeviceCommand(ZEVA_INVALID_HANDLE, CmdOpenDriver, nullptr, nullptr), "OpenDriver")) {
        std::fprintf(stderr, "%s\n", machine::LastStartError().c_str());
        return 1;
    }
    std::printf(
        "| model | CCD | frame | s/frame (wall) | port accesses/pixel | "
        "s/frame at 1 us/access |\n");
    std::printf("|---|---|---|---:|---:|---:|\n");
    std::vector<std::uint8_t> line;
    for (std::size_t i = 0; i < kModelCount; ++i) {
        if (only && std::strcmp(only, kModels[i]) != 0)
            continue;
        std::uint8_t in[2], out[4];
        Put16(in, 0, static_cast<std::uint16_t>(i + 1));
        if (!Ok(ParDeviceCommand(ZEVA_INVALID_HANDLE, CmdOpenDevice, in, out), "OpenDevice"))
            return 1;
        const std::uint32_t h = le::Get32(out, 0);
        std::uint8_t type[2];
        if (!Ok(ParDeviceCommand(h, CmdEstablishLink, nullptr, type), "EstablishLink"))
            return 1;
        const unsigned t = Get16(type, 0);
        const bool dual = t == 4 || t == 5 || t == 10 || t == 12;
        for (std::uint16_t ccd = 0; ccd < (dual ? 2 : 1); ++ccd) {
            Frame f;
            if (!ModeZero(h, ccd, &f))
                return 1;
            CountingPort* port = g_ports[i];
            const std::uint64_t before = port->accesses;
            const auto t0 = std::chrono::steady_clock::now();
            for (int n = 0; n < frames; ++n)
                if (!Capture(h, ccd, f, &line))
                    return 1;
            const double wall =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() /
                frames;
            const double accesses = static_cast<double>(port->accesses - before) / frames;
            const double pixels = static_cast<double>(f.width) * f.height;
            std::printf("| %s | %s | %u x %u | %.3f | %.2f | %.2f |\n", kModels[i],
                        ccd ? "tracking" : "imaging", f.width, f.height, wall, accesses / pixels,
                        accesses * kRealPortAccessSeconds);
            std::fflush(stdout);
        }
        ParDeviceCommand(h, CmdCloseDevice, nullptr, nullptr);
    }
    ParDeviceCommand(ZEVA_INVALID_HANDLE, CmdCloseDriver, nullptr, nullptr);
    std::fflush(nullptr);
    // Like the tool: no static teardown of the in-process platform.
    std::_Exit(0);
}
