// The zeva tool run as a process on the simulated Gannet (pattern scene);
// its FITS files are read back with cfitsio.
#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "support/fits.h"
#include "support/pattern.h"
#include "support/process.h"

namespace {

namespace fs = std::filesystem;
using zeva::test::Env;
using ToolRun = zeva::test::ProcessRun;

// Runs the tool in `dir` on the real clock.  With `interruptOn`, sends SIGINT
// once that text appears on its standard error.  `env` is set for the tool only.
ToolRun RunTool(const fs::path& dir, std::vector<std::string> args,
                const std::string& interruptOn = "", const Env& env = {}) {
    Env all{{"ZEVA_CLOCK", "real"}};
    all.insert(all.end(), env.begin(), env.end());
    return zeva::test::RunProcess(ZEVA_TOOL_PATH, std::move(args), dir, all, interruptOn);
}

class ToolTest : public ::testing::Test {
  protected:
    void SetUp() override { dir = zeva::test::TestDirectory("zeva-tool"); }
    void TearDown() override { fs::remove_all(dir); }
    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    fs::path dir;
};

// A FITS file of the tool: unsigned 16 bit, stored signed with BZERO 32768.
struct Fits : zeva::test::FitsImage {
    explicit Fits(const fs::path& p) : FitsImage(p) {
        EXPECT_EQ(bitpix, SHORT_IMG) << p;
        EXPECT_EQ(equivType, USHORT_IMG) << p;
    }
};

TEST_F(ToolTest, BinnedWindowIsWrittenWithItsHeaderAndPixels) {
    // Window floored to the 2 x 2 binning: origin 41,13 -> binned 20,6; 31 x 17 -> 15 x 8.
    ToolRun r = RunTool(dir, {"--sim", "gannet?scene=pattern", "capture", "0.1", "--bin", "2",
                              "--window", "41,13,31,17", "-o", "frame.fits"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("frame.fits"), std::string::npos);
    Fits f(dir / "frame.fits");
    ASSERT_EQ(f.width, 15);
    ASSERT_EQ(f.height, 8);
    for (unsigned y = 0; y < 8; ++y)
        for (unsigned x = 0; x < 15; ++x)
            ASSERT_EQ(f.pixels[y * 15 + x],
                      zeva::test::ImagingBlock(2 * (6 + y), 2, 2 * (20 + x), 2) + 100)
                << "x " << x << " y " << y;
    EXPECT_EQ(f.Text("INSTRUME"), "ZEVA Gannet Dual CCD Camera");
    EXPECT_DOUBLE_EQ(f.Number("EXPTIME"), 0.1);
    EXPECT_EQ(f.Text("IMAGETYP"), "Light Frame");
    EXPECT_EQ(f.Integer("XBINNING"), 2);
    EXPECT_EQ(f.Integer("YBINNING"), 2);
    EXPECT_DOUBLE_EQ(f.Number("XPIXSZ"), 18.0);
    EXPECT_DOUBLE_EQ(f.Number("YPIXSZ"), 18.0);
    EXPECT_EQ(f.Integer("XORGSUBF"), 40);
    EXPECT_EQ(f.Integer("YORGSUBF"), 12);
    EXPECT_EQ(f.Integer("READMODE"), 1);
    EXPECT_EQ(f.Text("CCD"), "Imaging");
    EXPECT_EQ(f.Integer("ZEVAPED"), 100);
    EXPECT_FALSE(f.Has("PEDESTAL"));
    EXPECT_FALSE(f.Has("SET-TEMP"));  // the cooler was never set
    EXPECT_TRUE(f.ChecksumsVerify());
    EXPECT_EQ(f.Integer("BZERO"), 32768);
    EXPECT_GT(f.Number("EGAIN"), 0.0);
    const std::string date = f.Text("DATE-OBS");
    ASSERT_EQ(date.size(), 23u) << date;
    EXPECT_EQ(date[10], 'T');
    EXPECT_EQ(date[19], '.');
    EXPECT_NE(date.back(), 'Z');
    // Cooler at ambient: reading 1000 is +25 C.
    EXPECT_NEAR(f.Number("CCD-TEMP"), 25.0, 1.0);
}

TEST_F(ToolTest, EachFrameTypeIsLabelledAndTakesLightOrNot) {
    const struct {
        std::vector<std::string> type;
        const char* label;
        bool light;
        double seconds;
    } cases[] = {
        {{"--dark"}, "Dark Frame", false, 0.1},
        {{"--type", "dark"}, "Dark Frame", false, 0.1},
        {{"--type", "bias"}, "Bias Frame", false, 0.0},
        {{"--type", "flat"}, "Flat Frame", true, 0.1},
        {{"--type=light", "--header", "OBJECT=M 42"}, "Light Frame", true, 0.1},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{
            "--sim",  "gannet?scene=pattern", "capture", "--window", "0,0,8,4", "-o", "f.fits",
            "--force"};
        args.insert(args.end(), c.type.begin(), c.type.end());
        ToolRun r = RunTool(dir, args);
        ASSERT_EQ(r.exitCode, 0) << c.label << ": " << r.err;
        Fits f(dir / "f.fits");
        EXPECT_EQ(f.Text("IMAGETYP"), c.label);
        EXPECT_DOUBLE_EQ(f.Number("EXPTIME"), c.seconds) << c.label;
        EXPECT_EQ(f.Has("DARKTIME"), !c.light) << c.label;
        const bool dark = std::all_of(f.pixels.begin(), f.pixels.end(),
                                      [](unsigned short p) { return p == 100; });
        EXPECT_EQ(dark, !c.light) << c.label;
    }
    EXPECT_EQ(Fits(dir / "f.fits").Text("OBJECT"), "M 42");
}

TEST_F(ToolTest, SeriesWritesNumberedFilesWithoutOverwriting) {
    ToolRun first =
        RunTool(dir, {"--sim", "gannet", "capture", "--window", "0,0,4,2", "--count", "2"});
    ASSERT_EQ(first.exitCode, 0) << first.err;
    ToolRun second = RunTool(dir, {"--sim", "gannet", "capture", "--window", "0,0,4,2"});
    ASSERT_EQ(second.exitCode, 0) << second.err;
    EXPECT_EQ(Files(),
              (std::vector<std::string>{"zeva-0001.fits", "zeva-0002.fits", "zeva-0003.fits"}));
    EXPECT_NE(second.out.find("zeva-0003.fits"), std::string::npos);
}

TEST_F(ToolTest, TrackingCcdFrameIsNamedInTheHeader) {
    ToolRun r = RunTool(dir, {"--sim", "gannet?scene=pattern", "capture", "--ccd", "tracking",
                              "--window", "10,0,5,2", "-o", "t.fits"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    Fits f(dir / "t.fits");
    EXPECT_EQ(f.Text("CCD"), "Tracking");
    ASSERT_EQ(f.width, 5);
    for (unsigned c = 0; c < 5; ++c) EXPECT_EQ(f.pixels[c], 1000 + 2000 + (7 * (10 + c)) % 1000);
}

TEST_F(ToolTest, InterruptDuringExposureLeavesNoFile) {
    ToolRun r =
        RunTool(dir, {"--sim", "gannet", "capture", "1000", "--dark", "--progress", "-o", "x.fits"},
                "exposing");
    EXPECT_EQ(r.exitCode, 130) << r.err;
    EXPECT_NE(r.err.find("interrupted during the exposure: exposure ended, camera idle"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(Files().empty());
}

TEST_F(ToolTest, InterruptDuringReadoutLeavesNoFile) {
    ToolRun r =
        RunTool(dir, {"--sim", "gannet", "capture", "--progress", "-o", "x.fits"}, "reading: line");
    EXPECT_EQ(r.exitCode, 130) << r.err;
    EXPECT_NE(r.err.find("interrupted during the readout"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("readout ended, camera idle"), std::string::npos) << r.err;
    EXPECT_TRUE(Files().empty());
}

TEST_F(ToolTest, ProgressInALogIsPlainLinesAndFilesAreReportedInTheOrderWritten) {
    ToolRun r =
        RunTool(dir, {"--sim", "gannet", "capture", "0.5", "--progress", "--png", "-o", "p.fits"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err.find_first_of("\r\033"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.rfind("exposing: 0.5 s left of 0.5 s\n", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("reading: line "), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "wrote p.fits (765 x 510, light, 0.50 s)\nwrote preview p.png\n");
}

// The median grey of a PNG preview, as a fraction of white.
double MedianGrey(const fs::path& png) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, png.c_str()))
        return -1;
    image.format = PNG_FORMAT_GRAY;
    std::vector<png_byte> grey(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, grey.data(), 0, nullptr))
        return -1;
    std::nth_element(grey.begin(), grey.begin() + grey.size() / 2, grey.end());
    return grey[grey.size() / 2] / 255.0;
}

TEST_F(ToolTest, PreviewShowsTheSkyAtOneDarkGreyWhateverTheExposure) {
    for (const char* seconds : {"5", "30"}) {
        const std::string name = std::string("sky") + seconds + ".fits";
        ToolRun r = RunTool(dir, {"--sim", "gannet", "capture", seconds, "--png", "-o", name}, "",
                            {{"ZEVA_CLOCK", "virtual"}});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const double sky = MedianGrey(dir / (std::string("sky") + seconds + ".png"));
        EXPECT_GE(sky, 0.12) << seconds << " s";
        EXPECT_LE(sky, 0.38) << seconds << " s";
    }
}

TEST_F(ToolTest, InfoListsEveryReadoutMode) {
    ToolRun r = RunTool(dir, {"--sim", "gannet", "info"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("ZEVA Gannet Dual CCD Camera"), std::string::npos);
    for (int m = 0; m < 9; ++m)
        EXPECT_NE(r.out.find("mode " + std::to_string(m) + ":"), std::string::npos) << m;
    EXPECT_NE(r.out.find("765 x 510"), std::string::npos);
    EXPECT_NE(r.out.find("tracking CCD: 2 readout modes"), std::string::npos);
    EXPECT_NE(r.out.find("cooler:"), std::string::npos);
}

TEST_F(ToolTest, BadArgumentsAndRefusalsNameTheProblemWithTheirExitStatus) {
    struct Case {
        std::vector<std::string> args;
        int exitCode;  // 2 for what the command line got wrong, 1 for what the camera cannot do
        std::string message;
    } cases[] = {
        {{"--sim", "gannet", "capture", "--bin", "4"}, 2, "bad --bin 4"},
        {{"--sim", "gannet", "capture", "--ccd", "side"}, 2, "bad --ccd 'side'"},
        {{"--sim", "gannet", "capture", "--window", "1,2,3"}, 2, "bad --window '1,2,3'"},
        {{"--sim", "gannet", "capture", "--window", "700,0,100,10"}, 1, "does not fit"},
        {{"--sim", "gannet", "capture", "-5"}, 2, "bad exposure time '-5'"},
        {{"--sim", "gannet", "capture", "nan"}, 2, "bad exposure time 'nan'"},
        {{"--sim", "gannet", "capture", "0x10"}, 2, "bad exposure time '0x10'"},
        {{"--sim", "gannet", "capture", "1000", "--ccd", "tracking"},
         2,
         "bad exposure time '1000' (exposure time must be 0 to 655.35 s on the tracking CCD)"},
        {{"--sim", "gannet", "capture", "--type", "bias", "5"},
         2,
         "a bias frame has no exposure time"},
        {{"--sim", "gannet", "capture", "--dark", "--type", "flat"}, 2, "two frame types"},
        {{"--sim", "gannet", "capture", "--type", "sky"}, 2, "bad --type 'sky'"},
        {{"--sim", "gannet", "capture", "--vfactor", "2"}, 2, "only with --mode 3, 4 or 5"},
        {{"--sim", "gannet", "capture", "--header", "NAXIS=1"}, 2, "structural keyword"},
        {{"--sim", "kestrel", "capture", "--ccd", "tracking"}, 1, "no tracking CCD"},
        {{"--sim", "gannet", "frobnicate"}, 2, "unknown command 'frobnicate'"},
        {{"--frobnicate", "info"}, 2, "unknown option '--frobnicate'"},
        {{"--sim", "gannet", "cool", "warm"}, 2, "bad setting 'warm'"},
        {{"--sim", "gannet", "cool", "-77"}, 2, "(valid: a setpoint -52.4 to 50.0 C,"},
        {{"--sim", "gannet", "relay", "7", "100"}, 2, "OUTPUT (0 to 3)"},
        {{"--sim", "gannet", "relay", "0", "40801"}, 2, "MS (0 to 40800)"},
        {{"--sim", "egret", "relay", "0", "100"}, 1, "relay: this camera has no guide relays"},
        {{"--sim", "finch", "pulse", "1", "100", "200"},
         1,
         "pulse: this camera has no guide relays"},
        {{"--sim", "siskin", "tiptilt", "1", "1"}, 1, "tiptilt: this camera has no tip-tilt port"},
        {{"--sim", "model9", "info"},
         1,
         "linking to the camera failed: a camera answered with a model number this software "
         "does not support (ErrCameraNotFound (error 18))"},
        {{"--sim", "nosuchcamera", "info"}, 1, "zeva:"},
        {{"--lib", "win32", "--sim", "gannet", "info"}, 2, "bad --lib 'win32' (valid: nt, 9x, vb)"},
        {{"--lib", "9x", "--port", "2", "--sim", "gannet", "info"}, 2, "only the first port"},
        {{"--sim", "gannet", "--port", "/dev/parport0", "info"}, 2, "give one of them"},
        {{"--port", "0", "info"}, 2, "bad --port '0'"},
        {{"--lib"}, 2, "--lib needs a value"},
    };
    for (const Case& c : cases) {
        ToolRun r = RunTool(dir, c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.message << ": " << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    // A port the list does not have: how many entries it has.
    ToolRun port = RunTool(dir, {"--port", "3", "info"}, "", {{"ZEVA_PORTS", "sim:gannet"}});
    EXPECT_EQ(port.exitCode, 1);
    EXPECT_NE(port.err.find("there is no port 3: ZEVA_PORTS has 1 entry (valid: --port 1 to 1)"),
              std::string::npos)
        << port.err;
    EXPECT_TRUE(Files().empty());
}

TEST_F(ToolTest, EveryLibraryPathGivesTheSamePixels) {
    struct Path {
        const char* lib;
        const char* windows;  // ZEVA_WINDOWS for the tool, or null
    } paths[] = {{"nt", nullptr}, {"9x", nullptr}, {"vb", nullptr}, {"vb", "98"}};
    std::vector<unsigned short> first;
    for (const Path& p : paths) {
        const std::string name =
            std::string(p.lib) + (p.windows ? std::string("-") + p.windows : "") + ".fits";
        Env env;
        if (p.windows)
            env.push_back({"ZEVA_WINDOWS", p.windows});
        ToolRun r = RunTool(dir,
                            {"--lib", p.lib, "--sim", "gannet?scene=pattern", "capture", "--bin",
                             "2", "--window", "41,13,31,17", "-o", name},
                            "", env);
        ASSERT_EQ(r.exitCode, 0) << name << ": " << r.err;
        Fits f(dir / name);
        ASSERT_EQ(f.width, 15) << name;
        ASSERT_EQ(f.height, 8) << name;
        EXPECT_EQ(f.Text("INSTRUME"), "ZEVA Gannet Dual CCD Camera") << name;
        EXPECT_DOUBLE_EQ(f.Number("XPIXSZ"), 18.0) << name;  // from the library's mode table
        EXPECT_EQ(f.pixels[0],
                  zeva::test::PatternImaging(12, 40) + zeva::test::PatternImaging(12, 41) +
                      zeva::test::PatternImaging(13, 40) + zeva::test::PatternImaging(13, 41) + 100)
            << name;
        if (first.empty())
            first = f.pixels;
        else
            EXPECT_EQ(f.pixels, first) << name;
    }
}

TEST_F(ToolTest, RealPortThatCannotBeOpenedSaysWhatToDo) {
    ToolRun missing = RunTool(dir, {"--port", "/dev/parport-does-not-exist", "info"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.err.find("/dev/parport-does-not-exist does not exist"), std::string::npos)
        << missing.err;
    EXPECT_NE(missing.err.find("modprobe"), std::string::npos) << missing.err;
    ToolRun notPort = RunTool(dir, {"--port", "/dev/null", "capture", "-o", "x.fits"});
    EXPECT_EQ(notPort.exitCode, 1);
    EXPECT_NE(notPort.err.find("/dev/null is not a ppdev parallel port"), std::string::npos)
        << notPort.err;
    ToolRun fromEnv = RunTool(dir, {"info"}, "", {{"ZEVA_PORTS", "/dev/parport-does-not-exist"}});
    EXPECT_EQ(fromEnv.exitCode, 1);
    EXPECT_NE(fromEnv.err.find("modprobe"), std::string::npos) << fromEnv.err;
    EXPECT_TRUE(Files().empty());
}

TEST_F(ToolTest, HelpVersionAndOptionsWithTheirValueAfterAnEqualsSign) {
    for (const char* cmd : {"info", "capture", "temp", "cool", "relay", "pulse", "tiptilt"}) {
        ToolRun r = RunTool(dir, {cmd, "--help"});
        EXPECT_EQ(r.exitCode, 0) << cmd;
        EXPECT_NE(r.out.find(std::string("usage: zeva ") + cmd), std::string::npos) << cmd;
    }
    ToolRun top = RunTool(dir, {"--help"});
    EXPECT_EQ(top.exitCode, 0);
    for (const char* option : {"--lib nt|9x|vb", "--port /dev/parportN", "--sim MODEL",
                               "model9 is a test case", "--version", "2 a usage error"})
        EXPECT_NE(top.out.find(option), std::string::npos) << option;
    ToolRun version = RunTool(dir, {"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind("zeva 3.", 0), 0u) << version.out;
    ToolRun equals = RunTool(dir, {"--sim=gannet?scene=pattern", "--port=2", "capture",
                                   "--window=0,0,4,2", "--output=e.fits", "--type=bias"});
    ASSERT_EQ(equals.exitCode, 0) << equals.err;
    EXPECT_EQ(Fits(dir / "e.fits").Text("IMAGETYP"), "Bias Frame");
}

TEST_F(ToolTest, ActingCommandsSayWhatTheyDidWithTheRoundingAndTheSimulatorsLifetime) {
    const struct {
        std::vector<std::string> args;
        const char* said;
    } cases[] = {
        {{"cool", "-10"}, "cooler: regulating to -10.0 C (reading 2400)\n"},
        {{"cool", "-10.1"},
         "cooler: regulating to -10.0 C (reading 2400); -10.1 C is not a step the camera keeps "
         "(steps of 0.4 C)\n"},
        {{"cool", "--power", "128"}, "cooler: fixed drive power 50.2% (128 of 255)\n"},
        {{"cool", "off"}, "cooler: off\n"},
        {{"relay", "1", "50"}, "relay 1: closed for 50 ms\n"},
        {{"relay", "1", "15"},
         "relay 1: closed for 20 ms (15 ms is not a step the camera times: 10 ms steps)\n"},
        {{"relay", "2", "5000"},
         "relay 2: closed for 4960 ms (5000 ms is not a step the camera times: 160 ms steps "
         "above 2550 ms)\n"},
        {{"pulse", "3", "100", "200"}, "pulse output: 3 pulses, width 100, period 200"},
        {{"tiptilt", "2048", "2048"}, "tip-tilt: moved to 2048, 2048\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"--sim", "gannet"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ToolRun r = RunTool(dir, args);
        EXPECT_EQ(r.exitCode, 0) << c.said << r.err;
        EXPECT_EQ(r.out.rfind(c.said, 0), 0u) << r.out;
        // Once, that the simulated camera forgets it all when the command ends.
        const std::size_t note = r.err.find("lasts only while");
        EXPECT_NE(note, std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("lasts only while", note + 1), std::string::npos) << r.err;
    }
    // The next command's camera is a fresh one, its cooler never set.
    ToolRun t = RunTool(dir, {"--sim", "gannet", "temp"});
    EXPECT_EQ(t.exitCode, 0) << t.err;
    EXPECT_NE(t.out.find("regulation off, setpoint none, reading 25."), std::string::npos) << t.out;
    EXPECT_TRUE(t.err.empty()) << t.err;
}

}  // namespace
