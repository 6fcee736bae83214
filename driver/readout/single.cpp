// Single-CCD clocking: Egret (type 6), Finch and Siskin (type 8).  Register
// 0x10 carries the vertical clocks here (2 opens a transfer, 6 then 4 moves
// a row, 0 closes it); the serial register is never binned, the driver adds
// successive samples instead.
#include "common/le.h"
#include "driver/link/micro.h"
#include "driver/readout/clocking.h"
#include "driver/readout/pixels.h"
#include "driver/readout/readout.h"

namespace zeva::driver {

using le::Put16;
using le::Put32;

namespace {

constexpr std::uint8_t kOneColumn = 0;
constexpr std::uint8_t kFastFlush = 1;
constexpr std::uint8_t kBeforeMicro = 4;  // register 0x00 before MicroCommand12

inline void PixelClock(DeviceState* state) {
    CameraOut(state, kCamReg30, kReg30Clock);
    CameraOut(state, kCamReg30, kReg30Idle);
}

inline NTSTATUS ClockAndWait(DeviceState* state, int count) {
    for (int i = 0; i < count; ++i) {
        PixelClock(state);
        if (CameraInBusyWait(state) != 0)
            return kDigitizerTimeout;
    }
    return 0;
}

// Rows into the serial register: 2, then 6, 4 per row, then 0.
void ShiftRows(DeviceState* state, int rows) {
    CameraOut(state, kCamReg10, kSingleVerticalOpen);
    for (int i = 0; i < rows; ++i) {
        CameraOut(state, kCamReg10, kSingleRowPhase1);
        CameraOut(state, kCamReg10, kSingleRowPhase2);
    }
    CameraOut(state, kCamReg10, kSingleVerticalClose);
}

NTSTATUS DigitizeSingleLine(DeviceState* state, SingleModel model, std::int16_t start_column,
                            std::int16_t pixel_length, int readout_mode, std::uint8_t* out,
                            std::int16_t total_columns) {
    const int samples = readout_mode + 1;
    const std::uint16_t bias =
        model == SingleModel::Egret ? 0 : FinchSumBias(state->FinchBias, samples);
    const ClipRule clip = SingleClip(model, samples);

    // Whatever an earlier line left in the serial register would be added to
    // this line's rows: empty it first.
    NTSTATUS status = BlockClearEgretPixels(state, total_columns);
    if (status != 0)
        return status;
    CameraOut(state, kCamReg00, kOneColumn);
    ShiftRows(state, samples);
    status = BlockClearEgretPixels(state, start_column);
    if (status != 0)
        return status;
    status = ClearEgretPixels(state, 2);
    if (status != 0)
        return status;

    for (int i = 0; i < pixel_length; ++i) {
        std::uint32_t sum = 0;
        for (int s = 0; s < samples; ++s) {
            if (BusyPoll(state) != 0)
                return kDigitizerTimeout;
            PixelClock(state);
            sum = SingleAddSample(model, sum, ReadSample(state));
        }
        Put16(out, 2 * static_cast<std::size_t>(i), SinglePixel(sum, bias, clip));
    }
    return BusyPoll(state);
}

// Register 0x00 := 4, then MicroCommand12 (type-8 measurements).
NTSTATUS PrepareTypeEightMeasurement(DeviceState* state) {
    CameraOut(state, kCamReg00, kBeforeMicro);
    return MicroCommand(state, MicroCommand12, state->CameraType, nullptr, nullptr);
}

}  // namespace

NTSTATUS BlockClearEgretPixels(DeviceState* state, std::int16_t count) {
    CameraOut(state, kCamReg00, kFastFlush);
    if (ClockAndWait(state, count / 10) != 0)
        return kDigitizerTimeout;
    CameraOut(state, kCamReg00, kOneColumn);
    return ClockAndWait(state, count % 10);
}

NTSTATUS ClearEgretPixels(DeviceState* state, std::int16_t count) {
    CameraOut(state, kCamReg00, kOneColumn);
    return ClockAndWait(state, count);
}

NTSTATUS DigitizeEgretLine(DeviceState* state, std::int16_t start_column, std::int16_t pixel_length,
                           int readout_mode, std::uint8_t* out, std::int16_t total_columns) {
    if (readout_mode < 0 || readout_mode > 1)
        readout_mode = 0;
    return DigitizeSingleLine(state, SingleModel::Egret, start_column, pixel_length, readout_mode,
                              out, total_columns);
}

NTSTATUS DigitizeFinchLine(DeviceState* state, std::int16_t start_column, std::int16_t pixel_length,
                           int readout_mode, std::uint8_t* out, std::int16_t total_columns) {
    if (readout_mode < 0 || readout_mode > 2)
        readout_mode = 0;
    return DigitizeSingleLine(state, SingleModel::Finch, start_column, pixel_length, readout_mode,
                              out, total_columns);
}

NTSTATUS DigitizeSiskinLine(DeviceState* state, std::int16_t start_column,
                            std::int16_t pixel_length, int readout_mode, std::uint8_t* out,
                            std::int16_t total_columns) {
    if (readout_mode < 0 || readout_mode > 2)
        readout_mode = 0;
    return DigitizeSingleLine(state, SingleModel::Siskin, start_column, pixel_length, readout_mode,
                              out, total_columns);
}

NTSTATUS DumpEgretLines(DeviceState* state, std::int16_t total_columns, std::uint16_t line_count,
                        std::uint16_t rows_per_line) {
    CameraOut(state, kCamReg00, kOneColumn);
    const std::uint16_t rows = static_cast<std::uint16_t>(line_count * rows_per_line);
    for (int i = 0; i < rows; ++i) ShiftRows(state, 1);
    return BlockClearEgretPixels(state, total_columns);
}

namespace {
// Flushes the serial register (two lines' worth of cells in blocks, then two
// single cells) and sums `count` one-column samples read from the emptied
// register: what the bias and offset measurements see.
NTSTATUS SumFreshSamples(DeviceState* state, std::int16_t total_columns, int count,
                         std::uint16_t mask, std::uint32_t* sum) {
    NTSTATUS status = BlockClearEgretPixels(state, static_cast<std::int16_t>(2 * total_columns));
    if (status != 0)
        return status;
    status = ClearEgretPixels(state, 2);
    if (status != 0)
        return status;
    CameraOut(state, kCamReg00, kOneColumn);
    for (int i = 0; i < count; ++i) {
        if (BusyPoll(state) != 0)
            return kDigitizerTimeout;
        PixelClock(state);
        *sum += ReadSample(state) & mask;
    }
    return 0;
}
}  // namespace

NTSTATUS MeasureFinchBias(DeviceState* state, std::int16_t total_columns) {
    NTSTATUS status = PrepareTypeEightMeasurement(state);
    if (status != 0)
        return status;
    std::uint32_t sum = 0;
    status = SumFreshSamples(state, total_columns, 25, 0x0FFFu, &sum);
    if (status != 0)
        return status;
    state->FinchBias = FinchBiasFromSum(sum);
    return BusyPoll(state);
}

NTSTATUS MeasureEgretBias(DeviceState* /*state*/, std::int16_t /*total_columns*/) {
    return 0;
}

NTSTATUS OffsetEgretArray(DeviceState* state, std::int16_t total_columns, std::uint8_t* reply,
                          std::uint16_t sample_mask) {
    NTSTATUS status = 0;
    if (state->CameraType == 8) {
        status = PrepareTypeEightMeasurement(state);
        if (status != 0)
            return status;
    }
    // A one-unit exposure on CCD 0, ended at once: the camera clears its array.
    std::uint8_t start[12] = {};
    Put32(start, 4, 1);
    (void)MicroCommand(state, MicroStartExposure, state->CameraType, start, nullptr);
    std::uint8_t end[2] = {};
    status = MicroCommand(state, MicroEndExposure, state->CameraType, end, nullptr);
    if (status != 0)
        return status;

    std::uint32_t sum = 0;
    status = SumFreshSamples(state, total_columns, 128, sample_mask, &sum);
    if (status != 0)
        return status;
    Put16(reply, 0, OffsetFromSum(sum));
    return BusyPoll(state);
}

}  // namespace zeva::driver
