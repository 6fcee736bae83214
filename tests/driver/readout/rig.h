// The driver booted with one simulated camera on the first port and the
// camera linked; the tests drive the readout routines on its device state.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "common/le.h"
#include "common/records.h"
#include "driver/device_state.h"
#include "sim/camera.h"
#include "support/booted_driver.h"
#include "support/pattern.h"

namespace zeva::driver::testing {

class ReadoutRig : public ::testing::Test {
  protected:
    // Boots (again) with the camera of `entry` and links it: camera type,
    // highest CCD and geometry are the driver's own.
    void Boot(const std::string& entry) {
        ASSERT_TRUE(session_.Boot({entry}));
        ASSERT_EQ(session_[0].Link(), STATUS_SUCCESS);
        cam = session_[0].camera();
        state = session_[0].State();
        ASSERT_NE(state, nullptr);
    }

    // Leaves the pattern in the active area of the first `rows` active rows
    // (and nothing anywhere else in the rows up to them), as an exposure of
    // the pattern scene does.
    void ExposePattern(int ccd, int rows) {
        const sim::CcdShape& s = cam->Shape(ccd);
        for (int row = 0; row < s.topRows + rows + 4 && row < s.totalRows; ++row) {
            for (int col = 0; col < s.totalColumns; ++col) cam->SetCharge(ccd, row, col, 0);
        }
        for (int r = 0; r < rows; ++r) {
            for (int c = 0; c < s.activeColumns; ++c) {
                const int cell =
                    ccd == 1 ? s.leftColumns + (s.activeColumns - 1 - c) : s.leftColumns + c;
                cam->SetCharge(ccd, s.topRows + r, cell,
                               ccd == 1 ? zeva::test::PatternTracking(r, c)
                                        : zeva::test::PatternImaging(r, c));
            }
        }
    }

    // Charge the pattern leaves at active row r, column c (0 outside the active area).
    std::uint32_t P(int ccd, int r, int c) const {
        const sim::CcdShape& s = cam->Shape(ccd);
        if (c < 0 || c >= s.activeColumns || r < 0)
            return 0;
        return ccd == 1 ? zeva::test::PatternTracking(r, c) : zeva::test::PatternImaging(r, c);
    }

  public:
    static std::vector<std::uint8_t> LineRequest(std::uint16_t ccd, std::uint8_t mode,
                                                 std::uint8_t vertical, std::uint16_t start,
                                                 std::uint16_t length) {
        namespace p = rec::ReadoutLineParams;
        std::vector<std::uint8_t> b(std::max<std::size_t>(p::kSize, 2u * length), 0xEE);
        le::Put16(b.data(), p::Ccd, ccd);
        le::Put8(b.data(), p::ReadoutMode, mode);
        le::Put8(b.data(), p::VerticalFactor, vertical);
        le::Put16(b.data(), p::PixelStart, start);
        le::Put16(b.data(), p::PixelLength, length);
        return b;
    }
    static std::vector<std::uint8_t> DumpRequest(std::uint16_t ccd, std::uint8_t mode,
                                                 std::uint8_t vertical, std::uint16_t lines) {
        namespace p = rec::DumpLinesParams;
        std::vector<std::uint8_t> b(p::kSize);
        le::Put16(b.data(), p::Ccd, ccd);
        le::Put8(b.data(), p::ReadoutMode, mode);
        le::Put8(b.data(), p::VerticalFactor, vertical);
        le::Put16(b.data(), p::LineCount, lines);
        return b;
    }
    static std::uint16_t Pixel(const std::vector<std::uint8_t>& b, int i) {
        return le::Get16(b.data(), 2 * static_cast<std::size_t>(i));
    }

  protected:
    sim::Camera* cam = nullptr;
    DeviceState* state = nullptr;

  private:
    zeva::test::BootedDriver session_;
};

}  // namespace zeva::driver::testing
