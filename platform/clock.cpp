// The platform clock: the wall clock, or a virtual clock that moves only
// through delays, stalls, port cycles and clock reads, so that tests run
// fast and deterministic while every timeout still expires.
#include <chrono>
#include <thread>

#include "platform/internal.h"

namespace zeva::platform {
namespace internal {

std::atomic<bool> g_virtual_clock{false};

namespace {
// Virtual time in ns since boot; one clock for every thread.
std::atomic<std::uint64_t> g_virtual_ns{0};
// Virtual time at which the device timers are next due (each second).
std::atomic<std::uint64_t> g_next_timer_ns{1'000'000'000};
std::chrono::steady_clock::time_point g_real_start = std::chrono::steady_clock::now();
thread_local bool tl_in_timers = false;

constexpr std::uint64_t kNsPerSecond = 1'000'000'000;
// A long virtual delay fires the timers at most this many times.
constexpr std::uint64_t kMaxTimerCatchUp = 1000;
}  // namespace

void ResetClock(ClockMode mode) {
    g_virtual_clock.store(mode == ClockMode::Virtual);
    g_virtual_ns.store(0);
    g_next_timer_ns.store(kNsPerSecond);
    g_real_start = std::chrono::steady_clock::now();
}

void SetVirtualNs(std::uint64_t ns) {
    g_virtual_ns.store(ns);
    g_next_timer_ns.store((ns / kNsPerSecond + 1) * kNsPerSecond);
}

std::uint64_t RawNowNs() {
    if (g_virtual_clock.load(std::memory_order_relaxed)) {
        return g_virtual_ns.load(std::memory_order_relaxed);
    }
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::steady_clock::now() - g_real_start)
                                          .count());
}

// The device timers run like a timer DPC: never on a thread that is at or
// above dispatch level (a readout in progress) and never nested in
// themselves; a due timer then waits for the next advance from a lower level.
namespace {
[[gnu::noinline, gnu::cold]] void FireDueTimers() {
    if (tl_in_timers || KeGetCurrentIrql() >= DISPATCH_LEVEL)
        return;
    tl_in_timers = true;
    for (std::uint64_t n = 0; n < kMaxTimerCatchUp; ++n) {
        std::uint64_t due = g_next_timer_ns.load();
        if (RawNowNs() < due)
            break;
        // Only the thread that moves the due time on runs this second's timers.
        if (!g_next_timer_ns.compare_exchange_strong(due, due + kNsPerSecond))
            continue;
        RunDeviceTimers();
    }
    if (RawNowNs() >= g_next_timer_ns.load()) {
        g_next_timer_ns.store((RawNowNs() / kNsPerSecond + 1) * kNsPerSecond);
    }
    tl_in_timers = false;
}
}  // namespace

void AdvanceVirtualNs(std::uint64_t ns) {
    std::uint64_t now = g_virtual_ns.fetch_add(ns, std::memory_order_relaxed) + ns;
    if (now >= g_next_timer_ns.load(std::memory_order_relaxed))
        FireDueTimers();
}

}  // namespace internal

using internal::ChargeVirtualNs;
using internal::RawNowNs;

namespace {
constexpr std::uint64_t kClockReadCostNs = 1000;
constexpr std::uint64_t kTickNs = 15'625'000;  // one kernel clock tick, 15.625 ms
constexpr ULONG kTimeIncrement = 156250;       // the tick in 100 ns units

void WaitNs(std::uint64_t ns) {
    if (internal::g_virtual_clock.load(std::memory_order_relaxed)) {
        internal::AdvanceVirtualNs(ns);
    } else {
        std::this_thread::sleep_for(std::chrono::nanoseconds(ns));
    }
}
}  // namespace

std::uint64_t ClockNowNs() {
    ChargeVirtualNs(kClockReadCostNs);
    return RawNowNs();
}

void PlatformSleepMs(std::uint32_t ms) {
    WaitNs(std::uint64_t{ms} * 1'000'000);
}

ClockMode CurrentClockMode() {
    return internal::g_virtual_clock.load() ? ClockMode::Virtual : ClockMode::Real;
}

}  // namespace zeva::platform

using namespace zeva::platform;

// Thread delay.  interval < 0: relative, in 100 ns units; >= 0: absolute
// system time.  Only at or below APC level.
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, LARGE_INTEGER* interval) {
    if (KeGetCurrentIrql() > APC_LEVEL) {
        internal::BugCheck("KeDelayExecutionThread called above APC_LEVEL");
    }
    LONGLONG v = interval ? interval->QuadPart : 0;
    std::uint64_t ns = 0;
    if (v < 0) {
        ns = static_cast<std::uint64_t>(-v) * 100;
    } else {
        std::uint64_t target = static_cast<std::uint64_t>(v) * 100;
        std::uint64_t now = RawNowNs();
        ns = target > now ? target - now : 0;
    }
    WaitNs(ns);
    return STATUS_SUCCESS;
}

// Busy-waits; any level.
void KeStallExecutionProcessor(ULONG microseconds) {
    std::uint64_t ns = std::uint64_t{microseconds} * 1000;
    if (internal::g_virtual_clock.load(std::memory_order_relaxed)) {
        internal::AdvanceVirtualNs(ns);
        return;
    }
    std::uint64_t end = RawNowNs() + ns;
    while (RawNowNs() < end) {
    }
}

void KeQuerySystemTime(LARGE_INTEGER* time) {
    time->QuadPart = static_cast<LONGLONG>(ClockNowNs() / 100);
}

void KeQueryTickCount(LARGE_INTEGER* ticks) {
    ticks->QuadPart = static_cast<LONGLONG>(ClockNowNs() / kTickNs);
}

ULONG KeQueryTimeIncrement() {
    return kTimeIncrement;
}
