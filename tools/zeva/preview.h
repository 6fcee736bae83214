// Quick-look PNG of a frame: 8-bit grey with the automatic screen stretch
// astronomy viewers use, so that the sky shows dark grey at the same level
// whatever the exposure and stars keep a core and a soft edge.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace zeva::tool {

// The stretch of a frame: values at or below `shadows` are black, full scale
// (65535) is white, and between them a midtones transfer function with
// balance `midtones` takes the frame's median to about a quarter of full scale.
struct ScreenStretch {
    double shadows = 0;     // in counts
    double midtones = 0.5;  // 0.5 is linear; smaller brightens the faint end
    std::uint8_t Map(std::uint16_t v) const;
};

// The frame's stretch: shadows a few robust sigmas (the median absolute
// deviation's) below the median, found with partial sorts.
ScreenStretch AutoStretch(const std::vector<std::uint16_t>& pixels);

// Writes width x height pixels as an 8-bit grey PNG to `f`.  Returns an empty
// string on success, else what went wrong.
std::string WritePreviewPng(std::FILE* f, unsigned width, unsigned height,
                            const std::vector<std::uint16_t>& pixels);

}  // namespace zeva::tool
