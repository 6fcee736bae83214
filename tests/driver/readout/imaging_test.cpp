// Imaging-CCD readout against the simulated camera's pattern scene.
#include <algorithm>
#include <functional>

#include "common/errors.h"
#include "driver/camera.h"
#include "driver/frame/routines.h"
#include "driver/link/port.h"
#include "driver/readout/pixels.h"
#include "driver/readout/readout.h"
#include "tests/driver/readout/rig.h"

namespace zeva::driver::testing {
namespace {

constexpr NTSTATUS kBadParameter = ErrorStatus(ErrBadParameter);

class ImagingReadout : public ReadoutRig {
  protected:
    // Clears the array (measuring the bias), leaves the pattern and dumps
    // the rows above the active area, as an exposure and its end do.
    void StartImage(const std::string& entry, int rows) {
        Boot(entry);
        const GeometryRecord& g = state->Geometry[0];
        ASSERT_EQ(ClearImagingArray(state, g.TotalRows, g.TotalColumns, 1, g.LeftColumns), 0);
        ExposePattern(0, rows);
        ASSERT_EQ(DumpImagingLines(state, g.TotalColumns, g.TopRows, 1), 0);
    }

    // Reads one line and checks every pixel against expected(i).
    void ExpectLine(std::uint8_t mode, std::uint8_t vertical, std::uint16_t start,
                    std::uint16_t length, const std::function<std::uint32_t(int)>& expected) {
        std::vector<std::uint8_t> b = LineRequest(0, mode, vertical, start, length);
        ASSERT_EQ(ReadoutLine(state, b.data()), 0);
        for (int i = 0; i < length; ++i) {
            ASSERT_EQ(Pixel(b, i), expected(i)) << "mode " << int(mode) << " pixel " << i;
        }
    }
};

TEST_F(ImagingReadout, ClearMeasuresBiasLeavingThePedestal) {
    Boot("sim:gannet?scene=pattern");
    const GeometryRecord& g = state->Geometry[0];
    ASSERT_EQ(ClearImagingArray(state, g.TotalRows, g.TotalColumns, 4, g.LeftColumns), 0);
    EXPECT_EQ(state->ImagingBias, cam->info().offset - 100);
    EXPECT_FALSE(cam->Vdd());  // the clear leaves the supply off
}

TEST_F(ImagingReadout, ModeZeroReadsEveryRowOfThePattern) {
    StartImage("sim:gannet?scene=pattern", 4);
    for (int r = 0; r < 3; ++r) {
        ExpectLine(0, 0, 0, kImagingGannet.ActiveColumns, [&](int i) { return P(0, r, i) + 100; });
    }
    EXPECT_TRUE(cam->Vdd());
}

TEST_F(ImagingReadout, WindowSkipsColumnsAndReachesPastTheActiveArea) {
    StartImage("sim:gannet?scene=pattern", 4);
    ExpectLine(0, 0, 3, 20, [&](int i) { return P(0, 0, 3 + i) + 100; });
    // Starting near the right edge: the border and the empty register read the pedestal.
    ExpectLine(0, 0, 750, 40, [&](int i) { return P(0, 1, 750 + i) + 100; });
    ExpectLine(6, 0, 9, 7, [&](int i) { return P(0, 2, 9 + i) + 100; });
}

TEST_F(ImagingReadout, BinnedModesCombineOnChipAndInTheDriver) {
    StartImage("sim:gannet?scene=pattern", 12);
    // Mode 1: 2 x 2 on chip (rows 0, 1).
    ExpectLine(1, 0, 5, 30, [&](int i) {
        const int c = 2 * (5 + i);
        return P(0, 0, c) + P(0, 0, c + 1) + P(0, 1, c) + P(0, 1, c + 1) + 100;
    });
    // Mode 3 with a vertical factor of 3: rows 2, 3, 4 on chip, no horizontal binning.
    ExpectLine(3, 3, 0, 40, [&](int i) { return P(0, 2, i) + P(0, 3, i) + P(0, 4, i) + 100; });
    // Mode 7: one row at a time binned by 2, two rows (5, 6) added by the driver.
    ExpectLine(7, 0, 1, 25, [&](int i) {
        const int c = 2 * (1 + i);
        return P(0, 5, c) + P(0, 5, c + 1) + 100 + P(0, 6, c) + P(0, 6, c + 1) + 100;
    });
    // Mode 2: 3 x 3 on chip (rows 7, 8, 9).
    ExpectLine(2, 0, 2, 10, [&](int i) {
        std::uint32_t sum = 100;
        for (int dr = 0; dr < 3; ++dr)
            for (int dc = 0; dc < 3; ++dc) sum += P(0, 7 + dr, 3 * (2 + i) + dc);
        return sum;
    });
}

TEST_F(ImagingReadout, JacanaSwapsThePhasesAndKestrelUsesItsOwnClear) {
    for (const char* entry : {"sim:jacana?scene=pattern", "sim:kestrel?scene=pattern"}) {
        StartImage(entry, 3);
        EXPECT_EQ(state->ImagingBias, cam->info().offset - 100) << entry;
        ExpectLine(0, 0, 0, 64, [&](int i) { return P(0, 0, i) + 100; });
        ExpectLine(0, 0, 100, 64, [&](int i) { return P(0, 1, 100 + i) + 100; });
    }
}

TEST_F(ImagingReadout, ZeroLengthStillConsumesTheRows) {
    StartImage("sim:gannet?scene=pattern", 6);
    const unsigned before = cam->RowsTransferred(0);
    std::vector<std::uint8_t> b = LineRequest(0, 1, 0, 0, 0);
    ASSERT_EQ(ReadoutLine(state, b.data()), 0);
    EXPECT_EQ(cam->RowsTransferred(0), before + 2);
    EXPECT_EQ(le::Get16(b.data(), 6), 0);  // nothing written over the record
    ExpectLine(0, 0, 0, 16, [&](int i) { return P(0, 2, i) + 100; });
}

TEST_F(ImagingReadout, CountsAbove32767ActAsNegative) {
    StartImage("sim:gannet?scene=pattern", 4);
    // A length of 32768 digitizes nothing and succeeds; the reply reads 0.
    std::vector<std::uint8_t> b = LineRequest(0, 0, 0, 0, 32768);
    ASSERT_EQ(ReadoutLine(state, b.data()), 0);
    EXPECT_TRUE(std::all_of(b.begin(), b.end(), [](std::uint8_t v) { return v == 0; }));
    // A start column of 32768 or more skips nothing: the left border comes first.
    const int left = state->Geometry[0].LeftColumns;
    ExpectLine(0, 0, 40000, 60, [&](int i) { return (i < left ? 0 : P(0, 1, i - left)) + 100; });
}

TEST_F(ImagingReadout, LongLineIsCutTo2184AndTheRestReadsZero) {
    StartImage("sim:jacana?scene=pattern", 2);
    std::vector<std::uint8_t> b = LineRequest(0, 0, 0, 0, 2300);
    ASSERT_EQ(ReadoutLine(state, b.data()), 0);
    const int cut = kMaxImagingPixels;
    for (int i = 0; i < cut; ++i) ASSERT_EQ(Pixel(b, i), P(0, 0, i) + 100) << i;
    for (int i = cut; i < 2300; ++i) ASSERT_EQ(Pixel(b, i), 0) << i;
}

TEST_F(ImagingReadout, VerticalFactorZeroRefusedByReadoutAcceptedByDump) {
    StartImage("sim:gannet?scene=pattern", 2);
    const unsigned before = cam->RowsTransferred(0);
    std::vector<std::uint8_t> b = LineRequest(0, 4, 0, 0, 10);
    EXPECT_EQ(ReadoutLine(state, b.data()), kBadParameter);
    std::vector<std::uint8_t> d = DumpRequest(0, 4, 0, 3);
    EXPECT_EQ(DumpLines(state, d.data()), 0);
    EXPECT_EQ(cam->RowsTransferred(0), before);
    b = LineRequest(0, 9, 1, 0, 10);
    EXPECT_EQ(ReadoutLine(state, b.data()), kBadParameter);
    d = DumpRequest(0, 9, 1, 1);
    EXPECT_EQ(DumpLines(state, d.data()), kBadParameter);
}

TEST_F(ImagingReadout, DumpSkipsRowsPerLineOfTheMode) {
    StartImage("sim:gannet?scene=pattern", 12);
    std::vector<std::uint8_t> d = DumpRequest(0, 8, 0, 2);  // 3 rows per line
    ASSERT_EQ(DumpLines(state, d.data()), 0);
    EXPECT_FALSE(cam->Vdd());
    ExpectLine(0, 0, 0, 32, [&](int i) { return P(0, 6, i) + 100; });
}

TEST_F(ImagingReadout, RefusesWhileTheExposureRuns) {
    StartImage("sim:gannet?scene=pattern", 2);
    state->ExposureActive[0] = 2;
    const unsigned before = cam->RowsTransferred(0);
    std::vector<std::uint8_t> b = LineRequest(0, 0, 0, 0, 10);
    EXPECT_EQ(ReadoutLine(state, b.data()), ErrorStatus(ErrExposureInProgress));
    std::vector<std::uint8_t> d = DumpRequest(0, 0, 0, 1);
    EXPECT_EQ(DumpLines(state, d.data()), ErrorStatus(ErrExposureInProgress));
    EXPECT_EQ(cam->RowsTransferred(0), before);
}

TEST_F(ImagingReadout, StuckBusyTimesOutInEveryImagingRoutine) {
    StartImage("sim:gannet?scene=pattern", 2);
    std::vector<std::uint8_t> b = LineRequest(0, 0, 0, 0, 10);
    cam->SetBusyStuck(true);
    EXPECT_EQ(ReadoutLine(state, b.data()), ErrorStatus(ErrDigitizerTimeout));
    const GeometryRecord& g = state->Geometry[0];
    EXPECT_EQ(DumpImagingLines(state, g.TotalColumns, 5, 1), ErrorStatus(ErrDigitizerTimeout));
    std::uint8_t reply[2] = {0xAA, 0xAA};
    EXPECT_EQ(OffsetImagingArray(state, g.TotalRows, g.TotalColumns, reply, g.LeftColumns),
              ErrorStatus(ErrDigitizerTimeout));
    EXPECT_EQ(reply[0], 0xAA);
    const std::uint16_t bias = state->ImagingBias;
    EXPECT_EQ(MeasureImagingBias(state, g.TotalColumns, g.LeftColumns),
              ErrorStatus(ErrDigitizerTimeout));
    EXPECT_EQ(state->ImagingBias, bias);
    EXPECT_FALSE(cam->Vdd());  // the failed measurement still switched the supply off
}

TEST_F(ImagingReadout, OffsetIsTheRawConverterZero) {
    Boot("sim:gannet?scene=pattern");
    std::uint8_t params[2] = {0, 0};
    std::uint8_t result[2] = {};
    ASSERT_EQ(ReadOffset(state, params, result), 0);
    EXPECT_EQ(le::Get16(result, 0), cam->info().offset);
    EXPECT_FALSE(cam->Vdd());
}

TEST_F(ImagingReadout, PreparedLineRunsAtTheRaisedLevelWithoutWaiting) {
    StartImage("sim:gannet?scene=pattern", 2);
    std::vector<std::uint8_t> b = LineRequest(0, 0, 0, 0, 50);
    PrepareReadoutLine(state, b.data());
    EXPECT_TRUE(cam->Vdd());  // switched on (and settled) before the raise
    disable(state);
    const NTSTATUS status = ReadoutLine(state, b.data());
    enable(state);
    ASSERT_EQ(status, 0);
    for (int i = 0; i < 50; ++i) ASSERT_EQ(Pixel(b, i), P(0, 0, i) + 100) << i;
}

TEST_F(ImagingReadout, EndReadoutSwitchesTheSupplyOffForTheImagingCcdOnly) {
    StartImage("sim:gannet?scene=pattern", 2);
    std::vector<std::uint8_t> b = LineRequest(0, 0, 0, 0, 4);
    ASSERT_EQ(ReadoutLine(state, b.data()), 0);
    std::uint8_t ccd1[2] = {1, 0};
    EXPECT_EQ(EndReadout(state, ccd1), 0);
    EXPECT_TRUE(cam->Vdd());
    std::uint8_t ccd0[2] = {0, 0};
    EXPECT_EQ(EndReadout(state, ccd0), 0);
    EXPECT_FALSE(cam->Vdd());
    std::uint8_t ccd2[2] = {2, 0};
    EXPECT_EQ(EndReadout(state, ccd2), kBadParameter);
}

}  // namespace
}  // namespace zeva::driver::testing
