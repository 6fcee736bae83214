// The one shutter of the dual-CCD cameras: what each start mode, the end of
// an exposure and the miscellaneous-control command do to it, the light each
// CCD sees through it, and the streak an open shutter leaves on rows still
// waiting to be read.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "sim/camera.h"
#include "sim/wire.h"

namespace zeva::sim {
namespace {

using testing::FakeHost;
using testing::Wire;

constexpr std::uint64_t kMsNs = 1000000ull;

struct Bench {
    explicit Bench(Model m, Scene scene = Scene::Stars) : cam(Make(m, scene)), wire(cam) {
        cam.Attach(&host);
    }
    static Options Make(Model m, Scene s) {
        Options o;
        o.model = m;
        o.scene = s;
        return o;
    }
    // Starts `ccd` for `ms` with shutter mode `mode` (0 leave, 1 open, 2 close).
    void Start(int ccd, unsigned mode, std::uint32_t ms) {
        ASSERT_TRUE(
            wire.StartExposure(ms / 10, static_cast<std::uint8_t>((mode << 2) | (ccd << 4))));
    }
    void End(int ccd) {
        // The single-CCD cameras' end command carries no CCD.
        const bool single = cam.info().family == Family::Single;
        ASSERT_EQ(wire.Exchange(1,
                                single ? std::vector<std::uint8_t>{}
                                       : std::vector<std::uint8_t>{static_cast<std::uint8_t>(ccd)},
                                2),
                  (std::vector<std::uint8_t>{0, 6}));
    }
    void Misc(std::uint8_t shutterCommand) {
        ASSERT_EQ(wire.Exchange(8, {static_cast<std::uint8_t>(0x10 | shutterCommand)}, 2),
                  (std::vector<std::uint8_t>{0, 6}));
    }
    bool Open() { return cam.Shutter().open; }
    double LitMs(int ccd) { return static_cast<double>(cam.Exposure(ccd).litNs) / kMsNs; }
    // The median charge of an active row: the sky and dark level, stars aside.
    double RowLevel(int ccd, int row) {
        const CcdShape& s = cam.Shape(ccd);
        std::vector<std::uint32_t> v;
        for (int c = 0; c < s.activeColumns; ++c)
            v.push_back(cam.Charge(ccd, row, s.leftColumns + c));
        std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
        return v[v.size() / 2];
    }
    // Moves the next imaging row into the serial register and returns the
    // median of its active cells; then flushes the register.
    double TransferRow() {
        for (std::uint8_t v : {9, 10, 9, 8}) wire.Out(0x10, v);
        wire.Out(0x10, 0);
        const CcdShape& s = cam.Shape(0);
        std::vector<std::uint32_t> v;
        for (int c = 0; c < s.activeColumns; ++c) v.push_back(cam.SerialCell(0, s.leftColumns + c));
        std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
        wire.Out(0x00, 8);
        for (int i = 0; i <= s.totalColumns / 10; ++i) {
            wire.Out(0x30, 8);
            wire.Out(0x30, 0);
        }
        return v[v.size() / 2];
    }
    FakeHost host;
    Camera cam;
    Wire wire;
};

TEST(Shutter, StartModesOpenCloseOrLeaveItAndTheOpenersEndClosesIt) {
    Bench b(Model::Gannet);
    EXPECT_FALSE(b.Open());  // closed at power-up
    b.Start(0, 0, 1000);
    EXPECT_FALSE(b.Open());  // mode 0 leaves it closed
    b.End(0);
    b.Start(0, 1, 1000);
    EXPECT_TRUE(b.Open());
    EXPECT_EQ(b.cam.Shutter().owner, 0);
    b.host.AdvanceMs(1000);
    EXPECT_FALSE(b.Open());  // the timer ran out: the camera closed it
    b.End(0);
    b.Start(1, 1, 2000);
    b.Start(0, 0, 1000);  // leaves it open, and owned by the tracking exposure
    EXPECT_TRUE(b.Open());
    b.End(0);
    EXPECT_TRUE(b.Open());  // not the opener's end
    b.Start(0, 2, 1000);
    EXPECT_FALSE(b.Open());  // mode 2 closes it, whoever opened it
    b.End(1);
    b.End(0);
    // The end command closes it like the timer does.
    b.Start(1, 1, 5000);
    b.host.AdvanceMs(100);
    b.End(1);
    EXPECT_FALSE(b.Open());
}

TEST(Shutter, MiscellaneousControlOpensClosesOrLeavesIt) {
    Bench b(Model::Heron);
    b.Misc(1);
    EXPECT_TRUE(b.Open());
    b.Misc(0);  // what every exposure start and end sends
    EXPECT_TRUE(b.Open());
    b.Misc(2);
    EXPECT_FALSE(b.Open());
    b.Misc(1);
    b.Misc(3);  // a full cycle, ending closed
    EXPECT_FALSE(b.Open());
    // Opened by hand, it stays open through a mode-0 exposure's end.
    b.Misc(1);
    b.Start(0, 0, 100);
    b.host.AdvanceMs(200);
    b.End(0);
    EXPECT_TRUE(b.Open());
    EXPECT_DOUBLE_EQ(b.LitMs(0), 100.0);
}

TEST(Shutter, LightReachesACcdOnlyWhileItExposesUnderTheOpenShutter) {
    // A guide exposure that opens the shutter and ends inside a 3 s imaging
    // light exposure closes it on the imaging CCD.
    Bench b(Model::Gannet);
    b.Start(0, 1, 3000);
    b.host.AdvanceMs(500);
    b.Start(1, 1, 500);
    b.host.AdvanceMs(500);
    b.End(1);
    EXPECT_FALSE(b.Open());
    b.host.AdvanceMs(2000);
    b.End(0);
    // Light until the guide frame's end, and the 110 ms its blade takes to close.
    EXPECT_DOUBLE_EQ(b.LitMs(0), 1110.0);
    EXPECT_DOUBLE_EQ(b.LitMs(1), 610.0);
    // Under an open shutter (mode 0) the guide exposure leaves it open.
    b.Start(0, 1, 3000);
    b.host.AdvanceMs(500);
    b.Start(1, 0, 500);
    b.host.AdvanceMs(500);
    b.End(1);
    EXPECT_TRUE(b.Open());
    b.host.AdvanceMs(2000);
    b.End(0);
    EXPECT_DOUBLE_EQ(b.LitMs(0), 3110.0);
    EXPECT_DOUBLE_EQ(b.LitMs(1), 500.0);  // no blade travel: it did not open it
    // A guide exposure that opens the shutter during an imaging dark lets light in.
    b.Start(0, 2, 3000);
    b.host.AdvanceMs(1000);
    b.Start(1, 1, 500);
    b.host.AdvanceMs(2000);
    b.End(0);
    b.End(1);
    EXPECT_DOUBLE_EQ(b.LitMs(0), 610.0);
}

TEST(Shutter, SkyFollowsTheLitTimeNotTheExposureTime) {
    Bench alone(Model::Gannet), spoiled(Model::Gannet);
    alone.Start(0, 1, 3000);
    alone.host.AdvanceMs(3000);
    alone.End(0);
    spoiled.Start(0, 1, 3000);
    spoiled.Start(1, 1, 500);  // closes the shutter 0.5 s in
    spoiled.host.AdvanceMs(3000);
    spoiled.End(0);
    const int row = alone.cam.Shape(0).topRows + 40;
    // Sky 20 e/s lit (3.11 s and 0.61 s with the blade), dark current 2 e/s always.
    EXPECT_NEAR(alone.RowLevel(0, row), 68.0, 4.0);
    EXPECT_NEAR(spoiled.RowLevel(0, row), 18.0, 4.0);
}

TEST(Shutter, OpenShutterDuringTheImagingReadoutStreaksTheRowsStillOnTheChip) {
    auto readout = [](bool guideDuringReadout) {
        Bench b(Model::Gannet);
        b.Start(0, 1, 1000);
        b.host.AdvanceMs(1000);
        b.End(0);
        if (guideDuringReadout)
            b.Start(1, 1, 60000);
        const CcdShape& s = b.cam.Shape(0);
        std::vector<double> levels;
        for (int r = 0; r < s.topRows + s.activeRows - 10; ++r) {
            b.host.AdvanceMs(50);  // a line's readout
            const double level = b.TransferRow();
            if (r >= s.topRows + 10 && r % 50 == 0)
                levels.push_back(level);
        }
        return levels;
    };
    const std::vector<double> clean = readout(false), streaked = readout(true);
    ASSERT_GE(clean.size(), 3u);
    EXPECT_NEAR(clean.front(), clean.back(), 6.0);
    // Every row read collected 20 e/s x 50 ms for each row read before it.
    EXPECT_GT(streaked.back() - streaked.front(), 100.0);
    EXPECT_GT(streaked.front(), clean.front() + 20.0);
}

TEST(Shutter, SingleCcdCamerasAlwaysTakeLight) {
    Bench b(Model::Egret);
    b.Start(0, 0, 1000);
    b.host.AdvanceMs(1000);
    b.End(0);
    EXPECT_DOUBLE_EQ(b.LitMs(0), 1000.0);
    EXPECT_FALSE(b.Open());
}

}  // namespace
}  // namespace zeva::sim
