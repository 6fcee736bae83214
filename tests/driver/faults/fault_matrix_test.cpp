// Every camera fault the simulator can show, against every group of camera
// commands, through the I/O manager on the virtual clock.  A command that
// meets the fault ends with the error of its first failed exchange (no
// retries), within one protocol timeout per exchange, completes its request
// and leaves the device idle; a command the fault does not concern works as
// usual.  Once the fault is gone, a new link and a pixel-exact window read
// succeed on the same device.  The dual-CCD Gannet meets every group; the
// single-CCD models, which have no relays, pulse output or serial port, the
// groups they serve.  A bad EEPROM is the camera's from power-up; clearing
// it rewrites the camera's image, which the recovery link must then read.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "sim/faults.h"
#include "support/booted_driver.h"

namespace {

using namespace zeva;  // commands, error codes
using zeva::le::Get16;
using zeva::le::Put16;
using zeva::sim::MicroFault;
using zeva::test::BootedDriver;
using zeva::test::CameraHandle;

// More than 5 kernel ticks of 15.625 ms end a wait; with the polling around
// it one timeout stays below 7 ticks.
constexpr std::uint64_t kTickNs = 15'625'000;
constexpr std::uint64_t kOneTimeoutNs = 7 * kTickNs;
constexpr std::uint64_t kShortestTimeoutNs = 5 * kTickNs;

// The faults come from the simulator's table of named faults.
using Fault = sim::FaultId;

// The fault's option as a test name: "micro=nak" reads "micro_nak".
std::string FaultName(Fault f) {
    const sim::NamedFault* named = sim::FindFault(f);
    std::string name = named == nullptr ? "none" : named->option;
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    }
    return name;
}

// The cameras the matrix runs on: the dual-CCD family in full, and the
// single-CCD models, which have no relays, pulse output or serial port and
// whose driver clocks even the bias measurement and the link of type 8.
struct Model {
    const char* sim;
    const char* name;  // as the CCD information reports it
    std::uint16_t type;
    bool single;
    int modes;  // readout modes listed for the imaging CCD
    int width;  // mode-0 pixels per line
};
const Model kModels[] = {
    {"gannet", "ZEVA Gannet Dual CCD Camera", 4, false, 9, 765},
    {"egret", "Egret Camera", 6, true, 2, 320},
    {"finch", "ZEVA Finch Camera", 8, true, 6, 640},
    {"siskin", "ZEVA Siskin Camera", 8, true, 6, 657},
};
constexpr std::size_t kModelCount = sizeof kModels / sizeof kModels[0];

// The EEPROM image is the camera's own from power-up (the port entry's
// option); the other faults are switched on at run time, after a healthy link.
std::string Entry(Fault f, const Model& m) {
    std::string entry = std::string("sim:") + m.sim + "?scene=pattern";
    const sim::NamedFault* named = sim::FindFault(f);
    if (named != nullptr && named->powerUpOnly)
        entry += std::string("&") + named->option;
    return entry;
}

void Apply(sim::Camera* camera, Fault f, bool on) {
    const sim::NamedFault* named = sim::FindFault(f);
    // A power-up fault is in place already; clearing it restores a good image.
    if (named == nullptr || (named->powerUpOnly && on))
        return;
    named->set(*camera, on);
    // The micro is not reset when a fault clears: the next packet's start
    // bit alone must bring it back, whatever exchange was cut short.
}

// The error of a failed exchange with the microcontroller, by the reply it
// is waiting for; 0 when the fault leaves the exchange alone.
std::uint16_t AckError(Fault f) {
    switch (f) {
        case Fault::Silent:
            return ErrTxTimeout;
        case Fault::Unplugged:
            return ErrTxTimeout;  // the handshake line never follows
        case Fault::NoReply:
            return ErrRxTimeout;
        case Fault::Nak:
            return ErrNakReceived;
        case Fault::Can:
            return ErrCanReceived;
        case Fault::Garbage:
            return ErrUnknownResponse;
        default:
            return 0;
    }
}
std::uint16_t BlockError(Fault f) {
    return f == Fault::BadLength ? static_cast<std::uint16_t>(ErrBadLength) : AckError(f);
}
// The error of clocking the CCD: only the busy flag stops it.
std::uint16_t ClockError(Fault f) {
    return f == Fault::BusyStuck ? static_cast<std::uint16_t>(ErrDigitizerTimeout) : 0;
}

