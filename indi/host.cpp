#include "indi/host.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "machine/machine.h"
#include "platform/system.h"

namespace zeva::indi::host {

namespace {
std::string g_bootedEntry;
}

void SelectPortEntry(const std::string& entry) {
    if (platform::SystemRunning() && g_bootedEntry == entry)
        return;
    if (platform::SystemRunning())
        platform::ShutdownSystem();
    setenv("ZEVA_PORTS", entry.c_str(), 1);
    g_bootedEntry = entry;
}

std::string LastStartError() {
    return machine::LastStartError();
}

void Shutdown() {
    platform::ShutdownSystem();
}

std::uint64_t NowNs() {
    return platform::ClockNowNs();
}

void Wait(unsigned ms) {
    platform::PlatformSleepMs(ms);
    if (platform::CurrentClockMode() == platform::ClockMode::Virtual)
        std::this_thread::sleep_for(std::chrono::milliseconds(std::max(1u, ms / 10)));
}

}  // namespace zeva::indi::host
