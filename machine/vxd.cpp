// The stand-in for the outside virtual device driver zeva32.vxd.  It serves
// the Windows 95/98 library by forwarding each camera command to the first
// camera device of the zeva driver, which it holds open (exclusively) from
// the library's OpenDriver to its CloseDriver.  Records come through the
// raw pointers in the application's packed layout; the error code of the
// command goes back in the bytes-returned count.
#include <cstring>

#include "common/command_table.h"
#include "common/errors.h"
#include "common/le.h"
#include "machine/machine.h"
#include "platform/system.h"
#include "platform/win32.h"

namespace zeva::machine {
namespace {

std::uint16_t CodeOf(NTSTATUS status) {
    if (status == STATUS_SUCCESS) {
        return ErrNone;
    }
    if (ErrorCodeOf(status) != 0) {
        return ErrorCodeOf(status);
    }
    if (status == STATUS_NOT_IMPLEMENTED) {
        return ErrUnknownCommand;
    }
    if (status == STATUS_INVALID_PARAMETER || status == STATUS_BUFFER_TOO_SMALL) {
        return ErrBadParameter;
    }
    return ErrDriverNotOpen;
}

std::uint16_t Forward(platform::OpenFile* file, std::uint16_t c, const void* in,
                      std::uint32_t in_bytes, void* out, std::uint32_t out_bytes) {
    // A record the caller cannot give in full is refused, never touched.
    if (!win32::RecordReadable(in, in_bytes) || !win32::RecordWritable(out, out_bytes)) {
        return ErrBadParameter;
    }
    ULONG_PTR returned = 0;
    return CodeOf(platform::DeviceControl(file, ControlCode(DriverFunction(c)),
                                          in_bytes != 0 ? in : nullptr, in_bytes,
                                          out_bytes != 0 ? out : nullptr, out_bytes, &returned));
}

void* VxdOpen() {
    platform::OpenFile* file = nullptr;
    if (platform::OpenDevice("\\DosDevices\\LPTCCD1", 0, &file) != STATUS_SUCCESS) {
        return nullptr;
    }
    return file;
}

void VxdControl(void* context, std::uint32_t code, void* in, std::uint32_t /*in_length*/, void* out,
                std::uint32_t /*out_length*/, std::uint32_t* bytes_returned) {
    std::uint16_t error =
        VxdCommand(context, static_cast<std::int32_t>(code) - kVxdCodeBase, in, out);
    if (bytes_returned != nullptr) {
        *bytes_returned = error;
    }
}

void VxdClose(void* context) {
    platform::CloseFile(static_cast<platform::OpenFile*>(context));
}

const win32::VirtualDeviceDriver kVxd = {"zeva32.vxd", &VxdOpen, &VxdControl, &VxdClose};

}  // namespace

void InstallVirtualDeviceDriver() {
    win32::SetVirtualDeviceDriver(&kVxd);
}

std::uint16_t VxdCommand(void* context, std::int32_t command, void* in, void* out) {
    auto* file = static_cast<platform::OpenFile*>(context);
    if (command < 1 || command > 0xFFFF) {
        return ErrUnknownCommand;
    }
    auto c = static_cast<std::uint16_t>(command);
    const auto* params = static_cast<const std::uint8_t*>(in);
    // The commands with a driver function go on; ReadSubtractLine and the
    // commands the library answers itself have none.
    const CommandRow* row = FindCommand(c);
    if (row == nullptr || row->function == 0) {
        return ErrUnknownCommand;
    }
    // Records come in the application's packed form; a record the caller
    // cannot give in full is refused, never touched.
    if (!win32::RecordReadable(in, row->packed_params)) {
        return ErrBadParameter;
    }
    const std::uint32_t in_bytes = ParamsBytes(*row, in, true);
    switch (c) {
        case CmdStartExposure: {
            std::uint8_t aligned[cmd::StartExposure.params] = {};
            AlignStartExposure(params, aligned);
            return Forward(file, c, aligned, sizeof aligned, nullptr, 0);
        }
        case CmdGetCCDInfo: {
            const std::int16_t request = le::GetI16(params, rec::CcdInfoParams::Request);
            std::uint8_t result[rec::CcdInfoResult::kSize] = {};
            // A request above 3 has no result record: the driver refuses it
            // and nothing of the caller's memory is touched.
            const std::uint32_t driver_bytes = CcdInfoResultSize(request, false);
            const std::uint32_t app_bytes = CcdInfoResultSize(request, true);
            if (!win32::RecordWritable(out, app_bytes)) {
                return ErrBadParameter;
            }
            std::uint16_t error = Forward(file, c, in, in_bytes, result, driver_bytes);
            if (error != ErrNone) {
                return error;
            }
            if (driver_bytes == rec::CcdInfoResult::kSize) {
                CompactCcdInfoResult(result);
            }
            std::memcpy(out, result, app_bytes);
            return ErrNone;
        }
        default:
            return Forward(file, c, in, in_bytes, out, ResultBytes(*row, in, true));
    }
}

}  // namespace zeva::machine
