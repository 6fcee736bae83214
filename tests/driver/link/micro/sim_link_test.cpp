// The camera link against the simulated camera behind the platform's first
// port, on its port primitives and virtual clock.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "common/errors.h"
#include "common/le.h"
#include "driver/frame/routines.h"
#include "driver/link/eeprom.h"
#include "driver/link/micro.h"
#include "driver/ops/temperature.h"
#include "sim/camera.h"
#include "sim/config.h"
#include "support/scripted_micro.h"

namespace zeva::driver {
namespace {

class SimLinkTest : public ::testing::Test {
  protected:
    void Boot(const std::string& entry) {
        auto made = sim::MakeBackend(entry);
        ASSERT_NE(made.backend, nullptr) << made.error;
        camera = static_cast<sim::Camera*>(made.backend.get());
        session.Boot(std::move(made.backend));
        state = session.state();
        state->CameraType = 4;
    }
    test::PortSession session;
    sim::Camera* camera = nullptr;
    DeviceState* state = nullptr;
};

TEST_F(SimLinkTest, VersionIdentifiesTheDualCcdFamily) {
    Boot("sim:gannet");
    std::uint8_t version[VersionRecord] = {};
    ASSERT_EQ(MicroCommand(state, MicroGetVersion, 4, nullptr, version), 0u);
    EXPECT_EQ(le::Get16(version, 2), 4);
    EXPECT_EQ(camera->PacketsTaken(), 1u);
}

TEST_F(SimLinkTest, GoodEepromIsReadAsStored) {
    Boot("sim:gannet");
    std::uint8_t image[kEepromSize] = {};
    ASSERT_EQ(GetEEPROM(state, 4, image), 0u);
    for (int i = 0; i < kEepromSize; ++i) EXPECT_EQ(image[i], camera->Eeprom()[i]) << i;
    EXPECT_EQ(le::Get16(image, 0), CalculateEEPROMChecksum(image));
}

TEST_F(SimLinkTest, UnusableEepromsGiveTheirErrors) {
    struct Case {
        const char* entry;
        std::uint16_t error;
        std::uint8_t type;
    };
    for (const Case& c : {Case{"sim:gannet?eeprom=blank", ErrEepromChecksum, 4},
                          Case{"sim:gannet?eeprom=badsum", ErrEepromChecksum, 4},
                          Case{"sim:gannet?eeprom=version0", ErrEepromVersion, 4}}) {
        Boot(c.entry);
        std::uint8_t image[kEepromSize] = {};
        EXPECT_EQ(GetEEPROM(state, 4, image), ErrorStatus(c.error)) << c.entry;
        EXPECT_EQ(image[2], 1) << c.entry;
        EXPECT_EQ(image[3], c.type) << c.entry;
        EXPECT_EQ(image[22], '-') << c.entry;
    }
    Boot("sim:heron?eeprom=version2");
    std::uint8_t image[kEepromSize] = {};
    EXPECT_EQ(GetEEPROM(state, 4, image), ErrorStatus(ErrEepromVersion));
    EXPECT_EQ(image[2], 1);
    EXPECT_EQ(image[3], camera->Eeprom()[3]);
    EXPECT_EQ(image[22], camera->Eeprom()[22]);
}

// The faulted exchange runs at the raised level of a line readout, where the
// timeouts still count the kernel's ticks.
TEST_F(SimLinkTest, EveryMicroFaultGivesItsErrorAndTheLinkRecovers) {
    struct Case {
        const char* fault;
        std::uint16_t error;
    };
    for (const Case& c : {Case{"silent", ErrTxTimeout}, Case{"noreply", ErrRxTimeout},
                          Case{"nak", ErrNakReceived}, Case{"can", ErrCanReceived},
                          Case{"garbage", ErrUnknownResponse}, Case{"badlength", ErrBadLength}}) {
        Boot(std::string("sim:gannet?micro=") + c.fault);
        std::uint8_t out[TemperatureStatusRecord];
        for (auto& b : out) b = 0x77;
        const std::int64_t start = test::KernelTicks();
        KIRQL old = 0;
        KeRaiseIrql(27, &old);
        const NTSTATUS status = MicroCommand(state, MicroTemperatureStatus, 4, nullptr, out);
        KeLowerIrql(old);
        EXPECT_EQ(status, ErrorStatus(c.error)) << c.fault;
        if (c.error == ErrTxTimeout || c.error == ErrRxTimeout) {
            EXPECT_GT(test::KernelTicks() - start, 5) << c.fault;
        }
        EXPECT_EQ(state->Reg30Shadow, 0) << c.fault;
        EXPECT_EQ(camera->Register(3), 0) << c.fault;
        for (auto b : out) EXPECT_EQ(b, 0x77) << c.fault;
        camera->SetMicroFault(sim::MicroFault::Ok);
        EXPECT_EQ(MicroCommand(state, MicroTemperatureStatus, 4, nullptr, out), 0u) << c.fault;
    }
}

TEST_F(SimLinkTest, UnpluggedCameraTimesOutWhileSending) {
    Boot("sim:gannet?unplugged=1");
    std::uint8_t version[VersionRecord] = {};
    EXPECT_EQ(MicroCommand(state, MicroGetVersion, 4, nullptr, version), ErrorStatus(ErrTxTimeout));
    EXPECT_EQ(camera->Register(3), 0);
}

// Freeze and release as a line readout makes them, at the raised level.
TEST_F(SimLinkTest, RegulationFreezeAndReleaseReachTheCooler) {
    Boot("sim:gannet");
    std::uint8_t params[rec::TemperatureRegulationParams::kSize];
    le::Put16(params, 0, 1);
    le::Put16(params, 2, 2000);
    ASSERT_EQ(SetTemperatureRegulation(state, params), 0u);
    EXPECT_EQ(camera->Cooler().mode, 1u);
    EXPECT_EQ(camera->Cooler().setpoint & 0xFF0, 2000 & 0xFF0);
    std::uint8_t status[rec::TemperatureStatusResults::kSize] = {};
    ASSERT_EQ(QueryTemperatureStatus(state, status), 0u);
    EXPECT_EQ(le::Get16(status, 0), 1);
    EXPECT_EQ(le::Get16(status, 2), 2000 & 0xFF0);
    KIRQL old = 0;
    KeRaiseIrql(27, &old);
    le::Put16(params, 0, 3);
    const NTSTATUS frozen = SetTemperatureRegulation(state, params);
    KeLowerIrql(old);
    ASSERT_EQ(frozen, 0u);
    EXPECT_EQ(state->TEFrozen, 1);
    EXPECT_EQ(camera->Cooler().mode, 2u);
    ASSERT_EQ(QueryTemperatureStatus(state, status), 0u);
    EXPECT_EQ(le::Get16(status, 0) & 0x8000, 0x8000);
    KeRaiseIrql(27, &old);
    le::Put16(params, 0, 4);
    const NTSTATUS released = SetTemperatureRegulation(state, params);
    KeLowerIrql(old);
    ASSERT_EQ(released, 0u);
    EXPECT_EQ(state->TEFrozen, 0);
    EXPECT_EQ(camera->Cooler().mode, 1u);
    EXPECT_EQ(camera->Cooler().setpoint & 0xFF0, 2000 & 0xFF0);
}

TEST_F(SimLinkTest, RelayCommandClicksWhenARelayIsSwitched) {
    Boot("sim:gannet");
    std::uint8_t relay[kRelayParamsSize] = {};
    le::Put16(relay, 0, 300);
    ASSERT_EQ(MicroCommand(state, MicroActivateRelay, 4, relay, nullptr), 0u);
    EXPECT_EQ(test::SpeakerClicks(), 1);
    EXPECT_GT(camera->RelayRemainingNs(0), 0u);
}

}  // namespace
}  // namespace zeva::driver
