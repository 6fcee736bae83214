#include "driver/ops/temperature.h"

#include <gtest/gtest.h>

#include <vector>

#include "common/errors.h"
#include "common/le.h"
#include "driver/frame/routines.h"
#include "driver/link/micro.h"
#include "driver/link/micro/fake_camera.h"

namespace zeva::driver {
namespace {

using test::MicroFault;
using Bytes = std::vector<int>;

class TemperatureTest : public ::testing::Test {
  protected:
    void SetUp() override {
        test::g_camera = &camera;
        state = test::NewState();
        state->CameraType = 4;
    }
    // Data bytes of packet i as the camera received them.
    Bytes Sent(std::size_t i) {
        Bytes out;
        const auto& p = camera.packets.at(i);
        out.push_back(p[2]);
        for (std::size_t k = 4; k + 1 < p.size(); k += 2) out.push_back(p[k] * 16 + p[k + 1]);
        return out;
    }
    NTSTATUS Regulate(std::uint16_t regulation, std::uint16_t setpoint) {
        std::uint8_t params[rec::TemperatureRegulationParams::kSize];
        le::Put16(params, 0, regulation);
        le::Put16(params, 2, setpoint);
        return SetTemperatureRegulation(state, params);
    }
    void StatusReply(int flags, int setpoint_byte, int reading1_byte, int reading2_byte,
                     int power) {
        camera.temperature[0] = static_cast<std::uint8_t>(flags);
        camera.temperature[1] = static_cast<std::uint8_t>(setpoint_byte);
        camera.temperature[2] = static_cast<std::uint8_t>(reading1_byte);
        camera.temperature[3] = static_cast<std::uint8_t>(reading2_byte);
        camera.temperature[4] = static_cast<std::uint8_t>(power);
    }
    test::FakeCamera camera;
    DeviceState* state = nullptr;
};

TEST(InitialTEPower, FollowsTheWorkedExamples) {
    EXPECT_EQ(InitialTEPower(2000, 2000, 77, 2400), 77);
    EXPECT_EQ(InitialTEPower(2000, 1600, 77, 2400), 132);
    EXPECT_EQ(InitialTEPower(1000, 1600, 77, 3000), 1880);
    EXPECT_EQ(InitialTEPower(2015, 2000, 77, 100), 77);
    EXPECT_NE(InitialTEPower(2016, 2000, 77, 2400), 77);
}

TEST_F(TemperatureTest, UnchangedSetpointKeepsTheCurrentDrive) {
    StatusReply(1, 125, 60, 150, 77);  // setpoint 2000
    ASSERT_EQ(Regulate(1, 2000), 0u);
    ASSERT_EQ(camera.packets.size(), 2u);
    EXPECT_EQ(Sent(0), (Bytes{3}));
    EXPECT_EQ(Sent(1), (Bytes{2, 1, 125, 77}));
    // Only the low four bits differ: still the same setpoint.
    ASSERT_EQ(Regulate(0, 2015), 0u);
    EXPECT_EQ(Sent(3), (Bytes{2, 0, 125, 77}));
}

TEST_F(TemperatureTest, NewSetpointStartsFromComputedDrive) {
    StatusReply(1, 100, 60, 150, 77);  // setpoint 1600, Reading2 2400
    ASSERT_EQ(Regulate(1, 2000), 0u);
    EXPECT_EQ(Sent(1), (Bytes{2, 1, 125, 132}));
    StatusReply(1, 100, 60, 187, 77);  // Reading2 2992: the sum wraps, drive clamps
    ASSERT_EQ(Regulate(1, 1000), 0u);
    EXPECT_EQ(Sent(3), (Bytes{2, 1, 62, 255}));
}

TEST_F(TemperatureTest, FixedPowerModeSendsThePower) {
    StatusReply(1, 100, 60, 150, 77);
    ASSERT_EQ(Regulate(2, 300), 0u);
    EXPECT_EQ(Sent(1)[0], 2);
    EXPECT_EQ(Sent(1)[1], 2);
    EXPECT_EQ(Sent(1)[2], 255);
}

TEST_F(TemperatureTest, StatusFailureIsReturnedAndNothingIsSet) {
    camera.fault = MicroFault::Can;
    EXPECT_EQ(Regulate(1, 2000), ErrorStatus(ErrCanReceived));
    EXPECT_EQ(camera.packets.size(), 1u);
    EXPECT_EQ(state->Reg30Shadow, 0);
}

TEST_F(TemperatureTest, RegulationValuesWithoutMeaningAreRefused) {
    state->Reg30Shadow = 3;
    EXPECT_EQ(Regulate(7, 2000), ErrorStatus(ErrBadParameter));
    EXPECT_EQ(Regulate(0xFFFF, 2000), ErrorStatus(ErrBadParameter));
    EXPECT_TRUE(camera.data_writes.empty());
    EXPECT_EQ(state->Reg30Shadow, 3);
}

TEST_F(TemperatureTest, AutomaticFreezeIsOnlyAFlag) {
    EXPECT_EQ(Regulate(5, 0), 0u);
    EXPECT_EQ(state->FreezeTEDuringReadout, 1);
    EXPECT_EQ(Regulate(6, 0), 0u);
    EXPECT_EQ(state->FreezeTEDuringReadout, 0);
    EXPECT_TRUE(camera.data_writes.empty());
}

TEST_F(TemperatureTest, FreezeHoldsPowerAndReleaseRestoresSetpoint) {
    StatusReply(1, 0x64, 60, 150, 90);  // setpoint 0x0640
    ASSERT_EQ(FreezeTEControl(state, 1), 0u);
    EXPECT_EQ(state->TEFrozen, 1);
    EXPECT_EQ(state->FrozenSetpoint, 0x0640);
    EXPECT_EQ(state->FrozenPower, 90);
    ASSERT_EQ(camera.packets.size(), 2u);
    EXPECT_EQ(Sent(1), (Bytes{2, 2, 90, 90}));
    // Freezing again does nothing.
    ASSERT_EQ(FreezeTEControl(state, 1), 0u);
    EXPECT_EQ(camera.packets.size(), 2u);
    ASSERT_EQ(FreezeTEControl(state, 0), 0u);
    EXPECT_EQ(state->TEFrozen, 0);
    EXPECT_EQ(Sent(2), (Bytes{2, 1, 0x64, 90}));
    ASSERT_EQ(FreezeTEControl(state, 0), 0u);
    EXPECT_EQ(camera.packets.size(), 3u);
    EXPECT_EQ(camera.thread_waits, 0);  // usable inside a raised-level readout
}

TEST_F(TemperatureTest, FreezeOfUnregulatedCoolerDoesNothing) {
    StatusReply(0, 0x64, 60, 150, 90);
    ASSERT_EQ(FreezeTEControl(state, 1), 0u);
    EXPECT_EQ(state->TEFrozen, 0);
    EXPECT_EQ(camera.packets.size(), 1u);
}

TEST_F(TemperatureTest, FreezeCameraUsesItsFreezeCommandAndFollowsTheAcknowledge) {
    state->CameraType = 9;
    camera.fault = MicroFault::Nak;
    EXPECT_EQ(FreezeTEControl(state, 1), ErrorStatus(ErrNakReceived));
    EXPECT_EQ(state->TEFrozen, 0);
    camera.fault = MicroFault::None;
    ASSERT_EQ(FreezeTEControl(state, 1), 0u);
    EXPECT_EQ(state->TEFrozen, 1);
    EXPECT_EQ(Sent(1), (Bytes{2, 0x18, 0, 0}));
    ASSERT_EQ(FreezeTEControl(state, 0), 0u);
    EXPECT_EQ(state->TEFrozen, 0);
    EXPECT_EQ(Sent(2), (Bytes{2, 0x10, 0, 0}));
}

TEST_F(TemperatureTest, CamerasWithoutFreezeIgnoreIt) {
    state->CameraType = 6;
    EXPECT_EQ(FreezeTEControl(state, 1), 0u);
    EXPECT_EQ(state->TEFrozen, 0);
    EXPECT_TRUE(camera.data_writes.empty());
}

TEST_F(TemperatureTest, FreezeAndReleaseCommandsReportSuccessEvenWhenTheExchangeFails) {
    StatusReply(1, 0x64, 60, 150, 90);
    camera.fault = MicroFault::NoReply;
    EXPECT_EQ(Regulate(3, 0), 0u);
    EXPECT_EQ(state->TEFrozen, 0);
    camera.fault = MicroFault::None;
    EXPECT_EQ(Regulate(3, 0), 0u);
    EXPECT_EQ(state->TEFrozen, 1);
    camera.fault = MicroFault::Nak;
    EXPECT_EQ(Regulate(4, 0), 0u);
    EXPECT_EQ(state->TEFrozen, 1);
    EXPECT_EQ(state->Reg30Shadow, 0);
}

TEST_F(TemperatureTest, StatusWhileFrozenCarriesTheFrozenFlag) {
    StatusReply(1, 0x64, 62, 187, 90);
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
    std::uint8_t result[rec::TemperatureStatusResults::kSize];
    for (auto& b : result) b = 0xAB;
    state->TEFrozen = 1;
    camera.fault = MicroFault::BadLength;
    EXPECT_EQ(QueryTemperatureStatus(state, result), ErrorStatus(ErrBadLength));
    EXPECT_EQ(le::Get16(result, 0), 0x8000);
    for (std::size_t i = 2; i < rec::TemperatureStatusResults::kSize; ++i)
        EXPECT_EQ(result[i], 0) << i;
    state->TEFrozen = 0;
    camera.fault = MicroFault::None;
    camera.temperature[0] = 0xFF;
    ASSERT_EQ(QueryTemperatureStatus(state, result), 0u);
    EXPECT_EQ(le::Get16(result, 0), 1);
}

}  // namespace
}  // namespace zeva::driver
