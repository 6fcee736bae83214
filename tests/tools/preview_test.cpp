// The PNG preview: stretch and a file that libpng reads back.
#include "tools/zeva/preview.h"

#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace zeva::tool {
namespace {

TEST(Preview, StretchClipsOutsideTheRangeAndScalesInside) {
    EXPECT_EQ(Stretch(90, 100, 200), 0);
    EXPECT_EQ(Stretch(100, 100, 200), 0);
    EXPECT_EQ(Stretch(150, 100, 200), 127);
    EXPECT_EQ(Stretch(200, 100, 200), 255);
    EXPECT_EQ(Stretch(60000, 100, 200), 255);
    EXPECT_EQ(Stretch(5, 7, 7), 0);  // flat frame: no division by zero
    EXPECT_EQ(Stretch(7, 7, 7), 0);
}

TEST(Preview, WritesAGreyImageOfTheFrameSizeWithTheFullRangeUsed) {
    const unsigned w = 40, h = 30;
    std::vector<std::uint16_t> pixels(w * h);
    for (unsigned i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<std::uint16_t>(1000 + 10 * i);
    const std::string path = "/tmp/zeva-preview-" + std::to_string(getpid()) + ".png";
    ASSERT_EQ(WritePreviewPng(path, w, h, pixels), "");
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    ASSERT_NE(png_image_begin_read_from_file(&image, path.c_str()), 0);
    EXPECT_EQ(image.width, w);
    EXPECT_EQ(image.height, h);
    image.format = PNG_FORMAT_GRAY;
    std::vector<png_byte> grey(PNG_IMAGE_SIZE(image));
    ASSERT_NE(png_image_finish_read(&image, nullptr, grey.data(), 0, nullptr), 0);
    EXPECT_EQ(grey.front(), 0);
    EXPECT_EQ(grey.back(), 255);
    for (std::size_t i = 1; i < grey.size(); ++i)
        ASSERT_LE(grey[i - 1], grey[i]) << i;  // the ramp stays a ramp
    std::remove(path.c_str());
}

TEST(Preview, RefusesAnEmptyFrame) {
    EXPECT_NE(WritePreviewPng("/tmp/never.png", 0, 0, {}), "");
}

}  // namespace
}  // namespace zeva::tool
