// The cooler drive through the microcontroller, shared by the temperature
// commands and the readout engine.
#pragma once

#include <cstdint>

#include "driver/device_state.h"

namespace zeva::driver {

// Regulation modes the microcontroller knows.
inline constexpr std::uint32_t kRegulateOff = 0;
inline constexpr std::uint32_t kRegulateSetpoint = 1;
inline constexpr std::uint32_t kRegulateFixedPower = 2;

// Sends a regulation packet: mode, setpoint or power, and the initial power.
NTSTATUS SendRegulate(DeviceState* state, std::uint32_t mode, std::uint16_t value,
                      std::uint16_t power);
// Sends the freeze packet of type-9 cameras.
NTSTATUS SendFreezeTE(DeviceState* state, bool freeze);

// Freeze (non-zero) or release (0) the cooler drive.  Only microcontroller
// exchanges: safe at the raised level of a line readout.
NTSTATUS FreezeTEControl(DeviceState* state, int freeze);

}  // namespace zeva::driver
