// CCD information: readout-mode tables, EEPROM values and single-CCD status.
#pragma once

#include <cstdint>

#include "common/records.h"
#include "driver/device_state.h"

namespace zeva::driver {

// The BCD value times n, as BCD, at most 9999.
std::uint16_t bcd_nx(std::uint16_t value, int n);
void make_n_modes(DeviceState* state, std::uint8_t* result, int ccd, int first_mode, int count);
void make_by_n_modes(DeviceState* state, std::uint8_t* result, int first_mode, int count);

}  // namespace zeva::driver
