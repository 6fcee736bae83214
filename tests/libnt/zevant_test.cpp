// The NT library through its exported entries, over the recording driver.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "common/le.h"
#include "libnt/recorder.h"
#include "platform/win32.h"
#include "zeva/zeva.h"

namespace {

using zeva::le::Get16;
using zeva::le::Get32;
using zeva::le::Put16;
using zeva::le::Put32;

constexpr std::uint32_t kInvalid = 0xFFFFFFFFu;

std::uint32_t ControlCodeOf(std::uint32_t function) {
    return 0x9C400000u + 4 * function;
}

class NtLibrary : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(recorder::Boot());
        std::uint8_t none[4];
        Put32(none, 0, kInvalid);
        ASSERT_EQ(ParDeviceCommandNH(ZEVA_SET_DRIVER_HANDLE, none, nullptr), 0u);
    }
    void TearDown() override {
        ParDeviceCommandNH(ZEVA_CLOSE_DEVICE, nullptr, nullptr);
        zeva::platform::ShutdownSystem();
    }
    // Opens port 1 through the no-handle entry.
    void OpenNh() {
        std::uint8_t port[2];
        Put16(port, 0, 1);
        ASSERT_EQ(ParDeviceCommandNH(ZEVA_OPEN_DEVICE, port, nullptr), 0u);
    }
    std::uint32_t OpenHandle(std::uint32_t* status) {
        std::uint8_t port[2];
        std::uint8_t handle[4] = {};
        Put16(port, 0, 1);
        *status = ParDeviceCommand(0, ZEVA_OPEN_DEVICE, port, handle);
        return Get32(handle, 0);
    }
    std::uint32_t LibraryHandle() {
        std::uint8_t handle[4] = {};
        EXPECT_EQ(ParDeviceCommandNH(ZEVA_GET_DRIVER_HANDLE, nullptr, handle), 0u);
        return Get32(handle, 0);
    }
};

TEST_F(NtLibrary, UnknownCommandsAreRefusedWithoutADriverCall) {
    std::uint32_t status = 0;
    std::uint32_t handle = OpenHandle(&status);
    ASSERT_EQ(status, 0u);
    for (std::uint32_t command : {0u, 31u, 125u, 126u, 200u, 0x10000u}) {
        EXPECT_EQ(ParDeviceCommand(handle, command, nullptr, nullptr), 0xE0000004u) << command;
        EXPECT_EQ(ParDeviceCommandNH(command, nullptr, nullptr), 1020u) << command;
    }
    ASSERT_EQ(ParDeviceCommand(handle, ZEVA_CLOSE_DEVICE, nullptr, nullptr), 0u);
    OpenNh();
    for (std::uint32_t command : {0u, 31u, 125u, 126u, 200u}) {
        EXPECT_EQ(ParDeviceCommandNH(command, nullptr, nullptr), 1004u) << command;
    }
    EXPECT_EQ(recorder::Last().calls, 0);
}

TEST_F(NtLibrary, NoHandleEntryAnswersDriverInfoRequestOneItself) {
    std::uint8_t request[2];
    std::uint8_t info[68];
    std::memset(info, 0xAA, sizeof info);
    Put16(request, 0, 1);
    ASSERT_EQ(ParDeviceCommandNH(ZEVA_GET_DRIVER_INFO, request, info), 0u);
    EXPECT_EQ(Get16(info, 0), 0x0105);
    EXPECT_STREQ(reinterpret_cast<const char*>(info + 2), "ZEVANT.DLL Ver 1.05");
    EXPECT_EQ(info[2 + 20], 0xAA);  // the rest of the name field is left alone
    EXPECT_EQ(Get16(info, 66), 1);
    Put16(request, 0, 0);
    EXPECT_EQ(ParDeviceCommandNH(ZEVA_GET_DRIVER_INFO, request, info), 1020u);
    EXPECT_EQ(recorder::Last().calls, 0);
}

