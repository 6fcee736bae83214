#include "alpaca/settings.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <vector>

#include "alpaca/protocol.h"

namespace zeva::alpaca {

namespace {

using json = nlohmann::json;
namespace fs = std::filesystem;

std::vector<std::string> SplitCommas(const std::string& text) {
    std::vector<std::string> parts;
    std::stringstream s(text);
    std::string part;
    while (std::getline(s, part, ',')) parts.push_back(part);
    if (!text.empty() && text.back() == ',')
        parts.push_back("");
    return parts;
}

bool CameraFromJson(const json& j, CameraSettings* c, std::string* error) {
    if (!j.is_object()) {
        *error = "a camera's settings are not an object";
        return false;
    }
    if (j.contains("cooler_calibration")) {
        const json& k = j["cooler_calibration"];
        client::CoolerCalibration cal;
        const char* names[4] = {"reading1", "celsius1", "reading2", "celsius2"};
        double* fields[4] = {&cal.reading1, &cal.celsius1, &cal.reading2, &cal.celsius2};
        for (int i = 0; i < 4; ++i) {
            if (!k.is_object() || !k.contains(names[i]) || !k[names[i]].is_number()) {
                *error = std::string("cooler_calibration needs a number ") + names[i];
                return false;
            }
            *fields[i] = k[names[i]].get<double>();
        }
        if (!cal.Valid()) {
            *error = "the two cooler calibration points must differ in reading and temperature";
            return false;
        }
        c->calibration = cal;
    }
    if (j.contains("relays")) {
        const json& r = j["relays"];
        client::RelayMap map;
        const char* names[4] = {"north", "south", "east", "west"};
        unsigned* fields[4] = {&map.north, &map.south, &map.east, &map.west};
        for (int i = 0; i < 4; ++i) {
            if (!r.is_object() || !r.contains(names[i]) || !r[names[i]].is_number_unsigned()) {
                *error = std::string("relays needs an output 0 to 3 for ") + names[i];
                return false;
            }
            *fields[i] = r[names[i]].get<unsigned>();
        }
        if (!map.Valid()) {
            *error = "each guiding direction needs its own relay 0 to 3";
            return false;
        }
        c->relays = map;
    }
    return true;
}

}  // namespace

std::string DefaultSettingsPath() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg == '/')
        return std::string(xdg) + "/zeva-alpaca/settings.json";
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : ".") + "/.config/zeva-alpaca/settings.json";
}

bool LoadSettings(const std::string& path, Settings* settings, std::string* error) {
    *settings = Settings{};
    std::error_code ec;
    if (!fs::exists(path, ec) && !ec)
        return true;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read the settings file " + path + ": " + std::strerror(errno);
        return false;
    }
    const json j = json::parse(in, nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
        *error = "the settings file " + path + " is not valid JSON; fix or remove it";
        return false;
    }
    if (!j.contains("cameras"))
        return true;
    if (!j["cameras"].is_object()) {
        *error = "the settings file " + path + ": \"cameras\" is not an object";
        return false;
    }
    for (const auto& [entry, value] : j["cameras"].items()) {
        CameraSettings c;
        std::string why;
        if (!CameraFromJson(value, &c, &why)) {
            *error = "the settings file " + path + ", camera \"" + entry + "\": " + why;
            return false;
        }
        settings->cameras[entry] = c;
    }
    return true;
}

bool SaveSettings(const std::string& path, const Settings& settings, std::string* error) {
    json cameras = json::object();
    for (const auto& [entry, c] : settings.cameras) {
        cameras[entry] = {{"cooler_calibration",
                           {{"reading1", c.calibration.reading1},
                            {"celsius1", c.calibration.celsius1},
                            {"reading2", c.calibration.reading2},
                            {"celsius2", c.calibration.celsius2}}},
                          {"relays",
                           {{"north", c.relays.north},
                            {"south", c.relays.south},
                            {"east", c.relays.east},
                            {"west", c.relays.west}}}};
    }
    const std::string text = json{{"cameras", cameras}}.dump(2) + "\n";
    std::error_code ec;
    const fs::path p(path);
    if (p.has_parent_path())
        fs::create_directories(p.parent_path(), ec);
    const std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out) {
            *error = "cannot write the settings file " + tmp + ": " + std::strerror(errno);
            std::remove(tmp.c_str());
            return false;
        }
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        *error = "cannot replace the settings file " + path + ": " + std::strerror(errno);
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

bool ParseCalibration(const std::string& text, client::CoolerCalibration* cal, std::string* error) {
    const std::vector<std::string> parts = SplitCommas(text);
    double v[4];
    bool ok = parts.size() == 4;
    for (std::size_t i = 0; ok && i < 4; ++i) ok = ParseNumber(parts[i], &v[i]);
    if (!ok || v[0] < 0 || v[0] > 4095 || v[2] < 0 || v[2] > 4095) {
        *error = "bad --calibration '" + text +
                 "' (valid: READING1,CELSIUS1,READING2,CELSIUS2, readings 0 to 4095)";
        return false;
    }
    client::CoolerCalibration c{v[0], v[1], v[2], v[3]};
    if (!c.Valid()) {
        *error = "bad --calibration '" + text +
                 "': the two points must differ in reading and in temperature";
        return false;
    }
    *cal = c;
    return true;
}

bool ParseRelayMap(const std::string& text, client::RelayMap* map, std::string* error) {
    const std::vector<std::string> parts = SplitCommas(text);
    long long v[4];
    bool ok = parts.size() == 4;
    for (std::size_t i = 0; ok && i < 4; ++i)
        ok = ParseInteger(parts[i], &v[i]) && v[i] >= 0 && v[i] <= 3;
    client::RelayMap m;
    if (ok)
        m = client::RelayMap{static_cast<unsigned>(v[0]), static_cast<unsigned>(v[1]),
                             static_cast<unsigned>(v[2]), static_cast<unsigned>(v[3])};
    if (!ok || !m.Valid()) {
        *error = "bad --relays '" + text +
                 "' (valid: NORTH,SOUTH,EAST,WEST, four different relays 0 to 3)";
        return false;
    }
    *map = m;
    return true;
}

}  // namespace zeva::alpaca
