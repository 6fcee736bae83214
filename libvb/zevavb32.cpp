// libzevavb32: one entry for Visual Basic hosts.  The platform found at the
// last OpenDriver decides whether a command goes to the NT library or the
// Windows 95/98 library.
#include <atomic>
#include <cstdint>

#include "common/commands.h"
#include "common/le.h"
#include "platform/win32.h"
#include "zeva/zeva.h"

namespace {

// Set by OpenDriver, read by every command of every thread.
std::atomic<bool> g_platform_is_nt{false};

}  // namespace

extern "C" ZEVA_API std::uint32_t ParDrvCommandVB(std::uint32_t command, void* in, void* out) {
    if ((command & 0xFFFFu) == zeva::CmdOpenDriver) {
        std::uint8_t version[zeva::win32::kOsVersionInfoSize] = {};
        zeva::le::Put32(version, 0, zeva::win32::kOsVersionInfoSize);
        zeva::win32::GetVersionExA(version);
        g_platform_is_nt.store(zeva::le::Get32(version, 16) == zeva::win32::kPlatformWin32Nt);
    }
    if (g_platform_is_nt.load()) {
        return ParDeviceCommandNH(command, in, out);
    }
    return ParDrvCommand(command, in, out);
}
