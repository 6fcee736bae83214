// The I/O manager of the stand-in platform, driven by a tiny test driver.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "platform/ntddk.h"
#include "platform/system.h"

using namespace zeva::platform;

namespace {

constexpr ULONG kEchoCode = 0x222000;   // returns the input, Information = output length
constexpr ULONG kLongCode = 0x222004;   // claims 100 bytes whatever the output length
constexpr ULONG kPendCode = 0x222008;   // completes later from another thread
constexpr ULONG kQueueCode = 0x22200C;  // goes through the start-I/O queue
constexpr ULONG kFailCode = 0x222010;   // fails after writing the buffer

struct TestState {
    std::vector<UCHAR> majors;
    std::vector<ULONG> create_options;
    std::vector<ULONG> started;  // first input byte of each started request
    std::vector<std::thread::id> start_threads;
    std::vector<KIRQL> start_levels;
    bool hold_queue = false;  // start-I/O leaves requests current until released
    std::vector<IRP*> held;
    int timer_calls = 0;
    KIRQL timer_level = 0;
    DEVICE_OBJECT* device = nullptr;
    bool fail_entry = false;
};
TestState g;
KEVENT g_started;  // set when a held request has started

NTSTATUS Complete(IRP* irp, NTSTATUS status, ULONG_PTR info) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = info;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS TestCreate(DEVICE_OBJECT*, IRP* irp) {
    IO_STACK_LOCATION* s = IoGetCurrentIrpStackLocation(irp);
    g.majors.push_back(s->MajorFunction);
    if (s->MajorFunction == IRP_MJ_CREATE)
        g.create_options.push_back(s->Parameters.Create.Options);
    if (s->MajorFunction == IRP_MJ_CREATE && (s->Parameters.Create.Options & FILE_DIRECTORY_FILE)) {
        return Complete(irp, STATUS_NOT_A_DIRECTORY, 0);
    }
    return Complete(irp, STATUS_SUCCESS, 0);
}

void TestStartIo(DEVICE_OBJECT* device, IRP* irp) {
    g.started.push_back(*static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer));
    g.start_threads.push_back(std::this_thread::get_id());
    g.start_levels.push_back(KeGetCurrentIrql());
    EXPECT_EQ(device->CurrentIrp, irp);
    if (g.hold_queue) {
        g.held.push_back(irp);
        KeSetEvent(&g_started, 0, FALSE);
        return;
    }
    Complete(irp, STATUS_SUCCESS, 0);
    IoStartNextPacket(device, FALSE);
}

NTSTATUS TestControl(DEVICE_OBJECT* device, IRP* irp) {
    IO_STACK_LOCATION* s = IoGetCurrentIrpStackLocation(irp);
    auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    ULONG out = s->Parameters.DeviceIoControl.OutputBufferLength;
    switch (s->Parameters.DeviceIoControl.IoControlCode) {
        case kEchoCode:
            return Complete(irp, STATUS_SUCCESS, out);
        case kLongCode:
            return Complete(irp, STATUS_SUCCESS, 100);
        case kFailCode:
            if (out)
                std::memset(buffer, 0xAB, out);
            return Complete(irp, 0xE0000006, out);
        case kPendCode: {
            IoMarkIrpPending(irp);
            std::thread([irp] {
                static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer)[0] = 0x5A;
                Complete(irp, STATUS_SUCCESS, 1);
            }).detach();
            return STATUS_PENDING;
        }
        case kQueueCode:
            IoMarkIrpPending(irp);
            IoStartPacket(device, irp, nullptr, nullptr);
            return STATUS_PENDING;
    }
    return Complete(irp, STATUS_INVALID_PARAMETER, 0);
}

void TestTimer(DEVICE_OBJECT*, PVOID context) {
    ++*static_cast<int*>(context);
    g.timer_level = KeGetCurrentIrql();
}

void TestUnload(DRIVER_OBJECT* driver) {
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, u"\\DosDevices\\TEST1");
    IoDeleteSymbolicLink(&link);
    while (driver->DeviceObject) IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS TestEntry(DRIVER_OBJECT* driver, UNICODE_STRING*) {
    driver->MajorFunction[IRP_MJ_CREATE] = TestCreate;
    driver->MajorFunction[IRP_MJ_CLEANUP] = TestCreate;
    driver->MajorFunction[IRP_MJ_CLOSE] = TestCreate;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = TestControl;
    driver->DriverStartIo = TestStartIo;
    driver->DriverUnload = TestUnload;
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, u"\\Device\\test0");
    RtlInitUnicodeString(&link, u"\\DosDevices\\TEST1");
    NTSTATUS status = IoCreateDevice(driver, 24, &name, 0x22, 0, TRUE, &g.device);
    if (!NT_SUCCESS(status))
        return status;
    g.device->Flags |= DO_BUFFERED_IO;
    IoCreateSymbolicLink(&link, &name);
    IoInitializeTimer(g.device, TestTimer, &g.timer_calls);
    return g.fail_entry ? STATUS_NO_SUCH_DEVICE : STATUS_SUCCESS;
}

