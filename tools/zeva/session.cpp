#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "client/explain.h"
#include "tools/zeva/tool.h"

namespace zeva::tool {

using namespace zeva::client;

std::atomic<bool> gStop{false};
std::atomic<int> gStopSignal{0};

int InterruptedExit() {
    const int sig = gStopSignal;
    return 128 + (sig > 0 ? sig : SIGINT);
}

int Fail(const std::string& what) {
    std::fprintf(stderr, "zeva: %s\n", what.c_str());
    return 1;
}

int FailStatus(const std::string& what, const Status& s) {
    return Fail(what + " failed: " + Explain(s));
}

bool ParseDouble(const char* text, double* v) {
    char* end = nullptr;
    *v = std::strtod(text, &end);
    return end != text && *end == 0;
}

bool ParseLong(const char* text, long* v) {
    char* end = nullptr;
    *v = std::strtol(text, &end, 0);
    return end != text && *end == 0;
}

int OpenSession(const Global& g, Session* s) {
    Status st = s->driver.Open(g.lib);
    if (!st.ok()) {
        // A port that could not be opened keeps the system from starting.
        const std::string why = SystemStartError();
        if (!why.empty())
            return Fail(why);
        return FailStatus("opening the driver", st);
    }
    st = s->camera.Open(g.port);
    if (!st.ok()) {
        const std::string why = SystemStartError();
        if (!why.empty())
            return Fail(why);
        return Fail("opening the camera on port " + std::to_string(g.port) +
                    " failed: " + Explain(st));
    }
    st = s->camera.EstablishLink(&s->type);
    if (!st.ok())
        return FailStatus("linking to the camera", st);
    bool eepromFailed = false;
    st = CheckEeprom(s->camera, s->type, &eepromFailed);
    if (!st.ok())
        return FailStatus("reading the camera's EEPROM information", st);
    if (eepromFailed)
        std::fprintf(stderr, "zeva: warning: %s\n", kEepromFailedWarning);
    return 0;
}

void PrintTemperature(const TemperatureStatus& t) {
    std::printf("cooler: regulation %s%s, setpoint %.1f C (%u), reading %.1f C (%u), power %u%%\n",
                (t.regulationFlags & 1) ? "on" : "off",
                (t.regulationFlags & 0x8000) ? " (frozen)" : "", ReadingToCelsius(t.setpoint),
                t.setpoint, ReadingToCelsius(t.reading2), t.reading2,
                static_cast<unsigned>((t.power * 100 + 127) / 255));
}

}  // namespace zeva::tool
