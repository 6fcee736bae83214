// Cost of one port access to the simulated camera in a pixel-clocking loop:
// the busy poll, the pixel clock (register 0x30 8 then 0) and the four-nibble
// sample read, as the line digitizers drive it.
#include <benchmark/benchmark.h>

#include "sim/camera.h"

namespace {

class StillHost : public zeva::platform::PortHost {
  public:
    std::uint64_t NowNs() const override { return 0; }
};

void Strobe(zeva::sim::Camera& cam, std::uint8_t b) {
    cam.Write(0, b);
    cam.Write(0, static_cast<std::uint8_t>(b | 0x80));
    cam.Write(0, static_cast<std::uint8_t>(b | 0x80));
    cam.Write(0, b);
}

void BM_PixelLoop(benchmark::State& state, zeva::sim::Model model) {
    zeva::sim::Options o;
    o.model = model;
    o.scene = zeva::sim::Scene::Pattern;
    zeva::sim::Camera cam(o);
    StillHost host;
    cam.Attach(&host);
    const int columns = cam.Shape(0).totalColumns;
    std::uint64_t accesses = 0;
    unsigned sum = 0;
    for (auto _ : state) {
        // One row into the serial register, then a whole line of pixels.
        for (std::uint8_t v : {0x19, 0x1A, 0x19, 0x18, 0x10}) Strobe(cam, v);
        Strobe(cam, 0x00);
        accesses += 5 * 4 + 4;
        for (int c = 0; c < columns; ++c) {
            cam.Write(0, 0x00);
            while (cam.Read(1) & 0x80) ++accesses;
            Strobe(cam, 0x38);
            Strobe(cam, 0x30);
            for (std::uint8_t k = 0; k < 4; ++k) {
                cam.Write(0, static_cast<std::uint8_t>(k << 4));
                sum += cam.Read(1);
            }
            accesses += 2 + 8 + 8;
        }
    }
    benchmark::DoNotOptimize(sum);
    state.counters["ns_per_access"] = benchmark::Counter(
        static_cast<double>(accesses), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

BENCHMARK_CAPTURE(BM_PixelLoop, gannet, zeva::sim::Model::Gannet);
BENCHMARK_CAPTURE(BM_PixelLoop, jacana, zeva::sim::Model::Jacana);
BENCHMARK_CAPTURE(BM_PixelLoop, finch, zeva::sim::Model::Finch);

}  // namespace

BENCHMARK_MAIN();
