// Pixel arithmetic of the readout engine: bias correction, clipping, sums,
// means and the window arithmetic of a line request.  Pure functions, no
// port access, usable at any level.
#pragma once

#include <cstdint>

#include "driver/camera.h"

namespace zeva::driver {

// Pixels per imaging line (the digitizer cuts longer requests).
inline constexpr int kMaxImagingPixels = 2184;
// Results above this level are reported as saturated.
inline constexpr std::uint32_t kClipLevel = 63000;
inline constexpr std::uint16_t kSaturated = 65535;

// Imaging pixel from raw sample r and bias b: 0 below the bias, 65535 when
// more than 63000 above it, else r - b.
constexpr std::uint16_t ImagingPixel(std::uint16_t r, std::uint16_t b) {
    if (r < b)
        return 0;
    std::uint32_t v = static_cast<std::uint32_t>(r - b);
    return v > kClipLevel ? kSaturated : static_cast<std::uint16_t>(v);
}

// Adds one more row's sample to a summed-row entry.  A sample below the
// bias drops the whole sum to 0; a saturated sample gives 65535; otherwise
// the sum, capped at 65535.
constexpr std::uint16_t ImagingSumPixel(std::uint16_t entry, std::uint16_t r, std::uint16_t b) {
    if (r < b)
        return 0;
    std::uint32_t v = static_cast<std::uint32_t>(r - b);
    if (v > kClipLevel)
        return kSaturated;
    std::uint32_t sum = entry + v;
    return sum > kSaturated ? kSaturated : static_cast<std::uint16_t>(sum);
}

// Tracking pixel: raw value (or mean) above 63000 reads 65535.
constexpr std::uint16_t TrackingPixel(std::uint32_t v) {
    return v > kClipLevel ? kSaturated : static_cast<std::uint16_t>(v);
}
// Mean of two tracking samples, computed without overflow, remainder dropped.
constexpr std::uint16_t TrackingMean(std::uint16_t r1, std::uint16_t r2) {
    return static_cast<std::uint16_t>((static_cast<std::uint32_t>(r1) + r2) / 2);
}

// --- Single-CCD cameras
enum class SingleModel { Egret, Finch, Siskin };

struct ClipRule {
    std::uint32_t Level;   // results above it ...
    std::uint16_t Stored;  // ... are stored as this
};
// Clip rules per model, indexed by samples per pixel - 1.
inline constexpr ClipRule kEgretClip[2] = {{32760, 32767}, {63000, 65535}};
inline constexpr ClipRule kFinchClip[3] = {{4090, 4095}, {8190, 8191}, {12285, 12287}};
inline constexpr ClipRule kSiskinClip[3] = {{16380, 16383}, {32760, 32767}, {49140, 49151}};

constexpr ClipRule SingleClip(SingleModel model, int samples) {
    switch (model) {
        case SingleModel::Egret:
            return kEgretClip[samples - 1];
        case SingleModel::Finch:
            return kFinchClip[samples - 1];
        case SingleModel::Siskin:
            break;
    }
    return kSiskinClip[samples - 1];
}

// Adds one sample to a single-CCD pixel sum under the model's sample rule:
// Egret a 16-bit sum that saturates at 65535, Finch the low 12 bits of each
// sample, Siskin a plain sum (capped later by SingleSumCap).
constexpr std::uint32_t SingleAddSample(SingleModel model, std::uint32_t sum, std::uint16_t r) {
    switch (model) {
        case SingleModel::Egret: {
            std::uint32_t s = sum + r;
            return s > 0xFFFF ? 0xFFFF : s;
        }
        case SingleModel::Finch:
            return sum + (r & 0x0FFFu);
        case SingleModel::Siskin:
            break;
    }
    return sum + r;
}

// Bias subtracted from a sum of s samples on type 8: (FinchBias + 100) * s - 100, 16-bit.
constexpr std::uint16_t FinchSumBias(std::uint16_t finch_bias, int s) {
    return static_cast<std::uint16_t>((finch_bias + 100) * s - 100);
}

// Final single-CCD pixel from a sum: the sum is capped at 65535, 0 below the
// bias, the stored value when more than the clip level above it.
constexpr std::uint16_t SinglePixel(std::uint32_t sum, std::uint16_t bias, ClipRule clip) {
    if (sum > 0xFFFF)
        sum = 0xFFFF;
    if (sum < bias)
        return 0;
    std::uint32_t v = sum - bias;
    return v > clip.Level ? clip.Stored : static_cast<std::uint16_t>(v);
}

// --- Measurements
// ImagingBias from the sum of 100 samples: rounded mean less the pedestal, never below 0.
constexpr std::uint16_t ImagingBiasFromSum(std::uint32_t sum) {
    std::uint32_t m = (sum + 12) / 100;
    return m < kPixelPedestal ? 0 : static_cast<std::uint16_t>(m - kPixelPedestal);
}
// FinchBias from the sum of 25 12-bit samples.
constexpr std::uint16_t FinchBiasFromSum(std::uint32_t sum) {
    std::uint32_t m = (sum + 12) / 25;
    return m < kPixelPedestal ? 0 : static_cast<std::uint16_t>(m - kPixelPedestal);
}
// A/D offset: rounded mean of 128 samples.
constexpr std::uint16_t OffsetFromSum(std::uint32_t sum) {
    return static_cast<std::uint16_t>((sum + 64) / 128);
}

// --- Readout modes and windows (16-bit arithmetic throughout)
struct ModeFactors {
    int HorizontalBinning;
    int VerticalShifts;
    int SummedRows;
};
constexpr ModeFactors FactorsOfMode(int mode, int vertical_factor) {
    int h = mode % 3 + 1;
    if (mode < 3)
        return {h, h, 1};
    if (mode < 6)
        return {h, vertical_factor, 1};
    return {h, 1, h};
}
constexpr std::uint16_t WindowStartColumn(std::uint16_t binning, std::uint16_t pixel_start,
                                          std::uint16_t left_columns) {
    return static_cast<std::uint16_t>(binning * pixel_start + left_columns);
}
constexpr std::uint16_t ImagingTrailingColumns(std::uint16_t total_columns, std::uint16_t binning,
                                               std::uint16_t pixel_length,
                                               std::uint16_t left_columns) {
    return static_cast<std::uint16_t>(total_columns - binning * pixel_length - left_columns);
}
// The tracking CCD delivers its columns right to left: the window is found
// from the right-hand end.
constexpr std::uint16_t TrackingStartColumn(std::uint16_t binning, std::uint16_t active_columns,
                                            std::uint16_t pixel_start, std::uint16_t pixel_length,
                                            std::uint16_t left_columns) {
    if (binning == 0)
        binning = 1;
    return static_cast<std::uint16_t>(
        binning *
            static_cast<std::uint16_t>(active_columns / binning - pixel_length - pixel_start) +
        left_columns);
}
// A flush count rounded up to whole fast-flush clocks (counts <= 0 stay as they are).
constexpr std::int16_t RoundUpToTen(std::int16_t n) {
    return n <= 0 ? n : static_cast<std::int16_t>((n + 9) / 10 * 10);
}

}  // namespace zeva::driver
