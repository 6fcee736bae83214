// Readout plans, cooler calibration and guiding relay times of the INDI driver.
#include "indi/plan.h"

#include <gtest/gtest.h>

namespace {

using namespace zeva::indi;
using zeva::client::CcdInfo;

// Imaging table of a dual-CCD camera: 765 x 510, modes 3-5 variable height.
CcdInfo Imaging() {
    CcdInfo info;
    const unsigned w = 765, h = 510;
    for (unsigned m = 0; m < 9; ++m) {
        const unsigned n = m % 3 + 1;
        zeva::client::ReadoutModeInfo e;
        e.mode = static_cast<std::uint16_t>(m);
        e.width = static_cast<std::uint16_t>(w / n);
        e.height = static_cast<std::uint16_t>(m >= 3 && m < 6 ? 0 : h / n);
        info.modes.push_back(e);
    }
    return info;
}

CcdInfo Tracking() {
    CcdInfo info = Imaging();
    info.modes.resize(2);
    return info;
}

TEST(ReadoutPlan, SymmetricBinningUsesTheBinnedModesAndFloorsTheWindow) {
    ReadoutPlan p;
    std::string err;
    ASSERT_TRUE(PlanReadout(Imaging(), true, 2, 2, 41, 13, 31, 17, &p, &err)) << err;
    EXPECT_EQ(p.mode, 1u);
    EXPECT_EQ(p.modeWidth, 382u);
    EXPECT_EQ(p.modeHeight, 255u);
    EXPECT_EQ(p.x, 20u);
    EXPECT_EQ(p.y, 6u);
    EXPECT_EQ(p.w, 15u);
    EXPECT_EQ(p.h, 8u);
}

TEST(ReadoutPlan, AsymmetricBinningNeedsTheVerticalFactorModes) {
    ReadoutPlan p;
    std::string err;
    ASSERT_TRUE(PlanReadout(Imaging(), true, 1, 3, 0, 0, 765, 510, &p, &err)) << err;
    EXPECT_EQ(p.mode, 3u);
    EXPECT_EQ(p.verticalFactor, 3u);
    EXPECT_EQ(p.modeWidth, 765u);
    EXPECT_EQ(p.modeHeight, 170u);
    ASSERT_TRUE(PlanReadout(Imaging(), true, 3, 1, 0, 0, 765, 510, &p, &err));
    EXPECT_EQ(p.mode, 5u);
    EXPECT_EQ(p.modeWidth, 255u);
    EXPECT_EQ(p.modeHeight, 510u);
    EXPECT_FALSE(PlanReadout(Imaging(), false, 1, 2, 0, 0, 765, 510, &p, &err));
    EXPECT_FALSE(err.empty());
    EXPECT_FALSE(BinningOffered(Tracking(), false, 3, 3));
    EXPECT_TRUE(BinningOffered(Tracking(), false, 2, 2));
    EXPECT_FALSE(BinningOffered(Tracking(), true, 1, 2));
    EXPECT_FALSE(BinningOffered(Imaging(), true, 4, 4));
    EXPECT_FALSE(BinningOffered(Imaging(), true, 0, 1));
}

TEST(ReadoutPlan, WindowIsClippedToTheCcdWithAtLeastOnePixel) {
    ReadoutPlan p;
    std::string err;
    ASSERT_TRUE(PlanReadout(Imaging(), true, 3, 3, 760, 500, 100, 100, &p, &err));
    EXPECT_EQ(p.x, 253u);
    EXPECT_EQ(p.y, 166u);
    EXPECT_EQ(p.x + p.w, 255u);
    EXPECT_EQ(p.y + p.h, 170u);
    ASSERT_TRUE(PlanReadout(Imaging(), true, 2, 2, 0, 0, 1, 1, &p, &err));
    EXPECT_EQ(p.w, 1u);
    EXPECT_EQ(p.h, 1u);
    ASSERT_TRUE(PlanReadout(Imaging(), true, 1, 1, 5000, 5000, 10, 10, &p, &err));
    EXPECT_EQ(p.x, 764u);
    EXPECT_EQ(p.w, 1u);
}

TEST(CoolerCalibration, DefaultRoundTripsAndCustomPointsApply) {
    CoolerCalibration c;
    EXPECT_DOUBLE_EQ(c.ToCelsius(1000), 25.0);
    EXPECT_DOUBLE_EQ(c.ToCelsius(3000), -25.0);
    EXPECT_EQ(c.ToReading(0.0), 2000);
    EXPECT_EQ(c.ToReading(15.0), 1400);
    EXPECT_EQ(c.ToReading(100.0), 0);  // limited, not wrapped
    EXPECT_EQ(c.ToReading(-200.0), 4095);
    CoolerCalibration k{500, 20, 2500, -30};
    EXPECT_DOUBLE_EQ(k.ToCelsius(1500), -5.0);
    EXPECT_EQ(k.ToReading(-5.0), 1500);
    EXPECT_FALSE((CoolerCalibration{1000, 25, 1000, -25}).Valid());
    EXPECT_FALSE((CoolerCalibration{1000, 25, 3000, 25}).Valid());
}

TEST(RelayTimes, AxesCombineOnTheirMappedOutputsInShortUnits) {
    RelayMap m;
    auto t = RelayTimes(m, 500, true, 0, false);
    EXPECT_EQ(t, (std::array<std::uint16_t, 4>{50, 0, 0, 0}));
    t = RelayTimes(m, 500, false, 124, true);
    EXPECT_EQ(t, (std::array<std::uint16_t, 4>{0, 50, 0, 12}));
    // Long pulses stay in 10 ms units (sent again in pieces).
    t = RelayTimes(m, 20000, true, 30, false);
    EXPECT_EQ(t, (std::array<std::uint16_t, 4>{255, 0, 3, 0}));
    RelayMap r{2, 1, 0, 3};
    t = RelayTimes(r, 100, true, 100, false);
    EXPECT_EQ(t, (std::array<std::uint16_t, 4>{10, 0, 10, 0}));
    EXPECT_FALSE((RelayMap{0, 0, 1, 2}).Valid());
    EXPECT_FALSE((RelayMap{0, 1, 2, 4}).Valid());
    EXPECT_EQ(RelayTimes(RelayMap{0, 0, 1, 2}, 100, true, 0, false),
              (std::array<std::uint16_t, 4>{}));
    EXPECT_TRUE(RelayClosed(8, 0));
    EXPECT_TRUE(RelayClosed(1, 3));
    EXPECT_FALSE(RelayClosed(8, 3));
    EXPECT_FALSE(RelayClosed(0xF, 4));
}

}  // namespace
