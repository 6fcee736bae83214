// Reading and checking the camera EEPROM.
#include "driver/link/eeprom.h"

#include "common/errors.h"
#include "common/le.h"
#include "driver/link/micro.h"

namespace zeva::driver {
namespace {

// Substitutes the default image; bytes 24..31 keep what they held.
void FillDefaultImage(std::uint8_t* image) {
    le::Put8(image, kEepromVersion, 1);
    le::Put8(image, kEepromCameraType, 4);
    le::Put8(image, kEepromFlag, 0);
    le::Put8(image, kEepromCount, 0);
    le::Put16(image, kEepromTrackingWord, 0);
    le::Put16(image, kEepromTrackingGain, 0x0130);
    le::Put16(image, kEepromImagingWord, 0);
    le::Put16(image, kEepromImagingGain, 0x0230);
    for (int i = 0; i < 4; ++i) le::Put16(image, kEepromWords + 2 * i, 0);
    le::Put8(image, kEepromText, '-');
    le::Put8(image, kEepromText + 1, 0);
    le::Put16(image, kEepromChecksum, CalculateEEPROMChecksum(image));
}

}  // namespace

std::uint16_t CalculateEEPROMChecksum(const std::uint8_t* image) {
    unsigned sum = 0;
    for (int i = 2; i < kEepromSize; ++i) sum += image[i];
    return static_cast<std::uint16_t>(0xFFFFu - sum);
}

std::uint8_t CalculateSerialChecksum(DeviceState* state) {
    const std::int16_t n = static_cast<std::int16_t>(state->TipTiltSerialRecord.Count - 1);
    if (n < 1)
        return 0;
    const int limit = n < static_cast<int>(sizeof(state->TipTiltSerialRecord.Bytes))
                          ? n
                          : static_cast<int>(sizeof(state->TipTiltSerialRecord.Bytes));
    unsigned sum = 0;
    for (int i = 0; i < limit; ++i) sum += state->TipTiltSerialRecord.Bytes[i];
    return static_cast<std::uint8_t>(sum);
}

NTSTATUS GetEEPROM(DeviceState* state, std::uint32_t camera_type, std::uint8_t* image) {
    NTSTATUS status = STATUS_SUCCESS;
    for (int address = 0; address < kEepromSize; ++address) {
        const std::uint8_t params[kEepromAccessParamsSize] = {static_cast<std::uint8_t>(address), 0,
                                                              0};
        status = MicroCommand(state, MicroEepromAccess, camera_type, params, &image[address]);
        if (status != STATUS_SUCCESS)
            break;
    }
    if (status == STATUS_SUCCESS) {
        const std::uint16_t checksum = CalculateEEPROMChecksum(image);
        const std::uint8_t version = le::Get8(image, kEepromVersion);
        if (checksum != le::Get16(image, kEepromChecksum)) {
            status = ErrorStatus(ErrEepromChecksum);
        } else if (version == 0) {
            status = ErrorStatus(ErrEepromVersion);
        } else if (version == 1) {
            return STATUS_SUCCESS;
        } else {
            le::Put8(image, kEepromVersion, 1);
            return ErrorStatus(ErrEepromVersion);
        }
    }
    FillDefaultImage(image);
    return status;
}

}  // namespace zeva::driver
