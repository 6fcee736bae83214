#include "alpaca/device.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>

#include "client/explain.h"

namespace zeva::alpaca {

namespace {

using client::BcdHundredths;
using json = nlohmann::json;

// Members every device answers without a connection.
const std::set<std::string> kCommonGet = {"connected",       "description",      "driverinfo",
                                          "driverversion",   "interfaceversion", "name",
                                          "supportedactions"};
// What the cameras do not have.
const std::set<std::string> kAbsent = {"bayeroffsetx",
                                       "bayeroffsety",
                                       "fastreadout",
                                       "gain",
                                       "gainmax",
                                       "gainmin",
                                       "gains",
                                       "offset",
                                       "offsetmax",
                                       "offsetmin",
                                       "offsets",
                                       "heatsinktemperature",
                                       "subexposureduration"};
// Members that take PUT (the rest take GET).
const std::set<std::string> kPutOnly = {"abortexposure", "pulseguide",   "startexposure",
                                        "stopexposure",  "action",       "commandblind",
                                        "commandbool",   "commandstring"};
const std::set<std::string> kPutToo = {"connected",
                                       "binx",
                                       "biny",
                                       "cooleron",
                                       "fastreadout",
                                       "gain",
                                       "numx",
                                       "numy",
                                       "offset",
                                       "readoutmode",
                                       "setccdtemperature",
                                       "startx",
                                       "starty",
                                       "subexposureduration"};
const std::set<std::string> kGetMembers = {"binx",
                                           "biny",
                                           "camerastate",
                                           "cameraxsize",
                                           "cameraysize",
                                           "canabortexposure",
                                           "canasymmetricbin",
                                           "canfastreadout",
                                           "cangetcoolerpower",
                                           "canpulseguide",
                                           "cansetccdtemperature",
                                           "canstopexposure",
                                           "ccdtemperature",
                                           "cooleron",
                                           "coolerpower",
                                           "electronsperadu",
                                           "exposuremax",
                                           "exposuremin",
                                           "exposureresolution",
                                           "fullwellcapacity",
                                           "hasshutter",
                                           "imagearray",
                                           "imagearrayvariant",
                                           "imageready",
                                           "ispulseguiding",
                                           "lastexposureduration",
                                           "lastexposurestarttime",
                                           "maxadu",
                                           "maxbinx",
                                           "maxbiny",
                                           "numx",
                                           "numy",
                                           "percentcompleted",
                                           "pixelsizex",
                                           "pixelsizey",
                                           "readoutmode",
                                           "readoutmodes",
                                           "sensorname",
                                           "sensortype",
                                           "setccdtemperature",
                                           "startx",
                                           "starty"};

constexpr unsigned kMaxAdu = 65535;
// Positions and sizes beyond any CCD: refused when set.
constexpr long long kMaxCoordinate = 65535;
// Guide pulses are refused beyond this (ms).
constexpr long long kMaxPulseMs = 600'000;
const char* kRelayStatusAction = "relaystatus";

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

CameraDevice::CameraDevice(CameraUnit& unit, unsigned ccd, unsigned number)
    : unit_(unit), ccd_(ccd), number_(number) {}

CameraDevice::~CameraDevice() {
    Shutdown();
}

std::string CameraDevice::Name() const {
    const std::string& model = unit_.info(0).name;
    if (!unit_.hasTracking())
        return model;
    return model + (ccd_ == 0 ? " (imaging CCD)" : " (tracking CCD)");
}

std::string CameraDevice::UniqueId() const {
    // Stable across restarts: derived from the port entry and the CCD.
    const std::string key = "zeva-alpaca:" + unit_.entry() + ":" + std::to_string(ccd_);
    std::uint64_t h1 = 0xcbf29ce484222325ull, h2 = 0x84222325cbf29ce4ull;
    for (unsigned char c : key) {
        h1 = (h1 ^ c) * 0x100000001b3ull;
        h2 = (h2 ^ c) * 0x100000001b3ull + 7;
    }
    char buf[40];
    std::snprintf(buf, sizeof buf, "%08x-%04x-%04x-%04x-%012llx", static_cast<unsigned>(h1 >> 32),
                  static_cast<unsigned>(h1 >> 16) & 0xFFFF,
                  0x5000 | (static_cast<unsigned>(h1) & 0x0FFF),
                  0x8000 | (static_cast<unsigned>(h2 >> 48) & 0x3FFF),
                  static_cast<unsigned long long>(h2 & 0xFFFFFFFFFFFFull));
    return buf;
}

void CameraDevice::Shutdown() {
    std::lock_guard<std::mutex> g(lock_);
    EndJob(true);
    if (connected_) {
        connected_ = false;
        unit_.Detach();
    }
}

Reply CameraDevice::Call(const std::string& member, bool put, const Params& params,
                         std::optional<BadRequest>* bad) {
    const bool known = kCommonGet.count(member) || kAbsent.count(member) ||
                       kPutOnly.count(member) || kGetMembers.count(member);
    if (!known) {
        *bad = BadRequest{"camera has no member '" + member + "'"};
        return Reply::Done();
    }
    if (put && !kPutOnly.count(member) && !kPutToo.count(member)) {
        *bad = BadRequest{"member '" + member + "' takes GET, not PUT"};
        return Reply::Done();
    }
    if (!put && kPutOnly.count(member)) {
        *bad = BadRequest{"member '" + member + "' takes PUT, not GET"};
        return Reply::Done();
    }
    return put ? Put(member, params, bad) : Get(member, params, bad);
}

// ---------------------------------------------------------------------------
// Description

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

// ---------------------------------------------------------------------------
// GET

Reply CameraDevice::Get(const std::string& member, const Params& params,
                        std::optional<BadRequest>* bad) {
    (void)params;
    (void)bad;
    if (member == "connected") {
        std::lock_guard<std::mutex> g(lock_);
        return Reply::Value(connected_);
    }
    if (member == "name")
        return Reply::Value(Name());
    if (member == "description")
        return Reply::Value(Name() + " on port \"" + unit_.entry() + "\"" +
                            (unit_.eepromFailed()
                                 ? std::string(" (warning: ") + client::kEepromFailedWarning + ")"
                                 : ""));
    if (member == "driverinfo")
        return Reply::Value(std::string("zeva-alpaca: ASCOM Alpaca server for ZEVA cameras, ") +
                            ZEVA_VERSION);
    if (member == "driverversion")
        return Reply::Value(ZEVA_VERSION);
    if (member == "interfaceversion")
        return Reply::Value(3);
    if (member == "supportedactions")
        return Reply::Value(json::array({"RelayStatus"}));
    if (kAbsent.count(member))
        return Reply::Error(AscomError::NotImplemented,
                            "the camera has no " + member + " (" + Name() + ")");

    std::lock_guard<std::mutex> g(lock_);
    if (!connected_)
        return NotConnected();
    Reap();
    const client::CcdInfo& info = unit_.info(ccd_);
    const client::ReadoutModeInfo& m0 = info.modes[0];
    if (member == "binx")
        return Reply::Value(binX_);
    if (member == "biny")
        return Reply::Value(binY_);
    if (member == "camerastate")
        return CameraState();
    if (member == "cameraxsize")
        return Reply::Value(m0.width);
    if (member == "cameraysize")
        return Reply::Value(m0.height);
    if (member == "canabortexposure" || member == "canstopexposure" ||
        member == "cangetcoolerpower" || member == "canpulseguide")
        return Reply::Value(true);
    if (member == "canasymmetricbin")
        return Reply::Value(CanAsymmetricBin());
    if (member == "canfastreadout")
        return Reply::Value(false);
    if (member == "cansetccdtemperature")
        return Reply::Value(ccd_ == 0);
    if (member == "ccdtemperature" || member == "cooleron" || member == "coolerpower" ||
        member == "setccdtemperature")
        return Cooler(member, false, params, bad);
    if (member == "electronsperadu")
        return Reply::Value(BcdHundredths(m0.gain));
    if (member == "exposuremax")
        return Reply::Value(client::MaxExposureSeconds(ccd_));
    if (member == "exposuremin")
        return Reply::Value(0.0);
    if (member == "exposureresolution")
        return Reply::Value(0.01);
    if (member == "fullwellcapacity")
        return Reply::Value(kMaxAdu * BcdHundredths(m0.gain));
    if (member == "hasshutter")
        return Reply::Value(!client::IsSingleCcd(unit_.type()));
    if (member == "imageready")
        return Reply::Value(image_ != nullptr);
    if (member == "imagearray" || member == "imagearrayvariant")
        return Reply::Error(AscomError::InvalidOperation, "the image is served apart");
    if (member == "ispulseguiding")
        return Reply::Value(unit_.IsPulseGuiding());
    if (member == "lastexposureduration" || member == "lastexposurestarttime") {
        if (!haveLast_)
            return Reply::Error(AscomError::ValueNotSet, "no exposure has been taken yet");
        return member == "lastexposureduration" ? Reply::Value(lastSeconds_)
                                                : Reply::Value(lastStart_);
    }
    if (member == "maxadu")
        return Reply::Value(kMaxAdu);
    if (member == "maxbinx")
        return Reply::Value(MaxBin(false));
    if (member == "maxbiny")
        return Reply::Value(MaxBin(true));
    if (member == "numx")
        return Reply::Value(numX_);
    if (member == "numy")
        return Reply::Value(numY_);
    if (member == "startx")
        return Reply::Value(startX_);
    if (member == "starty")
        return Reply::Value(startY_);
    if (member == "percentcompleted")
        return PercentCompleted();
    if (member == "pixelsizex")
        return Reply::Value(BcdHundredths(m0.pixelWidth));
    if (member == "pixelsizey")
        return Reply::Value(BcdHundredths(m0.pixelHeight));
    if (member == "readoutmode")
        return Reply::Value(readoutMode_);
    if (member == "readoutmodes")
        return Reply::Value(ReadoutModes());
    if (member == "sensorname")
        return Reply::Value(info.name + (ccd_ == 0 ? " imaging CCD" : " tracking CCD"));
    if (member == "sensortype")
        return Reply::Value(0);
    *bad = BadRequest{"camera has no member '" + member + "'"};
    return Reply::Done();
}

// ---------------------------------------------------------------------------
// PUT

Reply CameraDevice::Put(const std::string& member, const Params& params,
                        std::optional<BadRequest>* bad) {
    if (member == "connected") {
        const bool on = params.Boolean("Connected", bad);
        return *bad ? Reply::Done() : Connect(on);
    }
    if (member == "action") {
        const std::string action = params.Text("Action", bad);
        if (*bad)
            return Reply::Done();
        if (Lower(action) != kRelayStatusAction)
            return Reply::Error(AscomError::ActionNotImplemented,
                                "no action '" + action + "' (supported: RelayStatus)");
        {
            std::lock_guard<std::mutex> g(lock_);
            if (!connected_)
                return NotConnected();
        }
        std::uint16_t word = 0;
        Reply r = unit_.RelayStatus(&word);
        if (!r.ok())
            return r;
        std::string closed;
        for (unsigned i = 0; i < 4; ++i) {
            closed += i ? "," : "";
            closed += client::RelayClosed(word, i) ? "1" : "0";
        }
        return Reply::Value(closed);
    }
    if (member == "commandblind" || member == "commandbool" || member == "commandstring")
        return Reply::Error(AscomError::NotImplemented, "the camera takes no raw commands");
    if (kAbsent.count(member))
        return Reply::Error(AscomError::NotImplemented,
                            "the camera has no " + member + " (" + Name() + ")");

    if (member == "startexposure") {
        const double seconds = params.Number("Duration", bad);
        const bool light = *bad ? false : params.Boolean("Light", bad);
        return *bad ? Reply::Done() : StartExposure(seconds, light);
    }
    if (member == "pulseguide") {
        const long long direction = params.Integer("Direction", bad);
        const long long ms = *bad ? 0 : params.Integer("Duration", bad);
        if (*bad)
            return Reply::Done();
        {
            std::lock_guard<std::mutex> g(lock_);
            if (!connected_)
                return NotConnected();
        }
        if (direction < 0 || direction > 3)
            return Invalid("Direction " + std::to_string(direction) +
                           " (valid: 0 north, 1 south, 2 east, 3 west)");
        if (ms < 0 || ms > kMaxPulseMs)
            return Invalid("Duration " + std::to_string(ms) + " ms (valid: 0 to " +
                           std::to_string(kMaxPulseMs) + ")");
        return unit_.PulseGuide(static_cast<unsigned>(direction), static_cast<std::uint32_t>(ms));
    }
    if (member == "cooleron" || member == "setccdtemperature")
        return Cooler(member, true, params, bad);

    // Frame settings: one integer each.
    static const std::map<std::string, const char*> kIntegerParam = {
        {"binx", "BinX"},
        {"biny", "BinY"},
        {"numx", "NumX"},
        {"numy", "NumY"},
        {"startx", "StartX"},
        {"starty", "StartY"},
        {"readoutmode", "ReadoutMode"}};
    auto it = kIntegerParam.find(member);
    if (it != kIntegerParam.end()) {
        const long long v = params.Integer(it->second, bad);
        if (*bad)
            return Reply::Done();
        std::lock_guard<std::mutex> g(lock_);
        if (!connected_)
            return NotConnected();
        Reap();
        const std::string name = it->second;
        if (member == "binx" || member == "biny") {
            const unsigned max = MaxBin(member == "biny");
            if (v < 1 || v > max)
                return Invalid(name + " " + std::to_string(v) + " (valid: 1 to " +
                               std::to_string(max) + ")");
            const unsigned b = static_cast<unsigned>(v);
            if (!CanAsymmetricBin())
                binX_ = binY_ = b;
            else
                (member == "binx" ? binX_ : binY_) = b;
            return Reply::Done();
        }
        if (member == "readoutmode") {
            const long long count = static_cast<long long>(ReadoutModes().size());
            if (v < 0 || v >= count)
                return Invalid("ReadoutMode " + std::to_string(v) + " (valid: 0 to " +
                               std::to_string(count - 1) + ")");
            readoutMode_ = static_cast<unsigned>(v);
            return Reply::Done();
        }
        const long long low = (member == "numx" || member == "numy") ? 1 : 0;
        if (v < low || v > kMaxCoordinate)
            return Invalid(name + " " + std::to_string(v) + " (valid: " + std::to_string(low) +
                           " to " + std::to_string(kMaxCoordinate) + ")");
        const unsigned u = static_cast<unsigned>(v);
        if (member == "numx")
            numX_ = u;
        else if (member == "numy")
            numY_ = u;
        else if (member == "startx")
            startX_ = u;
        else
            startY_ = u;
        return Reply::Done();
    }
    if (member == "abortexposure" || member == "stopexposure") {
        std::lock_guard<std::mutex> g(lock_);
        if (!connected_)
            return NotConnected();
        if (member == "abortexposure") {
            EndJob(true);
            return Reply::Done();
        }
        if (job_ && !job_->finished)
            job_->capture.StopEarly();
        return Reply::Done();
    }
    *bad = BadRequest{"member '" + member + "' takes GET, not PUT"};
    return Reply::Done();
}

Reply CameraDevice::Connect(bool on) {
    std::lock_guard<std::mutex> g(lock_);
    if (on == connected_)
        return Reply::Done();
    if (!on) {
        EndJob(true);
        connected_ = false;
        unit_.Detach();
        return Reply::Done();
    }
    Reply r = unit_.Attach();
    if (!r.ok())
        return r;
    connected_ = true;
    const client::ReadoutModeInfo& m0 = unit_.info(ccd_).modes[0];
    binX_ = binY_ = 1;
    startX_ = startY_ = 0;
    numX_ = m0.width;
    numY_ = m0.height;
    readoutMode_ = 0;
    failed_ = false;
    return Reply::Done();
}

}  // namespace zeva::alpaca
