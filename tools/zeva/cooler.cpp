// zeva temp and zeva cool: the cooler's status and settings.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "tools/zeva/tool.h"

namespace zeva::tool {

using namespace zeva::client;

int CmdTemp(const Global& g, int argc, char** argv) {
    double watch = 0;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::printf(
                "usage: zeva temp [--watch SECONDS]\n  cooler status; with --watch, repeat every "
                "SECONDS until Ctrl-C\n");
            return 0;
        }
        if (std::strcmp(argv[i], "--watch") == 0 && i + 1 < argc &&
            ParseDouble(argv[i + 1], &watch) && std::isfinite(watch) && watch > 0) {
            ++i;
            continue;
        }
        return Fail(std::string("temp: bad argument '") + argv[i] + "' (valid: --watch SECONDS)");
    }
    Session s;
    if (int rc = OpenSession(g, &s))
        return rc;
    do {
        TemperatureStatus t;
        Status st = s.camera.QueryTemperatureStatus(&t);
        if (!st.ok())
            return FailStatus("reading the cooler status", st);
        PrintTemperature(t);
        std::fflush(stdout);
        if (watch > 0)
            for (int ms = 0; ms < watch * 1000 && !gStop; ms += 50) SleepMs(50);
    } while (watch > 0 && !gStop);
    return 0;
}

int CmdCool(const Global& g, int argc, char** argv) {
    const char* usage =
        "usage: zeva cool SETPOINT_C | off | --power N | --freeze on|off\n"
        "  SETPOINT_C       regulate to this temperature in C\n"
        "  off              switch the cooler off\n"
        "  --power N        fixed drive power 0-255\n"
        "  --freeze on|off  hold the cooler drive during imaging readouts\n";
    if (argc == 0)
        return Fail(std::string("cool: missing setting\n") + usage);
    std::uint16_t regulation = 0, value = 0;
    const std::string a = argv[0];
    long n = 0;
    double c = 0;
    if (a == "--help") {
        std::fputs(usage, stdout);
        return 0;
    } else if (a == "off" && argc == 1) {
        regulation = 0;
    } else if (a == "--power" && argc == 2 && ParseLong(argv[1], &n) && n >= 0 && n <= 255) {
        regulation = 2;
        value = static_cast<std::uint16_t>(n);
    } else if (a == "--power") {
        return Fail("cool: bad --power (valid: 0 to 255)");
    } else if (a == "--freeze" && argc == 2 &&
               (std::strcmp(argv[1], "on") == 0 || std::strcmp(argv[1], "off") == 0)) {
        regulation = std::strcmp(argv[1], "on") == 0 ? 5 : 6;
    } else if (a == "--freeze") {
        return Fail("cool: bad --freeze (valid: on, off)");
    } else if (argc == 1 && ParseDouble(a.c_str(), &c) && c >= -77 && c <= 50) {
        regulation = 1;
        value = CelsiusToReading(c);
    } else {
        return Fail("cool: bad setting '" + a +
                    "' (valid: a setpoint -77 to 50 C, off, --power N, --freeze on|off)");
    }
    Session s;
    if (int rc = OpenSession(g, &s))
        return rc;
    Status st = s.camera.SetTemperatureRegulation(regulation, value);
    if (!st.ok())
        return FailStatus("setting the cooler", st);
    return 0;
}

}  // namespace zeva::tool
