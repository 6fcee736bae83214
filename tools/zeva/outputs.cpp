// zeva relay, pulse and tiptilt: the guide relays, the pulse output and
// the tip-tilt unit.
#include <array>
#include <cstdio>
#include <cstring>

#include "client/plan.h"
#include "tools/zeva/tool.h"

namespace zeva::tool {

using namespace zeva::client;

namespace {

// The camera times a relay in 10 ms steps up to 2550 ms; a longer time goes
// in 160 ms steps (every time of the command divided by 16), up to 40800 ms.
constexpr long kFineStepMs = 10, kCoarseStepMs = 160, kMaxRelayMs = 255 * kCoarseStepMs;

// The relay time the camera will keep for `ms`, and what to send for it.
long RelayMs(long ms, std::uint16_t* units) {
    if ((ms + kFineStepMs / 2) / kFineStepMs <= 255) {
        *units = static_cast<std::uint16_t>((ms + kFineStepMs / 2) / kFineStepMs);
        return *units * kFineStepMs;
    }
    const long coarse = (ms + kCoarseStepMs / 2) / kCoarseStepMs;
    *units = static_cast<std::uint16_t>(coarse * (kCoarseStepMs / kFineStepMs));
    return coarse * kCoarseStepMs;
}

// The session for a command on the outputs the guide relays' microcontroller
// drives (relays, pulse output, tip-tilt port); cameras without them are
// refused by name rather than with the garbled answer their own gives.
int OpenGuidePort(const Global& g, Session* s, const char* command, const char* missing) {
    if (int rc = OpenSession(g, s))
        return rc;
    if (!HasGuideRelays(s->type))
        return Fail(std::string(command) + ": this camera has no " + missing);
    return 0;
}

}  // namespace

int CmdRelay(const Global& g, int argc, char** argv) {
    if (argc == 1 && std::strcmp(argv[0], "--help") == 0) {
        std::printf(
            "usage: zeva relay OUTPUT MS\n  close guide relay OUTPUT (0-3) for MS milliseconds "
            "(10 ms steps up to 2550 ms, then 160 ms steps up to 40800 ms)\n");
        return 0;
    }
    long out = 0, ms = 0;
    if (argc != 2 || !ParseLong(argv[0], &out) || out < 0 || out > 3 || !ParseLong(argv[1], &ms) ||
        ms < 0 || ms > kMaxRelayMs)
        return Usage("relay: expected OUTPUT (0 to 3) and MS (0 to 40800)");
    std::array<std::uint16_t, 4> times{};
    const long kept = RelayMs(ms, &times[static_cast<std::size_t>(out)]);
    Session s;
    if (int rc = OpenGuidePort(g, &s, "relay", "guide relays"))
        return rc;
    Status st = s.camera.ActivateRelay(times);
    if (!st.ok())
        return FailStatus("activating the relay", st);
    std::printf("relay %ld: closed for %ld ms", out, kept);
    if (kept != ms)
        std::printf(" (%ld ms is not a step the camera times: %ld ms steps%s)", ms,
                    kept > 255 * kFineStepMs ? kCoarseStepMs : kFineStepMs,
                    kept > 255 * kFineStepMs ? " above 2550 ms" : "");
    std::printf("\n");
    NoteSimulatedState(g, nullptr);
    return 0;
}

int CmdPulse(const Global& g, int argc, char** argv) {
    if (argc == 1 && std::strcmp(argv[0], "--help") == 0) {
        std::printf(
            "usage: zeva pulse COUNT WIDTH PERIOD\n  pulses on the pulse output, width and period "
            "in camera units\n");
        return 0;
    }
    long v[3];
    if (argc != 3 || !ParseLong(argv[0], &v[0]) || !ParseLong(argv[1], &v[1]) ||
        !ParseLong(argv[2], &v[2]) || v[0] < 0 || v[0] > 255 || v[1] < 0 || v[1] > 65535 ||
        v[2] < 0 || v[2] > 65535)
        return Usage("pulse: expected COUNT (0 to 255), WIDTH and PERIOD (0 to 65535)");
    Session s;
    if (int rc = OpenGuidePort(g, &s, "pulse", "guide relays"))
        return rc;
    Status st =
        s.camera.PulseOut(static_cast<std::uint16_t>(v[0]), static_cast<std::uint16_t>(v[1]),
                          static_cast<std::uint16_t>(v[2]));
    if (!st.ok())
        return FailStatus("sending the pulses", st);
    std::printf("pulse output: %ld pulses, width %ld, period %ld (camera units)\n", v[0], v[1],
                v[2]);
    NoteSimulatedState(g, nullptr);
    return 0;
}

int CmdTipTilt(const Global& g, int argc, char** argv) {
    if (argc == 1 && std::strcmp(argv[0], "--help") == 0) {
        std::printf(
            "usage: zeva tiptilt X Y\n  move the tip-tilt unit to position X, Y (0 to 65535)\n");
        return 0;
    }
    long x, y;
    if (argc != 2 || !ParseLong(argv[0], &x) || !ParseLong(argv[1], &y) || x < 0 || x > 65535 ||
        y < 0 || y > 65535)
        return Usage("tiptilt: expected X and Y (0 to 65535)");
    Session s;
    if (int rc = OpenGuidePort(g, &s, "tiptilt", "tip-tilt port"))
        return rc;
    Status st = s.camera.AOTipTilt(static_cast<std::uint16_t>(x), static_cast<std::uint16_t>(y));
    if (!st.ok())
        return FailStatus("moving the tip-tilt unit", st);
    std::printf("tip-tilt: moved to %ld, %ld\n", x, y);
    NoteSimulatedState(g, nullptr);
    return 0;
}

}  // namespace zeva::tool
