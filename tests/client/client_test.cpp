// The client API over the simulated cameras: port 1 a Gannet, port 2 a Kestrel,
// both showing the pattern scene.
#include "client/client.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "common/errors.h"
#include "support/pattern.h"

namespace zeva::client {
namespace {

// Before the first library call, so a direct run sees the same cameras as ctest.
const bool kPorts = [] {
    setenv("ZEVA_PORTS", "sim:gannet?scene=pattern,sim:kestrel?scene=pattern", 1);
    return true;
}();

constexpr std::uint16_t kPedestal = 100;         // left by the imaging bias subtraction
constexpr std::uint16_t kTrackingOffset = 1000;  // tracking samples are raw

using zeva::test::ImagingBlock;
using zeva::test::PatternImaging;
using zeva::test::PatternTracking;

class ClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(driver.Open().ok());
        Status s = camera.Open(1);
        ASSERT_TRUE(s.ok()) << s.Describe();
        s = camera.EstablishLink(&type);
        ASSERT_TRUE(s.ok()) << s.Describe();
    }
    // Exposes `ccd` with the shutter open and ends the exposure.
    void Expose(std::uint16_t ccd) {
        ExposureRequest r;
        r.ccd = ccd;
        r.time = 1;
        ASSERT_TRUE(camera.StartExposure(r).ok());
        std::uint16_t word = 0;
        int polls = 0;
        do {
            ASSERT_TRUE(camera.QueryCommandStatus(1, &word).ok());
        } while (ExposureStateOf(word, ccd) == 2 && ++polls < 100000);
        ASSERT_EQ(ExposureStateOf(word, ccd), 3u);
        ASSERT_TRUE(camera.EndExposure(ccd, true).ok());
    }
    Driver driver;
    Camera camera;
    std::uint16_t type = 0;
};

TEST_F(ClientTest, LinkReportsTheCameraAndItsModeTables) {
    EXPECT_EQ(type, 4);
    CcdInfo imaging, tracking;
    ASSERT_TRUE(camera.GetCCDInfo(0, &imaging).ok());
    EXPECT_EQ(imaging.name, "ZEVA Gannet Dual CCD Camera");
    ASSERT_EQ(imaging.modes.size(), 9u);
    for (unsigned m = 0; m < 9; ++m) EXPECT_EQ(imaging.modes[m].mode, m);
    EXPECT_EQ(imaging.modes[1].width, 382);
    EXPECT_EQ(imaging.modes[1].height, 255);
    EXPECT_EQ(imaging.modes[4].height, 0);
    EXPECT_DOUBLE_EQ(BcdHundredths(imaging.modes[2].pixelWidth), 27.0);
    ASSERT_TRUE(camera.GetCCDInfo(1, &tracking).ok());
    ASSERT_EQ(tracking.modes.size(), 2u);
    EXPECT_EQ(tracking.modes[0].width, 190);
    EXPECT_DOUBLE_EQ(BcdHundredths(tracking.modes[1].pixelWidth), 27.5);
}

TEST_F(ClientTest, ImagingWindowIsPixelExact) {
    Expose(0);
    const unsigned x = 37, y = 11, w = 23, h = 6;
    ASSERT_TRUE(camera.DumpLines(0, 0, 1, y).ok());
    std::vector<std::uint16_t> line(w);
    for (unsigned r = 0; r < h; ++r) {
        Status s = camera.ReadoutLine({0, 0, 1, static_cast<std::uint16_t>(x), w}, line);
        ASSERT_TRUE(s.ok()) << s.Describe();
        for (unsigned c = 0; c < w; ++c)
            ASSERT_EQ(line[c], PatternImaging(y + r, x + c) + kPedestal)
                << "row " << r << " col " << c;
    }
    EXPECT_TRUE(camera.EndReadout(0).ok());
}

TEST_F(ClientTest, BinnedImagingLineSumsTwoByTwoOnChip) {
    Expose(0);
    const unsigned x = 5, w = 7;  // binned
    std::vector<std::uint16_t> line(w);
    ASSERT_TRUE(camera.ReadoutLine({0, 1, 1, static_cast<std::uint16_t>(x), w}, line).ok());
    for (unsigned c = 0; c < w; ++c)
        EXPECT_EQ(line[c], ImagingBlock(0, 2, 2 * (x + c), 2) + kPedestal) << "col " << c;
    EXPECT_TRUE(camera.EndReadout(0).ok());
}

TEST_F(ClientTest, TrackingWindowComesBackLeftToRight) {
    Expose(1);
    const unsigned x = 20, w = 9;
    std::vector<std::uint16_t> line(w);
    ASSERT_TRUE(camera.DumpLines(1, 0, 1, 3).ok());
    ASSERT_TRUE(camera.ReadoutLine({1, 0, 1, static_cast<std::uint16_t>(x), w}, line).ok());
    for (unsigned c = 0; c < w; ++c)
        EXPECT_EQ(line[c], PatternTracking(3, x + c) + kTrackingOffset) << "col " << c;
    EXPECT_TRUE(camera.EndReadout(1).ok());
}

