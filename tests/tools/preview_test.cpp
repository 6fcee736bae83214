// The PNG preview: the automatic screen stretch and a file libpng reads back.
#include "tools/zeva/preview.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace zeva::tool {
namespace {

// A sky of `level` counts with noise of `sigma` and one star of `peak`
// counts above the sky in the middle (a Gaussian of 1.5 px sigma).
std::vector<std::uint16_t> Sky(unsigned w, unsigned h, double level, double sigma, double peak) {
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0, sigma);
    std::vector<std::uint16_t> px(w * h);
    for (unsigned y = 0; y < h; ++y)
        for (unsigned x = 0; x < w; ++x) {
            const double r2 = (x - w / 2.0) * (x - w / 2.0) + (y - h / 2.0) * (y - h / 2.0);
            const double v = level + noise(rng) + peak * std::exp(-r2 / (2 * 1.5 * 1.5));
            px[y * w + x] = static_cast<std::uint16_t>(std::clamp(v, 0.0, 65535.0));
        }
    return px;
}

TEST(Preview, SkyShowsDarkGreyAtOneLevelAndStarsKeepACoreAndAnEdge) {
    // A short and a long exposure: the sky six times brighter, the noise with it.
    for (const auto& [level, sigma] : {std::pair{1100.0, 9.0}, std::pair{6600.0, 40.0}}) {
        const std::vector<std::uint16_t> px = Sky(64, 48, level, sigma, 40000);
        const ScreenStretch s = AutoStretch(px);
        const double sky = s.Map(static_cast<std::uint16_t>(level)) / 255.0;
        EXPECT_GT(sky, 0.2) << level;
        EXPECT_LT(sky, 0.3) << level;
        EXPECT_EQ(s.Map(static_cast<std::uint16_t>(level - 4 * sigma)), 0) << level;
        // The star: a bright core, and where its wing is ten sigmas above
        // the sky a soft edge halfway between the sky's grey and white.
        const std::uint8_t core = s.Map(static_cast<std::uint16_t>(level + 40000));
        const std::uint8_t edge = s.Map(static_cast<std::uint16_t>(level + 10 * sigma));
        EXPECT_GT(core, 245) << level;
        EXPECT_GT(edge, 100) << level;
        EXPECT_LT(edge, 180) << level;
    }
    // A frame of one value (a clean dark): grey, not black, white or a division by zero.
    const ScreenStretch flat = AutoStretch(std::vector<std::uint16_t>(100, 100));
    EXPECT_NEAR(flat.Map(100), 64, 2);
}

TEST(Preview, WritesTheStretchedFrameAndRefusesAnEmptyOne) {
    const unsigned w = 40, h = 30;
    const std::vector<std::uint16_t> px = Sky(w, h, 2000, 15, 30000);
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(WritePreviewPng(f, w, h, px), "");
    std::rewind(f);
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    ASSERT_NE(png_image_begin_read_from_stdio(&image, f), 0);
    EXPECT_EQ(image.width, w);
    EXPECT_EQ(image.height, h);
    image.format = PNG_FORMAT_GRAY;
    std::vector<png_byte> grey(PNG_IMAGE_SIZE(image));
    ASSERT_NE(png_image_finish_read(&image, nullptr, grey.data(), 0, nullptr), 0);
    const ScreenStretch s = AutoStretch(px);
    for (std::size_t i = 0; i < grey.size(); ++i) ASSERT_EQ(grey[i], s.Map(px[i])) << i;
    EXPECT_NE(WritePreviewPng(f, 0, 0, {}), "");
    std::fclose(f);
}

}  // namespace
}  // namespace zeva::tool
