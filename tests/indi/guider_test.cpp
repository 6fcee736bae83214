// A small guider written against the INDI client library, the way PHD2's
// "INDI Camera" with the "On-camera" mount or Ekos's internal guider use the
// driver: guide-head frames, the star's centroid, a calibration pulse in each
// direction (the star must move the right way by guide rate x time / scale),
// then a closed loop that holds the star against the mount's drift.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "support/indi_session.h"

namespace zeva::test {
namespace {

constexpr double kSiderealArcsecPerS = 15.041;
constexpr double kGuideRate = 0.5;  // the simulated mount's default
constexpr double kFocalLengthMm = 1000;
constexpr double kGuideArcsecPerS = kGuideRate * kSiderealArcsecPerS;
constexpr double kPulseMs = 1000;
constexpr double kExposureS = 1.0;

class GuiderTest : public IndiServerTest {
  protected:
    GuiderTest() : IndiServerTest("zeva-guider") {}

    void Connect(RecordingClient& c) {
        const std::uint64_t seq = c.Seq();
        c.Switch("CONNECTION", "CONNECT");
        const PropertyUpdate u = c.WaitFor(
            [](const PropertyUpdate& p) {
                return p.name == "CONNECTION" && p.state != IPS_BUSY && p.switches.at("CONNECT");
            },
            seq, 60);
        ASSERT_EQ(u.state, IPS_OK) << u.message;
        // Arc-seconds per guide-head pixel from the pixel size the camera
        // reports and the telescope's focal length, as a guider works it out.
        const PropertyUpdate info = c.WaitFor(
            [](const PropertyUpdate& p) {
                return p.name == "GUIDER_INFO" && p.numbers.count("CCD_PIXEL_SIZE_X") &&
                       p.numbers.at("CCD_PIXEL_SIZE_X") > 0;
            },
            seq, 30);
        ASSERT_NE(info.seq, 0u) << "no guide head";
        scaleX = 206.265 * info.numbers.at("CCD_PIXEL_SIZE_X") / kFocalLengthMm;
        scaleY = 206.265 * info.numbers.at("CCD_PIXEL_SIZE_Y") / kFocalLengthMm;
    }
    FitsImage Expose(RecordingClient& c) {
        const std::uint64_t seq = c.Seq();
        c.SetNumber("GUIDER_EXPOSURE", "GUIDER_EXPOSURE_VALUE", kExposureS);
        PropertyUpdate frame = c.WaitBlob("CCD2", seq, 120);
        EXPECT_FALSE(frame.blob.empty()) << "no guide frame";
        return FitsImage(std::move(frame.blob));
    }
    // Pulses on one or both axes at once (north > 0, west > 0, in ms); waits
    // until each has completed.  Both elements of an axis are sent, the
    // other one 0, as guiders do: the driver keeps the last values.
    void Pulse(RecordingClient& c, double northMs, double westMs) {
        const bool ns = std::fabs(northMs) >= 5, we = std::fabs(westMs) >= 5;
        const std::uint64_t seq = c.Seq();
        if (ns)
            c.SetNumbers("TELESCOPE_TIMED_GUIDE_NS", {{"TIMED_GUIDE_N", std::max(0.0, northMs)},
                                                      {"TIMED_GUIDE_S", std::max(0.0, -northMs)}});
        if (we)
            c.SetNumbers("TELESCOPE_TIMED_GUIDE_WE", {{"TIMED_GUIDE_W", std::max(0.0, westMs)},
                                                      {"TIMED_GUIDE_E", std::max(0.0, -westMs)}});
        if (ns) {
            EXPECT_EQ(c.WaitSettled("TELESCOPE_TIMED_GUIDE_NS", seq, 60).state, IPS_IDLE);
        }
        if (we) {
            EXPECT_EQ(c.WaitSettled("TELESCOPE_TIMED_GUIDE_WE", seq, 60).state, IPS_IDLE);
        }
    }

