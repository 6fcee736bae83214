// The Win32 handle calls when a handle is closed while another thread's
// device call on it is still running: the call completes normally, the file
// is closed (cleanup and close reach the driver) only after it, and the
// handle is invalid for every later call.
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/ntddk.h"
#include "platform/system.h"

namespace {

using namespace zeva;

constexpr ULONG kWaitCode = 0x222100;  // completes once the test lets it

std::atomic<bool> g_inside{false};
std::atomic<bool> g_release{false};
std::atomic<int> g_cleanups{0}, g_closes{0};

NTSTATUS Complete(IRP* irp, NTSTATUS status, ULONG_PTR info) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = info;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS Simple(DEVICE_OBJECT*, IRP* irp) {
    const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    if (major == IRP_MJ_CLEANUP) {
        ++g_cleanups;
    } else if (major == IRP_MJ_CLOSE) {
        ++g_closes;
    }
    return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS Control(DEVICE_OBJECT*, IRP* irp) {
    if (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode == kWaitCode) {
        g_inside = true;
        while (!g_release.load()) {
            std::this_thread::yield();
        }
        static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer)[0] = 0x5A;
        return Complete(irp, STATUS_SUCCESS, 1);
    }
    return Complete(irp, STATUS_INVALID_PARAMETER, 0);
}

void Unload(DRIVER_OBJECT* driver) {
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, u"\\DosDevices\\WAIT1");
    IoDeleteSymbolicLink(&link);
    while (driver->DeviceObject != nullptr) {
        IoDeleteDevice(driver->DeviceObject);
    }
}

NTSTATUS Entry(DRIVER_OBJECT* driver, UNICODE_STRING*) {
    UNICODE_STRING name;
    UNICODE_STRING link;
    RtlInitUnicodeString(&name, u"\\Device\\wait0");
    RtlInitUnicodeString(&link, u"\\DosDevices\\WAIT1");
    DEVICE_OBJECT* device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, 0, &name, 0x22, 0, TRUE, &device);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    IoCreateSymbolicLink(&link, &name);
    driver->MajorFunction[IRP_MJ_CREATE] = &Simple;
    driver->MajorFunction[IRP_MJ_CLEANUP] = &Simple;
    driver->MajorFunction[IRP_MJ_CLOSE] = &Simple;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = &Control;
    driver->DriverUnload = &Unload;
    return STATUS_SUCCESS;
}

TEST(Win32Handles, CloseDuringACallClosesTheFileAfterIt) {
    platform::SystemConfig config;
    config.clock = platform::ClockMode::Virtual;
    config.driver_entry = &Entry;
    ASSERT_EQ(platform::BootSystem(std::move(config)), STATUS_SUCCESS);
    const win32::Handle handle =
        win32::CreateFileA("\\\\.\\WAIT1", 0xC0000000u, 0, nullptr, win32::kOpenExisting, 0x80, 0);
    ASSERT_NE(handle, win32::kInvalidHandle);

    win32::Bool call = -1;
    std::uint8_t out = 0;
    std::uint32_t returned = 0;
    std::thread caller([&] {
        call = win32::DeviceIoControl(handle, kWaitCode, nullptr, 0, &out, 1, &returned, nullptr);
    });
    while (!g_inside.load()) {
        std::this_thread::yield();
    }
    // Closed while the call runs: the handle goes at once, the file stays.
    EXPECT_EQ(win32::CloseHandle(handle), 1);
    EXPECT_EQ(g_cleanups.load(), 0);
    EXPECT_EQ(g_closes.load(), 0);
    EXPECT_EQ(win32::DeviceIoControl(handle, kWaitCode, nullptr, 0, &out, 1, &returned, nullptr),
              0);
    EXPECT_EQ(win32::GetLastError(), win32::kErrorInvalidHandle);
    EXPECT_EQ(win32::CloseHandle(handle), 0);
    // The exclusive device is still open until the call is over.
    EXPECT_EQ(
        win32::CreateFileA("\\\\.\\WAIT1", 0xC0000000u, 0, nullptr, win32::kOpenExisting, 0x80, 0),
        win32::kInvalidHandle);

    g_release = true;
    caller.join();
    EXPECT_EQ(call, 1);
    EXPECT_EQ(out, 0x5A);
    EXPECT_EQ(returned, 1u);
    EXPECT_EQ(g_cleanups.load(), 1);
    EXPECT_EQ(g_closes.load(), 1);

    // Now the device can be opened again, and the slot is reused cleanly.
    const win32::Handle again =
        win32::CreateFileA("\\\\.\\WAIT1", 0xC0000000u, 0, nullptr, win32::kOpenExisting, 0x80, 0);
    ASSERT_NE(again, win32::kInvalidHandle);
    EXPECT_EQ(win32::CloseHandle(again), 1);
    EXPECT_EQ(g_closes.load(), 2);
    EXPECT_EQ(platform::ShutdownSystem(), 0u);
}

}  // namespace
