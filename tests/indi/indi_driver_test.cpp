// indi_zeva_ccd under indiserver on a loopback port, driven with indi_setprop,
// indi_eval and indi_getprop against the simulated cameras; FITS read back
// with cfitsio.  Every wait is bounded; the server is killed in TearDown.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/fits.h"
#include "support/pattern.h"
#include "support/process.h"

namespace {

namespace fs = std::filesystem;
const char* kDev = "ZEVA CCD";

using zeva::test::ReadFile;
using zeva::test::Spawn;
using zeva::test::WaitFor;

class IndiDriverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = zeva::test::TestDirectory("zeva-indi");
        port = std::to_string(zeva::test::FreeLoopbackPort());
    }
    void TearDown() override {
        zeva::test::KillGroup(server);  // the server and its driver: own process group
        zeva::test::KillGroup(getter);
        if (!HasFailure())
            fs::remove_all(dir);
        else
            std::fprintf(stderr, "server log:\n%s\n", ReadFile(dir / "server.log").c_str());
    }

    // Starts indiserver with the driver on port entry `entry`, virtual clock.
    void StartServer(const std::string& entry) {
        setenv("HOME", dir.c_str(), 1);  // driver configuration under the test's directory
        setenv("ZEVA_PORTS", entry.c_str(), 1);
        setenv("ZEVA_CLOCK", "virtual", 1);
        // A local socket of its own: the default one is shared by every
        // indiserver on the machine, and a second server exits at once.
        server = Spawn({ZEVA_INDISERVER, "-p", port, "-u", (dir / "indiserver").string(), "-v",
                        ZEVA_INDI_DRIVER},
                       dir, dir / "server.log");
        ASSERT_GT(server, 0);
        // Ready once the driver's properties can be read.
        for (int i = 0; i < 100; ++i) {
            if (Get(std::string(kDev) + ".CONNECTION.CONNECT").find("=") != std::string::npos)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        FAIL() << "indiserver with the driver did not come up";
    }

    int Tool(std::vector<std::string> args, double seconds, std::string* out = nullptr) {
        const fs::path log = dir / "tool.log";
        const pid_t pid = Spawn(args, dir, log);
        const int rc = WaitFor(pid, seconds);
        if (out)
            *out = ReadFile(log);
        return rc;
    }
    // Returns once the value is sent (the driver answers later: check its
    // state with Eval).
    int Set(const std::string& assignment) {
        return Tool(
            {ZEVA_INDI_SETPROP, "-p", port, "-t", "10", std::string(kDev) + "." + assignment}, 20);
    }
    std::string Get(const std::string& property) {
        std::string out;
        Tool({ZEVA_INDI_GETPROP, "-p", port, "-t", "2", property}, 10, &out);
        return out;
    }
    std::string Value(const std::string& prop) {
        std::string out = Get(std::string(kDev) + "." + prop);
        const std::size_t eq = out.find('=');
        if (eq == std::string::npos)
            return "";
        std::string v = out.substr(eq + 1);
        while (!v.empty() && (v.back() == '\n' || v.back() == '\r')) v.pop_back();
        return v;
    }
    // indi_eval: true once `expr` holds within `seconds`.
    bool Eval(const std::string& expr, int seconds) {
        return Tool({ZEVA_INDI_EVAL, "-p", port, "-t", std::to_string(seconds), "-w", expr},
                    seconds + 10) == 0;
    }
    // Built by appending: GCC 12 at -O3 warns falsely (restrict) on "\"" + string.
    std::string Q(const std::string& prop) {
        std::string quoted = "\"";
        quoted += kDev;
        quoted += '.';
        quoted += prop;
        quoted += '"';
        return quoted;
    }

    void Connect() {
        ASSERT_EQ(Set("CONNECTION.CONNECT=On"), 0);
        ASSERT_TRUE(Eval(Q("CONNECTION._STATE") + "==1", 30)) << Get(std::string(kDev) + ".*.*");
    }
    // Receives the primary BLOB into "ZEVA CCD.CCD1.CCD1.fits".
    void StartBlobGetter() {
        getter =
            Spawn({ZEVA_INDI_GETPROP, "-p", port, "-t", "60", std::string(kDev) + ".CCD1.CCD1"},
                  dir, dir / "getter.log");
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    fs::path BlobFile() const { return dir / (std::string(kDev) + ".CCD1.CCD1.fits"); }
    bool WaitForBlob(double seconds) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < end) {
            if (getter > 0 && fs::exists(BlobFile())) {
                WaitFor(getter, 5);  // the getter exits once it wrote the file
                getter = -1;
                return fs::file_size(BlobFile()) > 0;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    fs::path dir;
    std::string port;
    pid_t server = -1;
    pid_t getter = -1;
};

using Fits = zeva::test::FitsImage;

TEST_F(IndiDriverTest, BinnedSubframeArrivesAsFitsWithPatternPixels) {
    ASSERT_NO_FATAL_FAILURE(StartServer("sim:gannet?scene=pattern"));
    ASSERT_NO_FATAL_FAILURE(Connect());
    EXPECT_EQ(Value("CCD_INFO.CCD_MAX_X"), "765");
    EXPECT_EQ(Value("CCD_INFO.CCD_MAX_Y"), "510");
    EXPECT_EQ(Value("GUIDER_INFO.CCD_MAX_X"), "190");
    StartBlobGetter();
    ASSERT_EQ(Set("CCD_BINNING.HOR_BIN;VER_BIN=2;2"), 0);
    ASSERT_EQ(Set("CCD_FRAME.X;Y;WIDTH;HEIGHT=41;13;31;17"), 0);
    ASSERT_EQ(Set("CCD_EXPOSURE.CCD_EXPOSURE_VALUE=0.5"), 0);
    ASSERT_TRUE(Eval(Q("CCD_EXPOSURE._STATE") + "==1", 60));
    ASSERT_TRUE(WaitForBlob(30)) << ReadFile(dir / "getter.log");
    Fits f(BlobFile());
    // Floored to the binning: origin 40,12 -> binned 20,6; 31 x 17 -> 15 x 8.
    ASSERT_EQ(f.width, 15);
    ASSERT_EQ(f.height, 8);
    for (unsigned y = 0; y < 8; ++y)
        for (unsigned x = 0; x < 15; ++x)
            ASSERT_EQ(f.pixels[y * 15 + x],
                      zeva::test::ImagingBlock(2 * (6 + y), 2, 2 * (20 + x), 2) + 100)
                << "x " << x << " y " << y;
    EXPECT_EQ(f.Text("INSTRUME"), "ZEVA Gannet Dual CCD Camera");
    EXPECT_EQ(f.Text("IMAGETYP"), "Light Frame");
    EXPECT_DOUBLE_EQ(f.Number("EXPTIME"), 0.5);
    EXPECT_EQ(f.Number("XBINNING"), 2);
    EXPECT_EQ(f.Number("YBINNING"), 2);
    EXPECT_EQ(f.Number("XORGSUBF"), 40);
    EXPECT_EQ(f.Number("YORGSUBF"), 12);
    EXPECT_EQ(f.Number("ZEVAPED"), 100);
    EXPECT_FALSE(f.Has("PEDESTAL"));  // read with opposite signs by calibration programs
    EXPECT_EQ(f.Number("READMODE"), 1);
    EXPECT_NEAR(f.Number("CCD-TEMP"), 25.0, 1.0);
}

TEST_F(IndiDriverTest, GuideHeadReadsTheTrackingCcd) {
    ASSERT_NO_FATAL_FAILURE(StartServer("sim:gannet?scene=pattern"));
    ASSERT_NO_FATAL_FAILURE(Connect());
    getter = Spawn({ZEVA_INDI_GETPROP, "-p", port, "-t", "60", std::string(kDev) + ".CCD2.CCD2"},
                   dir, dir / "getter.log");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_EQ(Set("GUIDER_FRAME.X;Y;WIDTH;HEIGHT=10;0;5;2"), 0);
    ASSERT_EQ(Set("GUIDER_EXPOSURE.GUIDER_EXPOSURE_VALUE=0.2"), 0);
    ASSERT_TRUE(Eval(Q("GUIDER_EXPOSURE._STATE") + "==1", 60));
    const fs::path file = dir / (std::string(kDev) + ".CCD2.CCD2.fits");
    for (int i = 0; i < 300 && !fs::exists(file); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    WaitFor(getter, 5);
    getter = -1;
    ASSERT_TRUE(fs::exists(file)) << ReadFile(dir / "getter.log");
    Fits f(file);
    ASSERT_EQ(f.width, 5);
    ASSERT_EQ(f.height, 2);
    // Raw samples: offset 1000 plus the tracking pattern.
    for (unsigned c = 0; c < 5; ++c) EXPECT_EQ(f.pixels[c], 3000 + (7 * (10 + c)) % 1000);
    EXPECT_EQ(f.Text("CCD"), "Tracking");
    EXPECT_EQ(f.Number("ZEVAPED"), 0);
    // The tracking CCD has no 3 x 3 and no asymmetric binning.
    ASSERT_EQ(Set("GUIDER_BINNING.HOR_BIN;VER_BIN=1;2"), 0);
    EXPECT_TRUE(Eval(Q("GUIDER_BINNING._STATE") + "==3", 10));
}

TEST_F(IndiDriverTest, AsymmetricBinningAndDarkFrame) {
    ASSERT_NO_FATAL_FAILURE(StartServer("sim:kestrel?scene=pattern"));
    ASSERT_NO_FATAL_FAILURE(Connect());
    StartBlobGetter();
    // 1 x 2 through the vertical-factor mode 3; dark: shutter closed, no pattern.
    ASSERT_EQ(Set("CCD_BINNING.HOR_BIN;VER_BIN=1;2"), 0);
    EXPECT_TRUE(Eval(Q("CCD_BINNING._STATE") + "==1", 10));
    ASSERT_EQ(Set("CCD_FRAME.X;Y;WIDTH;HEIGHT=10;20;6;8"), 0);
    ASSERT_EQ(Set("CCD_FRAME_TYPE.FRAME_DARK=On"), 0);
    ASSERT_EQ(Set("CCD_EXPOSURE.CCD_EXPOSURE_VALUE=0.2"), 0);
    ASSERT_TRUE(Eval(Q("CCD_EXPOSURE._STATE") + "==1", 60));
    ASSERT_TRUE(WaitForBlob(30)) << ReadFile(dir / "getter.log");
    Fits f(BlobFile());
    ASSERT_EQ(f.width, 6);
    ASSERT_EQ(f.height, 4);
    for (unsigned short p : f.pixels) EXPECT_EQ(p, 100);
    EXPECT_EQ(f.Text("IMAGETYP"), "Dark Frame");
    EXPECT_EQ(f.Number("READMODE"), 3);
    EXPECT_EQ(f.Number("YBINNING"), 2);
    // The tracking CCD's 2 x 2 is its largest binning; a guide head is not offered here.
    EXPECT_EQ(Get(std::string(kDev) + ".GUIDER_INFO.CCD_MAX_X").find('='), std::string::npos);
}

TEST_F(IndiDriverTest, AbortDuringExposureUploadsNothing) {
    ASSERT_NO_FATAL_FAILURE(StartServer("sim:gannet?scene=pattern"));
    ASSERT_NO_FATAL_FAILURE(Connect());
    StartBlobGetter();
    ASSERT_EQ(Set("CCD_FRAME.X;Y;WIDTH;HEIGHT=0;0;16;16"), 0);
    ASSERT_EQ(Set("CCD_EXPOSURE.CCD_EXPOSURE_VALUE=600"), 0);
    ASSERT_TRUE(Eval(Q("CCD_EXPOSURE._STATE") + "==2", 10));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_EQ(Set("CCD_ABORT_EXPOSURE.ABORT=On"), 0);
    ASSERT_TRUE(Eval(Q("CCD_EXPOSURE._STATE") + "!=2", 10));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_FALSE(fs::exists(BlobFile()));
    // The camera is idle again: the next exposure completes and is uploaded.
    ASSERT_EQ(Set("CCD_EXPOSURE.CCD_EXPOSURE_VALUE=0.1"), 0);
    ASSERT_TRUE(Eval(Q("CCD_EXPOSURE._STATE") + "==1", 60));
    EXPECT_TRUE(WaitForBlob(30));
}

TEST_F(IndiDriverTest, NewExposureReplacesTheRunningOne) {
    ASSERT_NO_FATAL_FAILURE(StartServer("sim:gannet?scene=pattern"));
    ASSERT_NO_FATAL_FAILURE(Connect());
    StartBlobGetter();
    ASSERT_EQ(Set("CCD_FRAME.X;Y;WIDTH;HEIGHT=0;0;8;4"), 0);
    ASSERT_EQ(Set("CCD_EXPOSURE.CCD_EXPOSURE_VALUE=600"), 0);
    ASSERT_TRUE(Eval(Q("CCD_EXPOSURE._STATE") + "==2", 10));
    ASSERT_EQ(Set("CCD_EXPOSURE.CCD_EXPOSURE_VALUE=0.1"), 0);
    ASSERT_TRUE(Eval(Q("CCD_EXPOSURE._STATE") + "==1", 30));
    ASSERT_TRUE(WaitForBlob(30));
    Fits f(BlobFile());
    EXPECT_DOUBLE_EQ(f.Number("EXPTIME"), 0.1);
    ASSERT_EQ(f.pixels.size(), 32u);
    EXPECT_EQ(f.pixels[1], zeva::test::PatternImaging(0, 1) + 100);
}

TEST_F(IndiDriverTest, SingleCcdCameraBinsAndBias) {
    ASSERT_NO_FATAL_FAILURE(StartServer("sim:egret?scene=pattern"));
    ASSERT_NO_FATAL_FAILURE(Connect());
    EXPECT_EQ(Get(std::string(kDev) + ".GUIDER_INFO.CCD_MAX_X").find('='), std::string::npos);
    ASSERT_EQ(Set("CCD_BINNING.HOR_BIN;VER_BIN=3;3"), 0);
    EXPECT_TRUE(Eval(Q("CCD_BINNING._STATE") + "==3", 10));
    ASSERT_EQ(Set("CCD_BINNING.HOR_BIN;VER_BIN=1;2"), 0);
    EXPECT_TRUE(Eval(Q("CCD_BINNING._STATE") + "==3", 10));
    ASSERT_EQ(Set("CCD_BINNING.HOR_BIN;VER_BIN=2;2"), 0);
    EXPECT_TRUE(Eval(Q("CCD_BINNING._STATE") + "==1", 10));
    StartBlobGetter();
    ASSERT_EQ(Set("CCD_FRAME.X;Y;WIDTH;HEIGHT=4;4;8;6"), 0);
    ASSERT_EQ(Set("CCD_FRAME_TYPE.FRAME_BIAS=On"), 0);
    ASSERT_EQ(Set("CCD_EXPOSURE.CCD_EXPOSURE_VALUE=1"), 0);
    ASSERT_TRUE(Eval(Q("CCD_EXPOSURE._STATE") + "==1", 60));
    ASSERT_TRUE(WaitForBlob(30));
    Fits f(BlobFile());
    EXPECT_EQ(f.width, 4);
    EXPECT_EQ(f.height, 3);
    EXPECT_EQ(f.Text("IMAGETYP"), "Bias Frame");
    EXPECT_DOUBLE_EQ(f.Number("EXPTIME"), 0.0);
    EXPECT_EQ(f.Number("ZEVAPED"), 0);
}

TEST_F(IndiDriverTest, GuidePulseClosesTheMappedRelayThenCompletes) {
    ASSERT_NO_FATAL_FAILURE(StartServer("sim:gannet"));
    ASSERT_NO_FATAL_FAILURE(Connect());
    // North on relay 2 instead of 0.
    ASSERT_EQ(Set("ZEVA_RELAY_MAP.NORTH;SOUTH;EAST;WEST=2;1;0;3"), 0);
    EXPECT_TRUE(Eval(Q("ZEVA_RELAY_MAP._STATE") + "==1", 10));
    ASSERT_EQ(Set("TELESCOPE_TIMED_GUIDE_NS.TIMED_GUIDE_N;TIMED_GUIDE_S=20000;0"), 0);
    ASSERT_TRUE(Eval(Q("ZEVA_RELAY_STATUS.RELAY_2") + "==1", 20));
    EXPECT_EQ(Value("ZEVA_RELAY_STATUS.RELAY_0"), "0");
    // A west pulse at the same time keeps north going.
    ASSERT_EQ(Set("TELESCOPE_TIMED_GUIDE_WE.TIMED_GUIDE_W;TIMED_GUIDE_E=3000;0"), 0);
    ASSERT_TRUE(Eval(Q("ZEVA_RELAY_STATUS.RELAY_3") + "==1", 20));
    EXPECT_EQ(Value("ZEVA_RELAY_STATUS.RELAY_2"), "1");
    ASSERT_TRUE(Eval(Q("TELESCOPE_TIMED_GUIDE_WE._STATE") + "==0", 30));
    ASSERT_TRUE(Eval(Q("TELESCOPE_TIMED_GUIDE_NS._STATE") + "==0", 60));
    EXPECT_EQ(Value("ZEVA_RELAY_STATUS.RELAY_2"), "0");
    // A bad mapping is refused.
    ASSERT_EQ(Set("ZEVA_RELAY_MAP.NORTH;SOUTH;EAST;WEST=1;1;0;3"), 0);
    EXPECT_TRUE(Eval(Q("ZEVA_RELAY_MAP._STATE") + "==3", 10));
    EXPECT_EQ(Value("ZEVA_RELAY_MAP.NORTH"), "2");
}

TEST_F(IndiDriverTest, CoolerReachesItsSetpointInSimulatedTime) {
    ASSERT_NO_FATAL_FAILURE(StartServer("sim:gannet"));
    ASSERT_NO_FATAL_FAILURE(Connect());
    ASSERT_EQ(Set("CCD_TEMPERATURE.CCD_TEMPERATURE_VALUE=15"), 0);
    EXPECT_EQ(Value("CCD_COOLER.COOLER_ON"), "On");
    ASSERT_TRUE(Eval(Q("CCD_TEMPERATURE._STATE") + "==1", 60));
    EXPECT_NEAR(std::stod(Value("CCD_TEMPERATURE.CCD_TEMPERATURE_VALUE")), 15.0, 0.5);
    EXPECT_GT(std::stod(Value("CCD_COOLER_POWER.CCD_COOLER_VALUE")), 0.0);
    ASSERT_EQ(Set("CCD_COOLER.COOLER_OFF=On"), 0);
    ASSERT_TRUE(Eval(Q("CCD_COOLER.COOLER_OFF") + "==1", 20));
}

TEST_F(IndiDriverTest, UnpluggedCameraIsAnAlertThenAnotherPortConnects) {
    ASSERT_NO_FATAL_FAILURE(StartServer("sim:gannet?unplugged"));
    ASSERT_EQ(Set("CONNECTION.CONNECT=On"), 0);
    ASSERT_TRUE(Eval(Q("CONNECTION._STATE") + "==3", 30));
    // Another port entry, without restarting the server; then disconnect and reconnect.
    ASSERT_EQ(Tool({ZEVA_INDI_SETPROP, "-p", port, "-t", "10", "-x",
                    std::string(kDev) + ".ZEVA_PORT.ENTRY=sim:kestrel"},
                   20),
              0);
    ASSERT_NO_FATAL_FAILURE(Connect());
    EXPECT_EQ(Value("CCD_INFO.CCD_MAX_X").empty(), false);
    ASSERT_EQ(Set("CONNECTION.DISCONNECT=On"), 0);
    ASSERT_TRUE(Eval(Q("CONNECTION.DISCONNECT") + "==1", 20));
    ASSERT_NO_FATAL_FAILURE(Connect());
}

}  // namespace
