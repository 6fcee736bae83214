#include "driver/ops/temperature.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "common/errors.h"
#include "common/le.h"
#include "driver/frame/routines.h"
#include "driver/link/micro.h"
#include "support/scripted_micro.h"

namespace zeva::driver {
namespace {

using test::MicroFault;
using Bytes = std::vector<std::uint8_t>;

class TemperatureTest : public test::ScriptedMicroTest {
  protected:
    void SetUp() override { state->CameraType = 4; }
    NTSTATUS Regulate(std::uint16_t regulation, std::uint16_t setpoint) {
        std::uint8_t params[rec::TemperatureRegulationParams::kSize];
        le::Put16(params, 0, regulation);
        le::Put16(params, 2, setpoint);
        return SetTemperatureRegulation(state, params);
    }
    // The camera's status block: flags, setpoint / 16, readings 1 and 2 / 16, power.
    void ExpectStatus(Bytes reply) { micro.Expect(MicroTemperatureStatus).Reply(std::move(reply)); }
    // A regulation packet: mode, setpoint / 16 or power, initial power.
    void ExpectRegulate(Bytes data) {
        micro.Expect(MicroRegulateTemperature).With(std::move(data));
    }
};

TEST(InitialTEPower, FollowsTheWorkedExamples) {
    EXPECT_EQ(InitialTEPower(2000, 2000, 77, 2400), 77);
    EXPECT_EQ(InitialTEPower(2000, 1600, 77, 2400), 132);
    EXPECT_EQ(InitialTEPower(1000, 1600, 77, 3000), 1880);
    EXPECT_EQ(InitialTEPower(2015, 2000, 77, 100), 77);
    EXPECT_NE(InitialTEPower(2016, 2000, 77, 2400), 77);
}

TEST_F(TemperatureTest, UnchangedSetpointKeepsTheCurrentDrive) {
    ExpectStatus({1, 125, 60, 150, 77});  // setpoint 2000
    ExpectRegulate({1, 125, 77});
    ASSERT_EQ(Regulate(1, 2000), 0u);
    // Only the low four bits differ: still the same setpoint.
    ExpectStatus({1, 125, 60, 150, 77});
    ExpectRegulate({0, 125, 77});
    ASSERT_EQ(Regulate(0, 2015), 0u);
}

TEST_F(TemperatureTest, NewSetpointStartsFromComputedDrive) {
    ExpectStatus({1, 100, 60, 150, 77});  // setpoint 1600, Reading2 2400
    ExpectRegulate({1, 125, 132});
    ASSERT_EQ(Regulate(1, 2000), 0u);
    ExpectStatus({1, 100, 60, 187, 77});  // Reading2 2992: the sum wraps, drive clamps
    ExpectRegulate({1, 62, 255});
    ASSERT_EQ(Regulate(1, 1000), 0u);
}

TEST_F(TemperatureTest, FixedPowerModeSendsThePower) {
    ExpectStatus({1, 100, 60, 150, 77});
    ExpectRegulate({2, 255, 255});
    ASSERT_EQ(Regulate(2, 300), 0u);
}

TEST_F(TemperatureTest, StatusFailureIsReturnedAndNothingIsSet) {
    micro.Expect(MicroTemperatureStatus).Fail(MicroFault::Can);
    EXPECT_EQ(Regulate(1, 2000), ErrorStatus(ErrCanReceived));
    EXPECT_EQ(micro.Packets().size(), 1u);
    EXPECT_EQ(state->Reg30Shadow, 0);
}

// Meaningless values are refused, the automatic freeze is only a flag, and
// cameras without a freeze ignore it: nothing reaches the camera.
TEST_F(TemperatureTest, RefusedOrLocalSettingsSendNothing) {
    state->Reg30Shadow = 3;
    EXPECT_EQ(Regulate(7, 2000), ErrorStatus(ErrBadParameter));
    EXPECT_EQ(Regulate(0xFFFF, 2000), ErrorStatus(ErrBadParameter));
    EXPECT_EQ(Regulate(5, 0), 0u);
    EXPECT_EQ(state->FreezeTEDuringReadout, 1);
    EXPECT_EQ(Regulate(6, 0), 0u);
    EXPECT_EQ(state->FreezeTEDuringReadout, 0);
    state->CameraType = 6;
    EXPECT_EQ(FreezeTEControl(state, 1), 0u);
    EXPECT_EQ(state->TEFrozen, 0);
    EXPECT_TRUE(micro.DataWrites().empty());
    EXPECT_EQ(state->Reg30Shadow, 3);
}

// Freeze and release run inside line readouts: at the raised level, where a
// thread wait would stop the system.
TEST_F(TemperatureTest, FreezeHoldsPowerAndReleaseRestoresSetpoint) {
    ExpectStatus({1, 0x64, 60, 150, 90});  // setpoint 0x0640
    ExpectRegulate({2, 90, 90});
    ExpectRegulate({1, 0x64, 90});
    KIRQL old = 0;
    KeRaiseIrql(27, &old);
    ASSERT_EQ(FreezeTEControl(state, 1), 0u);
    EXPECT_EQ(state->TEFrozen, 1);
    EXPECT_EQ(state->FrozenSetpoint, 0x0640);
    EXPECT_EQ(state->FrozenPower, 90);
    ASSERT_EQ(FreezeTEControl(state, 1), 0u);  // freezing again sends nothing
    EXPECT_EQ(micro.Packets().size(), 2u);
    ASSERT_EQ(FreezeTEControl(state, 0), 0u);
    EXPECT_EQ(state->TEFrozen, 0);
    ASSERT_EQ(FreezeTEControl(state, 0), 0u);
    KeLowerIrql(old);
    EXPECT_EQ(micro.Packets().size(), 3u);
}

TEST_F(TemperatureTest, FreezeOfUnregulatedCoolerDoesNothing) {
    ExpectStatus({0, 0x64, 60, 150, 90});
    ASSERT_EQ(FreezeTEControl(state, 1), 0u);
    EXPECT_EQ(state->TEFrozen, 0);
    EXPECT_EQ(micro.Packets().size(), 1u);
}

TEST_F(TemperatureTest, FreezeCameraUsesItsFreezeCommandAndFollowsTheAcknowledge) {
    state->CameraType = 9;
    micro.Expect(MicroFreezeTE).With({0x18, 0, 0}).Fail(MicroFault::Nak);
    micro.Expect(MicroFreezeTE).With({0x18, 0, 0});
    micro.Expect(MicroFreezeTE).With({0x10, 0, 0});
    EXPECT_EQ(FreezeTEControl(state, 1), ErrorStatus(ErrNakReceived));
    EXPECT_EQ(state->TEFrozen, 0);
    ASSERT_EQ(FreezeTEControl(state, 1), 0u);
    EXPECT_EQ(state->TEFrozen, 1);
    ASSERT_EQ(FreezeTEControl(state, 0), 0u);
    EXPECT_EQ(state->TEFrozen, 0);
}

TEST_F(TemperatureTest, FreezeAndReleaseCommandsReportSuccessEvenWhenTheExchangeFails) {
    micro.Expect(MicroTemperatureStatus).Fail(MicroFault::NoReply);
    EXPECT_EQ(Regulate(3, 0), 0u);
    EXPECT_EQ(state->TEFrozen, 0);
    ExpectStatus({1, 0x64, 60, 150, 90});
    ExpectRegulate({2, 90, 90});
    EXPECT_EQ(Regulate(3, 0), 0u);
    EXPECT_EQ(state->TEFrozen, 1);
    micro.Expect(MicroRegulateTemperature).Fail(MicroFault::Nak);
    EXPECT_EQ(Regulate(4, 0), 0u);
    EXPECT_EQ(state->TEFrozen, 1);
    EXPECT_EQ(state->Reg30Shadow, 0);
}

TEST_F(TemperatureTest, StatusWhileFrozenCarriesTheFrozenFlag) {
    ExpectStatus({1, 0x64, 62, 187, 90});
    ExpectRegulate({2, 90, 90});
    ExpectStatus({1, 0x64, 62, 187, 90});
    ASSERT_EQ(FreezeTEControl(state, 1), 0u);
    std::uint8_t result[rec::TemperatureStatusResults::kSize];
    ASSERT_EQ(QueryTemperatureStatus(state, result), 0u);
    EXPECT_EQ(le::Get16(result, 0), 0x8001);
    EXPECT_EQ(le::Get16(result, 2), 0x0640);
    EXPECT_EQ(le::Get16(result, 4), 90);
    EXPECT_EQ(le::Get16(result, 6), 992);
    EXPECT_EQ(le::Get16(result, 8), 2992);
}

TEST_F(TemperatureTest, FailedStatusGivesZerosWithTheFrozenFlag) {
    micro.Expect(MicroTemperatureStatus).Reply({1, 2, 3, 4, 5}).Fail(MicroFault::BadLength);
    ExpectStatus({0xFF, 125, 0, 150, 77});
    std::uint8_t result[rec::TemperatureStatusResults::kSize];
    for (auto& b : result) b = 0xAB;
    state->TEFrozen = 1;
    EXPECT_EQ(QueryTemperatureStatus(state, result), ErrorStatus(ErrBadLength));
    EXPECT_EQ(le::Get16(result, 0), 0x8000);
    for (std::size_t i = 2; i < rec::TemperatureStatusResults::kSize; ++i)
        EXPECT_EQ(result[i], 0) << i;
    state->TEFrozen = 0;
    ASSERT_EQ(QueryTemperatureStatus(state, result), 0u);
    EXPECT_EQ(le::Get16(result, 0), 1);
}

}  // namespace
}  // namespace zeva::driver
