// The command routines the dispatcher calls, one per driver function.
//
// Two forms, as the dispatcher table says: two-argument (state, buffer) and
// three-argument (state, params, result), where params and result are the
// same system buffer, so a routine reads what it needs before it writes.
// The dispatcher has already checked that the buffer holds the command's
// records (see the size rules of the dispatcher table); a routine never
// reads or writes beyond them.
//
// Each routine returns 0 or 0xE0000000 + error code.  Routines run at
// passive level in the caller's thread, under the device's CameraLock,
// except ReadoutLine, which runs at RaisedIrql from DriverStartIo.
#pragma once

#include <cstdint>

#include "driver/device_state.h"

namespace zeva::driver {

// --- exposure (driver/ops/exposure.cpp)
NTSTATUS StartExposure(DeviceState* state, std::uint8_t* buffer);  // 1
NTSTATUS EndExposure(DeviceState* state, std::uint8_t* buffer);    // 2
NTSTATUS QueryCommandStatus(DeviceState* state, const std::uint8_t* params,
                            std::uint8_t* result);                        // 12
NTSTATUS MiscellaneousControl(DeviceState* state, std::uint8_t* buffer);  // 13

// --- readout (driver/readout/line.cpp)
NTSTATUS ReadoutLine(DeviceState* state, std::uint8_t* buffer);  // 3, at RaisedIrql
NTSTATUS DumpLines(DeviceState* state, std::uint8_t* buffer);    // 4
NTSTATUS EndReadout(DeviceState* state, std::uint8_t* buffer);   // 25
NTSTATUS ReadOffset(DeviceState* state, const std::uint8_t* params,
                    std::uint8_t* result);  // 16
// ReadoutLine's request checks (CCD, mode, vertical factor, exposure in
// progress): 0 or the error ReadoutLine would return.  params holds the
// 8-byte ReadoutLineParams.
NTSTATUS CheckReadoutLineRequest(DeviceState* state, const std::uint8_t* params);
// Run by the dispatcher at passive level, under CameraLock, before the
// readout request is queued: for an imaging line that passes the checks,
// switches the amplifier supply on and lets it settle, so that ReadoutLine
// at the raised level finds it on and never waits.
void PrepareReadoutLine(DeviceState* state, const std::uint8_t* params);

// --- temperature (driver/ops/temperature.cpp)
NTSTATUS SetTemperatureRegulation(DeviceState* state, std::uint8_t* buffer);  // 5
NTSTATUS QueryTemperatureStatus(DeviceState* state, std::uint8_t* buffer);    // 6

// --- guiding and serial (driver/ops/guiding.cpp)
NTSTATUS ActivateRelay(DeviceState* state, std::uint8_t* buffer);  // 7
NTSTATUS PulseOut(DeviceState* state, std::uint8_t* buffer);       // 8
// 19: params = TxSerialBytesParams (u16 count, then count bytes);
// *result := bytes reported sent.
NTSTATUS TxSerialBytes(DeviceState* state, const std::uint8_t* params, std::uint16_t* result);
NTSTATUS GetSerialStatus(DeviceState* state, std::uint8_t* buffer);  // 20
NTSTATUS AOTipTilt(DeviceState* state, std::uint8_t* buffer);        // 21
NTSTATUS AOSetFocus(DeviceState* state, std::uint8_t* buffer);       // 22
NTSTATUS AODelay(DeviceState* state, std::uint8_t* buffer);          // 23
NTSTATUS GetTurboStatus(DeviceState* state, std::uint8_t* buffer);   // 24

// --- link establishment and CCD information (driver/ops/link.cpp, ccdinfo.cpp)
NTSTATUS EstablishLink(DeviceState* state, std::uint8_t* buffer);  // 9
NTSTATUS GetCCDInfo(DeviceState* state, const std::uint8_t* params,
                    std::uint8_t* result);  // 11

// --- frame (driver/frame/driverinfo.cpp)
NTSTATUS GetDriverInfo(DeviceState* state, const std::uint8_t* params,
                       std::uint8_t* result);  // 10

// GetUSTimer (26) is declared with the port primitives (driver/link/port.h).

}  // namespace zeva::driver
