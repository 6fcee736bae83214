// Booting and shutting down the stand-in platform, its configuration, and
// the speaker log.
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/internal.h"

using namespace zeva::platform;

namespace {
// What port backends see of the platform: its clock, without the read charge.
class ClockHost : public PortHost {
  public:
    std::uint64_t NowNs() const override { return internal::RawNowNs(); }
};

ClockHost g_host;
CONFIGURATION_INFORMATION g_config_info{};
bool g_running = false;
DRIVER_OBJECT* g_driver = nullptr;
std::vector<std::unique_ptr<PortBackend>> g_backends;
std::mutex g_beep_lock;
std::vector<BeepRecord> g_beeps;

// Removes key=value pairs the platform itself reads (base, span) from an entry.
std::string TakePlatformKeys(const std::string& entry, PortConfig* port, std::string* error) {
    std::size_t q = entry.find('?');
    if (q == std::string::npos)
        return entry;
    std::string kept = entry.substr(0, q);
    std::string rest = entry.substr(q + 1);
    char sep = '?';
    std::size_t start = 0;
    while (start <= rest.size()) {
        std::size_t amp = rest.find('&', start);
        if (amp == std::string::npos)
            amp = rest.size();
        std::string pair = rest.substr(start, amp - start);
        start = amp + 1;
        if (pair.empty())
            continue;
        bool is_base = pair.rfind("base=", 0) == 0;
        bool is_span = pair.rfind("span=", 0) == 0;
        if (is_base || is_span) {
            std::string value = pair.substr(5);
            char* end = nullptr;
            unsigned long v = std::strtoul(value.c_str(), &end, 0);
            if (value.empty() || *end != 0 || v > 0xFFFF) {
                *error = "port entry '" + entry + "': bad value '" + value + "' for " +
                         pair.substr(0, 4) + " (a number up to 0xFFFF, e.g. 0x378)";
                return {};
            }
            (is_base ? port->base : port->span) = static_cast<std::uint32_t>(v);
            continue;
        }
        kept += sep;
        kept += pair;
        sep = '&';
    }
    return kept;
}
}  // namespace

CONFIGURATION_INFORMATION* IoGetConfigurationInformation() {
    return &g_config_info;
}

BOOLEAN HalMakeBeep(ULONG frequency) {
    std::lock_guard<std::mutex> guard(g_beep_lock);
    g_beeps.push_back({frequency, internal::RawNowNs()});
    return TRUE;
}

namespace zeva::platform {

std::vector<BeepRecord> BeepLog() {
    std::lock_guard<std::mutex> guard(g_beep_lock);
    return g_beeps;
}

void RewindVirtualClock(std::uint64_t ns) {
    if (internal::g_virtual_clock.load())
        internal::SetVirtualNs(ns);
    std::lock_guard<std::mutex> guard(g_beep_lock);
    g_beeps.clear();
}

std::uint32_t DefaultPortBase(std::size_t index) {
    static constexpr std::uint32_t kBases[] = {0x378, 0x278, 0x3BC};
    if (index < 3)
        return kBases[index];
    // The PC has no fourth place: the next ports sit above the 16-bit I/O
    // space, where no base= given by hand can be, 0x800 apart so that no
    // port's ECP registers (base + 0x400) meet another's.
    return static_cast<std::uint32_t>(kFirstExtraPortBase + kExtraPortStride * (index - 3));
}

NTSTATUS BootSystem(SystemConfig config) {
    if (g_running)
        internal::BugCheck("BootSystem while a system is running");
    internal::ResetClock(config.clock);
    {
        std::lock_guard<std::mutex> guard(g_beep_lock);
        g_beeps.clear();
    }
    std::vector<std::uint32_t> bases, spans;
    for (std::size_t i = 0; i < config.ports.size(); ++i) {
        PortConfig& port = config.ports[i];
        std::uint32_t base = port.base ? port.base : DefaultPortBase(i);
        if (port.backend)
            port.backend->Attach(&g_host);
        internal::IoSpaceAdd(base, port.backend.get());
        bases.push_back(base);
        spans.push_back(port.span);
        g_backends.push_back(std::move(port.backend));
    }
    internal::CreateParallelPortDevices(bases.data(), spans.data(), bases.size());
    if (config.clock == ClockMode::Real)
        internal::StartRealTimerThread();
    g_running = true;
    if (!config.driver_entry)
        return STATUS_SUCCESS;

    static const WCHAR kRegistryPath[] =
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ZEVA";
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, kRegistryPath);
    g_driver = internal::NewDriverObject();
    NTSTATUS status = config.driver_entry(g_driver, &path);
    if (!NT_SUCCESS(status)) {
        // A driver that refused to load is not loaded: its devices go.
        internal::DeleteDriverObject(g_driver);
        g_driver = nullptr;
    }
    return status;
}

std::size_t ShutdownSystem() {
    if (!g_running)
        return 0;
    if (g_driver) {
        if (g_driver->DriverUnload)
            g_driver->DriverUnload(g_driver);
        internal::DeleteDriverObject(g_driver);
        g_driver = nullptr;
    }
    internal::StopRealTimerThread();
    internal::DeleteParallelPortDevices();
    internal::ClearNamespace();
    internal::IoSpaceClear();
    g_backends.clear();
    std::size_t leaks = internal::PoolFreeAll();
    g_running = false;
    return leaks;
}

bool SystemRunning() {
    return g_running;
}

DRIVER_OBJECT* LoadedDriver() {
    return g_driver;
}

bool ParsePortList(const std::string& text, const BackendFactory& factory,
                   std::vector<PortConfig>* ports, std::string* error) {
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t comma = text.find(',', start);
        if (comma == std::string::npos)
            comma = text.size();
        std::string entry = text.substr(start, comma - start);
        start = comma + 1;
        while (!entry.empty() && entry.front() == ' ') entry.erase(0, 1);
        while (!entry.empty() && entry.back() == ' ') entry.pop_back();
        if (entry.empty()) {
            if (comma == text.size() && start > text.size() && text.empty())
                break;
            *error = "empty port entry in '" + text + "'";
            return false;
        }
        PortConfig port;
        port.entry = entry;
        std::string for_backend = TakePlatformKeys(entry, &port, error);
        if (for_backend.empty())
            return false;
        BackendResult result = factory(for_backend);
        if (!result.backend) {
            *error = "port entry '" + entry + "': " + result.error;
            return false;
        }
        port.backend = std::move(result.backend);
        ports->push_back(std::move(port));
    }
    return true;
}

ClockMode ClockModeFromEnvironment() {
    const char* value = std::getenv("ZEVA_CLOCK");
    if (!value || std::string(value) == "real" || *value == 0)
        return ClockMode::Real;
    if (std::string(value) == "virtual")
        return ClockMode::Virtual;
    std::fprintf(stderr, "ZEVA_CLOCK='%s' is neither 'real' nor 'virtual'; using the real clock\n",
                 value);
    return ClockMode::Real;
}

}  // namespace zeva::platform
