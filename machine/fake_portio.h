// A stand-in for the processor's port instructions behind io: entries, so
// that every program on the machine (the tool, the INDI driver, the Alpaca
// server) can run an io: entry in tests without touching a port.  Chosen
// with ZEVA_FAKE_PORTIO:
//
//   sim:MODEL[?options]   a simulated camera answers at every io: address
//   no-rawio              the process lacks CAP_SYS_RAWIO
//   lockdown              the capability is there, the kernel refuses ioperm
//   not-x86               a processor without port instructions
//   claimed               the kernel's parport0 owns the address
#pragma once

#include <cstdint>
#include <string>

#include "platform/port_backend.h"

namespace zeva::machine {

// Opens the io: port at `address` on the stand-in `setting` describes.
platform::BackendResult MakeFakeDirectPort(const std::string& setting, std::uint32_t address);

}  // namespace zeva::machine
