// Relays, guiding pulses, the tip-tilt unit and the serial pass-through.
#pragma once

#include <cstdint>

#include "driver/device_state.h"

namespace zeva::driver {

// The longest AODelay: one second, far above what a tip-tilt unit needs to
// settle between moves.
inline constexpr std::uint32_t kMaxAODelayMicroseconds = 1000000;

inline constexpr std::uint16_t kMaxSerialBytes = 255;
inline constexpr std::uint16_t kTipTiltPacketSize = 9;

}  // namespace zeva::driver
