#include "machine/machine.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "machine/fake_portio.h"
#include "machine/ports.h"
#include "platform/system.h"
#include "platform/win32.h"
#include "portio/portio.h"
#include "ppdev/ppdev.h"
#include "sim/config.h"

namespace zeva::driver {
NTSTATUS DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registry_path);
}

namespace zeva::machine {
namespace {

std::string g_start_error;
// Entries set through UsePortEntries (in place of ZEVA_PORTS once set), and
// whether the running system was started for them.
std::mutex g_entries_lock;
bool g_entries_set = false;
std::string g_entries;
PortWrapper g_wrap = nullptr;
portio::System* g_direct_io = nullptr;
ppdev::System* g_ppdev = nullptr;

platform::BackendResult MakeDirectPort(const PortEntry& entry) {
    if (g_direct_io != nullptr)
        return portio::OpenPort(entry.address, *g_direct_io);
    const char* fake = std::getenv("ZEVA_FAKE_PORTIO");
    if (fake != nullptr && fake[0] != '\0')
        return MakeFakeDirectPort(fake, entry.address);
    return portio::MakeBackend(entry.address);
}

platform::BackendResult MakePortBackend(const PortEntry& entry) {
    switch (entry.kind) {
        case PortKind::Simulated:
            return sim::MakeBackend(entry.backendEntry);
        case PortKind::Ppdev:
            return g_ppdev != nullptr ? ppdev::OpenPort(entry.backendEntry, *g_ppdev)
                                      : ppdev::MakeBackend(entry.backendEntry);
        case PortKind::DirectIo:
            return MakeDirectPort(entry);
    }
    return {};
}

// The ports of the entries, in order; false with g_start_error at the first
// that cannot be opened (the ones opened before it are closed again).
bool MakePorts(const std::vector<PortEntry>& entries, std::vector<platform::PortConfig>* ports) {
    for (std::size_t index = 0; index < entries.size(); ++index) {
        const PortEntry& entry = entries[index];
        platform::BackendResult result = MakePortBackend(entry);
        if (!result.backend) {
            g_start_error = "port entry '" + entry.text + "': " + result.error;
            return false;
        }
        if (g_wrap != nullptr)
            result.backend = g_wrap(std::move(result.backend), index);
        platform::PortConfig port;
        port.entry = entry.text;
        port.backend = std::move(result.backend);
        port.base = entry.base;
        port.span = entry.span;
        ports->push_back(std::move(port));
    }
    return true;
}

bool NoService() {
    const char* v = std::getenv("ZEVA_NO_SERVICE");
    return v != nullptr && v[0] != '\0' && std::strcmp(v, "0") != 0;
}

}  // namespace

bool StartDefaultSystem() {
    std::string text;
    {
        std::lock_guard<std::mutex> lock(g_entries_lock);
        if (g_entries_set) {
            text = g_entries;
        } else {
            const char* ports = std::getenv("ZEVA_PORTS");
            text = ports != nullptr ? ports : "";
        }
    }
    if (text.empty())
        text = "sim:gannet";
    std::vector<PortEntry> entries;
    if (!ParsePortEntries(text, &entries, &g_start_error))
        return false;
    platform::SystemConfig config;
    if (!MakePorts(entries, &config.ports))
        return false;
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

void UsePortEntries(const std::string& entries) {
    // The lock is never held across a boot or a shutdown: a boot takes it.
    bool same;
    {
        std::lock_guard<std::mutex> lock(g_entries_lock);
        same = g_entries_set && g_entries == entries;
    }
    if (platform::SystemRunning() && same)
        return;
    if (platform::SystemRunning())
        platform::ShutdownSystem();
    std::lock_guard<std::mutex> lock(g_entries_lock);
    g_entries = entries;
    g_entries_set = true;
}

bool CheckPortEntries(const std::string& entries, std::string* error) {
    std::vector<PortEntry> parsed;
    if (!ParsePortEntries(entries, &parsed, error))
        return false;
    for (const PortEntry& entry : parsed) {
        sim::Options options;
        if (entry.kind == PortKind::Simulated &&
            !sim::ParseOptions(entry.backendEntry, &options, error)) {
            *error = "port entry '" + entry.text + "': " + *error;
            return false;
        }
    }
    return true;
}

void Shutdown() {
    platform::ShutdownSystem();
}

void SleepMs(std::uint32_t ms) {
    platform::PlatformSleepMs(ms);
}

std::uint64_t NowNs() {
    return platform::ClockNowNs();
}

bool VirtualClock() {
    return platform::CurrentClockMode() == platform::ClockMode::Virtual;
}

void SetPortWrapper(PortWrapper wrap) {
    g_wrap = wrap;
}

void SetDirectIoSystem(portio::System* system) {
    g_direct_io = system;
}

void SetPpdevSystem(ppdev::System* system) {
    g_ppdev = system;
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
