// The port primitives and kernel calls of the camera link routed to a
// simulated camera, on a virtual clock that advances with every port access.
#pragma once

#include <cstdint>

#include "platform/port_backend.h"

namespace zeva::test {

struct SimPort {
    zeva::platform::PortBackend* backend = nullptr;
    std::uint64_t now_ns = 0;
    int relay_clicks = 0;
    int thread_waits = 0;
};

extern SimPort g_sim;

// Kernel ticks of 15.625 ms on the virtual clock.
std::int64_t SimTicks();

}  // namespace zeva::test
