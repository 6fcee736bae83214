// Exposure control, the fan/shutter/LED fields and the command status words.
#pragma once

#include "driver/device_state.h"

namespace zeva::driver {

inline constexpr std::uint32_t kDeferStart = 0x80000000u;
inline constexpr std::uint16_t kSkipDelay = 0x8000;
inline constexpr std::uint16_t kStartPending = 0x8000;
inline constexpr std::uint32_t kExposing = 2;
inline constexpr std::uint32_t kExposureFinished = 3;

// MicroStatusRecord fields.
inline constexpr int kStatusImagingState = 0;
inline constexpr int kStatusTrackingState = 4;
inline constexpr int kStatusMiscA = 8;
inline constexpr int kStatusMiscB = 12;
inline constexpr int kStatusRelays = 16;  // four flag bytes
inline constexpr int kStatusMisc8 = 20;
inline constexpr int kStatusPulse = 21;
inline constexpr int kStatusHoldFlag = 22;
inline constexpr int kStatusShutter = 23;
inline constexpr int kStatusPulseField = 24;

// Verifies the shutter after a start: 0, ErrShutter or the exchange's error.
NTSTATUS CheckShutter(DeviceState* state);

}  // namespace zeva::driver