// One command of a group: what it sends, and what it must return under a fault.
struct Step {
    const char* what;
    std::function<NTSTATUS(const CameraHandle&)> run;
    std::function<std::uint16_t(Fault)> expected;
    int timeouts = 1;  // exchanges that may each run into a timeout
};

struct Group {
    const char* name;
    std::vector<Step> steps;
};

NTSTATUS CcdInfo(const CameraHandle& h, std::int16_t request, std::vector<std::uint8_t>* out) {
    const ULONG size = request == 2   ? rec::CcdInfoExtResult::kSize
                       : request == 3 ? rec::CcdInfoStatusResult::kSize
                                      : rec::CcdInfoResult::kSize;
    out->assign(size, 0xA5);
    Put16(out->data(), rec::CcdInfoParams::Request, static_cast<std::uint16_t>(request));
    return h.Call(CmdGetCCDInfo, *out, rec::CcdInfoParams::kSize, size);
}

std::vector<Group> Groups(const Model& m) {
    std::vector<Group> groups;
    groups.push_back({"Link",
                      {{"EstablishLink",
                        [m](const CameraHandle& h) {
                            std::uint16_t type = 0;
                            const NTSTATUS s = h.Link(&type);
                            // A corrupt EEPROM still identifies a type-4 camera.
                            EXPECT_TRUE(s != STATUS_SUCCESS || type == m.type) << type;
                            return s;
                        },
                        BlockError}}});
    groups.push_back(
        {"CcdInformation",
         {{"GetCCDInfo 0",
           [m](const CameraHandle& h) {
               std::vector<std::uint8_t> info;
               const NTSTATUS s = CcdInfo(h, 0, &info);
               if (s == STATUS_SUCCESS) {
                   EXPECT_EQ(Get16(info.data(), rec::CcdInfoResult::ReadoutModeCount), m.modes);
                   EXPECT_EQ(Get16(info.data(), rec::CcdInfoResult::Mode(0) + 2), m.width);
               }
               return s;
           },
           BlockError}}});
    if (m.single) {
        // The EEPROM record is refused before anything reaches the camera;
        // the single-CCD status record is read from the micro.
        groups.back().steps.push_back({"GetCCDInfo 2",
                                       [](const CameraHandle& h) {
                                           std::vector<std::uint8_t> ext;
                                           const NTSTATUS s = CcdInfo(h, 2, &ext);
                                           for (std::size_t i = 2; i < ext.size(); ++i) {
                                               EXPECT_EQ(ext[i], 0xA5) << i;
                                           }
                                           return s;
                                       },
                                       [](Fault) -> std::uint16_t { return ErrBadParameter; }});
        groups.back().steps.push_back({"GetCCDInfo 3",
                                       [m](const CameraHandle& h) {
                                           std::vector<std::uint8_t> st;
                                           const NTSTATUS s = CcdInfo(h, 3, &st);
                                           if (s == STATUS_SUCCESS) {
                                               EXPECT_EQ(Get16(st.data(), 0), m.type == 6 ? 2 : 1);
                                           }
                                           return s;
                                       },
                                       BlockError});
    } else {
        groups.back().steps.push_back(
            {"GetCCDInfo 2",
             [](const CameraHandle& h) {
                 std::vector<std::uint8_t> ext;
                 const NTSTATUS s = CcdInfo(h, 2, &ext);
                 const char* text = reinterpret_cast<const char*>(
                     ext.data() + rec::CcdInfoExtResult::IdentificationText);
                 const std::uint16_t flag = Get16(ext.data(), rec::CcdInfoExtResult::EepromFlag);
                 if (s == STATUS_SUCCESS) {
                     // The camera's own text, or the default image's "-".
                     EXPECT_TRUE(std::strcmp(text, "GANNET") == 0 || std::strcmp(text, "-") == 0)
                         << text;
                     EXPECT_EQ(flag, 0);
                 } else {
                     // The driver's fallback record stays in the system buffer:
                     // a failed request copies nothing back to the caller.
                     for (std::size_t i = 2; i < ext.size(); ++i) {
                         EXPECT_EQ(ext[i], 0xA5) << i;
                     }
                 }
                 return s;
             },
             BlockError});
    }
    groups.push_back(
        {"Exposure",
         {{"StartExposure", [](const CameraHandle& h) { return h.Start(0, 50); },
           [m](Fault f) -> std::uint16_t {
               if (m.single) {
                   // Type 8 measures its bias by clocking first; then the
                   // start command, with no shutter check afterwards.
                   if (f == Fault::BusyStuck && m.type == 8) {
                       return ErrDigitizerTimeout;
                   }
                   return AckError(f);
               }
               if (AckError(f) != 0) {
                   return AckError(f);  // the fan/shutter/LED command goes first
               }
               if (f == Fault::BusyStuck) {
                   return ErrDigitizerTimeout;  // the clear before the start
               }
               if (f == Fault::BadLength) {
                   return ErrBadLength;  // the shutter check reads the status block
               }
               return f == Fault::Shutter ? ErrShutter : 0;
           }},
          {"EndExposure", [](const CameraHandle& h) { return h.Word(CmdEndExposure, 0); },
           [](Fault f) -> std::uint16_t {
               return AckError(f) != 0 ? AckError(f) : ClockError(f);  // then the dump
           }}}});
    groups.push_back(
        {"Status",
         {{"QueryCommandStatus 1",
           [](const CameraHandle& h) { return h.Word(CmdQueryCommandStatus, 1, 2); }, BlockError},
          {"QueryCommandStatus 13",
           [](const CameraHandle& h) { return h.Word(CmdQueryCommandStatus, 13, 2); }, BlockError},
          {"QueryCommandStatus 3",
           [](const CameraHandle& h) { return h.Word(CmdQueryCommandStatus, 3, 2); },
           [](Fault) -> std::uint16_t { return 0; }}}});
    groups.push_back(
        {"Readout",
         {{"ReadoutLine",
           [](const CameraHandle& h) {
               std::vector<std::uint16_t> pixels;
               return h.Line(0, 0, 10, 20, &pixels);
           },
           ClockError},
          {"EndReadout", [](const CameraHandle& h) { return h.Word(CmdEndReadout, 0); },
           [](Fault) -> std::uint16_t { return 0; }}}});
    groups.push_back(
        {"Dump",
         {{"DumpLines", [](const CameraHandle& h) { return h.Dump(0, 1, 3); }, ClockError}}});
    groups.push_back({"Offset",
                      {{"ReadOffset",
                        [](const CameraHandle& h) {
                            std::uint16_t offset = 0;
                            const NTSTATUS s = h.Word(CmdReadOffset, 0, 2, &offset);
                            return s;
                        },
                        [m](Fault f) -> std::uint16_t {
                            // The single-CCD cameras clear their array with
                            // a short exposure (its start's reply is not
                            // waited on) before the samples are summed.
                            if (m.single && AckError(f) != 0) {
                                return AckError(f);
                            }
                            return ClockError(f);
                        },
                        m.single ? 2 : 1}}});
    groups.push_back(
        {"Cooler",
         {{"SetTemperatureRegulation",
           [](const CameraHandle& h) {
               std::vector<std::uint8_t> b(rec::TemperatureRegulationParams::kSize, 0);
               Put16(b.data(), rec::TemperatureRegulationParams::Regulation, 1);
               Put16(b.data(), rec::TemperatureRegulationParams::Setpoint, 2000);
               return h.Call(CmdSetTemperatureRegulation, b, 4, 0);
           },
           BlockError},  // the status is read before the setpoint is sent
          {"QueryTemperatureStatus",
           [](const CameraHandle& h) {
               std::vector<std::uint8_t> b(rec::TemperatureStatusResults::kSize, 0xA5);
               const NTSTATUS s = h.Call(CmdQueryTemperatureStatus, b, 0, 10);
               if (s == STATUS_SUCCESS) {
                   EXPECT_EQ(Get16(b.data(), rec::TemperatureStatusResults::RegulationFlags) & 1,
                             1);
               }
               return s;
           },
           BlockError}}});
    if (m.single) {
        return groups;
    }
    groups.push_back({"Relays",
                      {{"ActivateRelay",
                        [](const CameraHandle& h) {
                            std::vector<std::uint8_t> b(rec::RelayParams::kSize, 0);
                            Put16(b.data(), rec::RelayParams::RelayTime, 10);
                            return h.Call(CmdActivateRelay, b, 8, 0);
                        },
                        AckError},
                       {"QueryCommandStatus 7",
                        [](const CameraHandle& h) { return h.Word(CmdQueryCommandStatus, 7, 2); },
                        BlockError}}});
    groups.push_back({"Pulse",
                      {{"PulseOut",
                        [](const CameraHandle& h) {
                            std::vector<std::uint8_t> b(rec::PulseOutParams::kSize, 0);
                            Put16(b.data(), rec::PulseOutParams::PulseCount, 3);
                            Put16(b.data(), rec::PulseOutParams::PulseWidth, 100);
                            Put16(b.data(), rec::PulseOutParams::PulsePeriod, 200);
                            return h.Call(CmdPulseOut, b, 6, 0);
                        },
                        AckError}}});
    groups.push_back({"Serial",
                      {{"TxSerialBytes",
                        [](const CameraHandle& h) {
                            std::vector<std::uint8_t> b = {3, 0, 'a', 'b', 'c'};
                            ULONG_PTR n = 0;
                            const NTSTATUS s = h.Call(CmdTxSerialBytes, b, 5, 2, &n);
                            if (s == STATUS_SUCCESS) {
                                EXPECT_EQ(n, 2u);
                                EXPECT_EQ(Get16(b.data(), 0), 3);
                            }
                            return s;
                        },
                        BlockError},
                       {"GetSerialStatus",
                        [](const CameraHandle& h) {
                            std::vector<std::uint8_t> b(2, 0);
                            return h.Call(CmdGetSerialStatus, b, 0, 2);
                        },
                        BlockError}}});
    groups.push_back({"TipTilt",
                      {{"AOTipTilt",
                        [](const CameraHandle& h) {
                            std::vector<std::uint8_t> b(4, 0);
                            Put16(b.data(), 0, 0x0800);
                            Put16(b.data(), 2, 0x0800);
                            return h.Call(CmdAOTipTilt, b, 4, 0);
                        },
                        BlockError}}});
    return groups;
}

