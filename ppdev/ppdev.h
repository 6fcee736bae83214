// A real parallel port behind the platform's I/O space, through Linux ppdev
// (/dev/parportN).
//
// The port is claimed exclusively (PPEXCL, then PPCLAIM) for as long as the
// backend lives, with the data lines driven by the PC (PPDATADIR 0).  The
// three registers of a standard port map onto ppdev's register ioctls:
//
//   offset       read                             write
//   0 data       PPRDATA                          PPWDATA
//   1 status     PPRSTATUS (the raw register,     dropped (read-only register)
//                BUSY inverted by the hardware)
//   2 control    PPRCONTROL (bits 0-3), bit 5     PPWCONTROL with bits 0-3; bit 5
//                set while the data lines are     (data lines in) through
//                input                            PPDATADIR; bit 4 (interrupt
//                                                 enable) dropped: ppdev owns the
//                                                 port's interrupt
//   anything     0xFF: ppdev cannot reach the     dropped
//   else         extended control register at
//                0x402, nor any other
//
// While a thread holds the raised interrupt level, it runs SCHED_FIFO and the
// process's memory is locked, where the process may; where it may not, the
// readout runs at normal priority after one notice per process.  The backend
// itself is ppdev/ppdev_port.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/port_backend.h"

namespace zeva::ppdev {

// The system calls the backend makes, so that tests can stand in for the
// kernel.  Results are 0 or a positive errno value; Open returns a file
// descriptor, or minus the errno value.
class System {
  public:
    virtual ~System() = default;

    virtual int Open(const char* path) = 0;  // read-write, close-on-exec
    virtual void Close(int fd) = 0;
    virtual int Ioctl(int fd, unsigned long request, void* arg) = 0;

    // Scheduling of the calling thread.
    virtual int GetScheduling(int* policy, int* priority) = 0;
    virtual int SetScheduling(int policy, int priority) = 0;
    // Locks the whole process in memory, current and future pages.
    virtual int LockMemory() = 0;

    // A message for the user (standard error for the real system).
    virtual void Notice(const std::string& text) = 0;

    // Process-wide bookkeeping of the real-time setup (one System per process).
    std::atomic<bool> memoryLockTried{false};
    std::atomic<bool> memoryLocked{false};
    std::atomic<bool> schedulingRefused{false};
    std::atomic<bool> realtimeNoticeGiven{false};
};

// The kernel's system calls.
System& RealSystem();

// SCHED_FIFO priority of a thread during a line readout: above ordinary
// real-time helpers, below the kernel's own interrupt threads (50).
inline constexpr int kReadoutPriority = 49;

// Opens the port named by a ZEVA_PORTS entry ("/dev/parport0"; the platform
// has already taken base= and span=).  On failure the result carries a
// message that says what to do.
platform::BackendResult OpenPort(const std::string& entry, System& system);

// OpenPort on the real system.
platform::BackendResult MakeBackend(const std::string& entry);

// What the raised-level hook does, on its own: called with raised = true when
// the calling thread raises the level, false when it drops it again.  Nested
// calls (several real ports) count; the outermost pair does the work.
void RealtimeLevelChanged(System& system, bool raised);

}  // namespace zeva::ppdev
