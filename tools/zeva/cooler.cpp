// zeva temp and zeva cool: the cooler's status and settings.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "client/fits_keys.h"
#include "client/plan.h"
#include "tools/zeva/tool.h"

namespace zeva::tool {

using namespace zeva::client;

namespace {

// The camera keeps a setpoint's top 8 bits: readings in steps of 16.
constexpr unsigned kSetpointStep = 16;
constexpr unsigned kMaxSetpointReading = 4095 / kSetpointStep * kSetpointStep;

// "--watch SECONDS" at argv[*i]: a positive finite number; advances *i.
bool WatchOption(int argc, char** argv, int* i, double* seconds) {
    if (std::strcmp(argv[*i], "--watch") != 0 || *i + 1 >= argc ||
        !ParseDouble(argv[*i + 1], seconds) || !std::isfinite(*seconds) || *seconds <= 0)
        return false;
    ++*i;
    return true;
}

}  // namespace

int CmdTemp(const Global& g, int argc, char** argv) {
    double watch = 0;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::printf(
                "usage: zeva temp [--watch SECONDS]\n  cooler status; with --watch, repeat every "
                "SECONDS until Ctrl-C\n");
            return 0;
        }
        if (!WatchOption(argc, argv, &i, &watch))
            return Usage(std::string("temp: bad argument '") + argv[i] +
                         "' (valid: --watch SECONDS)");
    }
    Session s;
    if (int rc = OpenSession(g, &s))
        return rc;
    return WatchTemperature(s, watch);
}

int CmdCool(const Global& g, int argc, char** argv) {
    const CoolerCalibration cal;
    const double low = std::min(cal.ToCelsius(0), cal.ToCelsius(4095));
    const double high = std::max(cal.ToCelsius(0), cal.ToCelsius(4095));
    char range[96];
    std::snprintf(range, sizeof range, "a setpoint %.1f to %.1f C", low, high);
    const std::string usage = std::string(
                                  "usage: zeva cool SETPOINT_C | off | --power N | --freeze "
                                  "on|off  [--watch SECONDS]\n"
                                  "  SETPOINT_C       regulate to this temperature in C (") +
                              range +
                              ", kept in steps of about 0.4 C)\n"
                              "  off              switch the cooler off\n"
                              "  --power N        fixed drive power 0-255\n"
                              "  --freeze on|off  hold the cooler drive during imaging readouts\n"
                              "  --watch SECONDS  then show the cooler status every SECONDS until "
                              "Ctrl-C\n";
    double watch = 0;
    if (argc >= 2 && std::strcmp(argv[argc - 2], "--watch") == 0) {
        int at = argc - 2;
        if (!WatchOption(argc, argv, &at, &watch))
            return Usage(std::string("cool: bad --watch '") + argv[argc - 1] +
                         "' (valid: seconds above 0)");
        argc -= 2;
    }
    if (argc == 0)
        return Usage("cool: missing setting\n" + usage);
    std::uint16_t regulation = 0, value = 0;
    const std::string a = argv[0];
    long n = 0;
    double c = 0;
    char done[160];
    if (a == "--help") {
        std::fputs(usage.c_str(), stdout);
        return 0;
    } else if (a == "off" && argc == 1) {
        regulation = 0;
        std::snprintf(done, sizeof done, "cooler: off");
    } else if (a == "--power" && argc == 2 && ParseLong(argv[1], &n) && n >= 0 && n <= 255) {
        regulation = 2;
        value = static_cast<std::uint16_t>(n);
        std::snprintf(done, sizeof done, "cooler: fixed drive power %.1f%% (%u of 255)",
                      CoolerPowerPercent(value), value);
    } else if (a == "--power") {
        return Usage("cool: bad --power (valid: 0 to 255)");
    } else if (a == "--freeze" && argc == 2 &&
               (std::strcmp(argv[1], "on") == 0 || std::strcmp(argv[1], "off") == 0)) {
        const bool on = std::strcmp(argv[1], "on") == 0;
        regulation = on ? 5 : 6;
        std::snprintf(done, sizeof done, "cooler: drive %s during imaging readouts",
                      on ? "held at its power" : "regulating");
    } else if (a == "--freeze") {
        return Usage("cool: bad --freeze (valid: on, off)");
    } else if (argc == 1 && ParseDouble(a.c_str(), &c) && c >= low && c <= high) {
        regulation = 1;
        // The nearest setpoint the camera keeps, said when it is not the one asked for.
        const unsigned r = cal.ToReading(c);
        value = static_cast<std::uint16_t>(
            std::min((r + kSetpointStep / 2) / kSetpointStep * kSetpointStep, kMaxSetpointReading));
        const double kept = cal.ToCelsius(value);
        const int len = std::snprintf(done, sizeof done,
                                      "cooler: regulating to %.1f C (reading %u)", kept, value);
        if (std::fabs(kept - c) >= 0.05 && len > 0)
            std::snprintf(done + len, sizeof done - static_cast<std::size_t>(len),
                          "; %g C is not a step the camera keeps (steps of %.1f C)", c,
                          std::fabs(cal.ToCelsius(kSetpointStep) - cal.ToCelsius(0)));
    } else {
        return Usage("cool: bad setting '" + a + "' (valid: " + range +
                     ", off, --power N, --freeze on|off)");
    }
    Session s;
    if (int rc = OpenSession(g, &s))
        return rc;
    Status st = s.camera.SetTemperatureRegulation(regulation, value);
    if (!st.ok())
        return FailStatus("setting the cooler", st);
    std::printf("%s\n", done);
    std::fflush(stdout);
    if (watch > 0)
        return WatchTemperature(s, watch);
    NoteSimulatedState(g, "cool, add --watch SECONDS to this command (as temp --watch does).");
    return 0;
}

}  // namespace zeva::tool
