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
// Accesses to addresses no port claims: counted, off the claimed path, so
// that tests can show a driver keeps to the ports it was given.
std::atomic<std::uint64_t> g_unclaimed{0};

// The backend and offset for an address; a null backend when no port claims it.
// Returned by value: the hottest path of every test bench stays free of
// address-taken locals.
struct Target {
    PortBackend* backend;
    std::uint32_t offset;
};
inline Target Route(ULONG_PTR port) {
    for (std::size_t i = 0; i < g_range_count; ++i) {
        ULONG_PTR off = port - g_ranges[i].base;  // wraps to a huge value below the base
        if (off <= kPortControl || off == kPortEcr)
            return {g_ranges[i].backend, static_cast<std::uint32_t>(off)};
    }
    return {nullptr, 0};
}
}  // namespace

void IoSpaceAdd(std::uint32_t base, PortBackend* backend) {
    if (g_range_count < kMaxRanges)
        g_ranges[g_range_count++] = {base, backend};
}

void IoSpaceClear() {
    g_range_count = 0;
    g_unclaimed.store(0, std::memory_order_relaxed);
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

std::uint64_t zeva::platform::UnclaimedPortAccesses() {
    return g_unclaimed.load(std::memory_order_relaxed);
}

UCHAR READ_PORT_UCHAR(ULONG_PTR port) {
    ChargeVirtualNs(kPortCycleNs);
    const Target t = Route(port);
    if (t.backend)
        return t.backend->Read(t.offset);
    g_unclaimed.fetch_add(1, std::memory_order_relaxed);
    return 0xFF;
}

void WRITE_PORT_UCHAR(ULONG_PTR port, UCHAR value) {
    ChargeVirtualNs(kPortCycleNs);
    const Target t = Route(port);
    if (t.backend)
        t.backend->Write(t.offset, value);
    else
        g_unclaimed.fetch_add(1, std::memory_order_relaxed);
}
