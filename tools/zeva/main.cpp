// zeva: command-line tool for ZEVA cameras (info, capture to FITS, cooler,
// guiding outputs, tip-tilt).  Uses only the client API.
//
// Image orientation: lines are stored in readout order, the first line read
// (the top of the CCD as it is clocked out) in FITS row 1, element 0 of each
// line (the leftmost pixel of the window) in column 1; ROWORDER says TOP-DOWN.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "client/client.h"
#include "tools/zeva/doctor.h"
#include "tools/zeva/fits.h"
#include "tools/zeva/preview.h"

namespace {

using namespace zeva::client;
using zeva::tool::FitsKey;

std::atomic<bool> gStop{false};
void OnSignal(int) {
    gStop = true;
}

struct Global {
    std::uint16_t port = 1;
    std::string sim;
    std::string device;  // --port /dev/parportN
    Library lib = Library::Nt;
};

const char* kUsage =
    "usage: zeva [--sim MODEL[?options]] [--port N | --port /dev/parportN] [--lib nt|9x|vb]\n"
    "            COMMAND [options]\n"
    "commands:\n"
    "  info                      camera, firmware, readout modes, EEPROM, cooler\n"
    "  capture [SECONDS]         expose and write FITS (zeva capture --help)\n"
    "  temp [--watch SECONDS]    cooler status\n"
    "  cool SETPOINT_C | off | --power N | --freeze on|off\n"
    "  relay OUTPUT MS           close guiding relay OUTPUT (0-3) for MS milliseconds\n"
    "  pulse COUNT WIDTH PERIOD  pulse output, camera units\n"
    "  tiptilt X Y               move the tip-tilt unit\n"
    "  doctor                    check a camera's setup step by step\n"
    "--sim MODEL uses the simulated camera (gannet, heron, ibis, jacana, kestrel, egret,\n"
    "finch, siskin, model9; options as in ZEVA_PORTS, e.g. gannet?scene=pattern).\n"
    "--port N opens the camera on port N of ZEVA_PORTS (default 1); --port /dev/parportN\n"
    "drives a real camera on that Linux parallel port (ppdev; needs group lp); --port io:0xNNN\n"
    "drives the port at that I/O address directly (needs CAP_SYS_RAWIO; see the README).\n"
    "--lib picks the library path: nt (default) ParDeviceCommand of libzevant; 9x\n"
    "ParDrvCommand of libzeva32m through zeva32.vxd (first port only); vb ParDrvCommandVB\n"
    "of libzevavb32, to the library the platform calls for (ZEVA_WINDOWS=95|98: 9x).\n";

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

int Fail(const std::string& what) {
    std::fprintf(stderr, "zeva: %s\n", what.c_str());
    return 1;
}

int FailStatus(const std::string& what, const Status& s) {
    return Fail(what + " failed: " + s.Describe());
}

bool ParseDouble(const char* text, double* v) {
    char* end = nullptr;
    *v = std::strtod(text, &end);
    return end != text && *end == 0;
}

bool ParseLong(const char* text, long* v) {
    char* end = nullptr;
    *v = std::strtol(text, &end, 0);
    return end != text && *end == 0;
}

struct Session {
    Driver driver;
    Camera camera;
    std::uint16_t type = 0;
};

int OpenSession(const Global& g, Session* s) {
    Status st = s->driver.Open(g.lib);
    if (!st.ok()) {
        // A port that could not be opened keeps the system from starting.
        const std::string why = SystemStartError();
        if (!why.empty())
            return Fail(why);
        return FailStatus("opening the driver", st);
    }
    st = s->camera.Open(g.port);
    if (!st.ok()) {
        const std::string why = SystemStartError();
        if (!why.empty())
            return Fail(why);
        return Fail("opening the camera on port " + std::to_string(g.port) +
                    " failed: " + st.Describe() + " (is a camera configured on that port?)");
    }
    st = s->camera.EstablishLink(&s->type);
    if (!st.ok())
        return FailStatus("linking to the camera", st);
    return 0;
}

bool SingleCcdType(std::uint16_t t) {
    return t == 6 || t == 8;
}
bool HasTracking(std::uint16_t t) {
    return t == 4 || t == 5 || t == 10 || t == 12;
}

std::uint16_t PedestalOf(std::uint16_t type, unsigned ccd) {
    if (ccd == 1 || type == 6)
        return 0;  // raw samples, no bias subtracted
    return 100;
}

void PrintTemperature(const TemperatureStatus& t) {
    std::printf("cooler: regulation %s%s, setpoint %.1f C (%u), reading %.1f C (%u), power %u%%\n",
                (t.regulationFlags & 1) ? "on" : "off",
                (t.regulationFlags & 0x8000) ? " (frozen)" : "", ReadingToCelsius(t.setpoint),
                t.setpoint, ReadingToCelsius(t.reading2), t.reading2,
                static_cast<unsigned>((t.power * 100 + 127) / 255));
}

int CmdInfo(const Global& g, int argc, char** argv) {
    if (argc > 0) {
        if (std::strcmp(argv[0], "--help") == 0) {
            std::printf(
                "usage: zeva info\n  camera name and type, firmware, readout modes, EEPROM, "
                "cooler\n");
            return 0;
        }
        return Fail(std::string("info: unexpected argument '") + argv[0] + "'");
    }
    Session s;
    if (int rc = OpenSession(g, &s))
        return rc;
    const unsigned ccds = HasTracking(s.type) ? 2 : 1;
    for (unsigned ccd = 0; ccd < ccds; ++ccd) {
        CcdInfo info;
        Status st = s.camera.GetCCDInfo(static_cast<std::uint16_t>(ccd), &info);
        if (!st.ok())
            return FailStatus("reading the CCD information", st);
        if (ccd == 0)
            std::printf("camera: %s (type %u), firmware %u\n", info.name.c_str(), info.cameraType,
                        info.firmwareVersion);
        std::printf("%s CCD: %zu readout modes\n", ccd == 0 ? "imaging" : "tracking",
                    info.modes.size());
        for (const ReadoutModeInfo& m : info.modes) {
            std::printf("  mode %u: %u x ", m.mode, m.width);
            if (m.height)
                std::printf("%u", m.height);
            else
                std::printf("(rows/V)");
            std::printf(" pixels, %.2f x %.2f um, gain %.2f e-/ADU\n", BcdHundredths(m.pixelWidth),
                        BcdHundredths(m.pixelHeight), BcdHundredths(m.gain));
        }
    }
    if (!SingleCcdType(s.type)) {
        EepromInfo e;
        Status st = s.camera.GetEepromInfo(&e);
        if (st.ok())
            std::printf("eeprom: count %u, words %04X %04X %04X %04X, flag %u, id '%s'\n", e.count,
                        e.words[0], e.words[1], e.words[2], e.words[3], e.flag,
                        e.identification.c_str());
        else
            std::printf("eeprom: %s\n", st.Describe().c_str());
    }
    TemperatureStatus t;
    Status st = s.camera.QueryTemperatureStatus(&t);
    if (st.ok())
        PrintTemperature(t);
    else
        std::printf("cooler: %s\n", st.Describe().c_str());
    return 0;
}

std::string UtcNow() {
    const auto now = std::chrono::system_clock::now();
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    const std::time_t secs = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms % 1000));
    return buf;
}

