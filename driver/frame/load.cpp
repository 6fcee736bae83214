// Driver load and unload: one camera device beside every parallel port.
#include "driver/frame/frame.h"

namespace zeva::driver {

namespace {

constexpr ULONG kNameTag = PoolTag('D', 'd', 'k', ' ');
constexpr ULONG kNumberBufferBytes = 20;
constexpr ACCESS_MASK kPortDeviceAccess = FILE_READ_ATTRIBUTES;
constexpr ULONG kMinimumPortSpan = 3;

constexpr WCHAR kDevicePrefix[] = u"\\Device\\";
constexpr WCHAR kDosDevicesPrefix[] = u"\\DosDevices\\";
constexpr WCHAR kPortStem[] = u"ParallelPort";
constexpr WCHAR kDeviceStem[] = u"lptccd";
constexpr WCHAR kLinkStem[] = u"LPTCCD";

template <std::size_t N>
constexpr USHORT ByteLength(const WCHAR (&)[N]) {
    return static_cast<USHORT>((N - 1) * sizeof(WCHAR));
}

void FreeName(UNICODE_STRING* name) {
    if (name->Buffer != nullptr) {
        ExFreePool(name->Buffer);
    }
    name->Buffer = nullptr;
    name->Length = 0;
    name->MaximumLength = 0;
}

// Allocates a zeroed name buffer for prefix + stem + number and fills it.
bool BuildName(UNICODE_STRING* name, const WCHAR* prefix, USHORT prefix_bytes, const WCHAR* stem,
               USHORT stem_bytes, const UNICODE_STRING* number) {
    const ULONG maximum = static_cast<ULONG>(prefix_bytes) + stem_bytes + number->Length + 2;
    name->Length = 0;
    name->MaximumLength = static_cast<USHORT>(maximum);
    name->Buffer = static_cast<WCHAR*>(ExAllocatePoolWithTag(PagedPool, maximum, kNameTag));
    if (name->Buffer == nullptr) {
        name->MaximumLength = 0;
        return false;
    }
    RtlZeroMemory(name->Buffer, maximum);
    RtlAppendUnicodeToString(name, prefix);
    RtlAppendUnicodeToString(name, stem);
    RtlAppendUnicodeStringToString(name, number);
    return true;
}

void FreeNames(UNICODE_STRING* a, UNICODE_STRING* b, UNICODE_STRING* c) {
    FreeName(a);
    FreeName(b);
    FreeName(c);
}

}  // namespace

bool DriverMakeNames(ULONG port_index, UNICODE_STRING* port_name, UNICODE_STRING* device_name,
                     UNICODE_STRING* link_name) {
    WCHAR index_text[kNumberBufferBytes / sizeof(WCHAR)] = {};
    WCHAR link_text[kNumberBufferBytes / sizeof(WCHAR)] = {};
    UNICODE_STRING index_number{0, kNumberBufferBytes, index_text};
    UNICODE_STRING link_number{0, kNumberBufferBytes, link_text};
    if (!NT_SUCCESS(RtlIntegerToUnicodeString(port_index, 10, &index_number)) ||
        !NT_SUCCESS(RtlIntegerToUnicodeString(port_index + 1, 10, &link_number))) {
        return false;
    }
    *port_name = {};
    *device_name = {};
    *link_name = {};
    if (!BuildName(port_name, kDevicePrefix, ByteLength(kDevicePrefix), kPortStem,
                   ByteLength(kPortStem), &index_number)) {
        return false;
    }
    if (!BuildName(device_name, kDevicePrefix, ByteLength(kDevicePrefix), kDeviceStem,
                   ByteLength(kDeviceStem), &index_number)) {
        FreeName(port_name);
        return false;
    }
    if (!BuildName(link_name, kDosDevicesPrefix, ByteLength(kDosDevicesPrefix), kLinkStem,
                   ByteLength(kLinkStem), &link_number)) {
        FreeName(port_name);
        FreeName(device_name);
        return false;
    }
    return true;
}

NTSTATUS DriverGetPortInfoFromPortDevice(DeviceState* state) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK io_status{};
    PARALLEL_PORT_INFORMATION info{};
    IRP* irp =
        IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_GET_PARALLEL_PORT_INFO, state->PortDevice,
                                      nullptr, 0, &info, sizeof(info), TRUE, &event, &io_status);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = IoCallDriver(state->PortDevice, irp);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    state->PortPhysicalAddress = info.OriginalController;
    state->PortBase = info.Controller;
    state->PortSpan = info.SpanOfController;
    state->PortTryAllocate = info.TryAllocatePort;
    state->PortFree = info.FreePort;
    state->PortQueryWaiters = info.QueryNumWaiters;
    state->PortContext = info.Context;
    state->RaisedIrql = kInitialRaisedIrql;
    state->MiscFan = 1;
    state->MiscShutter = 2;
    state->MiscLed = 1;
    if (state->PortSpan < kMinimumPortSpan) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return status;
}

