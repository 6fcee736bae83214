// The dispatcher table: served and unserved codes, buffer sizes, the
// interrupt level commands, raw port commands and the readout queue.
#include <cstring>
#include <string>
#include <thread>

#include "common/errors.h"
#include "common/le.h"
#include "common/records.h"
#include "driver/frame/bytes.h"
#include "driver/frame/dispatch_table.h"
#include "frame_fixture.h"

namespace zeva::test {
namespace {

constexpr NTSTATUS kBadParameter = 0xE0000006;
constexpr std::uint32_t kBase = 0x378;

std::vector<std::uint8_t> U16(std::uint16_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)};
}
using DispatchTest = FrameTest;

TEST_F(DispatchTest, UnservedFunctionsAreNotImplemented) {
    BootAndOpen();
    for (std::uint32_t f : {2114u, 2117u, 2118u, 2100u, 2129u, 3101u, 3108u, 3128u}) {
        Reply r = Send(f, {0, 0, 0, 0, 0, 0, 0, 0}, 8);
        EXPECT_EQ(r.status, STATUS_NOT_IMPLEMENTED) << f;
        EXPECT_EQ(r.bytes, 0u) << f;
    }
    // A served function with another transfer method or device type is not served.
    EXPECT_EQ(SendCode(ControlCode(2110) | 1, U16(0), 68).status, STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(SendCode((ControlCode(2110) & 0xFFFF) | 0x00220000, U16(0), 68).status,
              STATUS_NOT_IMPLEMENTED);
    EXPECT_TRUE(backends_[0]->Log().empty());
}

TEST_F(DispatchTest, NoOperationsSucceedWithNoBytesAndNoTraffic) {
    BootAndOpen();
    for (std::uint32_t f : {2115u, 3127u}) {
        Reply r = Send(f, {}, 0);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.bytes, 0u);
    }
    EXPECT_TRUE(backends_[0]->Log().empty());
}

TEST_F(DispatchTest, GetDriverInfoFillsRecordAndReportsTheWholeOutput) {
    BootAndOpen();
    Reply r = Send(2110, U16(0), 100);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 100u);
    EXPECT_EQ(le::Get16(r.out.data(), 0), 0x0330);
    char expected[64] = "ZEVA.SYS Ver 3.30WNT";
    EXPECT_EQ(std::memcmp(r.out.data() + 2, expected, 64), 0);
    EXPECT_EQ(le::Get16(r.out.data(), 66), 1);

    Reply lib = Send(2110, U16(1), 68);
    ASSERT_EQ(lib.status, STATUS_SUCCESS);
    EXPECT_EQ(le::Get16(lib.out.data(), 0), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(lib.out.data() + 2)), "??? DLL Ver ???");
    EXPECT_EQ(lib.out[2 + 16], 0);
    EXPECT_EQ(le::Get16(lib.out.data(), 66), 1);
}

TEST_F(DispatchTest, GetDriverInfoRefusesOtherRequestsTouchingNothing) {
    BootAndOpen();
    for (std::int16_t request : {std::int16_t{2}, std::int16_t{-1}}) {
        Reply r = Send(2110, U16(static_cast<std::uint16_t>(request)), 68);
        EXPECT_EQ(r.status, kBadParameter);
        EXPECT_EQ(r.bytes, 0u);
        EXPECT_EQ(r.out[10], 0xAA);  // nothing copied back
    }
}

