// The seam between the platform's I/O space and whatever sits behind a
// parallel port: the camera simulator, a recording fake, a real Linux port.
//
// A backend sees register offsets relative to the port's base address:
//   0      data register
//   1      status register
//   2      control register
//   0x402  extended control register (ECP)
// The I/O space routes READ_PORT_UCHAR / WRITE_PORT_UCHAR of base + offset
// here; addresses no backend claims read 0xFF and ignore writes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace zeva::platform {

// Register offsets of a standard PC parallel port.
inline constexpr std::uint32_t kPortData = 0;
inline constexpr std::uint32_t kPortStatus = 1;
inline constexpr std::uint32_t kPortControl = 2;
inline constexpr std::uint32_t kPortEcr = 0x402;

// What the platform offers a backend: its clock (virtual or real, whichever
// the platform runs on), so that a backend's timing follows the driver's.
class PortHost {
public:
    virtual ~PortHost() = default;
    // Current platform time in nanoseconds (monotonic).  Does not advance
    // virtual time by itself.
    virtual std::uint64_t NowNs() const = 0;
};

// One parallel port's registers.  Public non-virtual calls forward to one
// private virtual each, so fakes plug in at one place.
class PortBackend {
public:
    virtual ~PortBackend() = default;

    std::uint8_t Read(std::uint32_t offset) { return DoRead(offset); }
    void Write(std::uint32_t offset, std::uint8_t value) { DoWrite(offset, value); }

    // Told when a thread raises the interrupt level above dispatch level
    // (raised = true) and when it lowers it again: a real-port backend uses
    // this to make the line readout uninterruptible in user space.
    void LevelChanged(bool raised) { DoLevelChanged(raised); }

    // Called once by the platform when the backend is put into the I/O space.
    void Attach(const PortHost* host) { host_ = host; }
    const PortHost* Host() const { return host_; }

private:
    virtual std::uint8_t DoRead(std::uint32_t offset) = 0;
    virtual void DoWrite(std::uint32_t offset, std::uint8_t value) = 0;
    virtual void DoLevelChanged(bool /*raised*/) {}

    const PortHost* host_ = nullptr;
};

// Result of building a backend from one configuration entry.
struct BackendResult {
    std::unique_ptr<PortBackend> backend;  // null on failure
    std::string error;                     // what went wrong, naming the bad value and the valid ones
};

}  // namespace zeva::platform
