// The start-I/O routine DriverStartIo and the queueing of line readouts: a
// ReadoutLine request waits on the device's start-I/O queue and runs whole at
// RaisedIrql, one at a time.
#include "common/command_table.h"
#include "common/le.h"
#include "common/records.h"
#include "driver/frame/frame.h"
#include "driver/frame/routines.h"
#include "driver/link/port.h"

namespace zeva::driver {

namespace {
constexpr ULONG kReadoutLineCode = ControlCode(cmd::ReadoutLine.function);
}  // namespace

NTSTATUS QueueReadoutLine(DeviceState* state, IRP* irp, ULONG /*input_length*/,
                          ULONG /*output_length*/) {
    const auto* params = static_cast<const std::uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    // The lock is held until the readout has completed: on an idle device
    // IoStartPacket runs DriverStartIo in this thread, and the lock keeps the
    // device idle for every readout that gets here.
    ExAcquireFastMutex(&state->CameraLock);
    PrepareReadoutLine(state, params);
    IoMarkIrpPending(irp);
    IoStartPacket(state->DeviceObject, irp, nullptr, nullptr);
    ExReleaseFastMutex(&state->CameraLock);
    return STATUS_PENDING;
}

void DriverStartIo(DEVICE_OBJECT* device, IRP* irp) {
    DeviceState* state = StateOf(device);
    const IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = STATUS_NOT_IMPLEMENTED;
    ULONG_PTR bytes = 0;
    if (stack->Parameters.DeviceIoControl.IoControlCode == kReadoutLineCode) {
        auto* buffer = static_cast<std::uint8_t*>(irp->AssociatedIrp.SystemBuffer);
        const std::uint16_t pixels = le::Get16(buffer, rec::ReadoutLineParams::PixelLength);
        disable(state);
        status = ReadoutLine(state, buffer);
        enable(state);
        bytes = status == STATUS_SUCCESS ? 2u * pixels : 0;
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = bytes;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    IoStartNextPacket(device, FALSE);
}

}  // namespace zeva::driver
