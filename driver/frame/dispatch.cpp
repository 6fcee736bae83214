// Device control: one request, decoded through the dispatcher table.
#include "common/errors.h"
#include "common/le.h"
#include "common/records.h"
#include "driver/frame/dispatch_table.h"
#include "driver/frame/frame.h"
#include "driver/frame/routines.h"
#include "driver/link/port.h"

namespace zeva::driver {

namespace {

constexpr std::uint16_t kLowestIrql = DISPATCH_LEVEL;    // the readout's raise must be valid
constexpr std::uint16_t kHighestIrql = CLOCK_LEVEL - 1;  // the kernel tick must keep running

// The raw address commands reach only this device's own port: the registers
// of the span the parallel-port driver reported (at most an EPP port's 8) and
// the ECP registers 0x400 above the base.  Any other address belongs to
// another port or device; a read of it gives 0xFF, as an empty bus would,
// and a write goes nowhere.
constexpr ULONG_PTR kLargestPortSpan = 8;
constexpr ULONG_PTR kEcpRegisters = 0x400;
constexpr UCHAR kEmptyBus = 0xFF;

bool IsOwnPortRegister(const DeviceState* state, ULONG_PTR address) {
    const ULONG_PTR offset = address - state->PortBase;  // wraps to a huge value below the base
    const ULONG_PTR span =
        state->PortSpan < kLargestPortSpan ? ULONG_PTR{state->PortSpan} : kLargestPortSpan;
    return offset < span || (offset >= kEcpRegisters && offset <= kEcrRegister);
}

UCHAR FencedRead(const DeviceState* state, ULONG_PTR address) {
    return IsOwnPortRegister(state, address) ? READ_PORT_UCHAR(address) : kEmptyBus;
}

void FencedWrite(const DeviceState* state, ULONG_PTR address, UCHAR value) {
    if (IsOwnPortRegister(state, address)) {
        WRITE_PORT_UCHAR(address, value);
    }
}

NTSTATUS Complete(IRP* irp, NTSTATUS status, ULONG_PTR bytes) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = bytes;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS RunEntry(DeviceState* state, const DispatchEntry& entry, std::uint8_t* buffer) {
    switch (entry.form) {
        case Form::Nothing:
        case Form::Readout:
            return STATUS_SUCCESS;
        case Form::TwoArg:
            return entry.two_arg(state, buffer);
        case Form::ThreeArg:
            return entry.three_arg(state, buffer, buffer);
        case Form::TxSerial: {
            std::uint16_t sent = 0;
            const NTSTATUS status = TxSerialBytes(state, buffer, &sent);
            if (status == STATUS_SUCCESS) {
                le::Put16(buffer, rec::TxSerialBytesResults::BytesSent, sent);
            }
            return status;
        }
        case Form::SetIrql: {
            const std::uint16_t level = le::Get16(buffer, rec::IrqlParams::Level);
            if (level < kLowestIrql || level > kHighestIrql) {
                return ErrorStatus(ErrBadParameter);
            }
            state->RaisedIrql = level;
            return STATUS_SUCCESS;
        }
        case Form::GetIrql:
            le::Put16(buffer, rec::IrqlParams::Level, state->RaisedIrql);
            return STATUS_SUCCESS;
        case Form::PortRead:
            buffer[rec::PortByte::Value] = READ_PORT_UCHAR(state->PortBase + entry.port_offset);
            return STATUS_SUCCESS;
        case Form::PortWrite:
            WRITE_PORT_UCHAR(state->PortBase + entry.port_offset, buffer[rec::PortByte::Value]);
            return STATUS_SUCCESS;
        case Form::PortReadAddress:
            buffer[rec::PortByte::Value] =
                FencedRead(state, le::Get16(buffer, rec::PortAddressParams::Address));
            return STATUS_SUCCESS;
        case Form::PortWriteAddress:
            FencedWrite(state, le::Get16(buffer, rec::PortWriteParams::Address),
                        le::Get8(buffer, rec::PortWriteParams::Value));
            return STATUS_SUCCESS;
        case Form::PortWriteRead:
            return PortWriteThenReadCommand(state, buffer, entry.function);
    }
    return STATUS_NOT_IMPLEMENTED;
}

}  // namespace

NTSTATUS PortWriteThenReadCommand(DeviceState* state, std::uint8_t* buffer,
                                  std::uint32_t function) {
    namespace r = rec::PortWriteReadParams;
    const ULONG_PTR write_address = le::Get16(buffer, r::WriteAddress);
    const ULONG_PTR read_address = le::Get16(buffer, r::ReadAddress);
    const std::uint8_t write_value = le::Get8(buffer, r::WriteValue);
    const std::uint8_t mask = le::Get8(buffer, r::Mask);
    disable(state);
    FencedWrite(state, write_address, write_value);
    const std::uint8_t read = FencedRead(state, read_address);
    if (function == 3124) {
        buffer[rec::PortByte::Value] = read;
    } else {
        const std::uint8_t v = function == 3125 ? static_cast<std::uint8_t>(read | mask)
                                                : static_cast<std::uint8_t>(read & ~mask);
        FencedWrite(state, read_address, v);
        FencedWrite(state, read_address, v);
    }
    enable(state);
    return STATUS_SUCCESS;
}

NTSTATUS DispatchDeviceIoControl(DEVICE_OBJECT* device, IRP* irp) {
    DeviceState* state = StateOf(device);
    auto* buffer = static_cast<std::uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    const IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG input_length = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG output_length = stack->Parameters.DeviceIoControl.OutputBufferLength;

    const DispatchEntry* entry = FindDispatchEntry(code);
    if (entry == nullptr) {
        return Complete(irp, STATUS_NOT_IMPLEMENTED, 0);
    }
    // The size check reads a length field only after checking that the input holds it.
    const NTSTATUS size_status = CheckRequestSizes(*entry, buffer, input_length, output_length);
    if (size_status != STATUS_SUCCESS) {
        return Complete(irp, size_status, 0);
    }
    if (entry->form == Form::Readout) {
        return QueueReadoutLine(state, irp, input_length, output_length);
    }

    if (entry->camera_lock) {
        ExAcquireFastMutex(&state->CameraLock);
    }
    const NTSTATUS status = RunEntry(state, *entry, buffer);
    if (entry->camera_lock) {
        ExReleaseFastMutex(&state->CameraLock);
    }

    ULONG_PTR bytes = 0;
    switch (entry->returned) {
        case Returned::Fixed:
            bytes = status == STATUS_SUCCESS ? entry->returned_bytes : 0;
            break;
        case Returned::Always:
            bytes = entry->returned_bytes;
            break;
        case Returned::OutputLength:
            bytes = status == STATUS_SUCCESS ? output_length : 0;
            break;
        case Returned::PixelLength:
            bytes = 0;
            break;
    }
    return Complete(irp, status, bytes);
}

}  // namespace zeva::driver
