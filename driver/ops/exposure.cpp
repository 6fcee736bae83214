// Exposures: the driver clears the CCD and sends the start command; the camera
// times the exposure; the end command is followed by a dump of the rows above
// the image.  Also the misc fields and the per-command status words.
#include "driver/ops/exposure.h"

#include "common/errors.h"
#include "common/le.h"
#include "driver/camera.h"
#include "driver/frame/routines.h"
#include "driver/link/micro.h"
#include "driver/link/port.h"
#include "driver/readout/readout.h"

namespace zeva::driver {
namespace {

constexpr std::uint32_t kTrackingClearTicks = 6;
constexpr std::int32_t kShutterOpenWaitMs = 300;
constexpr std::int32_t kShutterClosedWaitMs = 424;
constexpr std::int32_t kShutterCommand3WaitMs = 3000;
constexpr std::uint8_t kSingleCcdStartMode = 4;

NTSTATUS SendMisc(DeviceState* state) {
    std::uint8_t misc[kMiscControlParamsSize];
    le::Put16(misc, 0, state->MiscFan);
    le::Put16(misc, 2, state->MiscShutter);
    le::Put16(misc, 4, state->MiscLed);
    return MicroCommand(state, MicroMiscControl, state->CameraType, misc, nullptr);
}

std::uint16_t ExposureWord(const DeviceState* state) {
    return static_cast<std::uint16_t>(state->ExposureActive[1] * 4 + state->ExposureActive[0]);
}

void ComposeExposureStatus(DeviceState* state) {
    std::uint16_t word = ExposureWord(state);
    if (state->PendingStart)
        word |= kStartPending;
    state->CommandStatus[1] = word;
}

// Sends the start command for ccd with the 12-byte record params.
NTSTATUS SendStart(DeviceState* state, const std::uint8_t* params, std::uint32_t ccd) {
    if (IsSingleCcd(state->CameraType))
        CameraOut(state, kCamReg00, kSingleCcdStartMode);
    NTSTATUS result = MicroCommand(state, MicroStartExposure, state->CameraType, params, nullptr);
    if (result == 0) {
        state->ExposureActive[ccd] = kExposing;
        if (IsDualFamily(state->CameraType))
            result = CheckShutter(state);
    }
    return result;
}

}  // namespace

NTSTATUS CheckShutter(DeviceState* state) {
    std::uint8_t record[MicroStatusRecord] = {};
    const NTSTATUS status = MicroCommand(state, MicroGetStatus, state->CameraType, nullptr, record);
    if (status != 0)
        return status;
    const std::uint8_t shutter = record[kStatusShutter];
    return shutter >= 7 && shutter <= 11 ? 0 : ErrorStatus(ErrShutter);
}

NTSTATUS StartExposure(DeviceState* state, std::uint8_t* buffer) {
    const std::uint32_t type = state->CameraType;
    state->MaxCCD = NamesTrackingCcd(type) ? 1 : 0;
    const std::uint16_t ccd = le::Get16(buffer, 0);
    if (ccd > static_cast<std::uint32_t>(state->MaxCCD))
        return ErrorStatus(ErrBadParameter);
    const std::uint32_t time = le::Get32(buffer, 4);
    if (state->MaxCCD == 1 && (time & kDeferStart) != 0) {
        state->PendingStart = 1;
        state->PendingCcd = ccd;
    } else {
        state->PendingStart = 0;
    }
    for (int i = 0; i < kStartExposureParamsSize; ++i) state->LastExposureParams[i] = buffer[i];

    NTSTATUS result = 0;
    const GeometryRecord& g = state->Geometry[ccd];
    if (IsDualFamily(type)) {
        state->MiscShutter = 0;
        state->MiscLed = ccd == 0 ? 2 : 3;
        const NTSTATUS misc = SendMisc(state);
        if (misc != 0)
            return misc;
        state->ShutterOpenRequested = le::Get16(buffer, 10) == 1 ? 1 : 0;
        if (ccd == 0) {
            result =
                ClearImagingArray(state, g.TotalRows, static_cast<std::int16_t>(g.TotalColumns), 4,
                                  static_cast<std::int16_t>(g.LeftColumns));
        } else {
            const std::uint32_t now = TickCount();
            const std::uint16_t passes =
                now - state->LastTrackingClearTick > kTrackingClearTicks ? 4 : 1;
            result = ClearTrackingArray(state, g.TotalRows, passes,
                                        static_cast<std::int16_t>(g.LeftColumns));
            state->LastTrackingClearTick = TickCount();
        }
    } else if (type == kCameraEgret) {
        result = MeasureEgretBias(state, static_cast<std::int16_t>(g.TotalColumns));
    } else {
        result = MeasureFinchBias(state, static_cast<std::int16_t>(g.TotalColumns));
    }

    if (result == 0 && state->PendingStart == 0)
        result = SendStart(state, buffer, ccd);
    ComposeExposureStatus(state);
    return result;
}

NTSTATUS EndExposure(DeviceState* state, std::uint8_t* buffer) {
    const std::uint16_t word = le::Get16(buffer, 0);
    const std::uint16_t ccd = word & 0x7FFF;
    if (state->MaxCCD < 0 || ccd > static_cast<std::uint32_t>(state->MaxCCD))
        return ErrorStatus(ErrBadParameter);
    NTSTATUS result = MicroCommand(state, MicroEndExposure, state->CameraType, buffer, nullptr);
    if (result != 0)
        return result;
    const GeometryRecord& g = state->Geometry[ccd];
    if (IsDualFamily(state->CameraType)) {
        state->MiscShutter = 0;
        state->MiscLed = 1;
        result = SendMisc(state);
        if (result != 0)
            return result;
        if ((word & kSkipDelay) == 0)
            Delay(state->ShutterOpenRequested ? kShutterOpenWaitMs : kShutterClosedWaitMs);
        if (ccd == 0)
            result =
                DumpImagingLines(state, static_cast<std::int16_t>(g.TotalColumns), g.TopRows, 1);
        else
            result =
                DumpTrackingLines(state, static_cast<std::int16_t>(g.TotalColumns), g.TopRows, 1);
    } else {
        result = DumpEgretLines(state, static_cast<std::int16_t>(g.TotalColumns), g.TopRows, 1);
    }
    state->ExposureActive[ccd] = 0;
    state->CommandStatus[1] = ExposureWord(state);
    return result;
}

NTSTATUS QueryCommandStatus(DeviceState* state, const std::uint8_t* params, std::uint8_t* result) {
    const std::int16_t command = le::GetI16(params, 0);
    if (command < 0 || command >= kCommandStatusCount)
        return ErrorStatus(ErrBadParameter);
    le::Put16(result, 0, 0);
    NTSTATUS status = 0;
    const std::uint32_t type = state->CameraType;
    if (command == 1 || command == 7 || command == 8 || command == 13) {
        std::uint8_t record[MicroStatusRecord] = {};
        status = MicroCommand(state, MicroGetStatus, type, nullptr, record);
        if (command == 1) {
            if (status == 0 && state->PendingStart) {
                if (IsDualFamily(type)) {
                    const std::uint32_t pccd = state->PendingCcd ? 1 : 0;
                    const GeometryRecord& g = state->Geometry[pccd];
                    if (pccd == 0)
                        (void)DumpImagingLines(state, static_cast<std::int16_t>(g.TotalColumns), 1,
                                               1);
                    else
                        (void)DumpTrackingLines(state, static_cast<std::int16_t>(g.TotalColumns), 1,
                                                1);
                }
                if (record[kStatusHoldFlag] == 0) {
                    state->PendingStart = 0;
                    status = SendStart(state, state->LastExposureParams, state->PendingCcd ? 1 : 0);
                }
            } else if (status == 0) {
                if (state->ExposureActive[0] == kExposing &&
                    le::Get32(record, kStatusImagingState) == 0)
                    state->ExposureActive[0] = kExposureFinished;
                if (state->ExposureActive[1] == kExposing &&
                    le::Get32(record, kStatusTrackingState) == 0)
                    state->ExposureActive[1] = kExposureFinished;
            }
            ComposeExposureStatus(state);
        } else if (status == 0 && command == 7) {
            state->CommandStatus[7] = static_cast<std::uint16_t>(
                8 * (record[kStatusRelays] != 0) + 4 * (record[kStatusRelays + 1] != 0) +
                2 * (record[kStatusRelays + 2] != 0) + (record[kStatusRelays + 3] != 0));
        } else if (status == 0 && command == 8) {
            std::uint16_t word = record[kStatusPulse] != 0 ? 1 : 0;
            if (record[kStatusHoldFlag] != 0)
                word |= 0x8000;
            word = static_cast<std::uint16_t>(word + 2 * le::Get32(record, kStatusPulseField));
            state->CommandStatus[8] = word;
        } else if (status == 0 && command == 13) {
            state->CommandStatus[13] = static_cast<std::uint16_t>(
                record[kStatusShutter] | (record[kStatusMisc8] << 8) |
                (le::Get32(record, kStatusMiscA) << 9) | (le::Get32(record, kStatusMiscB) << 11));
        }
    }
    le::Put16(result, 0, state->CommandStatus[command]);
    return status;
}

NTSTATUS MiscellaneousControl(DeviceState* state, std::uint8_t* buffer) {
    const NTSTATUS status =
        MicroCommand(state, MicroMiscControl, state->CameraType, buffer, nullptr);
    if (status != 0)
        return status;
    state->MiscFan = le::Get16(buffer, 0);
    state->MiscShutter = le::Get16(buffer, 2);
    state->MiscLed = le::Get16(buffer, 4);
    if (state->MiscShutter == 3)
        Delay(kShutterCommand3WaitMs);
    return 0;
}

}  // namespace zeva::driver
