// One full capture on the default machine (the zeva driver on a simulated
// Gannet showing the pattern scene) through each path, checked pixel by pixel.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "common/le.h"
#include "common/records.h"
#include "driver/camera.h"
#include "support/pattern.h"
#include "zeva/zeva.h"

namespace {

using zeva::le::Get16;
using zeva::le::Put16;
using zeva::le::Put32;
namespace rec = zeva::rec;

using Entry = std::uint32_t (*)(std::uint32_t, void*, void*);

std::uint32_t Vb(std::uint32_t command, void* in, void* out) {
    return ParDrvCommandVB(command, in, out);
}

// The pattern charge plus the pedestal of 100 counts the bias correction leaves.
std::uint32_t Expected(int r, int c) {
    return zeva::test::PatternImaging(static_cast<std::uint32_t>(r),
                                      static_cast<std::uint32_t>(c)) +
           100u;
}

// Link, geometry, exposure, every line of mode 0 on the imaging CCD.
void CaptureAndCheck(Entry command) {
    std::uint8_t type[2] = {};
    ASSERT_EQ(command(ZEVA_ESTABLISH_LINK, nullptr, type), 0u);
    EXPECT_EQ(Get16(type, rec::EstablishLinkResults::CameraType), zeva::driver::kCameraGannet);

    // The packed record, mode 0 right after the header; the no-handle entry
    // compacts it in place from the driver's larger aligned one.
    std::uint8_t request[rec::CcdInfoParams::kSize] = {};
    std::uint8_t info[rec::CcdInfoResult::kSize] = {};
    ASSERT_EQ(command(ZEVA_GET_CCD_INFO, request, info), 0u);
    const std::size_t mode0 = rec::PackedCcdInfoResult::Mode(0);
    EXPECT_EQ(Get16(info, mode0 + rec::ReadoutModeInfo::Mode), 0);
    const int width = Get16(info, mode0 + rec::ReadoutModeInfo::Width);
    const int height = Get16(info, mode0 + rec::ReadoutModeInfo::Height);
    ASSERT_EQ(width, zeva::driver::kImagingGannet.ActiveColumns);
    ASSERT_EQ(height, zeva::driver::kImagingGannet.ActiveRows);

    std::uint8_t start[rec::PackedStartExposureParams::kSize] = {};
    Put32(start, rec::PackedStartExposureParams::ExposureTime, 10);
    Put16(start, rec::PackedStartExposureParams::ShutterMode, 1);
    ASSERT_EQ(command(ZEVA_START_EXPOSURE, start, nullptr), 0u);
    std::uint8_t end[2] = {};
    ASSERT_EQ(command(ZEVA_END_EXPOSURE, end, nullptr), 0u);

    std::uint8_t params[rec::ReadoutLineParams::kSize] = {};
    Put16(params, rec::ReadoutLineParams::PixelLength, static_cast<std::uint16_t>(width));
    std::vector<std::uint8_t> line(2 * width);
    int wrong = 0;
    for (int r = 0; r < height; ++r) {
        ASSERT_EQ(command(ZEVA_READOUT_LINE, params, line.data()), 0u) << "line " << r;
        for (int c = 0; c < width; ++c) {
            if (Get16(line.data(), 2 * c) != Expected(r, c) && wrong++ < 5) {
                ADD_FAILURE() << "pixel " << r << "," << c << " = " << Get16(line.data(), 2 * c);
            }
        }
    }
    EXPECT_EQ(wrong, 0);
    ASSERT_EQ(command(ZEVA_END_READOUT, end, nullptr), 0u);
}

TEST(Capture, FullFrameThroughTheNtNoHandleEntry) {
    ASSERT_EQ(ParDeviceCommandNH(ZEVA_OPEN_DRIVER, nullptr, nullptr), 0u);
    std::uint8_t port[2];
    Put16(port, 0, 1);
    ASSERT_EQ(ParDeviceCommandNH(ZEVA_OPEN_DEVICE, port, nullptr), 0u);
    CaptureAndCheck(&ParDeviceCommandNH);

    // A second frame read with ReadSubtractLine against the first frame's
    // values: every pixel comes out as the offset of 100.
    std::uint8_t start[rec::PackedStartExposureParams::kSize] = {};
    Put32(start, rec::PackedStartExposureParams::ExposureTime, 10);
    Put16(start, rec::PackedStartExposureParams::ShutterMode, 1);
    std::uint8_t ccd[2] = {};
    ASSERT_EQ(ParDeviceCommandNH(ZEVA_START_EXPOSURE, start, nullptr), 0u);
    ASSERT_EQ(ParDeviceCommandNH(ZEVA_END_EXPOSURE, ccd, nullptr), 0u);
    const int width = 200;
    std::uint8_t params[rec::ReadoutLineParams::kSize] = {};
    Put16(params, rec::ReadoutLineParams::PixelLength, width);
    for (int r = 0; r < 3; ++r) {
        std::vector<std::uint8_t> line(2 * width);
        for (int c = 0; c < width; ++c) {
            Put16(line.data(), 2 * c, static_cast<std::uint16_t>(Expected(r, c)));
        }
        ASSERT_EQ(ParDeviceCommandNH(ZEVA_READ_SUBTRACT_LINE, params, line.data()), 0u);
        for (int c = 0; c < width; ++c) {
            ASSERT_EQ(Get16(line.data(), 2 * c), 100) << r << "," << c;
        }
    }
    // More than 1530 pixels: the driver refuses the short output, nothing is written.
    Put16(params, rec::ReadoutLineParams::PixelLength, 2000);
    std::vector<std::uint8_t> wide(4000, 0x5A);
    EXPECT_NE(ParDeviceCommandNH(ZEVA_READ_SUBTRACT_LINE, params, wide.data()), 0u);
    EXPECT_EQ(wide, std::vector<std::uint8_t>(4000, 0x5A));
    ASSERT_EQ(ParDeviceCommandNH(ZEVA_END_READOUT, ccd, nullptr), 0u);

    EXPECT_EQ(ParDeviceCommandNH(ZEVA_CLOSE_DEVICE, nullptr, nullptr), 0u);
    EXPECT_EQ(ParDeviceCommandNH(ZEVA_CLOSE_DRIVER, nullptr, nullptr), 1020u);
}

TEST(Capture, FullFrameThroughTheWrapperOnWindows98) {
    setenv("ZEVA_WINDOWS", "98", 1);
    ASSERT_EQ(ParDrvCommandVB(ZEVA_OPEN_DRIVER, nullptr, nullptr), 0u);
    CaptureAndCheck(&Vb);
    EXPECT_EQ(ParDrvCommandVB(ZEVA_CLOSE_DRIVER, nullptr, nullptr), 0u);
    unsetenv("ZEVA_WINDOWS");
}

}  // namespace
