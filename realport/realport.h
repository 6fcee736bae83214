// What the two real-port backends share (ppdev, /dev/parportN, and direct
// port I/O, io:0xNNN): the real-time protection of a line readout, the
// process's capabilities and the notices a user reads on standard error.
//
// While a thread holds the raised interrupt level, it runs SCHED_FIFO and the
// process's memory is locked, where the process may; where it may not, the
// readout runs at normal priority after one notice per process.
#pragma once

#include <atomic>
#include <string>

namespace zeva::realport {

// The scheduling and memory calls the real-time protection makes, so that
// tests can stand in for the kernel.  Results are 0 or a positive errno value.
class Realtime {
  public:
    virtual ~Realtime() = default;

    // Scheduling of the calling thread.
    virtual int GetScheduling(int* policy, int* priority) = 0;
    virtual int SetScheduling(int policy, int priority) = 0;
    // Locks the whole process in memory, current and future pages.
    virtual int LockMemory() = 0;
    // A message for the user (standard error for the real kernel).
    virtual void Notice(const std::string& text) = 0;

    // Process-wide bookkeeping (one Realtime per process).
    std::atomic<bool> memoryLockTried{false};
    std::atomic<bool> memoryLocked{false};
    std::atomic<bool> schedulingRefused{false};
    std::atomic<bool> realtimeNoticeGiven{false};
};

// The kernel's scheduling and memory calls: the one Realtime of the process,
// shared by every real port.
Realtime& KernelRealtime();

// SCHED_FIFO priority of a thread during a line readout: above ordinary
// real-time helpers, below the kernel's own interrupt threads (50).
inline constexpr int kReadoutPriority = 49;

// What a real port does when the calling thread raises (raised = true) or
// drops the interrupt level.  Nested calls (several real ports) count; the
// outermost pair does the work.
void RealtimeLevelChanged(Realtime& realtime, bool raised);

// Capability numbers of linux/capability.h.
inline constexpr int kCapSysRawIo = 17;
inline constexpr int kCapIpcLock = 14;

// True when the process's effective capabilities include `number`.
bool HasCapability(int number);

// Writes a notice for the user to standard error, one line.
void PrintNotice(const std::string& text);

}  // namespace zeva::realport
