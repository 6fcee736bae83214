// The stars scene seen through the telescope on the relays: guide pulses,
// drift and trails move the star images of both CCDs by the pixel scale each
// CCD has; the port's pace option.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <string>
#include <vector>

#include "sim/camera.h"
#include "sim/wire.h"

namespace zeva::sim {
namespace {

using testing::FakeHost;
using testing::Wire;

constexpr double kGuideArcsecPerS = 0.5 * kSiderealArcsecPerS;
constexpr double kNoiseFloor = 60.0;  // electrons: several times the read noise

struct Centroid {
    double row = 0, col = 0;
    double rowVar = 0, colVar = 0;  // second moments about the centroid
};

struct Sky {
    explicit Sky(const std::string& entry) : cam(Make(entry)), wire(cam) { cam.Attach(&host); }
    static Options Make(const std::string& entry) {
        Options o;
        std::string err;
        EXPECT_TRUE(ParseOptions(entry, &o, &err)) << err;
        return o;
    }
    // Starts an exposure of `ms` with the shutter open, its time shortened by
    // the 110 ms the blade takes to close, as the driver does: light for `ms`.
    void Start(int ccd, std::uint32_t ms) {
        Clear(ccd);
        const std::uint32_t units = ms / 10 > 11 ? ms / 10 - 11 : 0;
        ASSERT_TRUE(wire.StartExposure(units, static_cast<std::uint8_t>((1 << 2) | (ccd << 4))));
    }
    void End(int ccd) {
        ASSERT_EQ(wire.Exchange(1, {static_cast<std::uint8_t>(ccd)}, 2),
                  (std::vector<std::uint8_t>{0, 6}));
    }
    void Expose(int ccd, std::uint32_t ms) {
        Start(ccd, ms);
        host.AdvanceMs(ms);
        End(ccd);
    }
    // Relay on-times in 10 ms units: North, South, East, West.
    void Relays(std::uint8_t n, std::uint8_t s, std::uint8_t e, std::uint8_t w) {
        ASSERT_EQ(wire.Exchange(4, {n, s, e, w, 0}, 2), (std::vector<std::uint8_t>{0, 6}));
    }
    void Clear(int ccd) {
        const CcdShape& s = cam.Shape(ccd);
        for (int r = 0; r < s.totalRows; ++r)
            for (int c = 0; c < s.totalColumns; ++c) cam.SetCharge(ccd, r, c, 0);
    }
    // Charge at image row r, column c (the tracking CCD's columns leave right to left).
    double At(int ccd, int r, int c) const {
        const CcdShape& s = cam.Shape(ccd);
        const int cell = ccd == 1 ? s.leftColumns + (s.activeColumns - 1 - c) : s.leftColumns + c;
        return cam.Charge(ccd, s.topRows + r, cell);
    }
    // The brightest star away from the edges: the largest 5 x 5 sum.
    Centroid Brightest(int ccd) const {
        const CcdShape& s = cam.Shape(ccd);
        double best = -1;
        int br = 0, bc = 0;
        for (int r = 20; r < s.activeRows - 20; ++r)
            for (int c = 20; c < s.activeColumns - 20; ++c) {
                double sum = 0;
                for (int dr = -2; dr <= 2; ++dr)
                    for (int dc = -2; dc <= 2; ++dc) sum += At(ccd, r + dr, c + dc);
                if (sum > best) {
                    best = sum;
                    br = r;
                    bc = c;
                }
            }
        return Around(ccd, br, bc, 7, 7);
    }
    // Centroid and second moments in a box of half-size hr x hc around (r, c),
    // above the background of the box's edge.
    Centroid Around(int ccd, double r0, double c0, int hr, int hc) const {
        const int r = static_cast<int>(std::lround(r0)), c = static_cast<int>(std::lround(c0));
        double edge = 0;
        int n = 0;
        for (int dr = -hr; dr <= hr; ++dr)
            for (int dc = -hc; dc <= hc; ++dc)
                if (std::abs(dr) == hr || std::abs(dc) == hc) {
                    edge += At(ccd, r + dr, c + dc);
                    ++n;
                }
        edge /= n;
        double w = 0, sr = 0, sc = 0, srr = 0, scc = 0;
        for (int dr = -hr; dr <= hr; ++dr)
            for (int dc = -hc; dc <= hc; ++dc) {
                double v = At(ccd, r + dr, c + dc) - edge;
                if (v < kNoiseFloor)
                    v = 0;  // read noise far from the star would dominate the moments
                w += v;
                sr += v * (r + dr);
                sc += v * (c + dc);
                srr += v * (r + dr) * (r + dr);
                scc += v * (c + dc) * (c + dc);
            }
        Centroid k;
        k.row = sr / w;
        k.col = sc / w;
        k.rowVar = srr / w - k.row * k.row;
        k.colVar = scc / w - k.col * k.col;
        return k;
    }
    FakeHost host;
    Camera cam;
    Wire wire;
};

TEST(SkyScale, ArcsecondsPerPixelFromPixelSizeAndFocalLength) {
    Sky s("sim:gannet?focal-length=1000");
    EXPECT_NEAR(s.cam.ArcsecPerPixelX(0), 206.265 * 9.0 / 1000, 1e-9);
    EXPECT_NEAR(s.cam.ArcsecPerPixelY(0), 206.265 * 9.0 / 1000, 1e-9);
    EXPECT_NEAR(s.cam.ArcsecPerPixelX(1), 206.265 * 13.75 / 1000, 1e-9);
    EXPECT_NEAR(s.cam.ArcsecPerPixelY(1), 206.265 * 16.0 / 1000, 1e-9);
}

TEST(SkyMotion, GuidePulsesMoveTheStarsOfBothCcdsTogether) {
    Sky s("sim:gannet?focal-length=1000");
    s.Expose(0, 1000);
    const Centroid i0 = s.Brightest(0);
    s.Expose(1, 1000);
    const Centroid t0 = s.Brightest(1);
    s.Relays(100, 0, 0, 0);  // north 1 s
    s.host.AdvanceMs(1500);
    s.Relays(0, 0, 0, 50);  // west 0.5 s
    s.host.AdvanceMs(1000);
    // The pointing went 1 s north and 0.5 s west: the stars move south
    // (down) and east (left), each CCD by its own pixel scale.
    for (int ccd = 0; ccd < 2; ++ccd) {
        const Centroid& before = ccd == 0 ? i0 : t0;
        const double down = kGuideArcsecPerS * 1.0 / s.cam.ArcsecPerPixelY(ccd);
        const double left = kGuideArcsecPerS * 0.5 / s.cam.ArcsecPerPixelX(ccd);
        s.Expose(ccd, 1000);
        const Centroid after = s.Around(ccd, before.row + down, before.col - left, 7, 7);
        EXPECT_NEAR(after.row - before.row, down, 0.05) << "ccd " << ccd;
        EXPECT_NEAR(before.col - after.col, left, 0.05) << "ccd " << ccd;
    }
}

TEST(SkyMotion, StarTrailsWhileARelayIsClosedDuringTheExposure) {
    Sky s("sim:gannet?focal-length=1000");
    s.Expose(0, 1000);
    const Centroid still = s.Brightest(0);
    EXPECT_NEAR(still.rowVar, still.colVar, 0.2);  // a round star
    s.Start(0, 2000);
    s.Relays(0, 0, 200, 0);  // east for the whole exposure
    s.host.AdvanceMs(2000);
    s.End(0);
    const double length = kGuideArcsecPerS * 2.0 / s.cam.ArcsecPerPixelX(0);
    const Centroid trail = s.Around(0, still.row, still.col + length / 2, 7, 16);
    EXPECT_NEAR(trail.col - still.col, length / 2, 0.1);
    EXPECT_NEAR(trail.row, still.row, 0.05);
    // A uniform trail of length L widens the star by L^2 / 12 along the columns only.
    EXPECT_NEAR(trail.colVar - trail.rowVar, length * length / 12, 0.6);
    EXPECT_NEAR(trail.rowVar, still.rowVar, 0.2);
}

TEST(SkyMotion, DriftMovesTheFieldWithoutRelays) {
    Sky s("sim:gannet?focal-length=1000&drift-dec=30&drift-ra=-15");
    s.Expose(0, 1000);
    const Centroid a = s.Brightest(0);
    s.host.AdvanceMs(59000);
    s.Expose(0, 1000);  // one minute later
    const double down = 30.0 / s.cam.ArcsecPerPixelY(0);
    const double right = -15.0 / s.cam.ArcsecPerPixelX(0);
    const Centroid b = s.Around(0, a.row + down, a.col + right, 7, 7);
    EXPECT_NEAR(b.row - a.row, down, 0.05);
    EXPECT_NEAR(b.col - a.col, right, 0.05);
}

TEST(SkyMotion, StillByDefaultAndThePatternNeverMoves) {
    Sky s("sim:gannet");
    s.Expose(0, 1000);
    const Centroid a = s.Brightest(0);
    s.host.AdvanceMs(600000);  // ten minutes: no drift, no periodic error
    s.Expose(0, 1000);
    const Centroid b = s.Brightest(0);
    EXPECT_NEAR(b.row, a.row, 0.02);
    EXPECT_NEAR(b.col, a.col, 0.02);
    Sky p("sim:gannet?scene=pattern");
    p.Relays(100, 0, 100, 0);
    p.host.AdvanceMs(2000);
    p.Expose(0, 100);
    EXPECT_EQ(p.At(0, 3, 4), Camera::PatternImaging(3, 4));
}

TEST(PortPace, EveryAccessTakesAtLeastTheGivenRealTime) {
    Sky s("sim:gannet?port-ns=200000");
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; ++i) {
        s.cam.Write(0, static_cast<std::uint8_t>(i));
        s.cam.Read(1);
    }
    const auto spent = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(spent, std::chrono::microseconds(20 * 200));
}

}  // namespace
}  // namespace zeva::sim
