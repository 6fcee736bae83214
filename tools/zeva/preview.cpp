#include "tools/zeva/preview.h"

#include <png.h>

#include <algorithm>
#include <cstdio>

namespace zeva::tool {

std::uint8_t Stretch(std::uint16_t v, std::uint16_t lo, std::uint16_t hi) {
    if (v <= lo)
        return 0;
    if (v >= hi)
        return 255;
    return static_cast<std::uint8_t>((255u * (v - lo)) / (hi - lo));
}

std::string WritePreviewPng(const std::string& path, unsigned width, unsigned height,
                            const std::vector<std::uint16_t>& pixels) {
    if (width == 0 || height == 0 || pixels.size() < static_cast<std::size_t>(width) * height)
        return "empty frame";
    std::vector<std::uint16_t> sorted(pixels.begin(),
                                      pixels.begin() + static_cast<long>(width) * height);
    std::sort(sorted.begin(), sorted.end());
    const std::uint16_t lo = sorted[sorted.size() * 5 / 1000];
    const std::uint16_t hi = sorted[(sorted.size() - 1) * 995 / 1000];
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return "cannot create " + path;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(f);
        std::remove(path.c_str());
        return "libpng failed writing " + path;
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    std::vector<png_byte> row(width);
    for (unsigned y = 0; y < height; ++y) {
        for (unsigned x = 0; x < width; ++x)
            row[x] = Stretch(pixels[static_cast<std::size_t>(y) * width + x], lo, hi);
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
    return {};
}

}  // namespace zeva::tool
