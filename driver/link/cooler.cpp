// The cooler drive through the microcontroller: regulation packets and the
// freeze of the drive around line readouts.  Only microcontroller exchanges,
// so safe at the raised level of a readout.
#include "driver/link/cooler.h"

#include "common/le.h"
#include "common/records.h"
#include "driver/camera.h"
#include "driver/link/micro.h"

namespace zeva::driver {

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
            status =
                SendRegulate(state, kRegulateFixedPower, state->FrozenPower, state->FrozenPower);
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
        const NTSTATUS status =
            SendRegulate(state, kRegulateSetpoint, state->FrozenSetpoint, state->FrozenPower);
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

}  // namespace zeva::driver
