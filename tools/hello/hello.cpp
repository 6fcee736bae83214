// Boots the platform with the default port configuration (ZEVA_PORTS, default
// one simulated camera), loads the driver, asks it for its version record and
// prints it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/commands.h"
#include "common/le.h"
#include "common/records.h"
#include "driver/frame/frame.h"
#include "platform/system.h"
#include "sim/config.h"

namespace {

constexpr char kDefaultPorts[] = "sim:gannet";
constexpr char kFirstCamera[] = "\\DosDevices\\LPTCCD1";

int Run() {
    using namespace zeva;
    const char* env = std::getenv("ZEVA_PORTS");
    const std::string ports_text = env != nullptr && env[0] != '\0' ? env : kDefaultPorts;
    platform::SystemConfig config;
    std::string error;
    if (!platform::ParsePortList(ports_text, sim::MakeBackend, &config.ports, &error)) {
        std::fprintf(stderr, "zeva-hello: ZEVA_PORTS: %s\n", error.c_str());
        return 2;
    }
    config.clock = platform::ClockModeFromEnvironment();
    config.driver_entry = &driver::DriverEntry;
    const NTSTATUS boot = platform::BootSystem(std::move(config));
    if (boot != STATUS_SUCCESS) {
        std::fprintf(stderr, "zeva-hello: the driver did not load (status 0x%08X)\n", boot);
        platform::ShutdownSystem();
        return 1;
    }

    int rc = 1;
    platform::OpenFile* file = nullptr;
    NTSTATUS status = platform::OpenDevice(kFirstCamera, 0, &file);
    if (status != STATUS_SUCCESS) {
        std::fprintf(stderr, "zeva-hello: cannot open %s (status 0x%08X)\n", kFirstCamera, status);
    } else {
        std::uint8_t params[rec::DriverInfoParams::kSize] = {};
        std::uint8_t result[rec::DriverInfoResult::kSize] = {};
        le::Put16(params, rec::DriverInfoParams::Request, 0);
        ULONG_PTR bytes = 0;
        status = platform::DeviceControl(file, ControlCode(DriverFunction(CmdGetDriverInfo)),
                                         params, sizeof(params), result, sizeof(result), &bytes);
        if (status != STATUS_SUCCESS || bytes < rec::DriverInfoResult::kSize) {
            std::fprintf(stderr, "zeva-hello: GetDriverInfo failed (status 0x%08X)\n", status);
        } else {
            char name[rec::DriverInfoResult::kNameSize + 1] = {};
            std::memcpy(name, result + rec::DriverInfoResult::Name,
                        rec::DriverInfoResult::kNameSize);
            const std::uint16_t version = le::Get16(result, rec::DriverInfoResult::Version);
            std::printf("%s (version %X.%02X)\n", name, version >> 8, version & 0xFF);
            rc = 0;
        }
        platform::CloseFile(file);
    }
    const std::size_t leaks = platform::ShutdownSystem();
    if (leaks != 0) {
        std::fprintf(stderr, "zeva-hello: %zu pool blocks leaked\n", leaks);
        rc = 1;
    }
    return rc;
}

}  // namespace

int main() {
    return Run();
}
