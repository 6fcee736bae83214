// zeva capture: expose and write FITS files, one frame after another, through
// the client's capture sequence on a worker thread while this thread shows
// its progress and turns Ctrl-C into a cancel.
//
// Image orientation: lines are stored in readout order, the first line read
// (the top of the CCD as it is clocked out) in FITS row 1, element 0 of each
// line (the leftmost pixel of the window) in column 1; ROWORDER says TOP-DOWN.
#include "client/capture.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "client/plan.h"
#include "tools/zeva/fits.h"
#include "tools/zeva/preview.h"
#include "tools/zeva/tool.h"

namespace zeva::tool {

using namespace zeva::client;

namespace {

const char* const kMaxSecondsText = "167772.15";
// Window edges beyond any CCD, refused before they could wrap.
constexpr long long kMaxWindow = 0xFFFFFF;
// How often the progress line is redrawn and Ctrl-C looked at.
constexpr auto kProgressPeriod = std::chrono::milliseconds(20);

const char* kCaptureUsage =
    "usage: zeva capture [SECONDS] [options]\n"
    "  SECONDS             exposure time (default 0.1), 0.01 s steps\n"
    "  --ccd imaging|tracking\n"
    "  --bin N             binning 1, 2 or 3 (tracking: 1 or 2)\n"
    "  --mode M            readout mode 0-8 (overrides --bin)\n"
    "  --vfactor V         rows per line for modes 3-5 (default 1)\n"
    "  --window X,Y,W,H    subframe in unbinned pixels (floored to the binning)\n"
    "  --dark              dark frame (shutter closed)\n"
    "  --count N           take N frames, numbered files\n"
    "  -o PATH             output file (default zeva-NNNN.fits in this directory)\n"
    "  --quiet             no progress display\n"
    "  --progress          progress display even when not on a terminal\n"
    "  --png               also write a stretched PNG preview (PATH with .png)\n";

struct CaptureOptions {
    double seconds = 0.1;
    std::string secondsText = "0.1";  // as given, for messages
    unsigned ccd = 0;
    int bin = 1;
    int mode = -1;
    int vfactor = 1;
    bool window = false;
    long wx = 0, wy = 0, ww = 0, wh = 0;
    bool dark = false;
    long count = 1;
    std::string output;
    bool quiet = false;
    bool progress = false;  // show progress even when not on a terminal
    bool png = false;       // also write a PNG preview next to the FITS file
};

// "X,Y,W,H": four decimal numbers, each read whole into a 64-bit value (one
// too large for that is refused, never wrapped).
bool ParseWindow(const char* text, long long* x, long long* y, long long* w, long long* h) {
    long long* out[4] = {x, y, w, h};
    const char* p = text;
    const char* end = text + std::strlen(text);
    for (int i = 0; i < 4; ++i) {
        const auto [next, ec] = std::from_chars(p, end, *out[i]);
        if (ec != std::errc() || next == p)
            return false;
        p = next;
        if (i < 3) {
            if (p == end || *p != ',')
                return false;
            ++p;
        }
    }
    return p == end;
}

int ParseCapture(int argc, char** argv, CaptureOptions* o, bool* help) {
    bool haveTime = false;
    for (int i = 0; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const char* what) -> const char* {
            if (i + 1 >= argc)
                return nullptr;
            (void)what;
            return argv[++i];
        };
        long n = 0;
        if (a == "--help" || a == "-h") {
            *help = true;
            return 0;
        } else if (a == "--ccd") {
            const char* v = value("--ccd");
            if (!v)
                return Fail("capture: --ccd needs a value (imaging or tracking)");
            if (std::strcmp(v, "imaging") == 0)
                o->ccd = 0;
            else if (std::strcmp(v, "tracking") == 0)
                o->ccd = 1;
            else
                return Fail(std::string("capture: bad --ccd '") + v +
                            "' (valid: imaging, tracking)");
        } else if (a == "--bin" || a == "--mode" || a == "--vfactor" || a == "--count") {
            const char* v = value(a.c_str());
            if (!v || !ParseLong(v, &n))
                return Fail("capture: " + a + " needs a number");
            if (a == "--bin") {
                if (n < 1 || n > 3)
                    return Fail("capture: bad --bin " + std::to_string(n) + " (valid: 1, 2, 3)");
                o->bin = static_cast<int>(n);
            } else if (a == "--mode") {
                if (n < 0 || n > 8)
                    return Fail("capture: bad --mode " + std::to_string(n) + " (valid: 0 to 8)");
                o->mode = static_cast<int>(n);
            } else if (a == "--vfactor") {
                if (n < 1 || n > 255)
                    return Fail("capture: bad --vfactor " + std::to_string(n) +
                                " (valid: 1 to 255)");
                o->vfactor = static_cast<int>(n);
            } else {
                if (n < 1 || n > 9999)
                    return Fail("capture: bad --count " + std::to_string(n) +
                                " (valid: 1 to 9999)");
                o->count = n;
            }
        } else if (a == "--window") {
            const char* v = value("--window");
            long long x, y, w, h;
            if (!v || !ParseWindow(v, &x, &y, &w, &h) || x < 0 || y < 0 || w < 1 || h < 1 ||
                x > kMaxWindow || y > kMaxWindow || w > kMaxWindow || h > kMaxWindow)
                return Fail(std::string("capture: bad --window '") + (v ? v : "") +
                            "' (valid: X,Y,W,H in unbinned pixels, W and H at least 1)");
            o->window = true;
            o->wx = x, o->wy = y, o->ww = w, o->wh = h;
        } else if (a == "--dark") {
            o->dark = true;
        } else if (a == "--png") {
            o->png = true;
        } else if (a == "--progress") {
            o->progress = true;
        } else if (a == "--quiet" || a == "-q") {
            o->quiet = true;
        } else if (a == "-o" || a == "--output") {
            const char* v = value("-o");
            if (!v || !*v)
                return Fail("capture: -o needs a path");
            o->output = v;
        } else if (!a.empty() && a[0] != '-' && !haveTime) {
            double t;
            std::uint32_t units;
            std::string error;
            if (!ParseDouble(a.c_str(), &t))
                return Fail("capture: bad exposure time '" + a + "' (valid: 0 to " +
                            kMaxSecondsText + " seconds)");
            if (!ExposureUnits(t, 0, &units, &error))
                return Fail("capture: bad exposure time '" + a + "' (" + error + ")");
            o->seconds = t;
            o->secondsText = a;
            haveTime = true;
        } else if (double t; !a.empty() && a[0] == '-' && ParseDouble(a.c_str(), &t)) {
            return Fail("capture: bad exposure time '" + a + "' (valid: 0 to " + kMaxSecondsText +
                        " seconds)");
        } else {
            return Fail("capture: unknown option '" + a + "' (see zeva capture --help)");
        }
    }
    return 0;
}

std::string NumberedPath(const CaptureOptions& o, long index) {
    char num[32];
    if (o.output.empty()) {
        std::snprintf(num, sizeof num, "%04ld", index);
        return std::string("zeva-") + num + ".fits";
    }
    if (o.count == 1)
        return o.output;
    std::snprintf(num, sizeof num, "-%04ld", index);
    const std::size_t dot = o.output.rfind('.');
    const std::size_t slash = o.output.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return o.output + num;
    return o.output.substr(0, dot) + num + o.output.substr(dot);
}

// The preview's name: the image's with its extension replaced by .png.
std::string PreviewPath(const std::string& path) {
    const std::size_t dot = path.rfind('.');
    const std::size_t slash = path.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return path + ".png";
    return path.substr(0, dot) + ".png";
}

// Refuses, before anything is exposed, outputs that could not be written
// without harm: a name that is not a regular file, a preview that would
// take the image's own name.
int CheckOutputs(const CaptureOptions& o) {
    if (o.png && !o.output.empty() && PreviewPath(o.output) == o.output)
        return Fail("capture: the preview of '" + o.output +
                    "' would take the image's own name (valid: -o with another extension, "
                    "e.g. .fits)");
    if (o.output.empty() || o.count > 1)
        return 0;  // numbered names: only names nothing has yet
    if (std::string problem = OutputPathProblem(o.output); !problem.empty())
        return Fail("capture: -o " + o.output + ": " + problem + " (valid: a regular file)");
    if (o.png) {
        const std::string png = PreviewPath(o.output);
        if (std::string problem = OutputPathProblem(png); !problem.empty())
            return Fail("capture: preview " + png + ": " + problem + " (valid: a regular file)");
    }
    return 0;
}

// The readout plan of the options on the CCD of `ccd`.
int ResolvePlan(const CaptureOptions& o, const CcdInfo& ccd, ReadoutPlan* plan) {
    const unsigned maxMode = static_cast<unsigned>(ccd.modes.size());
    if (maxMode == 0)
        return Fail("capture: the camera reports no readout modes for this CCD");
    const unsigned mode =
        o.mode >= 0 ? static_cast<unsigned>(o.mode) : static_cast<unsigned>(o.bin - 1);
    if (mode >= maxMode) {
        if (o.mode >= 0)
            return Fail("capture: readout mode " + std::to_string(mode) +
                        " is not offered by this CCD (valid: 0 to " + std::to_string(maxMode - 1) +
                        ")");
        return Fail("capture: binning " + std::to_string(o.bin) +
                    " is not offered by this CCD (valid: 1 to " +
                    std::to_string(std::min(maxMode, 3u)) + ")");
    }
    std::string error;
    if (!PlanMode(ccd, o.ccd, mode, static_cast<unsigned>(o.vfactor), plan, &error))
        return Fail("capture: " + error);
    const Window window{static_cast<unsigned>(o.wx), static_cast<unsigned>(o.wy),
                        static_cast<unsigned>(o.ww), static_cast<unsigned>(o.wh)};
    if (o.window && !SetWindow(plan, window, WindowFit::Refuse, &error))
        return Fail("capture: " + error);
    return 0;
}

class Progress {
  public:
    explicit Progress(bool on) : on_(on) {}
    void Show(const char* fmt, double a, double b) {
        if (!on_)
            return;
        std::fprintf(stderr, "\r");
        std::fprintf(stderr, fmt, a, b);
        std::fprintf(stderr, "\033[K");
        std::fflush(stderr);
        shown_ = true;
    }
    void Done() {
        if (on_ && shown_)
            std::fprintf(stderr, "\r\033[K");
        shown_ = false;
    }

