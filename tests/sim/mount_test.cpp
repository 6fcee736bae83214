// The mount behind the relays: guide closures, drift and periodic error.
#include "sim/mount.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace zeva::sim {
namespace {

constexpr std::uint64_t kS = 1000000000ull;

std::array<std::uint64_t, 4> Closed(unsigned line, std::uint64_t until) {
    std::array<std::uint64_t, 4> u{};
    u[line] = until;
    return u;
}

TEST(Mount, EachRelayMovesItsDirectionAtTheGuideRate) {
    MountOptions o;
    o.guideRate = 0.5;
    const double perSecond = 0.5 * kSiderealArcsecPerS;
    struct Case {
        unsigned line;
        double east, north;
    } cases[] = {
        {kRelayNorth, 0, 1}, {kRelaySouth, 0, -1}, {kRelayEast, 1, 0}, {kRelayWest, -1, 0}};
    for (const Case& c : cases) {
        Mount m(o);
        m.SetRelays(10 * kS, Closed(c.line, 12 * kS));
        EXPECT_EQ(m.At(10 * kS).east, 0.0);
        EXPECT_NEAR(m.At(11 * kS).east, c.east * perSecond, 1e-9) << c.line;
        EXPECT_NEAR(m.At(11 * kS).north, c.north * perSecond, 1e-9) << c.line;
        // Open again after two seconds: the pointing stays where it went.
        EXPECT_NEAR(m.At(100 * kS).east, 2 * c.east * perSecond, 1e-9) << c.line;
        EXPECT_NEAR(m.At(100 * kS).north, 2 * c.north * perSecond, 1e-9) << c.line;
    }
}

TEST(Mount, NewRelayCommandCutsTheRunningClosuresShort) {
    Mount m(MountOptions{});
    m.SetRelays(0, Closed(kRelayNorth, 10 * kS));
    m.SetRelays(1 * kS, Closed(kRelayEast, 2 * kS));  // north opens at 1 s
    const Pointing p = m.At(20 * kS);
    EXPECT_NEAR(p.north, 0.5 * kSiderealArcsecPerS, 1e-9);
    EXPECT_NEAR(p.east, 0.5 * kSiderealArcsecPerS, 1e-9);
    // All relays open.
    m.SetRelays(30 * kS, {});
    EXPECT_NEAR(m.At(40 * kS).north, 0.5 * kSiderealArcsecPerS, 1e-9);
}

TEST(Mount, DriftAndPeriodicErrorFollowTheClock) {
    MountOptions o;
    o.driftRa = 6.0;  // arc-seconds per minute
    o.driftDec = -3.0;
    o.peAmplitude = 4.0;
    o.pePeriod = 400.0;
    Mount m(o);
    EXPECT_FALSE(m.Still());
    const Pointing p = m.At(100 * kS);  // a quarter of the worm period: PE at its peak
    EXPECT_NEAR(p.east, 10.0 + 4.0, 1e-9);
    EXPECT_NEAR(p.north, -5.0, 1e-9);
    EXPECT_NEAR(m.At(200 * kS).east, 20.0, 1e-9);
}

TEST(Mount, StillWithoutTelescopeOrMotion) {
    MountOptions o;
    o.focalLengthMm = 0;
    EXPECT_TRUE(Mount(o).Still());
    MountOptions n;
    n.guideRate = 0;
    EXPECT_TRUE(Mount(n).Still());
    EXPECT_FALSE(Mount(MountOptions{}).Still());
}

TEST(Mount, ForgettingOldClosuresKeepsThePointing) {
    Mount m(MountOptions{});
    for (std::uint64_t i = 0; i < 50; ++i)
        m.SetRelays(i * kS, Closed(i % 2 ? kRelayWest : kRelayNorth, i * kS + kS / 2));
    const Pointing before = m.At(100 * kS);
    const Pointing midway = m.At(30 * kS + kS / 4);
    m.Forget(30 * kS);
    EXPECT_LT(m.Segments(), 21u);
    EXPECT_NEAR(m.At(100 * kS).east, before.east, 1e-9);
    EXPECT_NEAR(m.At(100 * kS).north, before.north, 1e-9);
    EXPECT_NEAR(m.At(30 * kS + kS / 4).north, midway.north, 1e-9);
    EXPECT_NEAR(before.north, 25 * 0.5 * 0.5 * kSiderealArcsecPerS, 1e-9);
    EXPECT_NEAR(before.east, -25 * 0.5 * 0.5 * kSiderealArcsecPerS, 1e-9);
}

}  // namespace
}  // namespace zeva::sim
