// Camera registers on the parallel port, and the small timing services that
// every camera routine shares.
//
// The camera's interface turns the eight data lines into 4-bit latches: the
// register number goes on data bits 4..6, the value on bits 0..3, and a pulse
// on bit 7 latches it.  The camera answers on status bits 3..7.
#pragma once

#include <cstdint>

#include "driver/device_state.h"

namespace zeva::driver {

// Parallel-port register offsets from PortBase.
inline constexpr ULONG_PTR kDataRegister = 0;
inline constexpr ULONG_PTR kStatusRegister = 1;
inline constexpr ULONG_PTR kControlRegister = 2;
inline constexpr ULONG_PTR kEcrRegister = 0x402;

// Camera registers, already shifted into data bits 4..6.
inline constexpr std::uint8_t kCamReg00 = 0x00;  // clock lines
inline constexpr std::uint8_t kCamReg10 = 0x10;  // bit 2: Vdd supply off; vertical clocks
inline constexpr std::uint8_t kCamReg20 = 0x20;  // microcontroller packet nibble
inline constexpr std::uint8_t kCamReg30 = 0x30;  // microcontroller handshake, horizontal clock
inline constexpr std::uint8_t kCamReg60 = 0x60;  // interface reset, written once by link establishment
inline constexpr std::uint8_t kStrobe = 0x80;    // data bit 7 latches the register

// Register 0x30 bits.
inline constexpr std::uint8_t kReg30Toggle = 0x01;      // host handshake toggle
inline constexpr std::uint8_t kReg30ReadMicro = 0x02;   // status lines carry the micro's nibble
inline constexpr std::uint8_t kReg30StartPacket = 0x04;  // start of packet
inline constexpr std::uint8_t kReg30Clock = 0x08;       // horizontal clock (clocking routines)

// Register 0x10 bit 2: the amplifier (Vdd) supply is off.
inline constexpr std::uint8_t kReg10VddOff = 0x04;

// CameraIn answer: status >> 3.  Bit 4 is the flag line (status bit 7).
inline constexpr std::uint8_t kCameraInFlag = 0x10;

// Latches value into a camera register: writes B, B+0x80, B+0x80, B with
// B = register + value, then updates Reg30Shadow / Reg10Shadow.  Any level.
void CameraOut(DeviceState* state, std::uint8_t reg, std::uint8_t value);
// Writes select to the data register, reads the status register once, returns it >> 3.  Any level.
std::uint8_t CameraIn(DeviceState* state, std::uint8_t select);
// Control register := 0 (interrupts off, data lines driven by the PC).  Any level.
void DisableLPTInterrupts(DeviceState* state);
// Supply on (on != 0) or off.  Switching it on from off waits 200 ms for it to
// settle: with Delay at passive level, or with a processor stall when called
// at a raised level (a thread wait is not allowed there).
void SetVdd(DeviceState* state, int on);
// count > 0: count reads of the data register (one port cycle each).  Any level.
void IODelay(DeviceState* state, std::int16_t count);
// Thread delay of ms milliseconds.  Passive level only.
void Delay(std::int32_t milliseconds);
// System time in 55 ms units (low 32 bits).  Any level.
std::uint32_t TickCount();
// Command 26: system time in microseconds (low 32 bits) into the u32 at out.
NTSTATUS GetUSTimer(DeviceState* state, std::uint8_t* out);
// Raise to the low byte of RaisedIrql, saving the old level in SavedIrql; lower back.
void disable(DeviceState* state);
void enable(DeviceState* state);
// A 20 ms click of the speaker at 1183 Hz.  Any level.
void RelayClick();

}  // namespace zeva::driver