const std::vector<Group>& AllGroups(std::size_t model) {
    static const std::vector<Group> groups[kModelCount] = {Groups(kModels[0]), Groups(kModels[1]),
                                                           Groups(kModels[2]), Groups(kModels[3])};
    return groups[model];
}

struct Case {
    std::size_t model;
    Fault fault;
    std::size_t group;
};

std::vector<Case> Cases() {
    std::vector<Case> cases;
    for (std::size_t m = 0; m < kModelCount; ++m) {
        for (const sim::NamedFault& named : sim::kNamedFaults) {
            const Fault f = named.id;
            for (std::size_t g = 0; g < AllGroups(m).size(); ++g) {
                cases.push_back({m, f, g});
            }
        }
    }
    return cases;
}

class FaultMatrix : public ::testing::TestWithParam<Case> {
  protected:
    void TearDown() override { EXPECT_EQ(driver_.Shutdown(), 0u) << "pool blocks leaked"; }

    // Runs the group's steps; checks each status, its time and the idle
    // device afterwards.  Returns the virtual time the group took.
    std::uint64_t RunGroup(const Group& group, Fault fault, bool faulty) {
        const CameraHandle& h = driver_[0];
        const std::uint64_t start = platform::ClockNowNs();
        for (const Step& step : group.steps) {
            const std::uint64_t before = platform::ClockNowNs();
            const NTSTATUS status = step.run(h);
            const std::uint64_t took = platform::ClockNowNs() - before;
            const std::uint16_t expected = step.expected(faulty ? fault : Fault::None);
            EXPECT_EQ(status, ErrorStatus(expected))
                << step.what << (faulty ? " with the fault" : " before the fault");
            EXPECT_TRUE(h.Idle()) << step.what << ": a request is still pending";
            const std::uint16_t code = ErrorCodeOf(status);
            if (code >= ErrTxTimeout && code <= ErrBadLength) {
                // A failed exchange leaves the handshake register idle.
                EXPECT_EQ(h.camera()->Register(3), 0) << step.what;
            }
            if (code == ErrTxTimeout || code == ErrRxTimeout) {
                // Ended by the tick-count timeout, not by a count of polls.
                EXPECT_GE(took, kShortestTimeoutNs) << step.what;
            }
        }
        return platform::ClockNowNs() - start;
    }

