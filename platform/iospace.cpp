// The I/O space: port addresses routed to the backend behind each parallel
// port.  Kept to a tiny fixed table, no locks: it changes only at boot and
// shutdown, while no driver runs.
#include "platform/internal.h"

namespace zeva::platform::internal {
namespace {
constexpr std::size_t kMaxRanges = 16;
constexpr std::uint64_t kPortCycleNs = 1000;  // one ISA port cycle

struct Range {
    std::uint32_t base;
    PortBackend* backend;
};
Range g_ranges[kMaxRanges];
std::size_t g_range_count = 0;

// The backend and offset for an address, or null when no port claims it.
inline PortBackend* Route(ULONG_PTR port, std::uint32_t* offset) {
    for (std::size_t i = 0; i < g_range_count; ++i) {
        ULONG_PTR off = port - g_ranges[i].base;  // wraps to a huge value below the base
        if (off <= kPortControl || off == kPortEcr) {
            *offset = static_cast<std::uint32_t>(off);
            return g_ranges[i].backend;
        }
    }
    return nullptr;
}
}  // namespace

void IoSpaceAdd(std::uint32_t base, PortBackend* backend) {
    if (g_range_count < kMaxRanges)
        g_ranges[g_range_count++] = {base, backend};
}

void IoSpaceClear() {
    g_range_count = 0;
}

void IoSpaceLevelChanged(bool raised) {
    for (std::size_t i = 0; i < g_range_count; ++i) {
        if (g_ranges[i].backend)
            g_ranges[i].backend->LevelChanged(raised);
    }
}

}  // namespace zeva::platform::internal

using namespace zeva::platform::internal;
using zeva::platform::PortBackend;

UCHAR READ_PORT_UCHAR(ULONG_PTR port) {
    ChargeVirtualNs(kPortCycleNs);
    std::uint32_t offset = 0;
    PortBackend* backend = Route(port, &offset);
    return backend ? backend->Read(offset) : 0xFF;
}

void WRITE_PORT_UCHAR(ULONG_PTR port, UCHAR value) {
    ChargeVirtualNs(kPortCycleNs);
    std::uint32_t offset = 0;
    PortBackend* backend = Route(port, &offset);
    if (backend)
        backend->Write(offset, value);
}
