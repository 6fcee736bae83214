// Open, close and cleanup of a camera device, and the device timer.
#include <cstddef>

#include "driver/frame/frame.h"

namespace zeva::driver {

namespace {
constexpr ULONG kCreateOptionsMask = 0x00FFFFFF;
constexpr ULONG kSecondsPerDay = 86400;
constexpr ULONG kSecondsPerMinute = 60;

NTSTATUS Complete(IRP* irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}
}  // namespace

NTSTATUS DispatchCreate(DEVICE_OBJECT* device, IRP* irp) {
    IoStartTimer(device);
    const IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG options = stack->Parameters.Create.Options & kCreateOptionsMask;
    if ((options & FILE_DIRECTORY_FILE) != 0) {
        return Complete(irp, STATUS_NOT_A_DIRECTORY);
    }
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS DispatchClose(DEVICE_OBJECT* device, IRP* irp) {
    IoStopTimer(device);
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS DispatchCleanup(DEVICE_OBJECT* device, IRP* irp) {
    DeviceState* state = StateOf(device);
    KIRQL irql = 0;
    IoAcquireCancelSpinLock(&irql);
    while (!IsListEmpty(&state->PendingRequests)) {
        LIST_ENTRY* entry = RemoveHeadList(&state->PendingRequests);
        IRP* pending = reinterpret_cast<IRP*>(reinterpret_cast<char*>(entry) -
                                              offsetof(IRP, Tail.Overlay.ListEntry));
        pending->Cancel = TRUE;
        pending->CancelIrql = irql;
        pending->CancelRoutine = nullptr;
        DriverCancel(device, pending);
        IoAcquireCancelSpinLock(&irql);
    }
    IoReleaseCancelSpinLock(irql);
    return Complete(irp, STATUS_SUCCESS);
}

void DriverCancel(DEVICE_OBJECT* /*device*/, IRP* irp) {
    // Unlinking an entry that is already off its list leaves its neighbours alone.
    LIST_ENTRY* entry = &irp->Tail.Overlay.ListEntry;
    if (entry->Flink != nullptr && entry->Blink != nullptr) {
        RemoveEntryList(entry);
        entry->Flink = entry;
        entry->Blink = entry;
    }
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

void IoTimer(DEVICE_OBJECT* /*device*/, PVOID context) {
    auto* state = static_cast<DeviceState*>(context);
    state->TimerSeconds += 1;
    if (state->TimerSeconds - state->TimerMinuteMark == kSecondsPerMinute) {
        state->TimerMinuteMark = state->TimerSeconds;
    }
    if (state->TimerSeconds == kSecondsPerDay) {
        state->TimerSeconds = 0;
        state->TimerMinuteMark = 0;
    }
}

}  // namespace zeva::driver