struct CaptureOptions {
    double seconds = 0.1;
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
            long x, y, w, h;
            char tail;
            if (!v || std::sscanf(v, "%ld,%ld,%ld,%ld%c", &x, &y, &w, &h, &tail) != 4 || x < 0 ||
                y < 0 || w < 1 || h < 1)
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
            if (!ParseDouble(a.c_str(), &t) || t < 0 || t > 167772.15)
                return Fail("capture: bad exposure time '" + a + "' (valid: 0 to 167772 seconds)");
            o->seconds = t;
            haveTime = true;
        } else if (!a.empty() && a[0] == '-' && ParseLong(a.c_str(), &n)) {
            return Fail("capture: bad exposure time '" + a + "' (valid: 0 to 167772 seconds)");
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

// Frame geometry resolved against the camera's mode table.
struct Frame {
    unsigned mode = 0, vfactor = 1, hbin = 1, rows = 1;
    unsigned modeWidth = 0, modeHeight = 0;
    unsigned x = 0, y = 0, w = 0, h = 0;  // binned
    ReadoutModeInfo info;
    double pixW = 0, pixH = 0, unbinnedW = 0, unbinnedH = 0;
};

int ResolveFrame(const CaptureOptions& o, const CcdInfo& ccd, Frame* f) {
    const unsigned maxMode = static_cast<unsigned>(ccd.modes.size());
    if (maxMode == 0)
        return Fail("capture: the camera reports no readout modes for this CCD");
    f->mode = o.mode >= 0 ? static_cast<unsigned>(o.mode) : static_cast<unsigned>(o.bin - 1);
    if (f->mode >= maxMode) {
        if (o.mode >= 0)
            return Fail("capture: readout mode " + std::to_string(f->mode) +
                        " is not offered by this CCD (valid: 0 to " + std::to_string(maxMode - 1) +
                        ")");
        return Fail("capture: binning " + std::to_string(o.bin) +
                    " is not offered by this CCD (valid: 1 to " +
                    std::to_string(std::min(maxMode, 3u)) + ")");
    }
    f->info = ccd.modes[f->mode];
    f->hbin = f->mode % 3 + 1;
    f->vfactor = static_cast<unsigned>(o.vfactor);
    if (f->mode < 3)
        f->rows = f->mode + 1;
    else if (f->mode < 6)
        f->rows = f->vfactor;
    else
        f->rows = f->mode - 5;
    f->modeWidth = f->info.width;
    f->modeHeight = f->info.height ? f->info.height : ccd.modes[0].height / f->rows;
    f->unbinnedW = BcdHundredths(ccd.modes[0].pixelWidth);
    f->unbinnedH = BcdHundredths(ccd.modes[0].pixelHeight);
    f->pixW = BcdHundredths(f->info.pixelWidth);
    f->pixH = f->info.height ? BcdHundredths(f->info.pixelHeight) : f->unbinnedH * f->rows;
    if (!o.window) {
        f->x = f->y = 0;
        f->w = f->modeWidth;
        f->h = f->modeHeight;
        return 0;
    }
    f->x = static_cast<unsigned>(o.wx) / f->hbin;
    f->y = static_cast<unsigned>(o.wy) / f->rows;
    f->w = static_cast<unsigned>(o.ww) / f->hbin;
    f->h = static_cast<unsigned>(o.wh) / f->rows;
    const unsigned fullW = f->modeWidth * f->hbin, fullH = f->modeHeight * f->rows;
    if (f->w == 0 || f->h == 0 || f->x + f->w > f->modeWidth || f->y + f->h > f->modeHeight)
        return Fail("capture: window " + std::to_string(o.wx) + "," + std::to_string(o.wy) + "," +
                    std::to_string(o.ww) + "," + std::to_string(o.wh) +
                    " does not fit the CCD in this mode (valid: inside " + std::to_string(fullW) +
                    " x " + std::to_string(fullH) + " unbinned pixels, at least one binned pixel)");
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

// One frame.  Returns 0, 1 (error) or 130 (interrupted); the camera is left idle.
int CaptureOne(Camera& cam, const CaptureOptions& o, const CcdInfo& ccd, const Frame& f,
               const std::string& path, Progress& progress) {
    TemperatureStatus temp;
    const bool haveTemp = cam.QueryTemperatureStatus(&temp).ok();
    ExposureRequest req;
    req.ccd = static_cast<std::uint16_t>(o.ccd);
    req.time = static_cast<std::uint32_t>(o.seconds * 100.0 + 0.5);
    req.shutterMode = o.dark ? 2 : 1;
    const std::string dateObs = UtcNow();
    const auto start = std::chrono::steady_clock::now();
    Status st = cam.StartExposure(req);
    if (!st.ok()) {
        cam.EndExposure(req.ccd, true);
        return FailStatus("starting the exposure", st);
    }
    // Wait for the camera to finish timing the exposure.
    for (;;) {
        if (gStop) {
            const Status ended = cam.EndExposure(req.ccd, true);
            cam.EndReadout(req.ccd);
            progress.Done();
            std::fprintf(stderr,
                         "zeva: interrupted during the exposure: exposure %s, %s; nothing "
                         "written\n",
                         ended.ok() ? "ended" : "not ended", StateAfterStop(cam, o.ccd));
            return 130;
        }
        std::uint16_t word = 0;
        st = cam.QueryCommandStatus(1, &word);
        if (!st.ok()) {
            cam.EndExposure(req.ccd, true);
            return FailStatus("querying the exposure", st);
        }
        if (ExposureStateOf(word, o.ccd) != 2)
            break;
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (elapsed > o.seconds + 60.0) {
            cam.EndExposure(req.ccd, true);
            return Fail("the camera did not finish the exposure within 60 s of its end");
        }
        progress.Show("exposing: %.1f s left of %.1f s", std::max(0.0, o.seconds - elapsed),
                      o.seconds);
        SleepMs(10);
    }
    st = cam.EndExposure(req.ccd);
    if (!st.ok())
        return FailStatus("ending the exposure", st);

    const std::string partial = path + ".part";
    std::vector<std::uint16_t> pixels(static_cast<std::size_t>(f.w) * f.h);
    auto endReadout = [&]() { return cam.EndReadout(req.ccd); };
    const std::uint8_t mode = static_cast<std::uint8_t>(f.mode);
    const std::uint8_t vf = static_cast<std::uint8_t>(f.vfactor);
    if (f.y > 0) {
        st = cam.DumpLines(req.ccd, mode, vf, static_cast<std::uint16_t>(f.y));
        if (!st.ok()) {
            endReadout();
            return FailStatus("dumping the lines above the window", st);
        }
    }
    LineRequest line{req.ccd, mode, vf, static_cast<std::uint16_t>(f.x),
                     static_cast<std::uint16_t>(f.w)};
    for (unsigned r = 0; r < f.h; ++r) {
        if (gStop) {
            const Status ended = endReadout();
            progress.Done();
            std::fprintf(stderr,
                         "zeva: interrupted during the readout at line %u of %u: readout %s, "
                         "%s; nothing written\n",
                         r + 1, f.h, ended.ok() ? "ended" : "not ended",
                         StateAfterStop(cam, o.ccd));
            return 130;
        }
        st = cam.ReadoutLine(
            line, std::span<std::uint16_t>(pixels.data() + static_cast<std::size_t>(r) * f.w, f.w));
        if (!st.ok()) {
            endReadout();
            return FailStatus("reading line " + std::to_string(r), st);
        }
        progress.Show("reading: line %.0f of %.0f", r + 1.0, f.h);
    }
    const unsigned rest = f.modeHeight - f.y - f.h;
    if (rest > 0) {
        st = cam.DumpLines(req.ccd, mode, vf, static_cast<std::uint16_t>(rest));
        if (!st.ok()) {
            endReadout();
            return FailStatus("dumping the lines below the window", st);
        }
    }
    st = endReadout();
    progress.Done();
    if (!st.ok())
        return FailStatus("ending the readout", st);

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
    text("INSTRUME", ccd.name, "camera model");
    real("EXPTIME", req.time / 100.0, "exposure time [s]");
    if (o.dark)
        real("DARKTIME", req.time / 100.0, "dark time [s]");
    text("DATE-OBS", dateObs, "UTC start of the exposure");
    text("IMAGETYP", o.dark ? "Dark Frame" : "Light Frame", "frame type");
    integer("XBINNING", f.hbin, "horizontal binning");
    integer("YBINNING", f.rows, "vertical binning (CCD rows per line)");
    real("XPIXSZ", f.pixW, "binned pixel width [um]");
    real("YPIXSZ", f.pixH, "binned pixel height [um]");
    real("PIXSIZE1", f.unbinnedW, "unbinned pixel width [um]");
    real("PIXSIZE2", f.unbinnedH, "unbinned pixel height [um]");
    real("EGAIN", BcdHundredths(f.info.gain), "electrons per ADU");
    integer("XORGSUBF", static_cast<long long>(f.x) * f.hbin, "subframe origin x [unbinned px]");
    integer("YORGSUBF", static_cast<long long>(f.y) * f.rows, "subframe origin y [unbinned px]");
    integer("READMODE", f.mode, "readout mode");
    if (f.mode >= 3 && f.mode <= 5)
        integer("VFACTOR", f.vfactor, "rows shifted per line");
    text("CCD", o.ccd == 0 ? "Imaging" : "Tracking", "CCD read");
    text("ROWORDER", "TOP-DOWN", "first line read is row 1");
    if (haveTemp) {
        real("SET-TEMP", ReadingToCelsius(temp.setpoint), "cooler setpoint [C]");
        real("CCD-TEMP", ReadingToCelsius(temp.reading2), "cooler reading [C]");
        integer("COOLSET", temp.setpoint, "cooler setpoint, raw reading units");
        integer("COOLREAD", temp.reading2, "cooler reading, raw");
        integer("COOLPOWR", temp.power, "cooler drive power 0-255");
    }
    integer("PEDESTAL", PedestalOf(ccd.cameraType, o.ccd),
            "counts added by the driver to each pixel");
    std::string err = zeva::tool::WriteFits(partial, f.w, f.h, pixels, k);
    if (!err.empty()) {
        std::remove(partial.c_str());
        return Fail("writing " + path + ": " + err);
    }
    if (gStop) {
        std::remove(partial.c_str());
        std::fprintf(stderr, "zeva: interrupted; nothing written\n");
        return 130;
    }
    if (std::rename(partial.c_str(), path.c_str()) != 0) {
        std::remove(partial.c_str());
        return Fail("writing " + path + ": " + std::strerror(errno));
    }
    if (o.png) {
        const std::size_t dot = path.rfind('.');
        const std::string png = (dot == std::string::npos ? path : path.substr(0, dot)) + ".png";
        err = zeva::tool::WritePreviewPng(png, f.w, f.h, pixels);
        if (!err.empty())
            return Fail("writing the preview: " + err);
        if (!o.quiet)
            std::printf("wrote preview %s\n", png.c_str());
    }
    return 0;
}

int CmdCapture(const Global& g, int argc, char** argv) {
    CaptureOptions o;
    bool help = false;
    if (int rc = ParseCapture(argc, argv, &o, &help))
        return rc;
    if (help) {
        std::fputs(kCaptureUsage, stdout);
        return 0;
    }
    Session s;
    if (int rc = OpenSession(g, &s))
        return rc;
    if (o.ccd == 1 && !HasTracking(s.type))
        return Fail("capture: this camera has no tracking CCD (valid: --ccd imaging)");
    CcdInfo ccd;
    Status st = s.camera.GetCCDInfo(static_cast<std::uint16_t>(o.ccd), &ccd);
    if (!st.ok())
        return FailStatus("reading the CCD information", st);
    Frame f;
    if (int rc = ResolveFrame(o, ccd, &f))
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
        const int rc = CaptureOne(s.camera, o, ccd, f, path, progress);
        if (rc)
            return rc;
        if (!o.quiet)
            std::printf("wrote %s (%u x %u, %s, %.2f s)\n", path.c_str(), f.w, f.h,
                        o.dark ? "dark" : "light", o.seconds);
    }
    return 0;
}

int CmdTemp(const Global& g, int argc, char** argv) {
    double watch = 0;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::printf(
                "usage: zeva temp [--watch SECONDS]\n  cooler status; with --watch, repeat every "
                "SECONDS until Ctrl-C\n");
            return 0;
        }
        if (std::strcmp(argv[i], "--watch") == 0 && i + 1 < argc &&
            ParseDouble(argv[i + 1], &watch) && watch > 0) {
            ++i;
            continue;
        }
        return Fail(std::string("temp: bad argument '") + argv[i] + "' (valid: --watch SECONDS)");
    }
    Session s;
    if (int rc = OpenSession(g, &s))
        return rc;
    do {
        TemperatureStatus t;
        Status st = s.camera.QueryTemperatureStatus(&t);
        if (!st.ok())
            return FailStatus("reading the cooler status", st);
        PrintTemperature(t);
        std::fflush(stdout);
        if (watch > 0)
            for (int ms = 0; ms < watch * 1000 && !gStop; ms += 50) SleepMs(50);
    } while (watch > 0 && !gStop);
    return 0;
}