    // Link, expose with the shutter open, skip a few rows and read a window:
    // every pixel as the pattern left it.
    // The model is identified afresh (a Siskin whose offset could not be
    // measured while the fault lasted was taken for a Finch).
    void LinkAndReadWindow(const Model& m) {
        const CameraHandle& h = driver_[0];
        std::uint16_t type = 0;
        ASSERT_EQ(h.Link(&type), STATUS_SUCCESS);
        ASSERT_EQ(type, m.type);
        std::vector<std::uint8_t> info;
        ASSERT_EQ(CcdInfo(h, 0, &info), STATUS_SUCCESS);
        ASSERT_STREQ(reinterpret_cast<const char*>(info.data() + rec::CcdInfoResult::Name), m.name);
        if (!m.single) {
            // The camera's own EEPROM, not the driver's default image.
            std::vector<std::uint8_t> ext;
            ASSERT_EQ(CcdInfo(h, 2, &ext), STATUS_SUCCESS);
            EXPECT_STREQ(reinterpret_cast<const char*>(ext.data() +
                                                       rec::CcdInfoExtResult::IdentificationText),
                         "GANNET");
        }
        // Egret lines are raw samples on the converter's offset; the others
        // are bias-corrected to the pedestal of 100.
        std::uint16_t pedestal = 100;
        if (m.type == 6) {
            ASSERT_EQ(h.Word(CmdReadOffset, 0, 2, &pedestal), STATUS_SUCCESS);
        }
        ASSERT_EQ(h.Expose(0), STATUS_SUCCESS);
        constexpr int kSkipped = 7, kLength = 24;
        const int kStart = m.single ? 9 : 40;
        ASSERT_EQ(h.Dump(0, 0, kSkipped), STATUS_SUCCESS);
        std::vector<std::uint16_t> pixels;
        for (int line = 0; line < 3; ++line) {
            ASSERT_EQ(h.Line(0, 0, kStart, kLength, &pixels), STATUS_SUCCESS) << line;
            for (int i = 0; i < kLength; ++i) {
                ASSERT_EQ(pixels[i], pedestal + test::PatternImaging(kSkipped + line, kStart + i))
                    << "line " << line << " pixel " << i;
            }
        }
        EXPECT_EQ(h.Word(CmdEndReadout, 0), STATUS_SUCCESS);
        EXPECT_TRUE(h.Idle());
    }