TEST_F(DispatchTest, ShortBuffersAreRefusedBeforeAnyTraffic) {
    BootAndOpen();
    struct Case {
        std::uint32_t function;
        std::vector<std::uint8_t> in;
        ULONG out;
    };
    std::vector<std::uint8_t> line(8, 0);
    le::Put16(line.data(), rec::ReadoutLineParams::PixelLength, 100);
    std::vector<std::uint8_t> serial(6, 0);
    le::Put16(serial.data(), 0, 5);  // 5 bytes announced, 4 given
    std::vector<std::uint8_t> serial_big(300, 0);
    le::Put16(serial_big.data(), 0, 256);
    const std::vector<Case> cases = {
        {2110, U16(0), 67},  // driver info needs 68 out
        {2110, {0}, 68},     // and 2 in
        {2101, std::vector<std::uint8_t>(11, 0), 0},
        {2103, line, 199},  // 100 pixels need 200 bytes
        {2103, std::vector<std::uint8_t>(7, 0), 400},
        {2106, {}, 9},  // temperature status is 10 bytes
        {2109, {}, 1},
        {2111, U16(0), 391},  // CCD info by request
        {2111, U16(2), 21},
        {2111, U16(3), 3},
        {2119, serial, 2},
        {2119, serial_big, 2},  // more than 255 bytes
        {2126, {}, 3},
        {2127, {1}, 0},
        {2128, {}, 1},
        {3102, {}, 0},
        {3103, {}, 0},
        {3122, {0x78}, 1},        // needs its 2-byte address
        {3123, {0x78, 0x03}, 0},  // and the value byte
        {3124, std::vector<std::uint8_t>(5, 0), 1},
        {3125, std::vector<std::uint8_t>(5, 0), 0},
    };
    for (const Case& c : cases) {
        Reply r = Send(c.function, c.in, c.out);
        EXPECT_EQ(r.status, kBadParameter) << c.function << " out " << c.out;
        EXPECT_EQ(r.bytes, 0u) << c.function;
    }
    EXPECT_TRUE(backends_[0]->Log().empty());
    EXPECT_EQ(State()->RaisedIrql, 27);
}

TEST_F(DispatchTest, SetIrqlStoresLevelsTwoToTwentySeven) {
    BootAndOpen();
    Reply get = Send(2128, {}, 2);
    ASSERT_EQ(get.status, STATUS_SUCCESS);
    EXPECT_EQ(get.bytes, 2u);
    EXPECT_EQ(le::Get16(get.out.data(), 0), 27);

    EXPECT_EQ(Send(2127, U16(10), 0).status, STATUS_SUCCESS);
    EXPECT_EQ(le::Get16(Send(2128, {}, 2).out.data(), 0), 10);
    EXPECT_EQ(Send(2127, U16(2), 0).status, STATUS_SUCCESS);
    EXPECT_EQ(State()->RaisedIrql, 2);
    EXPECT_EQ(Send(2127, U16(27), 0).status, STATUS_SUCCESS);
    EXPECT_EQ(State()->RaisedIrql, 27);
}

TEST_F(DispatchTest, SetIrqlRefusesLevelsOutsideTwoToTwentySevenKeepingTheOld) {
    BootAndOpen();
    ASSERT_EQ(Send(2127, U16(12), 0).status, STATUS_SUCCESS);
    // 0x0105: the low byte alone would look valid.
    for (std::uint16_t level : {0, 1, 28, 31, 0x0105, 0xFFFF}) {
        Reply r = Send(2127, U16(level), 0);
        EXPECT_EQ(r.status, kBadParameter) << level;
        EXPECT_EQ(State()->RaisedIrql, 12) << level;
    }
}