int CmdCool(const Global& g, int argc, char** argv) {
    const char* usage =
        "usage: zeva cool SETPOINT_C | off | --power N | --freeze on|off\n"
        "  SETPOINT_C       regulate to this temperature in C\n"
        "  off              switch the cooler off\n"
        "  --power N        fixed drive power 0-255\n"
        "  --freeze on|off  hold the cooler drive during imaging readouts\n";
    if (argc == 0)
        return Fail(std::string("cool: missing setting\n") + usage);
    std::uint16_t regulation = 0, value = 0;
    const std::string a = argv[0];
    long n = 0;
    double c = 0;
    if (a == "--help") {
        std::fputs(usage, stdout);
        return 0;
    } else if (a == "off" && argc == 1) {
        regulation = 0;
    } else if (a == "--power" && argc == 2 && ParseLong(argv[1], &n) && n >= 0 && n <= 255) {
        regulation = 2;
        value = static_cast<std::uint16_t>(n);
    } else if (a == "--power") {
        return Fail("cool: bad --power (valid: 0 to 255)");
    } else if (a == "--freeze" && argc == 2 &&
               (std::strcmp(argv[1], "on") == 0 || std::strcmp(argv[1], "off") == 0)) {
        regulation = std::strcmp(argv[1], "on") == 0 ? 5 : 6;
    } else if (a == "--freeze") {
        return Fail("cool: bad --freeze (valid: on, off)");
    } else if (argc == 1 && ParseDouble(a.c_str(), &c) && c >= -77 && c <= 50) {
        regulation = 1;
        value = CelsiusToReading(c);
    } else {
        return Fail("cool: bad setting '" + a +
                    "' (valid: a setpoint -77 to 50 C, off, --power N, --freeze on|off)");
    }
    Session s;
    if (int rc = OpenSession(g, &s))
        return rc;
    Status st = s.camera.SetTemperatureRegulation(regulation, value);
    if (!st.ok())
        return FailStatus("setting the cooler", st);
    return 0;
}

