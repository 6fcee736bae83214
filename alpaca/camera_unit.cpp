#include "alpaca/camera_unit.h"

#include <algorithm>
#include <cstdio>

#include "client/capture.h"
#include "client/explain.h"

namespace zeva::alpaca {

namespace {

constexpr std::uint64_t kMs = 1'000'000;
// A pulse whose relay has opened ends when less than this is still due; a
// longer one goes on in another piece (the camera times at most 2.55 s).
constexpr std::uint64_t kPulseSlackNs = 10 * kMs;
// When the relay status cannot be read, a pulse ends this long after its time.
constexpr std::uint64_t kPulseGiveUpNs = 1000 * kMs;
// Relay status polls while a pulse runs, and the monitor's pace otherwise.
constexpr std::uint32_t kGuidePollMs = 10;
constexpr std::uint32_t kIdlePollMs = 100;
// The cooler status is read again when older than this.
constexpr std::uint64_t kTemperatureAgeNs = 1000 * kMs;

}  // namespace

Reply CameraFailure(const std::string& what, const client::Status& status) {
    return Reply::Error(AscomError::CameraError, what + " failed: " + client::Explain(status));
}

CameraUnit::CameraUnit(std::uint16_t port, std::string entry, CameraSettings settings)
    : port_(port), entry_(std::move(entry)), settings_(settings) {}

CameraUnit::~CameraUnit() {
    Close();
}

bool CameraUnit::Open(std::string* error) {
    client::Status st = camera_.Open(port_);
    if (!st.ok()) {
        const std::string why = client::SystemStartError();
        *error = !why.empty() ? why
                              : "opening the camera on port \"" + entry_ +
                                    "\" failed: " + client::Explain(st);
        return false;
    }
    st = camera_.EstablishLink(&type_);
    if (!st.ok()) {
        *error = "linking to the camera on port \"" + entry_ + "\" failed: " + client::Explain(st);
        camera_.Close();
        return false;
    }
    CheckEeprom();
    shutter_.SetTracking(hasTracking());
    const unsigned ccds = hasTracking() ? 2 : 1;
    for (unsigned ccd = 0; ccd < ccds; ++ccd) {
        st = camera_.GetCCDInfo(static_cast<std::uint16_t>(ccd), &info_[ccd]);
        if (!st.ok() || info_[ccd].modes.empty() || info_[ccd].modes[0].width == 0 ||
            info_[ccd].modes[0].height == 0) {
            *error =
                "reading the CCD information of the camera on port \"" + entry_ +
                "\" failed: " + (st.ok() ? std::string("no readout modes") : client::Explain(st));
            camera_.Close();
            return false;
        }
    }
    monitorStop_ = false;
    monitor_ = std::thread([this] { MonitorLoop(); });
    return true;
}

void CameraUnit::Close() {
    if (monitor_.joinable()) {
        monitorStop_ = true;
        monitor_.join();
        StopGuiding();
    }
    std::lock_guard<client::CameraLock> g(io_);
    camera_.Close();
}

Reply CameraUnit::Attach() {
    std::lock_guard<std::mutex> g(attachLock_);
    if (attached_ == 0) {
        std::uint16_t type = 0;
        const client::Status st = Locked([&](client::Camera& c) { return c.EstablishLink(&type); });
        if (!st.ok())
            return CameraFailure("linking to the camera on port \"" + entry_ + "\"", st);
        if (type != type_)
            return Reply::Error(AscomError::CameraError,
                                "the camera on port \"" + entry_ + "\" is now of type " +
                                    std::to_string(type) + ", not " + std::to_string(type_) +
                                    " as at start-up: restart the server");
        CheckEeprom();
    }
    ++attached_;
    return Reply::Done();
}

// The driver links a camera whose EEPROM fails its checksum as a Gannet:
// the user is told at start-up and at every first connect.
void CameraUnit::CheckEeprom() {
    bool failed = false;
    const client::Status st =
        Locked([&](client::Camera& c) { return client::CheckEeprom(c, type_, &failed); });
    eepromFailed_ = st.ok() && failed;
    if (eepromFailed_)
        std::fprintf(stderr, "zeva-alpaca: port \"%s\": warning: %s\n", entry_.c_str(),
                     client::kEepromFailedWarning);
}

void CameraUnit::Detach() {
    std::lock_guard<std::mutex> g(attachLock_);
    if (attached_ > 0 && --attached_ == 0)
        StopGuiding();
}

// ---------------------------------------------------------------------------
// Cooler

Reply CameraUnit::ReadTemperature(client::TemperatureStatus* status) {
    const client::Status st =
        Locked([&](client::Camera& c) { return c.QueryTemperatureStatus(status); });
    std::lock_guard<std::mutex> g(tempLock_);
    tempOk_ = st.ok();
    tempNs_ = client::NowNs();  // a failed read is tried again a second later too
    if (!st.ok())
        return CameraFailure("reading the cooler", st);
    temp_ = *status;
    return Reply::Done();
}

Reply CameraUnit::Temperature(client::TemperatureStatus* status) {
    {
        std::lock_guard<std::mutex> g(tempLock_);
        if (tempOk_ && client::NowNs() - tempNs_ < kTemperatureAgeNs) {
            *status = temp_;
            return Reply::Done();
        }
    }
    return ReadTemperature(status);
}

Reply CameraUnit::SetRegulation(bool on, double celsius) {
    const std::uint16_t reading = settings().calibration.ToReading(celsius);
    const client::Status st = Locked([&](client::Camera& c) {
        return on ? c.SetTemperatureRegulation(1, reading) : c.SetTemperatureRegulation(0, 0);
    });
    if (!st.ok())
        return CameraFailure(on ? "setting the cooler" : "switching the cooler off", st);
    client::TemperatureStatus now;
    ReadTemperature(&now);  // the next status shows the change
    return Reply::Done();
}

// What the calibration can express over the readings 0 to 4095, within the
// temperatures a cooled camera can have (a steep calibration would reach far
// beyond them).
void CameraUnit::SetpointRange(double* low, double* high) const {
    const client::CoolerCalibration cal = settings().calibration;
    const double a = cal.ToCelsius(0);
    const double b = cal.ToCelsius(4095);
    *low = std::max(std::min(a, b), kColdestCelsius);
    *high = std::min(std::max(a, b), kWarmestCelsius);
}

// ---------------------------------------------------------------------------
// Settings

CameraSettings CameraUnit::settings() const {
    std::lock_guard<std::mutex> g(settingsLock_);
    return settings_;
}

Reply CameraUnit::ChangeSettings(const CameraSettings& settings) {
    CameraSettings old;
    {
        // Under the guiding lock: no pulse starts or ends on the old relays
        // once the new ones are in.
        std::lock_guard<std::mutex> g(guideLock_);
        if (pulses_[0].active || pulses_[1].active)
            return Reply::Error(AscomError::InvalidOperation,
                                "a guiding pulse runs on the camera on port \"" + entry_ + "\"");
        std::lock_guard<std::mutex> s(settingsLock_);
        old = settings_;
        settings_ = settings;
    }
    const client::CoolerCalibration& a = old.calibration;
    const client::CoolerCalibration& b = settings.calibration;
    if (a.reading1 == b.reading1 && a.celsius1 == b.celsius1 && a.reading2 == b.reading2 &&
        a.celsius2 == b.celsius2)
        return Reply::Done();
    client::TemperatureStatus t;
    const Reply r = Temperature(&t);
    if (!r.ok() || (t.regulationFlags & 1) == 0)
        return r;
    // The camera regulates to a reading: the new calibration gives the same
    // target in C another one.
    return SetRegulation(true, a.ToCelsius(t.setpoint));
}

// ---------------------------------------------------------------------------
// Guiding relays

client::Status CameraUnit::SendRelays(std::uint64_t now) {
    std::uint32_t left[2] = {0, 0};
    for (int a = 0; a < 2; ++a)
        if (pulses_[a].active && pulses_[a].endNs > now)
            left[a] = static_cast<std::uint32_t>((pulses_[a].endNs - now) / kMs);
    const auto times = client::RelayTimes(settings().relays, left[0], pulses_[0].positive, left[1],
                                          pulses_[1].positive);
    return Locked([&](client::Camera& c) { return c.ActivateRelay(times); });
}

Reply CameraUnit::PulseGuide(unsigned direction, std::uint32_t ms) {
    const unsigned axis = direction <= 1 ? 0 : 1;
    // North and west close the first relay of their axis.
    const bool positive = direction == 0 || direction == 3;
    std::unique_lock<std::mutex> g(guideLock_);
    const std::uint64_t now = client::NowNs();
    const Pulse before = pulses_[axis];
    // A pulse shorter than the camera's 10 ms step closes no relay.
    pulses_[axis] = ms < 5 ? Pulse{} : Pulse{true, positive, now + std::uint64_t{ms} * kMs};
    const client::Status st = SendRelays(now);
    if (!st.ok()) {
        pulses_[axis] = before;
        return CameraFailure("closing the guiding relay", st);
    }
    return Reply::Done();
}

bool CameraUnit::IsPulseGuiding() {
    std::lock_guard<std::mutex> g(guideLock_);
    return pulses_[0].active || pulses_[1].active;
}

Reply CameraUnit::RelayStatus(std::uint16_t* word) {
    const client::Status st =
        Locked([&](client::Camera& c) { return c.QueryCommandStatus(7, word); });
    if (!st.ok())
        return CameraFailure("reading the relays", st);
    return Reply::Done();
}

void CameraUnit::StopGuiding() {
    std::lock_guard<std::mutex> g(guideLock_);
    if (!pulses_[0].active && !pulses_[1].active)
        return;
    pulses_[0] = Pulse{};
    pulses_[1] = Pulse{};
    Locked([](client::Camera& c) { return c.ActivateRelay({0, 0, 0, 0}); });
}

// Ends each pulse once its relay has opened and its time is up; sends the rest
// of a pulse longer than the camera can time in one piece.
void CameraUnit::PollRelays() {
    if (!pulses_[0].active && !pulses_[1].active)
        return;
    std::uint16_t word = 0;
    const client::Status st =
        Locked([&](client::Camera& c) { return c.QueryCommandStatus(7, &word); });
    const std::uint64_t now = client::NowNs();
    const client::RelayMap map = settings().relays;
    const unsigned out[2][2] = {{map.north, map.south}, {map.west, map.east}};
    bool resend = false;
    for (int a = 0; a < 2; ++a) {
        Pulse& p = pulses_[a];
        if (!p.active)
            continue;
        if (!st.ok()) {
            if (now > p.endNs + kPulseGiveUpNs)
                p = Pulse{};
            continue;
        }
        if (client::RelayClosed(word, out[a][p.positive ? 0 : 1]))
            continue;
        if (p.endNs > now + kPulseSlackNs)
            resend = true;
        else
            p = Pulse{};
    }
    if (resend)
        SendRelays(now);
}

// The monitor: guiding pulses every few ms while they run, the cooler status
// once a second.  Its waits go through the client, so on the virtual clock
// they move the camera's time on.
void CameraUnit::MonitorLoop() {
    while (!monitorStop_) {
        bool guiding;
        {
            std::lock_guard<std::mutex> g(guideLock_);
            PollRelays();
            guiding = pulses_[0].active || pulses_[1].active;
        }
        bool stale;
        {
            std::lock_guard<std::mutex> g(tempLock_);
            stale = client::NowNs() - tempNs_ >= kTemperatureAgeNs;
        }
        if (stale) {
            client::TemperatureStatus t;
            ReadTemperature(&t);
        }
        client::PauseMs(guiding ? kGuidePollMs : kIdlePollMs);
    }
}

}  // namespace zeva::alpaca
