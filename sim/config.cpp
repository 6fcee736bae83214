// Parsing of "sim:MODEL?key=value&..." port entries.
#include "sim/config.h"

#include <cmath>
#include <cstdlib>
#include <memory>

#include "sim/camera.h"

namespace zeva::sim {

namespace {

template <typename E>
struct Name {
    const char* text;
    E value;
};

constexpr Name<Model> kModelNames[] = {
    {"gannet", Model::Gannet}, {"heron", Model::Heron},     {"ibis", Model::Ibis},
    {"jacana", Model::Jacana}, {"kestrel", Model::Kestrel}, {"egret", Model::Egret},
    {"finch", Model::Finch},   {"siskin", Model::Siskin},   {"model9", Model::Model9}};
constexpr Name<Scene> kSceneNames[] = {{"stars", Scene::Stars}, {"pattern", Scene::Pattern}};
constexpr Name<EepromImage> kEepromNames[] = {{"good", EepromImage::Good},
                                              {"blank", EepromImage::Blank},
                                              {"badsum", EepromImage::BadSum},
                                              {"version0", EepromImage::Version0},
                                              {"version2", EepromImage::Version2}};
constexpr Name<MicroFault> kMicroNames[] = {{"ok", MicroFault::Ok},
                                            {"silent", MicroFault::Silent},
                                            {"noreply", MicroFault::NoReply},
                                            {"nak", MicroFault::Nak},
                                            {"can", MicroFault::Can},
                                            {"garbage", MicroFault::Garbage},
                                            {"badlength", MicroFault::BadLength}};
constexpr Name<bool> kBusyNames[] = {{"ok", false}, {"stuck", true}};
constexpr Name<bool> kShutterNames[] = {{"ok", true}, {"fault", false}};
constexpr Name<bool> kFlagNames[] = {{"1", true},   {"0", false},   {"yes", true},
                                     {"no", false}, {"true", true}, {"false", false}};

template <typename E, std::size_t N>
bool Lookup(const Name<E> (&names)[N], const std::string& what, const std::string& text, E* out,
            std::string* error) {
    for (const Name<E>& n : names)
        if (text == n.text) {
            *out = n.value;
            return true;
        }
    std::string valid;
    for (const Name<E>& n : names) valid += std::string(valid.empty() ? "" : ", ") + n.text;
    *error = "sim: unknown " + what + " '" + text + "' (valid: " + valid + ")";
    return false;
}

bool Number(const std::string& key, const std::string& text, unsigned long long max,
            unsigned long long* out, std::string* error) {
    char* end = nullptr;
    const unsigned long long v = text.empty() ? 0 : std::strtoull(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || text[0] == '-' || v > max) {
        *error = "sim: bad value '" + text + "' for " + key + " (valid: a number 0 to " +
                 std::to_string(max) + ")";
        return false;
    }
    *out = v;
    return true;
}

std::string Trimmed(double v) {
    std::string t = std::to_string(v);
    while (!t.empty() && t.back() == '0') t.pop_back();
    if (!t.empty() && t.back() == '.')
        t.pop_back();
    return t;
}

bool Decimal(const std::string& key, const std::string& text, double min, double max, double* out,
             std::string* error) {
    char* end = nullptr;
    const double v = text.empty() ? 0.0 : std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(v) || v < min || v > max) {
        *error = "sim: bad value '" + text + "' for " + key + " (valid: a number " + Trimmed(min) +
                 " to " + Trimmed(max) + ")";
        return false;
    }
    *out = v;
    return true;
}

constexpr const char* kOptionList =
    "scene, seed, eeprom, eeprom-type, micro, busy, shutter, unplugged, latency, base, "
    "guide-rate, focal-length, drift-ra, drift-dec, pe-amplitude, pe-period, port-ns";

// Decimal options: name, range, where the value goes.
struct DecimalOption {
    const char* key;
    double min, max;
    double MountOptions::*field;
};
constexpr DecimalOption kDecimalOptions[] = {
    {"guide-rate", 0.0, 4.0, &MountOptions::guideRate},
    {"focal-length", 0.0, 100000.0, &MountOptions::focalLengthMm},
    {"drift-ra", -3600.0, 3600.0, &MountOptions::driftRa},
    {"drift-dec", -3600.0, 3600.0, &MountOptions::driftDec},
    {"pe-amplitude", 0.0, 3600.0, &MountOptions::peAmplitude},
    {"pe-period", 1.0, 86400.0, &MountOptions::pePeriod},
};

// A port access longer than this is not a camera any more (a second per access).
constexpr unsigned long long kMaxPortNs = 1000000000ull;

bool KnownKey(const std::string& key) {
    for (const char* k : {"scene", "seed", "eeprom", "eeprom-type", "micro", "busy", "shutter",
                          "latency", "base", "port-ns"})
        if (key == k)
            return true;
    for (const DecimalOption& d : kDecimalOptions)
        if (key == d.key)
            return true;
    return false;
}

}  // namespace

