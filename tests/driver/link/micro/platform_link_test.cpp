// The camera link on the platform's port primitives and virtual clock, with
// the simulated camera behind the first port.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>

#include "common/errors.h"
#include "common/le.h"
#include "driver/frame/routines.h"
#include "driver/link/micro.h"
#include "driver/ops/temperature.h"
#include "platform/system.h"
#include "sim/camera.h"
#include "sim/config.h"

namespace zeva::driver {
namespace {

class PlatformLinkTest : public ::testing::Test {
  protected:
    void Boot(const std::string& entry) {
        auto result = sim::MakeBackend(entry);
        ASSERT_NE(result.backend, nullptr) << result.error;
        camera = static_cast<sim::Camera*>(result.backend.get());
        platform::SystemConfig config;
        config.clock = platform::ClockMode::Virtual;
        platform::PortConfig port;
        port.entry = entry;
        port.backend = std::move(result.backend);
        config.ports.push_back(std::move(port));
        ASSERT_EQ(platform::BootSystem(std::move(config)), STATUS_SUCCESS);
        state = std::make_unique<DeviceState>();
        state->PortBase = platform::DefaultPortBase(0);
        state->CameraType = 4;
    }
    void TearDown() override {
        if (platform::SystemRunning())
            platform::ShutdownSystem();
    }
    sim::Camera* camera = nullptr;
    std::unique_ptr<DeviceState> state;
};

TEST_F(PlatformLinkTest, ExchangesWorkAtTheReadoutLevel) {
    Boot("sim:gannet");
    std::uint8_t params[rec::TemperatureRegulationParams::kSize];
    le::Put16(params, 0, 1);
    le::Put16(params, 2, 2000);
    ASSERT_EQ(SetTemperatureRegulation(state.get(), params), 0u);
    KIRQL old = 0;
    KeRaiseIrql(27, &old);
    const NTSTATUS frozen = FreezeTEControl(state.get(), 1);
    const NTSTATUS released = FreezeTEControl(state.get(), 0);
    KeLowerIrql(old);
    EXPECT_EQ(frozen, 0u);
    EXPECT_EQ(released, 0u);
    EXPECT_EQ(camera->Cooler().mode, 1u);
}

TEST_F(PlatformLinkTest, SilentCameraTimesOutAtTheReadoutLevel) {
    Boot("sim:gannet?micro=noreply");
    std::uint8_t out[TemperatureStatusRecord] = {};
    KIRQL old = 0;
    KeRaiseIrql(27, &old);
    const NTSTATUS status = MicroCommand(state.get(), MicroTemperatureStatus, 4, nullptr, out);
    KeLowerIrql(old);
    EXPECT_EQ(status, ErrorStatus(ErrRxTimeout));
    EXPECT_EQ(camera->Register(3), 0);
}

}  // namespace
}  // namespace zeva::driver
