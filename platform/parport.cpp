// The platform's parallel-port driver: one device \Device\ParallelPort<i>
// per configured port, answering the port information request.
#include <cstring>
#include <string>

#include "platform/internal.h"

namespace {
struct PortExtension {
    std::uint32_t base;
    std::uint32_t span;
};

DRIVER_OBJECT* g_parport_driver = nullptr;

// The driver never calls these; they are harmless.
BOOLEAN TryAllocatePort(PVOID) {
    return TRUE;
}
void FreePort(PVOID) {}
ULONG QueryNumWaiters(PVOID) {
    return 0;
}

NTSTATUS CompleteWith(IRP* irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS ParportCreateClose(DEVICE_OBJECT*, IRP* irp) {
    return CompleteWith(irp, STATUS_SUCCESS, 0);
}

NTSTATUS ParportInternalControl(DEVICE_OBJECT* device, IRP* irp) {
    IO_STACK_LOCATION* s = IoGetCurrentIrpStackLocation(irp);
    if (s->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_GET_PARALLEL_PORT_INFO) {
        return CompleteWith(irp, STATUS_INVALID_PARAMETER, 0);
    }
    if (s->Parameters.DeviceIoControl.OutputBufferLength < sizeof(PARALLEL_PORT_INFORMATION)) {
        return CompleteWith(irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    auto* ext = static_cast<PortExtension*>(device->DeviceExtension);
    PARALLEL_PORT_INFORMATION info{};
    info.OriginalController.QuadPart = ext->base;
    info.Controller = ext->base;
    info.SpanOfController = ext->span;
    info.TryAllocatePort = TryAllocatePort;
    info.FreePort = FreePort;
    info.QueryNumWaiters = QueryNumWaiters;
    info.Context = device;
    std::memcpy(irp->AssociatedIrp.SystemBuffer, &info, sizeof(info));
    return CompleteWith(irp, STATUS_SUCCESS, sizeof(info));
}
}  // namespace

namespace zeva::platform::internal {

void CreateParallelPortDevices(const std::uint32_t* bases, const std::uint32_t* spans,
                               std::size_t count) {
    g_parport_driver = NewDriverObject();
    g_parport_driver->MajorFunction[IRP_MJ_CREATE] = ParportCreateClose;
    g_parport_driver->MajorFunction[IRP_MJ_CLOSE] = ParportCreateClose;
    g_parport_driver->MajorFunction[IRP_MJ_CLEANUP] = ParportCreateClose;
    g_parport_driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = ParportInternalControl;
    for (std::size_t i = 0; i < count; ++i) {
        std::string name = "\\Device\\ParallelPort" + std::to_string(i);
        std::u16string wide(name.begin(), name.end());
        UNICODE_STRING u;
        RtlInitUnicodeString(&u, wide.c_str());
        DEVICE_OBJECT* device = nullptr;
        if (!NT_SUCCESS(IoCreateDevice(g_parport_driver, sizeof(PortExtension), &u,
                                       FILE_DEVICE_PARALLEL_PORT, 0, FALSE, &device))) {
            continue;
        }
        auto* ext = static_cast<PortExtension*>(device->DeviceExtension);
        ext->base = bases[i];
        ext->span = spans[i];
        device->Flags = (device->Flags | DO_BUFFERED_IO) & ~DO_DEVICE_INITIALIZING;
    }
    IoGetConfigurationInformation()->ParallelCount = static_cast<ULONG>(count);
}

void DeleteParallelPortDevices() {
    if (!g_parport_driver)
        return;
    DeleteDriverObject(g_parport_driver);
    g_parport_driver = nullptr;
    IoGetConfigurationInformation()->ParallelCount = 0;
}

}  // namespace zeva::platform::internal