int CmdRelay(const Global& g, int argc, char** argv) {
    if (argc == 1 && std::strcmp(argv[0], "--help") == 0) {
        std::printf(
            "usage: zeva relay OUTPUT MS\n  close guiding relay OUTPUT (0-3) for MS milliseconds "
            "(10 ms steps)\n");
        return 0;
    }
    long out = 0, ms = 0;
    if (argc != 2 || !ParseLong(argv[0], &out) || out < 0 || out > 3 || !ParseLong(argv[1], &ms) ||
        ms < 0 || ms > 655350)
        return Fail("relay: expected OUTPUT (0 to 3) and MS (0 to 655350)");
    std::array<std::uint16_t, 4> times{};
    times[static_cast<std::size_t>(out)] = static_cast<std::uint16_t>((ms + 5) / 10);
    Session s;
    if (int rc = OpenSession(g, &s))
        return rc;
    Status st = s.camera.ActivateRelay(times);
    return st.ok() ? 0 : FailStatus("activating the relay", st);
}

int CmdPulse(const Global& g, int argc, char** argv) {
    if (argc == 1 && std::strcmp(argv[0], "--help") == 0) {
        std::printf(
            "usage: zeva pulse COUNT WIDTH PERIOD\n  pulses on the pulse output, width and period "
            "in camera units\n");
        return 0;
    }
    long v[3];
    if (argc != 3 || !ParseLong(argv[0], &v[0]) || !ParseLong(argv[1], &v[1]) ||
        !ParseLong(argv[2], &v[2]) || v[0] < 0 || v[0] > 255 || v[1] < 0 || v[1] > 65535 ||
        v[2] < 0 || v[2] > 65535)
        return Fail("pulse: expected COUNT (0 to 255), WIDTH and PERIOD (0 to 65535)");
    Session s;
    if (int rc = OpenSession(g, &s))
        return rc;
    Status st =
        s.camera.PulseOut(static_cast<std::uint16_t>(v[0]), static_cast<std::uint16_t>(v[1]),
                          static_cast<std::uint16_t>(v[2]));
    return st.ok() ? 0 : FailStatus("sending the pulses", st);
}

