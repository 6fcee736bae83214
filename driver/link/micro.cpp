// Microcontroller packets: build, send, and read the reply.
#include "driver/link/micro.h"

#include "common/errors.h"
#include "common/le.h"
#include "driver/camera.h"
#include "driver/link/port.h"

namespace zeva::driver {
namespace {

// Largest parameter record: command 11 with 255 serial bytes.
constexpr int kMaxParamsSize = kTxSerialParamsHeader + 255;

std::uint32_t Min32(std::uint32_t a, std::uint32_t b) {
    return a < b ? a : b;
}

std::int64_t Ticks() {
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    return ticks.QuadPart;
}

bool TimedOut(std::int64_t start) {
    return Ticks() - start > kMicroTimeoutTicks;
}

// Size of the parameter record a command reads, or -1 when it takes none.
int ParamsSize(std::uint16_t command, std::uint32_t type, const std::uint8_t* params) {
    switch (command) {
        case MicroStartExposure:
            return kStartExposureParamsSize;
        case MicroEndExposure:
            return IsSingleCcd(type) ? -1 : kEndExposureParamsSize;
        case MicroRegulateTemperature:
            return kRegulateParamsSize;
        case MicroActivateRelay:
            return kRelayParamsSize;
        case MicroPulseOut:
            return kPulseParamsSize;
        case MicroEepromAccess:
            return kEepromAccessParamsSize;
        case MicroMiscControl:
            return kMiscControlParamsSize;
        case MicroFreezeTE:
            return kFreezeParamsSize;
        case MicroTxSerial: {
            if (params == nullptr)
                return kTxSerialParamsHeader;
            const std::int16_t n = le::GetI16(params, 0);
            if (n < 0 || n > 255)
                return -2;
            return kTxSerialParamsHeader + n;
        }
        default:
            return -1;
    }
}

bool KnownCommand(std::uint16_t command) {
    switch (command) {
        case MicroStartExposure:
        case MicroEndExposure:
        case MicroRegulateTemperature:
        case MicroTemperatureStatus:
        case MicroActivateRelay:
        case MicroPulseOut:
        case MicroGetVersion:
        case MicroEepromAccess:
        case MicroMiscControl:
        case MicroGetStatus:
        case MicroTxSerial:
        case MicroCommand12:
        case MicroFreezeTE:
            return true;
        default:
            return false;
    }
}

// Expected data nibbles of a block reply.
int ExpectedBlockNibbles(std::uint16_t command, std::uint32_t type) {
    switch (command) {
        case MicroTemperatureStatus:
            return 10;
        case MicroGetVersion:
            return 4;
        case MicroEepromAccess:
            return 2;
        case MicroGetStatus:
            return IsSingleCcd(type) ? 4 : 6;
        case MicroTxSerial:
            return 2;
        default:
            return 0;
    }
}

bool WaitReady(DeviceState* state, std::int64_t start) {
    while (MicroStat(state) == 0) {
        if (TimedOut(start))
            return false;
    }
    return true;
}

void UnpackStatus(std::uint32_t type, const std::uint8_t* r, std::uint8_t* out) {
    for (int i = 0; i < MicroStatusRecord; ++i) out[i] = 0;
    const std::uint8_t s0 = r[0];
    const std::uint8_t s1 = r[1];
    if (IsSingleCcd(type)) {
        le::Put32(out, 0, s0 & 3u);
        for (int i = 0; i < 4; ++i) le::Put8(out, 16 + i, (s1 >> i) & 1u);
        le::Put32(out, 24, (s0 >> 2) & 7u);
        le::Put32(out, 28, type == kCameraEgret ? 2u : 1u);
        le::Put32(out, 32, (s0 & 0x40) != 0 ? 2u + ((s0 >> 5) & 1u) : 0u);
        return;
    }
    for (int i = 0; i < 4; ++i) le::Put32(out, 4 * i, (s0 >> (2 * i)) & 3u);
    for (int i = 0; i < 4; ++i) le::Put8(out, 16 + i, (s1 >> (4 + i)) & 1u);
    for (int i = 0; i < 3; ++i) le::Put8(out, 20 + i, (s1 >> i) & 1u);
    le::Put8(out, 23, r[2]);
    le::Put32(out, 32, 1);
}

void Unpack(std::uint16_t command, std::uint32_t type, const std::uint8_t* r, std::uint8_t* out) {
    switch (command) {
        case MicroTemperatureStatus:
            le::Put16(out, 0, r[0] & 1u);
            le::Put16(out, 2, static_cast<std::uint16_t>(r[1] * 16));
            le::Put16(out, 4, r[4]);
            le::Put16(out, 6, static_cast<std::uint16_t>(r[2] * 16));
            le::Put16(out, 8, static_cast<std::uint16_t>(r[3] * 16));
            break;
        case MicroGetVersion: {
            const std::uint16_t v = static_cast<std::uint16_t>(r[0] * 256 + r[1]);
            const unsigned family = v >> 12;
            std::uint16_t id = 0;
            if (family == 0 || family == 1 || family == 3 || family == 4) {
                id = static_cast<std::uint16_t>(romMSNtoID[family]);
            }
            le::Put16(out, 0, v & 0x0FFFu);
            le::Put16(out, 2, id);
            break;
        }
        case MicroEepromAccess:
            le::Put8(out, 0, r[0]);
            break;
        case MicroTxSerial:
            le::Put16(out, 0, r[0]);
            break;
        case MicroGetStatus:
            UnpackStatus(type, r, out);
            break;
        default:
            break;
    }
}

}  // namespace

void MicroOut(DeviceState* state, std::uint8_t nibble) {
    CameraOut(state, kCamReg20, nibble);
    CameraOut(state, kCamReg30, state->Reg30Shadow ^ kReg30Toggle);
}

std::uint8_t MicroIn(DeviceState* state, int acknowledge) {
    CameraOut(state, kCamReg30, state->Reg30Shadow | kReg30ReadMicro);
    const std::uint8_t nibble = CameraIn(state, kCamReg30) & 0x0F;
    if (acknowledge != 0)
        CameraOut(state, kCamReg30, state->Reg30Shadow ^ kReg30Toggle);
    return nibble;
}

std::uint8_t MicroStat(DeviceState* state) {
    CameraOut(state, kCamReg30, state->Reg30Shadow | kReg30ReadMicro);
    const std::uint8_t v = CameraIn(state, kCamReg30);
    const bool line = (v & kCameraInFlag) != 0;
    const bool toggle = (state->Reg30Shadow & kReg30Toggle) != 0;
    return line == toggle ? 0x10 : 0;
}

void ForceMicroIdle(DeviceState* state) {
    CameraOut(state, kCamReg30, 0);
    LARGE_INTEGER interval;
    interval.QuadPart = -1500000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

NTSTATUS BuildMicroCommand(DeviceState* state, std::uint16_t command, std::uint32_t type,
                           std::uint8_t* work, std::int16_t* nibble_count) {
    std::uint8_t data[kMaxParamsSize + 1];
    int n = 0;
    const bool dual = IsDualFamily(type);
    switch (command) {
        case MicroStartExposure: {
            const std::uint16_t ccd = le::Get16(work, 0);
            const std::uint32_t word = le::Get32(work, 4);
            const std::uint16_t mode = le::Get16(work, 8);
            const std::uint16_t f10 = le::Get16(work, 10);
            std::uint32_t t = word & 0x00FFFFFFu;
            const std::uint32_t bound = ccd == 1 ? 0xFFFFu : 0xFFFFFFu;
            if (dual && f10 == 1) {
                t = t <= 11 ? 0 : Min32(t - 11, bound);
            } else {
                t = Min32(t, bound);
            }
            std::uint8_t control = (mode >= 1 && mode <= 3) ? static_cast<std::uint8_t>(mode) : 0;
            if (dual) {
                control |= static_cast<std::uint8_t>((f10 & 3u) << 2);
                control |= static_cast<std::uint8_t>((ccd & 1u) << 4);
                control |= static_cast<std::uint8_t>(((word >> 30) & 1u) << 5);
            }
            data[n++] = static_cast<std::uint8_t>(t >> 16);
            data[n++] = static_cast<std::uint8_t>(t >> 8);
            data[n++] = static_cast<std::uint8_t>(t);
            data[n++] = control;
            break;
        }
        case MicroEndExposure:
            if (!IsSingleCcd(type))
                data[n++] = work[0] & 1u;
            break;
        case MicroRegulateTemperature: {
            const std::uint32_t mode = le::Get32(work, 0);
            if (mode > 2)
                return ErrorStatus(ErrBadParameter);
            const std::uint32_t value = le::Get16(work, 4);
            data[n++] = static_cast<std::uint8_t>(mode);
            data[n++] =
                static_cast<std::uint8_t>(mode <= 1 ? Min32(value, 4095) >> 4 : Min32(value, 255));
            data[n++] = static_cast<std::uint8_t>(Min32(le::Get16(work, 6), 255));
            break;
        }
        case MicroActivateRelay: {
            bool scale = false;
            for (int i = 0; i < 4; ++i) scale = scale || le::Get16(work, 2 * i) > 255;
            if (scale) {
                for (int i = 0; i < 4; ++i) {
                    le::Put16(work, 2 * i, static_cast<std::uint16_t>(le::Get16(work, 2 * i) >> 4));
                }
            }
            for (int i = 0; i < 4; ++i) {
                data[n++] = static_cast<std::uint8_t>(Min32(le::Get16(work, 2 * i), 255));
            }
            data[n++] = scale ? 1 : 0;
            break;
        }
        case MicroPulseOut: {
            const std::uint16_t count = le::Get16(work, 0);
            std::uint16_t width = le::Get16(work, 2);
            const std::uint16_t period = le::Get16(work, 4);
            std::uint16_t gap;
            data[n++] = static_cast<std::uint8_t>(Min32(count, 255));
            if (width == 0) {
                gap = static_cast<std::uint16_t>(Min32(period, 7));
            } else {
                width = width <= 9 ? 1 : static_cast<std::uint16_t>(width - 9);
                le::Put16(work, 2, width);
                gap = (period < width || period - width < 38)
                          ? 0
                          : static_cast<std::uint16_t>(period - width - 38);
            }
            data[n++] = static_cast<std::uint8_t>(width >> 8);
            data[n++] = static_cast<std::uint8_t>(width);
            data[n++] = static_cast<std::uint8_t>(gap >> 8);
            data[n++] = static_cast<std::uint8_t>(gap);
            break;
        }
        case MicroEepromAccess:
            data[n++] = static_cast<std::uint8_t>((work[0] & 0x7Fu) | (work[2] == 0 ? 0x80u : 0u));
            data[n++] = work[1];
            break;
        case MicroMiscControl: {
            const std::uint16_t fan = le::Get16(work, 0);
            const std::uint16_t shutter = le::Get16(work, 2);
            const std::uint16_t led = le::Get16(work, 4);
            std::uint8_t b = 0;
            if (type == kCameraFinch) {
                b = fan != 0 ? 0x10 : 0;
            } else if (type != kCameraEgret) {
                b = static_cast<std::uint8_t>((shutter & 3u) | ((led & 3u) << 2) |
                                              (fan != 0 ? 0x10u : 0u));
            }
            data[n++] = b;
            break;
        }
        case MicroTxSerial: {
            const std::int16_t count = le::GetI16(work, 0);
            if (count < 0 || count > 255)
                return ErrorStatus(ErrBadParameter);
            data[n++] = static_cast<std::uint8_t>(count);
            for (int i = 0; i < count; ++i) data[n++] = work[kTxSerialParamsHeader + i];
            break;
        }
        case MicroCommand12:
            data[n++] = 0x01;
            data[n++] = 0x00;
            break;
        case MicroFreezeTE:
            data[n++] =
                static_cast<std::uint8_t>(0x10 + (work[0] != 0 ? 8 : 0) + (work[1] != 0 ? 4 : 0));
            data[n++] = 0x00;
            data[n++] = 0x00;
            break;
        default:
            break;
    }
    std::uint8_t* tx = state->MicroTxBuffer;
    tx[0] = 0xA;
    tx[1] = 0x5;
    tx[2] = static_cast<std::uint8_t>(command);
    tx[3] = command == MicroTxSerial ? 0 : static_cast<std::uint8_t>(n);
    int pos = 4;
    for (int i = 0; i < n; ++i) {
        tx[pos++] = data[i] >> 4;
        tx[pos++] = data[i] & 0x0F;
    }
    *nibble_count = static_cast<std::int16_t>(pos);
    return STATUS_SUCCESS;
}

NTSTATUS SendMicroBlock(DeviceState* state, const std::uint8_t* buffer, std::int16_t count) {
    std::int64_t start = Ticks();
    CameraOut(state, kCamReg30, kReg30StartPacket);
    if (count < 0)
        return STATUS_SUCCESS;
    int i = 0;
    while (i <= count) {
        if (MicroStat(state) != 0) {
            if (i == count)
                return STATUS_SUCCESS;
            if (i == 1)
                CameraOut(state, kCamReg30, state->Reg30Shadow & ~kReg30StartPacket & 0x0F);
            MicroOut(state, buffer[i]);
            ++i;
            start = Ticks();
        } else if (TimedOut(start)) {
            CameraOut(state, kCamReg30, 0);
            return ErrorStatus(ErrTxTimeout);
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS ValGetMicroAck(DeviceState* state) {
    const std::int64_t start = Ticks();
    if (!WaitReady(state, start))
        return ErrorStatus(ErrRxTimeout);
    const std::uint8_t high = MicroIn(state, 1);
    if (!WaitReady(state, start))
        return ErrorStatus(ErrRxTimeout);
    const std::uint8_t low = MicroIn(state, 0);
    switch (high * 16 + low) {
        case kMicroAck:
            return STATUS_SUCCESS;
        case kMicroNak:
            return ErrorStatus(ErrNakReceived);
        case kMicroCan:
            return ErrorStatus(ErrCanReceived);
        default:
            return ErrorStatus(ErrUnknownResponse);
    }
}

NTSTATUS ValGetMicroBlock(DeviceState* state, std::uint16_t command, std::uint32_t type,
                          std::uint8_t* result) {
    const int expected = ExpectedBlockNibbles(command, type);
    std::uint8_t* rx = state->MicroRxBuffer;
    std::int64_t start = Ticks();
    int phase = 0;
    int count = 0;
    int stored = 0;
    int data_nibbles = 0;
    std::uint8_t first = 0;
    std::uint16_t error = 0;
    while (phase < 5 && error == 0) {
        if (!WaitReady(state, start)) {
            error = ErrRxTimeout;
            break;
        }
        switch (phase) {
            case 0: {
                const std::uint8_t n = MicroIn(state, 1);
                if (n == 0xA || n == 0x1) {
                    first = n;
                    phase = 1;
                    count = 1;
                } else {
                    error = ErrUnknownResponse;
                }
                break;
            }
            case 1: {
                const std::uint8_t byte = static_cast<std::uint8_t>(first * 16 + MicroIn(state, 1));
                if (byte == kMicroStartByte) {
                    phase = 2;
                    count = 2;
                    stored = 0;
                } else if (byte == kMicroCan) {
                    error = ErrCanReceived;
                } else if (byte == kMicroNak) {
                    error = ErrNakReceived;
                } else {
                    error = ErrUnknownResponse;
                }
                break;
            }
            case 2: {
                const std::uint8_t n = MicroIn(state, 1);
                rx[stored++] = n;
                ++count;
                if (n == (command & 0x0F) && command < 16) {
                    phase = 3;
                } else {
                    error = ErrUnknownResponse;
                }
                break;
            }
            case 3: {
                const std::uint8_t n = MicroIn(state, 1);
                rx[stored++] = n;
                ++count;
                data_nibbles = 2 * n;
                if (data_nibbles != expected)
                    error = ErrBadLength;
                phase = 4;
                break;
            }
            default: {
                const std::uint8_t n = MicroIn(state, count == data_nibbles + 3 ? 0 : 1);
                if (stored < kMicroRxBufferSize)
                    rx[stored++] = n;
                ++count;
                if (count == data_nibbles + 4)
                    phase = 5;
                break;
            }
        }
        start = Ticks();
    }
    if (error != 0)
        return ErrorStatus(error);
    if (result != nullptr) {
        std::uint8_t bytes[16];
        const int nbytes = data_nibbles / 2;
        for (int k = 0; k < nbytes && k < 16; ++k) {
            bytes[k] = static_cast<std::uint8_t>(rx[2 + 2 * k] * 16 + rx[3 + 2 * k]);
        }
        Unpack(command, type, bytes, result);
    }
    return STATUS_SUCCESS;
}

NTSTATUS ValidateMicroResponse(DeviceState* state, std::uint16_t command, std::uint32_t type,
                               std::uint8_t* result, const std::uint8_t* work) {
    MicroOut(state, 0);
    NTSTATUS status;
    switch (command) {
        case MicroTemperatureStatus:
        case MicroGetVersion:
        case MicroGetStatus:
        case MicroTxSerial:
            status = ValGetMicroBlock(state, command, type, result);
            break;
        case MicroActivateRelay: {
            status = ValGetMicroAck(state);
            bool any = false;
            for (int i = 0; i < 4; ++i) any = any || le::Get16(work, 2 * i) != 0;
            if (status == STATUS_SUCCESS && any)
                RelayClick();
            break;
        }
        case MicroEepromAccess:
            status = work[2] != 0 ? ValGetMicroAck(state)
                                  : ValGetMicroBlock(state, command, type, result);
            break;
        default:
            status = ValGetMicroAck(state);
            break;
    }
    if (status != STATUS_SUCCESS)
        CameraOut(state, kCamReg30, 0);
    return status;
}

NTSTATUS MicroCommand(DeviceState* state, std::uint16_t command, std::uint32_t camera_type,
                      const std::uint8_t* params, std::uint8_t* result) {
    if (!KnownCommand(command))
        return ErrorStatus(ErrBadParameter);
    const int size = ParamsSize(command, camera_type, params);
    if (size == -2 || (size > 0 && params == nullptr))
        return ErrorStatus(ErrBadParameter);
    // The build step rewrites some fields (relay times, pulse width); it works
    // on a copy so the caller's record stays as given.
    std::uint8_t work[kMaxParamsSize];
    for (int i = 0; i < kMaxParamsSize; ++i) work[i] = 0;
    for (int i = 0; i < size; ++i) work[i] = params[i];
    std::int16_t nibbles = 0;
    NTSTATUS status = BuildMicroCommand(state, command, camera_type, work, &nibbles);
    if (status != STATUS_SUCCESS)
        return status;
    status = SendMicroBlock(state, state->MicroTxBuffer, nibbles);
    if (status != STATUS_SUCCESS)
        return status;
    return ValidateMicroResponse(state, command, camera_type, result, work);
}

}  // namespace zeva::driver
