// Single-CCD readout (Egret, Finch, Siskin) against the pattern scene.
#include <functional>
#include <memory>

#include "common/errors.h"
#include "driver/camera.h"
#include "driver/frame/routines.h"
#include "driver/readout/readout.h"
#include "tests/driver/readout/rig.h"

namespace zeva::driver::testing {
namespace {

class SingleReadout : public ReadoutRig {
  protected:
    void StartImage(const std::string& entry, int rows) {
        Boot(entry);
        ExposePattern(0, rows);
        const GeometryRecord& g = state->Geometry[0];
        ASSERT_EQ(DumpEgretLines(state, g.TotalColumns, g.TopRows, 1), 0);
        offset = cam->info().offset;
    }
    // Reads one line, checks it, and flushes what the line left in the register.
    void ExpectLine(std::uint8_t mode, std::uint16_t start, std::uint16_t length,
                    const std::function<std::uint32_t(int)>& expected) {
        std::vector<std::uint8_t> b = LineRequest(0, mode, 0, start, length);
        ASSERT_EQ(ReadoutLine(state, b.data()), 0);
        for (int i = 0; i < length; ++i) ASSERT_EQ(Pixel(b, i), expected(i)) << "pixel " << i;
        ASSERT_EQ(BlockClearEgretPixels(state, state->Geometry[0].TotalColumns), 0);
    }
    // Sum of the charge the pattern leaves over `rows` rows from r and `cols` columns from c.
    std::uint32_t Block(int r, int rows, int c, int cols) const {
        std::uint32_t sum = 0;
        for (int dr = 0; dr < rows; ++dr)
            for (int dc = 0; dc < cols; ++dc) sum += P(0, r + dr, c + dc);
        return sum;
    }

    std::uint32_t offset = 0;
};

TEST_F(SingleReadout, EgretReadsRawSamplesAndAddsTwoInModeOne) {
    StartImage("sim:egret?scene=pattern", 6);
    ExpectLine(0, 0, kImagingEgret.ActiveColumns, [&](int i) { return P(0, 0, i) + offset; });
    ExpectLine(0, 300, 30, [&](int i) { return P(0, 1, 300 + i) + offset; });  // past the edge
    ExpectLine(1, 4, 60, [&](int i) { return Block(2, 2, 2 * (4 + i), 2) + 2 * offset; });
    std::vector<std::uint8_t> b = LineRequest(0, 2, 0, 0, 4);
    EXPECT_EQ(ReadoutLine(state, b.data()), ErrorStatus(ErrBadParameter));
}

TEST_F(SingleReadout, FinchSubtractsItsMeasuredBiasPerSampleCount) {
    StartImage("sim:finch?scene=pattern", 8);
    ASSERT_EQ(MeasureFinchBias(state, state->Geometry[0].TotalColumns), 0);
    EXPECT_EQ(state->FinchBias, offset - 100);
    // Rows after the measurement: it shifted none.
    ExpectLine(0, 5, 100, [&](int i) { return P(0, 0, 5 + i) + 100; });
    ExpectLine(1, 0, 80, [&](int i) { return Block(1, 2, 2 * i, 2) + 100; });
    ExpectLine(2, 3, 50, [&](int i) { return Block(3, 3, 3 * (3 + i), 3) + 100; });
    std::vector<std::uint8_t> b = LineRequest(0, 3, 1, 0, 4);
    EXPECT_EQ(ReadoutLine(state, b.data()), ErrorStatus(ErrBadParameter));
    std::vector<std::uint8_t> d = DumpRequest(0, 3, 1, 1);
    EXPECT_EQ(DumpLines(state, d.data()), 0);  // listed modes 3..5 are dumped
}

TEST_F(SingleReadout, SiskinKeepsSixteenBitSamples) {
    StartImage("sim:siskin?scene=pattern", 6);
    state->FinchBias = static_cast<std::uint16_t>(offset - 100);
    // Every column that holds charge (the last one the driver lists has no cell).
    const auto charged = static_cast<std::uint16_t>(cam->Shape(0).activeColumns);
    ExpectLine(0, 0, charged, [&](int i) { return P(0, 0, i) + 100; });
    ExpectLine(2, 10, 40, [&](int i) { return Block(1, 3, 3 * (10 + i), 3) + 100; });
}

TEST_F(SingleReadout, WindowLinesCarryNothingIntoTheNext) {
    // A window at the left leaves most of the register unread; the next
    // line's rows must not meet that charge.
    StartImage("sim:finch?scene=pattern", 12);
    state->FinchBias = static_cast<std::uint16_t>(offset - 100);
    int row = 0;
    for (int mode = 0; mode < 3; ++mode) {
        const int s = mode + 1;
        for (int line = 0; line < 2; ++line, row += s) {
            SCOPED_TRACE(::testing::Message() << "mode " << mode << " line " << line);
            std::vector<std::uint8_t> b = LineRequest(0, static_cast<std::uint8_t>(mode), 0, 4, 30);
            ASSERT_EQ(ReadoutLine(state, b.data()), 0);
            for (int i = 0; i < 30; ++i)
                ASSERT_EQ(Pixel(b, i), Block(row, s, s * (4 + i), s) + 100) << i;
        }
    }
}

TEST_F(SingleReadout, OffsetUsesTheModelsSampleMask) {
    Boot("sim:finch?scene=pattern");
    std::uint8_t params[2] = {0, 0}, result[2] = {};
    ASSERT_EQ(ReadOffset(state, params, result), 0);
    EXPECT_EQ(le::Get16(result, 0), cam->info().offset);  // 12-bit: top nibble masked
    Boot("sim:egret?scene=pattern");
    ASSERT_EQ(ReadOffset(state, params, result), 0);
    EXPECT_EQ(le::Get16(result, 0), cam->info().offset);
}

TEST_F(SingleReadout, FirstLinkIgnoresChargeALineLeftInTheRegister) {
    // A window line leaves most of the register unread; a driver loaded
    // afresh (empty geometry) then links the camera that kept its power.
    StartImage("sim:finch?scene=pattern", 4);
    state->FinchBias = static_cast<std::uint16_t>(offset - 100);
    std::vector<std::uint8_t> b = LineRequest(0, 0, 0, 0, 10);
    ASSERT_EQ(ReadoutLine(state, b.data()), 0);
    auto fresh = std::make_unique<DeviceState>();
    fresh->PortBase = state->PortBase;
    fresh->RaisedIrql = state->RaisedIrql;
    std::uint8_t result[2] = {};
    ASSERT_EQ(EstablishLink(fresh.get(), result), 0);
    EXPECT_EQ(fresh->CameraType, 8u);
    EXPECT_EQ(fresh->SiskinVariant, 0);
    EXPECT_EQ(fresh->Geometry[0].ActiveColumns, kImagingFinch.ActiveColumns);
}

TEST_F(SingleReadout, StuckBusyTimesOutAndKeepsTheBias) {
    StartImage("sim:finch?scene=pattern", 2);
    state->FinchBias = 77;
    cam->SetBusyStuck(true);
    EXPECT_EQ(MeasureFinchBias(state, state->Geometry[0].TotalColumns),
              ErrorStatus(ErrDigitizerTimeout));
    EXPECT_EQ(state->FinchBias, 77);
    std::vector<std::uint8_t> b = LineRequest(0, 0, 0, 0, 8);
    EXPECT_EQ(ReadoutLine(state, b.data()), ErrorStatus(ErrDigitizerTimeout));
}

}  // namespace
}  // namespace zeva::driver::testing
