#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client/explain.h"
#include "client/fits_keys.h"
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
    return kExitFailure;
}

int Usage(const std::string& what) {
    Fail(what);
    return kExitUsage;
}

int FailStatus(const std::string& what, const Status& s) {
    return Fail(what + " failed: " + Explain(s));
}

namespace {
template <typename T>
bool ParseWhole(const char* text, T* v) {
    const char* end = text + std::strlen(text);
    const auto [next, ec] = std::from_chars(text, end, *v);
    return ec == std::errc() && next == end && next != text;
}
}  // namespace

bool ParseDouble(const char* text, double* v) {
    return ParseWhole(text, v);
}

bool ParseLong(const char* text, long* v) {
    return ParseWhole(text, v);
}

void NoteSimulatedState(const Global& g, const char* watchHint) {
    static bool said = false;
    if (!g.Simulated() || said)
        return;
    said = true;
    std::fprintf(stderr,
                 "zeva: note: the simulated camera (%s) lasts only while this command runs: "
                 "what it set is gone when it ends, and the next zeva command starts a fresh "
                 "camera.%s%s  The INDI driver (indi_zeva_ccd) and the Alpaca server "
                 "(zeva-alpaca) keep one camera running.\n",
                 g.entry.c_str(), watchHint ? "  To watch it " : "", watchHint ? watchHint : "");
}

int OpenSession(const Global& g, Session* s) {
    if (g.entry.empty()) {
        const char* noun = g.entries == 1 ? " entry" : " entries";
        return Fail("there is no port " + std::to_string(g.port) + ": ZEVA_PORTS has " +
                    std::to_string(g.entries) + noun + " (valid: --port 1 to " +
                    std::to_string(g.entries) + ")");
    }
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
    char setpoint[64] = "none";
    if (Regulating(t))
        std::snprintf(setpoint, sizeof setpoint, "%.1f C (%u)", ReadingToCelsius(t.setpoint),
                      t.setpoint);
    std::printf("cooler: regulation %s%s, setpoint %s, reading %.1f C (%u), power %.0f%%\n",
                Regulating(t) ? "on" : "off", (t.regulationFlags & 0x8000) ? " (frozen)" : "",
                setpoint, ReadingToCelsius(t.reading2), t.reading2, CoolerPowerPercent(t.power));
}

int WatchTemperature(Session& s, double seconds) {
    do {
        TemperatureStatus t;
        Status st = s.camera.QueryTemperatureStatus(&t);
        if (!st.ok())
            return FailStatus("reading the cooler status", st);
        PrintTemperature(t);
        std::fflush(stdout);
        if (seconds > 0)
            for (int ms = 0; ms < seconds * 1000 && !gStop; ms += 50) SleepMs(50);
    } while (seconds > 0 && !gStop);
    return gStop ? InterruptedExit() : 0;
}

}  // namespace zeva::tool
