#include "tools/zeva/preview.h"

#include <png.h>

#include <algorithm>
#include <cmath>

namespace zeva::tool {

namespace {

constexpr double kFullScale = 65535.0;
// Where the median lands, and how many robust sigmas below it black starts.
constexpr double kTargetBackground = 0.25;
constexpr double kShadowSigmas = 2.8;
// The median absolute deviation of normally distributed values, in sigmas.
constexpr double kMadToSigma = 1.4826;

// The midtones transfer function: 0 -> 0, m -> 0.5, 1 -> 1.
double Mtf(double m, double x) {
    if (x <= 0)
        return 0;
    if (x >= 1)
        return 1;
    return (m - 1) * x / ((2 * m - 1) * x - m);
}

// The value at `rank` of `v` (reordered).
std::uint16_t Nth(std::vector<std::uint16_t>& v, std::size_t rank) {
    std::nth_element(v.begin(), v.begin() + static_cast<long>(rank), v.end());
    return v[rank];
}

}  // namespace

std::uint8_t ScreenStretch::Map(std::uint16_t v) const {
    const double x = (v - shadows) / (kFullScale - shadows);
    return static_cast<std::uint8_t>(std::lround(255.0 * Mtf(midtones, x)));
}

ScreenStretch AutoStretch(const std::vector<std::uint16_t>& pixels) {
    ScreenStretch s;
    if (pixels.empty())
        return s;
    std::vector<std::uint16_t> work(pixels);
    const std::size_t mid = work.size() / 2;
    const std::uint16_t median = Nth(work, mid);
    for (std::uint16_t& v : work)
        v = static_cast<std::uint16_t>(v > median ? v - median : median - v);
    const double sigma = kMadToSigma * Nth(work, mid);
    // At least one count below the median, so that a flat frame shows grey.
    s.shadows = std::max(0.0, std::min(median - kShadowSigmas * sigma, median - 1.0));
    const double x = (median - s.shadows) / (kFullScale - s.shadows);
    // The balance that takes x to the target: the function is its own inverse that way.
    s.midtones = x > 0 ? Mtf(kTargetBackground, x) : 0.5;
    return s;
}

std::string WritePreviewPng(std::FILE* f, unsigned width, unsigned height,
                            const std::vector<std::uint16_t>& pixels) {
    if (width == 0 || height == 0 || pixels.size() < static_cast<std::size_t>(width) * height)
        return "empty frame";
    const std::vector<std::uint16_t> image(pixels.begin(),
                                           pixels.begin() + static_cast<long>(width) * height);
    const ScreenStretch stretch = AutoStretch(image);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return "libpng failed writing the preview";
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    std::vector<png_byte> row(width);
    for (unsigned y = 0; y < height; ++y) {
        for (unsigned x = 0; x < width; ++x)
            row[x] = stretch.Map(image[static_cast<std::size_t>(y) * width + x]);
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return {};
}

}  // namespace zeva::tool