class TestDriver : public ::testing::Test {
  protected:
    void SetUp() override {
        g = TestState{};
        SystemConfig config;
        config.clock = ClockMode::Virtual;
        config.ports.emplace_back();
        PortConfig second;
        second.span = 2;
        config.ports.push_back(std::move(second));
        config.driver_entry = TestEntry;
        ASSERT_EQ(BootSystem(std::move(config)), STATUS_SUCCESS);
        ASSERT_EQ(OpenDevice("\\DosDevices\\TEST1", 0, &file_), STATUS_SUCCESS);
    }
    void TearDown() override {
        if (file_)
            CloseFile(file_);
        EXPECT_EQ(ShutdownSystem(), 0u);
    }
    OpenFile* file_ = nullptr;
};

TEST_F(TestDriver, ExtensionIsZeroFilledAndNamesResolve) {
    auto* ext = static_cast<UCHAR*>(g.device->DeviceExtension);
    for (int i = 0; i < 24; ++i) EXPECT_EQ(ext[i], 0);
    EXPECT_EQ(FindDevice("\\Device\\test0"), g.device);
    EXPECT_EQ(FindDevice("\\DosDevices\\TEST1"), g.device);
    EXPECT_TRUE(SymbolicLinkExists("\\DosDevices\\TEST1"));
    EXPECT_EQ(LoadedDriver()->DeviceObject, g.device);
}