TEST_F(ClientTest, DriverErrorsCarryTheirCodeAndName) {
    ExposureRequest r;
    r.ccd = 2;
    Status s = camera.StartExposure(r);
    EXPECT_EQ(s.raw(), 0xE0000006u);
    EXPECT_EQ(s.code(), ErrBadParameter);
    EXPECT_EQ(s.name(), "ErrBadParameter");
    EXPECT_NE(s.Describe().find("ErrBadParameter"), std::string::npos);

    CcdInfo info;
    s = camera.GetCCDInfo(4, &info);
    EXPECT_EQ(s.code(), ErrBadCcdInfoRequest);
    EXPECT_EQ(s.name(), "ErrBadCcdInfoRequest");

    r.ccd = 0;
    r.time = 100000;
    r.shutterMode = 2;
    ASSERT_TRUE(camera.StartExposure(r).ok());
    std::vector<std::uint16_t> line(4);
    s = camera.ReadoutLine({0, 0, 1, 0, 4}, line);
    EXPECT_EQ(s.code(), ErrExposureInProgress);
    EXPECT_EQ(s.name(), "ErrExposureInProgress");
    EXPECT_TRUE(camera.EndExposure(0, true).ok());
}

TEST_F(ClientTest, ReadoutLineRefusesABufferShorterThanTheLine) {
    std::vector<std::uint16_t> line(3);
    EXPECT_EQ(camera.ReadoutLine({0, 0, 1, 0, 4}, line).code(), ErrBadParameter);
}

TEST_F(ClientTest, DeviceIsExclusiveUntilTheCameraObjectGoesAway) {
    {
        Camera second;
        Status s = second.Open(1);
        EXPECT_EQ(s.code(), ErrOpenDeviceFailed);
        EXPECT_FALSE(second.isOpen());
    }
    camera = Camera();  // closes port 1
    Camera again;
    EXPECT_TRUE(again.Open(1).ok());
}

TEST_F(ClientTest, TwoCamerasAreDrivenThroughTheirOwnHandles) {
    Camera kestrel;
    ASSERT_TRUE(kestrel.Open(2).ok());
    std::uint16_t t = 0;
    ASSERT_TRUE(kestrel.EstablishLink(&t).ok());
    EXPECT_EQ(t, 13);
    EXPECT_NE(kestrel.handle(), camera.handle());
    ExposureRequest r;
    r.ccd = 1;
    EXPECT_EQ(kestrel.StartExposure(r).code(), ErrBadParameter);  // no tracking CCD
    EXPECT_TRUE(camera.StartExposure(r).ok());
    EXPECT_TRUE(camera.EndExposure(1, true).ok());
}

TEST_F(ClientTest, CoolerStatusFollowsTheSetpoint) {
    const std::uint16_t set = CelsiusToReading(-10);
    ASSERT_TRUE(camera.SetTemperatureRegulation(1, set).ok());
    TemperatureStatus t;
    ASSERT_TRUE(camera.QueryTemperatureStatus(&t).ok());
    EXPECT_EQ(t.regulationFlags & 1, 1);
    EXPECT_EQ(t.setpoint, set & 0xFF0);  // the camera keeps the top 8 bits
    ASSERT_TRUE(camera.SetTemperatureRegulation(3, 0).ok());
    ASSERT_TRUE(camera.QueryTemperatureStatus(&t).ok());
    EXPECT_EQ(t.regulationFlags & 0x8000, 0x8000);
}

TEST_F(ClientTest, GuidingOutputsAndTipTiltAreAccepted) {
    EXPECT_TRUE(camera.ActivateRelay({10, 0, 0, 0}).ok());
    std::uint16_t relays = 0;
    ASSERT_TRUE(camera.QueryCommandStatus(7, &relays).ok());
    EXPECT_EQ(relays, 8);
    EXPECT_TRUE(camera.PulseOut(3, 100, 200).ok());
    EXPECT_TRUE(camera.AOTipTilt(0x800, 0x800).ok());
}

TEST(ClientValues, BcdAndCoolerCalibration) {
    EXPECT_DOUBLE_EQ(BcdHundredths(0x1375), 13.75);
    EXPECT_DOUBLE_EQ(BcdHundredths(0x0900), 9.0);
    EXPECT_DOUBLE_EQ(ReadingToCelsius(1000), 25.0);
    EXPECT_DOUBLE_EQ(ReadingToCelsius(3000), -25.0);
    EXPECT_EQ(CelsiusToReading(0), 2000);
    EXPECT_EQ(CelsiusToReading(-200), 4095);
    EXPECT_EQ(CelsiusToReading(100), 0);
    EXPECT_EQ(Status(6).name(), "PlatformError");
    EXPECT_EQ(Status(6).code(), 0);
}

}  // namespace
}  // namespace zeva::client
