// A recording stand-in for the zeva driver: one exclusive device named
// \Device\lptccd0 / \DosDevices\LPTCCD1 that remembers the last device
// control request and answers it with a prepared reply or status.  Lets the
// library tests see exactly what reaches the driver.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/ntddk.h"
#include "platform/system.h"

namespace recorder {

struct State {
    int calls = 0;
    std::uint32_t code = 0;
    std::vector<std::uint8_t> input;
    std::uint32_t output_length = 0;
    std::vector<std::uint8_t> reply;
    NTSTATUS status = STATUS_SUCCESS;
};

inline State& Last() {
    static State state;
    return state;
}

inline NTSTATUS Complete(IRP* irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

inline NTSTATUS Pass(DEVICE_OBJECT*, IRP* irp) {
    return Complete(irp, STATUS_SUCCESS, 0);
}

// Requests from several threads reach the recorder at once; the record of
// the last one is kept whole.
inline std::mutex& Lock() {
    static std::mutex lock;
    return lock;
}

inline NTSTATUS Control(DEVICE_OBJECT*, IRP* irp) {
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    std::unique_lock<std::mutex> guard(Lock());
    State& s = Last();
    auto* buffer = static_cast<std::uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    ++s.calls;
    s.code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    s.input.assign(buffer, buffer + in);
    s.output_length = stack->Parameters.DeviceIoControl.OutputBufferLength;
    const NTSTATUS status = s.status;
    std::size_t n = 0;
    if (status == STATUS_SUCCESS) {
        n = std::min<std::size_t>(s.reply.size(), s.output_length);
        if (n != 0) {
            std::memcpy(buffer, s.reply.data(), n);
        }
    }
    guard.unlock();
    return Complete(irp, status, n);
}

inline void Unload(DRIVER_OBJECT* driver) {
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, u"\\DosDevices\\LPTCCD1");
    IoDeleteSymbolicLink(&link);
    while (driver->DeviceObject != nullptr) {
        IoDeleteDevice(driver->DeviceObject);
    }
}

inline NTSTATUS Entry(DRIVER_OBJECT* driver, UNICODE_STRING*) {
    UNICODE_STRING name;
    UNICODE_STRING link;
    RtlInitUnicodeString(&name, u"\\Device\\lptccd0");
    RtlInitUnicodeString(&link, u"\\DosDevices\\LPTCCD1");
    DEVICE_OBJECT* device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, 0, &name, 40000, 0, 1, &device);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    IoCreateSymbolicLink(&link, &name);
    driver->MajorFunction[IRP_MJ_CREATE] = &Pass;
    driver->MajorFunction[IRP_MJ_CLOSE] = &Pass;
    driver->MajorFunction[IRP_MJ_CLEANUP] = &Pass;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = &Control;
    driver->DriverUnload = &Unload;
    return STATUS_SUCCESS;
}

// Boots a system with no ports and the recorder as its driver.
inline bool Boot() {
    if (zeva::platform::SystemRunning()) {
        zeva::platform::ShutdownSystem();
    }
    Last() = State{};
    zeva::platform::SystemConfig config;
    config.clock = zeva::platform::ClockMode::Virtual;
    config.driver_entry = &Entry;
    return zeva::platform::BootSystem(std::move(config)) == STATUS_SUCCESS;
}

}  // namespace recorder
