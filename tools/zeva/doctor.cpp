// zeva doctor: the report, the camera's steps through the client (port
// sanity, link and identification, CCD, cooler, a dark window, the cost of
// a port access) and the subcommand.
#include "tools/zeva/doctor.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <span>

#include "client/capture.h"
#include "client/explain.h"
#include "client/fits_keys.h"
#include "client/plan.h"
#include "common/commands.h"

namespace zeva::tool {

using namespace zeva::client;

const char* const kDoctorUsage =
    "usage: zeva doctor\n"
    "  checks, in order, what a camera on this port needs and prints one line per step:\n"
    "  kernel modules and ports, device node, permissions, other holders of the port,\n"
    "  real-time priority and memory locking (real ports only); the port's registers;\n"
    "  the camera's link and identification, CCD, cooler, a short dark window; the cost\n"
    "  of one port access and the full-frame readout time that follows.\n"
    "  Stops at the first problem that keeps the camera from working.\n"
    "  exit status: 0 ready, 1 stopped at a problem, 2 works with warnings\n";

void DoctorReport::Ok(const std::string& step, const std::string& detail) {
    std::fprintf(out_, "ok       %s: %s\n", step.c_str(), detail.c_str());
}

void DoctorReport::Warn(const std::string& step, const std::string& problem,
                        const std::string& fix) {
    ++warnings_;
    std::fprintf(out_, "warning  %s: %s\n         fix: %s\n", step.c_str(), problem.c_str(),
                 fix.c_str());
}

void DoctorReport::Block(const std::string& step, const std::string& problem,
                         const std::string& fix) {
    blocked_ = true;
    verdict_ = step + ": " + problem;
    std::fprintf(out_, "PROBLEM  %s: %s\n         fix: %s\n", step.c_str(), problem.c_str(),
                 fix.c_str());
}

int DoctorReport::Finish() {
    if (blocked_) {
        std::fprintf(out_, "verdict: not ready: %s\n", verdict_.c_str());
        return kDoctorBlocked;
    }
    if (warnings_ > 0) {
        std::fprintf(out_, "verdict: the camera works; %u warning%s above\n", warnings_,
                     warnings_ == 1 ? "" : "s");
        return kDoctorWarnings;
    }
    std::fprintf(out_, "verdict: ready\n");
    return kDoctorReady;
}

namespace {

constexpr unsigned kStatusReads = 16;               // reads that decide whether the lines float
constexpr unsigned kTimedAccesses = 400;            // raw accesses per timing batch
constexpr unsigned kTimingBatches = 5;              // the fastest batch counts
constexpr unsigned kWindowLines = 8;                // lines of the dark window and of the timing
constexpr double kDarkSeconds = 0.01;               // the camera's shortest exposure
constexpr std::uint32_t kPlanFailed = 0xFFFFFFFEu;  // a status for a window not planned
constexpr std::uint8_t kDataStrobe = 0x80;          // data bit 7 latches camera registers
constexpr std::uint8_t kControlDataIn = 0x20;       // control bit 5: the data lines are inputs

std::string Hex2(unsigned v) {
    char t[8];
    std::snprintf(t, sizeof t, "0x%02X", v);
    return t;
}

std::string Fixed(double v, int digits) {
    char t[48];
    std::snprintf(t, sizeof t, "%.*f", digits, v);
    return t;
}

// What a failed camera command means at the bench: the client's table.
std::string Meaning(const Status& st) {
    return Explain(st);
}

std::string FixFor(const Status& st) {
    switch (st.code()) {
        case 18:
            return "this camera's model is not supported by this software; the cable and "
                   "power are fine";
        case 7:
            return "check the cable (a straight-through DB-25, no printer switch) and the "
                   "camera's power; power-cycle the camera";
        case 8:
            return "power-cycle the camera; if it persists, the camera's controller is faulty";
        case 9:
        case 10:
        case 11:
        case 12:
            return "use a shorter cable, keep it away from power cords; make sure no other "
                   "program drives the port";
        case 13:
            return "power-cycle the camera; if it persists, its digitizer needs service";
        case 17:
            return "check the shutter (nothing blocking it); power-cycle the camera";
        default:
            return "run zeva doctor again; if it persists, report this line";
    }
}

bool PortByte(Camera& cam, std::uint16_t cmd, std::uint8_t* value) {
    return cam.Command(cmd, nullptr, value).ok();
}

bool PortWrite(Camera& cam, std::uint16_t cmd, std::uint8_t value) {
    return cam.Command(cmd, &value, nullptr).ok();
}

// The port's registers, without disturbing a camera: data bit 7 (the
// strobe that latches camera registers) keeps its level, so nothing latches.
void CheckPort(Camera& cam, DoctorReport& report) {
    std::uint8_t data = 0, control = 0, back = 0;
    if (!PortByte(cam, CmdPortReadData, &data) || !PortByte(cam, CmdPortReadControl, &control))
        return report.Block("port registers", "the driver cannot reach the port's registers",
                            "run zeva doctor again; if it persists, report this line");
    // A port left with its data lines as inputs (by another program, say)
    // gets them driven again, as the driver does when it links.
    const bool wasInput = (control & kControlDataIn) != 0;
    if (wasInput &&
        !PortWrite(cam, CmdPortWriteControl, static_cast<std::uint8_t>(control & ~kControlDataIn)))
        return report.Block("port registers", "the driver cannot reach the port's registers",
                            "run zeva doctor again; if it persists, report this line");
    for (std::uint8_t pattern : {0x55, 0x2A, 0x7F, 0x00}) {
        const std::uint8_t v = static_cast<std::uint8_t>((data & kDataStrobe) | pattern);
        if (!PortWrite(cam, CmdPortWriteData, v) || !PortByte(cam, CmdPortReadData, &back) ||
            back != v) {
            PortWrite(cam, CmdPortWriteData, data);
            return report.Block("port registers",
                                "the data register does not read back what was written (" +
                                    Hex2(v) + " read as " + Hex2(back) +
                                    "): no port at this address, or the port is not in a "
                                    "standard mode",
                                "check the port's address (zeva doctor lists the kernel's "
                                "ports) and set the port to SPP or bidirectional in the BIOS");
        }
    }
    PortWrite(cam, CmdPortWriteData, data);
    std::uint8_t status = 0;
    bool floating = true;
    for (unsigned i = 0; i < kStatusReads; ++i) {
        if (!PortByte(cam, CmdPortReadStatus, &status))
            return report.Block("port registers", "the driver cannot reach the port's registers",
                                "run zeva doctor again; if it persists, report this line");
        if (status != 0x7F && status != 0xFF)
            floating = false;
    }
    if (floating)
        return report.Block("port registers",
                            "the status lines float (" + Hex2(status) +
                                " on every read): nothing is connected, or the camera is off",
                            "connect the camera, switch it on, check the cable");
    report.Ok("port registers",
              std::string("data register reads back") +
                  (wasInput ? " (its lines were set as inputs: now driven)" : "") +
                  ", status lines driven (" + Hex2(status) + ")");
}

// The fastest of a few batches of `count` raw commands, in ns per command.
double TimeCommand(Camera& cam, std::uint16_t command) {
    double best = 0;
    for (unsigned b = 0; b < kTimingBatches; ++b) {
        std::uint8_t in[2] = {}, out[2] = {};
        const std::uint64_t start = NowNs();
        for (unsigned i = 0; i < kTimedAccesses; ++i) cam.Command(command, in, out);
        const double each = static_cast<double>(NowNs() - start) / kTimedAccesses;
        best = b == 0 ? each : std::min(best, each);
    }
    return best;
}

// A dark window of full-width lines across the middle of the CCD, through
// the client's capture sequence: its mean and noise.
Status ReadDarkWindow(Camera& cam, const CcdInfo& ccd, double* mean, double* noise,
                      std::string* error) {
    CaptureRequest req;
    req.type = FrameType::Dark;
    req.seconds = kDarkSeconds;
    const ReadoutModeInfo& full = ccd.modes[0];
    const unsigned lines = std::min<unsigned>(kWindowLines, full.height);
    if (!PlanMode(ccd, 0, 0, 1, &req.plan, error) ||
        !SetWindow(&req.plan, Window{0, (full.height - lines) / 2, full.width, lines},
                   WindowFit::Refuse, error))
        return Status(kPlanFailed);
    Frame frame;
    const CaptureResult result = Capture(cam).Run(req, &frame);
    if (!result.ok()) {
        *error = result.error;
        return result.status.ok() ? Status(kPlanFailed) : result.status;
    }
    double sum = 0, squares = 0;
    for (std::uint16_t p : frame.pixels) sum += p;
    const double n = static_cast<double>(frame.pixels.size());
    *mean = sum / n;
    for (std::uint16_t p : frame.pixels) squares += (p - *mean) * (p - *mean);
    *noise = std::sqrt(squares / n);
    return Status();
}

// Full-width lines read one after the other as a frame reads them: the
// first (it waits for the amplifier supply to settle) and the mean of the
// others, in ns.
Status TimeLines(Camera& cam, const ReadoutModeInfo& full, double* firstNs, double* lineNs) {
    std::vector<std::uint16_t> pixels(full.width);
    const LineRequest line{0, 0, 1, 0, full.width};
    const unsigned lines = std::min<unsigned>(kWindowLines, full.height);
    Status st;
    std::uint64_t start = NowNs(), first = 0;
    for (unsigned r = 0; st.ok() && r < lines; ++r) {
        st = cam.ReadoutLine(line, pixels);
        if (r == 0) {
            first = NowNs() - start;
            start = NowNs();
        }
    }
    const std::uint64_t rest = NowNs() - start;
    const Status ended = cam.EndReadout(0);
    if (!st.ok())
        return st;
    *firstNs = static_cast<double>(first);
    *lineNs = lines > 1 ? static_cast<double>(rest) / (lines - 1) : *firstNs;
    return ended;
}

std::string Seconds(double ns) {
    const double s = ns / 1e9;
    return s < 10 ? Fixed(s, 1) + " s" : Fixed(s, 0) + " s";
}

void CheckCamera(const DoctorSetup& setup, DoctorReport& report) {
    Driver driver;
    Status st = driver.Open(setup.library);
    Camera cam;
    if (st.ok())
        st = cam.Open(setup.port);
    if (!st.ok()) {
        // A refused entry or a port that could not be opened keeps the
        // system from starting; its reason says what to do.
        const std::string why = SystemStartError();
        if (!why.empty())
            return report.Block("port", why, "do as the message says, then run zeva doctor again");
        return report.Block("port", Explain(st),
                            "close any other program that uses the camera (the port is held "
                            "exclusively)");
    }
    report.Ok("port", "opened " + setup.entry);
    CheckPort(cam, report);
    if (report.blocked())
        return;

    std::uint16_t type = 0;
    st = cam.EstablishLink(&type);
    if (!st.ok())
        return report.Block("link", Meaning(st), FixFor(st));
    CcdInfo ccd;
    st = cam.GetCCDInfo(0, &ccd);
    if (!st.ok() || ccd.modes.empty())
        return report.Block("identification",
                            st.ok() ? "the camera reports no readout modes" : Meaning(st),
                            FixFor(st));
    report.Ok("link", ccd.name + " (type " + std::to_string(type) + "), firmware " +
                          std::to_string(ccd.firmwareVersion));
    if (!IsSingleCcd(type)) {
        EepromInfo eeprom;
        st = cam.GetEepromInfo(&eeprom);
        if (!st.ok())
            return report.Block("EEPROM", Meaning(st), FixFor(st));
        // The driver puts its default image (identification "-") in place of
        // an EEPROM whose checksum or version byte is wrong.
        if (IsDefaultEepromImage(eeprom))
            report.Warn("EEPROM",
                        std::string(kEepromFailedWarning) + " (taken as " + ccd.name + ")",
                        "have the camera's EEPROM reprogrammed; until then check the model "
                        "against the label on the camera");
        else
            report.Ok("EEPROM", "checksum good, id '" + eeprom.identification + "'");
    }
    const ReadoutModeInfo& full = ccd.modes[0];
    report.Ok("CCD", std::to_string(full.width) + " x " + std::to_string(full.height) +
                         " pixels of " + Fixed(BcdHundredths(full.pixelWidth), 2) + " x " +
                         Fixed(BcdHundredths(full.pixelHeight), 2) + " um, " +
                         std::to_string(ccd.modes.size()) + " readout modes");
    TemperatureStatus t;
    st = cam.QueryTemperatureStatus(&t);
    if (!st.ok())
        return report.Block("cooler", Meaning(st), FixFor(st));
    report.Ok("cooler", Fixed(ReadingToCelsius(t.reading2), 1) + " C (reading " +
                            std::to_string(t.reading2) + "), regulation " +
                            ((t.regulationFlags & 1) ? "on" : "off") + ", power " +
                            Fixed(CoolerPowerPercent(t.power), 0) + "%");
    if (HasGuideRelays(type))
        report.Ok("guiding", "four guide relays, the pulse output and the tip-tilt port");
    else
        report.Ok("guiding",
                  "this camera has no guide relays: guide through the mount (pulse guiding in "
                  "the mount's driver, or a guide camera's relays)");

    double mean = 0, noise = 0;
    std::string why;
    st = ReadDarkWindow(cam, ccd, &mean, &noise, &why);
    if (!st.ok())
        return report.Block("dark window", st.raw() == kPlanFailed ? why : Meaning(st), FixFor(st));
    const unsigned lines = std::min<unsigned>(kWindowLines, full.height);
    if (noise == 0)
        report.Warn("dark window",
                    std::to_string(lines) + " full-width lines all read " + Fixed(mean, 0) +
                        ": the digitizer returns a constant",
                    "power-cycle the camera; if it persists, its digitizer needs service");
    else
        report.Ok("dark window", std::to_string(lines) + " full-width lines: mean " +
                                     Fixed(mean, 1) + " ADU, noise " + Fixed(noise, 1) + " ADU");

    double firstNs = 0, lineNs = 0;
    st = TimeLines(cam, full, &firstNs, &lineNs);
    if (!st.ok())
        return report.Block("speed", Meaning(st), FixFor(st));
    const double access =
        TimeCommand(cam, CmdPortReadStatus) - TimeCommand(cam, CmdPortNoOperation);
    const double frameNs = firstNs + lineNs * (full.height - 1);
    // Below 0.1 us the difference drowns in the requests' own cost.
    const std::string cost = access >= 100 ? Fixed(access / 1000.0, 2) + " us"
                                           : "below 0.1 us (too fast to time one by one)";
    report.Ok("speed", "one port access " + cost + "; a full frame (" + std::to_string(full.width) +
                           " x " + std::to_string(full.height) + ") reads out in about " +
                           Seconds(frameNs));
}

}  // namespace

int RunDoctor(const DoctorSetup& setup, DoctorHost& host, std::FILE* out) {
    DoctorReport report(out);
    std::fprintf(out, "zeva doctor: port %u, %s\n", setup.port,
                 setup.entry.empty() ? "not configured" : setup.entry.c_str());
    if (setup.entry.empty()) {
        report.Block("port",
                     "no port " + std::to_string(setup.port) + " in the port list (ZEVA_PORTS)",
                     "name the camera's port: zeva --port /dev/parport0 doctor, or add its entry "
                     "to ZEVA_PORTS");
        return report.Finish();
    }
    if (setup.entry.rfind("sim:", 0) == 0)
        report.Ok("machine", "simulated camera: no kernel or port checks");
    else
        CheckSystem(setup.entry, host, report);
    if (!report.blocked())
        CheckCamera(setup, report);
    return report.Finish();
}

int DoctorCommand(const DoctorSetup& setup, int argc, char** argv) {
    if (argc > 0) {
        if (std::strcmp(argv[0], "--help") == 0 || std::strcmp(argv[0], "-h") == 0) {
            std::fputs(kDoctorUsage, stdout);
            return 0;
        }
        // Not 2: doctor's 2 means "works with warnings".
        std::fprintf(stderr, "zeva: doctor: unexpected argument '%s'\n", argv[0]);
        return 1;
    }
    const int rc = RunDoctor(setup, RealDoctorHost(), stdout);
    std::fflush(stdout);
    return rc;
}

}  // namespace zeva::tool