  private:
    bool on_;
    bool shown_ = false;
};

// After an interruption: what the camera's exposure status says now.
const char* StateAfterStop(Camera& cam, unsigned ccd) {
    std::uint16_t word = 0;
    if (!cam.QueryCommandStatus(1, &word).ok())
        return "camera state unknown";
    return ExposureStateOf(word, ccd) == 0 ? "camera idle" : "camera still exposing";
}

// Runs the sequence on a worker thread; shows its progress and cancels it on
// Ctrl-C.  Returns 0, 1 (error) or InterruptedExit(); the camera is left idle.
int RunCapture(Camera& cam, const CaptureRequest& request, Progress& progress, Frame* frame) {
    Capture capture(cam);
    CaptureResult result;
    std::atomic<bool> finished{false};
    std::thread worker([&] {
        result = capture.Run(request, frame);
        finished = true;
    });
    while (!finished) {
        if (gStop)
            capture.Cancel();
        const CaptureProgress p = capture.Progress();
        if (p.phase == CapturePhase::Exposing)
            progress.Show("exposing: %.1f s left of %.1f s", p.secondsLeft, p.seconds);
        else if (p.phase == CapturePhase::Reading && p.linesRead > 0)
            progress.Show("reading: line %.0f of %.0f", p.linesRead, p.lines);
        std::this_thread::sleep_for(kProgressPeriod);
    }
    worker.join();
    progress.Done();
    const unsigned ccd = request.plan.ccd;
    switch (result.outcome) {
        case CaptureOutcome::Completed:
            return 0;
        case CaptureOutcome::Failed:
            return Fail(result.error);
        case CaptureOutcome::Cancelled:
            break;
    }
    const char* ended = result.status.ok() ? "ended" : "not ended";
    if (result.phase == CapturePhase::Exposing)
        std::fprintf(stderr,
                     "zeva: interrupted during the exposure: exposure %s, %s; nothing written\n",
                     ended, StateAfterStop(cam, ccd));
    else if (result.phase == CapturePhase::Reading)
        std::fprintf(stderr,
                     "zeva: interrupted during the readout at line %u of %u: readout %s, %s; "
                     "nothing written\n",
                     result.linesRead + 1, request.plan.h, ended, StateAfterStop(cam, ccd));
    else
        std::fprintf(stderr, "zeva: interrupted; nothing written\n");
    return InterruptedExit();
}

// The header of `frame`: everything from the plan it was read with.
std::vector<FitsKey> HeaderOf(const Frame& frame, const CcdInfo& ccd, std::uint16_t cameraType,
                              const TemperatureStatus* temp) {
    const ReadoutPlan& p = frame.plan;
    std::vector<FitsKey> k;
    auto text = [&](const char* n, const std::string& v, const char* c) {
        k.push_back({FitsKey::Text, n, v, c});
    };
    auto integer = [&](const char* n, long long v, const char* c) {
        FitsKey key{FitsKey::Integer, n, "", c};
        key.integer = v;
        k.push_back(key);
    };
    auto real = [&](const char* n, double v, const char* c) {
        FitsKey key{FitsKey::Real, n, "", c};
        key.real = v;
        k.push_back(key);
    };
    const bool dark = frame.type == FrameType::Dark || frame.type == FrameType::Bias;
    double pixW = 0, pixH = 0;
    BinnedPixelSize(ccd, p, &pixW, &pixH);
    const Window origin = p.Unbinned();
    text("INSTRUME", ccd.name, "camera model");
    real("EXPTIME", frame.seconds, "exposure time [s]");
    if (dark)
        real("DARKTIME", frame.seconds, "dark time [s]");
    text("DATE-OBS", UtcIso(frame.start), "UTC start of the exposure");
    text("IMAGETYP", FrameTypeName(frame.type), "frame type");
    integer("XBINNING", p.hbin, "horizontal binning");
    integer("YBINNING", p.vbin, "vertical binning (CCD rows per line)");
    real("XPIXSZ", pixW, "binned pixel width [um]");
    real("YPIXSZ", pixH, "binned pixel height [um]");
    real("PIXSIZE1", BcdHundredths(ccd.modes[0].pixelWidth), "unbinned pixel width [um]");
    real("PIXSIZE2", BcdHundredths(ccd.modes[0].pixelHeight), "unbinned pixel height [um]");
    real("EGAIN", BcdHundredths(ccd.modes[p.mode].gain), "electrons per ADU");
    integer("XORGSUBF", origin.x, "subframe origin x [unbinned px]");
    integer("YORGSUBF", origin.y, "subframe origin y [unbinned px]");
    integer("READMODE", p.mode, "readout mode");
    if (p.mode >= 3 && p.mode <= 5)
        integer("VFACTOR", p.verticalFactor, "rows shifted per line");
    text("CCD", p.ccd == 0 ? "Imaging" : "Tracking", "CCD read");
    text("ROWORDER", "TOP-DOWN", "first line read is row 1");
    if (temp) {
        real("SET-TEMP", ReadingToCelsius(temp->setpoint), "cooler setpoint [C]");
        real("CCD-TEMP", ReadingToCelsius(temp->reading2), "cooler reading [C]");
        integer("COOLSET", temp->setpoint, "cooler setpoint, raw reading units");
        integer("COOLREAD", temp->reading2, "cooler reading, raw");
        integer("COOLPOWR", temp->power, "cooler drive power 0-255");
    }
    integer("PEDESTAL", PedestalOf(cameraType, p.ccd), "counts added by the driver to each pixel");
    return k;
}

// One frame into `path` (by way of PATH.part).  Returns 0, 1 (error) or
// InterruptedExit(); the camera is left idle.
int CaptureOne(Session& s, const CaptureOptions& o, const CcdInfo& ccd, const ReadoutPlan& plan,
               const std::string& path, Progress& progress, Frame* frame) {
    TemperatureStatus temp;
    const bool haveTemp = s.camera.QueryTemperatureStatus(&temp).ok();
    const CaptureRequest request{plan, o.dark ? FrameType::Dark : FrameType::Light, o.seconds};
    if (int rc = RunCapture(s.camera, request, progress, frame))
        return rc;
    const Frame& f = *frame;
    const std::string partial = path + ".part";
    std::string err = WriteFits(partial, f.plan.w, f.plan.h, f.pixels,
                                HeaderOf(f, ccd, s.type, haveTemp ? &temp : nullptr));
    if (!err.empty()) {
        std::remove(partial.c_str());
        return Fail("writing " + path + ": " + err);
    }
    if (gStop) {
        std::remove(partial.c_str());
        std::fprintf(stderr, "zeva: interrupted; nothing written\n");
        return InterruptedExit();
    }
    if (std::string problem = OutputPathProblem(path); !problem.empty()) {
        std::remove(partial.c_str());
        return Fail("writing " + path + ": it " + problem);
    }
    if (std::rename(partial.c_str(), path.c_str()) != 0) {
        std::remove(partial.c_str());
        return Fail("writing " + path + ": " + std::strerror(errno));
    }
    if (o.png) {
        const std::string png = PreviewPath(path);
        if (std::string problem = OutputPathProblem(png); !problem.empty())
            return Fail("writing the preview: " + png + " " + problem);
        err = WritePreviewPng(png, f.plan.w, f.plan.h, f.pixels);
        if (!err.empty())
            return Fail("writing the preview: " + err);
        if (!o.quiet)
            std::printf("wrote preview %s\n", png.c_str());
    }
    return 0;
}

}  // namespace

