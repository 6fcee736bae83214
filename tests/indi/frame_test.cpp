// A frame is what its header says: binning, window, frame type and readout
// mode changed while an exposure or its readout runs leave the frame in
// flight alone and apply to the next one.  Every frame's pixels are checked
// against the pattern scene read with the settings its header claims.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#include "support/indi_session.h"
#include "support/pattern.h"

namespace zeva::test {
namespace {

// The frame the header describes, read from the pattern scene: binned sums
// plus the pedestal of 100, or the pedestal alone for a dark frame.
void ExpectPixelsMatchHeader(const FitsImage& im, const std::string& what) {
    const unsigned hbin = static_cast<unsigned>(im.Number("XBINNING"));
    const unsigned vbin = static_cast<unsigned>(im.Number("YBINNING"));
    const unsigned x0 = static_cast<unsigned>(im.Number("XORGSUBF"));
    const unsigned y0 = static_cast<unsigned>(im.Number("YORGSUBF"));
    const bool dark = im.Text("IMAGETYP") == "Dark Frame";
    ASSERT_EQ(im.pixels.size(), static_cast<std::size_t>(im.width * im.height)) << what;
    for (long y = 0; y < im.height; ++y)
        for (long x = 0; x < im.width; ++x) {
            unsigned expected = 100;
            if (!dark)
                expected += ImagingBlock(y0 + static_cast<unsigned>(y) * vbin, vbin,
                                         x0 + static_cast<unsigned>(x) * hbin, hbin);
            ASSERT_EQ(im.At(x, y), expected) << what << ": pixel " << x << "," << y << " of a "
                                             << im.width << " x " << im.height << " frame";
        }
}

struct Settings {
    int x, y, w, h;
    int hbin, vbin;
    bool dark;
};

class FrameTest : public IndiServerTest {
  protected:
    FrameTest() : IndiServerTest("zeva-frame") {}
    // `pace`: the camera at its own pace (a port access takes a microsecond
    // or more), so that a readout lasts long enough to change things in it.
    void Start(bool pace = false) {
        ASSERT_NO_FATAL_FAILURE(StartConnected(
            c, pace ? "sim:gannet?scene=pattern&port-ns=1000" : "sim:gannet?scene=pattern",
            "virtual", ChipKnown));
        c.ReceiveBlobs("CCD1");
    }
    // Sends one property and waits for the driver's answer to it (the chip's
    // own update of the property may come first, Idle).
    PropertyUpdate Send(const char* property, const std::function<void()>& send) {
        const std::uint64_t seq = c.Seq();
        send();
        return c.WaitFor(
            [&](const PropertyUpdate& u) {
                return u.name == property && (u.state == IPS_OK || u.state == IPS_ALERT);
            },
            seq, 30);
    }
    void Binning(int h, int v) {
        EXPECT_EQ(Send("CCD_BINNING",
                       [&] {
                           c.SetNumbers("CCD_BINNING", {{"HOR_BIN", h}, {"VER_BIN", v}});
                       })
                      .state,
                  IPS_OK);
    }
    void Frame(int x, int y, int w, int h) {
        EXPECT_EQ(
            Send("CCD_FRAME",
                 [&] {
                     c.SetNumbers("CCD_FRAME", {{"X", x}, {"Y", y}, {"WIDTH", w}, {"HEIGHT", h}});
                 })
                .state,
            IPS_OK);
    }
    void Type(bool dark) {
        EXPECT_EQ(Send("CCD_FRAME_TYPE",
                       [&] { c.Switch("CCD_FRAME_TYPE", dark ? "FRAME_DARK" : "FRAME_LIGHT"); })
                      .state,
                  IPS_OK);
    }
    void Use(const Settings& s) {
        Binning(s.hbin, s.vbin);
        Frame(s.x, s.y, s.w, s.h);
        Type(s.dark);
    }
    // Checks that `im` was read with `s` and that its pixels are what its header claims.
    void ExpectFrame(const FitsImage& im, const Settings& s, const std::string& what) {
        EXPECT_EQ(im.width, s.w / s.hbin) << what;
        EXPECT_EQ(im.height, s.h / s.vbin) << what;
        EXPECT_EQ(im.Number("XBINNING"), s.hbin) << what;
        EXPECT_EQ(im.Number("YBINNING"), s.vbin) << what;
        EXPECT_EQ(im.Number("XORGSUBF"), s.x / s.hbin * s.hbin) << what;
        EXPECT_EQ(im.Number("YORGSUBF"), s.y / s.vbin * s.vbin) << what;
        EXPECT_EQ(im.Text("IMAGETYP"), s.dark ? "Dark Frame" : "Light Frame") << what;
        const double mode = s.hbin == s.vbin ? s.hbin - 1 : 2 + s.hbin;
        EXPECT_EQ(im.Number("READMODE"), mode) << what;
        if (s.hbin != s.vbin) {
            EXPECT_EQ(im.Number("VFACTOR"), s.vbin) << what;
        }
        ExpectPixelsMatchHeader(im, what);
    }