TEST_F(NtLibrary, RequestRangesAreCheckedBeforeTheDriver) {
    std::uint32_t status = 0;
    std::uint32_t handle = OpenHandle(&status);
    ASSERT_EQ(status, 0u);
    std::uint8_t request[2];
    std::uint8_t out[392];
    for (std::int16_t r : {std::int16_t{2}, std::int16_t{-1}}) {
        Put16(request, 0, static_cast<std::uint16_t>(r));
        EXPECT_EQ(ParDeviceCommand(handle, ZEVA_GET_DRIVER_INFO, request, out), 0xE0000006u);
    }
    Put16(request, 0, 4);
    EXPECT_EQ(ParDeviceCommand(handle, ZEVA_GET_CCD_INFO, request, out), 0xE000007Eu);
    EXPECT_EQ(recorder::Last().calls, 0);
    ASSERT_EQ(ParDeviceCommand(handle, ZEVA_CLOSE_DEVICE, nullptr, nullptr), 0u);
    OpenNh();
    EXPECT_EQ(ParDeviceCommandNH(ZEVA_GET_CCD_INFO, request, out), 1126u);
}

TEST_F(NtLibrary, DriverErrorsReachBothEntries) {
    std::uint32_t status = 0;
    std::uint32_t handle = OpenHandle(&status);
    ASSERT_EQ(status, 0u);
    recorder::Last().status = 0xE0000006u;
    std::uint8_t link[2];
    EXPECT_EQ(ParDeviceCommand(handle, ZEVA_ESTABLISH_LINK, nullptr, link), 0xE0000006u);
    EXPECT_EQ(recorder::Last().code, ControlCodeOf(2109));
    ASSERT_EQ(ParDeviceCommand(handle, ZEVA_CLOSE_DEVICE, nullptr, nullptr), 0u);
    OpenNh();
    EXPECT_EQ(ParDeviceCommandNH(ZEVA_ESTABLISH_LINK, nullptr, link), 1006u);
    // A platform status without the customer bit arrives as its Win32 code.
    recorder::Last().status = STATUS_NOT_IMPLEMENTED;
    EXPECT_EQ(ParDeviceCommandNH(ZEVA_ESTABLISH_LINK, nullptr, link), 1001u);
    recorder::Last().status = STATUS_CANCELLED;
    EXPECT_EQ(ParDeviceCommandNH(ZEVA_ESTABLISH_LINK, nullptr, link), 1995u);
    // The port no-operation reports its own code instead.
    std::uint8_t nop[2] = {};
    EXPECT_EQ(ParDeviceCommandNH(ZEVA_PORT_NO_OPERATION, nop, nop), 1133u);
}

TEST_F(NtLibrary, BadHandleGivesInvalidHandleError) {
    std::uint8_t link[2];
    EXPECT_EQ(ParDeviceCommand(0x12345678u, ZEVA_ESTABLISH_LINK, nullptr, link), 6u);
    EXPECT_EQ(ParDeviceCommand(0x12345678u, ZEVA_CLOSE_DEVICE, nullptr, nullptr), 0xE000006Bu);
}

TEST_F(NtLibrary, NoOperationAndCloseDriverNeverCallTheDriver) {
    EXPECT_EQ(ParDeviceCommand(kInvalid, ZEVA_NO_OPERATION, nullptr, nullptr), 0u);
    EXPECT_EQ(ParDeviceCommand(kInvalid, ZEVA_CLOSE_DRIVER, nullptr, nullptr), 0u);
    EXPECT_EQ(ParDeviceCommand(kInvalid, ZEVA_OPEN_DRIVER, nullptr, nullptr), 0u);
    EXPECT_EQ(recorder::Last().calls, 0);
}

