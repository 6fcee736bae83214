// libzeva32m: the application's way to the camera on Windows 95/98.  It
// loads the virtual device driver zeva32.vxd and hands it every camera
// command as control code 1000 + command; the driver reports the command's
// error code in the bytes-returned count.
#include <atomic>
#include <cstring>

#include "common/command_table.h"
#include "common/errors.h"
#include "common/le.h"
#include "platform/win32.h"
#include "zeva/zeva.h"

namespace {

using namespace zeva;

constexpr std::uint16_t kDriverInfoVersion = 0x0102;
constexpr char kDriverInfoName[] = "95/98 DLL Ver 1.02";
constexpr char kVxdPath[] = "\\\\.\\zeva32.vxd";

// The open zeva32.vxd, shared by every thread of the process: each command
// reads it once, whole.
std::atomic<win32::Handle> g_library_handle{win32::kInvalidHandle};

}  // namespace

extern "C" ZEVA_API std::uint16_t ParDrvCommand(std::uint32_t command, void* in, void* out) {
    std::int16_t c = static_cast<std::int16_t>(command & 0xFFFFu);
    std::uint32_t r = 0;
    // The caller's records this library reads or writes itself pass the
    // platform's pointer check first: a bad pointer gives the command's fault
    // code (bad parameter for the handle records), never a crash.
    if (c == CmdGetDriverInfo && in != nullptr &&
        !win32::RecordReadable(in, cmd::GetDriverInfo.packed_params)) {
        return cmd::GetDriverInfo.fault_code;
    }
    if (c == CmdGetDriverInfo && in != nullptr &&
        le::Get16(static_cast<const std::uint8_t*>(in), rec::DriverInfoParams::Request) == 1) {
        if (out == nullptr) {
            return ErrBadParameter;
        }
        if (!win32::RecordWritable(out, cmd::GetDriverInfo.packed_result)) {
            return cmd::GetDriverInfo.fault_code;
        }
        auto* info = static_cast<std::uint8_t*>(out);
        le::Put16(info, rec::DriverInfoResult::Version, kDriverInfoVersion);
        std::memcpy(info + rec::DriverInfoResult::Name, kDriverInfoName, sizeof kDriverInfoName);
        le::Put16(info, rec::DriverInfoResult::MaxRequest, 1);
    } else if (c == CmdOpenDriver) {
        if (g_library_handle.load() != win32::kInvalidHandle) {
            r = ErrDriverAlreadyOpen;
        } else {
            const win32::Handle opened =
                win32::CreateFileA(kVxdPath, 0, 0, nullptr, 0, win32::kFileFlagDeleteOnClose, 0);
            if (opened == win32::kInvalidHandle) {
                r = ErrDriverNotFound;
            } else {
                g_library_handle.store(opened);
            }
        }
    } else if (c == CmdCloseDriver) {
        const win32::Handle open = g_library_handle.exchange(win32::kInvalidHandle);
        if (open == win32::kInvalidHandle) {
            r = ErrDriverNotOpen;
        } else {
            win32::CloseHandle(open);
        }
    } else if (c == CmdGetDriverHandle) {
        if (out != nullptr) {
            if (!win32::RecordWritable(out, cmd::GetDriverHandle.packed_result)) {
                return ErrBadParameter;
            }
            le::Put32(static_cast<std::uint8_t*>(out), rec::DeviceHandleRecord::Handle,
                      g_library_handle.load());
        }
    } else if (c == CmdSetDriverHandle) {
        if (in != nullptr) {
            if (!win32::RecordReadable(in, cmd::SetDriverHandle.packed_params)) {
                return ErrBadParameter;
            }
            g_library_handle.store(
                le::Get32(static_cast<const std::uint8_t*>(in), rec::DeviceHandleRecord::Handle));
        }
    } else {
        const win32::Handle handle = g_library_handle.load();
        if (handle == win32::kInvalidHandle) {
            r = ErrDriverNotOpen;
        } else {
            std::uint32_t code =
                static_cast<std::uint32_t>(static_cast<std::int32_t>(c) + kVxdCodeBase);
            // A call that never reached the virtual device driver (a stale or
            // foreign handle) leaves the count at 0: that is no success.
            if (win32::DeviceIoControl(handle, code, in, 0, out, 0, &r, nullptr) != 1) {
                r = ErrDriverNotOpen;
            }
        }
    }
    return static_cast<std::uint16_t>(r);
}
