// The simulated CCDs: vertical transfers, horizontal clocks, the converter
// pipeline, the busy flag and the scenes, all clocked by hand.
#include <gtest/gtest.h>

#include <algorithm>

#include "sim/camera.h"
#include "sim/wire.h"

namespace zeva::sim {
namespace {

using testing::FakeHost;
using testing::Wire;

struct Rig {
    explicit Rig(Model m, Scene scene = Scene::Pattern) : cam(Make(m, scene)), wire(cam) {
        cam.Attach(&host);
    }
    static Options Make(Model m, Scene s) {
        Options o;
        o.model = m;
        o.scene = s;
        return o;
    }
    void ImagingRow(std::uint8_t a, std::uint8_t b) {
        for (std::uint8_t v :
             {std::uint8_t(8 + a), std::uint8_t(8 + b), std::uint8_t(8 + a), std::uint8_t(8)})
            wire.Out(0x10, v);
        wire.Out(0x10, 0);
    }
    void TrackingRow() {
        wire.Out(0x30, 4);
        for (std::uint8_t v : {11, 15, 14, 10}) wire.Out(0x00, v);
    }
    void SingleRow() {
        for (std::uint8_t v : {2, 6, 4, 0}) wire.Out(0x10, v);
    }
    // n horizontal clocks in horizontal mode `mode`, clock values high -> low.
    void Clocks(int n, std::uint8_t mode, std::uint8_t high = 8, std::uint8_t low = 0) {
        wire.Out(0x00, mode);
        for (int i = 0; i < n; ++i) {
            wire.Out(0x30, high);
            wire.Out(0x30, low);
        }
    }
    FakeHost host;
    Camera cam;
    Wire wire;
};

TEST(VerticalTransfer, ImagingRowMovesOnlyInPhaseOrder) {
    Rig r(Model::Gannet);
    r.cam.SetCharge(0, 0, 3, 500);
    r.cam.SetCharge(0, 1, 3, 700);
    r.ImagingRow(2, 1);  // B, A, B: wrong order
    EXPECT_EQ(r.cam.RowsTransferred(0), 0u);
    EXPECT_EQ(r.cam.SerialCell(0, 3), 0u);
    r.ImagingRow(1, 2);
    EXPECT_EQ(r.cam.RowsTransferred(0), 1u);
    EXPECT_EQ(r.cam.SerialCell(0, 3), 500u);
    EXPECT_EQ(r.cam.Charge(0, 0, 3), 700u);
    // A second row adds to what the serial register holds.
    r.ImagingRow(1, 2);
    EXPECT_EQ(r.cam.SerialCell(0, 3), 1200u);
}

TEST(VerticalTransfer, DumpSequenceWithSupplyBitAlsoMoves) {
    Rig r(Model::Gannet);
    r.cam.SetCharge(0, 0, 0, 42);
    for (std::uint8_t v : {12, 13, 14, 13, 12, 12}) r.wire.Out(0x10, v);
    EXPECT_EQ(r.cam.SerialCell(0, 0), 42u);
    EXPECT_FALSE(r.cam.Vdd());
}

TEST(VerticalTransfer, ChargeArrivingAfterEmptyRowsStillMoves) {
    Rig r(Model::Gannet);
    r.ImagingRow(1, 2);  // an empty array: nothing to move
    r.Clocks(1, 0);
    r.cam.SetCharge(0, 1, 5, 300);
    r.ImagingRow(1, 2);
    EXPECT_EQ(r.cam.SerialCell(0, 5), 0u);
    r.ImagingRow(1, 2);
    EXPECT_EQ(r.cam.SerialCell(0, 5), 300u);
    EXPECT_EQ(r.cam.Charge(0, 0, 5), 0u);
}

TEST(Snapshot, RestorePutsChargeAndCountsBack) {
    Rig r(Model::Gannet);
    r.cam.SetCharge(0, 0, 3, 500);
    const Camera saved = r.cam.Snapshot();
    r.ImagingRow(1, 2);
    ASSERT_EQ(r.cam.SerialCell(0, 3), 500u);
    r.cam.Restore(saved);
    EXPECT_EQ(r.cam.RowsTransferred(0), 0u);
    EXPECT_EQ(r.cam.SerialCell(0, 3), 0u);
    EXPECT_EQ(r.cam.Charge(0, 0, 3), 500u);
}

TEST(Snapshot, RestoreOfAnEmptyCameraClearsChargeGatheredSince) {
    Rig r(Model::Gannet);
    const Camera saved = r.cam.Snapshot();
    r.cam.SetCharge(0, 0, 3, 500);
    r.cam.SetCharge(0, 7, 9, 800);
    r.cam.SetCharge(1, 2, 4, 900);
    r.ImagingRow(1, 2);
    r.cam.Restore(saved);
    EXPECT_EQ(r.cam.SerialCell(0, 3), 0u);
    EXPECT_EQ(r.cam.Charge(0, 7, 9), 0u);
    EXPECT_EQ(r.cam.Charge(1, 2, 4), 0u);
    // The restored camera works as before.
    r.cam.SetCharge(0, 0, 1, 42);
    r.ImagingRow(1, 2);
    EXPECT_EQ(r.cam.SerialCell(0, 1), 42u);
}

TEST(VerticalTransfer, JacanaSwapsThePhases) {
    Rig r(Model::Jacana);
    r.ImagingRow(1, 2);
    EXPECT_EQ(r.cam.RowsTransferred(0), 0u);
    r.ImagingRow(2, 1);
    EXPECT_EQ(r.cam.RowsTransferred(0), 1u);
}

TEST(VerticalTransfer, TrackingRowNeedsFifteenThenFourteenWithAddressBit) {
    Rig r(Model::Gannet);
    r.wire.Out(0x30, 4);
    for (std::uint8_t v : {11, 14, 15, 10}) r.wire.Out(0x00, v);
    EXPECT_EQ(r.cam.RowsTransferred(1), 0u);
    r.wire.Out(0x30, 0);  // imaging addressed
    for (std::uint8_t v : {15, 14}) r.wire.Out(0x00, v);
    EXPECT_EQ(r.cam.RowsTransferred(1), 0u);
    r.TrackingRow();
    EXPECT_EQ(r.cam.RowsTransferred(1), 1u);
    EXPECT_EQ(r.cam.RowsTransferred(0), 0u);
}

TEST(VerticalTransfer, SingleCcdRowIsSixThenFourInsideOpenTransfer) {
    Rig r(Model::Egret);
    for (std::uint8_t v : {6, 4}) r.wire.Out(0x10, v);        // not opened
    for (std::uint8_t v : {2, 4, 6, 0}) r.wire.Out(0x10, v);  // wrong order
    EXPECT_EQ(r.cam.RowsTransferred(0), 0u);
    for (std::uint8_t v : {2, 6, 4, 6, 4, 0}) r.wire.Out(0x10, v);
    EXPECT_EQ(r.cam.RowsTransferred(0), 2u);
}

TEST(Converter, SampleLagsTwoClocksBehindTheSerialRegister) {
    Rig r(Model::Gannet);
    for (int c = 0; c < 6; ++c) r.cam.SetCharge(0, 0, c, 100u * (c + 1));
    r.ImagingRow(1, 2);
    r.wire.Out(0x00, 0);
    EXPECT_EQ(r.wire.ClockAndRead(), 1000);  // clock 1: nothing moved yet
    EXPECT_EQ(r.wire.ClockAndRead(), 1000);
    EXPECT_EQ(r.wire.ClockAndRead(), 1100);  // clock 3 shows clock 1's cell
    EXPECT_EQ(r.wire.ClockAndRead(), 1200);
    // Two columns per clock: cells 4+5 leave together.
    r.wire.Out(0x00, 4);
    EXPECT_EQ(r.wire.ClockAndRead(), 1300);
    EXPECT_EQ(r.wire.ClockAndRead(), 1400);
    EXPECT_EQ(r.wire.ClockAndRead(), 1000 + 500 + 600);
}

TEST(Converter, FastFlushMovesTenColumns) {
    Rig r(Model::Gannet);
    for (int c = 0; c < 12; ++c) r.cam.SetCharge(0, 0, c, 1);
    r.ImagingRow(1, 2);
    r.Clocks(1, 8);
    EXPECT_EQ(r.cam.SerialCell(0, 0), 1u);  // cells 10, 11 are next
    EXPECT_EQ(r.cam.SerialCell(0, 2), 0u);
    r.Clocks(2, 0);
    EXPECT_EQ(r.cam.SampleRegister(), 1000 + 10);
}

TEST(Converter, ImagingSupplyOffReadsZeroButNotTracking) {
    Rig r(Model::Gannet);
    r.cam.SetCharge(0, 0, 0, 5);
    r.ImagingRow(1, 2);
    r.wire.Out(0x10, 4);  // supply off
    r.Clocks(3, 0);
    EXPECT_EQ(r.wire.ReadSample(), 0);
    r.TrackingRow();
    r.Clocks(3, 0, 12, 4);
    EXPECT_EQ(r.wire.ReadSample(), 1000);
}

TEST(Converter, ClipsAtSixteenBitsAndFinchTopNibbleFloats) {
    Rig r(Model::Gannet);
    r.cam.SetCharge(0, 0, 0, 70000);
    r.ImagingRow(1, 2);
    r.Clocks(3, 0);
    EXPECT_EQ(r.wire.ReadSample(), 65535);
    Rig f(Model::Finch);
    f.cam.SetCharge(0, 0, 0, 10);
    f.SingleRow();
    f.Clocks(3, 0);
    EXPECT_EQ(f.wire.ReadSample(), 0xF000 | 160);
    f.cam.SetCharge(0, 0, 0, 9000);
    f.SingleRow();
    f.Clocks(50, 0);
    EXPECT_EQ(f.wire.ReadSample(), 0xF000 | 150);  // empty cells: the offset
}

TEST(BusyFlag, SetForAFewReadsAfterEachClockOrForeverWhenStuck) {
    Rig r(Model::Gannet);
    r.Clocks(1, 0);
    int busyReads = 0;
    r.cam.Write(0, 0x00);
    while ((r.cam.Read(1) & 0x80) && busyReads < 100) ++busyReads;
    EXPECT_GT(busyReads, 0);
    EXPECT_LT(busyReads, 10);
    r.cam.SetBusyStuck(true);
    for (int i = 0; i < 60; ++i) EXPECT_TRUE(r.cam.Read(1) & 0x80);
    r.cam.SetBusyStuck(false);
    EXPECT_FALSE(r.cam.Read(1) & 0x80);
}

// Exposes CCD `ccd` with the shutter mode in the control byte and ends it.
void Expose(Rig& r, int ccd, int shutterMode) {
    const std::uint8_t ctl = static_cast<std::uint8_t>((shutterMode << 2) | (ccd << 4));
    ASSERT_EQ(r.wire.Exchange(0, {0, 0, 100, ctl}, 2), (std::vector<std::uint8_t>{0, 6}));
    r.host.AdvanceMs(200);
    ASSERT_EQ(r.wire.Exchange(1, {static_cast<std::uint8_t>(ccd)}, 2),
              (std::vector<std::uint8_t>{0, 6}));
}

TEST(PatternScene, HandClockedImagingLineReadsThePattern) {
    Rig r(Model::Gannet);
    r.cam.SetCharge(0, 7, 20, 12345);  // charge already there is replaced
    Expose(r, 0, 1);
    const CcdShape& s = r.cam.Shape(0);
    for (int i = 0; i < s.topRows; ++i) r.ImagingRow(1, 2);
    r.Clocks((s.totalColumns + 9) / 10, 8);  // flush the border rows
    for (int row = 0; row < 2; ++row) {
        r.ImagingRow(1, 2);
        r.Clocks(s.leftColumns / 10, 8);  // skip the left columns: fast by ten,
        r.Clocks(s.leftColumns % 10, 0);  // the rest singly
        r.Clocks(2, 0);                   // the two undigitized clocks
        for (int c = 0; c < 8; ++c)
            EXPECT_EQ(r.wire.ClockAndRead(), 1000 + Camera::PatternImaging(row, c))
                << "row " << row << " col " << c;
        r.Clocks((s.totalColumns + 9) / 10, 8);
    }
}

TEST(PatternScene, ClosedShutterLeavesNothing) {
    Rig r(Model::Gannet);
    Expose(r, 0, 0);
    for (int row = 0; row < r.cam.Shape(0).totalRows; ++row)
        EXPECT_EQ(r.cam.Charge(0, row, 20), 0u);
}

TEST(PatternScene, TrackingLineLeavesRightToLeft) {
    Rig r(Model::Heron);
    Expose(r, 1, 1);
    const CcdShape& s = r.cam.Shape(1);
    r.TrackingRow();  // no top rows: this is active row 0
    r.wire.Out(0x00, 0);
    r.wire.Out(0x30, 4);
    r.Clocks(s.leftColumns + 2, 0, 12, 4);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(r.wire.ClockAndRead(12, 4),
                  1000 + Camera::PatternTracking(0, s.activeColumns - 1 - i));
}

TEST(PatternScene, SingleCcdCollectsWithoutShutterAndClearsAtStart) {
    Rig r(Model::Egret);
    r.cam.SetCharge(0, 3, 3, 999);
    ASSERT_EQ(r.wire.Exchange(0, {0, 0, 1, 0}, 2), (std::vector<std::uint8_t>{0, 6}));
    EXPECT_EQ(r.cam.Charge(0, 3, 3), 0u);
    r.host.AdvanceMs(20);
    EXPECT_FALSE(r.cam.Exposure(0).exposing);  // timer expiry sets the scene
    const CcdShape& s = r.cam.Shape(0);
    EXPECT_EQ(r.cam.Charge(0, s.topRows + 2, s.leftColumns + 5), Camera::PatternImaging(2, 5));
    EXPECT_EQ(r.cam.Charge(0, 0, s.leftColumns + 5), 0u);  // border row
    EXPECT_EQ(r.cam.Charge(0, s.topRows, 0), 0u);          // border column
}

TEST(Geometry, SiskinRegisterHasSixHundredEightyTwoCells) {
    Rig r(Model::Siskin);
    EXPECT_EQ(r.cam.Shape(0).totalColumns, 682);
    EXPECT_EQ(r.cam.Shape(0).totalRows, 498);
    Rig g(Model::Jacana);
    EXPECT_EQ(g.cam.Shape(0).totalColumns, 2267);
    EXPECT_EQ(g.cam.Shape(1).totalColumns, 208);
    EXPECT_EQ(g.cam.Shape(1).totalRows, 163);
}

TEST(StarsScene, DeterministicForASeed) {
    auto frame = [](std::uint64_t seed) {
        Options o;
        o.model = Model::Ibis;
        o.seed = seed;
        Camera cam(o);
        FakeHost host;
        cam.Attach(&host);
        Wire w(cam);
        w.Exchange(0, {0, 0, 100, 0x04}, 2);
        host.AdvanceMs(1000);
        w.Exchange(1, {0}, 2);
        std::vector<std::uint32_t> v;
        std::uint64_t total = 0;
        for (int r = 0; r < cam.Shape(0).totalRows; ++r)
            for (int c = 0; c < cam.Shape(0).totalColumns; ++c) {
                v.push_back(cam.Charge(0, r, c));
                total += v.back();
            }
        EXPECT_GT(total, 0u);
        return v;
    };
    const auto a = frame(7), b = frame(7), c = frame(8);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
}

std::uint64_t ExposedTotal(Model m, int ccd, int shutterMode, std::uint64_t ms) {
    Options o;
    o.model = m;
    Camera cam(o);
    FakeHost host;
    cam.Attach(&host);
    Wire w(cam);
    const std::uint8_t ctl = static_cast<std::uint8_t>((shutterMode << 2) | (ccd << 4));
    w.Exchange(0, {0, 0xFF, 0xFF, ctl}, 2);
    host.AdvanceMs(ms);
    w.Exchange(1, {static_cast<std::uint8_t>(ccd)}, 2);
    std::uint64_t total = 0;
    for (int r = 0; r < cam.Shape(ccd).totalRows; ++r)
        for (int c = 0; c < cam.Shape(ccd).totalColumns; ++c) total += cam.Charge(ccd, r, c);
    return total;
}

TEST(StarsScene, SignalScalesWithExposureAndShutter) {
    const std::uint64_t one = ExposedTotal(Model::Gannet, 0, 1, 1000);
    const std::uint64_t two = ExposedTotal(Model::Gannet, 0, 1, 2000);
    const std::uint64_t dark = ExposedTotal(Model::Gannet, 0, 0, 1000);
    EXPECT_NEAR(static_cast<double>(two) / one, 2.0, 0.1);
    EXPECT_LT(dark * 5, one);
    EXPECT_GT(ExposedTotal(Model::Gannet, 1, 1, 1000), 0u);
}

TEST(Trace, RecordsEveryAccessWithItsTime) {
    Rig r(Model::Gannet);
    r.cam.StartTrace();
    r.wire.Out(0x30, 5);
    r.host.AdvanceMs(1);
    r.cam.Read(1);
    r.cam.StopTrace();
    r.cam.Read(1);
    const auto& t = r.cam.Trace();
    ASSERT_EQ(t.size(), 5u);
    EXPECT_EQ(t[0].value, 0x35);
    EXPECT_EQ(t[1].value, 0xB5);
    EXPECT_TRUE(t[0].write);
    EXPECT_FALSE(t[4].write);
    EXPECT_EQ(t[4].offset, 1u);
    EXPECT_EQ(t[4].ns - t[0].ns, 1000000u);
    EXPECT_EQ(r.cam.Register(3), 5);
}

TEST(StarsScene, LongestExposureSaturatesAtFullWellWithoutWrapping) {
    Options o;
    o.model = Model::Ibis;
    Camera cam(o);
    FakeHost host;
    cam.Attach(&host);
    Wire w(cam);
    w.Exchange(0, {0xFF, 0xFF, 0xFF, 0x04}, 2);
    host.AdvanceMs(0xFFFFFFull * 10);
    EXPECT_FALSE(cam.Exposure(0).exposing);
    const CcdShape& s = cam.Shape(0);
    std::uint32_t lowest = ~0u, highest = 0;
    for (int r = s.topRows; r < s.topRows + s.activeRows; ++r)
        for (int c = s.leftColumns; c < s.leftColumns + s.activeColumns; ++c) {
            lowest = std::min(lowest, cam.Charge(0, r, c));
            highest = std::max(highest, cam.Charge(0, r, c));
        }
    EXPECT_EQ(lowest, 200000u);
    EXPECT_EQ(highest, 200000u);
}

TEST(VerticalTransfer, LeftoverSerialChargeMeetsTheNextRowShiftedByTheClocks) {
    Rig r(Model::Egret);
    r.cam.SetCharge(0, 0, 5, 100);
    r.cam.SetCharge(0, 1, 2, 30);
    r.SingleRow();
    r.Clocks(3, 0);  // cell 5 moves to position 2
    EXPECT_EQ(r.cam.SerialCell(0, 2), 100u);
    r.SingleRow();
    EXPECT_EQ(r.cam.SerialCell(0, 2), 130u);
    EXPECT_EQ(r.cam.SerialCell(0, 5), 0u);
}

}  // namespace
}  // namespace zeva::sim
