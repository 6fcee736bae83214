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
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "client/plan.h"
#include "tools/zeva/fits.h"
#include "tools/zeva/header.h"
#include "tools/zeva/output.h"
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
    "  SECONDS             exposure time (default 0.1), 0.01 s steps; none for a bias\n"
    "  --ccd imaging|tracking\n"
    "  --bin N             binning 1, 2 or 3 (tracking: 1 or 2)\n"
    "  --mode M            readout mode 0-8 (overrides --bin)\n"
    "  --vfactor V         rows per line, with --mode 3, 4 or 5 only (default 1)\n"
    "  --window X,Y,W,H    subframe in unbinned pixels (floored to the binning)\n"
    "  --type T            light (default), dark or bias (shutter closed), flat (open)\n"
    "  --dark              the same as --type dark\n"
    "  --header KEY=VALUE  add a FITS key (OBJECT, TELESCOP, FILTER, FOCALLEN, ...);\n"
    "                      repeatable; 'quoted' values stay text\n"
    "  --count N           take N frames, numbered files (never over an existing one)\n"
    "  -o PATH             output file (default zeva-NNNN.fits in this directory)\n"
    "  --force             replace an existing -o PATH (and its preview)\n"
    "  --quiet             no progress display\n"
    "  --progress          progress display even when not on a terminal (plain lines)\n"
    "  --png               also write a stretched PNG preview (PATH with .png)\n";

