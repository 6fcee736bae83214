// libzevant: the application's way to the zeva driver on Windows NT.
// ParDeviceCommand turns a command into one device control request on a
// handle; ParDeviceCommandNH keeps a handle of its own, answers one
// driver-information request itself and converts the two packed records.
#include <atomic>
#include <cstdio>
#include <cstring>

#include "common/command_table.h"
#include "common/errors.h"
#include "common/le.h"
#include "platform/win32.h"
#include "zeva/zeva.h"

namespace {

using namespace zeva;
using win32::Handle;

// OpenDriver and CloseDevice read no caller record, so no fault can arise
// while they run; only OpenDevice has a record to guard.
constexpr std::uint16_t kMaxSubtractPixels = 1530;
// The level a subtracted pixel is raised by, so a small negative difference stays visible.
constexpr std::int32_t kSubtractPedestal = 100;
constexpr std::uint32_t kDriverInfoVersion = 0x0105;
constexpr char kDriverInfoName[] = "ZEVANT.DLL Ver 1.05";
static_assert(sizeof kDriverInfoName <= rec::DriverInfoResult::kNameSize);
// ParDeviceCommandNH reports a code c as kNoHandleBase + c.
constexpr std::uint32_t kNoHandleBase = 1000;

// The handle ParDeviceCommandNH talks to; one value for the whole process.
// Threads share it (one may switch cameras with SetDriverHandle while others
// send commands), so each command reads it once, whole.
std::atomic<Handle> g_library_handle{win32::kInvalidHandle};

// The row of a command this library sends to the driver: one with a fault
// code and a driver request (ReadSubtractLine goes as a ReadoutLine).
const CommandRow* FindRow(std::uint16_t command) {
    const CommandRow* row = FindCommand(command);
    if (row == nullptr || row->fault_code == 0 ||
        (row->function == 0 && command != CmdReadSubtractLine)) {
        return nullptr;
    }
    return row;
}

std::uint32_t Fault(std::uint16_t code) {
    return kErrorStatusBase + code;
}

std::uint32_t DeviceCall(Handle device, std::uint16_t command, void* in, std::uint32_t in_bytes,
                         void* out, std::uint32_t out_bytes) {
    std::uint32_t returned = 0;
    const std::uint32_t function =
        command == CmdReadSubtractLine ? cmd::ReadoutLine.function : DriverFunction(command);
    if (win32::DeviceIoControl(device, ControlCode(function), in_bytes != 0 ? in : nullptr,
                               in_bytes, out_bytes != 0 ? out : nullptr, out_bytes, &returned,
                               nullptr) == 1) {
        return 0;
    }
    if (command == CmdPortNoOperation) {
        return ErrorStatus(ErrPortCommandFailed);
    }
    return win32::GetLastError();
}

std::uint32_t OpenDriver() {
    Handle manager = win32::OpenSCManagerA(nullptr, nullptr, 1);
    if (manager == 0) {
        return win32::GetLastError();
    }
    Handle service = win32::OpenServiceA(manager, "ZEVA", 0x80000000u);
    if (service == 0) {
        win32::CloseServiceHandle(manager);
        return ErrorStatus(ErrDriverNotOpen);
    }
    win32::CloseServiceHandle(service);
    win32::CloseServiceHandle(manager);
    return 0;
}

std::uint32_t OpenDevice(void* in, void* out) {
    if (!win32::RecordReadable(in, cmd::OpenDevice.params) ||
        !win32::RecordWritable(out, cmd::OpenDevice.result)) {
        return Fault(cmd::OpenDevice.fault_code);
    }
    unsigned port =
        le::Get16(static_cast<const std::uint8_t*>(in), rec::OpenDeviceParams::PortNumber);
    char path[32];
    std::snprintf(path, sizeof path, "\\\\.\\%s%u", "LPTCCD", port);
    Handle handle =
        win32::CreateFileA(path, 0xC0000000u, 0, nullptr, win32::kOpenExisting, 0x80, 0);
    le::Put32(static_cast<std::uint8_t*>(out), rec::DeviceHandleRecord::Handle, handle);
    return handle == win32::kInvalidHandle ? ErrorStatus(ErrOpenDeviceFailed) : 0;
}

std::uint32_t ReadSubtractLine(Handle device, const CommandRow& row, void* in, void* out) {
    if (!win32::RecordReadable(in, row.params)) {
        return Fault(row.fault_code);
    }
    std::uint16_t n =
        le::Get16(static_cast<const std::uint8_t*>(in), rec::ReadoutLineParams::PixelLength);
    if (n > kMaxSubtractPixels) {
        n = kMaxSubtractPixels;
    }
    if (!win32::RecordWritable(out, 2u * n)) {
        return Fault(row.fault_code);
    }
    // The fresh line lives on this call's stack: concurrent callers share nothing.
    std::uint8_t line[2 * kMaxSubtractPixels];
    std::uint32_t status = DeviceCall(device, CmdReadSubtractLine, in, row.params, line, 2u * n);
    if (status != 0) {
        return status;
    }
    auto* pixels = static_cast<std::uint8_t*>(out);
    for (std::size_t i = 0; i < n; ++i) {
        std::int32_t d = static_cast<std::int32_t>(le::Get16(line, 2 * i)) -
                         static_cast<std::int32_t>(le::Get16(pixels, 2 * i)) + kSubtractPedestal;
        if (d < 0) {
            d = 0;
        } else if (d > 0xFFFF) {
            d = 0xFFFF;  // a bright pixel over a near-zero one saturates, it does not wrap
        }
        le::Put16(pixels, 2 * i, static_cast<std::uint16_t>(d));
    }
    return 0;
}

std::uint32_t DeviceCommand(Handle device, std::uint16_t command, void* in, void* out) {
    const CommandRow* row = FindRow(command);
    if (row == nullptr) {
        return ErrorStatus(ErrUnknownCommand);
    }
    if (!win32::RecordReadable(in, row->params)) {
        return Fault(row->fault_code);
    }
    // Requests the library refuses before any record is sized from them.
    const auto* params = static_cast<const std::uint8_t*>(in);
    if (command == CmdGetDriverInfo) {
        const std::int16_t request = le::GetI16(params, rec::DriverInfoParams::Request);
        if (request < 0 || request > 1) {
            return ErrorStatus(ErrBadParameter);
        }
    } else if (command == CmdGetCCDInfo) {
        if (le::Get16(params, rec::CcdInfoParams::Request) > 3) {
            return ErrorStatus(ErrBadCcdInfoRequest);
        }
    } else if (command == CmdReadSubtractLine) {
        return ReadSubtractLine(device, *row, in, out);
    }
    // The ParDeviceCommand records are the driver's (aligned) forms.
    const std::uint32_t in_bytes = ParamsBytes(*row, in, false);
    const std::uint32_t out_bytes = ResultBytes(*row, in, false);
    if (in_bytes > row->params && !win32::RecordReadable(in, in_bytes)) {
        return Fault(row->fault_code);
    }
    if (out_bytes != 0 && !win32::RecordWritable(out, out_bytes)) {
        return Fault(row->fault_code);
    }
    return DeviceCall(device, command, in, in_bytes, out, out_bytes);
}

}  // namespace

