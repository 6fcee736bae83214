// Camera register access and timing primitives against a recording port.
#include "driver/link/port.h"

#include <gtest/gtest.h>

#include <memory>

#include "common/le.h"
#include "driver/device_state.h"
#include "platform/system.h"
#include "support/recording_backend.h"
#include "support/scripted_micro.h"

namespace zeva::test {
namespace {

using namespace zeva::driver;

class PortTest : public ::testing::Test {
  protected:
    void SetUp() override { state_->RaisedIrql = kInitialRaisedIrql; }

    // Platform time spent by f, in ms (port accesses cost 1 us each).
    template <typename F>
    double ElapsedMs(F f) {
        const std::uint64_t start = platform::ClockNowNs();
        f();
        return static_cast<double>(platform::ClockNowNs() - start) / 1e6;
    }

    PortSession session_;
    RecordingBackend* port_ = &session_.Boot(std::make_unique<RecordingBackend>());
    DeviceState* state_ = session_.state();
};

TEST_F(PortTest, CameraOutWritesStrobePulseAndKeepsShadow) {
    CameraOut(state_, kCamReg30, 5);
    EXPECT_EQ(port_->Log(),
              (std::vector<PortAccess>{W(0, 0x35), W(0, 0xB5), W(0, 0xB5), W(0, 0x35)}));
    EXPECT_EQ(state_->Reg30Shadow, 5);
    EXPECT_EQ(state_->Reg10Shadow, 0);

    port_->ClearLog();
    CameraOut(state_, kCamReg20, 9);
    EXPECT_EQ(port_->Log(),
              (std::vector<PortAccess>{W(0, 0x29), W(0, 0xA9), W(0, 0xA9), W(0, 0x29)}));
    EXPECT_EQ(state_->Reg30Shadow, 5);
    EXPECT_EQ(state_->Reg10Shadow, 0);

    CameraOut(state_, kCamReg10, 4);
    EXPECT_EQ(state_->Reg10Shadow, 4);
    EXPECT_EQ(state_->Reg30Shadow, 5);
}

TEST_F(PortTest, CameraOutDoesNotMaskItsSum) {
    // 0x70 + 0x1F: the sum wraps into bit 7 and the strobe wraps back out.
    CameraOut(state_, 0x70, 0x1F);
    EXPECT_EQ(port_->Writes(),
              (std::vector<PortAccess>{W(0, 0x8F), W(0, 0x0F), W(0, 0x0F), W(0, 0x8F)}));
}

TEST_F(PortTest, CameraInSelectsThenShiftsTheStatus) {
    port_->Script(1, {0xF8, 0x87, 0x07});
    EXPECT_EQ(CameraIn(state_, 0x30), 31);
    EXPECT_EQ(CameraIn(state_, 0x00), 16);
    EXPECT_EQ(CameraIn(state_, 0x00), 0);
    EXPECT_EQ(port_->Log(), (std::vector<PortAccess>{W(0, 0x30), R(1, 0xF8), W(0, 0x00), R(1, 0x87),
                                                     W(0, 0x00), R(1, 0x07)}));
}

TEST_F(PortTest, DisableLPTInterruptsClearsTheControlRegister) {
    DisableLPTInterrupts(state_);
    EXPECT_EQ(port_->Log(), (std::vector<PortAccess>{W(2, 0x00)}));
}

TEST_F(PortTest, SetVddWaitsOnlyWhenSwitchingTheSupplyOn) {
    EXPECT_LT(ElapsedMs([&] { SetVdd(state_, 0); }), 1.0);
    EXPECT_EQ(state_->Reg10Shadow, kReg10VddOff);
    const double on = ElapsedMs([&] { SetVdd(state_, 1); });
    EXPECT_GE(on, 200.0);
    EXPECT_LT(on, 201.0);
    EXPECT_EQ(state_->Reg10Shadow, 0);
    EXPECT_LT(ElapsedMs([&] { SetVdd(state_, 1); }), 1.0);
    EXPECT_LT(ElapsedMs([&] { SetVdd(state_, 0); }), 1.0);
    // The whole nibble is replaced: 0x10 + 4 and 0x10 + 0.
    const std::vector<PortAccess> writes = port_->Writes();
    ASSERT_EQ(writes.size(), 16u);
    EXPECT_EQ(writes[0], W(0, 0x14));
    EXPECT_EQ(writes[4], W(0, 0x10));
}

TEST_F(PortTest, SetVddAtRaisedLevelSettlesWithoutAThreadWait) {
    SetVdd(state_, 0);
    disable(state_);
    // A thread wait here would be a bug check.
    const double on = ElapsedMs([&] { SetVdd(state_, 1); });
    enable(state_);
    EXPECT_GE(on, 200.0);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(PortTest, IODelayReadsTheDataRegisterCountTimes) {
    IODelay(state_, 0);
    IODelay(state_, -3);
    EXPECT_TRUE(port_->Log().empty());
    IODelay(state_, 3);
    EXPECT_EQ(port_->Log(), (std::vector<PortAccess>{R(0, 0), R(0, 0), R(0, 0)}));
}

TEST_F(PortTest, DelaySleepsItsMilliseconds) {
    EXPECT_LT(ElapsedMs([] { Delay(0); }), 0.01);
    const double ms = ElapsedMs([] { Delay(300); });
    EXPECT_GE(ms, 300.0);
    EXPECT_LT(ms, 300.1);
}

TEST_F(PortTest, TickCountCountsFiftyFiveMillisecondUnits) {
    const std::uint32_t start = TickCount();
    platform::PlatformSleepMs(55 * 10);
    const std::uint32_t ticks = TickCount() - start;
    EXPECT_GE(ticks, 9u);
    EXPECT_LE(ticks, 10u);
}

TEST_F(PortTest, GetUSTimerWritesMicrosecondsAndSucceeds) {
    std::uint8_t a[4] = {};
    std::uint8_t b[4] = {};
    EXPECT_EQ(GetUSTimer(state_, a), STATUS_SUCCESS);
    platform::PlatformSleepMs(7);
    EXPECT_EQ(GetUSTimer(state_, b), STATUS_SUCCESS);
    const std::uint32_t us = le::Get32(b, 0) - le::Get32(a, 0);
    EXPECT_GE(us, 7000u);
    EXPECT_LT(us, 7100u);
}

TEST_F(PortTest, DisableRaisesToRaisedIrqlAndEnableRestores) {
    state_->RaisedIrql = 0x0310;  // only the low byte is a level
    disable(state_);
    EXPECT_EQ(KeGetCurrentIrql(), 0x10);
    EXPECT_EQ(state_->SavedIrql, PASSIVE_LEVEL);
    enable(state_);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(port_->RaisedLevelChanges(), 1);
}

TEST_F(PortTest, RelayClickBeepsTwentyMilliseconds) {
    const std::size_t before = platform::BeepLog().size();
    RelayClick();
    const std::vector<platform::BeepRecord> log = platform::BeepLog();
    ASSERT_EQ(log.size(), before + 2);
    EXPECT_EQ(log[before].frequency, 1183u);
    EXPECT_EQ(log[before + 1].frequency, 0u);
    EXPECT_GE(log[before + 1].at_ns - log[before].at_ns, 20000000u);
    EXPECT_LT(log[before + 1].at_ns - log[before].at_ns, 20100000u);
}

}  // namespace
}  // namespace zeva::test