TEST_F(NtLibrary, PackedStartExposureArrivesAligned) {
    OpenNh();
    std::uint8_t packed[10];
    Put16(packed, 0, 1);
    Put32(packed, 2, 0x80123456u);
    Put16(packed, 6, 0x0203);
    Put16(packed, 8, 2);
    ASSERT_EQ(ParDeviceCommandNH(ZEVA_START_EXPOSURE, packed, nullptr), 0u);
    const recorder::State& s = recorder::Last();
    EXPECT_EQ(s.code, ControlCodeOf(2101));
    ASSERT_EQ(s.input.size(), 12u);
    EXPECT_EQ(Get16(s.input.data(), 0), 1);
    EXPECT_EQ(Get32(s.input.data(), 4), 0x80123456u);
    EXPECT_EQ(Get16(s.input.data(), 8), 0x0203);
    EXPECT_EQ(Get16(s.input.data(), 10), 2);
    EXPECT_EQ(s.output_length, 0u);
}

TEST_F(NtLibrary, CcdInfoIsCompactedForRequestsZeroAndOneOnly) {
    OpenNh();
    std::vector<std::uint8_t> reply(392);
    for (std::size_t i = 0; i < reply.size(); ++i) {
        reply[i] = static_cast<std::uint8_t>(i * 7 + 1);
    }
    recorder::Last().reply = reply;
    std::uint8_t request[2];
    std::uint8_t out[392];
    Put16(request, 0, 0);
    ASSERT_EQ(ParDeviceCommandNH(ZEVA_GET_CCD_INFO, request, out), 0u);
    EXPECT_EQ(recorder::Last().output_length, 392u);
    EXPECT_EQ(0, std::memcmp(out, reply.data(), 70));
    EXPECT_EQ(0, std::memcmp(out + 70, reply.data() + 72, 320));
    Put16(request, 0, 2);
    recorder::Last().reply.assign(reply.begin(), reply.begin() + 22);
    ASSERT_EQ(ParDeviceCommandNH(ZEVA_GET_CCD_INFO, request, out), 0u);
    EXPECT_EQ(recorder::Last().output_length, 22u);
    EXPECT_EQ(0, std::memcmp(out, reply.data(), 22));
    Put16(request, 0, 3);
    ASSERT_EQ(ParDeviceCommandNH(ZEVA_GET_CCD_INFO, request, out), 0u);
    EXPECT_EQ(recorder::Last().output_length, 4u);
    // One buffer as both records: an EEPROM count of 0 in the result must not
    // be taken for request 0 and compact 392 bytes of a 22-byte record.
    std::vector<std::uint8_t> same(392);
    for (std::size_t i = 0; i < same.size(); ++i) {
        same[i] = static_cast<std::uint8_t>(i * 5 + 3);
    }
    const std::vector<std::uint8_t> before = same;
    Put16(same.data(), 0, 2);
    std::vector<std::uint8_t> eeprom(22, 0);
    recorder::Last().reply = eeprom;
    ASSERT_EQ(ParDeviceCommandNH(ZEVA_GET_CCD_INFO, same.data(), same.data()), 0u);
    EXPECT_EQ(0, std::memcmp(same.data(), eeprom.data(), 22));
    EXPECT_EQ(0, std::memcmp(same.data() + 22, before.data() + 22, 392 - 22));
}

TEST_F(NtLibrary, ReadSubtractLineSubtractsOffsetsAndClamps) {
    std::uint32_t status = 0;
    std::uint32_t handle = OpenHandle(&status);
    ASSERT_EQ(status, 0u);
    std::uint8_t params[8] = {};
    Put16(params, 6, 4);
    std::vector<std::uint8_t> fresh(8);
    Put16(fresh.data(), 0, 50);
    Put16(fresh.data(), 2, 1000);
    Put16(fresh.data(), 4, 65500);
    Put16(fresh.data(), 6, 300);
    recorder::Last().reply = fresh;
    std::uint8_t line[10];
    Put16(line, 0, 200);
    Put16(line, 2, 900);
    Put16(line, 4, 0);
    Put16(line, 6, 300);
    Put16(line, 8, 0x7777);  // beyond PixelLength: untouched
    ASSERT_EQ(ParDeviceCommand(handle, ZEVA_READ_SUBTRACT_LINE, params, line), 0u);
    EXPECT_EQ(recorder::Last().code, ControlCodeOf(2103));
    EXPECT_EQ(recorder::Last().output_length, 8u);
    EXPECT_EQ(Get16(line, 0), 0);
    EXPECT_EQ(Get16(line, 2), 200);
    EXPECT_EQ(Get16(line, 4), 65535);
    EXPECT_EQ(Get16(line, 6), 100);
    EXPECT_EQ(Get16(line, 8), 0x7777);
    ASSERT_EQ(ParDeviceCommand(handle, ZEVA_CLOSE_DEVICE, nullptr, nullptr), 0u);
}

