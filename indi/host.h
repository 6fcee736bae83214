// The driver's view of the in-process camera system, shared by every device
// of the driver: which port entries it runs, its clock and the waits that
// move that clock on.  Kept apart from the INDI headers, whose type names
// clash with the platform's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zeva::indi::host {

// Device `index`'s name: "ZEVA CCD" for the first (saved profiles name it),
// "ZEVA CCD 2", "ZEVA CCD 3", ... for the next.
std::string DeviceName(std::size_t index);
// The devices' port entries when the driver starts: ZEVA_PORTS split at its
// commas, one device each ("sim:gannet" when unset or empty).
std::vector<std::string> StartEntries();
// Checks one device's entry as the system would parse it, opening nothing:
// false with *error (the parser's message) when it would be refused.
bool CheckEntry(const std::string& entry, std::string* error);

// Device `index` (of `count`) takes `entry` for its next connection: the
// system is started with every device's entry as it is then.
void SetEntry(std::size_t index, std::size_t count, const std::string& entry);
// Device `index` (of `count`) is to open its camera on `entry`.  The system
// runs every device's entry, in device order, so the camera is port
// index + 1.  It restarts for changed entries only while no other device
// has its camera open; false with *error when another one has, or when the
// entries are refused.
bool Claim(std::size_t index, std::size_t count, const std::string& entry, std::string* error);
// The device closed its camera.
void Release(std::size_t index);
// Why the system could not start ("" when it did).
std::string LastStartError();
// Stops the system (idempotent).
void Shutdown();
// Platform time, ns.
std::uint64_t NowNs();
// Waits `ms` on the platform clock; in virtual mode it also yields the
// processor for a tenth of that so other threads and the event loop run.
void Wait(unsigned ms);

}  // namespace zeva::indi::host
