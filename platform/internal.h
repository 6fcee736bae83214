// Shared state of the stand-in platform's parts (clock, levels, I/O space,
// I/O manager).  Not for the driver: it sees only ntddk.h.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/ntddk.h"
#include "platform/port_backend.h"
#include "platform/system.h"

namespace zeva::platform::internal {

// Stops the process with a message naming the broken rule.
[[noreturn]] void BugCheck(const char* rule);

// --- Clock ---------------------------------------------------------------
extern std::atomic<bool> g_virtual_clock;
void ResetClock(ClockMode mode);
// Virtual mode: puts time at ns, the next device timers due on the next whole second.
void SetVirtualNs(std::uint64_t ns);
// Current time without any charge (what port backends and logs see).
std::uint64_t RawNowNs();
// Virtual mode: moves time forward (and fires due device timers).
void AdvanceVirtualNs(std::uint64_t ns);
inline void ChargeVirtualNs(std::uint64_t ns) {
    if (g_virtual_clock.load(std::memory_order_relaxed))
        AdvanceVirtualNs(ns);
}

// --- I/O space -------------------------------------------------------------
void IoSpaceAdd(std::uint32_t base, PortBackend* backend);
void IoSpaceClear();
void IoSpaceLevelChanged(bool raised);

// --- Device timers -----------------------------------------------------------
// Runs every started device timer once, at dispatch level, in this thread.
void RunDeviceTimers();
void StartRealTimerThread();
void StopRealTimerThread();

// --- Pool ------------------------------------------------------------------
std::size_t PoolFreeAll();

// --- I/O manager -----------------------------------------------------------
DRIVER_OBJECT* NewDriverObject();
void DeleteDriverObject(DRIVER_OBJECT* driver);  // deletes its remaining devices too
void ClearNamespace();

// --- Parallel-port driver ----------------------------------------------------
void CreateParallelPortDevices(const std::uint32_t* bases, const std::uint32_t* spans,
                               std::size_t count);
void DeleteParallelPortDevices();

// --- Speaker ---------------------------------------------------------------
void ClearBeepLog();

}  // namespace zeva::platform::internal