TEST_F(NtLibrary, ReadSubtractLineAsksAtMost1530PixelsAndKeepsOutOnFailure) {
    std::uint32_t status = 0;
    std::uint32_t handle = OpenHandle(&status);
    ASSERT_EQ(status, 0u);
    std::uint8_t params[8] = {};
    Put16(params, 6, 2000);
    std::vector<std::uint8_t> line(4000, 0x11);
    recorder::Last().status = 0xE0000006u;
    EXPECT_EQ(ParDeviceCommand(handle, ZEVA_READ_SUBTRACT_LINE, params, line.data()), 0xE0000006u);
    EXPECT_EQ(recorder::Last().output_length, 3060u);
    EXPECT_EQ(Get16(recorder::Last().input.data(), 6), 2000);  // the record goes unchanged
    for (std::uint8_t b : line) {
        ASSERT_EQ(b, 0x11);
    }
    ASSERT_EQ(ParDeviceCommand(handle, ZEVA_CLOSE_DEVICE, nullptr, nullptr), 0u);
}

TEST_F(NtLibrary, SerialCommandsCarryTheRecordsTheDriverUses) {
    OpenNh();
    std::uint8_t params[5] = {};
    Put16(params, 0, 3);
    params[2] = 'a';
    params[3] = 'b';
    params[4] = 'c';
    std::uint8_t result[2] = {};
    recorder::Last().reply = {3, 0};
    ASSERT_EQ(ParDeviceCommandNH(ZEVA_TX_SERIAL_BYTES, params, result), 0u);
    EXPECT_EQ(recorder::Last().code, ControlCodeOf(2119));
    EXPECT_EQ(recorder::Last().input, std::vector<std::uint8_t>(params, params + 5));
    EXPECT_EQ(recorder::Last().output_length, 2u);
    EXPECT_EQ(Get16(result, 0), 3);
    ASSERT_EQ(ParDeviceCommandNH(ZEVA_GET_SERIAL_STATUS, nullptr, result), 0u);
    EXPECT_EQ(recorder::Last().code, ControlCodeOf(2120));
    EXPECT_EQ(recorder::Last().output_length, 2u);
}

TEST_F(NtLibrary, DeviceIsExclusiveAndFailedOpenLeavesNoHandle) {
    std::uint32_t status = 0;
    std::uint32_t first = OpenHandle(&status);
    ASSERT_EQ(status, 0u);
    EXPECT_NE(first, kInvalid);
    std::uint32_t second = OpenHandle(&status);
    EXPECT_EQ(status, 0xE000006Cu);
    EXPECT_EQ(second, kInvalid);
    std::uint8_t port[2];
    Put16(port, 0, 1);
    EXPECT_EQ(ParDeviceCommandNH(ZEVA_OPEN_DEVICE, port, nullptr), 1108u);
    EXPECT_EQ(LibraryHandle(), kInvalid);
    Put16(port, 0, 2);  // no second port device
    std::uint8_t handle[4];
    EXPECT_EQ(ParDeviceCommand(0, ZEVA_OPEN_DEVICE, port, handle), 0xE000006Cu);
    EXPECT_EQ(ParDeviceCommand(first, ZEVA_CLOSE_DEVICE, nullptr, nullptr), 0u);
    EXPECT_EQ(ParDeviceCommand(first, ZEVA_CLOSE_DEVICE, nullptr, nullptr), 0xE000006Bu);
}