struct CaptureOptions {
    double seconds = 0.1;
    std::string secondsText = "0.1";  // as given, for messages
    unsigned ccd = 0;
    int bin = 1;
    int mode = -1;
    int vfactor = 1;
    bool vfactorGiven = false;
    bool window = false;
    long wx = 0, wy = 0, ww = 0, wh = 0;
    FrameType type = FrameType::Light;
    bool typeGiven = false;
    bool timeGiven = false;
    std::vector<FitsKey> header;  // --header, in the order given
    long count = 1;
    std::string output;
    bool force = false;
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

// The frame types by the names --type takes.
const struct {
    const char* name;
    FrameType type;
} kFrameTypes[] = {{"light", FrameType::Light},
                   {"dark", FrameType::Dark},
                   {"bias", FrameType::Bias},
                   {"flat", FrameType::Flat}};

// The frame type named `text`; false for another word.
bool ParseFrameType(const std::string& text, FrameType* type) {
    for (const auto& t : kFrameTypes)
        if (text == t.name) {
            *type = t.type;
            return true;
        }
    return false;
}

const char* FrameTypeWord(FrameType type) {
    for (const auto& t : kFrameTypes)
        if (type == t.type)
            return t.name;
    return "light";
}

// Sets the frame type, refusing a second one that differs.
int SetFrameType(CaptureOptions* o, FrameType type) {
    if (o->typeGiven && o->type != type)
        return Usage(std::string("capture: two frame types given (") + FrameTypeName(o->type) +
                     ", " + FrameTypeName(type) + "); give one");
    o->type = type;
    o->typeGiven = true;
    return 0;
}

// A number option's value in [low, high].
int NumberOption(const std::string& name, const char* v, long low, long high, long* n) {
    if (!v || !ParseLong(v, n))
        return Usage("capture: " + name + " needs a number");
    if (*n < low || *n > high)
        return Usage("capture: bad " + name + " " + std::to_string(*n) +
                     " (valid: " + std::to_string(low) + " to " + std::to_string(high) + ")");
    return 0;
}

int ParseCapture(int argc, char** argv, CaptureOptions* o, bool* help) {
    for (int i = 0; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        long n = 0;
        int rc = 0;
        if (a == "--help" || a == "-h") {
            *help = true;
            return 0;
        } else if (a == "--ccd") {
            ++i;
            if (!v)
                return Usage("capture: --ccd needs a value (imaging or tracking)");
            if (std::strcmp(v, "imaging") != 0 && std::strcmp(v, "tracking") != 0)
                return Usage(std::string("capture: bad --ccd '") + v +
                             "' (valid: imaging, tracking)");
            o->ccd = std::strcmp(v, "tracking") == 0 ? 1 : 0;
        } else if (a == "--bin") {
            ++i;
            if ((rc = NumberOption(a, v, 1, 3, &n)))
                return rc;
            o->bin = static_cast<int>(n);
        } else if (a == "--mode") {
            ++i;
            if ((rc = NumberOption(a, v, 0, 8, &n)))
                return rc;
            o->mode = static_cast<int>(n);
        } else if (a == "--vfactor") {
            ++i;
            if ((rc = NumberOption(a, v, 1, 255, &n)))
                return rc;
            o->vfactor = static_cast<int>(n);
            o->vfactorGiven = true;
        } else if (a == "--count") {
            ++i;
            if ((rc = NumberOption(a, v, 1, 9999, &n)))
                return rc;
            o->count = n;
        } else if (a == "--window") {
            ++i;
            long long x, y, w, h;
            if (!v || !ParseWindow(v, &x, &y, &w, &h) || x < 0 || y < 0 || w < 1 || h < 1 ||
                x > kMaxWindow || y > kMaxWindow || w > kMaxWindow || h > kMaxWindow)
                return Usage(std::string("capture: bad --window '") + (v ? v : "") +
                             "' (valid: X,Y,W,H in unbinned pixels, W and H at least 1)");
            o->window = true;
            o->wx = x, o->wy = y, o->ww = w, o->wh = h;
        } else if (a == "--type") {
            ++i;
            FrameType t;
            if (!v || !ParseFrameType(v, &t))
                return Usage(std::string("capture: bad --type '") + (v ? v : "") +
                             "' (valid: light, dark, bias, flat)");
            if ((rc = SetFrameType(o, t)))
                return rc;
        } else if (a == "--dark") {
            if ((rc = SetFrameType(o, FrameType::Dark)))
                return rc;
        } else if (a == "--header") {
            ++i;
            FitsKey key;
            std::string error;
            if (!v || !ParseUserKey(v, &key, &error))
                return Usage(std::string("capture: bad --header '") + (v ? v : "") +
                             "': " + (v ? error : "expected KEY=VALUE"));
            o->header.push_back(key);
        } else if (a == "--png") {
            o->png = true;
        } else if (a == "--force") {
            o->force = true;
        } else if (a == "--progress") {
            o->progress = true;
        } else if (a == "--quiet" || a == "-q") {
            o->quiet = true;
        } else if (a == "-o" || a == "--output") {
            ++i;
            if (!v || !*v)
                return Usage("capture: -o needs a path");
            o->output = v;
        } else if (double t;
                   !a.empty() && (a[0] != '-' || ParseDouble(a.c_str(), &t)) && !o->timeGiven) {
            std::uint32_t units;
            std::string error;
            if (!ParseDouble(a.c_str(), &t))
                return Usage("capture: bad exposure time '" + a + "' (valid: 0 to " +
                             kMaxSecondsText + " seconds)");
            if (!ExposureUnits(t, 0, &units, &error))
                return Usage("capture: bad exposure time '" + a + "' (" + error + ")");
            o->seconds = t;
            o->secondsText = a;
            o->timeGiven = true;
        } else {
            return Usage("capture: unknown option '" + a + "' (see zeva capture --help)");
        }
    }
    if (o->vfactorGiven && (o->mode < 3 || o->mode > 5))
        return Usage("capture: --vfactor is used only with --mode 3, 4 or 5 (rows per line)");
    if (o->type == FrameType::Bias && o->timeGiven)
        return Usage("capture: a bias frame has no exposure time (drop '" + o->secondsText + "')");
    if (o->type == FrameType::Bias)
        o->seconds = 0;
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
// without harm: a directory that is not there, a name that is not a regular
// file or is one and --force is not given, a preview that would take the
// image's own name.
int CheckOutputs(const CaptureOptions& o) {
    if (o.png && !o.output.empty() && PreviewPath(o.output) == o.output)
        return Usage("capture: the preview of '" + o.output +
                     "' would take the image's own name (valid: -o with another extension, "
                     "e.g. .fits)");
    if (o.output.empty() || o.count > 1) {
        // Numbered names: only names nothing has yet, in the directory given.
        const std::string first = NumberedPath(o, 1);
        if (std::string problem = DirectoryProblem(first); !problem.empty())
            return Fail("capture: -o " + o.output + ": " + problem);
        return 0;
    }
    if (std::string problem = OutputPathProblem(o.output, o.force); !problem.empty())
        return Fail("capture: -o " + o.output + ": " + problem);
    if (o.png) {
        const std::string png = PreviewPath(o.output);
        if (std::string problem = OutputPathProblem(png, o.force); !problem.empty())
            return Fail("capture: preview " + png + ": " + problem);
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

// The progress display: one line redrawn in place on a terminal; plain
// lines for a log, one when the phase changes and at most one a second.
class Progress {
  public:
    Progress(bool on, bool terminal) : on_(on), terminal_(terminal) {}
    void Show(const std::string& text, bool newPhase) {
        if (!on_ || text == last_)
            return;
        const auto now = std::chrono::steady_clock::now();
        if (terminal_) {
            std::fprintf(stderr, "\r%s\033[K", text.c_str());
        } else {
            if (!newPhase && now - lastLine_ < std::chrono::seconds(1))
                return;
            std::fprintf(stderr, "%s\n", text.c_str());
            lastLine_ = now;
        }
        std::fflush(stderr);
        last_ = text;
        shown_ = true;
    }
    void Done() {
        if (on_ && shown_ && terminal_)
            std::fprintf(stderr, "\r\033[K");
        shown_ = false;
        last_.clear();
    }

  private:
    bool on_, terminal_;
    bool shown_ = false;
    std::string last_;
    std::chrono::steady_clock::time_point lastLine_;
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
    // The countdown runs on the system's clock from the moment the exposure
    // is seen to start; once it is over the camera still has to say so.
    CapturePhase shown = CapturePhase::Idle;
    std::uint64_t exposureStartNs = 0;
    bool waited = false;
    char text[96];
    while (!finished) {
        if (gStop)
            capture.Cancel();
        const CaptureProgress p = capture.Progress();
        const bool newPhase = p.phase != shown;
        if (p.phase == CapturePhase::Exposing) {
            if (newPhase)
                exposureStartNs = NowNs();
            const double left = p.seconds - static_cast<double>(NowNs() - exposureStartNs) / 1e9;
            const bool waiting = left < 0.05;
            if (!waiting)
                std::snprintf(text, sizeof text, "exposing: %.1f s left of %.1f s", left,
                              p.seconds);
            else
                std::snprintf(text, sizeof text, "exposing: %.1f s done, waiting for the camera",
                              p.seconds);
            progress.Show(text, newPhase || (waiting && !waited));
            waited = waiting;
            shown = p.phase;
        } else if (p.phase == CapturePhase::Reading && p.linesRead > 0) {
            std::snprintf(text, sizeof text, "reading: line %u of %u", p.linesRead, p.lines);
            progress.Show(text, newPhase);
            shown = p.phase;
        }
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

// Writes `bytes` or the preview of `frame` under a temporary name and gives
// it `path`: over an existing file only with --force; for a numbered name
// taken meanwhile, *taken is set and nothing is written.
std::string WriteOutput(const std::string& path, bool replace, const std::vector<char>* bytes,
                        const Frame* preview, bool* taken) {
    if (taken)
        *taken = false;
    PendingFile out;
    if (std::string err = out.Create(path); !err.empty())
        return "cannot create a temporary file beside it: " + err;
    if (bytes && std::fwrite(bytes->data(), 1, bytes->size(), out.file()) != bytes->size())
        return std::strerror(errno);
    if (preview) {
        const ReadoutPlan& p = preview->plan;
        if (std::string err = WritePreviewPng(out.file(), p.w, p.h, preview->pixels); !err.empty())
            return err;
    }
    return out.Publish(path, replace, taken);
}

// One frame into `*path` (for a numbered name, the next free one if another
// program took it meanwhile) and, with --png, its preview.  Returns 0, 1
// (error) or InterruptedExit(); the camera is left idle.
int CaptureOne(Session& s, const CaptureOptions& o, const CcdInfo& ccd, const ReadoutPlan& plan,
               std::string* path, long* next, Progress& progress, Frame* frame) {
    TemperatureStatus temp;
    const bool haveTemp = s.camera.QueryTemperatureStatus(&temp).ok();
    const CaptureRequest request{plan, o.type, o.seconds};
    if (int rc = RunCapture(s.camera, request, progress, frame))
        return rc;
    const Frame& f = *frame;
    std::vector<char> bytes;
    std::string err =
        FitsBytes(f.plan.w, f.plan.h, f.pixels,
                  HeaderOf(f, ccd, s.type, haveTemp ? &temp : nullptr, o.header), &bytes);
    if (!err.empty())
        return Fail("writing " + *path + ": " + err);
    if (gStop) {
        std::fprintf(stderr, "zeva: interrupted; nothing written\n");
        return InterruptedExit();
    }
    const bool numbered = o.output.empty() || o.count > 1;
    for (bool taken = true; taken;) {
        err = WriteOutput(*path, o.force && !numbered, &bytes, nullptr, &taken);
        if (taken && numbered)
            *path = NumberedPath(o, (*next)++);
        else if (!err.empty())
            return Fail("writing " + *path + ": " + err);
    }
    if (!o.quiet)
        std::printf("wrote %s (%u x %u, %s, %.2f s)\n", path->c_str(), f.plan.w, f.plan.h,
                    FrameTypeWord(f.type), f.seconds);
    if (o.png) {
        const std::string png = PreviewPath(*path);
        err = WriteOutput(png, o.force && !numbered, nullptr, &f, nullptr);
        if (!err.empty())
            return Fail("writing the preview " + png + ": " + err);
        if (!o.quiet)
            std::printf("wrote preview %s\n", png.c_str());
    }
    std::fflush(stdout);
    return 0;
}

// What the camera will do that is not quite what was asked: a time between
// its 10 ms steps, a dark frame on a camera without a shutter.
void NoteDepartures(const CaptureOptions& o, std::uint16_t cameraType, std::uint32_t units) {
    const double timed = units / 100.0;
    if (o.type != FrameType::Bias && std::fabs(timed - o.seconds) > 1e-9)
        std::fprintf(stderr,
                     "zeva: note: the camera times 0.01 s steps: %s s is exposed as %.2f s\n",
                     o.secondsText.c_str(), timed);
    if ((o.type == FrameType::Dark || o.type == FrameType::Bias) && !HasShutter(cameraType))
        std::fprintf(stderr,
                     "zeva: warning: this camera has no shutter: cover the telescope for dark "
                     "and bias frames\n");
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
    std::uint32_t units = 0;
    std::string error;
    if (!ExposureUnits(o.seconds, o.ccd, &units, &error))
        return Usage("capture: bad exposure time '" + o.secondsText + "' (" + error + ")");
    if (int rc = CheckOutputs(o))
        return rc;
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
    NoteDepartures(o, s.type, units);
    const bool terminal = isatty(STDERR_FILENO) != 0;
    Progress progress(!o.quiet && (o.progress || terminal), terminal);
    long next = 1;
    for (long i = 0; i < o.count; ++i) {
        std::string path = o.output;
        if (o.output.empty() || o.count > 1) {
            // Never overwrite an earlier frame of the counter.
            for (;; ++next) {
                path = NumberedPath(o, next);
                if (access(path.c_str(), F_OK) != 0 &&
                    (!o.png || access(PreviewPath(path).c_str(), F_OK) != 0))
                    break;
            }
            ++next;
        }
        Frame frame;
        if (int rc = CaptureOne(s, o, ccd, plan, &path, &next, progress, &frame))
            return rc;
    }
    return 0;
}

}  // namespace zeva::tool
