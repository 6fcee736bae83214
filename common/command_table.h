// The command table: for every command its driver function, the sizes of its
// records as the driver takes them (aligned) and as applications pass them
// (packed), the rule that sizes a record from its contents, and the fault
// code the NT library reports when a caller's record cannot be read or
// written.  The dispatcher, the user libraries and the zeva32.vxd stand-in
// all read their sizes and codes from here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "common/commands.h"
#include "common/le.h"
#include "common/records.h"

namespace zeva {

// How a record's size follows from its contents, beyond the fixed sizes.
enum class SizeRule : std::uint8_t {
    Fixed,          // the fixed sizes are the whole records
    ReadoutLine,    // result 2 x PixelLength
    TxSerialBytes,  // parameters 2 + ByteCount (0..255)
    CcdInfo,        // result by Request: 0/1 mode table, 2 EEPROM values, 3 status
};

struct CommandRow {
    Command command;
    std::uint32_t function;       // driver function; 0 when the driver has none
    std::uint16_t params;         // parameter bytes the driver takes (aligned form)
    std::uint16_t packed_params;  // parameter bytes an application passes
    std::uint16_t result;         // result bytes (fixed part)
    std::uint16_t packed_result;  // result bytes an application receives (fixed part)
    SizeRule rule;
    std::uint16_t fault_code;  // NT library's fault code; 0 when it has none
};

namespace cmd {
namespace r = rec;
// clang-format off
//                                      command                      function params                               packed params                              result                                  packed result                           rule                     fault
inline constexpr CommandRow StartExposure{CmdStartExposure,             2101, r::StartExposureParams::kSize,       r::PackedStartExposureParams::kSize,       0,                                      0,                                      SizeRule::Fixed,         115};
inline constexpr CommandRow EndExposure{CmdEndExposure,                 2102, r::EndExposureParams::kSize,         r::EndExposureParams::kSize,               0,                                      0,                                      SizeRule::Fixed,         116};
inline constexpr CommandRow ReadoutLine{CmdReadoutLine,                 2103, r::ReadoutLineParams::kSize,         r::ReadoutLineParams::kSize,               0,                                      0,                                      SizeRule::ReadoutLine,   117};
inline constexpr CommandRow DumpLines{CmdDumpLines,                     2104, r::DumpLinesParams::kSize,           r::DumpLinesParams::kSize,                 0,                                      0,                                      SizeRule::Fixed,         119};
inline constexpr CommandRow SetTemperatureRegulation{CmdSetTemperatureRegulation, 2105, r::TemperatureRegulationParams::kSize, r::TemperatureRegulationParams::kSize, 0,                       0,                                      SizeRule::Fixed,         111};
inline constexpr CommandRow QueryTemperatureStatus{CmdQueryTemperatureStatus, 2106, 0,                             0,                                         r::TemperatureStatusResults::kSize,     r::TemperatureStatusResults::kSize,     SizeRule::Fixed,         112};
inline constexpr CommandRow ActivateRelay{CmdActivateRelay,             2107, r::RelayParams::kSize,               r::RelayParams::kSize,                     0,                                      0,                                      SizeRule::Fixed,         120};
inline constexpr CommandRow PulseOut{CmdPulseOut,                       2108, r::PulseOutParams::kSize,            r::PulseOutParams::kSize,                  0,                                      0,                                      SizeRule::Fixed,         121};
inline constexpr CommandRow EstablishLink{CmdEstablishLink,             2109, 0,                                   0,                                         r::EstablishLinkResults::kSize,         r::EstablishLinkResults::kSize,         SizeRule::Fixed,         122};
inline constexpr CommandRow GetDriverInfo{CmdGetDriverInfo,             2110, r::DriverInfoParams::kSize,          r::DriverInfoParams::kSize,                r::DriverInfoResult::kSize,             r::DriverInfoResult::kSize,             SizeRule::Fixed,         123};
inline constexpr CommandRow GetCCDInfo{CmdGetCCDInfo,                   2111, r::CcdInfoParams::kSize,             r::CcdInfoParams::kSize,                   0,                                      0,                                      SizeRule::CcdInfo,       125};
inline constexpr CommandRow QueryCommandStatus{CmdQueryCommandStatus,   2112, r::QueryCommandStatusParams::kSize,  r::QueryCommandStatusParams::kSize,        r::QueryCommandStatusResult::kSize,     r::QueryCommandStatusResult::kSize,     SizeRule::Fixed,         113};
inline constexpr CommandRow MiscellaneousControl{CmdMiscellaneousControl, 2113, r::MiscellaneousControlParams::kSize, r::MiscellaneousControlParams::kSize,   0,                                      0,                                      SizeRule::Fixed,         124};
// Sent to the driver as a ReadoutLine; the NT library subtracts the lines.
inline constexpr CommandRow ReadSubtractLine{CmdReadSubtractLine,       0,    r::ReadoutLineParams::kSize,         r::ReadoutLineParams::kSize,               0,                                      0,                                      SizeRule::ReadoutLine,   118};
inline constexpr CommandRow NoOperation{CmdNoOperation,                 2115, 0,                                   0,                                         0,                                      0,                                      SizeRule::Fixed,         0};
inline constexpr CommandRow ReadOffset{CmdReadOffset,                   2116, r::ReadOffsetParams::kSize,          r::ReadOffsetParams::kSize,                r::ReadOffsetResult::kSize,             r::ReadOffsetResult::kSize,             SizeRule::Fixed,         114};
inline constexpr CommandRow OpenDriver{CmdOpenDriver,                   0,    0,                                   0,                                         0,                                      0,                                      SizeRule::Fixed,         104};
inline constexpr CommandRow CloseDriver{CmdCloseDriver,                 0,    0,                                   0,                                         0,                                      0,                                      SizeRule::Fixed,         0};
inline constexpr CommandRow TxSerialBytes{CmdTxSerialBytes,             2119, r::TxSerialBytesParams::kHeaderSize, r::TxSerialBytesParams::kHeaderSize,       r::TxSerialBytesResults::kSize,         r::TxSerialBytesResults::kSize,         SizeRule::TxSerialBytes, 148};
inline constexpr CommandRow GetSerialStatus{CmdGetSerialStatus,         2120, 0,                                   0,                                         r::SerialStatusResults::kSize,          r::SerialStatusResults::kSize,          SizeRule::Fixed,         149};
inline constexpr CommandRow AOTipTilt{CmdAOTipTilt,                     2121, r::TipTiltParams::kSize,             r::TipTiltParams::kSize,                   0,                                      0,                                      SizeRule::Fixed,         150};
inline constexpr CommandRow AOSetFocus{CmdAOSetFocus,                   2122, 0,                                   0,                                         0,                                      0,                                      SizeRule::Fixed,         151};
inline constexpr CommandRow AODelay{CmdAODelay,                         2123, r::AODelayParams::kSize,             r::AODelayParams::kSize,                   0,                                      0,                                      SizeRule::Fixed,         152};
inline constexpr CommandRow GetTurboStatus{CmdGetTurboStatus,           2124, 0,                                   0,                                         r::TurboStatusResults::kSize,           r::TurboStatusResults::kSize,           SizeRule::Fixed,         153};
inline constexpr CommandRow EndReadout{CmdEndReadout,                   2125, r::EndReadoutParams::kSize,          r::EndReadoutParams::kSize,                0,                                      0,                                      SizeRule::Fixed,         154};
inline constexpr CommandRow GetUSTimer{CmdGetUSTimer,                   2126, 0,                                   0,                                         r::USTimerResults::kSize,               r::USTimerResults::kSize,               SizeRule::Fixed,         155};
inline constexpr CommandRow OpenDevice{CmdOpenDevice,                   0,    r::OpenDeviceParams::kSize,          r::OpenDeviceParams::kSize,                r::DeviceHandleRecord::kSize,           r::DeviceHandleRecord::kSize,           SizeRule::Fixed,         109};
inline constexpr CommandRow CloseDevice{CmdCloseDevice,                 0,    0,                                   0,                                         0,                                      0,                                      SizeRule::Fixed,         110};
inline constexpr CommandRow SetIrql{CmdSetIrql,                         2127, r::IrqlParams::kSize,                r::IrqlParams::kSize,                      0,                                      0,                                      SizeRule::Fixed,         130};
inline constexpr CommandRow GetIrql{CmdGetIrql,                         2128, 0,                                   0,                                         r::IrqlParams::kSize,                   r::IrqlParams::kSize,                   SizeRule::Fixed,         132};
inline constexpr CommandRow GetDriverHandle{CmdGetDriverHandle,         0,    0,                                   0,                                         r::DeviceHandleRecord::kSize,           r::DeviceHandleRecord::kSize,           SizeRule::Fixed,         0};
inline constexpr CommandRow SetDriverHandle{CmdSetDriverHandle,         0,    r::DeviceHandleRecord::kSize,        r::DeviceHandleRecord::kSize,              0,                                      0,                                      SizeRule::Fixed,         0};
inline constexpr CommandRow PortReadData{CmdPortReadData,               3102, 0,                                   0,                                         r::PortByte::kSize,                     r::PortByte::kSize,                     SizeRule::Fixed,         135};
inline constexpr CommandRow PortWriteData{CmdPortWriteData,             3103, r::PortByte::kSize,                  r::PortByte::kSize,                        0,                                      0,                                      SizeRule::Fixed,         136};
inline constexpr CommandRow PortReadStatus{CmdPortReadStatus,           3104, 0,                                   0,                                         r::PortByte::kSize,                     r::PortByte::kSize,                     SizeRule::Fixed,         137};
inline constexpr CommandRow PortWriteStatus{CmdPortWriteStatus,         3105, r::PortByte::kSize,                  r::PortByte::kSize,                        0,                                      0,                                      SizeRule::Fixed,         138};
inline constexpr CommandRow PortReadControl{CmdPortReadControl,         3106, 0,                                   0,                                         r::PortByte::kSize,                     r::PortByte::kSize,                     SizeRule::Fixed,         139};
inline constexpr CommandRow PortWriteControl{CmdPortWriteControl,       3107, r::PortByte::kSize,                  r::PortByte::kSize,                        0,                                      0,                                      SizeRule::Fixed,         140};
inline constexpr CommandRow PortReadEcr{CmdPortReadEcr,                 3120, 0,                                   0,                                         r::PortByte::kSize,                     r::PortByte::kSize,                     SizeRule::Fixed,         141};
inline constexpr CommandRow PortWriteEcr{CmdPortWriteEcr,               3121, r::PortByte::kSize,                  r::PortByte::kSize,                        0,                                      0,                                      SizeRule::Fixed,         142};
inline constexpr CommandRow PortReadAddress{CmdPortReadAddress,         3122, r::PortAddressParams::kSize,         r::PortAddressParams::kSize,               r::PortByte::kSize,                     r::PortByte::kSize,                     SizeRule::Fixed,         143};
inline constexpr CommandRow PortWriteAddress{CmdPortWriteAddress,       3123, r::PortWriteParams::kSize,           r::PortWriteParams::kSize,                 0,                                      0,                                      SizeRule::Fixed,         144};
inline constexpr CommandRow PortWriteThenRead{CmdPortWriteThenRead,     3124, r::PortWriteReadParams::kSize,       r::PortWriteReadParams::kSize,             r::PortByte::kSize,                     r::PortByte::kSize,                     SizeRule::Fixed,         145};
// Not sent by the NT library (no fault code); the driver and zeva32.vxd serve them.
inline constexpr CommandRow PortSetBits{CmdPortSetBits,                 3125, r::PortWriteReadParams::kSize,       r::PortWriteReadParams::kSize,             0,                                      0,                                      SizeRule::Fixed,         0};
inline constexpr CommandRow PortClearBits{CmdPortClearBits,             3126, r::PortWriteReadParams::kSize,       r::PortWriteReadParams::kSize,             0,                                      0,                                      SizeRule::Fixed,         0};
// Two bytes each way that nobody reads; the driver returns no bytes.
inline constexpr CommandRow PortNoOperation{CmdPortNoOperation,         3127, r::PortNoOperationRecord::kSize,     r::PortNoOperationRecord::kSize,           r::PortNoOperationRecord::kSize,        r::PortNoOperationRecord::kSize,        SizeRule::Fixed,         134};
// clang-format on
}  // namespace cmd

inline constexpr CommandRow kCommandTable[] = {
    cmd::StartExposure,
    cmd::EndExposure,
    cmd::ReadoutLine,
    cmd::DumpLines,
    cmd::SetTemperatureRegulation,
    cmd::QueryTemperatureStatus,
    cmd::ActivateRelay,
    cmd::PulseOut,
    cmd::EstablishLink,
    cmd::GetDriverInfo,
    cmd::GetCCDInfo,
    cmd::QueryCommandStatus,
    cmd::MiscellaneousControl,
    cmd::ReadSubtractLine,
    cmd::NoOperation,
    cmd::ReadOffset,
    cmd::OpenDriver,
    cmd::CloseDriver,
    cmd::TxSerialBytes,
    cmd::GetSerialStatus,
    cmd::AOTipTilt,
    cmd::AOSetFocus,
    cmd::AODelay,
    cmd::GetTurboStatus,
    cmd::EndReadout,
    cmd::GetUSTimer,
    cmd::OpenDevice,
    cmd::CloseDevice,
    cmd::SetIrql,
    cmd::GetIrql,
    cmd::GetDriverHandle,
    cmd::SetDriverHandle,
    cmd::PortReadData,
    cmd::PortWriteData,
    cmd::PortReadStatus,
    cmd::PortWriteStatus,
    cmd::PortReadControl,
    cmd::PortWriteControl,
    cmd::PortReadEcr,
    cmd::PortWriteEcr,
    cmd::PortReadAddress,
    cmd::PortWriteAddress,
    cmd::PortWriteThenRead,
    cmd::PortSetBits,
    cmd::PortClearBits,
    cmd::PortNoOperation,
};

// The row of a command number, or null for a number no layer serves.
constexpr const CommandRow* FindCommand(std::uint32_t command) {
    for (const CommandRow& row : kCommandTable) {
        if (row.command == command)
            return &row;
    }
    return nullptr;
}

// The index of a driver function's row; the table's size when none has it.
// An index, not a pointer, so that a test of it stays a constant expression
// in instrumented builds too.
constexpr std::size_t FunctionIndex(std::uint32_t function) {
    std::size_t i = 0;
    if (function != 0) {
        for (const CommandRow& row : kCommandTable) {
            if (row.function == function)
                return i;
            ++i;
        }
    }
    return std::size(kCommandTable);
}

// The row of a driver function, or null.
constexpr const CommandRow* FindFunction(std::uint32_t function) {
    const std::size_t i = FunctionIndex(function);
    return i < std::size(kCommandTable) ? &kCommandTable[i] : nullptr;
}

// Whether a driver function has a row.
constexpr bool HasFunction(std::uint32_t function) {
    return FunctionIndex(function) < std::size(kCommandTable);
}

// Driver function of a command; 0 for commands with no driver function.
constexpr std::uint32_t DriverFunction(std::uint16_t command) {
    const CommandRow* row = FindCommand(command);
    return row == nullptr ? 0 : row->function;
}

// Result bytes of a CCD information request: the mode table (aligned or
// packed), the EEPROM values, the status; 0 for a request the driver refuses.
constexpr std::uint32_t CcdInfoResultSize(std::int32_t request, bool packed) {
    switch (request) {
        case 0:
        case 1:
            return packed ? rec::PackedCcdInfoResult::kSize : rec::CcdInfoResult::kSize;
        case 2:
            return rec::CcdInfoExtResult::kSize;
        case 3:
            return rec::CcdInfoStatusResult::kSize;
        default:
            return 0;
    }
}

// The whole parameter record of a command, given its fixed part (which the
// caller has checked is readable): sizes by the record's own contents.
inline std::uint32_t ParamsBytes(const CommandRow& row, const void* params, bool packed) {
    const std::uint32_t fixed = packed ? row.packed_params : row.params;
    if (row.rule == SizeRule::TxSerialBytes) {
        const auto* p = static_cast<const std::uint8_t*>(params);
        return static_cast<std::uint32_t>(
            rec::TxSerialBytesParams::SizeFor(le::Get16(p, rec::TxSerialBytesParams::ByteCount)));
    }
    return fixed;
}

// The whole result record of a command, given its parameters' fixed part.
inline std::uint32_t ResultBytes(const CommandRow& row, const void* params, bool packed) {
    const auto* p = static_cast<const std::uint8_t*>(params);
    switch (row.rule) {
        case SizeRule::ReadoutLine:
            return 2u * le::Get16(p, rec::ReadoutLineParams::PixelLength);
        case SizeRule::CcdInfo:
            return CcdInfoResultSize(le::GetI16(p, rec::CcdInfoParams::Request), packed);
        case SizeRule::Fixed:
        case SizeRule::TxSerialBytes:
            break;
    }
    return packed ? row.packed_result : row.result;
}

// The driver's aligned StartExposureParams from an application's packed record.
inline void AlignStartExposure(const std::uint8_t* packed, std::uint8_t* aligned) {
    namespace p = rec::PackedStartExposureParams;
    namespace a = rec::StartExposureParams;
    le::Put16(aligned, a::Ccd, le::Get16(packed, p::Ccd));
    le::Put32(aligned, a::ExposureTime, le::Get32(packed, p::ExposureTime));
    le::Put16(aligned, a::OptionCode, le::Get16(packed, p::OptionCode));
    le::Put16(aligned, a::ShutterMode, le::Get16(packed, p::ShutterMode));
}

// A CcdInfoResult (aligned, 392 bytes) turned in place into the packed form:
// the two alignment bytes before the mode table go; the last two bytes keep
// what they held.
inline void CompactCcdInfoResult(std::uint8_t* info) {
    for (std::size_t i = 0; i < rec::CcdInfoResult::kModeCount; ++i) {
        std::memmove(info + rec::PackedCcdInfoResult::Mode(i), info + rec::CcdInfoResult::Mode(i),
                     rec::ReadoutModeInfo::kSize);
    }
}

// Every command appears once, every driver function once, and every control
// code a function makes decodes back to it.
constexpr bool CommandTableIsConsistent() {
    for (const CommandRow& a : kCommandTable) {
        if (a.function != 0 && FunctionOf(ControlCode(a.function)) != a.function)
            return false;
        int commands = 0;
        int functions = 0;
        for (const CommandRow& b : kCommandTable) {
            commands += a.command == b.command ? 1 : 0;
            functions += a.function != 0 && a.function == b.function ? 1 : 0;
        }
        if (commands != 1 || (a.function != 0 && functions != 1))
            return false;
    }
    return true;
}
static_assert(CommandTableIsConsistent());
// Only StartExposure's parameters and the CCD information mode tables differ
// between the two forms.
static_assert(cmd::StartExposure.params - cmd::StartExposure.packed_params == 2);
static_assert(CcdInfoResultSize(0, false) - CcdInfoResultSize(0, true) == 2);

}  // namespace zeva
