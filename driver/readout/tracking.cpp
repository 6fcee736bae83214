// Tracking-CCD clocking.  Register 0x30 bit 2 addresses this CCD, so every
// write to register 0x30 here keeps it set; vertical and horizontal clocks
// go through register 0x00.
#include "common/le.h"
#include "driver/readout/clocking.h"
#include "driver/readout/pixels.h"
#include "driver/readout/readout.h"

namespace zeva::driver {

using le::Put16;

namespace {

constexpr std::uint8_t kTrackingIdle = 4;    // register 0x30: tracking CCD selected
constexpr std::uint8_t kTrackingClock = 12;  // 12 then 4: one horizontal clock
constexpr std::uint8_t kFastFlush = 8;       // register 0x00: ten columns per clock

inline void TrackingClock(DeviceState* state) {
    CameraOut(state, kCamReg30, kTrackingClock);
    CameraOut(state, kCamReg30, kTrackingIdle);
}

inline NTSTATUS ClockAndWait(DeviceState* state, int count) {
    for (int i = 0; i < count; ++i) {
        TrackingClock(state);
        if (CameraInBusyWait(state) != 0)
            return kDigitizerTimeout;
    }
    return 0;
}

}  // namespace

NTSTATUS BlockClearTrackingPixels(DeviceState* state, std::int16_t count) {
    CameraOut(state, kCamReg30, kTrackingIdle);
    CameraOut(state, kCamReg00, kFastFlush);
    if (ClockAndWait(state, count / 10) != 0)
        return kDigitizerTimeout;
    CameraOut(state, kCamReg00, kHClockOneColumn);
    return ClockAndWait(state, count % 10);
}

NTSTATUS ClearTrackingPixels(DeviceState* state, std::int16_t count) {
    CameraOut(state, kCamReg00, kHClockOneColumn);
    return ClockAndWait(state, count);
}

NTSTATUS DigitizeTrackingLine(DeviceState* state, std::int16_t start_column,
                              std::int16_t pixel_length, int readout_mode, std::uint8_t* out,
                              std::int16_t total_columns) {
    // Whatever an earlier line left in the serial register would be added to
    // this line's rows: empty it first.
    NTSTATUS status = BlockClearTrackingPixels(state, total_columns);
    if (status != 0)
        return status;
    CameraOut(state, kCamReg30, kTrackingIdle);
    CameraOut(state, kCamReg00, kTrackingVerticalRest);
    CameraOut(state, kCamReg30, kTrackingIdle);
    CameraOut(state, kCamReg00, kTrackingVerticalPrepare);
    CameraOut(state, kCamReg00, kTrackingVerticalRest);
    CameraOut(state, kCamReg00, kTrackingVerticalEnter);
    CameraOut(state, kCamReg00, kTrackingRowPhase1);
    CameraOut(state, kCamReg00, kTrackingRowPhase2);
    if (readout_mode == 1) {
        CameraOut(state, kCamReg00, kTrackingRowPhase1);
        CameraOut(state, kCamReg00, kTrackingRowPhase2);
    }
    CameraOut(state, kCamReg00, kTrackingVerticalRest);
    CameraOut(state, kCamReg00, kHClockOneColumn);

    status = BlockClearTrackingPixels(state, start_column);
    if (status != 0)
        return status;
    status = ClearTrackingPixels(state, 2);
    if (status != 0)
        return status;
    CameraOut(state, kCamReg00, kHClockOneColumn);
    CameraOut(state, kCamReg30, kTrackingIdle);

    // The serial register delivers the window right to left: fill from the end.
    for (int i = pixel_length - 1; i >= 0; --i) {
        if (BusyPoll(state) != 0)
            return kDigitizerTimeout;
        TrackingClock(state);
        std::uint16_t value = ReadSample(state);
        if (readout_mode == 1) {
            if (BusyPoll(state) != 0)
                return kDigitizerTimeout;
            TrackingClock(state);
            value = TrackingMean(value, ReadSample(state));
        }
        Put16(out, 2 * static_cast<std::size_t>(i), TrackingPixel(value));
    }
    return BusyPoll(state);
}

NTSTATUS DumpTrackingLines(DeviceState* state, std::int16_t total_columns, std::uint16_t line_count,
                           std::uint16_t rows_per_line) {
    CameraOut(state, kCamReg30, kTrackingIdle);
    CameraOut(state, kCamReg00, kTrackingVerticalRest);
    const std::uint16_t rows = static_cast<std::uint16_t>(line_count * rows_per_line);
    for (int i = 0; i < rows; ++i) {
        CameraOut(state, kCamReg00, kTrackingRowPhase1);
        CameraOut(state, kCamReg00, kTrackingRowPhase2);
        CameraOut(state, kCamReg00, kTrackingVerticalRest);
    }
    CameraOut(state, kCamReg00, kHClockOneColumn);
    return BlockClearTrackingPixels(state, total_columns);
}

NTSTATUS ClearTrackingArray(DeviceState* state, std::uint16_t total_rows, std::uint16_t passes,
                            std::int16_t left_columns) {
    CameraOut(state, kCamReg30, kTrackingIdle);
    const std::uint16_t rows = static_cast<std::uint16_t>(total_rows * passes);
    for (int i = 0; i < rows; ++i) {
        CameraOut(state, kCamReg00, kTrackingVerticalEnter);
        CameraOut(state, kCamReg00, kTrackingRowPhase1);
        CameraOut(state, kCamReg00, kTrackingRowPhase2);
        CameraOut(state, kCamReg00, kTrackingVerticalRelease);
        if (ClockAndWait(state, 1) != 0)
            return kDigitizerTimeout;
    }
    return MeasureTrackingBias(state, left_columns);
}

NTSTATUS OffsetTrackingArray(DeviceState* state, std::uint16_t total_rows,
                             std::int16_t total_columns, std::uint8_t* reply,
                             std::int16_t left_columns) {
    NTSTATUS status = ClearTrackingArray(state, total_rows, 1, left_columns);
    if (status != 0)
        return status;
    status = BlockClearTrackingPixels(state, total_columns);
    if (status != 0)
        return status;
    status = ClearTrackingPixels(state, 2);
    if (status != 0)
        return status;
    CameraOut(state, kCamReg00, kHClockOneColumn);
    CameraOut(state, kCamReg30, kTrackingIdle);
    std::uint32_t sum = 0;
    for (int i = 0; i < 128; ++i) {
        if (BusyPoll(state) != 0)
            return kDigitizerTimeout;
        TrackingClock(state);
        sum += ReadSample(state);
    }
    Put16(reply, 0, OffsetFromSum(sum));
    return BusyPoll(state);
}

NTSTATUS MeasureTrackingBias(DeviceState* /*state*/, std::int16_t /*left_columns*/) {
    return 0;
}

}  // namespace zeva::driver
