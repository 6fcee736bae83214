// The simulator's `pattern` scene, the oracle the frame tests compare with.
// Written from the scene's description in sim/README.md, not from the
// simulator's code, so that a fault in either shows:
//   imaging (or only) CCD  P(r, c) = (31 r + 17 c) mod 1000
//   tracking CCD           P(r, c) = 2000 + (13 r + 7 c) mod 1000
// r and c count rows and columns of the CCD's active area from 0.
#pragma once

#include <cstdint>

namespace zeva::test {

constexpr std::uint32_t PatternImaging(std::uint32_t r, std::uint32_t c) {
    return (31 * r + 17 * c) % 1000;
}

constexpr std::uint32_t PatternTracking(std::uint32_t r, std::uint32_t c) {
    return 2000 + (13 * r + 7 * c) % 1000;
}

// The pattern of CCD `ccd` (0 imaging, 1 tracking).
constexpr std::uint32_t Pattern(int ccd, std::uint32_t r, std::uint32_t c) {
    return ccd == 1 ? PatternTracking(r, c) : PatternImaging(r, c);
}

// A binned pixel of the imaging pattern before any pedestal: the sum over
// rows r .. r + rows - 1 and columns c .. c + cols - 1.
constexpr std::uint32_t ImagingBlock(std::uint32_t r, std::uint32_t rows, std::uint32_t c,
                                     std::uint32_t cols) {
    std::uint32_t sum = 0;
    for (std::uint32_t dr = 0; dr < rows; ++dr)
        for (std::uint32_t dc = 0; dc < cols; ++dc) sum += PatternImaging(r + dr, c + dc);
    return sum;
}

}  // namespace zeva::test