int CmdCapture(const Global& g, int argc, char** argv) {
    CaptureOptions o;
    bool help = false;
    if (int rc = ParseCapture(argc, argv, &o, &help))
        return rc;
    if (help) {
        std::fputs(kCaptureUsage, stdout);
        return 0;
    }
    if (int rc = CheckOutputs(o))
        return rc;
    std::uint32_t units = 0;
    std::string error;
    if (!ExposureUnits(o.seconds, o.ccd, &units, &error))
        return Fail("capture: bad exposure time '" + o.secondsText + "' (" + error + ")");
    Session s;
    if (int rc = OpenSession(g, &s))
        return rc;
    if (o.ccd == 1 && !HasTrackingCcd(s.type))
        return Fail("capture: this camera has no tracking CCD (valid: --ccd imaging)");
    CcdInfo ccd;
    Status st = s.camera.GetCCDInfo(static_cast<std::uint16_t>(o.ccd), &ccd);
    if (!st.ok())
        return FailStatus("reading the CCD information", st);
    ReadoutPlan plan;
    if (int rc = ResolvePlan(o, ccd, &plan))
        return rc;
    Progress progress(!o.quiet && (o.progress || isatty(STDERR_FILENO)));
    long next = 1;
    for (long i = 0; i < o.count; ++i) {
        std::string path;
        if (o.output.empty() || o.count > 1) {
            // Never overwrite an earlier frame of the counter.
            for (;; ++next) {
                path = NumberedPath(o, next);
                if (access(path.c_str(), F_OK) != 0)
                    break;
            }
            ++next;
        } else {
            path = o.output;
        }
        Frame frame;
        if (int rc = CaptureOne(s, o, ccd, plan, path, progress, &frame))
            return rc;
        if (!o.quiet)
            std::printf("wrote %s (%u x %u, %s, %.2f s)\n", path.c_str(), frame.plan.w,
                        frame.plan.h, o.dark ? "dark" : "light", frame.seconds);
    }
    return 0;
}

}  // namespace zeva::tool
