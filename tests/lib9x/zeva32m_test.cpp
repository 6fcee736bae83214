// The Windows 95/98 library through ParDrvCommand: its own commands, the
// contract with the virtual device driver, and the zeva32.vxd stand-in
// forwarding to the recording driver.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/le.h"
#include "libnt/recorder.h"
#include "machine/machine.h"
#include "platform/win32.h"
#include "zeva/zeva.h"

namespace {

using zeva::le::Get16;
using zeva::le::Get32;
using zeva::le::Put16;
using zeva::le::Put32;

class Win9xLibrary : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(recorder::Boot());
        zeva::machine::InstallVirtualDeviceDriver();
        unsetenv("ZEVA_NO_VXD");
        std::uint8_t none[4];
        Put32(none, 0, 0xFFFFFFFFu);
        ASSERT_EQ(ParDrvCommand(ZEVA_SET_DRIVER_HANDLE, none, nullptr), 0);
    }
    void TearDown() override {
        ParDrvCommand(ZEVA_CLOSE_DRIVER, nullptr, nullptr);
        zeva::machine::InstallVirtualDeviceDriver();
        unsetenv("ZEVA_NO_VXD");
        zeva::platform::ShutdownSystem();
    }
};

TEST_F(Win9xLibrary, OpenAndCloseDriverTwice) {
    EXPECT_EQ(ParDrvCommand(ZEVA_OPEN_DRIVER, nullptr, nullptr), 0);
    EXPECT_EQ(ParDrvCommand(ZEVA_OPEN_DRIVER, nullptr, nullptr), 21);
    EXPECT_EQ(ParDrvCommand(ZEVA_CLOSE_DRIVER, nullptr, nullptr), 0);
    EXPECT_EQ(ParDrvCommand(ZEVA_CLOSE_DRIVER, nullptr, nullptr), 20);
}

TEST_F(Win9xLibrary, MissingVirtualDeviceDriverGives19) {
    setenv("ZEVA_NO_VXD", "1", 1);
    EXPECT_EQ(ParDrvCommand(ZEVA_OPEN_DRIVER, nullptr, nullptr), 19);
    std::uint8_t handle[4] = {};
    EXPECT_EQ(ParDrvCommand(ZEVA_GET_DRIVER_HANDLE, nullptr, handle), 0);
    EXPECT_EQ(Get32(handle, 0), 0xFFFFFFFFu);
    std::uint8_t link[2];
    EXPECT_EQ(ParDrvCommand(ZEVA_ESTABLISH_LINK, nullptr, link), 20);
}

TEST_F(Win9xLibrary, DriverInfoRequestOneIsAnsweredBeforeOpen) {
    std::uint8_t request[2];
    std::uint8_t info[68];
    std::memset(info, 0xAA, sizeof info);
    Put16(request, 0, 1);
    ASSERT_EQ(ParDrvCommand(ZEVA_GET_DRIVER_INFO, request, info), 0);
    EXPECT_EQ(Get16(info, 0), 0x0102);
    EXPECT_STREQ(reinterpret_cast<const char*>(info + 2), "95/98 DLL Ver 1.02");
    EXPECT_EQ(info[2 + 19], 0xAA);
    EXPECT_EQ(Get16(info, 66), 1);
    Put16(request, 0, 0);
    EXPECT_EQ(ParDrvCommand(ZEVA_GET_DRIVER_INFO, request, info), 20);
    EXPECT_EQ(recorder::Last().calls, 0);
}

