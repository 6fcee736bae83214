// The driver's view of the in-process camera system: which port entry it
// runs, its clock and the waits that move that clock on.  Kept apart from
// the INDI headers, whose type names clash with the platform's.
#pragma once

#include <cstdint>
#include <string>

namespace zeva::indi::host {

// Makes the system run the ports of `entry` (restarting it for another
// entry); call only while no camera is open.
void SelectPortEntry(const std::string& entry);
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