void DriverInitializeDeviceObject(DRIVER_OBJECT* driver, ULONG port_index) {
    UNICODE_STRING port_name{};
    UNICODE_STRING device_name{};
    UNICODE_STRING link_name{};
    if (!DriverMakeNames(port_index, &port_name, &device_name, &link_name)) {
        return;
    }
    DEVICE_OBJECT* device = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(driver, sizeof(DeviceState), &device_name,
                                   FILE_DEVICE_PARALLEL_PORT, 0, TRUE, &device))) {
        FreeNames(&port_name, &device_name, &link_name);
        return;
    }
    DeviceState* state = StateOf(device);
    RtlZeroMemory(state, sizeof(DeviceState));
    state->DeviceObject = device;
    ExInitializeFastMutex(&state->CameraLock);
    device->Flags |= DO_BUFFERED_IO;

    FILE_OBJECT* file = nullptr;
    DEVICE_OBJECT* port_device = nullptr;
    if (!NT_SUCCESS(IoGetDeviceObjectPointer(&port_name, kPortDeviceAccess, &file, &port_device))) {
        IoDeleteDevice(device);
        FreeNames(&port_name, &device_name, &link_name);
        return;
    }
    ObDereferenceObject(file);
    state->PortDevice = port_device;
    device->StackSize = static_cast<CCHAR>(port_device->StackSize + 1);
    InitializeListHead(&state->PendingRequests);

    if (!NT_SUCCESS(DriverGetPortInfoFromPortDevice(state))) {
        IoDeleteDevice(device);
        FreeNames(&port_name, &device_name, &link_name);
        return;
    }
    // The timer is initialized before the link is made, so a device left
    // without a link never has a timer started that was not initialized.
    IoInitializeTimer(device, IoTimer, state);
    if (!NT_SUCCESS(IoCreateSymbolicLink(&link_name, &device_name))) {
        state->LinkCreated = 0;
        FreeNames(&port_name, &device_name, &link_name);
        return;
    }
    state->LinkCreated = 1;
    state->LinkName = link_name;
    FreeName(&port_name);
    FreeName(&device_name);
}

NTSTATUS DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* /*registry_path*/) {
    for (ULONG i = 0; i < IoGetConfigurationInformation()->ParallelCount; ++i) {
        DriverInitializeDeviceObject(driver, i);
    }
    if (driver->DeviceObject == nullptr) {
        return STATUS_NO_SUCH_DEVICE;
    }
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceIoControl;
    driver->DriverStartIo = DriverStartIo;
    driver->DriverUnload = DriverUnload;
    return STATUS_SUCCESS;
}

void DriverUnload(DRIVER_OBJECT* driver) {
    while (driver->DeviceObject != nullptr) {
        DEVICE_OBJECT* device = driver->DeviceObject;
        DeviceState* state = StateOf(device);
        if (state->LinkCreated != 0) {
            IoDeleteSymbolicLink(&state->LinkName);
            FreeName(&state->LinkName);
            state->LinkCreated = 0;
        }
        IoDeleteDevice(device);
    }
}

}  // namespace zeva::driver