    BootedDriver driver_;
};

TEST_P(FaultMatrix, FailsWithinItsTimeoutAndRecovers) {
    const Case c = GetParam();
    const Model& model = kModels[c.model];
    const Group& group = AllGroups(c.model)[c.group];
    ASSERT_TRUE(driver_.Boot({Entry(c.fault, model)}));
    const CameraHandle& h = driver_[0];
    ASSERT_EQ(h.Link(), STATUS_SUCCESS);

    // The group on the healthy camera (a camera with a bad EEPROM counts as
    // healthy: the driver substitutes the image) sets the time to compare with.
    const std::uint64_t healthy = RunGroup(group, c.fault, false);
    ASSERT_FALSE(HasFailure());

    Apply(h.camera(), c.fault, true);
    const std::uint64_t faulty = RunGroup(group, c.fault, true);
    // No retries: at most one protocol timeout more per exchange that may
    // fail without ending its command (one for most commands).
    std::uint64_t timeouts = 0;
    for (const Step& step : group.steps) {
        timeouts += static_cast<std::uint64_t>(step.timeouts);
    }
    EXPECT_LE(faulty, healthy + timeouts * kOneTimeoutNs) << "healthy " << healthy << " ns";

    Apply(h.camera(), c.fault, false);
    LinkAndReadWindow(model);
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrix, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case>& p) {
                             return std::string(kModels[p.param.model].sim) +
                                    FaultName(p.param.fault) +
                                    AllGroups(p.param.model)[p.param.group].name;
                         });

}  // namespace

