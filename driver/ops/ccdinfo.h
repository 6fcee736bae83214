// CCD information: readout-mode tables, EEPROM values and single-CCD status.
#pragma once

#include <cstdint>

#include "driver/device_state.h"

namespace zeva::driver {

inline constexpr int kCcdInfoResultSize = 392;
inline constexpr int kCcdInfoFirmware = 0;
inline constexpr int kCcdInfoCameraType = 2;
inline constexpr int kCcdInfoName = 4;
inline constexpr int kCcdInfoNameSize = 64;
inline constexpr int kCcdInfoModeCount = 68;
inline constexpr int kCcdInfoModes = 72;
inline constexpr int kReadoutModeInfoSize = 16;
inline constexpr int kCcdInfoMaxModes = 20;

inline constexpr int kCcdInfoExtResultSize = 22;
inline constexpr int kCcdInfoStatusResultSize = 4;

// The BCD value times n, as BCD, at most 9999.
std::uint16_t bcd_nx(std::uint16_t value, int n);
void make_n_modes(DeviceState* state, std::uint8_t* result, int ccd, int first_mode, int count);
void make_by_n_modes(DeviceState* state, std::uint8_t* result, int first_mode, int count);

}  // namespace zeva::driver
