// A camera device's router (the member table is in members.cpp), its
// connection and the members every Alpaca device has.
#include "alpaca/device.h"

#include <uuid/uuid.h>

#include <cstdio>
#include <fstream>

#include "client/explain.h"

namespace zeva::alpaca {

namespace {

using json = nlohmann::json;

// The namespace of the devices' UniqueIDs: one fixed UUID of this server's own.
constexpr uuid_t kIdNamespace = {0x6f, 0x3a, 0x1c, 0x52, 0x9d, 0x0e, 0x4b, 0x7a,
                                 0x8e, 0x21, 0x5c, 0x44, 0x07, 0xd9, 0xb3, 0x6e};

// What tells this host from others: the system's machine ID, else its name.
std::string MachineId() {
    for (const char* path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
        std::ifstream in(path);
        std::string id;
        if (in && std::getline(in, id) && !id.empty())
            return id;
    }
    char host[256] = "";
    gethostname(host, sizeof host - 1);
    return host;
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
    static const std::string machine = MachineId();
    const std::string key = machine + "\n" + unit_.entry() + "\n" + std::to_string(unit_.port()) +
                            "\n" + std::to_string(ccd_);
    uuid_t id;
    uuid_generate_sha1(id, kIdNamespace, key.data(), key.size());
    char text[37];
    uuid_unparse_lower(id, text);
    return text;
}

void CameraDevice::Shutdown() {
    {
        std::lock_guard<std::mutex> g(linkerLock_);
        if (linker_.joinable())
            linker_.join();
    }
    std::lock_guard<std::mutex> g(lock_);
    EndJob(true);
    if (connected_) {
        connected_ = false;
        unit_.Detach();
    }
}

const CameraDevice::Member* CameraDevice::FindMember(const std::string& name) {
    for (const Member& m : Members())
        if (name == m.name)
            return &m;
    return nullptr;
}

Reply CameraDevice::Call(const std::string& member, bool put, const Params& params,
                         std::optional<BadRequest>* bad) {
    const Member* m = FindMember(member);
    if (!m) {
        *bad = BadRequest{"camera has no member '" + member + "'"};
        return Reply::Done();
    }
    const Handler handler = put ? m->put : m->get;
    if (!handler) {
        *bad =
            BadRequest{"member '" + member + "' takes " + (put ? "GET, not PUT" : "PUT, not GET")};
        return Reply::Done();
    }
    if (put)
        for (const char* name : m->params)
            if (name && !params.Has(name)) {
                *bad = BadRequest{"missing parameter " + std::string(name)};
                return Reply::Done();
            }
    if (!m->present)
        return Reply::Error(AscomError::NotImplemented,
                            "the camera has no " + member + " (" + Name() + ")");
    if (!m->needsConnection)
        return handler(*this, params, bad);
    std::lock_guard<std::mutex> g(lock_);
    if (!connected_)
        return NotConnected();
    Reap();
    return handler(*this, params, bad);
}

// ---------------------------------------------------------------------------
// Connection

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

// Linking takes a few exchanges with the camera (a second when it has to be
// woken): connect and disconnect leave them to the link thread.
Reply CameraDevice::StartLink(bool on) {
    std::lock_guard<std::mutex> g(linkerLock_);
    if (linker_.joinable())
        linker_.join();
    {
        std::lock_guard<std::mutex> g2(linkStateLock_);
        linkFailure_.reset();
        connecting_ = true;
    }
    linker_ = std::thread([this, on] {
        Reply r = Connect(on);
        std::lock_guard<std::mutex> g2(linkStateLock_);
        if (!r.ok())
            linkFailure_ = r;
        connecting_ = false;
    });
    return Reply::Done();
}

Reply CameraDevice::Connecting() {
    std::lock_guard<std::mutex> g(linkStateLock_);
    if (connecting_)
        return Reply::Value(true);
    if (linkFailure_) {
        // A failed connect is reported once, to the client polling for it.
        Reply r = *linkFailure_;
        linkFailure_.reset();
        return r;
    }
    return Reply::Value(false);
}

Reply CameraDevice::DeviceState() {
    json state = json::array();
    auto add = [&](const char* name, const Reply& r) {
        if (r.ok() && r.value)
            state.push_back({{"Name", name}, {"Value", *r.value}});
    };
    add("CameraState", CameraState());
    add("CCDTemperature", CcdTemperature());
    add("CoolerPower", CoolerPower());
    add("ImageReady", Reply::Value(image_ != nullptr));
    add("IsPulseGuiding", Reply::Value(unit_.IsPulseGuiding()));
    add("PercentCompleted", PercentCompleted());
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    add("TimeStamp", Reply::Value(UtcTimestamp(ms)));
    return Reply::Value(state);
}

// A camera's Description goes into FITS headers: at most 68 characters, so
// the port entry and the full warning go to DriverInfo.
Reply CameraDevice::Description() const {
    return Reply::Value(Name() + (unit_.eepromFailed() ? " (EEPROM checksum failed)" : ""));
}

Reply CameraDevice::DriverInfo() const {
    return Reply::Value(
        std::string("zeva-alpaca ") + ZEVA_VERSION +
        ", ASCOM Alpaca server for ZEVA cameras; camera on port \"" + unit_.entry() + "\"" +
        (unit_.eepromFailed() ? std::string(" (warning: ") + client::kEepromFailedWarning + ")"
                              : ""));
}

// The one action: the four relays' states, "0,1,0,0" (relay 0 first).
Reply CameraDevice::Action(const Params& params, std::optional<BadRequest>* bad) {
    const std::string action = params.Text("Action", bad);
    if (*bad)
        return Reply::Done();
    if (!client::HasGuideRelays(unit_.type()) || !EqualNoCase(action, "RelayStatus"))
        return Reply::Error(
            AscomError::ActionNotImplemented,
            "no action '" + action + "'" +
                (client::HasGuideRelays(unit_.type()) ? " (supported: RelayStatus)"
                                                      : " (the camera has no guide relays)"));
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

}  // namespace zeva::alpaca