namespace {

// The cooler freeze that an imaging line makes (regulation 5) exchanges
// packets with the micro at the raised level of the readout: a silent micro
// must still time out there, on the kernel tick, and the line go on.
TEST(FreezeDuringReadout, SilentMicroTimesOutAtTheRaisedLevelAndTheLineIsRead) {
    BootedDriver driver;
    ASSERT_TRUE(driver.Boot({"sim:gannet?scene=pattern"}));
    const CameraHandle& h = driver[0];
    ASSERT_EQ(h.Link(), STATUS_SUCCESS);
    auto regulate = [&](std::uint16_t regulation, std::uint16_t setpoint) {
        std::vector<std::uint8_t> b(rec::TemperatureRegulationParams::kSize, 0);
        Put16(b.data(), rec::TemperatureRegulationParams::Regulation, regulation);
        Put16(b.data(), rec::TemperatureRegulationParams::Setpoint, setpoint);
        return h.Call(CmdSetTemperatureRegulation, b, 4, 0);
    };
    auto flags = [&](std::uint16_t* out) {
        std::vector<std::uint8_t> b(rec::TemperatureStatusResults::kSize, 0);
        const NTSTATUS s = h.Call(CmdQueryTemperatureStatus, b, 0, 10);
        *out = Get16(b.data(), rec::TemperatureStatusResults::RegulationFlags);
        return s;
    };
    ASSERT_EQ(regulate(1, 2000), STATUS_SUCCESS);
    ASSERT_EQ(regulate(5, 0), STATUS_SUCCESS);
    std::vector<std::uint16_t> pixels;
    std::uint16_t f = 0;

    // Healthy: the first line freezes the cooler.
    std::uint64_t start = platform::ClockNowNs();
    ASSERT_EQ(h.Line(0, 0, 10, 20, &pixels), STATUS_SUCCESS);
    const std::uint64_t healthy = platform::ClockNowNs() - start;
    ASSERT_EQ(flags(&f), STATUS_SUCCESS);
    EXPECT_EQ(f, 0x8001);
    ASSERT_EQ(h.Word(CmdEndReadout, 0), STATUS_SUCCESS);
    ASSERT_EQ(flags(&f), STATUS_SUCCESS);
    EXPECT_EQ(f, 0x0001);

    // Silent: the freeze times out inside the line, which is read anyway.
    h.camera()->SetMicroFault(MicroFault::Silent);
    start = platform::ClockNowNs();
    EXPECT_EQ(h.Line(0, 0, 10, 20, &pixels), STATUS_SUCCESS);
    const std::uint64_t faulty = platform::ClockNowNs() - start;
    EXPECT_GE(faulty, kShortestTimeoutNs);
    EXPECT_LE(faulty, healthy + kOneTimeoutNs);
    EXPECT_TRUE(h.Idle());
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    // Recovered: nothing was frozen, the next line freezes again.
    h.camera()->SetMicroFault(MicroFault::Ok);
    ASSERT_EQ(flags(&f), STATUS_SUCCESS);
    EXPECT_EQ(f, 0x0001);
    ASSERT_EQ(h.Line(0, 0, 10, 20, &pixels), STATUS_SUCCESS);
    ASSERT_EQ(flags(&f), STATUS_SUCCESS);
    EXPECT_EQ(f, 0x8001);
    EXPECT_EQ(h.Word(CmdEndReadout, 0), STATUS_SUCCESS);
    EXPECT_EQ(driver.Shutdown(), 0u);
}

}  // namespace
