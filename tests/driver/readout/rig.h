// A booted platform with one simulated camera on the first port and a
// device state set up for it by hand (link establishment is not run):
// camera type, highest CCD and geometry come from the camera's own shape.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/le.h"
#include "driver/device_state.h"
#include "platform/system.h"
#include "sim/camera.h"
#include "sim/config.h"
#include "support/pattern.h"

namespace zeva::driver::testing {

class ReadoutRig : public ::testing::Test {
  protected:
    void TearDown() override {
        if (platform::SystemRunning())
            platform::ShutdownSystem();
    }

    void Boot(const std::string& entry) {
        platform::BackendResult made = sim::MakeBackend(entry);
        ASSERT_NE(made.backend, nullptr) << made.error;
        cam = static_cast<sim::Camera*>(made.backend.get());
        platform::SystemConfig config;
        config.clock = platform::ClockMode::Virtual;
        platform::PortConfig port;
        port.entry = entry;
        port.backend = std::move(made.backend);
        config.ports.push_back(std::move(port));
        ASSERT_EQ(platform::BootSystem(std::move(config)), 0);

        state_ = std::make_unique<DeviceState>();
        state = state_.get();
        state->PortBase = platform::DefaultPortBase(0);
        state->RaisedIrql = kInitialRaisedIrql;
        state->CameraType = cam->info().type;
        state->MaxCCD = cam->info().hasTracking ? 1 : 0;
        state->SiskinVariant = cam->info().model == sim::Model::Siskin ? 1 : 0;
        for (int ccd = 0; ccd < 2; ++ccd) {
            const sim::CcdShape& s = cam->Shape(ccd);
            GeometryRecord& g = state->Geometry[ccd];
            g.ActiveColumns = s.activeColumns;
            g.ActiveRows = s.activeRows;
            g.TopRows = s.topRows;
            g.LeftColumns = s.leftColumns;
            g.BottomRows = s.bottomRows;
            g.RightColumns = s.rightColumns;
            g.TotalColumns = s.totalColumns;
            g.TotalRows = s.totalRows;
            for (int m = 0; m < kModeCount; ++m)
                g.ModeBinning[m] = static_cast<std::uint16_t>(m % 3 + 1);
        }
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
        std::vector<std::uint8_t> b(std::max<std::size_t>(8, 2u * length), 0xEE);
        le::Put16(b.data(), 0, ccd);
        le::Put8(b.data(), 2, mode);
        le::Put8(b.data(), 3, vertical);
        le::Put16(b.data(), 4, start);
        le::Put16(b.data(), 6, length);
        return b;
    }
    static std::vector<std::uint8_t> DumpRequest(std::uint16_t ccd, std::uint8_t mode,
                                                 std::uint8_t vertical, std::uint16_t lines) {
        std::vector<std::uint8_t> b(6);
        le::Put16(b.data(), 0, ccd);
        le::Put8(b.data(), 2, mode);
        le::Put8(b.data(), 3, vertical);
        le::Put16(b.data(), 4, lines);
        return b;
    }
    static std::uint16_t Pixel(const std::vector<std::uint8_t>& b, int i) {
        return le::Get16(b.data(), 2 * static_cast<std::size_t>(i));
    }

  protected:
    sim::Camera* cam = nullptr;
    DeviceState* state = nullptr;

  private:
    std::unique_ptr<DeviceState> state_;
};

}  // namespace zeva::driver::testing
