// What a readout line of every mode holds when the pattern scene was exposed:
// the oracle the whole-driver tests compare lines with, from the cameras'
// own description (the area that holds charge, how each family's pixels are
// binned, offset and corrected), not from the driver's or the simulator's code.
#pragma once

#include <algorithm>
#include <cstdint>

#include "support/pattern.h"

namespace zeva::test {

// How the imaging (or only) CCD of a family delivers its pixels.
enum class Kind { Dual, Kestrel, Egret, Type8 };

// A simulated camera and the area of its imaging CCD that holds charge.
struct PatternCamera {
    const char* model;
    std::uint16_t type;
    Kind kind;
    int charged_columns;
    int rows;
};

// The tracking CCD of the dual-CCD family.
inline constexpr int kTrackingColumns = 190, kTrackingRows = 162;

// Charge the pattern scene leaves in active row r, column c.
inline std::uint32_t PatternCharge(const PatternCamera& cam, int ccd, int r, int c) {
    if (ccd == 1) {
        if (c < 0 || c >= kTrackingColumns || r < 0 || r >= kTrackingRows)
            return 0;
        return PatternTracking(static_cast<std::uint32_t>(r), static_cast<std::uint32_t>(c));
    }
    if (c < 0 || c >= cam.charged_columns || r < 0 || r >= cam.rows)
        return 0;
    return PatternImaging(static_cast<std::uint32_t>(r), static_cast<std::uint32_t>(c));
}

inline std::uint32_t PatternBlock(const PatternCamera& cam, int ccd, int r, int rows, int c,
                                  int cols) {
    std::uint32_t sum = 0;
    for (int dr = 0; dr < rows; ++dr)
        for (int dc = 0; dc < cols; ++dc) sum += PatternCharge(cam, ccd, r + dr, c + dc);
    return sum;
}

// CCD rows one output line of the mode consumes.
inline int PatternRowsPerLine(int mode, int vertical) {
    if (mode < 3)
        return mode + 1;
    if (mode < 6)
        return vertical;
    return mode - 5;
}

// The value a line of `mode` starting at active row r holds at binned pixel
// x.  Imaging and type-8 pixels are bias-corrected down to the pedestal of
// 100 counts; tracking and Egret pixels are raw samples, on top of the
// converter's offset.
inline std::uint32_t PatternLinePixel(const PatternCamera& cam, int ccd, int mode, int vertical,
                                      std::uint32_t offset, int r, int x) {
    const int h = mode % 3 + 1;
    if (ccd == 1) {
        if (mode == 0)
            return std::min<std::uint32_t>(offset + PatternCharge(cam, 1, r, x), 65535);
        // Two rows on chip, the mean of two adjacent samples.
        const std::uint32_t a = offset + PatternBlock(cam, 1, r, 2, 2 * x, 1);
        const std::uint32_t b = offset + PatternBlock(cam, 1, r, 2, 2 * x + 1, 1);
        return (a + b) / 2;
    }
    if (cam.kind == Kind::Egret || cam.kind == Kind::Type8) {
        // m + 1 rows on chip, m + 1 successive samples added by the driver.
        const int s = mode + 1;
        const std::uint32_t charge = PatternBlock(cam, 0, r, s, s * x, s);
        if (cam.kind == Kind::Type8)
            return 100 + charge;
        return s * offset + charge;
    }
    if (mode < 3)
        return 100 + PatternBlock(cam, 0, r, h, h * x, h);
    if (mode < 6)
        return 100 + PatternBlock(cam, 0, r, vertical, h * x, h);
    // One row at a time, h rows added in the driver.
    std::uint32_t sum = 0;
    for (int k = 0; k < h; ++k) sum += 100 + PatternBlock(cam, 0, r + k, 1, h * x, h);
    return std::min<std::uint32_t>(sum, 65535);
}

}  // namespace zeva::test
