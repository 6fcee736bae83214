// The readout engine's clocking routines, per CCD kind: line digitizers,
// line dumps, array clears, bias and A/D offset measurements.
//
// Every routine takes the device state first and returns 0 or
// 0xE0000000 + error code; the only clocking failure is
// ErrDigitizerTimeout (the busy flag still set after 51 status reads).
// Counts are signed 16-bit as the hardware loops use them: a count of 0 or
// less clocks nothing.
//
// The Digitize* routines run at RaisedIrql from the readout queue and never
// wait on a thread; the others run at passive level in the caller's thread.
#pragma once

#include <cstdint>

#include "driver/device_state.h"

namespace zeva::driver {

// --- Imaging CCD of the dual-CCD cameras (types 4, 5, 10, 12) and type 13.

// Flushes n columns of the serial register: n / 10 fast-flush clocks, then
// n mod 10 clocks in the binning mode of index k (0, 1, 2 = 1, 2, 3 columns).
NTSTATUS BlockClearPixels(DeviceState* state, std::int16_t count, int binning_index);
// n horizontal clocks in whatever mode register 0x00 holds.
NTSTATUS HClear(DeviceState* state, std::int16_t count);
// One output line: pixels are bias-corrected and clipped; at most 2184 are
// written to out (the caller zero-fills the rest of its reply).
NTSTATUS DigitizeImagingLine(DeviceState* state, std::int16_t start_column,
                             std::int16_t pixel_length, std::int16_t trailing_columns,
                             int horizontal_binning, int vertical_shifts, int summed_rows,
                             std::uint8_t* out, std::int16_t total_columns);
// Shifts line_count * rows_per_line rows out and discards them; leaves the
// amplifier supply off (register 0x10 = 12).
NTSTATUS DumpImagingLines(DeviceState* state, std::int16_t total_columns, std::uint16_t line_count,
                          std::uint16_t rows_per_line);
// Clears total_rows * passes rows, then measures ImagingBias and switches
// the supply off.  Passive level (the bias measurement waits for the supply).
NTSTATUS ClearImagingArray(DeviceState* state, std::uint16_t total_rows, std::int16_t total_columns,
                           std::uint16_t passes, std::int16_t left_columns);
// Sets ImagingBias from 100 samples of one fresh row's border columns.  Passive level.
NTSTATUS MeasureImagingBias(DeviceState* state, std::int16_t total_columns,
                            std::int16_t left_columns);
// Clears the array once and writes the rounded mean of 128 raw samples as a
// u16 at reply.  Passive level.
NTSTATUS OffsetImagingArray(DeviceState* state, std::uint16_t total_rows,
                            std::int16_t total_columns, std::uint8_t* reply,
                            std::int16_t left_columns);

// --- Tracking CCD of the dual-CCD cameras (register 0x30 bit 2 set).

NTSTATUS BlockClearTrackingPixels(DeviceState* state, std::int16_t count);
NTSTATUS ClearTrackingPixels(DeviceState* state, std::int16_t count);
// One line, stored right to left from out[pixel_length - 1] down (the CCD
// delivers its columns from the right-hand end).  Mode 0 or 1.  The serial
// register (total_columns cells) is emptied before the rows are shifted in.
NTSTATUS DigitizeTrackingLine(DeviceState* state, std::int16_t start_column,
                              std::int16_t pixel_length, int readout_mode, std::uint8_t* out,
                              std::int16_t total_columns);
NTSTATUS DumpTrackingLines(DeviceState* state, std::int16_t total_columns, std::uint16_t line_count,
                           std::uint16_t rows_per_line);
NTSTATUS ClearTrackingArray(DeviceState* state, std::uint16_t total_rows, std::uint16_t passes,
                            std::int16_t left_columns);
NTSTATUS OffsetTrackingArray(DeviceState* state, std::uint16_t total_rows,
                             std::int16_t total_columns, std::uint8_t* reply,
                             std::int16_t left_columns);
// The tracking CCD's bias is never measured: returns 0, touches nothing.
NTSTATUS MeasureTrackingBias(DeviceState* state, std::int16_t left_columns);

// --- Single-CCD cameras: Egret (type 6), Finch and Siskin (type 8).

NTSTATUS BlockClearEgretPixels(DeviceState* state, std::int16_t count);
NTSTATUS ClearEgretPixels(DeviceState* state, std::int16_t count);
// One line of m + 1 rows, each pixel m + 1 successive samples; the serial
// register (total_columns cells) is emptied before the rows are shifted in.
NTSTATUS DigitizeEgretLine(DeviceState* state, std::int16_t start_column, std::int16_t pixel_length,
                           int readout_mode, std::uint8_t* out, std::int16_t total_columns);
NTSTATUS DigitizeFinchLine(DeviceState* state, std::int16_t start_column, std::int16_t pixel_length,
                           int readout_mode, std::uint8_t* out, std::int16_t total_columns);
NTSTATUS DigitizeSiskinLine(DeviceState* state, std::int16_t start_column,
                            std::int16_t pixel_length, int readout_mode, std::uint8_t* out,
                            std::int16_t total_columns);
NTSTATUS DumpEgretLines(DeviceState* state, std::int16_t total_columns, std::uint16_t line_count,
                        std::uint16_t rows_per_line);
// Type 8: sets FinchBias from 25 samples of the empty serial register.
NTSTATUS MeasureFinchBias(DeviceState* state, std::int16_t total_columns);
// Type 6: the Egret's bias is never measured; returns 0.
NTSTATUS MeasureEgretBias(DeviceState* state, std::int16_t total_columns);
// Writes the rounded mean of 128 samples (each ANDed with sample_mask) at reply.
NTSTATUS OffsetEgretArray(DeviceState* state, std::int16_t total_columns, std::uint8_t* reply,
                          std::uint16_t sample_mask);

}  // namespace zeva::driver
