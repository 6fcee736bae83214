// Tracking-CCD readout against the simulated camera's pattern scene.
#include "common/errors.h"
#include "driver/camera.h"
#include "driver/frame/routines.h"
#include "driver/readout/readout.h"
#include "tests/driver/readout/rig.h"

namespace zeva::driver::testing {
namespace {

class TrackingReadout : public ReadoutRig {
  protected:
    void StartImage(int rows) {
        Boot("sim:gannet?scene=pattern");
        const GeometryRecord& g = state->Geometry[1];
        ASSERT_EQ(ClearTrackingArray(state, g.TotalRows, 1, g.LeftColumns), 0);
        ExposePattern(1, rows);
        offset = cam->info().offset;
    }
    // The tracking line leaves the rest of its register in place; flushing it
    // here keeps these checks independent of the line's own flush.
    void Flush() { ASSERT_EQ(BlockClearTrackingPixels(state, state->Geometry[1].TotalColumns), 0); }

    std::uint32_t offset = 0;
};

TEST_F(TrackingReadout, StoresTheRightToLeftRegisterLeftToRight) {
    StartImage(4);
    const std::uint16_t width = kTrackingDual.ActiveColumns;
    for (int r = 0; r < 3; ++r) {
        std::vector<std::uint8_t> b = LineRequest(1, 0, 0, 0, width);
        ASSERT_EQ(ReadoutLine(state, b.data()), 0);
        for (int i = 0; i < width; ++i)
            ASSERT_EQ(Pixel(b, i), P(1, r, i) + offset) << r << " " << i;
        Flush();
    }
}

TEST_F(TrackingReadout, WindowIsLocatedFromTheRightHandEnd) {
    StartImage(4);
    std::vector<std::uint8_t> b = LineRequest(1, 0, 0, 17, 3);
    ASSERT_EQ(ReadoutLine(state, b.data()), 0);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Pixel(b, i), P(1, 0, 17 + i) + offset) << i;
    Flush();
    b = LineRequest(1, 0, 0, 150, 40);
    ASSERT_EQ(ReadoutLine(state, b.data()), 0);
    for (int i = 0; i < 40; ++i) ASSERT_EQ(Pixel(b, i), P(1, 1, 150 + i) + offset) << i;
}

TEST_F(TrackingReadout, WindowLinesCarryNothingIntoTheNext) {
    // A window at the right of the image ends early in the register: the
    // cells behind it would meet the next line's rows unless they are emptied.
    StartImage(6);
    for (int mode = 0; mode < 2; ++mode) {
        for (int line = 0; line < 2; ++line) {
            SCOPED_TRACE(::testing::Message() << "mode " << mode << " line " << line);
            const int r = mode == 0 ? line : 2 + 2 * line;
            std::vector<std::uint8_t> b =
                LineRequest(1, static_cast<std::uint8_t>(mode), 0, mode == 0 ? 150 : 70, 20);
            ASSERT_EQ(ReadoutLine(state, b.data()), 0);
            for (int i = 0; i < 20; ++i) {
                if (mode == 0) {
                    ASSERT_EQ(Pixel(b, i), P(1, r, 150 + i) + offset) << i;
                    continue;
                }
                const int c = 2 * (70 + i);
                const std::uint32_t a = P(1, r, c) + P(1, r + 1, c) + offset;
                const std::uint32_t d = P(1, r, c + 1) + P(1, r + 1, c + 1) + offset;
                ASSERT_EQ(Pixel(b, i), (a + d) / 2) << i;
            }
        }
    }
}

TEST_F(TrackingReadout, TwoByTwoAveragesAdjacentSamplesOfTwoRows) {
    StartImage(6);
    std::vector<std::uint8_t> b = LineRequest(1, 1, 0, 10, 50);
    ASSERT_EQ(ReadoutLine(state, b.data()), 0);
    for (int i = 0; i < 50; ++i) {
        const int c = 2 * (10 + i);
        const std::uint32_t a = P(1, 0, c) + P(1, 1, c) + offset;
        const std::uint32_t d = P(1, 0, c + 1) + P(1, 1, c + 1) + offset;
        ASSERT_EQ(Pixel(b, i), (a + d) / 2) << i;
    }
}

TEST_F(TrackingReadout, ModesAboveOneAndMissingTrackingCcdAreRefused) {
    StartImage(1);
    std::vector<std::uint8_t> b = LineRequest(1, 2, 0, 0, 10);
    EXPECT_EQ(ReadoutLine(state, b.data()), ErrorStatus(ErrBadParameter));
    std::vector<std::uint8_t> d = DumpRequest(1, 2, 0, 1);
    EXPECT_EQ(DumpLines(state, d.data()), ErrorStatus(ErrBadParameter));
    Boot("sim:kestrel?scene=pattern");
    b = LineRequest(1, 0, 0, 0, 10);
    EXPECT_EQ(ReadoutLine(state, b.data()), ErrorStatus(ErrBadParameter));
    std::uint8_t params[2] = {1, 0}, result[2] = {};
    EXPECT_EQ(ReadOffset(state, params, result), ErrorStatus(ErrBadParameter));
}

TEST_F(TrackingReadout, DumpOfNoLinesStillFlushesTheRegister) {
    StartImage(2);
    const unsigned rows = cam->RowsTransferred(1);
    const unsigned clocks = cam->HorizontalClocks(1);
    std::vector<std::uint8_t> d = DumpRequest(1, 0, 0, 0);
    ASSERT_EQ(DumpLines(state, d.data()), 0);
    EXPECT_EQ(cam->RowsTransferred(1), rows);
    EXPECT_GT(cam->HorizontalClocks(1), clocks);
    d = DumpRequest(1, 1, 0, 1);  // one line of two rows
    ASSERT_EQ(DumpLines(state, d.data()), 0);
    EXPECT_EQ(cam->RowsTransferred(1), rows + 2);
    std::vector<std::uint8_t> b = LineRequest(1, 0, 0, 0, 20);
    ASSERT_EQ(ReadoutLine(state, b.data()), 0);
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(Pixel(b, i), offset) << i;  // rows 0, 1 gone, row 2 empty
}

TEST_F(TrackingReadout, OffsetIsMeasuredOnTheTrackingCcd) {
    Boot("sim:jacana?scene=pattern");
    std::uint8_t params[2] = {1, 0}, result[2] = {};
    ASSERT_EQ(ReadOffset(state, params, result), 0);
    EXPECT_EQ(le::Get16(result, 0), cam->info().offset);
}

TEST_F(TrackingReadout, StuckBusyTimesOut) {
    StartImage(2);
    cam->SetBusyStuck(true);
    std::vector<std::uint8_t> b = LineRequest(1, 0, 0, 0, 10);
    EXPECT_EQ(ReadoutLine(state, b.data()), ErrorStatus(ErrDigitizerTimeout));
    EXPECT_EQ(ClearTrackingArray(state, 10, 1, 0), ErrorStatus(ErrDigitizerTimeout));
}

}  // namespace
}  // namespace zeva::driver::testing
