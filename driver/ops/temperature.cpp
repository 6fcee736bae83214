// Cooler regulation: SetTemperatureRegulation (5) and QueryTemperatureStatus (6).
#include "driver/ops/temperature.h"

#include "common/errors.h"
#include "common/le.h"
#include "driver/camera.h"
#include "driver/frame/routines.h"
#include "driver/link/cooler.h"
#include "driver/link/micro.h"

namespace zeva::driver {

std::uint16_t InitialTEPower(std::uint16_t setpoint, std::uint16_t status_setpoint,
                             std::uint16_t status_power, std::uint16_t reading2) {
    if (((setpoint ^ status_setpoint) & 0xFFF0u) == 0)
        return status_power;
    const std::uint16_t drive = static_cast<std::uint16_t>(6u * setpoint + 6624u - 6u * reading2);
    return static_cast<std::uint16_t>((drive + 16u) / 32u);
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