int CmdTipTilt(const Global& g, int argc, char** argv) {
    if (argc == 1 && std::strcmp(argv[0], "--help") == 0) {
        std::printf(
            "usage: zeva tiptilt X Y\n  move the tip-tilt unit to position X, Y (0 to 65535)\n");
        return 0;
    }
    long x, y;
    if (argc != 2 || !ParseLong(argv[0], &x) || !ParseLong(argv[1], &y) || x < 0 || x > 65535 ||
        y < 0 || y > 65535)
        return Fail("tiptilt: expected X and Y (0 to 65535)");
    Session s;
    if (int rc = OpenSession(g, &s))
        return rc;
    Status st = s.camera.AOTipTilt(static_cast<std::uint16_t>(x), static_cast<std::uint16_t>(y));
    return st.ok() ? 0 : FailStatus("moving the tip-tilt unit", st);
}

// The port entry the camera runs on: entry `port` of ZEVA_PORTS.
zeva::tool::DoctorSetup DoctorSetupOf(const Global& g) {
    zeva::tool::DoctorSetup setup;
    setup.port = g.port;
    setup.library = g.lib;
    const char* ports = std::getenv("ZEVA_PORTS");
    const std::string list = ports != nullptr && *ports ? ports : "sim:gannet";
    std::size_t start = 0;
    for (unsigned p = 1; p < g.port && start <= list.size(); ++p) {
        const std::size_t comma = list.find(',', start);
        start = comma == std::string::npos ? list.size() + 1 : comma + 1;
    }
    if (start <= list.size()) {
        setup.entry = list.substr(start, list.find(',', start) - start);
        setup.entry.erase(0, setup.entry.find_first_not_of(' '));
        setup.entry.erase(setup.entry.find_last_not_of(' ') + 1);
    }
    return setup;
}

}  // namespace