// A second open of a device already open fails, and the handle the library
// holds stays: the camera is not lost to the process.
TEST_F(NtLibrary, FailedSecondOpenKeepsTheLibraryHandle) {
    OpenNh();
    const std::uint32_t held = LibraryHandle();
    ASSERT_NE(held, kInvalid);
    std::uint8_t port[2];
    Put16(port, 0, 1);
    EXPECT_EQ(ParDeviceCommandNH(ZEVA_OPEN_DEVICE, port, nullptr), 1108u);
    EXPECT_EQ(LibraryHandle(), held);
    std::uint8_t link[2];
    recorder::Last().reply = {4, 0};
    EXPECT_EQ(ParDeviceCommandNH(ZEVA_ESTABLISH_LINK, nullptr, link), 0u);
    EXPECT_EQ(ParDeviceCommandNH(ZEVA_CLOSE_DEVICE, nullptr, nullptr), 0u);
    // Closed: the device opens again.
    OpenNh();
    EXPECT_NE(LibraryHandle(), kInvalid);
}

TEST_F(NtLibrary, CloseDeviceEndsTheLibraryHandle) {
    OpenNh();
    EXPECT_NE(LibraryHandle(), kInvalid);
    std::uint8_t link[2];
    recorder::Last().reply = {4, 0};
    EXPECT_EQ(ParDeviceCommandNH(ZEVA_ESTABLISH_LINK, nullptr, link), 0u);
    EXPECT_EQ(Get16(link, 0), 4);
    EXPECT_EQ(ParDeviceCommandNH(ZEVA_CLOSE_DEVICE, nullptr, nullptr), 0u);
    EXPECT_EQ(LibraryHandle(), kInvalid);
    EXPECT_EQ(ParDeviceCommandNH(ZEVA_ESTABLISH_LINK, nullptr, link), 1020u);
    EXPECT_EQ(ParDeviceCommandNH(ZEVA_CLOSE_DRIVER, nullptr, nullptr), 1020u);
}

