// The driver at the camera's own pace: the real clock and a simulated camera
// whose every port access takes a microsecond, as on the real port.  A small
// window keeps it short; the readout still takes a good part of a second.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/indi_session.h"
#include "support/pattern.h"

namespace zeva::test {
namespace {

class PaceTest : public IndiServerTest {
  protected:
    PaceTest() : IndiServerTest("zeva-pace") {}
    void Start() {
        ASSERT_NO_FATAL_FAILURE(
            StartConnected(c, "sim:gannet?scene=pattern&port-ns=1000", "real", ChipKnown));
        c.ReceiveBlobs("CCD1");
        // Whole lines of 765 pixels, 60 of them: about 15 ms a line.
        c.SetNumbers("CCD_FRAME", {{"X", 0}, {"Y", 0}, {"WIDTH", 765}, {"HEIGHT", 60}});
    }
    // Starts an exposure and waits until its readout shows past `percent`.
    std::uint64_t ExposeUntilReading(double seconds, double percent) {
        const std::uint64_t seq = c.Seq();
        c.SetNumber("CCD_EXPOSURE", "CCD_EXPOSURE_VALUE", seconds);
        const PropertyUpdate reading = c.WaitFor(
            [&](const PropertyUpdate& u) {
                return u.name == "ZEVA_READOUT" && u.state == IPS_BUSY &&
                       u.numbers.at("PRIMARY") >= percent && u.numbers.at("PRIMARY") < 100;
            },
            seq, 60);
        EXPECT_NE(reading.seq, 0u) << "the readout never showed in progress";
        return seq;
    }
    RecordingClient c;
};

// "Imaging readout stopped after line N of M (line K when it was stopped)."
struct Stopped {
    bool found = false;
    unsigned after = 0, lines = 0, when = 0;
};
Stopped StoppedMessage(const std::vector<std::string>& messages) {
    Stopped s;
    for (const std::string& m : messages) {
        const std::size_t at = m.find("readout stopped after line ");
        unsigned after = 0, lines = 0, when = 0;
        if (at != std::string::npos &&
            std::sscanf(m.c_str() + at, "readout stopped after line %u of %u (line %u when", &after,
                        &lines, &when) == 3)
            s = {true, after, lines, when};
    }
    return s;
}

TEST_F(PaceTest, AbortDuringTheReadoutStopsWithinALineAndUploadsNothing) {
    ASSERT_NO_FATAL_FAILURE(Start());
    // Halfway through the readout, its progress shown twice a second.
    const std::uint64_t start = ExposeUntilReading(0.1, 1);
    const std::uint64_t abort = c.Seq();
    c.Switch("CCD_ABORT_EXPOSURE", "ABORT");
    const PropertyUpdate stopped = c.WaitSettled("CCD_EXPOSURE", abort, 30);
    ASSERT_NE(stopped.seq, 0u);
    EXPECT_NE(stopped.state, IPS_OK);
    const Stopped s = StoppedMessage(c.Messages());
    std::printf("readout stopped after line %u of %u, line %u when aborted\n", s.after, s.lines,
                s.when);
    ASSERT_TRUE(s.found) << "no message on where the readout stopped";
    EXPECT_LE(s.after, s.when + 1) << "read on past the line being read when aborted";
    EXPECT_LT(s.after, s.lines);
    EXPECT_GT(s.when, 0u);
    // Nothing of it is uploaded, the readout never shows complete.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(c.WaitBlob("CCD1", start, 0.1).seq, 0u);
    for (const PropertyUpdate& u : c.All("ZEVA_READOUT"))
        if (u.seq > start) {
            EXPECT_LT(u.numbers.at("PRIMARY"), 100) << "update " << u.seq;
        }
    // The camera is idle again: the next frame comes whole.
    const std::uint64_t next = c.Seq();
    c.SetNumber("CCD_EXPOSURE", "CCD_EXPOSURE_VALUE", 0.1);
    const FitsImage im(c.WaitBlob("CCD1", next, 60).blob);
    ASSERT_EQ(im.width, 765);
    ASSERT_EQ(im.height, 60);
    for (long x = 0; x < im.width; x += 50)
        EXPECT_EQ(im.At(x, 59), PatternImaging(59, x) + 100) << x;
    EXPECT_TRUE(c.Alerts().empty()) << c.Alerts().front();
}

TEST_F(PaceTest, NewExposureDuringTheReadoutReplacesIt) {
    ASSERT_NO_FATAL_FAILURE(Start());
    const std::uint64_t start = ExposeUntilReading(0.1, 0);
    c.SetNumber("CCD_EXPOSURE", "CCD_EXPOSURE_VALUE", 0.25);
    const PropertyUpdate frame = c.WaitBlob("CCD1", start, 60);
    ASSERT_FALSE(frame.blob.empty());
    const FitsImage im(frame.blob);
    EXPECT_DOUBLE_EQ(im.Number("EXPTIME"), 0.25);  // the new one, not the one replaced
    ASSERT_EQ(im.height, 60);
    for (long x = 0; x < im.width; x += 50)
        EXPECT_EQ(im.At(x, 30), PatternImaging(30, x) + 100) << x;
    // One frame only, and the readout went up to 100 in steps.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(c.WaitBlob("CCD1", frame.seq, 0.1).seq, 0u);
    double last = -1;
    for (const PropertyUpdate& u : c.All("ZEVA_READOUT"))
        if (u.seq > start && u.state == IPS_BUSY) {
            if (u.numbers.at("PRIMARY") < last)
                last = -1;  // the new readout starts again
            EXPECT_GT(u.numbers.at("PRIMARY"), last);
            last = u.numbers.at("PRIMARY");
        }
    EXPECT_EQ(c.Last("ZEVA_READOUT").numbers.at("PRIMARY"), 100);
    EXPECT_TRUE(c.Alerts().empty()) << c.Alerts().front();
}

}  // namespace
}  // namespace zeva::test
