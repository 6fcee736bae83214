#include "driver/frame/dispatch_table.h"

#include "common/commands.h"
#include "common/errors.h"
#include "common/le.h"
#include "common/records.h"
#include "driver/frame/routines.h"
#include "driver/link/port.h"

namespace zeva::driver {

namespace {

// Routines that take one buffer, sized by their command row, under the camera lock.
constexpr DispatchEntry Two(const CommandRow& row, TwoArgRoutine routine) {
    return {row.function, Form::TwoArg, routine,         nullptr,    0,   row.rule,
            row.params,   row.result,   Returned::Fixed, row.result, true};
}
constexpr DispatchEntry Three(const CommandRow& row, ThreeArgRoutine routine, Returned returned,
                              bool lock) {
    return {row.function, Form::ThreeArg, nullptr,  routine,    0,   row.rule,
            row.params,   row.result,     returned, row.result, lock};
}
constexpr DispatchEntry Simple(const CommandRow& row, Form form, bool lock) {
    return {row.function, form,       nullptr,         nullptr,    0,   row.rule,
            row.params,   row.result, Returned::Fixed, row.result, lock};
}
constexpr DispatchEntry PortRead(const CommandRow& row, ULONG_PTR offset) {
    return {row.function, Form::PortRead, nullptr,         nullptr,    offset, row.rule,
            row.params,   row.result,     Returned::Fixed, row.result, false};
}
constexpr DispatchEntry PortWrite(const CommandRow& row, ULONG_PTR offset) {
    return {row.function, Form::PortWrite, nullptr,         nullptr,    offset, row.rule,
            row.params,   row.result,      Returned::Fixed, row.result, false};
}
// The same entry asking only for the parameter bytes the routine reads.
constexpr DispatchEntry Reading(DispatchEntry entry, std::uint32_t in) {
    entry.min_input = in;
    return entry;
}

constexpr DispatchEntry kDispatchTable[] = {
    Two(cmd::StartExposure, StartExposure),
    Two(cmd::EndExposure, EndExposure),
    {cmd::ReadoutLine.function, Form::Readout, ReadoutLine, nullptr, 0, cmd::ReadoutLine.rule,
     cmd::ReadoutLine.params, 0, Returned::PixelLength, 0, true},
    Two(cmd::DumpLines, DumpLines),
    Two(cmd::SetTemperatureRegulation, SetTemperatureRegulation),
    Two(cmd::QueryTemperatureStatus, QueryTemperatureStatus),
    Two(cmd::ActivateRelay, ActivateRelay),
    Two(cmd::PulseOut, PulseOut),
    Two(cmd::EstablishLink, EstablishLink),
    Three(cmd::GetDriverInfo, GetDriverInfo, Returned::OutputLength, false),
    Three(cmd::GetCCDInfo, GetCCDInfo, Returned::OutputLength, true),
    Three(cmd::QueryCommandStatus, QueryCommandStatus, Returned::OutputLength, true),
    Two(cmd::MiscellaneousControl, MiscellaneousControl),
    Simple(cmd::NoOperation, Form::Nothing, false),
    Three(cmd::ReadOffset, ReadOffset, Returned::Fixed, true),
    Simple(cmd::TxSerialBytes, Form::TxSerial, true),
    Two(cmd::GetSerialStatus, GetSerialStatus),
    Two(cmd::AOTipTilt, AOTipTilt),
    Two(cmd::AOSetFocus, AOSetFocus),
    Two(cmd::AODelay, AODelay),
    Two(cmd::GetTurboStatus, GetTurboStatus),
    Two(cmd::EndReadout, EndReadout),
    {cmd::GetUSTimer.function, Form::TwoArg, GetUSTimer, nullptr, 0, cmd::GetUSTimer.rule, 0,
     cmd::GetUSTimer.result, Returned::Always, cmd::GetUSTimer.result, false},
    Simple(cmd::SetIrql, Form::SetIrql, true),
    Simple(cmd::GetIrql, Form::GetIrql, false),
    PortRead(cmd::PortReadData, kDataRegister),
    PortWrite(cmd::PortWriteData, kDataRegister),
    PortRead(cmd::PortReadStatus, kStatusRegister),
    PortWrite(cmd::PortWriteStatus, kStatusRegister),
    PortRead(cmd::PortReadControl, kControlRegister),
    PortWrite(cmd::PortWriteControl, kControlRegister),
    PortRead(cmd::PortReadEcr, kEcrRegister),
    PortWrite(cmd::PortWriteEcr, kEcrRegister),
    // 3122 and 3123 read only the bytes of their 4-byte records that carry data.
    Reading(Simple(cmd::PortReadAddress, Form::PortReadAddress, false),
            rec::PortAddressParams::Address + 2),
    Reading(Simple(cmd::PortWriteAddress, Form::PortWriteAddress, false),
            rec::PortWriteParams::Value + 1),
    Simple(cmd::PortWriteThenRead, Form::PortWriteRead, true),
    Simple(cmd::PortSetBits, Form::PortWriteRead, true),
    Simple(cmd::PortClearBits, Form::PortWriteRead, true),
    // The driver reads and returns nothing of 3127's records.
    {cmd::PortNoOperation.function, Form::Nothing, nullptr, nullptr, 0, SizeRule::Fixed, 0, 0,
     Returned::Fixed, 0, false},
};

// Every function appears once, and every one is a driver function of the
// command table.
constexpr bool TableIsConsistent() {
    for (const DispatchEntry& a : kDispatchTable) {
        if (!HasFunction(a.function)) {
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
            return output_length < CcdInfoResultSize(request, false) ? refused : STATUS_SUCCESS;
        }
    }
    return refused;
}

}  // namespace zeva::driver
