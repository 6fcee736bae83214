#include "indi/host.h"

#include "client/capture.h"

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
    client::PauseMs(ms);
}

}  // namespace zeva::indi::host
