// The stand-in for the outside virtual device driver zeva32.vxd.  It serves
// the Windows 95/98 library by forwarding each camera command to the first
// camera device of the zeva driver, which it holds open (exclusively) from
// the library's OpenDriver to its CloseDriver.  Records come through the
// raw pointers in the application's packed layout; the error code of the
// command goes back in the bytes-returned count.
#include <cstring>

#include "common/commands.h"
#include "common/errors.h"
#include "common/le.h"
#include "libnt/guard.h"
#include "machine/machine.h"
#include "platform/system.h"
#include "platform/win32.h"

namespace zeva::machine {
namespace {

constexpr std::int32_t kVxdCodeBase = 1000;

struct RecordSizes {
    std::uint32_t in;
    std::uint32_t out;
};

// Fixed record sizes of the commands the virtual device driver forwards.
bool FixedSizes(std::uint16_t c, RecordSizes* sizes) {
    namespace rs = record_size;
    switch (c) {
        case CmdEndExposure:
            *sizes = {rs::EndExposureParams, 0};
            return true;
        case CmdDumpLines:
            *sizes = {rs::DumpLinesParams, 0};
            return true;
        case CmdSetTemperatureRegulation:
            *sizes = {rs::TemperatureRegulationParams, 0};
            return true;
        case CmdQueryTemperatureStatus:
            *sizes = {0, rs::TemperatureStatusResults};
            return true;
        case CmdActivateRelay:
            *sizes = {rs::RelayParams, 0};
            return true;
        case CmdPulseOut:
            *sizes = {rs::PulseOutParams, 0};
            return true;
        case CmdEstablishLink:
            *sizes = {0, rs::EstablishLinkResults};
            return true;
        case CmdGetDriverInfo:
            *sizes = {rs::DriverInfoParams, rs::DriverInfoResult};
            return true;
        case CmdQueryCommandStatus:
            *sizes = {rs::QueryCommandStatusParams, rs::QueryCommandStatusResult};
            return true;
        case CmdMiscellaneousControl:
            *sizes = {rs::MiscellaneousControlParams, 0};
            return true;
        case CmdNoOperation:
            *sizes = {0, 0};
            return true;
        case CmdReadOffset:
            *sizes = {rs::ReadOffsetParams, 2};
            return true;
        case CmdGetSerialStatus:
            *sizes = {0, rs::SerialStatusResults};
            return true;
        case CmdAOTipTilt:
            *sizes = {rs::TipTiltParams, 0};
            return true;
        case CmdAOSetFocus:
            *sizes = {0, 0};
            return true;
        case CmdAODelay:
            *sizes = {rs::AODelayParams, 0};
            return true;
        case CmdGetTurboStatus:
            *sizes = {0, rs::TurboStatusResults};
            return true;
        case CmdEndReadout:
            *sizes = {rs::EndReadoutParams, 0};
            return true;
        case CmdGetUSTimer:
            *sizes = {0, rs::USTimerResults};
            return true;
        case CmdSetIrql:
            *sizes = {rs::IrqlParams, 0};
            return true;
        case CmdGetIrql:
            *sizes = {0, rs::IrqlParams};
            return true;
        case CmdPortReadData:
        case CmdPortReadStatus:
        case CmdPortReadControl:
        case CmdPortReadEcr:
            *sizes = {0, 1};
            return true;
        case CmdPortWriteData:
        case CmdPortWriteStatus:
        case CmdPortWriteControl:
        case CmdPortWriteEcr:
            *sizes = {1, 0};
            return true;
        case CmdPortReadAddress:
            *sizes = {rs::PortAddressParams, 1};
            return true;
        case CmdPortWriteAddress:
            *sizes = {rs::PortWriteParams, 0};
            return true;
        case CmdPortWriteThenRead:
            *sizes = {rs::PortWriteReadParams, 1};
            return true;
        case CmdPortSetBits:
        case CmdPortClearBits:
            *sizes = {rs::PortWriteReadParams, 0};
            return true;
        case CmdPortNoOperation:
            *sizes = {2, 2};
            return true;
        default:
            return false;
    }
}

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
    if (!libnt::RecordReadable(in, in_bytes) || !libnt::RecordWritable(out, out_bytes)) {
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
    switch (c) {
        case CmdStartExposure: {
            // Packed 10 bytes from the application, aligned 12 bytes to the driver.
            if (!libnt::RecordReadable(in, record_size::PackedStartExposureParams)) {
                return ErrBadParameter;
            }
            std::uint8_t aligned[record_size::StartExposureParams] = {};
            le::Put16(aligned, 0, le::Get16(params, 0));
            le::Put32(aligned, 4, le::Get32(params, 2));
            le::Put16(aligned, 8, le::Get16(params, 6));
            le::Put16(aligned, 10, le::Get16(params, 8));
            return Forward(file, c, aligned, sizeof aligned, nullptr, 0);
        }
        case CmdReadoutLine:
            if (!libnt::RecordReadable(in, record_size::ReadoutLineParams)) {
                return ErrBadParameter;
            }
            return Forward(file, c, in, record_size::ReadoutLineParams, out,
                           2u * le::Get16(params, 6));
        case CmdGetCCDInfo: {
            if (!libnt::RecordReadable(in, record_size::CcdInfoParams)) {
                return ErrBadParameter;
            }
            std::uint16_t request = le::Get16(params, 0);
            std::uint8_t result[record_size::CcdInfoResult] = {};
            // A request above 3 has no result record: the driver refuses it
            // and nothing of the caller's memory is touched.
            std::uint32_t driver_bytes = request <= 1   ? record_size::CcdInfoResult
                                         : request == 2 ? record_size::CcdInfoExtResult
                                         : request == 3 ? record_size::CcdInfoStatusResult
                                                        : 0;
            std::uint32_t app_bytes =
                request <= 1 ? record_size::PackedCcdInfoResult : driver_bytes;
            if (!libnt::RecordWritable(out, app_bytes)) {
                return ErrBadParameter;
            }
            std::uint16_t error =
                Forward(file, c, in, record_size::CcdInfoParams, result, driver_bytes);
            if (error != ErrNone) {
                return error;
            }
            auto* dest = static_cast<std::uint8_t*>(out);
            if (request <= 1) {
                // Packed form: the mode table follows the header without the alignment gap.
                std::memcpy(dest, result, 70);
                std::memcpy(dest + 70, result + 72, record_size::PackedCcdInfoResult - 70);
            } else {
                std::memcpy(dest, result, driver_bytes);
            }
            return ErrNone;
        }
        case CmdTxSerialBytes:
            if (!libnt::RecordReadable(in, 2)) {
                return ErrBadParameter;
            }
            return Forward(file, c, in, 2u + le::Get16(params, 0), out,
                           record_size::TxSerialBytesResults);
        default: {
            RecordSizes sizes{};
            if (!FixedSizes(c, &sizes)) {
                return ErrUnknownCommand;
            }
            return Forward(file, c, in, sizes.in, out, sizes.out);
        }
    }
}

}  // namespace zeva::machine
