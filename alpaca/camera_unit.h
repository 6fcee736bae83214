// One physical camera of the server: its client handle with the lock every
// exchange takes (the imaging and tracking devices, the monitor thread and
// the HTTP threads share it), what it reported at start-up, the cooler and
// the guiding relays.  A monitor thread keeps the cooler status (clients poll
// it often; they get it without a camera exchange) and ends guiding pulses.  The Alpaca devices of
// the camera (imaging CCD, tracking CCD) are built on it.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "alpaca/protocol.h"
#include "client/camera_lock.h"
#include "client/client.h"
#include "client/plan.h"
#include "client/shutter.h"

namespace zeva::alpaca {

// Sensor temperatures a cooled camera can plausibly have, in C: calibration
// points and set points stay within them.
constexpr double kColdestCelsius = -100;
constexpr double kWarmestCelsius = 80;

// What the settings file keeps for one camera.
struct CameraSettings {
    client::CoolerCalibration calibration;
    client::RelayMap relays;
};

class CameraUnit {
  public:
    // The camera on port `port` (1 = first entry of the system's ports), whose
    // entry text is `entry` (for names and messages).
    CameraUnit(std::uint16_t port, std::string entry, CameraSettings settings);
    ~CameraUnit();
    CameraUnit(const CameraUnit&) = delete;
    CameraUnit& operator=(const CameraUnit&) = delete;

    // Opens the camera, links and reads what its CCDs offer; false with a
    // message for the user when it does not answer.
    bool Open(std::string* error);
    // Ends guiding and closes the camera.
    void Close();

    // A device of this camera connects: the first one links again, so a
    // camera switched off and on since is found in a known state.
    Reply Attach();
    // A device disconnects: the last one ends any guiding pulse.
    void Detach();
    bool Attached() const { return attached_ > 0; }

    std::uint16_t port() const { return port_; }
    const std::string& entry() const { return entry_; }
    std::uint16_t type() const { return type_; }
    bool hasTracking() const { return client::HasTrackingCcd(type_); }
    const client::CcdInfo& info(unsigned ccd) const { return info_[ccd ? 1 : 0]; }
    // The settings now: the set-up page may change them while the server runs.
    CameraSettings settings() const;
    // Takes new settings.  Refused (InvalidOperation) while a guiding pulse
    // runs; a cooler that regulates keeps its target in C under the new
    // calibration.
    Reply ChangeSettings(const CameraSettings& settings);
    // The camera's EEPROM failed its checksum at the last link: its model
    // may be misidentified.
    bool eepromFailed() const { return eepromFailed_; }

    client::Camera& camera() { return camera_; }
    client::CameraLock& lock() { return io_; }
    // The camera's one shutter, shared by its two devices' exposures.
    client::ShutterOwner& shutter() { return shutter_; }
    template <typename F>
    auto Locked(F&& f) {
        std::lock_guard<client::CameraLock> g(io_);
        return f(camera_);
    }

    // --- Cooler --------------------------------------------------------------
    // The cooler status, at most a second old.
    Reply Temperature(client::TemperatureStatus* status);
    Reply SetRegulation(bool on, double celsius);
    // The setpoint range the calibration can express, in C.
    void SetpointRange(double* low, double* high) const;

    // --- Guiding relays ------------------------------------------------------
    // Direction 0 north, 1 south, 2 east, 3 west; returns at once.
    Reply PulseGuide(unsigned direction, std::uint32_t ms);
    bool IsPulseGuiding();
    // The relay status word (command 7).
    Reply RelayStatus(std::uint16_t* word);

  private:
    struct Pulse {
        bool active = false;
        bool positive = false;  // north / west
        std::uint64_t endNs = 0;
    };
    void CheckEeprom();
    void MonitorLoop();
    void PollRelays();                             // caller holds guideLock_
    client::Status SendRelays(std::uint64_t now);  // caller holds guideLock_
    void StopGuiding();
    Reply ReadTemperature(client::TemperatureStatus* status);

    const std::uint16_t port_;
    const std::string entry_;
    mutable std::mutex settingsLock_;  // taken last, only to copy settings_
    CameraSettings settings_;

    client::CameraLock io_;
    client::ShutterOwner shutter_;
    client::Camera camera_;
    std::uint16_t type_ = 0;
    client::CcdInfo info_[2];
    std::atomic<int> attached_{0};
    std::atomic<bool> eepromFailed_{false};
    std::mutex attachLock_;

    // Pulses per axis (0 = north/south, 1 = west/east) on the system clock.
    std::mutex guideLock_;
    Pulse pulses_[2];

    // The last cooler status read, and when (system clock).
    std::mutex tempLock_;
    bool tempOk_ = false;
    client::TemperatureStatus temp_;
    std::uint64_t tempNs_ = 0;

    std::atomic<bool> monitorStop_{false};
    std::thread monitor_;
};

// A camera error as an Alpaca reply: `what` failed, with the camera's reason.
Reply CameraFailure(const std::string& what, const client::Status& status);

}  // namespace zeva::alpaca
