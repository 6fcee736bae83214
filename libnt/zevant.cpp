// libzevant: the application's way to the zeva driver on Windows NT.
// ParDeviceCommand turns a command into one device control request on a
// handle; ParDeviceCommandNH keeps a handle of its own, answers one
// driver-information request itself and converts the two packed records.
#include <atomic>
#include <cstdio>
#include <cstring>

#include "common/commands.h"
#include "common/errors.h"
#include "common/le.h"
#include "libnt/guard.h"
#include "machine/machine.h"
#include "platform/win32.h"
#include "zeva/zeva.h"

namespace {

using namespace zeva;
using win32::Handle;

struct CommandRow {
    std::uint16_t command;
    std::uint16_t in_bytes;
    std::uint16_t out_bytes;
    std::uint16_t fault_code;
};

// Commands with a driver request, their fixed record sizes and fault codes.
// ReadoutLine, GetCCDInfo, ReadSubtractLine and TxSerialBytes size their
// records from the parameters.
constexpr CommandRow kCommandTable[] = {
    {CmdStartExposure, 12, 0, 115},
    {CmdEndExposure, 2, 0, 116},
    {CmdReadoutLine, 8, 0, 117},
    {CmdDumpLines, 6, 0, 119},
    {CmdSetTemperatureRegulation, 4, 0, 111},
    {CmdQueryTemperatureStatus, 0, 10, 112},
    {CmdActivateRelay, 8, 0, 120},
    {CmdPulseOut, 6, 0, 121},
    {CmdEstablishLink, 0, 2, 122},
    {CmdGetDriverInfo, 2, 68, 123},
    {CmdGetCCDInfo, 2, 0, 125},
    {CmdQueryCommandStatus, 2, 2, 113},
    {CmdMiscellaneousControl, 6, 0, 124},
    {CmdReadSubtractLine, 8, 0, 118},
    {CmdReadOffset, 2, 2, 114},
    {CmdTxSerialBytes, 2, 2, 148},
    {CmdGetSerialStatus, 0, 2, 149},
    {CmdAOTipTilt, 4, 0, 150},
    {CmdAOSetFocus, 0, 0, 151},
    {CmdAODelay, 4, 0, 152},
    {CmdGetTurboStatus, 0, 2, 153},
    {CmdEndReadout, 2, 0, 154},
    {CmdGetUSTimer, 0, 4, 155},
    {CmdSetIrql, 2, 0, 130},
    {CmdGetIrql, 0, 2, 132},
    {CmdPortReadData, 0, 1, 135},
    {CmdPortWriteData, 1, 0, 136},
    {CmdPortReadStatus, 0, 1, 137},
    {CmdPortWriteStatus, 1, 0, 138},
    {CmdPortReadControl, 0, 1, 139},
    {CmdPortWriteControl, 1, 0, 140},
    {CmdPortReadEcr, 0, 1, 141},
    {CmdPortWriteEcr, 1, 0, 142},
    {CmdPortReadAddress, 4, 1, 143},
    {CmdPortWriteAddress, 4, 0, 144},
    {CmdPortWriteThenRead, 6, 1, 145},
    {CmdPortNoOperation, 2, 2, 134},
};

// OpenDriver (104) and CloseDevice (110) read no caller record, so no fault
// can arise while they run; only OpenDevice has a record to guard.
constexpr std::uint16_t kFaultOpenDevice = 109;
constexpr std::uint16_t kMaxSubtractPixels = 1530;
constexpr std::uint32_t kDriverInfoVersion = 0x0105;
constexpr char kDriverInfoName[] = "ZEVANT.DLL Ver 1.05";

// The library brings the stand-in machine it runs on.
[[maybe_unused]] const bool g_machine_ready = (machine::UseDefaultSystem(), true);

// The handle ParDeviceCommandNH talks to; one value for the whole process.
// Threads share it (one may switch cameras with SetDriverHandle while others
// send commands), so each command reads it once, whole.
std::atomic<Handle> g_library_handle{win32::kInvalidHandle};

const CommandRow* FindRow(std::uint16_t command) {
    for (const CommandRow& row : kCommandTable) {
        if (row.command == command) {
            return &row;
        }
    }
    return nullptr;
}

std::uint32_t Fault(std::uint16_t code) {
    return kErrorStatusBase + code;
}

std::uint32_t DeviceCall(Handle device, std::uint16_t command, void* in, std::uint32_t in_bytes,
                         void* out, std::uint32_t out_bytes) {
    std::uint32_t returned = 0;
    std::uint32_t function = DriverFunction(
        command == CmdReadSubtractLine ? static_cast<std::uint16_t>(CmdReadoutLine) : command);
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
    if (!libnt::RecordReadable(in, record_size::OpenDeviceParams) ||
        !libnt::RecordWritable(out, record_size::DeviceHandleRecord)) {
        return Fault(kFaultOpenDevice);
    }
    unsigned port = le::Get16(static_cast<const std::uint8_t*>(in), 0);
    char path[32];
    std::snprintf(path, sizeof path, "\\\\.\\%s%u", "LPTCCD", port);
    Handle handle =
        win32::CreateFileA(path, 0xC0000000u, 0, nullptr, win32::kOpenExisting, 0x80, 0);
    le::Put32(static_cast<std::uint8_t*>(out), 0, handle);
    return handle == win32::kInvalidHandle ? ErrorStatus(ErrOpenDeviceFailed) : 0;
}

std::uint32_t ReadSubtractLine(Handle device, const CommandRow& row, void* in, void* out) {
    if (!libnt::RecordReadable(in, row.in_bytes)) {
        return Fault(row.fault_code);
    }
    std::uint16_t n = le::Get16(static_cast<const std::uint8_t*>(in), 6);
    if (n > kMaxSubtractPixels) {
        n = kMaxSubtractPixels;
    }
    if (!libnt::RecordWritable(out, 2u * n)) {
        return Fault(row.fault_code);
    }
    // The fresh line lives on this call's stack: concurrent callers share nothing.
    std::uint8_t line[2 * kMaxSubtractPixels];
    std::uint32_t status = DeviceCall(device, CmdReadSubtractLine, in, row.in_bytes, line, 2u * n);
    if (status != 0) {
        return status;
    }
    auto* pixels = static_cast<std::uint8_t*>(out);
    for (std::size_t i = 0; i < n; ++i) {
        std::int32_t d = static_cast<std::int32_t>(le::Get16(line, 2 * i)) -
                         static_cast<std::int32_t>(le::Get16(pixels, 2 * i)) + 100;
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
    std::uint32_t in_bytes = row->in_bytes;
    std::uint32_t out_bytes = row->out_bytes;
    if (in_bytes != 0 && !libnt::RecordReadable(in, in_bytes)) {
        return Fault(row->fault_code);
    }
    const auto* params = static_cast<const std::uint8_t*>(in);
    switch (command) {
        case CmdReadoutLine:
            out_bytes = 2u * le::Get16(params, 6);
            break;
        case CmdGetDriverInfo: {
            std::int16_t request = le::GetI16(params, 0);
            if (request < 0 || request > 1) {
                return ErrorStatus(ErrBadParameter);
            }
            break;
        }
        case CmdGetCCDInfo: {
            std::uint16_t request = le::Get16(params, 0);
            if (request > 3) {
                return ErrorStatus(ErrBadCcdInfoRequest);
            }
            out_bytes = request <= 1   ? record_size::CcdInfoResult
                        : request == 2 ? record_size::CcdInfoExtResult
                                       : record_size::CcdInfoStatusResult;
            break;
        }
        case CmdReadSubtractLine:
            return ReadSubtractLine(device, *row, in, out);
        case CmdTxSerialBytes:
            // The count, then that many bytes to send.
            in_bytes = 2u + le::Get16(params, 0);
            if (!libnt::RecordReadable(in, in_bytes)) {
                return Fault(row->fault_code);
            }
            break;
        default:
            break;
    }
    if (out_bytes != 0 && !libnt::RecordWritable(out, out_bytes)) {
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
    std::uint8_t aligned_start[record_size::StartExposureParams] = {};
    std::uint32_t status = 0;
    bool answered = false;

    if (c == CmdStartExposure) {
        if (!libnt::RecordReadable(in, record_size::PackedStartExposureParams)) {
            return 1000 + 115;
        }
        const auto* packed = static_cast<const std::uint8_t*>(in);
        le::Put16(aligned_start, 0, le::Get16(packed, 0));
        le::Put32(aligned_start, 4, le::Get32(packed, 2));
        le::Put16(aligned_start, 8, le::Get16(packed, 6));
        le::Put16(aligned_start, 10, le::Get16(packed, 8));
        in = aligned_start;
    }
    if (c == CmdGetDriverInfo) {
        if (!libnt::RecordReadable(in, record_size::DriverInfoParams)) {
            return 1000 + 123;
        }
        if (le::Get16(static_cast<const std::uint8_t*>(in), 0) == 1) {
            if (!libnt::RecordWritable(out, record_size::DriverInfoResult)) {
                return 1000 + 123;
            }
            auto* info = static_cast<std::uint8_t*>(out);
            le::Put16(info, 0, kDriverInfoVersion);
            std::memcpy(info + 2, kDriverInfoName, sizeof kDriverInfoName);
            le::Put16(info, 66, 1);
            answered = true;
        }
    }
    // The request is read before the call: a caller may pass one buffer as
    // both records, and the result overwrites the request.
    bool compact_ccd_info = false;
    if (c == CmdGetCCDInfo && libnt::RecordReadable(in, record_size::CcdInfoParams)) {
        compact_ccd_info = le::Get16(static_cast<const std::uint8_t*>(in), 0) <= 1;
    }
    if (!answered) {
        switch (c) {
            case CmdOpenDriver:
                status = static_cast<std::uint16_t>(
                    ParDeviceCommand(win32::kInvalidHandle, c, nullptr, nullptr));
                break;
            case CmdGetDriverHandle:
                if (!libnt::RecordWritable(out, record_size::DeviceHandleRecord)) {
                    return 1000 + ErrBadParameter;
                }
                le::Put32(static_cast<std::uint8_t*>(out), 0, g_library_handle.load());
                break;
            case CmdSetDriverHandle:
                if (!libnt::RecordReadable(in, record_size::DeviceHandleRecord)) {
                    return 1000 + ErrBadParameter;
                }
                g_library_handle.store(le::Get32(static_cast<const std::uint8_t*>(in), 0));
                break;
            case CmdOpenDevice: {
                std::uint8_t handle[4] = {};
                status = static_cast<std::uint16_t>(
                    ParDeviceCommand(win32::kInvalidHandle, c, in, handle));
                if (status != kFaultOpenDevice) {
                    g_library_handle.store(le::Get32(handle, 0));  // -1 when the open failed
                }
                break;
            }
            default: {
                const Handle handle = g_library_handle.load();
                if (handle == win32::kInvalidHandle) {
                    return 1000 + ErrDriverNotOpen;
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
        // Packed form: the two alignment bytes before the mode table go.
        auto* info = static_cast<std::uint8_t*>(out);
        for (std::size_t i = 0; i < 20; ++i) {
            std::memmove(info + 70 + 16 * i, info + 72 + 16 * i, 16);
        }
    }
    return status == 0 ? 0 : 1000 + status;
}
