// Readout plans, camera families, cooler calibration and guiding relay times.
#include "client/plan.h"

#include <gtest/gtest.h>

namespace {

using namespace zeva::client;

// Imaging table of a dual-CCD camera: 765 x 510, modes 3-5 variable height.
CcdInfo Imaging() {
    CcdInfo info;
    const unsigned w = 765, h = 510;
    for (unsigned m = 0; m < 9; ++m) {
        const unsigned n = m % 3 + 1;
        ReadoutModeInfo e;
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

// A plan by binning with the window clipped, as the INDI driver asks for it.
bool PlanReadout(const CcdInfo& info, bool vfModes, unsigned hbin, unsigned vbin, unsigned x,
                 unsigned y, unsigned w, unsigned h, ReadoutPlan* p, std::string* err) {
    return PlanBinning(info, 0, vfModes, hbin, vbin, p, err) &&
           SetWindow(p, {x, y, w, h}, WindowFit::Clip, err);
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

TEST(ReadoutPlan, FlooringKeepsTheRequestedWindowBesideTheOneRead) {
    ReadoutPlan p;
    std::string err;
    ASSERT_TRUE(PlanReadout(Imaging(), true, 2, 2, 41, 13, 31, 17, &p, &err)) << err;
    EXPECT_EQ(p.requested, (Window{41, 13, 31, 17}));
    EXPECT_EQ(p.Unbinned(), (Window{40, 12, 30, 16}));
    // A whole-CCD plan asks for the whole CCD.
    ASSERT_TRUE(PlanBinning(Imaging(), 0, true, 3, 3, &p, &err));
    EXPECT_EQ(p.requested, (Window{0, 0, 765, 510}));
    EXPECT_EQ(p.w, 255u);
    EXPECT_EQ(p.h, 170u);
}

TEST(ReadoutPlan, ExplicitModeTakesItsRowsPerLineAndRefusesWindowsOutside) {
    ReadoutPlan p;
    std::string err;
    // Mode 4: 2 columns, V rows per line, height from the unbinned table.
    ASSERT_TRUE(PlanMode(Imaging(), 0, 4, 5, &p, &err)) << err;
    EXPECT_EQ(p.hbin, 2u);
    EXPECT_EQ(p.vbin, 5u);
    EXPECT_EQ(p.verticalFactor, 5u);
    EXPECT_EQ(p.modeHeight, 102u);
    // Mode 8: three rows summed by the driver.
    ASSERT_TRUE(PlanMode(Imaging(), 0, 8, 1, &p, &err)) << err;
    EXPECT_EQ(p.vbin, 3u);
    EXPECT_FALSE(PlanMode(Tracking(), 1, 2, 1, &p, &err));
    EXPECT_NE(err.find("readout mode 2 is not offered by this CCD (valid: 0 to 1)"),
              std::string::npos)
        << err;
    ASSERT_TRUE(PlanMode(Imaging(), 0, 1, 1, &p, &err));
    const ReadoutPlan before = p;
    EXPECT_FALSE(SetWindow(&p, {700, 0, 100, 10}, WindowFit::Refuse, &err));
    EXPECT_NE(err.find("inside 764 x 510 unbinned pixels"), std::string::npos) << err;
    EXPECT_EQ(p.requested, before.requested);                            // unchanged on refusal
    EXPECT_FALSE(SetWindow(&p, {0, 0, 1, 1}, WindowFit::Refuse, &err));  // under one binned pixel
    // Far outside: no wrap-around into the CCD.
    EXPECT_FALSE(SetWindow(&p, {0xFFFFFFFEu, 0, 4, 4}, WindowFit::Refuse, &err));
    ASSERT_TRUE(SetWindow(&p, {41, 13, 31, 17}, WindowFit::Refuse, &err)) << err;
    EXPECT_EQ(p.x, 20u);
    EXPECT_EQ(p.h, 8u);
}

TEST(ReadoutPlan, BinnedPixelSizeFollowsTheRowsPerLine) {
    CcdInfo info = Imaging();
    for (ReadoutModeInfo& m : info.modes) {
        const std::uint32_t bcd[3] = {0x0900, 0x1800, 0x2700};  // 9.00, 18.00, 27.00 um
        m.pixelWidth = bcd[m.mode % 3];
        m.pixelHeight = m.height ? bcd[m.mode % 3] : 0;
    }
    ReadoutPlan p;
    std::string err;
    double w = 0, h = 0;
    ASSERT_TRUE(PlanMode(info, 0, 3, 2, &p, &err));
    BinnedPixelSize(info, p, &w, &h);
    EXPECT_DOUBLE_EQ(w, 9.0);
    EXPECT_DOUBLE_EQ(h, 18.0);
    ASSERT_TRUE(PlanMode(info, 0, 1, 1, &p, &err));
    BinnedPixelSize(info, p, &w, &h);
    EXPECT_DOUBLE_EQ(h, 18.0);
}

TEST(CameraFamily, TrackingCcdSingleCcdPedestalAndRows) {
    for (std::uint16_t t : {4, 5, 10, 12}) EXPECT_TRUE(HasTrackingCcd(t)) << t;
    for (std::uint16_t t : {6, 8, 13}) EXPECT_FALSE(HasTrackingCcd(t)) << t;
    EXPECT_TRUE(IsSingleCcd(6));
    EXPECT_TRUE(IsSingleCcd(8));
    EXPECT_FALSE(IsSingleCcd(13));
    EXPECT_EQ(PedestalOf(4, 0), 100);
    EXPECT_EQ(PedestalOf(4, 1), 0);
    EXPECT_EQ(PedestalOf(6, 0), 0);
    EXPECT_EQ(PedestalOf(8, 0), 100);
    const unsigned rows[9] = {1, 2, 3, 7, 7, 7, 1, 2, 3};
    for (unsigned m = 0; m < 9; ++m) EXPECT_EQ(RowsPerLine(m, 7), rows[m]) << m;
    EXPECT_TRUE(VerticalFactorModes(13, 0));
    EXPECT_FALSE(VerticalFactorModes(4, 1));
    EXPECT_FALSE(VerticalFactorModes(8, 0));
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
