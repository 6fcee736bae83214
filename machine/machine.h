// The composition of the stand-in machine: platform, zeva driver and camera
// simulator.  Loading this library installs the default system boot for the
// Win32 calls and the virtual device driver of the Windows 95/98 path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/ntddk.h"
#include "platform/port_backend.h"

namespace zeva::portio {
class System;
}
namespace zeva::ppdev {
class System;
}

namespace zeva::machine {

// Installs the default system boot and the zeva32.vxd stand-in with the
// Win32 calls (idempotent; also done when this library loads).  The user
// libraries call it so that they always bring the machine with them.
void UseDefaultSystem();

// Boots the default system: ports from ZEVA_PORTS (comma separated entries,
// "sim:<camera>?..." for a simulated camera, "/dev/parportN" for a real port
// through ppdev, either with base=0xNNN, "io:0xNNN" for a real port driven
// with port instructions; default "sim:gannet"; machine/ports.h), clock from
// ZEVA_CLOCK, the zeva driver loaded unless ZEVA_NO_SERVICE is set.  False
// when it could not boot (an entry refused, or a port that could not be
// opened); LastStartError says why.
bool StartDefaultSystem();

// Wraps each port backend the default system makes, before the platform
// gets it: benchmarks and tests count or watch the accesses.  `index` is the
// port's place in ZEVA_PORTS.  Set before the first library call; null
// (the default) leaves the backends as they are.
using PortWrapper = std::unique_ptr<platform::PortBackend> (*)(
    std::unique_ptr<platform::PortBackend> backend, std::size_t index);
void SetPortWrapper(PortWrapper wrap);

// The processor and kernel under io: entries: null (the default) for the
// real ones, or ZEVA_FAKE_PORTIO's stand-in when that is set
// (machine/fake_portio.h).  Tests give their own; set before the boot.
void SetDirectIoSystem(portio::System* system);
// The kernel under /dev/parportN entries: null (the default) for the real
// one; tests give their own.  Set before the boot.
void SetPpdevSystem(ppdev::System* system);

// The port entries the default system boots with from now on, in place of
// ZEVA_PORTS (empty: the default camera).  A system running for other
// entries is shut down; one running for these is left as it is.
void UsePortEntries(const std::string& entries);

// Checks port entries as a boot would parse them (the list, the registers
// each claims, a simulated camera's model and options) without opening
// any port: false with *error naming the entry at fault.
bool CheckPortEntries(const std::string& entries, std::string* error);

// Shuts the running system down (devices closed, driver unloaded).
void Shutdown();

// The machine's clock (real or virtual): sleep, the time in nanoseconds,
// whether it is the virtual clock.
void SleepMs(std::uint32_t ms);
std::uint64_t NowNs();
bool VirtualClock();

// Why the last StartDefaultSystem failed (empty after a successful boot):
// for a real port, what to do about it.
std::string LastStartError();

// The stand-in for zeva32.vxd: one request, command = code - 1000, records
// through the raw pointers in the application (packed) layout; returns the
// error code that goes into the bytes-returned count.
// Makes the zeva32.vxd stand-in the virtual device driver of the Win32 calls
// (done at load; tests that install another one call it to restore).
void InstallVirtualDeviceDriver();

std::uint16_t VxdCommand(void* context, std::int32_t command, void* in, void* out);

}  // namespace zeva::machine
