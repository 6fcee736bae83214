#include "alpaca/settings.h"

#include <fcntl.h>
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

// A number as people write it: 1000, -25, 1e+308.
std::string Decimal(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

// The file a save replaces: `path` with its symbolic links followed, so that
// a link (to a file kept elsewhere) stays a link and its target is rewritten.
bool SaveTarget(const std::string& path, std::string* target, std::string* error) {
    fs::path p(path);
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code ec;
        if (!fs::is_symlink(fs::symlink_status(p, ec)))
            break;
        const fs::path to = fs::read_symlink(p, ec);
        if (ec)
            break;
        p = to.is_absolute() ? to : p.parent_path() / to;
    }
    std::error_code ec;
    if (fs::is_symlink(fs::symlink_status(p, ec))) {
        *error = "cannot write the settings file " + path + ": " + std::strerror(ELOOP);
        return false;
    }
    *target = p.string();
    return true;
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
        if (const std::string fault = CalibrationFault(cal); !fault.empty()) {
            *error = "cooler_calibration: " + fault;
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
            // Read whole: 4294967296 must not pass as relay 0.
            const std::uint64_t relay = r[names[i]].get<std::uint64_t>();
            if (relay > 3) {
                *error = std::string("relays: ") + names[i] + " is " + std::to_string(relay) +
                         " (valid: 0 to 3)";
                return false;
            }
            *fields[i] = static_cast<unsigned>(relay);
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
    // Opened without waiting (a FIFO would hold the start-up until a writer
    // came), then checked to be a plain file before anything is read.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return true;
        *error = "cannot read the settings file " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    std::string text;
    const char* fault = nullptr;
    if (fstat(fd, &st) != 0)
        fault = std::strerror(errno);
    else if (S_ISDIR(st.st_mode))
        fault = std::strerror(EISDIR);
    else if (!S_ISREG(st.st_mode))
        fault = "not a regular file";
    char buf[4096];
    while (!fault) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            fault = std::strerror(errno);
        if (n <= 0)
            break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    close(fd);
    if (fault) {
        *error = "cannot read the settings file " + path + ": " + fault;
        return false;
    }
    const json j = json::parse(text, nullptr, false);
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
    std::string target;
    if (!SaveTarget(path, &target, error))
        return false;
    std::error_code ec;
    const fs::path p(target);
    if (p.has_parent_path())
        fs::create_directories(p.parent_path(), ec);
    const std::string tmp = target + ".tmp";
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
    // The new file keeps the old one's permissions.
    const fs::file_status old = fs::status(target, ec);
    if (!ec && fs::is_regular_file(old))
        fs::permissions(tmp, old.permissions(), ec);
    if (std::rename(tmp.c_str(), target.c_str()) != 0) {
        *error = "cannot replace the settings file " + target + ": " + std::strerror(errno);
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

std::string CalibrationFault(const client::CoolerCalibration& cal) {
    const char* readingNames[2] = {"reading1", "reading2"};
    const char* celsiusNames[2] = {"celsius1", "celsius2"};
    const double readings[2] = {cal.reading1, cal.reading2};
    const double celsius[2] = {cal.celsius1, cal.celsius2};
    for (int i = 0; i < 2; ++i) {
        if (!(readings[i] >= 0 && readings[i] <= 4095))
            return std::string(readingNames[i]) + " " + Decimal(readings[i]) +
                   " is outside 0 to 4095";
        if (!(celsius[i] >= kColdestCelsius && celsius[i] <= kWarmestCelsius))
            return std::string(celsiusNames[i]) + " " + Decimal(celsius[i]) +
                   " C is not plausible for a cooled camera (valid: " + Decimal(kColdestCelsius) +
                   " to " + Decimal(kWarmestCelsius) + " C)";
    }
    if (cal.reading1 == cal.reading2)
        return "reading1 and reading2 are both " + Decimal(cal.reading1) +
               ": the two points need different readings";
    if (cal.celsius1 == cal.celsius2)
        return "celsius1 and celsius2 are both " + Decimal(cal.celsius1) +
               " C: the two points need different temperatures";
    return "";
}

bool ParseCalibration(const std::string& text, client::CoolerCalibration* cal, std::string* error) {
    const std::vector<std::string> parts = SplitCommas(text);
    double v[4];
    bool ok = parts.size() == 4;
    for (std::size_t i = 0; ok && i < 4; ++i) ok = ParseNumber(parts[i], &v[i]);
    if (!ok) {
        *error = "bad --calibration '" + text +
                 "' (valid: READING1,CELSIUS1,READING2,CELSIUS2, readings 0 to 4095)";
        return false;
    }
    const client::CoolerCalibration c{v[0], v[1], v[2], v[3]};
    if (const std::string fault = CalibrationFault(c); !fault.empty()) {
        *error = "bad --calibration '" + text + "': " + fault;
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
