// `zeva doctor` run whole on simulated cameras: the healthy camera and each
// fault of the simulator give their own verdict and exit status.
#include <gtest/gtest.h>

#include <string>

#include "support/process.h"

namespace {

struct Verdict {
    int exitCode;
    std::string output;
    bool Says(const std::string& s) const { return output.find(s) != std::string::npos; }
};

// On the virtual clock every port access takes 1 us, so figures are exact.
Verdict Doctor(const std::string& sim) {
    const zeva::test::ProgramRun run = zeva::test::RunProgram(
        ZEVA_TOOL_PATH, {"--sim", sim, "doctor"}, {{"ZEVA_CLOCK", "virtual"}});
    return {run.exitCode, run.output};
}

TEST(DoctorTool, HealthyCameraIsReadyWithItsFiguresAtOnePortCycle) {
    const Verdict v = Doctor("gannet");
    EXPECT_EQ(v.exitCode, 0) << v.output;
    for (const char* s :
         {"zeva doctor: port 1, sim:gannet", "ok       machine: simulated camera",
          "ok       port registers: data register reads back",
          "ok       link: ZEVA Gannet Dual CCD Camera (type 4)", "ok       EEPROM: checksum good",
          "ok       CCD: 765 x 510 pixels", "a full frame (765 x 510) reads out in about 8.0 s",
          "ok       cooler: 25.", "regulation off", "ok       guiding: four guide relays",
          "ok       dark window: 8 full-width lines: mean", "one port access 1.00 us",
          "verdict: ready"})
        EXPECT_TRUE(v.Says(s)) << "'" << s << "' in:\n" << v.output;
    // A camera without relays is ready, and says how to guide instead.
    const Verdict egret = Doctor("egret");
    EXPECT_EQ(egret.exitCode, 0) << egret.output;
    EXPECT_TRUE(
        egret.Says("ok       guiding: this camera has no guide relays: guide through the "
                   "mount"))
        << egret.output;
}

TEST(DoctorTool, EachSimulatedFaultHasItsOwnVerdict) {
    const struct {
        const char* sim;
        int exitCode;
        const char* verdict;
    } cases[] = {
        {"gannet?unplugged", 1,
         "verdict: not ready: port registers: the status lines float (0x7F on every read): "
         "nothing is connected, or the camera is off"},
        {"gannet?micro=silent", 1,
         "verdict: not ready: link: the camera does not answer (ErrTxTimeout"},
        {"gannet?micro=noreply", 1,
         "verdict: not ready: link: the camera took the command but never answered"},
        {"gannet?micro=garbage", 1,
         "verdict: not ready: link: the camera's answers arrive garbled"},
        {"model9", 1, "fix: this camera's model is not supported by this software"},
        {"gannet?busy=stuck", 1,
         "verdict: not ready: dark window: the camera's digitizer stays busy"},
        {"kestrel?eeprom=badsum", 2,
         "warning  EEPROM: the camera's identification could not be read; the model may be "
         "misidentified (taken as ZEVA Gannet"},
        {"heron?eeprom=blank", 2, "the camera's identification could not be read"},
        {"ibis?eeprom=version0", 2, "the camera's identification could not be read"},
    };
    for (const auto& c : cases) {
        const Verdict v = Doctor(c.sim);
        EXPECT_EQ(v.exitCode, c.exitCode) << c.sim << ":\n" << v.output;
        EXPECT_TRUE(v.Says(c.verdict)) << c.sim << ": '" << c.verdict << "' in:\n" << v.output;
    }
}

TEST(DoctorTool, DirectIoPortEntryReachesTheCameraThroughTheTool) {
    // The machine's stand-in processor answers for io: entries: no port is touched.
    const zeva::test::ProgramRun run =
        zeva::test::RunProgram(ZEVA_TOOL_PATH, {"--port", "io:0x3BC", "info"},
                               {{"ZEVA_CLOCK", "virtual"}, {"ZEVA_FAKE_PORTIO", "sim:kestrel"}});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("camera: ZEVA Kestrel CCD Camera (type 13)"), std::string::npos)
        << run.output;

    const zeva::test::ProgramRun refused =
        zeva::test::RunProgram(ZEVA_TOOL_PATH, {"--port", "io:0x3BC", "info"},
                               {{"ZEVA_CLOCK", "virtual"}, {"ZEVA_FAKE_PORTIO", "no-rawio"}});
    EXPECT_EQ(refused.exitCode, 1) << refused.output;
    EXPECT_NE(refused.output.find("zeva: port entry 'io:0x3BC': io:0x3BC: direct port access "
                                  "needs CAP_SYS_RAWIO"),
              std::string::npos)
        << refused.output;
}

TEST(DoctorTool, PortListProblemsAreTheVerdict) {
    const zeva::test::ProgramRun missing =
        zeva::test::RunProgram(ZEVA_TOOL_PATH, {"--port", "3", "doctor"},
                               {{"ZEVA_CLOCK", "virtual"}, {"ZEVA_PORTS", "sim:gannet"}});
    EXPECT_EQ(missing.exitCode, 1) << missing.output;
    EXPECT_NE(missing.output.find("verdict: not ready: port: no port 3 in the port list"),
              std::string::npos)
        << missing.output;

    const zeva::test::ProgramRun overlap = zeva::test::RunProgram(
        ZEVA_TOOL_PATH, {"--port", "2", "doctor"},
        {{"ZEVA_CLOCK", "virtual"}, {"ZEVA_PORTS", "sim:gannet?base=0x378,sim:heron?base=0x379"}});
    EXPECT_EQ(overlap.exitCode, 1) << overlap.output;
    EXPECT_NE(overlap.output.find("verdict: not ready: port: port entry 2 "
                                  "'sim:heron?base=0x379' (registers 0x379-0x37B and "
                                  "0x779-0x77B) overlaps port entry 1 'sim:gannet?base=0x378'"),
              std::string::npos)
        << overlap.output;
}

TEST(DoctorTool, HelpAndStrayArguments) {
    const zeva::test::ProgramRun h = zeva::test::RunProgram(ZEVA_TOOL_PATH, {"doctor", "--help"});
    EXPECT_EQ(h.exitCode, 0);
    EXPECT_NE(h.output.find("exit status: 0 ready, 1 stopped at a problem, 2 works with warnings"),
              std::string::npos)
        << h.output;
    const zeva::test::ProgramRun bad = zeva::test::RunProgram(ZEVA_TOOL_PATH, {"doctor", "now"});
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_NE(bad.output.find("unexpected argument 'now'"), std::string::npos) << bad.output;
}

}  // namespace
