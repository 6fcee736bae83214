// The platform's pointer check: whether a caller's record range can be read
// or written before a library touches it, so a bad pointer becomes an error
// code instead of a crash.  The check goes through the kernel's cross-memory
// copy on the own process, which reports an unmapped or read-only page as a
// failure; it installs no signal handler and is safe from any thread.
#include <sys/uio.h>
#include <unistd.h>

#include <cstdint>

#include "platform/win32.h"

namespace zeva::win32 {
namespace {

constexpr std::size_t kChunk = 4096;

// Copies remote[0..length) of the own process into local[0..length); true
// when every byte was copied.
bool CopyWithinProcess(void* local, const void* remote, std::size_t length) {
    iovec local_iov{local, length};
    iovec remote_iov{const_cast<void*>(remote), length};
    ssize_t copied = process_vm_readv(getpid(), &local_iov, 1, &remote_iov, 1, 0);
    return copied >= 0 && static_cast<std::size_t>(copied) == length;
}

}  // namespace

bool RecordReadable(const void* record, std::size_t length) {
    if (length == 0) {
        return true;
    }
    if (record == nullptr) {
        return false;
    }
    std::uint8_t scratch[kChunk];
    auto* p = static_cast<const std::uint8_t*>(record);
    for (std::size_t done = 0; done < length;) {
        std::size_t n = length - done < kChunk ? length - done : kChunk;
        if (!CopyWithinProcess(scratch, p + done, n)) {
            return false;
        }
        done += n;
    }
    return true;
}

bool RecordWritable(void* record, std::size_t length) {
    if (length == 0) {
        return true;
    }
    if (record == nullptr) {
        return false;
    }
    // Copying the range onto itself reads it as the remote side and writes it
    // as the local side: both kinds of access are checked, the bytes stay.
    return CopyWithinProcess(record, record, length);
}

}  // namespace zeva::win32
