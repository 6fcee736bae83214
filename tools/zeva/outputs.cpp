// zeva relay, pulse and tiptilt: the guiding relays, the pulse output and
// the tip-tilt unit.
#include <array>
#include <cstdio>
#include <cstring>

#include "tools/zeva/tool.h"

namespace zeva::tool {

using namespace zeva::client;

int CmdRelay(const Global& g, int argc, char** argv) {
    if (argc == 1 && std::strcmp(argv[0], "--help") == 0) {
        std::printf(
            "usage: zeva relay OUTPUT MS\n  close guiding relay OUTPUT (0-3) for MS milliseconds "
            "(10 ms steps)\n");
        return 0;
    }
    long out = 0, ms = 0;
    if (argc != 2 || !ParseLong(argv[0], &out) || out < 0 || out > 3 || !ParseLong(argv[1], &ms) ||
        ms < 0 || ms > 655350)
        return Fail("relay: expected OUTPUT (0 to 3) and MS (0 to 655350)");
    std::array<std::uint16_t, 4> times{};
    times[static_cast<std::size_t>(out)] = static_cast<std::uint16_t>((ms + 5) / 10);
    Session s;
    if (int rc = OpenSession(g, &s))
        return rc;
    Status st = s.camera.ActivateRelay(times);
    return st.ok() ? 0 : FailStatus("activating the relay", st);
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
        return Fail("pulse: expected COUNT (0 to 255), WIDTH and PERIOD (0 to 65535)");
    Session s;
    if (int rc = OpenSession(g, &s))
        return rc;
    Status st =
        s.camera.PulseOut(static_cast<std::uint16_t>(v[0]), static_cast<std::uint16_t>(v[1]),
                          static_cast<std::uint16_t>(v[2]));
    return st.ok() ? 0 : FailStatus("sending the pulses", st);
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
        return Fail("tiptilt: expected X and Y (0 to 65535)");
    Session s;
    if (int rc = OpenSession(g, &s))
        return rc;
    Status st = s.camera.AOTipTilt(static_cast<std::uint16_t>(x), static_cast<std::uint16_t>(y));
    return st.ok() ? 0 : FailStatus("moving the tip-tilt unit", st);
}

}  // namespace zeva::tool
