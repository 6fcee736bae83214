#include "driver/link/micro/sim_port.h"

#include "driver/link/port.h"
#include "platform/system.h"

namespace zeva::test {

SimPort g_sim;

namespace {

class Host : public zeva::platform::PortHost {
  public:
    std::uint64_t NowNs() const override { return zeva::platform::ClockNowNs(); }
};

Host g_host;

void Write(std::uint8_t value) {
    g_sim.backend->Attach(&g_host);
    g_sim.backend->Write(zeva::platform::kPortData, value);
}

}  // namespace

std::int64_t SimTicks() {
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    return ticks.QuadPart;
}

}  // namespace zeva::test

namespace zeva::driver {

void CameraOut(DeviceState* state, std::uint8_t reg, std::uint8_t value) {
    const std::uint8_t b = static_cast<std::uint8_t>(reg + value);
    test::Write(b);
    test::Write(static_cast<std::uint8_t>(b + 0x80));
    test::Write(static_cast<std::uint8_t>(b + 0x80));
    test::Write(b);
    if (reg == kCamReg30) {
        state->Reg30Shadow = value;
    } else if (reg == kCamReg10) {
        state->Reg10Shadow = value;
    }
}

std::uint8_t CameraIn(DeviceState*, std::uint8_t select) {
    test::Write(select);
    return static_cast<std::uint8_t>(test::g_sim.backend->Read(zeva::platform::kPortStatus) >> 3);
}

void RelayClick() {
    ++test::g_sim.relay_clicks;
}

}  // namespace zeva::driver