TEST_F(TestDriver, ExclusiveDeviceRefusesSecondOpenUntilClosed) {
    OpenFile* second = nullptr;
    EXPECT_EQ(OpenDevice("\\Device\\test0", 0, &second), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(CloseFile(file_), STATUS_SUCCESS);
    file_ = nullptr;
    ASSERT_EQ(OpenDevice("\\Device\\test0", 0, &second), STATUS_SUCCESS);
    CloseFile(second);
}

TEST_F(TestDriver, OpenPassesCreateOptionsAndFailedOpenIsNotCounted) {
    EXPECT_EQ(CloseFile(file_), STATUS_SUCCESS);
    file_ = nullptr;
    EXPECT_EQ(g.majors, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    OpenFile* f = nullptr;
    EXPECT_EQ(OpenDevice("\\Device\\test0", FILE_DIRECTORY_FILE, &f), STATUS_NOT_A_DIRECTORY);
    EXPECT_EQ(g.create_options.back(), FILE_DIRECTORY_FILE);
    ASSERT_EQ(OpenDevice("\\Device\\test0", 0, &file_), STATUS_SUCCESS);
}

TEST_F(TestDriver, SystemBufferIsZeroBeyondInputAndCopyBackStopsAtOutputLength) {
    UCHAR in[3] = {1, 2, 3};
    UCHAR out[8];
    std::memset(out, 0xEE, sizeof(out));
    ULONG_PTR got = 0;
    ASSERT_EQ(DeviceControl(file_, kEchoCode, in, 3, out, 6, &got), STATUS_SUCCESS);
    EXPECT_EQ(got, 6u);
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(out[2], 3);
    EXPECT_EQ(out[3], 0);
    EXPECT_EQ(out[5], 0);
    EXPECT_EQ(out[6], 0xEE);  // past the output length: untouched
    UCHAR big[100];
    std::memset(big, 0x11, sizeof(big));
    ASSERT_EQ(DeviceControl(file_, kLongCode, in, 3, big, 4, &got), STATUS_SUCCESS);
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(big[4], 0x11);
}

TEST_F(TestDriver, FailedRequestCopiesNothingBack) {
    UCHAR out[4] = {7, 7, 7, 7};
    ULONG_PTR got = 99;
    EXPECT_EQ(DeviceControl(file_, kFailCode, nullptr, 0, out, 4, &got), 0xE0000006);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(out[0], 7);
}

TEST_F(TestDriver, PendingRequestCompletedFromAnotherThreadWakesCaller) {
    UCHAR out[2] = {0, 0};
    ULONG_PTR got = 0;
    EXPECT_EQ(DeviceControl(file_, kPendCode, nullptr, 0, out, 2, &got), STATUS_SUCCESS);
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(out[0], 0x5A);
}

TEST_F(TestDriver, IdleDeviceStartsPacketInCallersThreadAtDispatchLevel) {
    UCHAR in = 9;
    ULONG_PTR got = 0;
    ASSERT_EQ(DeviceControl(file_, kQueueCode, &in, 1, nullptr, 0, &got), STATUS_SUCCESS);
    ASSERT_EQ(g.started.size(), 1u);
    EXPECT_EQ(g.start_threads[0], std::this_thread::get_id());
    EXPECT_EQ(g.start_levels[0], DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(g.device->CurrentIrp, nullptr);
}

// Requests arriving while one is current wait in order; IoStartNextPacket
// called inside the start-I/O routine runs them one after another.
TEST_F(TestDriver, BusyDeviceQueuesPacketsInFifoOrder) {
    g.hold_queue = true;
    KeInitializeEvent(&g_started, NotificationEvent, FALSE);
    UCHAR in = 1;
    std::thread first([&] {
        ULONG_PTR got;
        DeviceControl(file_, kQueueCode, &in, 1, nullptr, 0, &got);
    });
    KeWaitForSingleObject(&g_started, Executive, KernelMode, FALSE, nullptr);
    // Queue two more directly through the device (no waiting callers).
    std::vector<IRP*> extra;
    KEVENT events[2];
    IO_STATUS_BLOCK iosb[2];
    UCHAR inputs[2] = {2, 3};
    for (int i = 0; i < 2; ++i) {
        KeInitializeEvent(&events[i], NotificationEvent, FALSE);
        IRP* irp = IoBuildDeviceIoControlRequest(kQueueCode, g.device, &inputs[i], 1, nullptr, 0,
                                                 FALSE, &events[i], &iosb[i]);
        IoStartPacket(g.device, irp, nullptr, nullptr);
    }
    EXPECT_EQ(g.started, (std::vector<ULONG>{1}));
    EXPECT_FALSE(KeRemoveEntryDeviceQueue(g.device, g.held[0]));  // current, not queued
    g.hold_queue = false;
    IRP* current = g.held[0];
    Complete(current, STATUS_SUCCESS, 0);
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    IoStartNextPacket(g.device, FALSE);
    KfLowerIrql(old);
    first.join();
    EXPECT_EQ(g.started, (std::vector<ULONG>{1, 2, 3}));
    EXPECT_EQ(g.start_threads[1], std::this_thread::get_id());
    EXPECT_EQ(g.start_threads[2], std::this_thread::get_id());
    for (auto& e : events) {
        EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    }
    EXPECT_EQ(g.device->CurrentIrp, nullptr);
}

TEST_F(TestDriver, RemovedQueuedPacketNeverStarts) {
    g.hold_queue = true;
    KeInitializeEvent(&g_started, NotificationEvent, FALSE);
    KEVENT events[2];
    IO_STATUS_BLOCK iosb[2];
    IRP* irps[2];
    UCHAR inputs[2] = {4, 5};
    for (int i = 0; i < 2; ++i) {
        KeInitializeEvent(&events[i], NotificationEvent, FALSE);
        irps[i] = IoBuildDeviceIoControlRequest(kQueueCode, g.device, &inputs[i], 1, nullptr, 0,
                                                FALSE, &events[i], &iosb[i]);
        IoStartPacket(g.device, irps[i], nullptr, nullptr);
    }
    ASSERT_TRUE(KeRemoveEntryDeviceQueue(g.device, irps[1]));
    irps[1]->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irps[1], IO_NO_INCREMENT);
    EXPECT_EQ(iosb[1].Status, STATUS_CANCELLED);
    Complete(g.held[0], STATUS_SUCCESS, 0);
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    IoStartNextPacket(g.device, FALSE);
    KfLowerIrql(old);
    EXPECT_EQ(g.started, (std::vector<ULONG>{4}));
    EXPECT_EQ(g.device->CurrentIrp, nullptr);
}

TEST_F(TestDriver, ParallelPortDevicesReportBaseAndSpan) {
    EXPECT_EQ(IoGetConfigurationInformation()->ParallelCount, 2u);
    for (int i = 0; i < 2; ++i) {
        std::u16string n = u"\\Device\\ParallelPort" + std::u16string(1, u'0' + i);
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, n.c_str());
        FILE_OBJECT* file = nullptr;
        DEVICE_OBJECT* port = nullptr;
        ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_ATTRIBUTES, &file, &port),
                  STATUS_SUCCESS);
        PARALLEL_PORT_INFORMATION info{};
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        IRP* irp =
            IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_GET_PARALLEL_PORT_INFO, port, nullptr, 0,
                                          &info, sizeof(info), TRUE, &event, &iosb);
        NTSTATUS status = IoCallDriver(port, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        }
        EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
        EXPECT_EQ(iosb.Information, sizeof(info));
        EXPECT_EQ(info.Controller, DefaultPortBase(i));
        EXPECT_EQ(info.SpanOfController, i == 0 ? 3u : 2u);
        EXPECT_GE(port->StackSize, 1);
        EXPECT_LE(port->StackSize, 2);
        ObDereferenceObject(file);
    }
}

