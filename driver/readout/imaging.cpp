// Imaging-CCD clocking: serial-register flushes, line digitizing, dumps,
// the array clear with its bias measurement, and the A/D offset.
#include "common/le.h"
#include "driver/readout/clocking.h"
#include "driver/readout/pixels.h"
#include "driver/readout/readout.h"

namespace zeva::driver {

using le::Put16;

namespace {

constexpr std::uint8_t kHorizontalMode[3] = {0, 4, 12};  // 1, 2, 3 columns per clock
constexpr std::uint8_t kFastFlush = 8;                   // ten columns per clock

// One imaging horizontal clock: register 0x30 bit 3 falling.
inline void PixelClock(DeviceState* state) {
    CameraOut(state, kCamReg30, kReg30Clock);
    CameraOut(state, kCamReg30, kReg30Idle);
}

// Register 0x10 := value, then the delay unit.
inline void VerticalStep(DeviceState* state, std::uint8_t value, std::int16_t d) {
    CameraOut(state, kCamReg10, value);
    IODelay(state, d);
}

// One row into the serial register, as the clear and the measurements make it:
// 8, A, B, A, 8, 0 (with 8 held), each followed by the delay unit.
void ShiftOneRow(DeviceState* state) {
    const Phases p = PhasesOf(state);
    const std::int16_t d = DelayUnit(state);
    VerticalStep(state, kVerticalHold, d);
    VerticalStep(state, static_cast<std::uint8_t>(kVerticalHold + p.A), d);
    VerticalStep(state, static_cast<std::uint8_t>(kVerticalHold + p.B), d);
    VerticalStep(state, static_cast<std::uint8_t>(kVerticalHold + p.A), d);
    VerticalStep(state, kVerticalHold, d);
    VerticalStep(state, kVerticalRelease, d);
}

// One digitized row of DigitizeImagingLine (flush, shift, skip, digitize,
// flush).  sum: add into LineSumBuffer instead of storing into out.
NTSTATUS DigitizeImagingRow(DeviceState* state, std::int16_t start_column, int pixels,
                            std::int16_t trailing_columns, int horizontal_binning,
                            int vertical_shifts, bool sum, std::uint8_t* out,
                            std::int16_t total_columns) {
    const std::uint16_t bias = state->ImagingBias;
    const Phases p = PhasesOf(state);
    const std::int16_t d = DelayUnit(state);
    const int k = horizontal_binning - 1;

    NTSTATUS status = BlockClearPixels(state, total_columns, 0);
    if (status != 0)
        return status;
    CameraOut(state, kCamReg30, kReg30Idle);
    CameraOut(state, kCamReg10, kVerticalHold);
    for (int i = 0; i < vertical_shifts; ++i) {
        VerticalStep(state, static_cast<std::uint8_t>(kVerticalHold + p.A), d);
        VerticalStep(state, static_cast<std::uint8_t>(kVerticalHold + p.B), d);
        VerticalStep(state, static_cast<std::uint8_t>(kVerticalHold + p.A), d);
        VerticalStep(state, kVerticalHold, d);
    }
    CameraOut(state, kCamReg10, kVerticalRelease);
    status = BlockClearPixels(state, start_column, 0);
    if (status != 0)
        return status;
    status = BlockClearPixels(state, 2, k);
    if (status != 0)
        return status;
    CameraOut(state, kCamReg00, kHorizontalMode[k]);

    std::uint16_t* sums = state->LineSumBuffer;
    for (int i = 0; i < pixels; ++i) {
        status = BusyPoll(state);
        if (status != 0)
            return status;
        PixelClock(state);
        const std::uint16_t r = ReadSample(state);
        if (sum) {
            sums[i] = ImagingSumPixel(sums[i], r, bias);
        } else {
            Put16(out, 2 * static_cast<std::size_t>(i), ImagingPixel(r, bias));
        }
    }
    status = BusyPoll(state);
    if (status != 0)
        return status;
    return BlockClearPixels(state, RoundUpToTen(trailing_columns), 0);
}

}  // namespace

NTSTATUS BlockClearPixels(DeviceState* state, std::int16_t count, int binning_index) {
    CameraOut(state, kCamReg30, kReg30Idle);
    CameraOut(state, kCamReg00, kFastFlush);
    for (int i = 0; i < count / 10; ++i) {
        PixelClock(state);
        if (CameraInBusyWait(state) != 0)
            return kDigitizerTimeout;
    }
    CameraOut(state, kCamReg00, kHorizontalMode[binning_index]);
    for (int i = 0; i < count % 10; ++i) {
        PixelClock(state);
        if (CameraInBusyWait(state) != 0)
            return kDigitizerTimeout;
    }
    return 0;
}

NTSTATUS HClear(DeviceState* state, std::int16_t count) {
    for (int i = 0; i < count; ++i) {
        PixelClock(state);
        if (CameraInBusyWait(state) != 0)
            return kDigitizerTimeout;
    }
    return 0;
}

NTSTATUS DigitizeImagingLine(DeviceState* state, std::int16_t start_column,
                             std::int16_t pixel_length, std::int16_t trailing_columns,
                             int horizontal_binning, int vertical_shifts, int summed_rows,
                             std::uint8_t* out, std::int16_t total_columns) {
    if (horizontal_binning < 1 || horizontal_binning > 3)
        horizontal_binning = 1;
    int pixels = pixel_length > kMaxImagingPixels ? kMaxImagingPixels : pixel_length;
    if (pixels < 0)
        pixels = 0;

    if (summed_rows <= 1) {
        return DigitizeImagingRow(state, start_column, pixels, trailing_columns, horizontal_binning,
                                  vertical_shifts, false, out, total_columns);
    }
    for (int i = 0; i < pixels; ++i) state->LineSumBuffer[i] = 0;
    for (int row = 0; row < summed_rows; ++row) {
        NTSTATUS status =
            DigitizeImagingRow(state, start_column, pixels, trailing_columns, horizontal_binning,
                               vertical_shifts, true, out, total_columns);
        if (status != 0)
            return status;
    }
    for (int i = 0; i < pixels; ++i)
        Put16(out, 2 * static_cast<std::size_t>(i), state->LineSumBuffer[i]);
    return 0;
}

NTSTATUS DumpImagingLines(DeviceState* state, std::int16_t total_columns, std::uint16_t line_count,
                          std::uint16_t rows_per_line) {
    const Phases p = PhasesOf(state);
    const std::int16_t d = DelayUnit(state);
    const int lines = line_count;
    CameraOut(state, kCamReg30, kReg30Idle);
    for (int i = 0; i < lines; ++i) {
        CameraOut(state, kCamReg10, kVerticalHold | kVerticalSupplyOff);
        for (int f = 0; f < rows_per_line; ++f) {
            VerticalStep(state, static_cast<std::uint8_t>(kVerticalHold + kVerticalSupplyOff + p.A),
                         d);
            VerticalStep(state, static_cast<std::uint8_t>(kVerticalHold + kVerticalSupplyOff + p.B),
                         d);
            VerticalStep(state, static_cast<std::uint8_t>(kVerticalHold + kVerticalSupplyOff + p.A),
                         d);
            VerticalStep(state, 12, d);
        }
        CameraOut(state, kCamReg10, kVerticalHold | kVerticalSupplyOff);
        if (i % 5 == 4 || i >= lines - 3) {
            NTSTATUS status = BlockClearPixels(state, RoundUpToTen(total_columns), 0);
            if (status != 0)
                return status;
        }
    }
    return 0;
}

NTSTATUS ClearImagingArray(DeviceState* state, std::uint16_t total_rows, std::int16_t total_columns,
                           std::uint16_t passes, std::int16_t left_columns) {
    const Phases p = PhasesOf(state);
    const std::uint16_t rows = static_cast<std::uint16_t>(total_rows * passes);
    CameraOut(state, kCamReg30, kReg30Idle);
    CameraOut(state, kCamReg00, kFastFlush);
    for (int i = 0; i < rows; ++i) {
        if (!PacesPhasesByHorizontalClock(state->CameraType)) {
            ShiftOneRow(state);
            if (HClear(state, 1) != 0)
                return kDigitizerTimeout;
            continue;
        }
        // Type 13: the horizontal clocks and their busy waits pace the phases.
        const std::uint8_t steps[6] = {kVerticalHold,
                                       static_cast<std::uint8_t>(kVerticalHold + p.A),
                                       static_cast<std::uint8_t>(kVerticalHold + p.B),
                                       static_cast<std::uint8_t>(kVerticalHold + p.A),
                                       kVerticalHold,
                                       kVerticalRelease};
        for (int s = 0; s < 6; ++s) {
            CameraOut(state, kCamReg10, steps[s]);
            if (HClear(state, s == 5 ? 6 : 2) != 0)
                return kDigitizerTimeout;
        }
    }
    NTSTATUS status = MeasureImagingBias(state, total_columns, left_columns);
    SetVdd(state, 0);
    return status;
}

NTSTATUS MeasureImagingBias(DeviceState* state, std::int16_t total_columns,
                            std::int16_t left_columns) {
    SetVdd(state, 1);
    NTSTATUS status = BlockClearPixels(state, total_columns, 0);
    if (status == 0) {
        CameraOut(state, kCamReg30, kReg30Idle);
        ShiftOneRow(state);
        status = BlockClearPixels(state, left_columns, 0);
    }
    if (status == 0)
        status = BlockClearPixels(state, 2, 0);
    std::uint32_t sum = 0;
    if (status == 0) {
        CameraOut(state, kCamReg00, kHClockOneColumn);
        for (int i = 0; i < 100 && status == 0; ++i) {
            status = BusyPoll(state);
            if (status != 0)
                break;
            PixelClock(state);
            sum += ReadSample(state);
        }
    }
    if (status == 0) {
        state->ImagingBias = ImagingBiasFromSum(sum);
        status = BusyPoll(state);
    }
    SetVdd(state, 0);
    return status;
}

NTSTATUS OffsetImagingArray(DeviceState* state, std::uint16_t total_rows,
                            std::int16_t total_columns, std::uint8_t* reply,
                            std::int16_t left_columns) {
    NTSTATUS status = ClearImagingArray(state, total_rows, total_columns, 1, left_columns);
    if (status != 0)
        return status;
    SetVdd(state, 1);
    status = BlockClearPixels(state, total_columns, 0);
    if (status != 0)
        return status;
    status = BlockClearPixels(state, 2, 0);
    if (status != 0)
        return status;
    CameraOut(state, kCamReg00, kHClockOneColumn);
    CameraOut(state, kCamReg30, kReg30Idle);
    std::uint32_t sum = 0;
    for (int i = 0; i < 128; ++i) {
        if (BusyPoll(state) != 0)
            return kDigitizerTimeout;
        PixelClock(state);
        sum += ReadSample(state);
    }
    Put16(reply, 0, OffsetFromSum(sum));
    status = BusyPoll(state);
    SetVdd(state, 0);
    return status;
}

}  // namespace zeva::driver
