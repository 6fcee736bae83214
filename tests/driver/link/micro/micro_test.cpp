// The microcontroller protocol against a scripted camera behind the port.
#include "driver/link/micro.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "common/errors.h"
#include "common/le.h"
#include "support/scripted_micro.h"

namespace zeva::driver {
namespace {

using test::MicroFault;
using Nibbles = std::vector<std::uint8_t>;

class MicroTest : public test::ScriptedMicroTest {
  protected:
    void SetUp() override { state->CameraType = 4; }
    Nibbles Built(std::uint16_t command, std::uint32_t type, std::uint8_t* work) {
        std::int16_t count = -1;
        EXPECT_EQ(BuildMicroCommand(state, command, type, work, &count), 0u);
        return Nibbles(state->MicroTxBuffer, state->MicroTxBuffer + count);
    }
    bool Wrote(const Nibbles& bytes) const {
        const auto& w = micro.DataWrites();
        return std::search(w.begin(), w.end(), bytes.begin(), bytes.end()) != w.end();
    }
};

TEST_F(MicroTest, BuildsPacketsOfCommandsWithoutAndWithFixedData) {
    EXPECT_EQ(Built(MicroTemperatureStatus, 4, nullptr), (Nibbles{0xA, 0x5, 0x3, 0x0}));
    EXPECT_EQ(Built(MicroCommand12, 8, nullptr), (Nibbles{0xA, 0x5, 0xC, 0x2, 0x0, 0x1, 0x0, 0x0}));
    std::uint8_t read5[3] = {5, 0x3C, 0};
    EXPECT_EQ(Built(MicroEepromAccess, 4, read5),
              (Nibbles{0xA, 0x5, 0x7, 0x2, 0x8, 0x5, 0x3, 0xC}));
    std::uint8_t freeze[2] = {1, 1};
    EXPECT_EQ(Built(MicroFreezeTE, 9, freeze),
              (Nibbles{0xA, 0x5, 0x82, 0x3, 0x1, 0xC, 0x0, 0x0, 0x0, 0x0}));
}

TEST_F(MicroTest, RelayTimesAboveOneByteAreScaledDown) {
    std::uint8_t relay[8] = {};
    le::Put16(relay, 0, 300);
    EXPECT_EQ(Built(MicroActivateRelay, 4, relay),
              (Nibbles{0xA, 0x5, 0x4, 0x5, 0x1, 0x2, 0, 0, 0, 0, 0, 0, 0x0, 0x1}));
    EXPECT_EQ(le::Get16(relay, 0), 18);
    std::uint8_t none[8] = {};
    EXPECT_EQ(Built(MicroActivateRelay, 4, none),
              (Nibbles{0xA, 0x5, 0x4, 0x5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(MicroTest, PulseWidthAndGapFollowTheCameraTiming) {
    std::uint8_t p[6] = {};
    le::Put16(p, 0, 3);
    le::Put16(p, 2, 100);
    le::Put16(p, 4, 200);
    EXPECT_EQ(Built(MicroPulseOut, 4, p),
              (Nibbles{0xA, 0x5, 0x5, 0x5, 0x0, 0x3, 0, 0, 0x5, 0xB, 0, 0, 0x4, 0x7}));
    le::Put16(p, 2, 100);
    le::Put16(p, 4, 120);
    Nibbles short_period = Built(MicroPulseOut, 4, p);
    EXPECT_EQ(Nibbles(short_period.begin() + 10, short_period.end()), (Nibbles{0, 0, 0, 0}));
    le::Put16(p, 2, 0);
    le::Put16(p, 4, 50);
    Nibbles no_width = Built(MicroPulseOut, 4, p);
    EXPECT_EQ(Nibbles(no_width.begin() + 6, no_width.end()), (Nibbles{0, 0, 0, 0, 0, 0, 0, 7}));
}

TEST_F(MicroTest, ExposureTimeOfDualCcdCameraIsShortenedBySetupTime) {
    std::uint8_t p[12] = {};
    le::Put32(p, 4, 5);
    le::Put16(p, 10, 1);
    Nibbles n = Built(MicroStartExposure, 4, p);
    ASSERT_EQ(n.size(), 12u);
    EXPECT_EQ(Nibbles(n.begin() + 4, n.begin() + 10), (Nibbles{0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(n[10] * 16 + n[11], 0x04);  // bits 2-3 = field at offset 10
    le::Put32(p, 4, 0x01000000u | 0x40000000u | 1011);
    le::Put16(p, 0, 1);
    le::Put16(p, 8, 2);
    n = Built(MicroStartExposure, 4, p);
    EXPECT_EQ(Nibbles(n.begin() + 4, n.begin() + 10), (Nibbles{0, 0, 0, 0x3, 0xE, 0x8}));
    EXPECT_EQ(n[10] * 16 + n[11], 0x02 | 0x04 | 0x10 | 0x20);
    // Single-CCD camera: no setup time, control byte has only the shutter bits.
    n = Built(MicroStartExposure, 6, p);
    EXPECT_EQ(Nibbles(n.begin() + 4, n.begin() + 10), (Nibbles{0, 0, 0, 0x3, 0xF, 0x3}));
    EXPECT_EQ(n[10] * 16 + n[11], 0x02);
}

TEST_F(MicroTest, ControlAndEndExposureBytesDependOnCameraFamily) {
    std::uint8_t misc[6] = {};
    le::Put16(misc, 0, 7);  // fan on
    le::Put16(misc, 2, 6);  // shutter command, low two bits 2
    le::Put16(misc, 4, 1);  // LED
    EXPECT_EQ(Built(MicroMiscControl, 4, misc), (Nibbles{0xA, 0x5, 0x8, 0x1, 0x1, 0x6}));
    EXPECT_EQ(Built(MicroMiscControl, 8, misc), (Nibbles{0xA, 0x5, 0x8, 0x1, 0x1, 0x0}));
    EXPECT_EQ(Built(MicroMiscControl, 6, misc), (Nibbles{0xA, 0x5, 0x8, 0x1, 0x0, 0x0}));
    std::uint8_t end[2] = {3, 0};
    EXPECT_EQ(Built(MicroEndExposure, 4, end), (Nibbles{0xA, 0x5, 0x1, 0x1, 0x0, 0x1}));
    EXPECT_EQ(Built(MicroEndExposure, 6, end), (Nibbles{0xA, 0x5, 0x1, 0x0}));
    std::uint8_t regulate[8] = {};
    le::Put32(regulate, 0, 1);
    le::Put16(regulate, 4, 5000);
    le::Put16(regulate, 6, 300);
    EXPECT_EQ(Built(MicroRegulateTemperature, 4, regulate),
              (Nibbles{0xA, 0x5, 0x2, 0x3, 0x0, 0x1, 0xF, 0xF, 0xF, 0xF}));
    std::uint8_t write[3] = {0x85, 0x3C, 1};
    EXPECT_EQ(Built(MicroEepromAccess, 4, write),
              (Nibbles{0xA, 0x5, 0x7, 0x2, 0x0, 0x5, 0x3, 0xC}));
}

// Commands refused before anything is sent touch no register.
TEST_F(MicroTest, CommandsWithoutMeaningAreRefusedBeforeSending) {
    state->Reg30Shadow = 3;
    EXPECT_EQ(MicroCommand(state, MicroPulseOut, 4, nullptr, nullptr),
              ErrorStatus(ErrBadParameter));  // no parameter record
    EXPECT_EQ(MicroCommand(state, 10, 4, nullptr, nullptr), ErrorStatus(ErrBadParameter));
    std::uint8_t regulate[8] = {};
    le::Put32(regulate, 0, 3);  // no such regulation mode
    EXPECT_EQ(MicroCommand(state, MicroRegulateTemperature, 4, regulate, nullptr),
              ErrorStatus(ErrBadParameter));
    std::vector<std::uint8_t> serial(2 + 300, 0x11);  // more serial bytes than a packet holds
    for (std::uint16_t count : {256, 0xFFFF}) {
        le::Put16(serial.data(), 0, count);
        EXPECT_EQ(MicroCommand(state, MicroTxSerial, 4, serial.data(), nullptr),
                  ErrorStatus(ErrBadParameter));
    }
    EXPECT_TRUE(micro.DataWrites().empty());
    EXPECT_EQ(state->Reg30Shadow, 3);
}

TEST_F(MicroTest, EmptyBlockSendsOnlyTheStartOfPacket) {
    EXPECT_EQ(SendMicroBlock(state, state->MicroTxBuffer, -1), 0u);
    EXPECT_EQ(micro.DataWrites(), (Nibbles{0x34, 0xB4, 0xB4, 0x34}));
    EXPECT_EQ(state->Reg30Shadow, 4);
}

TEST_F(MicroTest, CommandPacketTravelsThroughRegister20AndArrivesWhole) {
    micro.Expect(MicroPulseOut);
    std::uint8_t pulse[6] = {3, 0, 100, 0, 200, 0};
    ASSERT_EQ(MicroCommand(state, MicroPulseOut, 4, pulse, nullptr), 0u);
    ASSERT_EQ(micro.Packets().size(), 1u);
    EXPECT_EQ(micro.Packets()[0].nibbles,
              (Nibbles{0xA, 0x5, 0x5, 0x5, 0x0, 0x3, 0, 0, 0x5, 0xB, 0, 0, 0x4, 0x7}));
    // The caller's record is left as given.
    EXPECT_EQ(le::Get16(pulse, 2), 100);
    // First nibble: register 0x20 + 0xA with the strobe pulse.
    EXPECT_TRUE(Wrote({0x2A, 0xAA, 0xAA, 0x2A}));
}

TEST_F(MicroTest, FreezeCommandNumberGoesOutAsItsLowNibbleInRegister20) {
    micro.Expect(MicroFreezeTE).With({0x18, 0, 0});
    std::uint8_t flags[2] = {1, 0};
    ASSERT_EQ(MicroCommand(state, MicroFreezeTE, 9, flags, nullptr), 0u);
    EXPECT_TRUE(Wrote({0xA2, 0x22, 0x22, 0xA2}));
}

TEST_F(MicroTest, TemperatureBlockIsUnpackedIntoItsRecord) {
    micro.Expect(MicroTemperatureStatus).Reply({0x03, 100, 62, 187, 90});
    std::uint8_t out[TemperatureStatusRecord] = {};
    ASSERT_EQ(MicroCommand(state, MicroTemperatureStatus, 4, nullptr, out), 0u);
    EXPECT_EQ(le::Get16(out, 0), 1);
    EXPECT_EQ(le::Get16(out, 2), 1600);
    EXPECT_EQ(le::Get16(out, 4), 90);
    EXPECT_EQ(le::Get16(out, 6), 992);
    EXPECT_EQ(le::Get16(out, 8), 2992);
}

TEST_F(MicroTest, VersionWordMapsFamilyNibbleToCameraType) {
    std::uint8_t out[VersionRecord] = {};
    auto version = [&](std::uint8_t high, std::uint8_t low) {
        micro.Expect(MicroGetVersion).Reply({high, low});
        EXPECT_EQ(MicroCommand(state, MicroGetVersion, 4, nullptr, out), 0u);
    };
    version(0x21, 0x23);
    EXPECT_EQ(le::Get16(out, 0), 0x123);
    EXPECT_EQ(le::Get16(out, 2), 0);
    version(0x30, 0x45);
    EXPECT_EQ(le::Get16(out, 0), 0x045);
    EXPECT_EQ(le::Get16(out, 2), 8);
    version(0x40, 0x01);
    EXPECT_EQ(le::Get16(out, 2), 9);
    version(0x60, 0x01);
    EXPECT_EQ(le::Get16(out, 2), 0);
}

TEST_F(MicroTest, StatusBlockDiffersBetweenCameraFamilies) {
    micro.Expect(MicroGetStatus).Reply({0b01100110, 0b10100101, 0x37});
    std::uint8_t out[MicroStatusRecord];
    for (auto& b : out) b = 0xEE;
    ASSERT_EQ(MicroCommand(state, MicroGetStatus, 4, nullptr, out), 0u);
    EXPECT_EQ(le::Get32(out, 0), 2u);
    EXPECT_EQ(le::Get32(out, 4), 1u);
    EXPECT_EQ(le::Get32(out, 8), 2u);
    EXPECT_EQ(le::Get32(out, 12), 1u);
    EXPECT_EQ((Nibbles{out[16], out[17], out[18], out[19]}), (Nibbles{0, 1, 0, 1}));
    EXPECT_EQ((Nibbles{out[20], out[21], out[22], out[23]}), (Nibbles{1, 0, 1, 0x37}));
    EXPECT_EQ(le::Get32(out, 24), 0u);
    EXPECT_EQ(le::Get32(out, 32), 1u);
    micro.Expect(MicroGetStatus).Reply({0b01100110, 0b10100101});
    ASSERT_EQ(MicroCommand(state, MicroGetStatus, 6, nullptr, out), 0u);
    EXPECT_EQ(le::Get32(out, 0), 2u);
    EXPECT_EQ(le::Get32(out, 4), 0u);
    EXPECT_EQ((Nibbles{out[16], out[17], out[18], out[19], out[20], out[23]}),
              (Nibbles{1, 0, 1, 0, 0, 0}));
    EXPECT_EQ(le::Get32(out, 24), 1u);
    EXPECT_EQ(le::Get32(out, 28), 2u);
    EXPECT_EQ(le::Get32(out, 32), 3u);
}

TEST_F(MicroTest, RelayClicksOnlyAfterAcknowledgedNonZeroCommand) {
    micro.Expect(MicroActivateRelay).With({0, 40, 0, 0, 0});
    micro.Expect(MicroActivateRelay).With({0, 0, 0, 0, 0});
    micro.Expect(MicroActivateRelay).Fail(MicroFault::Nak);
    std::uint8_t relay[8] = {};
    le::Put16(relay, 2, 40);
    ASSERT_EQ(MicroCommand(state, MicroActivateRelay, 4, relay, nullptr), 0u);
    EXPECT_EQ(test::SpeakerClicks(), 1);
    std::uint8_t off[8] = {};
    ASSERT_EQ(MicroCommand(state, MicroActivateRelay, 4, off, nullptr), 0u);
    EXPECT_EQ(test::SpeakerClicks(), 1);
    EXPECT_EQ(MicroCommand(state, MicroActivateRelay, 4, relay, nullptr),
              ErrorStatus(ErrNakReceived));
    EXPECT_EQ(test::SpeakerClicks(), 1);
}

// A camera that never takes the first nibble times out while sending; one
// that never answers, while receiving an acknowledge or a block.
TEST_F(MicroTest, SilentCameraTimesOutAndLeavesTheRecord) {
    micro.ExpectIgnoredPacket();
    micro.Expect(MicroTemperatureStatus).Fail(MicroFault::NoReply);
    micro.Expect(MicroMiscControl).Fail(MicroFault::NoReply);
    std::uint8_t out[TemperatureStatusRecord] = {9, 9};
    std::uint8_t misc[6] = {};
    const struct {
        std::uint16_t command;
        std::uint8_t* params;
        std::uint16_t error;
    } cases[] = {{MicroTemperatureStatus, nullptr, ErrTxTimeout},
                 {MicroTemperatureStatus, nullptr, ErrRxTimeout},
                 {MicroMiscControl, misc, ErrRxTimeout}};
    for (const auto& c : cases) {
        const std::int64_t start = test::KernelTicks();
        EXPECT_EQ(MicroCommand(state, c.command, 4, c.params, out), ErrorStatus(c.error));
        EXPECT_GT(test::KernelTicks() - start, 5);
        EXPECT_EQ(state->Reg30Shadow, 0);
        EXPECT_EQ(micro.Latched(0x30), 0);
        EXPECT_EQ(out[0], 9);
    }
    EXPECT_EQ(micro.Packets().size(), 2u);  // the ignored one never arrived
}

struct FaultCase {
    MicroFault fault;
    std::uint16_t ack_error;
    std::uint16_t block_error;
};

class MicroFaultTest : public MicroTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(MicroFaultTest, BadReplyGivesItsErrorLeavesRecordAndResetsHandshake) {
    const MicroFault fault = GetParam().fault;
    micro.Expect(MicroMiscControl).Fail(fault);
    micro.Expect(MicroTemperatureStatus).Reply({1, 2, 3, 4, 5}).Fail(fault);
    micro.Expect(MicroTemperatureStatus).Reply({1, 2, 3, 4, 5});
    std::uint8_t misc[6] = {};
    EXPECT_EQ(MicroCommand(state, MicroMiscControl, 4, misc, nullptr),
              ErrorStatus(GetParam().ack_error));
    if (GetParam().ack_error != ErrNone) {
        EXPECT_EQ(micro.Latched(0x30), 0);
        EXPECT_EQ(state->Reg30Shadow, 0);
    }
    std::uint8_t out[TemperatureStatusRecord];
    for (auto& b : out) b = 0x5A;
    EXPECT_EQ(MicroCommand(state, MicroTemperatureStatus, 4, nullptr, out),
              ErrorStatus(GetParam().block_error));
    EXPECT_EQ(micro.Latched(0x30), 0);
    for (auto b : out) EXPECT_EQ(b, 0x5A);
    // The next exchange works.
    EXPECT_EQ(MicroCommand(state, MicroTemperatureStatus, 4, nullptr, out), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, MicroFaultTest,
    ::testing::Values(FaultCase{MicroFault::Nak, ErrNakReceived, ErrNakReceived},
                      FaultCase{MicroFault::Can, ErrCanReceived, ErrCanReceived},
                      FaultCase{MicroFault::Garbage, ErrUnknownResponse, ErrUnknownResponse},
                      FaultCase{MicroFault::WrongEcho, ErrNone, ErrUnknownResponse},
                      FaultCase{MicroFault::BadLength, ErrNone, ErrBadLength}));

TEST_F(MicroTest, UnknownAcknowledgeByteIsUnknownResponse) {
    micro.Expect(MicroMiscControl).Ack(0x07);
    std::uint8_t misc[6] = {};
    EXPECT_EQ(MicroCommand(state, MicroMiscControl, 4, misc, nullptr),
              ErrorStatus(ErrUnknownResponse));
    EXPECT_EQ(micro.Latched(0x30), 0);
}

TEST_F(MicroTest, SerialBytesFollowTheirCountAndReplyGivesBytesSent) {
    micro.Expect(MicroTxSerial).Reply({0xFE});
    std::vector<std::uint8_t> params(2 + 255);
    le::Put16(params.data(), 0, 255);
    for (int i = 0; i < 255; ++i) params[2 + i] = static_cast<std::uint8_t>(i);
    std::uint8_t out[TxSerialRecord] = {};
    ASSERT_EQ(MicroCommand(state, MicroTxSerial, 4, params.data(), out), 0u);
    EXPECT_EQ(le::Get16(out, 0), 0xFE);
    ASSERT_EQ(micro.Packets().size(), 1u);
    const Nibbles& p = micro.Packets()[0].nibbles;
    ASSERT_EQ(p.size(), 516u);
    EXPECT_EQ(p[3], 0);
    EXPECT_EQ(p[4] * 16 + p[5], 255);
    EXPECT_EQ(p[6 + 2 * 200] * 16 + p[7 + 2 * 200], 200);
}

TEST_F(MicroTest, ForceIdleClearsHandshakeAndWaits) {
    state->Reg30Shadow = 7;
    const std::uint64_t start = micro.NowNs();
    ForceMicroIdle(state);
    EXPECT_GE(micro.NowNs() - start, 150'000'000u);
    EXPECT_EQ(state->Reg30Shadow, 0);
    EXPECT_EQ(micro.DataWrites(), (Nibbles{0x30, 0xB0, 0xB0, 0x30}));
}

// The scripted camera itself: a packet nobody scripted and an exchange that
// never came both fail the test, so the tests above cannot pass vacuously.
TEST_F(MicroTest, ScriptedCameraFailsOnUnexpectedPacketsAndLeftovers) {
    std::uint8_t out[TemperatureStatusRecord] = {};
    EXPECT_NONFATAL_FAILURE(EXPECT_EQ(MicroCommand(state, MicroTemperatureStatus, 4, nullptr, out),
                                      ErrorStatus(ErrRxTimeout)),
                            "unexpected packet: command 3");
    micro.Expect(MicroGetVersion).Reply({0x11, 0x23});
    EXPECT_NONFATAL_FAILURE(micro.Verify(), "still expects command 6");
}

}  // namespace
}  // namespace zeva::driver
