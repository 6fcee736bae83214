// CCD information (command 11): what camera is attached and how its CCDs can
// be read out.  Only reads the device state.
#include "driver/ops/ccdinfo.h"

#include "common/errors.h"
#include "common/le.h"
#include "driver/camera.h"
#include "driver/frame/routines.h"
#include "driver/link/eeprom.h"
#include "driver/link/micro.h"

namespace zeva::driver {
namespace {

namespace info = rec::CcdInfoResult;
namespace ext = rec::CcdInfoExtResult;
namespace mi = rec::ReadoutModeInfo;

// Fields of the microcontroller's status record the status request reports.
constexpr std::size_t kMicroStatusVariant = 28;  // u32
constexpr std::size_t kMicroStatusCode = 32;     // u32

std::size_t EntryOffset(int mode) {
    return info::Mode(static_cast<std::size_t>(mode));
}

void AddModeCount(std::uint8_t* result, int count) {
    le::Put16(result, info::ReadoutModeCount,
              static_cast<std::uint16_t>(le::Get16(result, info::ReadoutModeCount) + count));
}

}  // namespace

std::uint16_t bcd_nx(std::uint16_t value, int n) {
    std::uint32_t v = ((value >> 12) & 0xFu) * 1000u + ((value >> 8) & 0xFu) * 100u +
                      ((value >> 4) & 0xFu) * 10u + (value & 0xFu);
    std::uint32_t p = v * static_cast<std::uint32_t>(n);
    if (p > 9999u)
        p = 9999u;
    return static_cast<std::uint16_t>((p / 1000u) << 12 | (p / 100u % 10u) << 8 |
                                      (p / 10u % 10u) << 4 | (p % 10u));
}

void make_n_modes(DeviceState* state, std::uint8_t* result, int ccd, int first_mode, int count) {
    AddModeCount(result, count);
    const GeometryRecord& g = state->Geometry[ccd];
    for (int m = first_mode; m < first_mode + count && m < static_cast<int>(info::kModeCount);
         ++m) {
        const int n = m - first_mode + 1;
        const std::size_t e = EntryOffset(m);
        le::Put16(result, e + mi::Mode, static_cast<std::uint16_t>(m));
        le::Put16(result, e + mi::Width, static_cast<std::uint16_t>(g.ActiveColumns / n));
        le::Put16(result, e + mi::Height, static_cast<std::uint16_t>(g.ActiveRows / n));
        le::Put16(result, e + mi::Gain, g.Gain);
        le::Put32(result, e + mi::PixelWidth, bcd_nx(g.PixelWidth, n));
        le::Put32(result, e + mi::PixelHeight, bcd_nx(g.PixelHeight, n));
    }
}

void make_by_n_modes(DeviceState* /*state*/, std::uint8_t* result, int first_mode, int count) {
    AddModeCount(result, count);
    for (int m = first_mode; m < first_mode + count && m < static_cast<int>(info::kModeCount);
         ++m) {
        const std::size_t e = EntryOffset(m);
        const std::size_t k = EntryOffset(m - first_mode);
        le::Put16(result, e + mi::Mode, static_cast<std::uint16_t>(m));
        le::Put16(result, e + mi::Width, le::Get16(result, k + mi::Width));
        le::Put16(result, e + mi::Height, 0);
        le::Put16(result, e + mi::Gain, le::Get16(result, k + mi::Gain));
        le::Put32(result, e + mi::PixelWidth, le::Get32(result, k + mi::PixelWidth));
        le::Put32(result, e + mi::PixelHeight, le::Get32(result, EntryOffset(0) + mi::PixelHeight));
    }
}

namespace {

void ImagingTable(DeviceState* state, std::uint8_t* result) {
    make_n_modes(state, result, 0, 0, 3);
    make_by_n_modes(state, result, 3, 3);
    make_n_modes(state, result, 0, 6, 3);
}

NTSTATUS ModeTable(DeviceState* state, int request, std::uint8_t* result) {
    for (int i = 0; i < static_cast<int>(info::kSize); ++i) result[i] = 0;
    std::uint8_t version[VersionRecord] = {};
    const NTSTATUS status =
        MicroCommand(state, MicroGetVersion, state->CameraType, nullptr, version);
    if (status != 0)
        return status;
    le::Put16(result, info::FirmwareVersion, le::Get16(version, 0));
    le::Put16(result, info::CameraType, static_cast<std::uint16_t>(state->CameraType));
    switch (state->CameraType) {
        case kCameraGannet:
        case kCameraHeron:
        case kCameraIbis:
        case kCameraJacana:
            if (request == 0)
                ImagingTable(state, result);
            else
                make_n_modes(state, result, 1, 0, 2);
            break;
        case kCameraKestrel:
            ImagingTable(state, result);
            break;
        case kCameraEgret:
            make_n_modes(state, result, 0, 0, 2);
            break;
        case kCameraFinch:
            make_n_modes(state, result, 0, 0, 3);
            make_by_n_modes(state, result, 3, 3);
            break;
        default:
            break;
    }
    const char* name = CameraNameFor(state->CameraType, state->SiskinVariant != 0);
    for (int i = 0; i < static_cast<int>(info::kNameSize) - 1 && name[i] != 0; ++i)
        result[info::Name + i] = static_cast<std::uint8_t>(name[i]);
    return 0;
}

NTSTATUS EepromValues(DeviceState* state, std::uint8_t* result) {
    std::uint8_t image[kEepromSize] = {};
    NTSTATUS status = GetEEPROM(state, state->CameraType, image);
    if (status == ErrorStatus(ErrEepromChecksum) || status == ErrorStatus(ErrEepromVersion))
        status = 0;
    if (status != 0) {
        for (std::size_t i = 0; i < ext::EepromFlag; ++i) result[i] = 0;
        le::Put16(result, ext::EepromFlag, 1);
        result[ext::IdentificationText] = '-';
        result[ext::IdentificationText + 1] = 0;
        return status;
    }
    le::Put16(result, ext::EepromCount, le::Get8(image, kEepromCount));
    for (std::size_t i = 0; i < ext::kEepromWordCount; ++i)
        le::Put16(result, ext::EepromWords + 2 * i, le::Get16(image, kEepromWords + 2 * i));
    le::Put16(result, ext::EepromFlag, le::Get8(image, kEepromFlag));
    for (int i = 0; i < kEepromTextSize; ++i) {
        result[ext::IdentificationText + i] = image[kEepromText + i];
        if (image[kEepromText + i] == 0)
            break;
    }
    return 0;
}

NTSTATUS SingleCcdStatus(DeviceState* state, std::uint8_t* result) {
    for (int i = 0; i < static_cast<int>(rec::CcdInfoStatusResult::kSize); ++i) result[i] = 0;
    std::uint8_t record[MicroStatusRecord] = {};
    const NTSTATUS status = MicroCommand(state, MicroGetStatus, state->CameraType, nullptr, record);
    if (status != 0)
        return status;
    le::Put16(result, rec::CcdInfoStatusResult::StatusVariant,
              le::Get16(record, kMicroStatusVariant));
    le::Put16(result, rec::CcdInfoStatusResult::StatusCode, le::Get16(record, kMicroStatusCode));
    return 0;
}

}  // namespace

NTSTATUS GetCCDInfo(DeviceState* state, const std::uint8_t* params, std::uint8_t* result) {
    const std::int16_t request = le::GetI16(params, rec::CcdInfoParams::Request);
    const bool single = IsSingleCcd(state->CameraType);
    const bool accepted = single ? (request == 0 || request == 3) : (request >= 0 && request <= 2);
    if (!accepted)
        return ErrorStatus(ErrBadParameter);
    switch (request) {
        case 0:
        case 1:
            return ModeTable(state, request, result);
        case 2:
            return EepromValues(state, result);
        default:
            return SingleCcdStatus(state, result);
    }
}

}  // namespace zeva::driver