TEST_F(TestDriver, DeletingDeviceUnlinksItFromDriverAndNamespace) {
    CloseFile(file_);
    file_ = nullptr;
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, u"\\Device\\extra");
    DEVICE_OBJECT* extra = nullptr;
    ASSERT_EQ(IoCreateDevice(LoadedDriver(), 0, &name, 0x22, 0, FALSE, &extra), STATUS_SUCCESS);
    DEVICE_OBJECT* same = nullptr;
    EXPECT_EQ(IoCreateDevice(LoadedDriver(), 0, &name, 0x22, 0, FALSE, &same),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(LoadedDriver()->DeviceObject, extra);
    EXPECT_EQ(extra->NextDevice, g.device);
    IoDeleteDevice(g.device);
    EXPECT_EQ(LoadedDriver()->DeviceObject, extra);
    EXPECT_EQ(extra->NextDevice, nullptr);
    EXPECT_EQ(FindDevice("\\Device\\test0"), nullptr);
    EXPECT_EQ(FindDevice("\\DosDevices\\TEST1"), nullptr);  // dangling link
    RtlInitUnicodeString(&link, u"\\DosDevices\\TEST1");
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
    EXPECT_FALSE(SymbolicLinkExists("\\DosDevices\\TEST1"));
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(TestDriver, StartedTimerFiresEachVirtualSecondAtDispatchLevel) {
    PlatformSleepMs(2500);
    EXPECT_EQ(g.timer_calls, 0);
    IoStartTimer(g.device);
    PlatformSleepMs(3000);
    EXPECT_EQ(g.timer_calls, 3);
    EXPECT_EQ(g.timer_level, DISPATCH_LEVEL);
    IoStopTimer(g.device);
    PlatformSleepMs(3000);
    EXPECT_EQ(g.timer_calls, 3);
}

TEST(DriverLoad, FailingEntryLeavesNoDriverAndNoDevices) {
    g = TestState{};
    g.fail_entry = true;
    SystemConfig config;
    config.clock = ClockMode::Virtual;
    config.driver_entry = TestEntry;
    EXPECT_EQ(BootSystem(std::move(config)), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(LoadedDriver(), nullptr);
    EXPECT_EQ(FindDevice("\\Device\\test0"), nullptr);
    EXPECT_EQ(ShutdownSystem(), 0u);
}

TEST(Events, TimedWaitExpiresInVirtualTime) {
    SystemConfig config;
    config.clock = ClockMode::Virtual;
    ASSERT_EQ(BootSystem(std::move(config)), STATUS_SUCCESS);
    KEVENT e;
    KeInitializeEvent(&e, SynchronizationEvent, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -5'000'000;  // 500 ms
    std::uint64_t t0 = ClockNowNs();
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_GE(ClockNowNs() - t0, 500'000'000u);
    KeSetEvent(&e, 0, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
    // A synchronization event resets on the satisfied wait.
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    ShutdownSystem();
}

TEST(FastMutex, ZeroIsReleasedAndExcludesOtherThreads) {
    FAST_MUTEX m{};
    int counter = 0;
    auto work = [&] {
        for (int i = 0; i < 10000; ++i) {
            ExAcquireFastMutex(&m);
            ++counter;
            ExReleaseFastMutex(&m);
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 20000);
    EXPECT_EQ(m.State.load(), 0u);
}

TEST(PlatformDeathTest, TimerAndLockMisuseAreBugChecks) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            g = TestState{};
            SystemConfig config;
            config.clock = ClockMode::Virtual;
            config.driver_entry = TestEntry;
            BootSystem(std::move(config));
            UNICODE_STRING name;
            RtlInitUnicodeString(&name, u"\\Device\\untimed");
            DEVICE_OBJECT* d = nullptr;
            IoCreateDevice(LoadedDriver(), 0, &name, 0x22, 0, FALSE, &d);
            IoStartTimer(d);
        },
        "IoStartTimer on a device without a timer");
    EXPECT_DEATH(
        {
            FAST_MUTEX m{};
            ExReleaseFastMutex(&m);
        },
        "not held");
    EXPECT_DEATH(
        {
            KIRQL first;
            KIRQL second;
            IoAcquireCancelSpinLock(&first);
            IoAcquireCancelSpinLock(&second);
        },
        "cancel spin lock acquired twice");
}

}  // namespace
