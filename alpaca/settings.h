// The server's settings file (JSON): per camera port entry, the cooler's
// two-point calibration and the guiding relay of each direction.
//
//   {"cameras": {"sim:gannet": {"cooler_calibration": {"reading1": 1000,
//     "celsius1": 25, "reading2": 3000, "celsius2": -25},
//     "relays": {"north": 0, "south": 1, "east": 2, "west": 3}}}}
#pragma once

#include <map>
#include <string>

#include "alpaca/camera_unit.h"

namespace zeva::alpaca {

// $XDG_CONFIG_HOME/zeva-alpaca/settings.json, else ~/.config/zeva-alpaca/settings.json.
std::string DefaultSettingsPath();

struct Settings {
    std::map<std::string, CameraSettings> cameras;  // by port entry
};

// Reads `path`; a missing file gives empty settings.  False with a message
// for a file that cannot be read or is not valid (it is then left alone).
bool LoadSettings(const std::string& path, Settings* settings, std::string* error);
// Writes `path` whole (through a temporary file in the same folder,
// creating the folder); a symbolic link is followed and its target
// rewritten.  False with a message.
bool SaveSettings(const std::string& path, const Settings& settings, std::string* error);

// Why `cal` cannot be used, naming the bad number (empty when it can): both
// readings within 0 to 4095 and different, both temperatures plausible for a
// cooled camera and different.
std::string CalibrationFault(const client::CoolerCalibration& cal);

// "R1,C1,R2,C2" and "N,S,E,W" as given on the command line.
bool ParseCalibration(const std::string& text, client::CoolerCalibration* cal, std::string* error);
bool ParseRelayMap(const std::string& text, client::RelayMap* map, std::string* error);

}  // namespace zeva::alpaca