// Three pages: read-write, a hole, read-only.
class GuardedPage {
  public:
    GuardedPage() {
        base_ = static_cast<std::uint8_t*>(
            mmap(nullptr, 3 * 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        // The hole stays reserved (no access) rather than unmapped, so that no
        // other thread's mapping can land in it while the test runs.
        mprotect(base_ + 4096, 4096, PROT_NONE);
        mprotect(base_ + 2 * 4096, 4096, PROT_READ);
    }
    ~GuardedPage() { munmap(base_, 3 * 4096); }
    // A record whose last `tail` bytes fall into the hole.
    std::uint8_t* Straddling(std::size_t length, std::size_t tail) {
        return base_ + 4096 - (length - tail);
    }
    std::uint8_t* Unmapped() { return base_ + 4096; }
    std::uint8_t* ReadOnly() { return base_ + 2 * 4096; }

  private:
    std::uint8_t* base_;
};

TEST_F(NtLibrary, BadRecordPointersGiveTheCommandsFaultCode) {
    GuardedPage pages;
    std::uint32_t status = 0;
    std::uint32_t handle = OpenHandle(&status);
    ASSERT_EQ(status, 0u);
    std::uint8_t request[2] = {};
    EXPECT_EQ(ParDeviceCommand(handle, ZEVA_GET_CCD_INFO, pages.Unmapped(), nullptr), 0xE000007Du);
    // The whole result range counts: 392 bytes of which the last one is missing.
    EXPECT_EQ(ParDeviceCommand(handle, ZEVA_GET_CCD_INFO, request, pages.Straddling(392, 1)),
              0xE000007Du);
    EXPECT_EQ(ParDeviceCommand(handle, ZEVA_ESTABLISH_LINK, nullptr, pages.ReadOnly()),
              0xE000007Au);
    EXPECT_EQ(ParDeviceCommand(handle, ZEVA_ESTABLISH_LINK, nullptr, nullptr), 0xE000007Au);
    EXPECT_EQ(ParDeviceCommand(handle, ZEVA_END_EXPOSURE, pages.Unmapped(), nullptr), 0xE0000074u);
    std::uint8_t params[8] = {};
    Put16(params, 6, 100);
    EXPECT_EQ(ParDeviceCommand(handle, ZEVA_READOUT_LINE, params, pages.Straddling(200, 2)),
              0xE0000075u);
    EXPECT_EQ(ParDeviceCommand(handle, ZEVA_READ_SUBTRACT_LINE, params, pages.ReadOnly()),
              0xE0000076u);
    EXPECT_EQ(ParDeviceCommand(0, ZEVA_OPEN_DEVICE, pages.Unmapped(), request), 0xE000006Du);
    EXPECT_EQ(recorder::Last().calls, 0);
    ASSERT_EQ(ParDeviceCommand(handle, ZEVA_CLOSE_DEVICE, nullptr, nullptr), 0u);
    OpenNh();
    EXPECT_EQ(ParDeviceCommandNH(ZEVA_START_EXPOSURE, pages.Straddling(10, 1), nullptr), 1115u);
    EXPECT_EQ(ParDeviceCommandNH(ZEVA_GET_DRIVER_INFO, pages.Unmapped(), nullptr), 1123u);
    EXPECT_EQ(recorder::Last().calls, 0);
}

TEST_F(NtLibrary, GuardHoldsUnderConcurrentCallers) {
    GuardedPage pages;
    std::uint32_t status = 0;
    std::uint32_t handle = OpenHandle(&status);
    ASSERT_EQ(status, 0u);
    recorder::Last().reply = {9, 0};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                std::uint8_t link[2] = {};
                std::uint32_t s =
                    (i + t) % 2 == 0
                        ? ParDeviceCommand(handle, ZEVA_ESTABLISH_LINK, nullptr, pages.Unmapped())
                        : ParDeviceCommand(handle, ZEVA_ESTABLISH_LINK, nullptr, link);
                std::uint32_t expected = (i + t) % 2 == 0 ? 0xE000007Au : 0u;
                if (s != expected || (expected == 0 && Get16(link, 0) != 9)) {
                    ++wrong;
                }
            }
        });
    }
    for (std::thread& th : threads) {
        th.join();
    }
    EXPECT_EQ(wrong.load(), 0);
    ASSERT_EQ(ParDeviceCommand(handle, ZEVA_CLOSE_DEVICE, nullptr, nullptr), 0u);
}

}  // namespace

namespace {

// One thread brings a handle back with SetDriverHandle (as an application
// driving several cameras does) while others send commands through the
// no-handle entry: every command reaches the device whole.
TEST_F(NtLibrary, HandleSwitchesWhileOtherThreadsSendCommands) {
    OpenNh();
    const std::uint32_t handle = LibraryHandle();
    ASSERT_NE(handle, kInvalid);
    recorder::Last().reply = {9, 0};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                std::uint8_t link[2] = {};
                if (ParDeviceCommandNH(ZEVA_ESTABLISH_LINK, nullptr, link) != 0u ||
                    Get16(link, 0) != 9) {
                    ++wrong;
                }
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < 200; ++i) {
            std::uint8_t record[4] = {};
            if (ParDeviceCommandNH(ZEVA_GET_DRIVER_HANDLE, nullptr, record) != 0u ||
                Get32(record, 0) != handle ||
                ParDeviceCommandNH(ZEVA_SET_DRIVER_HANDLE, record, nullptr) != 0u) {
                ++wrong;
            }
        }
    });
    for (std::thread& th : threads) {
        th.join();
    }
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(recorder::Last().calls, 600);
    EXPECT_EQ(LibraryHandle(), handle);
}

}  // namespace
