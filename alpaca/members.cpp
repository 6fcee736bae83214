// The camera device's member table, read by the router: a row per ICameraV4
// member, and the members of the sensor's description and the frame settings.
#include <algorithm>

#include "alpaca/device.h"

namespace zeva::alpaca {

namespace {

using client::BcdHundredths;
using json = nlohmann::json;
using Bad = std::optional<BadRequest>;

constexpr unsigned kMaxAdu = 65535;
// Positions and sizes beyond any CCD: refused when set.
constexpr long long kMaxCoordinate = 65535;
// Guide pulses are refused beyond this (ms).
constexpr long long kMaxPulseMs = 600'000;

std::string Range(const std::string& what, long long v, long long low, long long high) {
    return what + " " + std::to_string(v) + " (valid: " + std::to_string(low) + " to " +
           std::to_string(high) + ")";
}

}  // namespace

std::span<const CameraDevice::Member> CameraDevice::Members() {
    using D = CameraDevice;
    using P = const Params&;
    // Handlers for a constant answer, a member the camera lacks, and a value of the device.
#define ZEVA_VALUE(expr) []([[maybe_unused]] D& d, P, Bad*) -> Reply { return Reply::Value(expr); }
#define ZEVA_CALL(call)                                                                   \
    []([[maybe_unused]] D& d, [[maybe_unused]] P p, [[maybe_unused]] Bad* bad) -> Reply { \
        return call;                                                                      \
    }
    // No such call; a call the member has but the camera does not (never run).
    static constexpr Handler kNone = nullptr;
    static const Handler kNotOffered = [](D&, P, Bad*) { return Reply::Done(); };
    static const Member kTable[] = {
        // name, GET, PUT, PUT parameters, needs a connection, present
        // --- Every Alpaca device ---
        {"action", kNone, ZEVA_CALL(d.Action(p, bad)), {"Action", "Parameters"}, false, true},
        {"commandblind", kNone, kNotOffered, {"Command", "Raw"}, false, false},
        {"commandbool", kNone, kNotOffered, {"Command", "Raw"}, false, false},
        {"commandstring", kNone, kNotOffered, {"Command", "Raw"}, false, false},
        {"connect", kNone, ZEVA_CALL(d.StartLink(true)), {}, false, true},
        {"connected",
         [](D& d, P, Bad*) -> Reply {
             std::lock_guard<std::mutex> g(d.lock_);
             return Reply::Value(d.connected_);
         },
         [](D& d, P p, Bad* bad) -> Reply {
             const bool on = p.Boolean("Connected", bad);
             return *bad ? Reply::Done() : d.Connect(on);
         },
         {"Connected"},
         false,
         true},
        {"connecting", ZEVA_CALL(d.Connecting()), kNone, {}, false, true},
        {"description", ZEVA_CALL(d.Description()), kNone, {}, false, true},
        {"devicestate", ZEVA_CALL(d.DeviceState()), kNone, {}, true, true},
        {"disconnect", kNone, ZEVA_CALL(d.StartLink(false)), {}, false, true},
        {"driverinfo", ZEVA_CALL(d.DriverInfo()), kNone, {}, false, true},
        {"driverversion", ZEVA_VALUE(ZEVA_VERSION), kNone, {}, false, true},
        {"interfaceversion", ZEVA_VALUE(4), kNone, {}, false, true},
        {"name", ZEVA_VALUE(d.Name()), kNone, {}, false, true},
        {"supportedactions",
         ZEVA_VALUE(client::HasGuideRelays(d.unit_.type()) ? json::array({"RelayStatus"})
                                                           : json::array()),
         kNone,
         {},
         false,
         true},
        // --- Exposures ---
        {"abortexposure", kNone, ZEVA_CALL((d.EndJob(true), Reply::Done())), {}, true, true},
        {"camerastate", ZEVA_CALL(d.CameraState()), kNone, {}, true, true},
        {"canabortexposure", ZEVA_VALUE(true), kNone, {}, true, true},
        {"canstopexposure", ZEVA_VALUE(true), kNone, {}, true, true},
        {"exposuremax", ZEVA_VALUE(client::MaxExposureSeconds(d.ccd_)), kNone, {}, true, true},
        {"exposuremin", ZEVA_VALUE(0.0), kNone, {}, true, true},
        {"exposureresolution", ZEVA_VALUE(0.01), kNone, {}, true, true},
        {"imagearray",
         ZEVA_CALL(Reply::Error(AscomError::InvalidOperation, "served apart")),
         kNone,
         {},
         true,
         true},
        {"imagearrayvariant",
         ZEVA_CALL(Reply::Error(AscomError::InvalidOperation, "served apart")),
         kNone,
         {},
         true,
         true},
        {"imageready", ZEVA_VALUE(d.image_ != nullptr), kNone, {}, true, true},
        {"lastexposureduration",
         ZEVA_CALL(d.haveLast_
                       ? Reply::Value(d.lastSeconds_)
                       : Reply::Error(AscomError::ValueNotSet, "no exposure has been taken yet")),
         kNone,
         {},
         true,
         true},
        {"lastexposurestarttime",
         ZEVA_CALL(d.haveLast_
                       ? Reply::Value(d.lastStart_)
                       : Reply::Error(AscomError::ValueNotSet, "no exposure has been taken yet")),
         kNone,
         {},
         true,
         true},
        {"percentcompleted", ZEVA_CALL(d.PercentCompleted()), kNone, {}, true, true},
        {"startexposure",
         kNone,
         [](D& d, P p, Bad* bad) -> Reply {
             const double seconds = p.Number("Duration", bad);
             const bool light = *bad ? false : p.Boolean("Light", bad);
             return *bad ? Reply::Done() : d.StartExposure(seconds, light);
         },
         {"Duration", "Light"},
         true,
         true},
        {"stopexposure", kNone, ZEVA_CALL(d.StopExposure()), {}, true, true},
        {"subexposureduration", kNotOffered, kNotOffered, {"SubExposureDuration"}, true, false},
        // --- Frame ---
        {"binx", ZEVA_VALUE(d.binX_), ZEVA_CALL(d.Binning(false, p, bad)), {"BinX"}, true, true},
        {"biny", ZEVA_VALUE(d.binY_), ZEVA_CALL(d.Binning(true, p, bad)), {"BinY"}, true, true},
        {"canasymmetricbin", ZEVA_VALUE(d.CanAsymmetricBin()), kNone, {}, true, true},
        {"cameraxsize", ZEVA_VALUE(d.unit_.info(d.ccd_).modes[0].width), kNone, {}, true, true},
        {"cameraysize", ZEVA_VALUE(d.unit_.info(d.ccd_).modes[0].height), kNone, {}, true, true},
        {"maxbinx", ZEVA_VALUE(d.MaxBin(false)), kNone, {}, true, true},
        {"maxbiny", ZEVA_VALUE(d.MaxBin(true)), kNone, {}, true, true},
        {"numx",
         ZEVA_VALUE(d.numX_),
         ZEVA_CALL(d.FrameSetting("NumX", &d.numX_, p, bad)),
         {"NumX"},
         true,
         true},
        {"numy",
         ZEVA_VALUE(d.numY_),
         ZEVA_CALL(d.FrameSetting("NumY", &d.numY_, p, bad)),
         {"NumY"},
         true,
         true},
        {"startx",
         ZEVA_VALUE(d.startX_),
         ZEVA_CALL(d.FrameSetting("StartX", &d.startX_, p, bad)),
         {"StartX"},
         true,
         true},
        {"starty",
         ZEVA_VALUE(d.startY_),
         ZEVA_CALL(d.FrameSetting("StartY", &d.startY_, p, bad)),
         {"StartY"},
         true,
         true},
        {"readoutmode",
         ZEVA_VALUE(d.readoutMode_),
         ZEVA_CALL(d.SetReadoutMode(p, bad)),
         {"ReadoutMode"},
         true,
         true},
        {"readoutmodes", ZEVA_VALUE(d.ReadoutModes()), kNone, {}, true, true},
        {"canfastreadout", ZEVA_VALUE(false), kNone, {}, true, true},
        {"fastreadout", kNotOffered, kNotOffered, {"FastReadout"}, true, false},
        // --- Sensor ---
        {"bayeroffsetx", kNotOffered, kNone, {}, true, false},
        {"bayeroffsety", kNotOffered, kNone, {}, true, false},
        {"electronsperadu",
         ZEVA_VALUE(BcdHundredths(d.unit_.info(d.ccd_).modes[0].gain)),
         kNone,
         {},
         true,
         true},
        {"fullwellcapacity",
         ZEVA_VALUE(kMaxAdu * BcdHundredths(d.unit_.info(d.ccd_).modes[0].gain)),
         kNone,
         {},
         true,
         true},
        {"gain", kNotOffered, kNotOffered, {"Gain"}, true, false},
        {"gainmax", kNotOffered, kNone, {}, true, false},
        {"gainmin", kNotOffered, kNone, {}, true, false},
        {"gains", kNotOffered, kNone, {}, true, false},
        {"hasshutter", ZEVA_VALUE(client::HasShutter(d.unit_.type())), kNone, {}, true, true},
        {"maxadu", ZEVA_VALUE(kMaxAdu), kNone, {}, true, true},
        {"offset", kNotOffered, kNotOffered, {"Offset"}, true, false},
        {"offsetmax", kNotOffered, kNone, {}, true, false},
        {"offsetmin", kNotOffered, kNone, {}, true, false},
        {"offsets", kNotOffered, kNone, {}, true, false},
        {"pixelsizex",
         ZEVA_VALUE(BcdHundredths(d.unit_.info(d.ccd_).modes[0].pixelWidth)),
         kNone,
         {},
         true,
         true},
        {"pixelsizey",
         ZEVA_VALUE(BcdHundredths(d.unit_.info(d.ccd_).modes[0].pixelHeight)),
         kNone,
         {},
         true,
         true},
        {"sensorname",
         ZEVA_VALUE(d.unit_.info(d.ccd_).name + (d.ccd_ == 0 ? " imaging CCD" : " tracking CCD")),
         kNone,
         {},
         true,
         true},
        {"sensortype", ZEVA_VALUE(0), kNone, {}, true, true},
        // --- Cooler ---
        {"cangetcoolerpower", ZEVA_VALUE(true), kNone, {}, true, true},
        {"cansetccdtemperature", ZEVA_VALUE(d.ccd_ == 0), kNone, {}, true, true},
        {"ccdtemperature", ZEVA_CALL(d.CcdTemperature()), kNone, {}, true, true},
        {"cooleron",
         ZEVA_CALL(d.CoolerOn()),
         ZEVA_CALL(d.SetCoolerOn(p, bad)),
         {"CoolerOn"},
         true,
         true},
        {"coolerpower", ZEVA_CALL(d.CoolerPower()), kNone, {}, true, true},
        {"heatsinktemperature", kNotOffered, kNone, {}, true, false},
        {"setccdtemperature",
         ZEVA_CALL(d.Setpoint()),
         ZEVA_CALL(d.SetSetpoint(p, bad)),
         {"SetCCDTemperature"},
         true,
         true},
        // --- Guiding ---
        {"canpulseguide",
         ZEVA_VALUE(client::HasGuideRelays(d.unit_.type())),
         kNone,
         {},
         true,
         true},
        {"ispulseguiding", ZEVA_VALUE(d.unit_.IsPulseGuiding()), kNone, {}, true, true},
        {"pulseguide",
         kNone,
         ZEVA_CALL(d.PulseGuide(p, bad)),
         {"Direction", "Duration"},
         true,
         true},
    };
#undef ZEVA_VALUE
#undef ZEVA_CALL
    return kTable;
}

// ---------------------------------------------------------------------------
// Frame settings (lock_ held)

unsigned CameraDevice::MaxBin(bool vertical) const {
    const client::CcdInfo& info = unit_.info(ccd_);
    const bool vf = client::VerticalFactorModes(unit_.type(), ccd_);
    unsigned best = 1;
    for (unsigned h = 1; h <= 3; ++h)
        for (unsigned v = 1; v <= 3; ++v)
            if (client::BinningOffered(info, vf, h, v))
                best = std::max(best, vertical ? v : h);
    return best;
}

bool CameraDevice::CanAsymmetricBin() const {
    const client::CcdInfo& info = unit_.info(ccd_);
    const bool vf = client::VerticalFactorModes(unit_.type(), ccd_);
    for (unsigned h = 1; h <= 3; ++h)
        for (unsigned v = 1; v <= 3; ++v)
            if (h != v && client::BinningOffered(info, vf, h, v))
                return true;
    return false;
}

// Modes 6 to 8 sum the rows in the driver instead of on the CCD.
bool CameraDevice::SummedModes() const {
    return unit_.info(ccd_).modes.size() >= 9;
}

json CameraDevice::ReadoutModes() const {
    const unsigned n = static_cast<unsigned>(unit_.info(ccd_).modes.size());
    json modes = json::array();
    if (SummedModes()) {
        modes.push_back("Rows binned on the CCD (modes 0-5)");
        modes.push_back("Rows summed by the driver (modes 6-8)");
    } else {
        modes.push_back("Rows binned on the CCD (modes 0-" + std::to_string(n - 1) + ")");
    }
    return modes;
}

Reply CameraDevice::Binning(bool vertical, const Params& params, std::optional<BadRequest>* bad) {
    const char* name = vertical ? "BinY" : "BinX";
    const long long v = params.Integer(name, bad);
    if (*bad)
        return Reply::Done();
    const unsigned max = MaxBin(vertical);
    if (v < 1 || v > max)
        return Invalid(Range(name, v, 1, max));
    const unsigned b = static_cast<unsigned>(v);
    if (!CanAsymmetricBin())
        binX_ = binY_ = b;
    else
        (vertical ? binY_ : binX_) = b;
    return Reply::Done();
}

Reply CameraDevice::SetReadoutMode(const Params& params, std::optional<BadRequest>* bad) {
    const long long v = params.Integer("ReadoutMode", bad);
    if (*bad)
        return Reply::Done();
    const long long count = static_cast<long long>(ReadoutModes().size());
    if (v < 0 || v >= count)
        return Invalid(Range("ReadoutMode", v, 0, count - 1));
    readoutMode_ = static_cast<unsigned>(v);
    return Reply::Done();
}

// StartX, StartY, NumX, NumY: checked against the binned CCD at startexposure.
Reply CameraDevice::FrameSetting(const char* name, unsigned* field, const Params& params,
                                 std::optional<BadRequest>* bad) {
    const long long v = params.Integer(name, bad);
    if (*bad)
        return Reply::Done();
    const long long low = name[0] == 'N' ? 1 : 0;
    if (v < low || v > kMaxCoordinate)
        return Invalid(Range(name, v, low, kMaxCoordinate));
    *field = static_cast<unsigned>(v);
    return Reply::Done();
}

Reply CameraDevice::PulseGuide(const Params& params, std::optional<BadRequest>* bad) {
    const long long direction = params.Integer("Direction", bad);
    const long long ms = *bad ? 0 : params.Integer("Duration", bad);
    if (*bad)
        return Reply::Done();
    if (!client::HasGuideRelays(unit_.type()))
        return Reply::Error(AscomError::NotImplemented,
                            "the camera has no guide relays (" + Name() + ")");
    if (direction < 0 || direction > 3)
        return Invalid("Direction " + std::to_string(direction) +
                       " (valid: 0 north, 1 south, 2 east, 3 west)");
    if (ms < 0 || ms > kMaxPulseMs)
        return Invalid("Duration " + std::to_string(ms) + " ms (valid: 0 to " +
                       std::to_string(kMaxPulseMs) + ")");
    return unit_.PulseGuide(static_cast<unsigned>(direction), static_cast<std::uint32_t>(ms));
}

}  // namespace zeva::alpaca
