// Properties that mean what they say, sent when they change: the cooler's
// switch and the temperature's state follow the regulation without repeats
// or flips, the exposure countdown goes out at most twice a second.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "support/indi_session.h"

namespace zeva::test {
namespace {

class PropertiesTest : public IndiServerTest {
  protected:
    PropertiesTest() : IndiServerTest("zeva-properties") {}
    void Start() {
        ASSERT_NO_FATAL_FAILURE(
            StartConnected(c, "sim:gannet", "virtual",
                           [](const PropertyUpdate& u) { return u.name == "CCD_COOLER"; }));
    }
    RecordingClient c;
};

// No two updates in a row carry the same content.
void ExpectNoRepeats(const std::vector<PropertyUpdate>& updates, const char* name) {
    for (std::size_t i = 1; i < updates.size(); ++i) {
        const PropertyUpdate &a = updates[i - 1], &b = updates[i];
        if (a.definition || b.definition)
            continue;
        EXPECT_FALSE(a.state == b.state && a.numbers == b.numbers && a.switches == b.switches)
            << name << " sent twice alike (updates " << a.seq << " and " << b.seq << ")";
    }
}

TEST_F(PropertiesTest, CoolerAndTemperatureFollowTheRegulationWithoutRepeats) {
    ASSERT_NO_FATAL_FAILURE(Start());
    // Setpoints on the camera's own steps (readings 1360 and 1600), so that
    // the setpoint the camera keeps is the one asked for.
    const std::uint64_t first = c.Seq();
    c.SetNumber("CCD_TEMPERATURE", "CCD_TEMPERATURE_VALUE", 16);
    const PropertyUpdate reached = c.WaitFor(
        [](const PropertyUpdate& u) { return u.name == "CCD_TEMPERATURE" && u.state == IPS_OK; },
        first, 120);
    ASSERT_NE(reached.seq, 0u) << "the setpoint was never reached";
    const std::uint64_t second = c.Seq();
    c.SetNumber("CCD_TEMPERATURE", "CCD_TEMPERATURE_VALUE", 10);
    ASSERT_NE(c.WaitFor(
                   [&](const PropertyUpdate& u) {
                       return u.name == "CCD_TEMPERATURE" && u.state == IPS_OK &&
                              u.seq > second + 1;
                   },
                   second, 120)
                  .seq,
              0u);
    // Overshoot and settling, in simulated minutes.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const std::uint64_t off = c.Seq();
    c.Switch("CCD_COOLER", "COOLER_OFF");
    ASSERT_NE(c.WaitFor(
                   [](const PropertyUpdate& u) {
                       return u.name == "CCD_TEMPERATURE" && u.state == IPS_IDLE;
                   },
                   off, 30)
                  .seq,
              0u)
        << "still regulating after the cooler was switched off";
    std::this_thread::sleep_for(std::chrono::seconds(1));

    // Every reading shown: Ok within one converter step (0.4 C) of the
    // setpoint, Busy beyond two, Idle once the cooler is off.  Each command
    // counts from the driver's first answer to it: a reading taken before
    // may come between the command and the answer.
    std::uint64_t sixteenFrom = 0, tenFrom = 0, idleFrom = 0;
    for (const PropertyUpdate& u : c.All("CCD_TEMPERATURE")) {
        if (!sixteenFrom && u.seq > first && u.state == IPS_BUSY)
            sixteenFrom = u.seq;
        if (!tenFrom && u.seq > second && u.state == IPS_BUSY)
            tenFrom = u.seq;
        if (!idleFrom && u.seq > off && u.state == IPS_IDLE)
            idleFrom = u.seq;
    }
    ASSERT_NE(sixteenFrom, 0u);
    int busyAfterOk = 0;
    bool seenOk = false;
    for (const PropertyUpdate& u : c.All("CCD_TEMPERATURE")) {
        if (u.seq < sixteenFrom || u.definition)
            continue;
        const double v = u.numbers.at("CCD_TEMPERATURE_VALUE");
        const double setpoint = u.seq < tenFrom ? 16 : 10;
        if (u.seq >= idleFrom) {
            EXPECT_EQ(u.state, IPS_IDLE) << "update " << u.seq << " at " << v;
            continue;
        }
        if (std::fabs(v - setpoint) < 0.41) {
            EXPECT_EQ(u.state, IPS_OK) << "update " << u.seq << " at " << v;
        }
        if (std::fabs(v - setpoint) > 0.81) {
            EXPECT_EQ(u.state, IPS_BUSY) << "update " << u.seq << " at " << v;
        }
        if (u.state == IPS_OK)
            seenOk = true;
        else if (seenOk && u.seq > tenFrom)
            ++busyAfterOk;
    }
    EXPECT_GT(busyAfterOk, 0) << "the overshoot past the setpoint never showed";
    // The cooler switch: on once and kept on until switched off, never On,
    // Off, On; Busy while away from the setpoint.
    bool wasOn = false;
    for (const PropertyUpdate& u : c.All("CCD_COOLER")) {
        if (u.seq <= first || u.seq > off)
            continue;
        if (wasOn) {
            EXPECT_TRUE(u.switches.at("COOLER_ON")) << "cooler shown off at update " << u.seq;
        }
        wasOn = wasOn || u.switches.at("COOLER_ON");
    }
    EXPECT_TRUE(wasOn);
    EXPECT_FALSE(c.Last("CCD_COOLER").switches.at("COOLER_ON"));
    ExpectNoRepeats(c.All("CCD_COOLER"), "CCD_COOLER");
    ExpectNoRepeats(c.All("CCD_TEMPERATURE"), "CCD_TEMPERATURE");
    ExpectNoRepeats(c.All("CCD_COOLER_POWER"), "CCD_COOLER_POWER");
    EXPECT_TRUE(c.Alerts().empty()) << c.Alerts().front();
}

TEST_F(PropertiesTest, ExposureCountdownAtMostTwiceASecond) {
    ASSERT_NO_FATAL_FAILURE(Start());
    c.SetNumbers("CCD_FRAME", {{"X", 0}, {"Y", 0}, {"WIDTH", 16}, {"HEIGHT", 4}});
    const std::uint64_t seq = c.Seq();
    const auto began = std::chrono::steady_clock::now();
    // 30 s of simulated time, a few seconds of real time.
    c.SetNumber("CCD_EXPOSURE", "CCD_EXPOSURE_VALUE", 30);
    const PropertyUpdate done = c.WaitSettled("CCD_EXPOSURE", seq, 120);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    ASSERT_EQ(done.state, IPS_OK);
    std::vector<double> left;
    for (const PropertyUpdate& u : c.All("CCD_EXPOSURE"))
        if (u.seq > seq && u.seq < done.seq)
            left.push_back(u.numbers.at("CCD_EXPOSURE_VALUE"));
    ASSERT_FALSE(left.empty());
    // Counting down, then 0 when the readout begins.
    for (std::size_t i = 1; i < left.size(); ++i) EXPECT_LE(left[i], left[i - 1]);
    EXPECT_EQ(left.back(), 0.0);
    // The start, one every half second, the 0: no more.
    EXPECT_LE(left.size(), 2 + static_cast<std::size_t>(seconds / 0.5) + 1)
        << "over " << seconds << " s";
    ExpectNoRepeats(c.All("ZEVA_READOUT"), "ZEVA_READOUT");
}

}  // namespace
}  // namespace zeva::test
