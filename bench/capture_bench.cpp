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

#include "bench/library_capture.h"
#include "driver/camera.h"
#include "machine/machine.h"

namespace {

using namespace zeva;
using namespace zeva::bench;

constexpr double kRealPortAccessSeconds = 1e-6;  // one ISA port cycle

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
        const bool tracking = driver::HasTrackingCcd(Get16(type, 0));
        for (std::uint16_t ccd = 0; ccd < (tracking ? 2 : 1); ++ccd) {
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