static int Main(int argc, char** argv) {
    Global g;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--sim" && i + 1 < argc) {
            g.sim = argv[++i];
        } else if (a == "--port" && i + 1 < argc) {
            const std::string v = argv[i + 1];
            long p;
            if (v.rfind("/dev/", 0) == 0 || v.rfind("io:", 0) == 0) {
                g.device = v;
                g.port = 1;
            } else if (!ParseLong(v.c_str(), &p) || p < 1 || p > 9) {
                return Fail("bad --port '" + v + "' (valid: 1 to 9, /dev/parportN or io:0xNNN)");
            } else {
                g.port = static_cast<std::uint16_t>(p);
            }
            ++i;
        } else if (a == "--lib" && i + 1 < argc) {
            if (!ParseLibrary(argv[i + 1], &g.lib))
                return Fail(std::string("bad --lib '") + argv[i + 1] + "' (valid: nt, 9x, vb)");
            ++i;
        } else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--sim" || a == "--port" || a == "--lib") {
            return Fail(a + " needs a value");
        } else {
            break;
        }
    }
    if (i >= argc) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (!g.sim.empty() && !g.device.empty())
        return Fail("--sim and --port " + g.device + " both name the camera; give one of them");
    if (g.lib == Library::Win9x && g.port != 1)
        return Fail("--lib 9x reaches only the first port (zeva32.vxd drives port 1), not --port " +
                    std::to_string(g.port));
    if (!g.device.empty()) {
        // The real port as the system's only port; before the first library call.
        setenv("ZEVA_PORTS", g.device.c_str(), 1);
    } else if (!g.sim.empty()) {
        // Every port the simulated camera; must be set before the first library call.
        std::string entry = g.sim.rfind("sim:", 0) == 0 ? g.sim : "sim:" + g.sim;
        std::string ports = entry;
        for (unsigned p = 1; p < g.port; ++p) ports = entry + "," + ports;
        setenv("ZEVA_PORTS", ports.c_str(), 1);
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    const std::string cmd = argv[i];
    int rest = argc - i - 1;
    char** args = argv + i + 1;
    if (cmd == "info")
        return CmdInfo(g, rest, args);
    if (cmd == "capture")
        return CmdCapture(g, rest, args);
    if (cmd == "temp")
        return CmdTemp(g, rest, args);
    if (cmd == "cool")
        return CmdCool(g, rest, args);
    if (cmd == "relay")
        return CmdRelay(g, rest, args);
    if (cmd == "pulse")
        return CmdPulse(g, rest, args);
    if (cmd == "tiptilt")
        return CmdTipTilt(g, rest, args);
    if (cmd == "doctor")
        return zeva::tool::DoctorCommand(DoctorSetupOf(g), rest, args);
    return Fail("unknown command '" + cmd +
                "' (valid: info, capture, temp, cool, relay, pulse, tiptilt, doctor)");
}

// Every command has closed its camera and the driver by the time it returns.
// The process then ends without running the libraries' static destructors:
// the in-process platform's teardown at exit aborts (a worker thread still
// joinable), which would turn every result into a crash.
int main(int argc, char** argv) {
    const int rc = Main(argc, argv);
    std::fflush(nullptr);
    std::_Exit(rc);
}