    // One change while the exposure runs (`duringReadout` false) or while it
    // is read out: the frame keeps `before`, the next one is read with `after`.
    void ChangeInFlight(const Settings& before, const Settings& after, const char* property,
                        const std::function<void()>& change, bool duringReadout,
                        const std::string& what) {
        Use(before);
        const std::uint64_t start = c.Seq();
        // Ten seconds of simulated time, about one of real time; then read
        // out at the camera's pace.
        c.SetNumber("CCD_EXPOSURE", "CCD_EXPOSURE_VALUE", duringReadout ? 0.1 : 10);
        auto reading = [](const PropertyUpdate& u) {
            return u.name == "ZEVA_READOUT" && u.state == IPS_BUSY && u.numbers.at("PRIMARY") < 100;
        };
        auto exposing = [](const PropertyUpdate& u) {
            return u.name == "CCD_EXPOSURE" && u.state == IPS_BUSY;
        };
        const std::uint64_t phase =
            duringReadout ? c.WaitFor(reading, start, 60).seq : c.WaitFor(exposing, start, 60).seq;
        ASSERT_NE(phase, 0u) << what << "; last updates:\n" << c.Tail(40);
        const PropertyUpdate ack = Send(property, change);
        ASSERT_EQ(ack.state, IPS_OK) << what;
        const PropertyUpdate frame = c.WaitBlob("CCD1", ack.seq, 120);
        ASSERT_FALSE(frame.blob.empty()) << what;
        // The change was taken in the phase it was meant for.
        if (duringReadout) {
            const PropertyUpdate done = c.WaitFor(
                [](const PropertyUpdate& u) {
                    return u.name == "ZEVA_READOUT" && u.numbers.at("PRIMARY") == 100;
                },
                start, 1);
            EXPECT_GT(done.seq, ack.seq) << what << ": the readout ended first";
        } else {
            // The countdown reaches 0 when the readout begins.
            const PropertyUpdate ended = c.WaitFor(
                [](const PropertyUpdate& u) {
                    return u.name == "CCD_EXPOSURE" && u.numbers.at("CCD_EXPOSURE_VALUE") == 0;
                },
                start, 1);
            EXPECT_GT(ended.seq, ack.seq) << what << ": the exposure ended first";
        }
        ExpectFrame(FitsImage(frame.blob), before, what + ", frame in flight");
        const std::uint64_t next = c.Seq();
        c.SetNumber("CCD_EXPOSURE", "CCD_EXPOSURE_VALUE", 0.1);
        const PropertyUpdate second = c.WaitBlob("CCD1", next, 120);
        ASSERT_FALSE(second.blob.empty()) << what;
        ExpectFrame(FitsImage(second.blob), after, what + ", next frame");
    }

