// What every program's FITS header (the zeva tool's, the INDI driver's) and
// cooler display say the same way.
#pragma once

#include <cmath>
#include <cstdint>

#include "client/client.h"

namespace zeva::client {

// The counts the driver adds to every pixel (PedestalOf) go under a keyword
// of our own.  Calibration programs read PEDESTAL with opposite signs (one
// adds it, another subtracts it, clipping a bias frame's noise at zero), so
// frames never carry that one: the data are raw, nothing is to be undone.
inline constexpr const char* kPedestalKey = "ZEVAPED";
inline constexpr const char* kPedestalComment = "[adu] driver offset in the data; not subtracted";

// Whether the cooler regulates.  Only then is the setpoint a temperature
// someone set: with regulation off the register holds what it held before,
// 0 (which reads as +50 C) on a camera nobody cooled.
inline bool Regulating(const TemperatureStatus& t) {
    return (t.regulationFlags & 1) != 0;
}

// The cooler drive (0..255) in percent, to one decimal, as every program
// shows it.
inline double CoolerPowerPercent(std::uint16_t power) {
    return std::round(power * 1000.0 / 255.0) / 10.0;
}

}  // namespace zeva::client
