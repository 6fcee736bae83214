// A real parallel port driven with the processor's port instructions
// (x86 in/out), as a kernel driver drives it: one port cycle per register
// access and no system call on the way.
//
// The process needs CAP_SYS_RAWIO (root, or `setcap cap_sys_rawio+ep` on
// the program) for ioperm(2), and no kernel driver may use the port: with
// parport_pc loaded and owning the address, the two would fight over the
// registers.  The port's registers:
//
//   offset   address        read / write
//   0        base           data register, as it is
//   1        base + 1       status register (read-only: writes dropped)
//   2        base + 2       control register; bit 4 (interrupt enable) is
//                           never set: no interrupt handler runs for the port
//   0x402    base + 0x402   ECR of an ECP port (PCI cards may keep it
//                           elsewhere: only the raw ECR commands touch it)
//   other    -              0xFF, writes dropped
//
// ioperm(2) grants access per thread, so each thread is granted the port's
// registers at its first access.  On the real system a thread that holds the
// raised interrupt level runs SCHED_FIFO with the process locked in memory,
// as with the ppdev backend (realport/realport.h).
#pragma once

#include <cstdint>
#include <string>

#include "platform/port_backend.h"

namespace zeva::portio {

// What the backend asks of the processor and the kernel, so that tests can
// stand in for both: no test touches a real port.
class System {
  public:
    virtual ~System() = default;

    // True on a processor with port instructions (x86).
    virtual bool HasPortInstructions() = 0;
    // True when the process's effective capabilities include CAP_SYS_RAWIO.
    virtual bool HasRawIoCapability() = 0;
    // Which kernel driver owns any of the addresses [from, to], as the
    // kernel lists them ("parport0"); empty when none does.
    virtual std::string KernelClaim(std::uint32_t from, std::uint32_t to) = 0;
    // ioperm(2) for the calling thread: 0 or the errno value.
    virtual int Ioperm(std::uint32_t from, std::uint32_t count, bool on) = 0;

    virtual std::uint8_t In(std::uint16_t address) = 0;
    virtual void Out(std::uint16_t address, std::uint8_t value) = 0;

    // The calling thread raises (true) or drops (false) the interrupt level.
    virtual void LevelChanged(bool raised) = 0;
    // A message for the user (standard error for the real system).
    virtual void Notice(const std::string& text) = 0;
};

// The processor and kernel of this machine.
System& RealSystem();

// Why `address` cannot be a parallel port's base address, or an empty text:
// below 0x100 (the motherboard's own devices), not a multiple of 4, with
// the ECR beyond 0xFFFF, or reaching the PCI configuration ports.
std::string ImplausibleAddress(std::uint32_t address);

// The driver that claims any of [from, to] in the text of /proc/ioports
// ("  0378-037a : parport0"), the innermost one; empty when none does.
// Bridge windows ("PCI Bus 0000:03") and a PCI device's own ranges
// ("0000:03:00.0", a card with no driver on it) claim nothing, and neither
// do the zeroed ranges the kernel shows a process without CAP_SYS_ADMIN.
std::string IoportsOwner(const std::string& ioports, std::uint32_t from, std::uint32_t to);

// Opens the port at `address` (the number of an io:0xNNN entry).  On
// failure the result carries a message that says what to do.
platform::BackendResult OpenPort(std::uint32_t address, System& system);

// OpenPort on the real system.
platform::BackendResult MakeBackend(std::uint32_t address);

}  // namespace zeva::portio
