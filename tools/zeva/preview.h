// Quick-look PNG of a frame: 8-bit grey, stretched between the 0.5 and 99.5
// percentiles of the pixel values.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zeva::tool {

// Returns an empty string on success, else what went wrong.
std::string WritePreviewPng(const std::string& path, unsigned width, unsigned height,
                            const std::vector<std::uint16_t>& pixels);

// The stretch of WritePreviewPng: maps `v` between `lo` and `hi` onto 0..255.
std::uint8_t Stretch(std::uint16_t v, std::uint16_t lo, std::uint16_t hi);

}  // namespace zeva::tool
