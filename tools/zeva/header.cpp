#include "tools/zeva/header.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "client/fits_keys.h"
#include "client/plan.h"

namespace zeva::tool {

using namespace zeva::client;

namespace {

// Keys that make the file what it is (cfitsio writes them), and the ones
// this tool writes from the camera: a user's value would contradict them.
const char* const kStructural[] = {
    "SIMPLE",   "BITPIX", "NAXIS",  "EXTEND",   "BZERO",   "BSCALE",  "BLANK",   "END",
    "XTENSION", "PCOUNT", "GCOUNT", "CHECKSUM", "DATASUM", "COMMENT", "HISTORY", "CONTINUE"};
const char* const kOwn[] = {"INSTRUME", "EXPTIME",  "DARKTIME",  "DATE-OBS", "DATE",     "IMAGETYP",
                            "XBINNING", "YBINNING", "XPIXSZ",    "YPIXSZ",   "PIXSIZE1", "PIXSIZE2",
                            "EGAIN",    "XORGSUBF", "YORGSUBF",  "READMODE", "VFACTOR",  "CCD",
                            "ROWORDER", "SET-TEMP", "CCD-TEMP",  "COOLSET",  "COOLREAD", "COOLPOWR",
                            "COOLDRV",  "SWCREATE", kPedestalKey};

// The longest text a single card holds ('' quoting aside).
constexpr std::size_t kMaxText = 68;

bool Listed(const std::string& name, const char* const* begin, const char* const* end) {
    return std::any_of(begin, end, [&](const char* k) { return name == k; });
}

template <typename T>
bool Whole(const std::string& text, T* v) {
    const char* end = text.data() + text.size();
    const auto [next, ec] = std::from_chars(text.data(), end, *v);
    return ec == std::errc() && next == end && !text.empty();
}

}  // namespace

bool ParseUserKey(const std::string& text, FitsKey* key, std::string* error) {
    const std::size_t eq = text.find('=');
    if (eq == std::string::npos) {
        *error = "expected KEY=VALUE, e.g. OBJECT=M42";
        return false;
    }
    std::string name = text.substr(0, eq);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c; });
    const bool wellFormed =
        !name.empty() && name.size() <= 8 && std::all_of(name.begin(), name.end(), [](char c) {
            return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
        });
    if (!wellFormed) {
        *error = "'" + text.substr(0, eq) + "' is not a FITS keyword (1 to 8 of A-Z, 0-9, - and _)";
        return false;
    }
    if (Listed(name, std::begin(kStructural), std::end(kStructural)) ||
        (name.rfind("NAXIS", 0) == 0 && name.size() > 5)) {
        *error = name + " is a structural keyword of the file; it cannot be set";
        return false;
    }
    if (Listed(name, std::begin(kOwn), std::end(kOwn))) {
        *error = name + " is written by zeva from the camera; it cannot be set";
        return false;
    }
    std::string value = text.substr(eq + 1);
    *key = FitsKey{FitsKey::Text, name, "", ""};
    const bool quoted = value.size() >= 2 && value.front() == '\'' && value.back() == '\'';
    double real = 0;
    if (value.empty()) {
        *error = name + " needs a value";
        return false;
    } else if (quoted) {
        value = value.substr(1, value.size() - 2);
    } else if (value == "T" || value == "F") {
        key->kind = FitsKey::Logical;
        key->integer = value == "T";
        return true;
    } else if (Whole(value, &key->integer)) {
        key->kind = FitsKey::Integer;
        return true;
    } else if (Whole(value, &real) && std::isfinite(real)) {
        key->kind = FitsKey::Real;
        key->real = real;
        return true;
    }
    if (value.size() > kMaxText ||
        !std::all_of(value.begin(), value.end(), [](char c) { return c >= 32 && c <= 126; })) {
        *error = name + ": a text value is at most 68 printable ASCII characters";
        return false;
    }
    key->text = value;
    return true;
}

std::vector<FitsKey> HeaderOf(const Frame& frame, const CcdInfo& ccd, std::uint16_t cameraType,
                              const TemperatureStatus* temp, const std::vector<FitsKey>& user) {
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
    text("SWCREATE", std::string("zeva ") + Version(), "software that wrote the file");
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
        // A setpoint only while the cooler regulates to it.
        if (Regulating(*temp)) {
            real("SET-TEMP", ReadingToCelsius(temp->setpoint), "cooler setpoint [C]");
            integer("COOLSET", temp->setpoint, "cooler setpoint, raw reading units");
        }
        real("CCD-TEMP", ReadingToCelsius(temp->reading2), "cooler reading [C]");
        integer("COOLREAD", temp->reading2, "cooler reading, raw");
        real("COOLPOWR", CoolerPowerPercent(temp->power), "cooler drive power [%]");
        integer("COOLDRV", temp->power, "cooler drive power, raw 0-255");
    }
    integer(kPedestalKey, PedestalOf(cameraType, p.ccd), kPedestalComment);
    k.insert(k.end(), user.begin(), user.end());
    return k;
}

}  // namespace zeva::tool
