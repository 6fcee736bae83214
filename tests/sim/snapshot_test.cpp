// Snapshots of a simulated camera: a restore puts back every cell, whether
// the camera changed a few rows since, moved its rows on, or last held
// another snapshot's charge.
#include <gtest/gtest.h>

#include <vector>

#include "sim/camera.h"
#include "sim/wire.h"

namespace zeva::sim {
namespace {

using testing::FakeHost;
using testing::Wire;

Options Gannet() {
    Options o;
    o.model = Model::Gannet;
    return o;
}

// Every cell of a CCD in readout order.
std::vector<std::uint32_t> Cells(const Camera& cam, int ccd) {
    const CcdShape& s = cam.Shape(ccd);
    std::vector<std::uint32_t> all;
    all.reserve(static_cast<std::size_t>(s.totalRows) * s.totalColumns);
    for (int r = 0; r < s.totalRows; ++r)
        for (int c = 0; c < s.totalColumns; ++c) all.push_back(cam.Charge(ccd, r, c));
    return all;
}

class SnapshotTest : public ::testing::Test {
  protected:
    SnapshotTest() : cam(Gannet()), wire(cam) { cam.Attach(&host); }
    // One row of the imaging CCD into the serial register.
    void ImagingRow() {
        for (std::uint8_t v : {std::uint8_t(9), std::uint8_t(10), std::uint8_t(9), std::uint8_t(8)})
            wire.Out(0x10, v);
        wire.Out(0x10, 0);
    }
    void Fill(std::uint32_t seed) {
        const CcdShape& s = cam.Shape(0);
        for (int r = 0; r < s.totalRows; r += 3)
            for (int c = 0; c < s.totalColumns; c += 5)
                cam.SetCharge(0, r, c, seed + static_cast<std::uint32_t>(r * 7 + c));
    }
    FakeHost host;
    Camera cam;
    Wire wire;
};

TEST_F(SnapshotTest, RestoringTheSameSnapshotAgainPutsBackEveryChangedRow) {
    Fill(1000);
    const Camera saved = cam.Snapshot();
    const std::vector<std::uint32_t> want = Cells(saved, 0);
    for (int round = 0; round < 3; ++round) {
        // Rows moved out (the head moves on), a few cells changed far down.
        for (int i = 0; i <= round; ++i) ImagingRow();
        cam.SetCharge(0, 100 + round, 9, 77);
        cam.Restore(saved);
        EXPECT_EQ(Cells(cam, 0), want) << "round " << round;
        EXPECT_EQ(cam.RowsTransferred(0), 0u);
    }
}

TEST_F(SnapshotTest, RestoresAlternateBetweenTwoSnapshots) {
    Fill(1000);
    const Camera first = cam.Snapshot();
    ImagingRow();
    Fill(50000);
    const Camera second = cam.Snapshot();
    const std::vector<std::uint32_t> want_first = Cells(first, 0);
    const std::vector<std::uint32_t> want_second = Cells(second, 0);
    ASSERT_NE(want_first, want_second);
    for (int round = 0; round < 2; ++round) {
        cam.Restore(first);
        EXPECT_EQ(Cells(cam, 0), want_first) << "round " << round;
        ImagingRow();
        cam.Restore(second);
        EXPECT_EQ(Cells(cam, 0), want_second) << "round " << round;
        cam.SetCharge(0, 3, 3, 1);
    }
}

TEST_F(SnapshotTest, AnEmptySnapshotAfterAChargedOneLeavesNoCharge) {
    const Camera empty = cam.Snapshot();
    Fill(1000);
    const Camera charged = cam.Snapshot();
    cam.Restore(empty);
    const std::vector<std::uint32_t> zeros(Cells(cam, 0).size(), 0u);
    EXPECT_EQ(Cells(cam, 0), zeros);
    cam.Restore(charged);
    ImagingRow();
    cam.Restore(empty);
    EXPECT_EQ(Cells(cam, 0), zeros);
}

}  // namespace
}  // namespace zeva::sim
