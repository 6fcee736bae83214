// Cooler regulation and the freeze of the cooler drive during readouts.
// The command routines SetTemperatureRegulation (5) and
// QueryTemperatureStatus (6) are declared in driver/frame/routines.h.
#pragma once

#include <cstdint>

#include "driver/frame/device_state.h"

namespace zeva::driver {

// TemperatureRegulationParams
inline constexpr int kRegulationOffset = 0;  // u16
inline constexpr int kSetpointOffset = 2;    // u16
inline constexpr int kTemperatureRegulationParamsSize = 4;

// TemperatureStatusResults / TemperatureStatusRecord
inline constexpr int kTempFlagsOffset = 0;
inline constexpr int kTempSetpointOffset = 2;
inline constexpr int kTempPowerOffset = 4;
inline constexpr int kTempReading1Offset = 6;
inline constexpr int kTempReading2Offset = 8;
inline constexpr int kTemperatureStatusResultsSize = 10;
inline constexpr std::uint16_t kTempFrozenFlag = 0x8000;

// Regulation values handled by the driver itself.
inline constexpr std::uint16_t kRegulationFreeze = 3;
inline constexpr std::uint16_t kRegulationRelease = 4;
inline constexpr std::uint16_t kRegulationAutoFreeze = 5;
inline constexpr std::uint16_t kRegulationNoAutoFreeze = 6;

// Initial drive power for a new setpoint, from the current status.
std::uint16_t InitialTEPower(std::uint16_t setpoint, std::uint16_t status_setpoint,
                             std::uint16_t status_power, std::uint16_t reading2);

// Freeze (non-zero) or release (0) the cooler drive.  Only microcontroller
// exchanges: safe at the raised level of a line readout.
NTSTATUS FreezeTEControl(DeviceState* state, int freeze);

}  // namespace zeva::driver
