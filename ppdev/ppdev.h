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
// On the real system a thread that holds the raised interrupt level runs
// SCHED_FIFO with the process locked in memory, as with the direct port I/O
// backend (realport/realport.h).  The backend itself is ppdev/ppdev_port.h.
#pragma once

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

    // The calling thread raises (true) or drops (false) the interrupt level.
    virtual void LevelChanged(bool raised) = 0;
    // A message for the user (standard error for the real system).
    virtual void Notice(const std::string& text) = 0;
};

// The kernel's system calls.
System& RealSystem();

// Opens the port named by a ZEVA_PORTS entry ("/dev/parport0"; the platform
// has already taken base= and span=).  On failure the result carries a
// message that says what to do.
platform::BackendResult OpenPort(const std::string& entry, System& system);

// OpenPort on the real system.
platform::BackendResult MakeBackend(const std::string& entry);

}  // namespace zeva::ppdev