    double scaleX = 0, scaleY = 0;
};

TEST_F(GuiderTest, CalibrationPulsesMoveTheStarByGuideRateTimesTimeOverScale) {
    ASSERT_NO_FATAL_FAILURE(server.Start(dir, "sim:gannet?seed=3", "virtual"));
    RecordingClient guider;
    ASSERT_TRUE(guider.Join(server.port())) << server.Log();
    ASSERT_NO_FATAL_FAILURE(Connect(guider));
    guider.ReceiveBlobs("CCD2");
    // The sky as seen with north up and east left: pointing north moves the
    // stars down the frame (south), pointing east moves them right (west).
    struct Step {
        const char* property;
        const char* element;
        const char* other;  // the axis's other direction, sent as 0 as guiders do
        double dx, dy;      // direction the star moves
    } steps[] = {{"TELESCOPE_TIMED_GUIDE_NS", "TIMED_GUIDE_N", "TIMED_GUIDE_S", 0, 1},
                 {"TELESCOPE_TIMED_GUIDE_NS", "TIMED_GUIDE_S", "TIMED_GUIDE_N", 0, -1},
                 {"TELESCOPE_TIMED_GUIDE_WE", "TIMED_GUIDE_E", "TIMED_GUIDE_W", 1, 0},
                 {"TELESCOPE_TIMED_GUIDE_WE", "TIMED_GUIDE_W", "TIMED_GUIDE_E", -1, 0}};
    Star star = BrightestStar(Expose(guider));
    ASSERT_TRUE(star.found);
    for (const Step& s : steps) {
        const std::uint64_t seq = guider.Seq();
        guider.SetNumbers(s.property, {{s.element, kPulseMs}, {s.other, 0}});
        ASSERT_EQ(guider.WaitSettled(s.property, seq, 60).state, IPS_IDLE) << s.element;
        const double moved = kGuideArcsecPerS * kPulseMs / 1000;
        const double ex = star.x + s.dx * moved / scaleX, ey = star.y + s.dy * moved / scaleY;
        const Star after = CentroidNear(Expose(guider), ex, ey, 7);
        ASSERT_TRUE(after.found) << s.element;
        EXPECT_NEAR(after.x, ex, 0.2) << s.element << " from " << star.x << "," << star.y;
        EXPECT_NEAR(after.y, ey, 0.2) << s.element << " from " << star.x << "," << star.y;
        star = after;
    }
    EXPECT_TRUE(guider.Alerts().empty()) << guider.Alerts().front();
}

TEST_F(GuiderTest, ClosedLoopHoldsTheStarAgainstDrift) {
    // A badly aligned mount: 30"/min east and 20"/min south.  On the virtual
    // clock the simulated time between two frames depends on how fast this
    // process runs, so the limits below are relative to the drift per frame.
    ASSERT_NO_FATAL_FAILURE(
        server.Start(dir, "sim:gannet?seed=3&drift-ra=30&drift-dec=-20", "virtual"));
    RecordingClient guider;
    ASSERT_TRUE(guider.Join(server.port())) << server.Log();
    ASSERT_NO_FATAL_FAILURE(Connect(guider));
    guider.ReceiveBlobs("CCD2");
    const Star lock = BrightestStar(Expose(guider));
    ASSERT_TRUE(lock.found);
    constexpr int kFrames = 16, kSettle = 4;
    constexpr double kAggressiveness = 0.8;
    Star at = lock;
    double sum2 = 0, correctedX = 0, correctedY = 0;
    for (int i = 0; i < kFrames; ++i) {
        // Tracked from where it was last: how far it drifts between two frames
        // depends on how fast this process runs (below).
        at = BrightestStarNear(Expose(guider), at.x, at.y, 20);
        ASSERT_TRUE(at.found) << "lost the star at frame " << i;
        const double ex = (at.x - lock.x) * scaleX, ey = (at.y - lock.y) * scaleY;  // arc-seconds
        if (i >= kSettle)
            sum2 += ex * ex + ey * ey;
        // Star right of the lock (west): point west to bring it back; below it
        // (south): point south.
        const double westMs = kAggressiveness * ex / kGuideArcsecPerS * 1000;
        const double northMs = -kAggressiveness * ey / kGuideArcsecPerS * 1000;
        correctedX += westMs;
        correctedY += northMs;
        Pulse(guider, northMs, westMs);
    }
    const double rms = std::sqrt(sum2 / (kFrames - kSettle));
    // What the corrections took out: where the star would be without them.
    const double unguided = std::hypot(correctedX, correctedY) / 1000 * kGuideArcsecPerS;
    const double perFrame = unguided / kFrames;
    std::printf(
        "guided RMS %.2f\" (%.2f guide px) over %d frames; drift %.1f\" in all, %.2f\" "
        "per frame\n",
        rms, rms / scaleX, kFrames - kSettle, unguided, perFrame);
    RecordProperty("rms_arcsec", std::to_string(rms));
    RecordProperty("drift_arcsec_per_frame", std::to_string(perFrame));
    // A proportional loop lags a steady drift by about the drift of one frame
    // over its gain; a pulse the wrong way or of the wrong size would let the
    // star run off or swing.
    EXPECT_GT(unguided, 5 * rms);
    EXPECT_LT(rms, 2.0 * perFrame + 0.3 * scaleX);
    EXPECT_TRUE(guider.Alerts().empty()) << guider.Alerts().front();
}

}  // namespace
}  // namespace zeva::test
