// The readout front end: line requests, dumps, end of readout and the A/D
// offset.  Picks the clocking routine for the camera family and CCD and
// turns the readout mode into binning factors and column counts.
#include <cstring>

#include "common/errors.h"
#include "common/le.h"
#include "common/records.h"
#include "driver/camera.h"
#include "driver/frame/routines.h"
#include "driver/link/cooler.h"
#include "driver/link/port.h"
#include "driver/readout/pixels.h"
#include "driver/readout/readout.h"

namespace zeva::driver {

using le::Get16;
using le::Get8;

namespace {

constexpr NTSTATUS kBadParameter = ErrorStatus(ErrBadParameter);
constexpr NTSTATUS kExposureInProgress = ErrorStatus(ErrExposureInProgress);

namespace line = rec::ReadoutLineParams;
namespace dump = rec::DumpLinesParams;

// Ccd above the camera's highest CCD (or beyond the two the driver keeps).
bool CcdOutOfRange(const DeviceState* state, std::uint16_t ccd) {
    return static_cast<std::int32_t>(ccd) > state->MaxCCD || ccd > 1;
}

std::int16_t AsCount(std::uint16_t v) {
    return static_cast<std::int16_t>(v);
}

}  // namespace

NTSTATUS CheckReadoutLineRequest(DeviceState* state, const std::uint8_t* params) {
    const std::uint16_t ccd = Get16(params, line::Ccd);
    const std::uint8_t mode = Get8(params, line::ReadoutMode);
    const std::uint8_t vertical = Get8(params, line::VerticalFactor);
    if (CcdOutOfRange(state, ccd))
        return kBadParameter;
    if (state->ExposureActive[ccd] != 0)
        return kExposureInProgress;
    if (state->CameraType == kCameraEgret)
        return mode > 1 ? kBadParameter : 0;
    if (state->CameraType == kCameraFinch)
        return mode > 2 ? kBadParameter : 0;
    if (ccd != 0)
        return mode > 1 ? kBadParameter : 0;
    if (mode > 8)
        return kBadParameter;
    if (mode >= 3 && mode <= 5 && vertical == 0)
        return kBadParameter;
    return 0;
}

void PrepareReadoutLine(DeviceState* state, const std::uint8_t* params) {
    if (CheckReadoutLineRequest(state, params) != 0)
        return;
    if (IsSingleCcd(state->CameraType) || Get16(params, line::Ccd) != 0)
        return;
    // The supply settles here, at passive level, so the line never waits.
    SetVdd(state, 1);
}

NTSTATUS ReadoutLine(DeviceState* state, std::uint8_t* buffer) {
    NTSTATUS status = CheckReadoutLineRequest(state, buffer);
    if (status != 0)
        return status;
    const std::uint16_t ccd = Get16(buffer, line::Ccd);
    const std::uint8_t mode = Get8(buffer, line::ReadoutMode);
    const ModeFactors f = FactorsOfMode(mode, Get8(buffer, line::VerticalFactor));
    const std::uint16_t pixel_start = Get16(buffer, line::PixelStart);
    const std::uint16_t pixel_length = Get16(buffer, line::PixelLength);
    const GeometryRecord& g = state->Geometry[ccd];
    const std::uint16_t binning = g.ModeBinning[mode];

    // The reply is PixelLength values; whatever the digitizer does not write
    // reads 0 (the record itself is overwritten).
    std::memset(buffer, 0, 2 * static_cast<std::size_t>(pixel_length));

    if (IsSingleCcd(state->CameraType)) {
        const std::int16_t start = AsCount(WindowStartColumn(binning, pixel_start, g.LeftColumns));
        if (state->CameraType == kCameraEgret) {
            return DigitizeEgretLine(state, start, AsCount(pixel_length), mode, buffer,
                                     AsCount(g.TotalColumns));
        }
        if (state->SiskinVariant != 0) {
            return DigitizeSiskinLine(state, start, AsCount(pixel_length), mode, buffer,
                                      AsCount(g.TotalColumns));
        }
        return DigitizeFinchLine(state, start, AsCount(pixel_length), mode, buffer,
                                 AsCount(g.TotalColumns));
    }
    if (ccd != 0) {
        const std::int16_t start = AsCount(TrackingStartColumn(
            binning, g.ActiveColumns, pixel_start, pixel_length, g.LeftColumns));
        return DigitizeTrackingLine(state, start, AsCount(pixel_length), mode, buffer,
                                    AsCount(g.TotalColumns));
    }
    const std::int16_t start = AsCount(WindowStartColumn(binning, pixel_start, g.LeftColumns));
    const std::int16_t trailing =
        AsCount(ImagingTrailingColumns(g.TotalColumns, binning, pixel_length, g.LeftColumns));
    SetVdd(state, 1);
    if (state->FreezeTEDuringReadout != 0)
        (void)FreezeTEControl(state, 1);
    return DigitizeImagingLine(state, start, AsCount(pixel_length), trailing, f.HorizontalBinning,
                               f.VerticalShifts, f.SummedRows, buffer, AsCount(g.TotalColumns));
}

NTSTATUS DumpLines(DeviceState* state, std::uint8_t* buffer) {
    const std::uint16_t ccd = Get16(buffer, dump::Ccd);
    const std::uint8_t mode = Get8(buffer, dump::ReadoutMode);
    const std::uint16_t rows = RowsPerLine(mode, Get8(buffer, dump::VerticalFactor));
    const std::uint16_t lines = Get16(buffer, dump::LineCount);
    if (CcdOutOfRange(state, ccd))
        return kBadParameter;
    if (state->ExposureActive[ccd] != 0)
        return kExposureInProgress;
    if ((ccd == 0 && mode > 8) || (ccd == 1 && mode > 1))
        return kBadParameter;
    const std::int16_t columns = AsCount(state->Geometry[ccd].TotalColumns);
    if (IsSingleCcd(state->CameraType))
        return DumpEgretLines(state, columns, lines, rows);
    if (ccd == 0)
        return DumpImagingLines(state, columns, lines, rows);
    return DumpTrackingLines(state, columns, lines, rows);
}

NTSTATUS EndReadout(DeviceState* state, std::uint8_t* buffer) {
    const std::uint16_t ccd = Get16(buffer, rec::EndReadoutParams::Ccd);
    if (static_cast<std::int32_t>(ccd) > state->MaxCCD)
        return kBadParameter;
    switch (state->CameraType) {
        case 4:
        case 5:
        case 9:
        case 10:
        case 12:
        case 13:
            if (ccd == 0)
                SetVdd(state, 0);
            break;
        default:
            break;
    }
    if (state->FreezeTEDuringReadout != 0)
        (void)FreezeTEControl(state, 0);
    return 0;
}

NTSTATUS ReadOffset(DeviceState* state, const std::uint8_t* params, std::uint8_t* result) {
    const std::uint16_t ccd = Get16(params, rec::ReadOffsetParams::Ccd);
    const std::uint32_t type = state->CameraType;
    if (ccd > (NamesTrackingCcd(type) ? 1 : 0))
        return kBadParameter;
    const GeometryRecord& g = state->Geometry[ccd];
    // Type 9 names a tracking CCD but is not clocked as a dual-CCD camera.
    if (IsDualFamily(type)) {
        if (ccd == 0) {
            return OffsetImagingArray(state, g.TotalRows, AsCount(g.TotalColumns), result,
                                      AsCount(g.LeftColumns));
        }
        return OffsetTrackingArray(state, g.TotalRows, AsCount(g.TotalColumns), result,
                                   AsCount(g.LeftColumns));
    }
    const std::uint16_t mask = SampleMaskOf(type, state->SiskinVariant != 0);
    return OffsetEgretArray(state, AsCount(g.TotalColumns), result, mask);
}

}  // namespace zeva::driver
