// The camera's 32-byte EEPROM image, and the serial packet checksum.
#pragma once

#include <cstdint>

#include "driver/device_state.h"

namespace zeva::driver {

// Image offsets.
inline constexpr int kEepromChecksum = 0;      // u16
inline constexpr int kEepromVersion = 2;       // u8, 1 is the only accepted value
inline constexpr int kEepromCameraType = 3;    // u8
inline constexpr int kEepromFlag = 4;          // u8
inline constexpr int kEepromCount = 5;         // u8
inline constexpr int kEepromTrackingWord = 6;  // u16
inline constexpr int kEepromTrackingGain = 8;  // u16 BCD
inline constexpr int kEepromImagingWord = 10;  // u16
inline constexpr int kEepromImagingGain = 12;  // u16 BCD
inline constexpr int kEepromWords = 14;        // u16 x 4
inline constexpr int kEepromText = 22;         // 10 bytes, zero-terminated
inline constexpr int kEepromTextSize = 10;

// Reads the 32 bytes into image (kEepromSize bytes), checks them and, when
// unreadable, blank or corrupt, substitutes the default image (bytes 24..31
// keep what image held).  0, a link error, ErrEepromChecksum or
// ErrEepromVersion; with the last three, image holds a usable image.
NTSTATUS GetEEPROM(DeviceState* state, std::uint32_t camera_type, std::uint8_t* image);
// 0xFFFF minus the sum of bytes 2..31.
std::uint16_t CalculateEEPROMChecksum(const std::uint8_t* image);
// Sum mod 256 of the first Count - 1 bytes of TipTiltSerialRecord.
std::uint8_t CalculateSerialChecksum(DeviceState* state);

}  // namespace zeva::driver
