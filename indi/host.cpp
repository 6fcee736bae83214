#include "indi/host.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "client/client.h"

namespace zeva::indi::host {

void SelectPortEntry(const std::string& entry) {
    client::UsePortEntry(entry);
}

std::string LastStartError() {
    return client::SystemStartError();
}

void Shutdown() {
    client::ShutdownSystem();
}

std::uint64_t NowNs() {
    return client::NowNs();
}

void Wait(unsigned ms) {
    client::SleepMs(ms);
    if (client::VirtualClock())
        std::this_thread::sleep_for(std::chrono::milliseconds(std::max(1u, ms / 10)));
}

}  // namespace zeva::indi::host
