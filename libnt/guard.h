// Record guard: checks that a caller's record range can be read or written
// before the library touches it, so a bad pointer becomes an error code
// instead of a crash.  The check goes through the kernel's cross-memory copy
// on the own process, which reports an unmapped or read-only page as a
// failure; it installs no signal handler and is safe from any thread.
#pragma once

#include <cstddef>

namespace zeva::libnt {

bool RecordReadable(const void* record, std::size_t length);
// Readable and writable; the record's contents are left as they were.
bool RecordWritable(void* record, std::size_t length);

}  // namespace zeva::libnt
