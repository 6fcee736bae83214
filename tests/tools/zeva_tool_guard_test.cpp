// The zeva tool against careless or hostile command lines and faulty cameras:
// output paths that are not regular files or that cfitsio would read as its
// own syntax, a preview that would take the image's name, failures said in
// words, an EEPROM that fails its checksum.  The tool runs as a process on
// simulated cameras.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/process.h"

namespace {

namespace fs = std::filesystem;
using zeva::test::ProcessRun;

class ToolGuard : public ::testing::Test {
  protected:
    void SetUp() override { dir = zeva::test::TestDirectory("zeva-guard"); }
    void TearDown() override { fs::remove_all(dir); }
    ProcessRun Run(std::vector<std::string> args, const std::string& signalOn = "",
                   int signal = SIGINT) {
        return zeva::test::RunProcess(ZEVA_TOOL_PATH, std::move(args), dir,
                                      {{"ZEVA_CLOCK", "real"}}, signalOn, signal);
    }
    ProcessRun Capture(const std::vector<std::string>& more) {
        std::vector<std::string> args{
            "--sim", "gannet?scene=pattern", "capture", "0.01", "--window", "0,0,8,4"};
        args.insert(args.end(), more.begin(), more.end());
        return Run(args);
    }
    std::string Contents(const std::string& name) const {
        std::ifstream in(dir / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    void Write(const std::string& name, const std::string& text) const {
        std::ofstream(dir / name, std::ios::binary) << text;
    }
    bool IsFits(const std::string& name) const { return Contents(name).rfind("SIMPLE  =", 0) == 0; }
    fs::path dir;
};

TEST_F(ToolGuard, OutputOntoAFifoIsRefusedAndTheFifoStays) {
    ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
    ProcessRun r = Capture({"-o", "pipe"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("pipe: is a FIFO"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::is_fifo(dir / "pipe"));
    EXPECT_FALSE(fs::exists(dir / "pipe.part"));
}

TEST_F(ToolGuard, OutputOntoADeviceOrDirectoryIsRefused) {
    // The device through a link of the test's own: whatever the tool does,
    // the system's /dev/null is never at stake.
    fs::create_symlink("/dev/null", dir / "null");
    ProcessRun dev = Capture({"-o", "null"});
    EXPECT_EQ(dev.exitCode, 1);
    EXPECT_NE(dev.err.find("null: is a device"), std::string::npos) << dev.err;
    EXPECT_TRUE(fs::is_symlink(dir / "null"));
    fs::create_directory(dir / "sub");
    ProcessRun sub = Capture({"-o", "sub"});
    EXPECT_EQ(sub.exitCode, 1);
    EXPECT_NE(sub.err.find("sub: is a directory"), std::string::npos) << sub.err;
}

TEST_F(ToolGuard, BracketsAndParenthesesInTheNameAreTakenLiterally) {
    Write("a", "keep a");
    Write("b", "keep b");
    ProcessRun first = Capture({"-o", "a[1].fits"});
    ASSERT_EQ(first.exitCode, 0) << first.err;
    ProcessRun second = Capture({"-o", "b(c).fits"});
    ASSERT_EQ(second.exitCode, 0) << second.err;
    EXPECT_EQ(Contents("a"), "keep a");
    EXPECT_EQ(Contents("b"), "keep b");
    EXPECT_TRUE(IsFits("a[1].fits"));
    EXPECT_TRUE(IsFits("b(c).fits"));
}

TEST_F(ToolGuard, AnExistingFileIsKeptUnlessForcedAndNoFileOfTheUsersIsTakenForATemporary) {
    Write("frame.fits", "old");
    Write("frame.png", "old preview");
    Write("frame.fits.part", "the user's own");
    ProcessRun kept = Capture({"-o", "frame.fits", "--png"});
    EXPECT_EQ(kept.exitCode, 1);
    EXPECT_NE(kept.err.find("frame.fits: the file exists (--force replaces it)"), std::string::npos)
        << kept.err;
    EXPECT_EQ(Contents("frame.fits"), "old");
    Write("new.png", "old preview");
    ProcessRun preview = Capture({"-o", "new.fits", "--png"});
    EXPECT_EQ(preview.exitCode, 1);
    EXPECT_NE(preview.err.find("preview new.png: the file exists"), std::string::npos)
        << preview.err;
    EXPECT_FALSE(fs::exists(dir / "new.fits"));
    ProcessRun forced = Capture({"-o", "frame.fits", "--png", "--force"});
    ASSERT_EQ(forced.exitCode, 0) << forced.err;
    EXPECT_TRUE(IsFits("frame.fits"));
    EXPECT_NE(Contents("frame.png"), "old preview");
    EXPECT_EQ(Contents("frame.fits.part"), "the user's own");
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir)) ++files;
    EXPECT_EQ(files, 4u);  // frame.fits, .png, .fits.part, new.png: no temporary file left
}

TEST_F(ToolGuard, OutputIntoADirectoryThatIsNotThereSaysSoBeforeExposing) {
    ProcessRun r = Capture({"-o", "no/such/dir/x.fits"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err,
              "zeva: capture: -o no/such/dir/x.fits: the directory no/such/dir does not "
              "exist\n");
    Write("plain", "a file");
    ProcessRun under = Capture({"-o", "plain/x.fits", "--count", "2"});
    EXPECT_EQ(under.exitCode, 1);
    EXPECT_NE(under.err.find("plain is not a directory"), std::string::npos) << under.err;
}

TEST_F(ToolGuard, PreviewNeverTakesTheImagesName) {
    ProcessRun r = Capture({"-o", "x.png", "--png"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("would take the image's own name"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir / "x.png"));
    // In a directory with a dot in its name the preview goes next to the image.
    fs::create_directory(dir / "v1.2");
    ProcessRun ok = Capture({"-o", "v1.2/frame", "--png"});
    ASSERT_EQ(ok.exitCode, 0) << ok.err;
    EXPECT_TRUE(IsFits("v1.2/frame"));
    EXPECT_TRUE(fs::exists(dir / "v1.2/frame.png"));
}

TEST_F(ToolGuard, SilentCameraIsExplainedNotJustNamed) {
    ProcessRun r = Run({"--sim", "gannet?micro=silent", "info"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("linking to the camera failed: the camera does not answer (ErrTxTimeout "
                         "(error 7)): is it plugged in and powered?"),
              std::string::npos)
        << r.err;
}

TEST_F(ToolGuard, EepromThatFailsItsChecksumIsSaidPlainly) {
    const std::string warning =
        "zeva: warning: the camera's identification could not be read; the model "
        "may be misidentified";
    ProcessRun bad = Run({"--sim", "kestrel?eeprom=badsum", "info"});
    EXPECT_EQ(bad.exitCode, 0) << bad.err;
    EXPECT_NE(bad.err.find(warning), std::string::npos) << bad.err;
    ProcessRun good = Run({"--sim", "kestrel", "info"});
    EXPECT_EQ(good.exitCode, 0) << good.err;
    EXPECT_EQ(good.err.find("EEPROM"), std::string::npos) << good.err;
}

// The message for a value out of range, with `value` put in place of the
// text the tool was given.
std::string WithValue(std::string message, const std::string& given, const std::string& value) {
    const std::size_t at = message.find("'" + given + "'");
    if (at != std::string::npos)
        message.replace(at + 1, given.size(), value);
    return message;
}

TEST_F(ToolGuard, NonFiniteNumbersGetTheOutOfRangeMessage) {
    const ProcessRun far = Run({"--sim", "gannet", "capture", "999999"});
    ASSERT_EQ(far.exitCode, 2);
    for (const char* v : {"nan", "inf", "NaN"}) {
        const ProcessRun r = Run({"--sim", "gannet", "capture", v});
        EXPECT_EQ(r.exitCode, 2) << v;
        EXPECT_EQ(r.err, WithValue(far.err, "999999", v));
    }
    const ProcessRun below = Run({"--sim", "gannet", "capture", "-1"});
    ASSERT_EQ(below.exitCode, 2);
    for (const char* v : {"-inf", "-nan"}) {
        const ProcessRun r = Run({"--sim", "gannet", "capture", v});
        EXPECT_EQ(r.exitCode, 2) << v;
        EXPECT_EQ(r.err, WithValue(below.err, "-1", v));
    }
    const ProcessRun hot = Run({"--sim", "gannet", "cool", "99"});
    ASSERT_EQ(hot.exitCode, 2);
    for (const char* v : {"nan", "inf"}) {
        const ProcessRun r = Run({"--sim", "gannet", "cool", v});
        EXPECT_EQ(r.exitCode, 2) << v;
        EXPECT_EQ(r.err, WithValue(hot.err, "99", v));
    }
    const ProcessRun watch = Run({"--sim", "gannet", "temp", "--watch", "inf"});
    EXPECT_EQ(watch.exitCode, 2);
    EXPECT_NE(watch.err.find("bad argument"), std::string::npos) << watch.err;
}

TEST_F(ToolGuard, WindowBeyondAnyCcdIsRefusedNotWrapped) {
    for (const char* w : {"4294967295,0,10,10", "0,4294967296,10,10", "18446744073709551616,0,1,1",
                          "0,0,10,10,", "0,0,10", "+1,0,10,10", "0x10,0,10,10"}) {
        const ProcessRun r = Run({"--sim", "gannet", "capture", "--window", w, "-o", "w.fits"});
        EXPECT_EQ(r.exitCode, 2) << w;
        EXPECT_NE(r.err.find("bad --window"), std::string::npos) << w << ": " << r.err;
    }
    EXPECT_FALSE(fs::exists(dir / "w.fits"));
}

TEST_F(ToolGuard, EmptySimulatedCameraIsRefused) {
    for (const char* model : {"", "sim:"}) {
        const ProcessRun r = Run({"--sim", model, "info"});
        EXPECT_EQ(r.exitCode, 2) << "'" << model << "'";
        EXPECT_NE(r.err.find("--sim needs a camera model"), std::string::npos) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
}

TEST_F(ToolGuard, TerminateAndHangupEndLikeCtrlCWithTheirOwnCodes) {
    const struct {
        int signal;
        int exitCode;
    } cases[] = {{SIGTERM, 143}, {SIGHUP, 129}};
    for (const auto& c : cases) {
        const ProcessRun r =
            Run({"--sim", "gannet", "capture", "1000", "--dark", "--progress", "-o", "x.fits"},
                "exposing", c.signal);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_NE(r.err.find("interrupted during the exposure: exposure ended, camera idle"),
                  std::string::npos)
            << r.err;
        EXPECT_FALSE(fs::exists(dir / "x.fits"));
        EXPECT_TRUE(fs::is_empty(dir));  // no temporary file left either
    }
    // Watching the cooler ends on Ctrl-C with 130 too.
    for (const char* command : {"temp", "cool"}) {
        const fs::path log = dir / (std::string(command) + ".log");
        std::vector<std::string> args{ZEVA_TOOL_PATH, "--sim", "gannet", command};
        if (std::string(command) == "cool")
            args.push_back("-10");
        args.insert(args.end(), {"--watch", "0.1"});
        const pid_t pid = zeva::test::Spawn(args, dir, log);
        for (int i = 0; i < 200 && zeva::test::ReadFile(log).find("reading") == std::string::npos;
             ++i)
            usleep(20000);
        kill(pid, SIGINT);
        EXPECT_EQ(zeva::test::WaitFor(pid, 10), 130)
            << command << ": " << zeva::test::ReadFile(log);
    }
}

}  // namespace
