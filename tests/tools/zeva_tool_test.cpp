// The zeva tool run as a process on the simulated Gannet (pattern scene);
// its FITS files are read back with cfitsio.
#include <gtest/gtest.h>

#include <algorithm>
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
    EXPECT_EQ(f.Integer("PEDESTAL"), 100);
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

TEST_F(ToolTest, DarkFrameIsMarkedAndEmpty) {
    ToolRun r = RunTool(dir, {"--sim", "gannet?scene=pattern", "capture", "--dark", "--window",
                              "0,0,8,4", "-o", "dark.fits"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    Fits f(dir / "dark.fits");
    EXPECT_EQ(f.Text("IMAGETYP"), "Dark Frame");
    for (unsigned short p : f.pixels) EXPECT_EQ(p, 100);
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

TEST_F(ToolTest, BadArgumentsNameTheValueAndFail) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"--sim", "gannet", "capture", "--bin", "4"}, "bad --bin 4"},
        {{"--sim", "gannet", "capture", "--ccd", "side"}, "bad --ccd 'side'"},
        {{"--sim", "gannet", "capture", "--window", "1,2,3"}, "bad --window '1,2,3'"},
        {{"--sim", "gannet", "capture", "--window", "700,0,100,10"}, "does not fit"},
        {{"--sim", "gannet", "capture", "-5"}, "bad exposure time '-5'"},
        {{"--sim", "gannet", "capture", "nan"}, "bad exposure time 'nan'"},
        {{"--sim", "gannet", "capture", "1000", "--ccd", "tracking"},
         "bad exposure time '1000' (exposure time must be 0 to 655.35 s on the tracking CCD)"},
        {{"--sim", "kestrel", "capture", "--ccd", "tracking"}, "no tracking CCD"},
        {{"--sim", "gannet", "frobnicate"}, "unknown command 'frobnicate'"},
        {{"--sim", "gannet", "cool", "warm"}, "bad setting 'warm'"},
        {{"--sim", "gannet", "relay", "7", "100"}, "OUTPUT (0 to 3)"},
        {{"--sim", "nosuchcamera", "info"}, "zeva:"},
        {{"--lib", "win32", "--sim", "gannet", "info"}, "bad --lib 'win32' (valid: nt, 9x, vb)"},
        {{"--lib", "9x", "--port", "2", "--sim", "gannet", "info"}, "only the first port"},
        {{"--sim", "gannet", "--port", "/dev/parport0", "info"}, "give one of them"},
        {{"--port", "0", "info"}, "bad --port '0'"},
        {{"--lib"}, "--lib needs a value"},
    };
    for (const Case& c : cases) {
        ToolRun r = RunTool(dir, c.args);
        EXPECT_NE(r.exitCode, 0) << c.args.back();
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
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

TEST_F(ToolTest, EverySubcommandHasHelp) {
    for (const char* cmd : {"info", "capture", "temp", "cool", "relay", "pulse", "tiptilt"}) {
        ToolRun r = RunTool(dir, {cmd, "--help"});
        EXPECT_EQ(r.exitCode, 0) << cmd;
        EXPECT_NE(r.out.find(std::string("usage: zeva ") + cmd), std::string::npos) << cmd;
    }
    ToolRun top = RunTool(dir, {"--help"});
    EXPECT_EQ(top.exitCode, 0);
    for (const char* option : {"--lib nt|9x|vb", "--port /dev/parportN", "--sim MODEL"})
        EXPECT_NE(top.out.find(option), std::string::npos) << option;
}

TEST_F(ToolTest, CoolerCommandsReachTheCamera) {
    EXPECT_EQ(RunTool(dir, {"--sim", "gannet", "cool", "-10"}).exitCode, 0);
    EXPECT_EQ(RunTool(dir, {"--sim", "gannet", "cool", "--power", "128"}).exitCode, 0);
    ToolRun t = RunTool(dir, {"--sim", "gannet", "temp"});
    EXPECT_EQ(t.exitCode, 0) << t.err;
    EXPECT_NE(t.out.find("reading 25."), std::string::npos) << t.out;
    EXPECT_EQ(RunTool(dir, {"--sim", "gannet", "relay", "1", "50"}).exitCode, 0);
    EXPECT_EQ(RunTool(dir, {"--sim", "gannet", "pulse", "3", "100", "200"}).exitCode, 0);
    EXPECT_EQ(RunTool(dir, {"--sim", "gannet", "tiptilt", "2048", "2048"}).exitCode, 0);
}

}  // namespace