TEST_F(DispatchTest, PortRegisterCommandsUseTheirRegister) {
    BootAndOpen();
    backends_[0]->Set(1, 0x5A);
    Reply r = Send(3104, {}, 1);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 1u);
    EXPECT_EQ(r.out[0], 0x5A);
    EXPECT_EQ(Send(3107, {0x0C}, 0).bytes, 0u);
    EXPECT_EQ(Send(3121, {0x20}, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Send(3103, {0x11}, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(backends_[0]->Log(),
              (std::vector<PortAccess>{R(1, 0x5A), W(2, 0x0C), W(0x402, 0x20), W(0, 0x11)}));
}

TEST_F(DispatchTest, RawAddressCommandsReachOnlyClaimedPorts) {
    BootAndOpen();
    backends_[0]->Set(2, 0x33);
    Reply r = Send(3122, {0x7A, 0x03, 0, 0}, 1);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.out[0], 0x33);
    Reply unclaimed = Send(3122, {0x00, 0x01, 0, 0}, 1);
    EXPECT_EQ(unclaimed.status, STATUS_SUCCESS);
    EXPECT_EQ(unclaimed.bytes, 1u);
    EXPECT_EQ(unclaimed.out[0], 0xFF);
    EXPECT_EQ(Send(3123, {0x78, 0x03, 0x42, 0}, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Send(3123, {0x00, 0x01, 0x42, 0}, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(backends_[0]->Log(), (std::vector<PortAccess>{R(2, 0x33), W(0, 0x42)}));
}

TEST_F(DispatchTest, PortSetBitsWritesTheResultTwice) {
    BootAndOpen();
    backends_[0]->Set(2, 0x80);
    Reply r = Send(3125, WriteRead(kBase, kBase + 2, 0x07, 0x01), 0);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 0u);
    EXPECT_EQ(backends_[0]->Log(),
              (std::vector<PortAccess>{W(0, 0x07), R(2, 0x80), W(2, 0x81), W(2, 0x81)}));
    EXPECT_EQ(backends_[0]->RaisedLevelChanges(), 1);  // the sequence ran raised
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(DispatchTest, PortClearBitsAndWriteThenRead) {
    BootAndOpen();
    backends_[0]->Set(2, 0xFF);
    ASSERT_EQ(Send(3126, WriteRead(kBase, kBase + 2, 0x01, 0x0F), 0).status, STATUS_SUCCESS);
    backends_[0]->Set(1, 0x9C);
    Reply r = Send(3124, WriteRead(kBase, kBase + 1, 0x30, 0xFF), 1);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, 1u);
    EXPECT_EQ(r.out[0], 0x9C);
    EXPECT_EQ(backends_[0]->Log(), (std::vector<PortAccess>{W(0, 0x01), R(2, 0xFF), W(2, 0xF0),
                                                            W(2, 0xF0), W(0, 0x30), R(1, 0x9C)}));
}

TEST_F(DispatchTest, GetUSTimerReportsFourBytesOfMicroseconds) {
    BootAndOpen();
    Reply a = Send(2126, {}, 4);
    platform::PlatformSleepMs(5);
    Reply b = Send(2126, {}, 4);
    ASSERT_EQ(a.status, STATUS_SUCCESS);
    EXPECT_EQ(a.bytes, 4u);
    const std::uint32_t elapsed = le::Get32(b.out.data(), 0) - le::Get32(a.out.data(), 0);
    EXPECT_GE(elapsed, 5000u);
    EXPECT_LT(elapsed, 6000u);
}

TEST_F(DispatchTest, FailedReadoutCompletesWithItsErrorAndTheNextStillRuns) {
    BootAndOpen();
    std::vector<std::uint8_t> line(8, 0);
    le::Put16(line.data(), rec::ReadoutLineParams::PixelLength, 4);
    le::Put16(line.data(), rec::ReadoutLineParams::Ccd, 7);  // no such CCD
    Reply bad = Send(2103, line, 8);
    EXPECT_EQ(ErrorCodeOf(bad.status), ErrBadParameter);
    EXPECT_EQ(bad.bytes, 0u);

    le::Put16(line.data(), rec::ReadoutLineParams::Ccd, 0);
    Reply good = Send(2103, line, 8);
    EXPECT_EQ(good.status, STATUS_SUCCESS);
    EXPECT_EQ(good.bytes, 8u);
    // The line ran raised, and the level is back down.
    EXPECT_GE(backends_[0]->RaisedLevelChanges(), 1);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(DispatchTest, ReadoutsFromTwoThreadsNeverOverlap) {
    BootAndOpen();
    std::vector<std::uint8_t> line(8, 0);
    le::Put16(line.data(), rec::ReadoutLineParams::PixelLength, 16);
    int failures[2] = {0, 0};
    auto worker = [&](int index) {
        for (int i = 0; i < 20; ++i) {
            Reply r = Send(2103, line, 32);
            failures[index] += (r.status != STATUS_SUCCESS || r.bytes != 32u) ? 1 : 0;
            // Camera commands interleave with the readouts on the same handle.
            failures[index] += Send(2128, {}, 2).status != STATUS_SUCCESS ? 1 : 0;
        }
    };
    std::thread a(worker, 0);
    std::thread b(worker, 1);
    a.join();
    b.join();
    EXPECT_EQ(failures[0] + failures[1], 0);
    // Every readout raised once and lowered back: raises never nested.
    EXPECT_EQ(backends_[0]->RaisedLevelChanges(), 40);
}

TEST(DispatchTable, EveryServedCommandHasOneEntry) {
    for (std::uint16_t command = 1; command <= 127; ++command) {
        const std::uint32_t function = DriverFunction(command);
        // The libraries serve these themselves.
        if (function == 0 || command == CmdOpenDriver || command == CmdCloseDriver) {
            continue;
        }
        const driver::DispatchEntry* e = driver::FindDispatchEntry(ControlCode(function));
        ASSERT_NE(e, nullptr) << command;
        EXPECT_EQ(e->function, function);
    }
    EXPECT_EQ(driver::FindDispatchEntry(ControlCode(2114)), nullptr);
    EXPECT_EQ(driver::FindDispatchEntry(0x9C4020DC)->form, driver::Form::Readout);
    EXPECT_EQ(driver::FindDispatchEntry(0x9C4030D4)->form, driver::Form::PortWriteRead);
}

TEST(DispatchTable, CcdInfoOutputDependsOnTheRequest) {
    const driver::DispatchEntry& e = *driver::FindDispatchEntry(ControlCode(2111));
    std::uint8_t in[2] = {};
    const std::pair<std::int16_t, std::uint32_t> sizes[] = {{0, 392}, {1, 392}, {2, 22}, {3, 4}};
    for (auto [request, size] : sizes) {
        le::Put16(in, 0, static_cast<std::uint16_t>(request));
        EXPECT_EQ(driver::CheckRequestSizes(e, in, 2, size), STATUS_SUCCESS) << request;
        EXPECT_EQ(driver::CheckRequestSizes(e, in, 2, size - 1), kBadParameter) << request;
    }
    le::Put16(in, 0, 4);  // refused by the routine itself, which writes nothing
    EXPECT_EQ(driver::CheckRequestSizes(e, in, 2, 0), STATUS_SUCCESS);
}

TEST(DispatchTable, TxSerialBytesNeedsItsCountOfBytes) {
    const driver::DispatchEntry& e = *driver::FindDispatchEntry(ControlCode(2119));
    std::uint8_t in[2 + 255] = {};
    le::Put16(in, 0, 255);
    EXPECT_EQ(driver::CheckRequestSizes(e, in, 257, 2), STATUS_SUCCESS);
    EXPECT_EQ(driver::CheckRequestSizes(e, in, 256, 2), kBadParameter);
    le::Put16(in, 0, 0);
    EXPECT_EQ(driver::CheckRequestSizes(e, in, 2, 2), STATUS_SUCCESS);
    EXPECT_EQ(driver::CheckRequestSizes(e, in, 2, 1), kBadParameter);
}

TEST(ByteUtilities, CopyAndClearHonourTheirCounts) {
    std::uint8_t buf[8];
    std::memset(buf, 0x55, sizeof(buf));
    driver::scpy(buf, "abc");
    EXPECT_EQ(std::memcmp(buf, "abc\0", 4), 0);
    EXPECT_EQ(buf[4], 0x55);
    const std::uint8_t src[3] = {1, 2, 3};
    driver::cpy(buf, src, 0);
    EXPECT_EQ(buf[0], 'a');
    driver::cpy(buf, src, 3);
    EXPECT_EQ(buf[2], 3);
    EXPECT_EQ(buf[3], 0);
    driver::clear(buf, -1);
    EXPECT_EQ(buf[0], 1);
    driver::clear(buf, 2);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(buf[1], 0);
    EXPECT_EQ(buf[2], 3);
}

}  // namespace
}  // namespace zeva::test
