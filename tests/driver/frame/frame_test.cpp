// Driver load, naming, unload, open/close/cleanup and the device timer.
#include "common/errors.h"
#include "frame_fixture.h"
#include "platform/ntddk.h"

namespace zeva::test {
namespace {

using driver::StateOf;

TEST_F(FrameTest, TwoPortsGiveTwoDevicesAndLinks) {
    ASSERT_EQ(Boot({3, 3}), STATUS_SUCCESS);
    EXPECT_NE(platform::FindDevice("\\Device\\lptccd0"), nullptr);
    EXPECT_NE(platform::FindDevice("\\Device\\lptccd1"), nullptr);
    EXPECT_TRUE(platform::SymbolicLinkExists("\\DosDevices\\LPTCCD1"));
    EXPECT_TRUE(platform::SymbolicLinkExists("\\DosDevices\\LPTCCD2"));
    EXPECT_FALSE(platform::SymbolicLinkExists("\\DosDevices\\LPTCCD0"));
    EXPECT_EQ(platform::FindDevice("\\DosDevices\\LPTCCD2"),
              platform::FindDevice("\\Device\\lptccd1"));
    EXPECT_EQ(State("\\Device\\lptccd0")->PortBase, platform::DefaultPortBase(0));
    EXPECT_EQ(State("\\Device\\lptccd1")->PortBase, platform::DefaultPortBase(1));
}

TEST_F(FrameTest, NoPortRefusesToLoad) {
    EXPECT_EQ(Boot({}), STATUS_NO_SUCH_DEVICE);
}

TEST_F(FrameTest, PortWithSpanTwoGetsNoDeviceButOthersDo) {
    ASSERT_EQ(Boot({3, 2, 3}), STATUS_SUCCESS);
    EXPECT_NE(platform::FindDevice("\\Device\\lptccd0"), nullptr);
    EXPECT_EQ(platform::FindDevice("\\Device\\lptccd1"), nullptr);
    EXPECT_NE(platform::FindDevice("\\Device\\lptccd2"), nullptr);
    EXPECT_FALSE(platform::SymbolicLinkExists("\\DosDevices\\LPTCCD2"));
    EXPECT_TRUE(platform::SymbolicLinkExists("\\DosDevices\\LPTCCD3"));
}

TEST_F(FrameTest, OnlyPortWithSpanTwoRefusesToLoad) {
    EXPECT_EQ(Boot({2}), STATUS_NO_SUCH_DEVICE);
}

TEST_F(FrameTest, NewDeviceStartsWithItsInitialState) {
    ASSERT_EQ(Boot(), STATUS_SUCCESS);
    driver::DeviceState* s = State();
    ASSERT_NE(s, nullptr);
    DEVICE_OBJECT* device = platform::FindDevice("\\Device\\lptccd0");
    EXPECT_EQ(s->DeviceObject, device);
    EXPECT_NE(device->Flags & DO_BUFFERED_IO, 0u);
    EXPECT_EQ(device->DeviceType, FILE_DEVICE_PARALLEL_PORT);
    EXPECT_EQ(device->StackSize, s->PortDevice->StackSize + 1);
    EXPECT_EQ(s->RaisedIrql, 27);
    EXPECT_EQ(s->SavedIrql, 0);
    EXPECT_EQ(s->MiscFan, 1);
    EXPECT_EQ(s->MiscShutter, 2);
    EXPECT_EQ(s->MiscLed, 1);
    EXPECT_EQ(s->CameraType, 0u);
    EXPECT_EQ(s->LinkCreated, 1);
    EXPECT_EQ(s->PortSpan, 3u);
    EXPECT_TRUE(IsListEmpty(&s->PendingRequests));
    // Loading talks to no camera.
    EXPECT_TRUE(backends_[0]->Log().empty());
}

TEST_F(FrameTest, UnloadFreesEveryNameAndDeletesEveryDevice) {
    ASSERT_EQ(Boot({3, 3}), STATUS_SUCCESS);
    EXPECT_GT(platform::PoolOutstanding(), 0u);  // the two link names
    EXPECT_EQ(platform::ShutdownSystem(), 0u);
}

TEST_F(FrameTest, UnloadWithDeviceWithoutLinkDeletesItWithoutLinkDeletion) {
    ASSERT_EQ(Boot({3, 3}), STATUS_SUCCESS);
    driver::DeviceState* s = State("\\Device\\lptccd1");
    ASSERT_EQ(IoDeleteSymbolicLink(&s->LinkName), STATUS_SUCCESS);
    ExFreePool(s->LinkName.Buffer);
    s->LinkName = {};
    s->LinkCreated = 0;
    // A second deletion of the missing link would be an error the unload
    // must not cause; the pool must come back empty.
    EXPECT_EQ(platform::ShutdownSystem(), 0u);
    EXPECT_FALSE(platform::SystemRunning());
}

TEST_F(FrameTest, MakeNamesBuildsTheThreeNamesAndFreesThem) {
    ASSERT_EQ(Boot(), STATUS_SUCCESS);
    const std::size_t before = platform::PoolOutstanding();
    UNICODE_STRING port{}, device{}, link{};
    ASSERT_TRUE(driver::DriverMakeNames(11, &port, &device, &link));
    EXPECT_EQ(std::u16string(port.Buffer, port.Length / 2), u"\\Device\\ParallelPort11");
    EXPECT_EQ(std::u16string(device.Buffer, device.Length / 2), u"\\Device\\lptccd11");
    EXPECT_EQ(std::u16string(link.Buffer, link.Length / 2), u"\\DosDevices\\LPTCCD12");
    EXPECT_EQ(link.MaximumLength, link.Length + 2);
    EXPECT_EQ(link.Buffer[link.Length / 2], 0);
    EXPECT_EQ(platform::PoolOutstanding(), before + 3);
    ExFreePool(port.Buffer);
    ExFreePool(device.Buffer);
    ExFreePool(link.Buffer);
    EXPECT_EQ(platform::PoolOutstanding(), before);
}

TEST_F(FrameTest, DeviceIsExclusive) {
    BootAndOpen();
    platform::OpenFile* second = nullptr;
    EXPECT_EQ(platform::OpenDevice("\\DosDevices\\LPTCCD1", 0, &second), STATUS_SHARING_VIOLATION);
    ASSERT_EQ(Close(), STATUS_SUCCESS);
    ASSERT_EQ(platform::OpenDevice("\\DosDevices\\LPTCCD1", 0, &second), STATUS_SUCCESS);
    platform::CloseFile(second);
}

TEST_F(FrameTest, DirectoryOpenFailsButStartsTheTimerUntilClose) {
    ASSERT_EQ(Boot(), STATUS_SUCCESS);
    platform::OpenFile* dir = nullptr;
    EXPECT_EQ(platform::OpenDevice("\\DosDevices\\LPTCCD1", FILE_DIRECTORY_FILE, &dir),
              STATUS_NOT_A_DIRECTORY);
    const std::uint32_t start = State()->TimerSeconds;
    platform::PlatformSleepMs(3500);
    EXPECT_GE(State()->TimerSeconds, start + 3);
    // A later open and close stops it.
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_EQ(Close(), STATUS_SUCCESS);
    const std::uint32_t stopped = State()->TimerSeconds;
    platform::PlatformSleepMs(3000);
    EXPECT_EQ(State()->TimerSeconds, stopped);
}

TEST_F(FrameTest, TimerCountsSecondsOnlyWhileOpen) {
    ASSERT_EQ(Boot(), STATUS_SUCCESS);
    platform::PlatformSleepMs(2500);
    EXPECT_EQ(State()->TimerSeconds, 0u);
    ASSERT_NO_FATAL_FAILURE(Open());
    platform::PlatformSleepMs(2500);
    EXPECT_GE(State()->TimerSeconds, 2u);
    EXPECT_LE(State()->TimerSeconds, 3u);
}

TEST(IoTimer, MarksMinutesAndWrapsAtOneDay) {
    driver::DeviceState s{};
    s.TimerSeconds = 59;
    driver::IoTimer(nullptr, &s);
    EXPECT_EQ(s.TimerSeconds, 60u);
    EXPECT_EQ(s.TimerMinuteMark, 60u);
    driver::IoTimer(nullptr, &s);
    EXPECT_EQ(s.TimerMinuteMark, 60u);
    s.TimerSeconds = 86399;
    s.TimerMinuteMark = 86340;
    driver::IoTimer(nullptr, &s);
    EXPECT_EQ(s.TimerSeconds, 0u);
    EXPECT_EQ(s.TimerMinuteMark, 0u);
}

TEST_F(FrameTest, CleanupCompletesPendingRequestsAsCancelled) {
    BootAndOpen();
    DEVICE_OBJECT* device = platform::FindDevice("\\Device\\lptccd0");
    driver::DeviceState* s = StateOf(device);
    KEVENT events[2];
    IO_STATUS_BLOCK blocks[2] = {};
    for (int i = 0; i < 2; ++i) {
        KeInitializeEvent(&events[i], NotificationEvent, FALSE);
        IRP* irp = IoBuildDeviceIoControlRequest(ControlCode(2115), device, nullptr, 0, nullptr, 0,
                                                 FALSE, &events[i], &blocks[i]);
        ASSERT_NE(irp, nullptr);
        blocks[i].Status = STATUS_PENDING;
        InsertTailList(&s->PendingRequests, &irp->Tail.Overlay.ListEntry);
    }
    ASSERT_EQ(Close(), STATUS_SUCCESS);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(KeWaitForSingleObject(&events[i], Executive, KernelMode, FALSE, nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(blocks[i].Status, STATUS_CANCELLED);
        EXPECT_EQ(blocks[i].Information, 0u);
    }
    EXPECT_TRUE(IsListEmpty(&s->PendingRequests));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

}  // namespace
}  // namespace zeva::test
