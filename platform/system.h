// Booting and shutting down the stand-in platform in-process.
//
// A configuration names the parallel ports the system reports (one port
// backend each), the clock mode and the driver to load.  Tests boot many
// configurations in one process; applications get the default one
// (from ZEVA_PORTS and ZEVA_CLOCK) on first use of the Win32 calls.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/ntddk.h"
#include "platform/port_backend.h"

namespace zeva::platform {

enum class ClockMode { Real, Virtual };

// Builds the backend of one ZEVA_PORTS entry ("sim:gannet?scene=pattern", "/dev/parport0", ...).
using BackendFactory = std::function<BackendResult(const std::string& entry)>;

struct PortConfig {
    std::string entry;                     // the configuration text, for messages
    std::unique_ptr<PortBackend> backend;  // null: a port where nothing answers
    std::uint32_t base = 0;  // 0: the default base for its index (0x378, 0x278, 0x3BC, ...)
    std::uint32_t span = 3;  // registers reported by the parallel-port driver
};

struct SystemConfig {
    std::vector<PortConfig> ports;
    ClockMode clock = ClockMode::Real;
    PDRIVER_INITIALIZE driver_entry = nullptr;  // null: boot the platform without loading a driver
};

// Boots the platform (clock, I/O space, parallel-port driver devices,
// namespace) and loads the driver.  Returns the driver's status
// (STATUS_SUCCESS, or e.g. STATUS_NO_SUCH_DEVICE when it refused to load).
// Only one system runs at a time.
NTSTATUS BootSystem(SystemConfig config);
// Unloads the driver and tears the platform down.  Returns the number of
// pool blocks still allocated (leaks) at that point.
std::size_t ShutdownSystem();
bool SystemRunning();

// Pool blocks currently allocated.
std::size_t PoolOutstanding();

// Port reads and writes since boot at addresses no configured port claims
// (they read 0xFF and go nowhere).
std::uint64_t UnclaimedPortAccesses();

// Default port base for port index i: 0x378, 0x278, 0x3BC, then above the
// 16-bit I/O space, 0x800 apart: no two default ports share a register.
inline constexpr std::uint32_t kFirstExtraPortBase = 0x10000;
inline constexpr std::uint32_t kExtraPortStride = 0x800;
std::uint32_t DefaultPortBase(std::size_t index);

// Parses ZEVA_PORTS-style text ("a,b,c") with the factory; error names the bad entry.
bool ParsePortList(const std::string& text, const BackendFactory& factory,
                   std::vector<PortConfig>* ports, std::string* error);
// ZEVA_CLOCK: "real" (default) or "virtual".
ClockMode ClockModeFromEnvironment();

// --- Clock ---------------------------------------------------------------
// Platform time in ns since boot.  In virtual mode reading it costs 1 us.
std::uint64_t ClockNowNs();
// Sleep that advances virtual time (used by waits outside the driver: the tool's polling).
void PlatformSleepMs(std::uint32_t ms);
ClockMode CurrentClockMode();
// For test benches that put a snapshot of the whole system back between runs
// (the fuzz targets): sets the virtual clock to `ns` (the device timers fall
// due on the next whole second after it) and empties the speaker's log.
void RewindVirtualClock(std::uint64_t ns);

// --- Speaker ---------------------------------------------------------------
// Every HalMakeBeep call so far, in order (frequency, platform time ns).
struct BeepRecord {
    std::uint32_t frequency;
    std::uint64_t at_ns;
};
std::vector<BeepRecord> BeepLog();

// --- Namespace -------------------------------------------------------------
// The driver object the platform loaded (null when none).
DRIVER_OBJECT* LoadedDriver();
// Looks a device up by a \Device\ name or a \DosDevices\ link (UTF-8 text).
DEVICE_OBJECT* FindDevice(const std::string& name);
bool SymbolicLinkExists(const std::string& link);

// --- Requests (what the Win32 layer and tests use) ---------------------------
// Opens a device by name: runs IRP_MJ_CREATE.  Exclusive devices refuse a
// second open with STATUS_SHARING_VIOLATION.
struct OpenFile;
NTSTATUS OpenDevice(const std::string& name, ULONG create_options, OpenFile** file);
// Runs cleanup and close, then frees the file.
NTSTATUS CloseFile(OpenFile* file);
// A synchronous buffered device control: the system buffer holds
// max(input, output) bytes, the input copied in and the rest zero; at most
// output_length bytes are copied back.  Waits for completion.
NTSTATUS DeviceControl(OpenFile* file, ULONG code, const void* input, ULONG input_length,
                       void* output, ULONG output_length, ULONG_PTR* bytes_returned);

}  // namespace zeva::platform
