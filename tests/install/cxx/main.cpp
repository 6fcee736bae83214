// An application built against the installed package through
// find_package(zeva) and zeva::client: identifies the camera, exposes the
// imaging CCD and reads a window, then checks it against the simulator's
// pattern scene (ZEVA_PORTS=sim:gannet?scene=pattern): active row r, column c
// holds (31 r + 17 c) mod 1000 above the pedestal of 100.
#include <zeva/client.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

using zeva::client::Camera;
using zeva::client::Status;

constexpr std::uint16_t kSkipped = 11, kStart = 33, kLength = 25, kLines = 2;
constexpr std::uint16_t kPedestal = 100;
constexpr char kName[] = "ZEVA Gannet Dual CCD Camera";

bool Ok(const char* what, const Status& s) {
    if (!s.ok())
        std::fprintf(stderr, "client: %s failed: %s\n", what, s.Describe().c_str());
    return s.ok();
}

bool ReadWindow(Camera& camera) {
    std::uint16_t type = 0;
    if (!Ok("EstablishLink", camera.EstablishLink(&type)))
        return false;
    zeva::client::CcdInfo info;
    if (!Ok("GetCCDInfo", camera.GetCCDInfo(0, &info)))
        return false;
    if (type != 4 || info.name != kName || info.modes.empty() || info.modes[0].width != 765) {
        std::fprintf(stderr, "client: camera type %u '%s' with %zu modes, expected a Gannet\n",
                     type, info.name.c_str(), info.modes.size());
        return false;
    }

    zeva::client::ExposureRequest exposure;
    exposure.time = 1;  // 10 ms, shutter open
    if (!Ok("StartExposure", camera.StartExposure(exposure)))
        return false;
    for (int polls = 0;; ++polls) {
        std::uint16_t status = 0;
        if (!Ok("QueryCommandStatus", camera.QueryCommandStatus(1, &status)))
            return false;
        if (zeva::client::ExposureStateOf(status, 0) == 3)
            break;
        if (polls == 500) {
            std::fprintf(stderr, "client: the exposure never completed\n");
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!Ok("EndExposure", camera.EndExposure(0)) ||
        !Ok("DumpLines", camera.DumpLines(0, 0, 1, kSkipped)))
        return false;

    std::vector<std::uint16_t> pixels(kLength);
    for (unsigned line = 0; line < kLines; ++line) {
        zeva::client::LineRequest request;
        request.pixelStart = kStart;
        request.pixelLength = kLength;
        if (!Ok("ReadoutLine", camera.ReadoutLine(request, pixels)))
            return false;
        const unsigned row = kSkipped + line;
        for (unsigned i = 0; i < kLength; ++i) {
            const unsigned expected = kPedestal + (31 * row + 17 * (kStart + i)) % 1000;
            if (pixels[i] != expected) {
                std::fprintf(stderr, "client: row %u column %u reads %u, expected %u\n", row,
                             kStart + i, pixels[i], expected);
                return false;
            }
        }
    }
    if (!Ok("EndReadout", camera.EndReadout(0)))
        return false;
    std::printf("client: %s, %u lines of %u pixels at row %u, column %u match the pattern\n",
                info.name.c_str(), kLines, kLength, kSkipped, kStart);
    return true;
}

}  // namespace

int main() {
    zeva::client::Driver driver;
    if (!Ok("OpenDriver", driver.Open()))
        return 1;
    Camera camera;
    if (!Ok("OpenDevice", camera.Open(1)))
        return 1;
    bool ok = ReadWindow(camera);
    ok = Ok("CloseDevice", camera.Close()) && ok;
    ok = Ok("CloseDriver", driver.Close()) && ok;
    return ok ? 0 : 1;
}
