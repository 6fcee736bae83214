// Cooler regulation (commands 5 and 6) and the freeze of the cooler drive.
#include "driver/ops/temperature.h"

#include "common/errors.h"
#include "common/le.h"
#include "driver/camera.h"
#include "driver/frame/routines.h"
#include "driver/link/micro.h"

namespace zeva::driver {
namespace {

NTSTATUS SendRegulate(DeviceState* state, std::uint32_t mode, std::uint16_t value,
                      std::uint16_t power) {
    std::uint8_t record[kRegulateParamsSize];
    le::Put32(record, 0, mode);
    le::Put16(record, 4, value);
    le::Put16(record, 6, power);
    return MicroCommand(state, MicroRegulateTemperature, state->CameraType, record, nullptr);
}

NTSTATUS SendFreezeTE(DeviceState* state, bool freeze) {
    const std::uint8_t flags[kFreezeParamsSize] = {static_cast<std::uint8_t>(freeze ? 1 : 0), 0};
    return MicroCommand(state, MicroFreezeTE, state->CameraType, flags, nullptr);
}

}  // namespace

std::uint16_t InitialTEPower(std::uint16_t setpoint, std::uint16_t status_setpoint,
                             std::uint16_t status_power, std::uint16_t reading2) {
    if (((setpoint ^ status_setpoint) & 0xFFF0u) == 0)
        return status_power;
    const std::uint16_t drive = static_cast<std::uint16_t>(6u * setpoint + 6624u - 6u * reading2);
    return static_cast<std::uint16_t>((drive + 16u) / 32u);
}

NTSTATUS FreezeTEControl(DeviceState* state, int freeze) {
    const std::uint32_t type = state->CameraType;
    if (freeze != 0) {
        if (state->TEFrozen != 0)
            return STATUS_SUCCESS;
        if (IsDualFamily(type)) {
            std::uint8_t status_record[TemperatureStatusRecord] = {};
            NTSTATUS status =
                MicroCommand(state, MicroTemperatureStatus, type, nullptr, status_record);
            if (status != STATUS_SUCCESS)
                return status;
            if (le::Get16(status_record, rec::TemperatureStatusResults::RegulationFlags) == 0)
                return STATUS_SUCCESS;
            state->FrozenSetpoint =
                le::Get16(status_record, rec::TemperatureStatusResults::Setpoint);
            state->FrozenPower = le::Get16(status_record, rec::TemperatureStatusResults::Power);
            status = SendRegulate(state, 2, state->FrozenPower, state->FrozenPower);
            if (status == STATUS_SUCCESS)
                state->TEFrozen = 1;
            return status;
        }
        if (FreezesTEForReadout(type)) {
            const NTSTATUS status = SendFreezeTE(state, true);
            if (status == STATUS_SUCCESS)
                state->TEFrozen = 1;
            return status;
        }
        return STATUS_SUCCESS;
    }
    if (state->TEFrozen == 0)
        return STATUS_SUCCESS;
    if (IsDualFamily(type)) {
        const NTSTATUS status = SendRegulate(state, 1, state->FrozenSetpoint, state->FrozenPower);
        if (status == STATUS_SUCCESS)
            state->TEFrozen = 0;
        return status;
    }
    if (FreezesTEForReadout(type)) {
        const NTSTATUS status = SendFreezeTE(state, false);
        if (status == STATUS_SUCCESS)
            state->TEFrozen = 0;
        return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS SetTemperatureRegulation(DeviceState* state, std::uint8_t* buffer) {
    const std::uint16_t regulation =
        le::Get16(buffer, rec::TemperatureRegulationParams::Regulation);
    const std::uint16_t setpoint = le::Get16(buffer, rec::TemperatureRegulationParams::Setpoint);
    switch (regulation) {
        case kRegulationFreeze:
            FreezeTEControl(state, 1);
            return STATUS_SUCCESS;
        case kRegulationRelease:
            FreezeTEControl(state, 0);
            return STATUS_SUCCESS;
        case kRegulationAutoFreeze:
            state->FreezeTEDuringReadout = 1;
            return STATUS_SUCCESS;
        case kRegulationNoAutoFreeze:
            state->FreezeTEDuringReadout = 0;
            return STATUS_SUCCESS;
        default:
            break;
    }
    // The camera knows modes 0 (regulate), 1 (regulate to a setpoint) and 2 (fixed power).
    if (regulation > kRegulationNoAutoFreeze)
        return ErrorStatus(ErrBadParameter);
    std::uint8_t status_record[TemperatureStatusRecord] = {};
    const NTSTATUS status =
        MicroCommand(state, MicroTemperatureStatus, state->CameraType, nullptr, status_record);
    if (status != STATUS_SUCCESS)
        return status;
    const std::uint16_t power =
        InitialTEPower(setpoint, le::Get16(status_record, rec::TemperatureStatusResults::Setpoint),
                       le::Get16(status_record, rec::TemperatureStatusResults::Power),
                       le::Get16(status_record, rec::TemperatureStatusResults::Reading2));
    return SendRegulate(state, regulation, setpoint, power);
}

NTSTATUS QueryTemperatureStatus(DeviceState* state, std::uint8_t* buffer) {
    std::uint8_t record[rec::TemperatureStatusResults::kSize] = {};
    const NTSTATUS status =
        MicroCommand(state, MicroTemperatureStatus, state->CameraType, nullptr, record);
    std::uint16_t flags = le::Get16(record, rec::TemperatureStatusResults::RegulationFlags) &
                          static_cast<std::uint16_t>(~kTempFrozenFlag);
    if (state->TEFrozen != 0)
        flags |= kTempFrozenFlag;
    le::Put16(record, rec::TemperatureStatusResults::RegulationFlags, flags);
    for (std::size_t i = 0; i < rec::TemperatureStatusResults::kSize; ++i) buffer[i] = record[i];
    return status;
}

}  // namespace zeva::driver
