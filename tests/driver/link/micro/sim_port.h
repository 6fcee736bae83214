// The port primitives of the camera link routed straight to a simulated
// camera; the kernel clock is the platform's (booted with a virtual clock).
#pragma once

#include <cstdint>

#include "platform/port_backend.h"

namespace zeva::test {

struct SimPort {
    zeva::platform::PortBackend* backend = nullptr;
    int relay_clicks = 0;
};

extern SimPort g_sim;

// Kernel ticks of 15.625 ms on the virtual clock.
std::int64_t SimTicks();

}  // namespace zeva::test
