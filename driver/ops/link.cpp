// Link establishment: reset the camera interface, ask the microcontroller
// what it is, read the EEPROM of the dual-CCD family, settle CameraType and
// fill the geometry records.
#include "driver/ops/link.h"

#include "common/errors.h"
#include "common/le.h"
#include "driver/frame/routines.h"
#include "driver/link/eeprom.h"
#include "driver/link/micro.h"
#include "driver/link/port.h"
#include "driver/camera.h"
#include "driver/ops/temperature.h"

namespace zeva::driver {
namespace {

std::uint16_t RowValue(const DeviceState* state, GeoSource source, std::uint16_t value) {
    if (source == GeoSource::Fixed)
        return value;
    return le::Get16(state->EepromImage, value);
}

void FillRecord(DeviceState* state, GeometryRecord& g, const CcdGeometryRow& row) {
    g.ActiveColumns = row.ActiveColumns;
    g.ActiveRows = row.ActiveRows;
    g.TopRows = row.TopRows;
    g.LeftColumns = row.LeftColumns;
    g.BottomRows = row.BottomRows;
    g.RightColumns = row.RightColumns;
    g.PixelWidth = row.PixelWidth;
    g.PixelHeight = row.PixelHeight;
    g.Gain = RowValue(state, row.GainSource, row.Gain);
    g.EepromWord = RowValue(state, row.EepromWordSource, row.EepromWord);
}

void ComputeTotals(GeometryRecord& g) {
    g.TotalColumns = static_cast<std::uint16_t>(g.RightColumns + g.LeftColumns + g.ActiveColumns);
    g.TotalRows = static_cast<std::uint16_t>(g.BottomRows + g.TopRows + g.ActiveRows);
}

}  // namespace

void InitCCDInfo(DeviceState* state) {
    const std::uint32_t type = state->CameraType;
    FillRecord(state, state->Geometry[0], ImagingRowFor(type, state->SiskinVariant != 0));
    if (const CcdGeometryRow* tracking = TrackingRowFor(type))
        FillRecord(state, state->Geometry[1], *tracking);
    for (GeometryRecord& g : state->Geometry) ComputeTotals(g);
    for (int m = 0; m < kModeCount; ++m) state->Geometry[0].ModeBinning[m] = kImagingModeBinning[m];
    state->Geometry[1].ModeBinning[0] = kTrackingModeBinning[0];
    state->Geometry[1].ModeBinning[1] = kTrackingModeBinning[1];
}

NTSTATUS EstablishLink(DeviceState* state, std::uint8_t* buffer) {
    state->SiskinVariant = 0;
    CameraOut(state, kCamReg60, 1);
    ForceMicroIdle(state);
    DisableLPTInterrupts(state);

    std::uint8_t version[VersionRecord] = {};
    NTSTATUS status = MicroCommand(state, MicroGetVersion, state->CameraType, nullptr, version);
    if (status != 0)
        return status;

    std::uint32_t type = le::Get16(version, 2);
    std::int32_t max_ccd = 0;
    // The EEPROM is read into a local image and kept only when the link
    // succeeds, so a failed link leaves the previous camera's state whole.
    std::uint8_t image[kEepromSize] = {};
    bool have_image = false;
    if (IsSingleCcd(type)) {
        max_ccd = 0;
    } else if (IsDualFamily(type)) {
        status = GetEEPROM(state, type, image);
        have_image = true;
        type = le::Get8(image, kEepromCameraType);
        // The microcontroller reports the whole family as 4; the Kestrel,
        // with no tracking CCD, is known only from the EEPROM's type byte.
        max_ccd = type == kCameraKestrel ? 0 : 1;
        if (status == ErrorStatus(ErrEepromChecksum) || status == ErrorStatus(ErrEepromVersion))
            status = 0;
        SetVdd(state, 0);
    } else {
        return ErrorStatus(ErrCameraNotFound);
    }
    if (status != 0)
        return status;

    state->MaxCCD = max_ccd;
    if (have_image) {
        for (int i = 0; i < kEepromSize; ++i) state->EepromImage[i] = image[i];
    }
    state->CameraType = type;
    if (type == kCameraFinch) {
        // The offset measurement flushes the serial register by the geometry
        // record's column count; on a first link that record is still empty
        // and charge a line left in the register would be taken for offset.
        // Both variants have the same register, so measure with theirs.
        InitCCDInfo(state);
        std::uint8_t request[2] = {0, 0};
        std::uint8_t offset[2] = {0, 0};
        if (ReadOffset(state, request, offset) == 0 &&
            le::Get16(offset, 0) > kSiskinOffsetThreshold)
            state->SiskinVariant = 1;
    }
    InitCCDInfo(state);
    le::Put16(buffer, 0, static_cast<std::uint16_t>(state->CameraType));
    if (state->FreezeTEDuringReadout)
        (void)FreezeTEControl(state, 0);
    return 0;
}

}  // namespace zeva::driver