bool ParseOptions(const std::string& entry, Options* out, std::string* error) {
    std::string rest = entry;
    if (rest.rfind("sim:", 0) == 0)
        rest = rest.substr(4);
    const std::size_t q = rest.find('?');
    const std::string model = rest.substr(0, q);
    Options o;
    if (!Lookup(kModelNames, "model", model, &o.model, error))
        return false;
    std::string query = q == std::string::npos ? std::string() : rest.substr(q + 1);
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string item = query.substr(0, amp);
        query = amp == std::string::npos ? std::string() : query.substr(amp + 1);
        if (item.empty())
            continue;
        const std::size_t eq = item.find('=');
        const std::string key = item.substr(0, eq);
        const bool bare = eq == std::string::npos;
        const std::string value = bare ? std::string() : item.substr(eq + 1);
        unsigned long long n = 0;
        if (key == "unplugged") {
            if (bare)
                o.unplugged = true;
            else if (!Lookup(kFlagNames, "unplugged value", value, &o.unplugged, error))
                return false;
            continue;
        }
        if (bare) {
            *error = "sim: option '" + key + "' needs a value (key=value)";
            if (!KnownKey(key))
                *error = "sim: unknown option '" + key + "' (valid: " + kOptionList + ")";
            return false;
        }
        bool ok = true;
        if (key == "scene") {
            ok = Lookup(kSceneNames, "scene", value, &o.scene, error);
        } else if (key == "seed") {
            ok = Number(key, value, ~0ull, &n, error);
            o.seed = n;
        } else if (key == "eeprom") {
            ok = Lookup(kEepromNames, "eeprom image", value, &o.eeprom, error);
        } else if (key == "eeprom-type") {
            ok = Number(key, value, 255, &n, error);
            o.eepromType = static_cast<int>(n);
        } else if (key == "micro") {
            ok = Lookup(kMicroNames, "micro fault", value, &o.micro, error);
        } else if (key == "busy") {
            ok = Lookup(kBusyNames, "busy mode", value, &o.busyStuck, error);
        } else if (key == "shutter") {
            bool good = true;
            ok = Lookup(kShutterNames, "shutter mode", value, &good, error);
            o.shutterFault = !good;
        } else if (key == "latency") {
            ok = Number(key, value, 1000, &n, error);
            o.latency = static_cast<unsigned>(n);
        } else if (key == "base") {
            ok = Number(key, value, 0xFFFF, &n, error);  // the platform's; checked only
        } else if (key == "port-ns") {
            ok = Number(key, value, kMaxPortNs, &n, error);
            o.portNs = static_cast<unsigned>(n);
        } else {
            const DecimalOption* d = nullptr;
            for (const DecimalOption& x : kDecimalOptions)
                if (key == x.key)
                    d = &x;
            if (d) {
                ok = Decimal(key, value, d->min, d->max, &(o.mount.*(d->field)), error);
            } else {
                *error = "sim: unknown option '" + key + "' (valid: " + kOptionList + ")";
                ok = false;
            }
        }
        if (!ok)
            return false;
    }
    *out = o;
    return true;
}

platform::BackendResult MakeBackend(const std::string& entry) {
    platform::BackendResult r;
    Options o;
    if (!ParseOptions(entry, &o, &r.error))
        return r;
    r.backend = std::make_unique<Camera>(o);
    return r;
}

}  // namespace zeva::sim
