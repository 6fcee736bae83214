#include "driver/frame/dispatch_table.h"

#include "common/commands.h"
#include "common/errors.h"
#include "common/le.h"
#include "common/records.h"
#include "driver/frame/routines.h"
#include "driver/link/port.h"

namespace zeva::driver {

namespace {

namespace rs = ::zeva::record_size;

constexpr DispatchEntry Two(std::uint32_t function, TwoArgRoutine routine, std::uint32_t in,
                            std::uint32_t out) {
    return {function, Form::TwoArg, routine,         nullptr, 0,   SizeRule::Fixed,
            in,       out,          Returned::Fixed, out,     true};
}
constexpr DispatchEntry Three(std::uint32_t function, ThreeArgRoutine routine, std::uint32_t in,
                              std::uint32_t out, Returned returned, std::uint32_t returned_bytes,
                              bool lock, SizeRule rule = SizeRule::Fixed) {
    return {function, Form::ThreeArg, nullptr,        routine, 0, rule, in,
            out,      returned,       returned_bytes, lock};
}
constexpr DispatchEntry Simple(std::uint32_t function, Form form, std::uint32_t in,
                               std::uint32_t out, bool lock) {
    return {function, form, nullptr,         nullptr, 0,   SizeRule::Fixed,
            in,       out,  Returned::Fixed, out,     lock};
}
constexpr DispatchEntry PortRead(std::uint32_t function, ULONG_PTR offset) {
    return {function, Form::PortRead,  nullptr, nullptr, offset, SizeRule::Fixed, 0,
            1,        Returned::Fixed, 1,       false};
}
constexpr DispatchEntry PortWrite(std::uint32_t function, ULONG_PTR offset) {
    return {function, Form::PortWrite, nullptr, nullptr, offset, SizeRule::Fixed, 1,
            0,        Returned::Fixed, 0,       false};
}

constexpr DispatchEntry kDispatchTable[] = {
    Two(2101, StartExposure, rs::StartExposureParams, 0),
    Two(2102, EndExposure, rs::EndExposureParams, 0),
    {2103, Form::Readout, ReadoutLine, nullptr, 0, SizeRule::ReadoutLine, rs::ReadoutLineParams, 0,
     Returned::PixelLength, 0, true},
    Two(2104, DumpLines, rs::DumpLinesParams, 0),
    Two(2105, SetTemperatureRegulation, rs::TemperatureRegulationParams, 0),
    Two(2106, QueryTemperatureStatus, 0, rs::TemperatureStatusResults),
    Two(2107, ActivateRelay, rs::RelayParams, 0),
    Two(2108, PulseOut, rs::PulseOutParams, 0),
    Two(2109, EstablishLink, 0, rs::EstablishLinkResults),
    Three(2110, GetDriverInfo, rs::DriverInfoParams, rs::DriverInfoResult, Returned::OutputLength,
          0, false),
    Three(2111, GetCCDInfo, rs::CcdInfoParams, 0, Returned::OutputLength, 0, true,
          SizeRule::CcdInfo),
    Three(2112, QueryCommandStatus, rs::QueryCommandStatusParams, rs::QueryCommandStatusResult,
          Returned::OutputLength, 0, true),
    Two(2113, MiscellaneousControl, rs::MiscellaneousControlParams, 0),
    Simple(2115, Form::Nothing, 0, 0, false),
    Three(2116, ReadOffset, rs::ReadOffsetParams, 2, Returned::Fixed, 2, true),
    {2119, Form::TxSerial, nullptr, nullptr, 0, SizeRule::TxSerialBytes,
     rec::TxSerialBytesParams::kHeaderSize, rs::TxSerialBytesResults, Returned::Fixed,
     rs::TxSerialBytesResults, true},
    Two(2120, GetSerialStatus, 0, rs::SerialStatusResults),
    Two(2121, AOTipTilt, rs::TipTiltParams, 0),
    Two(2122, AOSetFocus, 0, 0),
    Two(2123, AODelay, rs::AODelayParams, 0),
    Two(2124, GetTurboStatus, 0, rs::TurboStatusResults),
    Two(2125, EndReadout, rs::EndReadoutParams, 0),
    {2126, Form::TwoArg, GetUSTimer, nullptr, 0, SizeRule::Fixed, 0, rs::USTimerResults,
     Returned::Always, rs::USTimerResults, false},
    Simple(2127, Form::SetIrql, rs::IrqlParams, 0, true),
    Simple(2128, Form::GetIrql, 0, rs::IrqlParams, false),
    PortRead(3102, kDataRegister),
    PortWrite(3103, kDataRegister),
    PortRead(3104, kStatusRegister),
    PortWrite(3105, kStatusRegister),
    PortRead(3106, kControlRegister),
    PortWrite(3107, kControlRegister),
    PortRead(3120, kEcrRegister),
    PortWrite(3121, kEcrRegister),
    // 3122 and 3123 read only the 2 and 3 bytes of their 4-byte records that carry data.
    Simple(3122, Form::PortReadAddress, 2, 1, false),
    Simple(3123, Form::PortWriteAddress, 3, 0, false),
    Simple(3124, Form::PortWriteRead, rs::PortWriteReadParams, 1, true),
    Simple(3125, Form::PortWriteRead, rs::PortWriteReadParams, 0, true),
    Simple(3126, Form::PortWriteRead, rs::PortWriteReadParams, 0, true),
    Simple(3127, Form::Nothing, 0, 0, false),
};

// Every function appears once, and every code it makes decodes back to it.
constexpr bool TableIsConsistent() {
    for (const DispatchEntry& a : kDispatchTable) {
        if (FunctionOf(ControlCode(a.function)) != a.function) {
            return false;
        }
        int count = 0;
        for (const DispatchEntry& b : kDispatchTable) {
            count += a.function == b.function ? 1 : 0;
        }
        if (count != 1) {
            return false;
        }
    }
    return true;
}
static_assert(TableIsConsistent());

constexpr std::uint32_t CcdInfoOutputSize(std::int16_t request) {
    switch (request) {
        case 0:
        case 1:
            return rs::CcdInfoResult;
        case 2:
            return rs::CcdInfoExtResult;
        case 3:
            return rs::CcdInfoStatusResult;
        default:
            return 0;  // refused by the routine, which writes nothing
    }
}

}  // namespace

const DispatchEntry* FindDispatchEntry(std::uint32_t control_code) {
    const std::uint32_t function = FunctionOf(control_code);
    if (ControlCode(function) != control_code) {
        return nullptr;
    }
    for (const DispatchEntry& entry : kDispatchTable) {
        if (entry.function == function) {
            return &entry;
        }
    }
    return nullptr;
}

NTSTATUS CheckRequestSizes(const DispatchEntry& entry, const std::uint8_t* buffer,
                           std::uint32_t input_length, std::uint32_t output_length) {
    const NTSTATUS refused = ErrorStatus(ErrBadParameter);
    if (input_length < entry.min_input || output_length < entry.min_output) {
        return refused;
    }
    switch (entry.size_rule) {
        case SizeRule::Fixed:
            return STATUS_SUCCESS;
        case SizeRule::ReadoutLine: {
            const std::uint32_t pixels = le::Get16(buffer, rec::ReadoutLineParams::PixelLength);
            return output_length < 2u * pixels ? refused : STATUS_SUCCESS;
        }
        case SizeRule::TxSerialBytes: {
            const std::uint32_t count = le::Get16(buffer, rec::TxSerialBytesParams::ByteCount);
            if (count > rec::TxSerialBytesParams::kMaxByteCount ||
                input_length < rec::TxSerialBytesParams::SizeFor(count)) {
                return refused;
            }
            return STATUS_SUCCESS;
        }
        case SizeRule::CcdInfo: {
            const std::int16_t request = le::GetI16(buffer, rec::CcdInfoParams::Request);
            return output_length < CcdInfoOutputSize(request) ? refused : STATUS_SUCCESS;
        }
    }
    return refused;
}

}  // namespace zeva::driver
