// The camera microcontroller's packet protocol.
//
// Packets travel one nibble at a time through camera register 0x20, each
// confirmed by the toggle handshake on register 0x30.  One exchange: build the
// packet, send it, send a turnaround nibble, then read either a one-byte
// acknowledge or a framed data block unpacked into the caller's record.
// Timeouts count kernel clock ticks, so exchanges work at a raised level too.
#pragma once

#include <cstdint>

#include "driver/device_state.h"

namespace zeva::driver {

// Microcontroller command numbers.
inline constexpr std::uint16_t MicroStartExposure = 0;
inline constexpr std::uint16_t MicroEndExposure = 1;
inline constexpr std::uint16_t MicroRegulateTemperature = 2;
inline constexpr std::uint16_t MicroTemperatureStatus = 3;
inline constexpr std::uint16_t MicroActivateRelay = 4;
inline constexpr std::uint16_t MicroPulseOut = 5;
inline constexpr std::uint16_t MicroGetVersion = 6;
inline constexpr std::uint16_t MicroEepromAccess = 7;
inline constexpr std::uint16_t MicroMiscControl = 8;
inline constexpr std::uint16_t MicroGetStatus = 9;
inline constexpr std::uint16_t MicroTxSerial = 11;
inline constexpr std::uint16_t MicroCommand12 = 12;
inline constexpr std::uint16_t MicroFreezeTE = 130;

// Parameter records (bytes the build step reads at its offsets).
inline constexpr int kStartExposureParamsSize = 12;  // command 0
inline constexpr int kEndExposureParamsSize = 2;     // command 1: bit 0 of byte 0 = CCD
inline constexpr int kRegulateParamsSize = 8;        // command 2: u32 mode, u16 value, u16 power
inline constexpr int kRelayParamsSize = 8;           // command 4: four u16 times
inline constexpr int kPulseParamsSize = 6;           // command 5: u16 count, width, period
inline constexpr int kEepromAccessParamsSize = 3;    // command 7: address, data, write flag
inline constexpr int kMiscControlParamsSize = 6;     // command 8: fan, shutter, led (u16)
inline constexpr int kTxSerialParamsHeader = 2;      // command 11: u16 count, then the bytes
inline constexpr int kFreezeParamsSize = 2;          // command 130: two flag bytes

// Result records.
inline constexpr int TemperatureStatusRecord = 10;  // command 3
inline constexpr int VersionRecord = 4;             // command 6
inline constexpr int EepromByteRecord = 1;          // command 7 read
inline constexpr int MicroStatusRecord = 36;        // command 9
inline constexpr int TxSerialRecord = 2;            // command 11

// Reply bytes.
inline constexpr std::uint8_t kMicroAck = 0x06;
inline constexpr std::uint8_t kMicroNak = 0x15;
inline constexpr std::uint8_t kMicroCan = 0x18;
inline constexpr std::uint8_t kMicroStartByte = 0xA5;

// A wait has timed out when more than this many kernel ticks have passed.
inline constexpr std::int64_t kMicroTimeoutTicks = 5;

// The single entry point: one full exchange.  params / result are the byte
// records of the command (absent for commands that take or give nothing);
// result is written only after a complete, valid reply.  On any failure
// register 0x30 is back at 0.  Command 11 with a count outside 0..255 is
// refused with ErrBadParameter before anything is sent.
NTSTATUS MicroCommand(DeviceState* state, std::uint16_t command, std::uint32_t camera_type,
                      const std::uint8_t* params, std::uint8_t* result);

// Fills MicroTxBuffer with the packet and stores its nibble count.  work is
// the parameter record as the build step rewrites it (commands 4 and 5); it
// may be the caller's record or a copy.  Returns 0 or an error (command 11
// count out of range, missing params).
NTSTATUS BuildMicroCommand(DeviceState* state, std::uint16_t command, std::uint32_t camera_type,
                           std::uint8_t* work, std::int16_t* nibble_count);
// Sends count nibbles of buffer: 0 or ErrTxTimeout.
NTSTATUS SendMicroBlock(DeviceState* state, const std::uint8_t* buffer, std::int16_t count);
// Turnaround nibble, then the reply of the command; 0 or an error.
NTSTATUS ValidateMicroResponse(DeviceState* state, std::uint16_t command, std::uint32_t camera_type,
                               std::uint8_t* result, const std::uint8_t* work);
// Reads an acknowledge byte: 0, 8, 9, 10 or 11.
NTSTATUS ValGetMicroAck(DeviceState* state);
// Reads a data block and unpacks it into result: 0, 8, 9, 10, 11 or 12.
NTSTATUS ValGetMicroBlock(DeviceState* state, std::uint16_t command, std::uint32_t camera_type,
                          std::uint8_t* result);

void MicroOut(DeviceState* state, std::uint8_t nibble);
std::uint8_t MicroIn(DeviceState* state, int acknowledge);
// 0x10 when the micro's handshake line equals the host toggle, else 0.
std::uint8_t MicroStat(DeviceState* state);
// Register 0x30 := 0, then 150 ms.  Passive level only.
void ForceMicroIdle(DeviceState* state);

}  // namespace zeva::driver
