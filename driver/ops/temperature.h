// Cooler regulation and the freeze of the cooler drive during readouts.
// The command routines SetTemperatureRegulation (5) and
// QueryTemperatureStatus (6) are declared in driver/frame/routines.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/records.h"
#include "driver/device_state.h"
#include "driver/link/cooler.h"

namespace zeva::driver {

// RegulationFlags bit of TemperatureStatusResults set while the drive is frozen.
inline constexpr std::uint16_t kTempFrozenFlag = 0x8000;

// Regulation values handled by the driver itself.
inline constexpr std::uint16_t kRegulationFreeze = 3;
inline constexpr std::uint16_t kRegulationRelease = 4;
inline constexpr std::uint16_t kRegulationAutoFreeze = 5;
inline constexpr std::uint16_t kRegulationNoAutoFreeze = 6;

// Initial drive power for a new setpoint, from the current status.
std::uint16_t InitialTEPower(std::uint16_t setpoint, std::uint16_t status_setpoint,
                             std::uint16_t status_power, std::uint16_t reading2);

}  // namespace zeva::driver
