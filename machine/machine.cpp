#include "machine/machine.h"

#include <cstdlib>
#include <cstring>

#include "platform/system.h"
#include "platform/win32.h"
#include "ppdev/ppdev.h"
#include "sim/config.h"

namespace zeva::driver {
NTSTATUS DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registry_path);
}

namespace zeva::machine {
namespace {

std::string g_start_error;
PortWrapper g_wrap = nullptr;

platform::BackendResult MakePortBackend(const std::string& entry) {
    if (entry.rfind("sim:", 0) == 0) {
        return sim::MakeBackend(entry);
    }
    if (entry.rfind("/dev/", 0) == 0) {
        return ppdev::MakeBackend(entry);
    }
    platform::BackendResult result;
    result.error =
        "not a port (valid: sim:<camera>[?options] for a simulated camera, "
        "/dev/parportN for a real port)";
    return result;
}

bool NoService() {
    const char* v = std::getenv("ZEVA_NO_SERVICE");
    return v != nullptr && v[0] != '\0' && std::strcmp(v, "0") != 0;
}

}  // namespace

bool StartDefaultSystem() {
    const char* ports = std::getenv("ZEVA_PORTS");
    std::string text = ports != nullptr && ports[0] != '\0' ? ports : "sim:gannet";
    platform::SystemConfig config;
    std::size_t index = 0;
    auto make = [&index](const std::string& entry) {
        platform::BackendResult result = MakePortBackend(entry);
        if (result.backend && g_wrap != nullptr) {
            result.backend = g_wrap(std::move(result.backend), index);
        }
        ++index;
        return result;
    };
    if (!platform::ParsePortList(text, make, &config.ports, &g_start_error)) {
        return false;
    }
    config.clock = platform::ClockModeFromEnvironment();
    config.driver_entry = NoService() ? nullptr : &zeva::driver::DriverEntry;
    NTSTATUS status = platform::BootSystem(std::move(config));
    if (status != STATUS_SUCCESS) {
        g_start_error = "the driver refused to load";
        return false;
    }
    g_start_error.clear();
    return true;
}

void SetPortWrapper(PortWrapper wrap) {
    g_wrap = wrap;
}

std::string LastStartError() {
    return g_start_error;
}

void UseDefaultSystem() {
    win32::SetSystemStarter(&StartDefaultSystem);
    InstallVirtualDeviceDriver();
}

namespace {

struct Installer {
    Installer() { UseDefaultSystem(); }
};
const Installer g_installer;

}  // namespace

}  // namespace zeva::machine