// The records the library itself reads or writes pass the pointer check: a
// bad non-null pointer gives the command's fault code, not a crash.
TEST_F(Win9xLibrary, BadRecordPointersGiveTheCommandsFaultCode) {
    auto* page = static_cast<std::uint8_t*>(
        mmap(nullptr, 2 * 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    mprotect(page + 4096, 4096, PROT_NONE);
    std::uint8_t* hole = page + 4096;
    std::uint8_t request[2];
    Put16(request, 0, 1);
    EXPECT_EQ(ParDrvCommand(ZEVA_GET_DRIVER_INFO, hole - 1, page), 123);
    EXPECT_EQ(ParDrvCommand(ZEVA_GET_DRIVER_INFO, request, hole - 67), 123);  // 68 bytes needed
    EXPECT_EQ(ParDrvCommand(ZEVA_GET_DRIVER_HANDLE, nullptr, hole - 3), 6);
    EXPECT_EQ(ParDrvCommand(ZEVA_SET_DRIVER_HANDLE, hole - 2, nullptr), 6);
    mprotect(page, 4096, PROT_READ);  // readable, not writable
    EXPECT_EQ(ParDrvCommand(ZEVA_GET_DRIVER_INFO, request, page), 123);
    EXPECT_EQ(ParDrvCommand(ZEVA_GET_DRIVER_HANDLE, nullptr, page), 6);
    // The handle was left as it was.
    std::uint8_t handle[4] = {};
    EXPECT_EQ(ParDrvCommand(ZEVA_GET_DRIVER_HANDLE, nullptr, handle), 0);
    EXPECT_EQ(Get32(handle, 0), 0xFFFFFFFFu);
    munmap(page, 2 * 4096);
}

// A handle that is not the open virtual device driver (zero, a random value, a
// closed one) makes the device call fail: that is an error, not success.
TEST_F(Win9xLibrary, StaleOrForeignHandleGivesAnError) {
    ASSERT_EQ(ParDrvCommand(ZEVA_OPEN_DRIVER, nullptr, nullptr), 0);
    std::uint8_t opened[4];
    ASSERT_EQ(ParDrvCommand(ZEVA_GET_DRIVER_HANDLE, nullptr, opened), 0);
    ASSERT_EQ(ParDrvCommand(ZEVA_CLOSE_DRIVER, nullptr, nullptr), 0);
    for (std::uint32_t h : {0u, 0x5A5A1234u, Get32(opened, 0)}) {
        std::uint8_t handle[4];
        Put32(handle, 0, h);
        ASSERT_EQ(ParDrvCommand(ZEVA_SET_DRIVER_HANDLE, handle, nullptr), 0);
        std::uint8_t link[2] = {0xAB, 0xCD};
        EXPECT_EQ(ParDrvCommand(ZEVA_ESTABLISH_LINK, nullptr, link), 20) << h;
        EXPECT_EQ(Get16(link, 0), 0xCDAB) << h;
        std::uint8_t temperature[10] = {};
        EXPECT_EQ(ParDrvCommand(ZEVA_QUERY_TEMPERATURE_STATUS, nullptr, temperature), 20) << h;
    }
    EXPECT_EQ(recorder::Last().calls, 0);
}

struct VxdLog {
    int calls = 0;
    std::uint32_t code = 0;
    void* in = nullptr;
    void* out = nullptr;
    std::uint32_t in_length = 1;
    std::uint32_t out_length = 1;
    std::uint32_t count = 0;
};
VxdLog g_vxd_log;

const zeva::win32::VirtualDeviceDriver kRecordingVxd = {
    "zeva32.vxd",
    [] { return static_cast<void*>(&g_vxd_log); },
    [](void*, std::uint32_t code, void* in, std::uint32_t in_length, void* out,
       std::uint32_t out_length, std::uint32_t* bytes) {
        ++g_vxd_log.calls;
        g_vxd_log.code = code;
        g_vxd_log.in = in;
        g_vxd_log.out = out;
        g_vxd_log.in_length = in_length;
        g_vxd_log.out_length = out_length;
        *bytes = g_vxd_log.count;
    },
    [](void*) {},
};

TEST_F(Win9xLibrary, CommandsReachTheVirtualDeviceDriverAsCode1000Plus) {
    g_vxd_log = VxdLog{};
    zeva::win32::SetVirtualDeviceDriver(&kRecordingVxd);
    ASSERT_EQ(ParDrvCommand(ZEVA_OPEN_DRIVER, nullptr, nullptr), 0);
    std::uint8_t in[2];
    std::uint8_t out[2];
    EXPECT_EQ(ParDrvCommand(ZEVA_ESTABLISH_LINK, in, out), 0);
    EXPECT_EQ(g_vxd_log.code, 1009u);
    EXPECT_EQ(g_vxd_log.in, in);
    EXPECT_EQ(g_vxd_log.out, out);
    EXPECT_EQ(g_vxd_log.in_length, 0u);
    EXPECT_EQ(g_vxd_log.out_length, 0u);
    EXPECT_EQ(ParDrvCommand(0xFFFFu, nullptr, nullptr), 0);
    EXPECT_EQ(g_vxd_log.code, 999u);
    g_vxd_log.count = 6;  // the error code travels in the byte count, unchanged
    EXPECT_EQ(ParDrvCommand(ZEVA_END_EXPOSURE, in, nullptr), 6);
    g_vxd_log.count = 0x10014;
    EXPECT_EQ(ParDrvCommand(ZEVA_END_EXPOSURE, in, nullptr), 20);
    EXPECT_EQ(g_vxd_log.calls, 4);
}

class Win9xStandIn : public Win9xLibrary {
  protected:
    void SetUp() override {
        Win9xLibrary::SetUp();
        ASSERT_EQ(ParDrvCommand(ZEVA_OPEN_DRIVER, nullptr, nullptr), 0);
    }
};

TEST_F(Win9xStandIn, ForwardsCommandsToTheFirstDevice) {
    recorder::Last().reply = {4, 0};
    std::uint8_t link[2] = {};
    EXPECT_EQ(ParDrvCommand(ZEVA_ESTABLISH_LINK, nullptr, link), 0);
    EXPECT_EQ(recorder::Last().code, 0x9C400000u + 4 * 2109);
    EXPECT_EQ(Get16(link, 0), 4);
    recorder::Last().status = 0xE0000008u;
    EXPECT_EQ(ParDrvCommand(ZEVA_ESTABLISH_LINK, nullptr, link), 8);
    recorder::Last().status = STATUS_SUCCESS;
    // Commands the driver has no function for never reach it.
    int calls = recorder::Last().calls;
    EXPECT_EQ(ParDrvCommand(0, nullptr, nullptr), 4);
    EXPECT_EQ(ParDrvCommand(0xFFFFu, nullptr, nullptr), 4);
    EXPECT_EQ(ParDrvCommand(ZEVA_READ_SUBTRACT_LINE, nullptr, nullptr), 4);
    EXPECT_EQ(recorder::Last().calls, calls);
}

TEST_F(Win9xStandIn, TakesThePackedRecords) {
    std::uint8_t packed[10];
    Put16(packed, 0, 0);
    Put32(packed, 2, 0x00ABCDEFu);
    Put16(packed, 6, 5);
    Put16(packed, 8, 1);
    ASSERT_EQ(ParDrvCommand(ZEVA_START_EXPOSURE, packed, nullptr), 0);
    ASSERT_EQ(recorder::Last().input.size(), 12u);
    EXPECT_EQ(Get32(recorder::Last().input.data(), 4), 0x00ABCDEFu);
    EXPECT_EQ(Get16(recorder::Last().input.data(), 8), 5);
    EXPECT_EQ(Get16(recorder::Last().input.data(), 10), 1);

    std::vector<std::uint8_t> reply(392);
    for (std::size_t i = 0; i < reply.size(); ++i) {
        reply[i] = static_cast<std::uint8_t>(i * 3 + 5);
    }
    recorder::Last().reply = reply;
    std::uint8_t request[2];
    Put16(request, 0, 1);
    std::uint8_t out[392];
    std::memset(out, 0xEE, sizeof out);
    ASSERT_EQ(ParDrvCommand(ZEVA_GET_CCD_INFO, request, out), 0);
    EXPECT_EQ(0, std::memcmp(out, reply.data(), 70));
    EXPECT_EQ(0, std::memcmp(out + 70, reply.data() + 72, 320));
    EXPECT_EQ(out[390], 0xEE);  // exactly 390 bytes written
    EXPECT_EQ(out[391], 0xEE);
}

TEST_F(Win9xStandIn, ReadoutLineSizesTheResultFromPixelLength) {
    std::uint8_t params[8] = {};
    Put16(params, 6, 3);
    recorder::Last().reply = {1, 0, 2, 0, 3, 0, 9, 9};
    std::uint8_t line[8];
    std::memset(line, 0xCC, sizeof line);
    ASSERT_EQ(ParDrvCommand(ZEVA_READOUT_LINE, params, line), 0);
    EXPECT_EQ(recorder::Last().output_length, 6u);
    EXPECT_EQ(Get16(line, 4), 3);
    EXPECT_EQ(line[6], 0xCC);
}

TEST_F(Win9xStandIn, RefusesRecordsItCannotReachInFull) {
    auto* page = static_cast<std::uint8_t*>(
        mmap(nullptr, 2 * 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    mprotect(page + 4096, 4096, PROT_NONE);  // reserved, not unmapped
    std::uint8_t* hole = page + 4096;
    std::uint8_t request[2] = {};
    EXPECT_EQ(ParDrvCommand(ZEVA_GET_CCD_INFO, request, hole - 389), 6);  // 390 bytes needed
    EXPECT_EQ(ParDrvCommand(ZEVA_START_EXPOSURE, hole - 9, nullptr), 6);
    EXPECT_EQ(ParDrvCommand(ZEVA_ESTABLISH_LINK, nullptr, hole), 6);
    EXPECT_EQ(ParDrvCommand(ZEVA_END_EXPOSURE, nullptr, nullptr), 6);
    EXPECT_EQ(recorder::Last().calls, 0);
    munmap(page, 2 * 4096);
}

TEST_F(Win9xStandIn, CcdInfoRequestAboveThreeTouchesNoResultRecord) {
    auto* page = static_cast<std::uint8_t*>(
        mmap(nullptr, 2 * 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    mprotect(page + 4096, 4096, PROT_NONE);
    std::uint8_t request[2];
    Put16(request, 0, 4);
    recorder::Last().status = 0xE0000006u;
    // No record follows the caller's pointer: the request still reaches the
    // driver, with no output, and its refusal comes back.
    EXPECT_EQ(ParDrvCommand(ZEVA_GET_CCD_INFO, request, page + 4096), 6);
    EXPECT_EQ(recorder::Last().calls, 1);
    EXPECT_EQ(recorder::Last().output_length, 0u);
    munmap(page, 2 * 4096);
}

}  // namespace
