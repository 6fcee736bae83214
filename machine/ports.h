// The port list of the default system (ZEVA_PORTS), parsed without opening
// anything: which backend each entry names, where its registers sit in the
// I/O space, and whether two entries would claim the same registers.
//
// Entries, comma separated:
//   sim:MODEL[?key=value&...]    a simulated camera
//   /dev/parportN[?...]          a real port through Linux ppdev
//   io:0xNNN[?span=N]            a real port at that I/O address, driven
//                                with the processor's port instructions
// base=0xNNN and span=N belong to the platform and are taken out of the
// entry before its backend sees it; base= places a simulated or ppdev port
// in the I/O space (default 0x378, 0x278, 0x3BC, then above 0xFFFF, by
// position: default bases never meet), while an
// io: entry sits at its own address.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zeva::machine {

enum class PortKind { Simulated, Ppdev, DirectIo };

struct PortEntry {
    std::string text;  // the entry as written (trimmed), for messages
    PortKind kind = PortKind::Simulated;
    std::string backendEntry;   // the entry without the platform's keys
    std::uint32_t base = 0;     // data register in the I/O space
    std::uint32_t span = 3;     // registers the parallel-port driver reports
    std::uint32_t address = 0;  // io: the port's real address (= base)
};

// Parses ZEVA_PORTS text.  False with *error naming the bad entry (and, for
// registers claimed twice, both entries) when any entry is wrong.  Pure: no
// port is opened, nothing is read from the environment.
bool ParsePortEntries(const std::string& text, std::vector<PortEntry>* entries, std::string* error);

// True when the registers the two ports decode share an address: the data,
// status and control registers (up to the span, at most an EPP port's 8)
// and the ECP registers 0x400 above the base.
bool PortsOverlap(const PortEntry& a, const PortEntry& b);

}  // namespace zeva::machine
