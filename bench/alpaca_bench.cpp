// What serving a frame costs the Alpaca server, next to reading it: a full
// Jacana frame (2184 x 1472) taken through the server's startexposure, then
// downloaded over loopback HTTP (libcurl) as ImageBytes and as JSON.  The
// server runs in this process on a free port; the camera is the simulator on
// the virtual clock, so the readout figure is the software stack's own cost
// (capture_bench gives the time on a real port, about a minute).
//
//   alpaca_bench [benchmark options]
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "alpaca/camera_unit.h"
#include "alpaca/device.h"
#include "alpaca/server.h"
#include "client/client.h"
#include "driver/camera.h"

namespace {

using namespace zeva;

struct Rig {
    client::Driver driver;
    std::unique_ptr<alpaca::CameraUnit> unit;
    std::unique_ptr<alpaca::CameraDevice> device;
    std::unique_ptr<alpaca::AlpacaServer> server;
    std::thread serving;
    std::string base;
    CURL* curl = nullptr;
    std::string body;
    bool ok = false;

    Rig() {
        setenv("ZEVA_CLOCK", "virtual", 0);
        client::UsePortEntry("sim:jacana");
        if (!driver.Open().ok())
            return;
        unit = std::make_unique<alpaca::CameraUnit>(1, "sim:jacana", alpaca::CameraSettings{});
        std::string error;
        if (!unit->Open(&error))
            return;
        device = std::make_unique<alpaca::CameraDevice>(*unit, 0, 0);
        server = std::make_unique<alpaca::AlpacaServer>(
            std::vector<alpaca::CameraDevice*>{device.get()}, alpaca::ServerInfo{"bench"});
        if (!server->Bind("127.0.0.1", 0, &error))
            return;
        serving = std::thread([this] { server->Run(); });
        base = "http://127.0.0.1:" + std::to_string(server->port()) + "/api/v1/camera/0/";
        curl = curl_easy_init();
        ok = Request("PUT", "connected", "Connected=true").find("\"ErrorNumber\":0") !=
             std::string::npos;
    }
    ~Rig() {
        if (curl)
            curl_easy_cleanup(curl);
        if (server)
            server->Stop();
        if (serving.joinable())
            serving.join();
        if (device)
            device->Shutdown();
        if (unit)
            unit->Close();
        driver.Close();
        client::ShutdownSystem();
    }
    static std::size_t Write(char* data, std::size_t size, std::size_t n, void* user) {
        static_cast<std::string*>(user)->append(data, size * n);
        return size * n;
    }
    const std::string& Request(const char* method, const std::string& member,
                               const std::string& form = "", const char* accept = nullptr) {
        body.clear();
        curl_easy_reset(curl);
        const std::string url = base + member;
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Rig::Write);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
        curl_slist* headers = nullptr;
        if (accept)
            headers = curl_slist_append(headers, accept);
        if (std::string(method) == "PUT") {
            curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "PUT");
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, form.c_str());
        }
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_perform(curl);
        curl_slist_free_all(headers);
        return body;
    }
    // Takes a 0 s frame and waits for it.
    bool Expose() {
        Request("PUT", "startexposure", "Duration=0&Light=true");
        for (;;) {
            if (Request("GET", "imageready").find("\"Value\":true") != std::string::npos)
                return true;
            if (Request("GET", "camerastate").find("\"Value\":5") != std::string::npos)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
};

std::unique_ptr<Rig> g_rig;

Rig& TheRig() {
    if (!g_rig)
        g_rig = std::make_unique<Rig>();
    return *g_rig;
}

constexpr double kPixels =
    double(driver::kImagingJacana.ActiveColumns) * driver::kImagingJacana.ActiveRows;

void BM_JacanaReadout(benchmark::State& state) {
    Rig& rig = TheRig();
    if (!rig.ok) {
        state.SkipWithError("the server did not start");
        return;
    }
    for (auto _ : state)
        if (!rig.Expose())
            state.SkipWithError("the exposure failed");
    state.counters["Mpx"] = kPixels / 1e6;
}

void BM_JacanaImageBytes(benchmark::State& state) {
    Rig& rig = TheRig();
    if (!rig.ok || !rig.Expose()) {
        state.SkipWithError("no frame");
        return;
    }
    for (auto _ : state) {
        const std::string& b =
            rig.Request("GET", "imagearray", "", "Accept: application/imagebytes");
        if (b.size() != 44 + 2 * static_cast<std::size_t>(kPixels))
            state.SkipWithError("short ImageBytes reply");
        state.SetBytesProcessed(state.bytes_processed() + static_cast<std::int64_t>(b.size()));
    }
}

void BM_JacanaJson(benchmark::State& state) {
    Rig& rig = TheRig();
    if (!rig.ok || !rig.Expose()) {
        state.SkipWithError("no frame");
        return;
    }
    for (auto _ : state) {
        const std::string& b = rig.Request("GET", "imagearray");
        if (b.size() < kPixels)
            state.SkipWithError("short JSON reply");
        state.SetBytesProcessed(state.bytes_processed() + static_cast<std::int64_t>(b.size()));
    }
}

BENCHMARK(BM_JacanaReadout)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_JacanaImageBytes)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_JacanaJson)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

// The rig closes the camera and stops the system; the libraries' static
// teardown at exit is then skipped, as in the tools.
int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_rig.reset();
    std::fflush(nullptr);
    std::_Exit(0);
}