    RecordingClient c;
};

TEST_F(FrameTest, WindowAskedForSurvivesBinning) {
    ASSERT_NO_FATAL_FAILURE(Start());
    Frame(0, 0, 765, 2);
    Binning(2, 2);
    Binning(1, 1);
    EXPECT_EQ(c.Last("CCD_FRAME").numbers.at("WIDTH"), 765);
    const std::uint64_t seq = c.Seq();
    c.SetNumber("CCD_EXPOSURE", "CCD_EXPOSURE_VALUE", 0.1);
    const FitsImage im(c.WaitBlob("CCD1", seq, 120).blob);
    ExpectFrame(im, {0, 0, 765, 2, 1, 1, false}, "1x1 after 2x2");
    EXPECT_EQ(c.Last("CCD_FRAME").numbers.at("WIDTH"), 765);
    // Floored to the binning in what is read, kept as asked in CCD_FRAME.
    Frame(41, 13, 31, 17);
    Binning(2, 2);
    const std::uint64_t seq2 = c.Seq();
    c.SetNumber("CCD_EXPOSURE", "CCD_EXPOSURE_VALUE", 0.1);
    const FitsImage binned(c.WaitBlob("CCD1", seq2, 120).blob);
    ExpectFrame(binned, {41, 13, 31, 17, 2, 2, false}, "2x2 subframe");
    const PropertyUpdate frame = c.Last("CCD_FRAME");
    EXPECT_EQ(frame.numbers.at("X"), 41);
    EXPECT_EQ(frame.numbers.at("WIDTH"), 31);
}

TEST_F(FrameTest, ChangesDuringTheExposureApplyToTheNextFrame) {
    ASSERT_NO_FATAL_FAILURE(Start());
    const Settings base{40, 12, 31, 17, 2, 2, false};
    Settings rebinned = base, moved = base, dark = base, vfactor = base;
    rebinned.hbin = rebinned.vbin = 1;
    moved.x = 101;
    moved.h = 9;
    dark.dark = true;
    vfactor.hbin = 1;  // 1 x 2: readout mode 3
    ChangeInFlight(
        base, rebinned, "CCD_BINNING",
        [&] {
            c.SetNumbers("CCD_BINNING", {{"HOR_BIN", 1}, {"VER_BIN", 1}});
        },
        false, "binning");
    ChangeInFlight(
        base, moved, "CCD_FRAME",
        [&] {
            c.SetNumbers("CCD_FRAME", {{"X", 101}, {"Y", 12}, {"WIDTH", 31}, {"HEIGHT", 9}});
        },
        false, "frame");
    ChangeInFlight(
        base, dark, "CCD_FRAME_TYPE", [&] { c.Switch("CCD_FRAME_TYPE", "FRAME_DARK"); }, false,
        "frame type");
    ChangeInFlight(
        base, vfactor, "CCD_BINNING",
        [&] {
            c.SetNumbers("CCD_BINNING", {{"HOR_BIN", 1}, {"VER_BIN", 2}});
        },
        false, "readout mode");
    EXPECT_TRUE(c.Alerts().empty()) << c.Alerts().front();
}

TEST_F(FrameTest, ChangesDuringTheReadoutApplyToTheNextFrame) {
    ASSERT_NO_FATAL_FAILURE(Start(true));
    // 160 binned lines of 256 pixels: over a second at the camera's pace, so
    // that the readout shows in progress even when the machine is busy.
    const Settings base{0, 0, 512, 320, 2, 2, false};
    Settings rebinned = base, moved = base, dark = base, vfactor = base;
    rebinned.hbin = rebinned.vbin = 1;
    rebinned.w = 256;
    rebinned.h = 40;
    moved.x = 64;
    moved.w = 96;
    dark.dark = true;
    vfactor.hbin = 1;
    vfactor.w = 128;
    ChangeInFlight(
        base, rebinned, "CCD_BINNING",
        [&] {
            c.SetNumbers("CCD_BINNING", {{"HOR_BIN", 1}, {"VER_BIN", 1}});
            c.SetNumbers("CCD_FRAME", {{"X", 0}, {"Y", 0}, {"WIDTH", 256}, {"HEIGHT", 40}});
        },
        true, "binning");
    ChangeInFlight(
        base, moved, "CCD_FRAME",
        [&] {
            c.SetNumbers("CCD_FRAME", {{"X", 64}, {"Y", 0}, {"WIDTH", 96}, {"HEIGHT", 320}});
        },
        true, "frame");
    ChangeInFlight(
        base, dark, "CCD_FRAME_TYPE", [&] { c.Switch("CCD_FRAME_TYPE", "FRAME_DARK"); }, true,
        "frame type");
    ChangeInFlight(
        base, vfactor, "CCD_BINNING",
        [&] {
            c.SetNumbers("CCD_FRAME", {{"X", 0}, {"Y", 0}, {"WIDTH", 128}, {"HEIGHT", 320}});
            c.SetNumbers("CCD_BINNING", {{"HOR_BIN", 1}, {"VER_BIN", 2}});
        },
        true, "readout mode");
    EXPECT_TRUE(c.Alerts().empty()) << c.Alerts().front();
}

}  // namespace
}  // namespace zeva::test
