// Line readouts through the I/O manager and the readout queue: concurrent
// requests never interleave on the port, a failed line does not hold up the
// next one, and a reply buffer too short for the line is refused unclocked.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>
#include <vector>

#include "common/command_table.h"
#include "common/errors.h"
#include "common/le.h"
#include "driver/camera.h"
#include "driver/device_state.h"
#include "driver/readout/readout.h"
#include "platform/system.h"
#include "sim/camera.h"
#include "sim/config.h"
#include "support/booted_driver.h"
#include "support/pattern.h"

namespace zeva::driver::testing {
namespace {

constexpr int kWidth = kImagingGannet.ActiveColumns;

class ReadoutQueue : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(session.Boot({"sim:gannet?scene=pattern"}));
        cam = session[0].camera();
        ASSERT_EQ(session[0].Link(), 0);  // camera type and geometry
        state = session[0].State();
        ASSERT_NE(state, nullptr);
        // A cleared array with its bias measured, then the pattern and the top rows dumped.
        const GeometryRecord& g = state->Geometry[0];
        ASSERT_EQ(ClearImagingArray(state, g.TotalRows, g.TotalColumns, 1, g.LeftColumns), 0);
        const sim::CcdShape& s = cam->Shape(0);
        for (int row = 0; row < s.totalRows; ++row)
            for (int col = 0; col < s.totalColumns; ++col) cam->SetCharge(0, row, col, 0);
        for (int r = 0; r < s.activeRows; ++r)
            for (int c = 0; c < s.activeColumns; ++c)
                cam->SetCharge(0, s.topRows + r, s.leftColumns + c,
                               zeva::test::PatternImaging(r, c));
        ASSERT_EQ(DumpImagingLines(state, g.TotalColumns, g.TopRows, 1), 0);
    }
    void TearDown() override { session.Shutdown(); }
    // A line of `length` pixels from column 0 with a reply buffer of `out` bytes.
    NTSTATUS ReadLine(std::vector<std::uint8_t>& b, std::uint16_t length, ULONG out,
                      ULONG_PTR* returned) {
        b.assign(std::max<std::size_t>(rec::ReadoutLineParams::kSize, out), 0);
        le::Put16(b.data(), rec::ReadoutLineParams::PixelLength, length);
        return session[0].Call(CmdReadoutLine, b, rec::ReadoutLineParams::kSize, out, returned);
    }
    // The pattern row a full-width line holds, or -1 when it matches none.
    static int RowOf(const std::vector<std::uint8_t>& b) {
        for (int r = 0; r < kImagingGannet.ActiveRows; ++r) {
            bool match = true;
            for (int i = 0; i < kWidth && match; ++i)
                match = le::Get16(b.data(), 2 * i) == zeva::test::PatternImaging(r, i) + 100;
            if (match)
                return r;
        }
        return -1;
    }

    test::BootedDriver session;
    sim::Camera* cam = nullptr;
    DeviceState* state = nullptr;
};

TEST_F(ReadoutQueue, LinesFromTwoThreadsNeverInterleave) {
    constexpr int kLinesEach = 6;
    std::vector<int> rows[2];
    auto reader = [&](int t) {
        std::vector<std::uint8_t> b;
        for (int k = 0; k < kLinesEach; ++k) {
            ULONG_PTR n = 0;
            if (ReadLine(b, kWidth, 2 * kWidth, &n) != 0 || n != 2 * kWidth) {
                rows[t].push_back(-2);
                continue;
            }
            rows[t].push_back(RowOf(b));
        }
    };
    std::thread a(reader, 0), b(reader, 1);
    a.join();
    b.join();
    std::set<int> seen;
    for (const auto& list : rows)
        for (int r : list) seen.insert(r);
    // Every line is one whole row of the image, each row read once.
    std::set<int> expected;
    for (int r = 0; r < 2 * kLinesEach; ++r) expected.insert(r);
    EXPECT_EQ(seen, expected);
}

TEST_F(ReadoutQueue, FailedLineDoesNotBlockTheNext) {
    std::vector<std::uint8_t> b;
    ULONG_PTR n = 99;
    cam->SetBusyStuck(true);
    EXPECT_EQ(ReadLine(b, 40, 80, &n), ErrorStatus(ErrDigitizerTimeout));
    EXPECT_EQ(n, 0u);
    cam->SetBusyStuck(false);
    // The failed line stopped at its first flush, before its row shift: the
    // next line reads that row whole.
    ASSERT_EQ(ReadLine(b, 40, 80, &n), 0);
    EXPECT_EQ(n, 80u);
    for (int i = 0; i < 40; ++i)
        ASSERT_EQ(le::Get16(b.data(), 2 * i), zeva::test::PatternImaging(0, i) + 100) << i;
}

TEST_F(ReadoutQueue, ShortReplyBufferIsRefusedBeforeAnyClocking) {
    std::vector<std::uint8_t> b;
    ULONG_PTR n = 99;
    const unsigned rows = cam->RowsTransferred(0);
    EXPECT_EQ(ReadLine(b, 40, 79, &n), ErrorStatus(ErrBadParameter));
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(cam->RowsTransferred(0), rows);
}

}  // namespace
}  // namespace zeva::driver::testing
