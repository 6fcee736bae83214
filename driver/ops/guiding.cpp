// Thin commands on the camera's microcontroller: relay outputs, the pulse
// output, the serial port and the tip-tilt unit behind it.
#include "driver/ops/guiding.h"

#include "common/errors.h"
#include "common/le.h"
#include "common/records.h"
#include "driver/frame/routines.h"
#include "driver/link/eeprom.h"
#include "driver/link/micro.h"
#include "driver/link/port.h"
#include "driver/ops/exposure.h"

namespace zeva::driver {

NTSTATUS ActivateRelay(DeviceState* state, std::uint8_t* buffer) {
    return MicroCommand(state, MicroActivateRelay, state->CameraType, buffer, nullptr);
}

NTSTATUS PulseOut(DeviceState* state, std::uint8_t* buffer) {
    return MicroCommand(state, MicroPulseOut, state->CameraType, buffer, nullptr);
}

NTSTATUS TxSerialBytes(DeviceState* state, const std::uint8_t* params, std::uint16_t* result) {
    // A packet carries at most 255 bytes; a larger count is refused before
    // anything is sent.
    if (le::Get16(params, 0) > kMaxSerialBytes)
        return ErrorStatus(ErrBadParameter);
    std::uint8_t reply[TxSerialRecord] = {};
    const NTSTATUS status = MicroCommand(state, MicroTxSerial, state->CameraType, params, reply);
    if (status == 0)
        *result = le::Get16(reply, 0);
    return status;
}

NTSTATUS GetSerialStatus(DeviceState* state, std::uint8_t* buffer) {
    std::uint8_t record[MicroStatusRecord] = {};
    const NTSTATUS status = MicroCommand(state, MicroGetStatus, state->CameraType, nullptr, record);
    if (status == 0)
        le::Put16(buffer, 0, record[kStatusHoldFlag]);
    return status;
}

NTSTATUS AOTipTilt(DeviceState* state, std::uint8_t* buffer) {
    const std::uint16_t x = le::Get16(buffer, 0);
    const std::uint16_t y = le::Get16(buffer, 2);
    auto& rec = state->TipTiltSerialRecord;
    rec.Count = kTipTiltPacketSize;
    rec.Bytes[0] = 0xA5;
    rec.Bytes[1] = 0x10;
    rec.Bytes[2] = 0x05;
    rec.Bytes[3] = 0x01;
    rec.Bytes[4] = static_cast<std::uint8_t>(x >> 8);
    rec.Bytes[5] = static_cast<std::uint8_t>(x);
    rec.Bytes[6] = static_cast<std::uint8_t>(y >> 8);
    rec.Bytes[7] = static_cast<std::uint8_t>(y);
    rec.Bytes[8] = CalculateSerialChecksum(state);

    std::uint8_t packet[2 + kTipTiltPacketSize];
    le::Put16(packet, 0, rec.Count);
    for (int i = 0; i < kTipTiltPacketSize; ++i) packet[2 + i] = rec.Bytes[i];
    std::uint8_t reply[TxSerialRecord] = {};
    const NTSTATUS status = MicroCommand(state, MicroTxSerial, state->CameraType, packet, reply);
    if (status != 0)
        return status;
    return le::Get16(reply, 0) == kTipTiltPacketSize ? 0 : ErrorStatus(ErrTipTiltIncomplete);
}

NTSTATUS AOSetFocus(DeviceState* /*state*/, std::uint8_t* /*buffer*/) {
    return 0;
}

NTSTATUS AODelay(DeviceState* state, std::uint8_t* buffer) {
    std::uint32_t remaining = le::Get32(buffer, rec::AODelayParams::Microseconds);
    // The wait holds the device (every other command of it waits) and the
    // processor: a settling delay between tip-tilt moves needs milliseconds,
    // a longer request is refused rather than blocking the camera for minutes.
    if (remaining > kMaxAODelayMicroseconds)
        return ErrorStatus(ErrBadParameter);
    std::uint8_t clock[4];
    (void)GetUSTimer(state, clock);
    std::uint32_t last = le::Get32(clock, 0);
    while (remaining != 0) {
        (void)GetUSTimer(state, clock);
        const std::uint32_t elapsed = le::Get32(clock, 0) - last;
        remaining = remaining > elapsed ? remaining - elapsed : 0;
        last += elapsed;
    }
    return 0;
}

NTSTATUS GetTurboStatus(DeviceState* /*state*/, std::uint8_t* buffer) {
    le::Put16(buffer, 0, 0);
    return 0;
}

}  // namespace zeva::driver