extern "C" ZEVA_API std::uint32_t ParDeviceCommand(std::uint32_t device, std::uint32_t command,
                                                   void* in, void* out) {
    std::uint16_t c = static_cast<std::uint16_t>(command);
    if (static_cast<std::uint16_t>(c - 1) > 126) {
        return ErrorStatus(ErrUnknownCommand);
    }
    switch (c) {
        case CmdNoOperation:
        case CmdCloseDriver:
            return 0;
        case CmdOpenDriver:
            return OpenDriver();
        case CmdOpenDevice:
            return OpenDevice(in, out);
        case CmdCloseDevice:
            return win32::CloseHandle(device) == 1 ? 0 : ErrorStatus(ErrCloseDeviceFailed);
        default:
            return DeviceCommand(device, c, in, out);
    }
}

extern "C" ZEVA_API std::uint32_t ParDeviceCommandNH(std::uint32_t command, void* in, void* out) {
    std::uint16_t c = static_cast<std::uint16_t>(command);
    std::uint8_t aligned_start[rec::StartExposureParams::kSize] = {};
    std::uint32_t status = 0;
    bool answered = false;

    if (c == CmdStartExposure) {
        if (!win32::RecordReadable(in, cmd::StartExposure.packed_params)) {
            return kNoHandleBase + cmd::StartExposure.fault_code;
        }
        AlignStartExposure(static_cast<const std::uint8_t*>(in), aligned_start);
        in = aligned_start;
    }
    if (c == CmdGetDriverInfo) {
        if (!win32::RecordReadable(in, cmd::GetDriverInfo.params)) {
            return kNoHandleBase + cmd::GetDriverInfo.fault_code;
        }
        if (le::Get16(static_cast<const std::uint8_t*>(in), rec::DriverInfoParams::Request) == 1) {
            if (!win32::RecordWritable(out, cmd::GetDriverInfo.result)) {
                return kNoHandleBase + cmd::GetDriverInfo.fault_code;
            }
            auto* info = static_cast<std::uint8_t*>(out);
            le::Put16(info, rec::DriverInfoResult::Version, kDriverInfoVersion);
            std::memcpy(info + rec::DriverInfoResult::Name, kDriverInfoName,
                        sizeof kDriverInfoName);
            le::Put16(info, rec::DriverInfoResult::MaxRequest, 1);
            answered = true;
        }
    }
    // The request is read before the call: a caller may pass one buffer as
    // both records, and the result overwrites the request.
    bool compact_ccd_info = false;
    if (c == CmdGetCCDInfo && win32::RecordReadable(in, cmd::GetCCDInfo.params)) {
        compact_ccd_info =
            le::Get16(static_cast<const std::uint8_t*>(in), rec::CcdInfoParams::Request) <= 1;
    }
    if (!answered) {
        switch (c) {
            case CmdOpenDriver:
                status = static_cast<std::uint16_t>(
                    ParDeviceCommand(win32::kInvalidHandle, c, nullptr, nullptr));
                break;
            case CmdGetDriverHandle:
                if (!win32::RecordWritable(out, cmd::GetDriverHandle.result)) {
                    return kNoHandleBase + ErrBadParameter;
                }
                le::Put32(static_cast<std::uint8_t*>(out), rec::DeviceHandleRecord::Handle,
                          g_library_handle.load());
                break;
            case CmdSetDriverHandle:
                if (!win32::RecordReadable(in, cmd::SetDriverHandle.params)) {
                    return kNoHandleBase + ErrBadParameter;
                }
                g_library_handle.store(le::Get32(static_cast<const std::uint8_t*>(in),
                                                 rec::DeviceHandleRecord::Handle));
                break;
            case CmdOpenDevice: {
                std::uint8_t handle[rec::DeviceHandleRecord::kSize] = {};
                status = static_cast<std::uint16_t>(
                    ParDeviceCommand(win32::kInvalidHandle, c, in, handle));
                // A failed open keeps the handle held: dropping it would leave
                // that device open with no handle anyone knows, and every
                // later open of it refused.
                if (status == 0) {
                    g_library_handle.store(le::Get32(handle, rec::DeviceHandleRecord::Handle));
                }
                break;
            }
            default: {
                const Handle handle = g_library_handle.load();
                if (handle == win32::kInvalidHandle) {
                    return kNoHandleBase + ErrDriverNotOpen;
                }
                status = static_cast<std::uint16_t>(ParDeviceCommand(handle, c, in, out));
                if (status == 0 && c == CmdCloseDevice) {
                    // Only the handle just closed is forgotten.
                    Handle closed = handle;
                    g_library_handle.compare_exchange_strong(closed, win32::kInvalidHandle);
                }
                break;
            }
        }
    }
    if (status == 0 && compact_ccd_info) {
        CompactCcdInfoResult(static_cast<std::uint8_t*>(out));
    }
    return status == 0 ? 0 : kNoHandleBase + status;
}
