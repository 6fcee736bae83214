// zeva: command-line tool for ZEVA cameras (info, capture to FITS, cooler,
// guiding outputs, tip-tilt).  Uses only the client API.  This file reads the
// global options and runs the subcommand named in the table below; each
// subcommand group has a file of its own.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "client/plan.h"
#include "tools/zeva/doctor.h"
#include "tools/zeva/tool.h"

namespace zeva::tool {
namespace {

using namespace zeva::client;

// The ZEVA_PORTS entries (a simulated Gannet when unset) and the one of
// `g.port`, trimmed.
void FindPortEntry(Global* g) {
    const char* ports = std::getenv("ZEVA_PORTS");
    const std::string list = ports != nullptr && *ports ? ports : "sim:gannet";
    std::size_t start = 0;
    for (unsigned n = 1;; ++n) {
        const std::size_t comma = list.find(',', start);
        std::string entry = list.substr(start, comma - start);
        entry.erase(0, entry.find_first_not_of(' '));
        entry.erase(entry.find_last_not_of(' ') + 1);
        if (n == g->port)
            g->entry = entry;
        g->entries = n;
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
}

DoctorSetup DoctorSetupOf(const Global& g) {
    DoctorSetup setup;
    setup.port = g.port;
    setup.library = g.lib;
    setup.entry = g.entry;
    return setup;
}

int CmdDoctor(const Global& g, int argc, char** argv) {
    return DoctorCommand(DoctorSetupOf(g), argc, argv);
}

struct Command {
    const char* name;
    const char* synopsis;  // the usage line after "  "
    CommandFn run;
};

const Command kCommands[] = {
    {"info", "info                      camera, firmware, readout modes, EEPROM, cooler", CmdInfo},
    {"capture", "capture [SECONDS]         expose and write FITS (zeva capture --help)",
     CmdCapture},
    {"temp", "temp [--watch SECONDS]    cooler status", CmdTemp},
    {"cool", "cool SETPOINT_C | off | --power N | --freeze on|off  [--watch SECONDS]", CmdCool},
    {"relay", "relay OUTPUT MS           close guide relay OUTPUT (0-3) for MS milliseconds",
     CmdRelay},
    {"pulse", "pulse COUNT WIDTH PERIOD  pulse output, camera units", CmdPulse},
    {"tiptilt", "tiptilt X Y               move the tip-tilt unit", CmdTipTilt},
    {"doctor", "doctor                    check a camera's setup step by step", CmdDoctor},
};

const char* kUsageHead =
    "usage: zeva [--sim MODEL[?options]] [--port N | /dev/parportN | io:0xNNN] [--lib nt|9x|vb]\n"
    "            COMMAND [options]\n"
    "       zeva --help | --version\n"
    "commands:\n";

const char* kUsageTail =
    "Options take their value as the next word or after '=' (--port=2).\n"
    "--sim MODEL uses the simulated camera (gannet, heron, ibis, jacana, kestrel, egret,\n"
    "finch, siskin; model9 is a test case: a camera of a model this software does not\n"
    "support; options as in ZEVA_PORTS, e.g. gannet?scene=pattern).\n"
    "--port N opens the camera on port N of ZEVA_PORTS (default 1); --port /dev/parportN\n"
    "drives a real camera on that Linux parallel port (ppdev; needs group lp); --port io:0xNNN\n"
    "drives the port at that I/O address directly (needs CAP_SYS_RAWIO; see the README).\n"
    "--lib picks the library path: nt (default) ParDeviceCommand of libzevant; 9x\n"
    "ParDrvCommand of libzeva32m through zeva32.vxd (first port only); vb ParDrvCommandVB\n"
    "of libzevavb32, to the library the platform calls for (ZEVA_WINDOWS=95|98: 9x).\n"
    "Exit status: 0 done, 1 the camera or a file failed, 2 a usage error, 128 + the signal\n"
    "when interrupted (130 for Ctrl-C).\n";

void PrintUsage(FILE* to) {
    std::fputs(kUsageHead, to);
    for (const Command& c : kCommands) std::fprintf(to, "  %s\n", c.synopsis);
    std::fputs(kUsageTail, to);
}

void OnSignal(int sig) {
    gStopSignal = sig;
    gStop = true;
}

// "--opt=value" as the two words "--opt" "value" (split at the first '=').
std::vector<std::string> SplitOptions(int argc, char** argv) {
    std::vector<std::string> words;
    for (int i = 0; i < argc; ++i) {
        const std::string a = argv[i];
        const std::size_t eq = a.find('=');
        if (i > 0 && a.rfind("--", 0) == 0 && a.size() > 2 && eq != std::string::npos) {
            words.push_back(a.substr(0, eq));
            words.push_back(a.substr(eq + 1));
        } else {
            words.push_back(a);
        }
    }
    return words;
}

int Main(int argc0, char** argv0) {
    std::vector<std::string> words = SplitOptions(argc0, argv0);
    std::vector<char*> args;
    for (std::string& w : words) args.push_back(w.data());
    args.push_back(nullptr);
    const int argc = static_cast<int>(words.size());
    char** argv = args.data();
    Global g;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--sim" && i + 1 < argc) {
            g.sim = argv[++i];
            if (g.sim.empty() || g.sim == "sim:")
                return Usage("--sim needs a camera model, e.g. --sim gannet (see zeva --help)");
        } else if (a == "--port" && i + 1 < argc) {
            const std::string v = argv[i + 1];
            long p;
            if (v.rfind("/dev/", 0) == 0 || v.rfind("io:", 0) == 0) {
                g.device = v;
                g.port = 1;
            } else if (!ParseLong(v.c_str(), &p) || p < 1 || p > 9) {
                return Usage("bad --port '" + v + "' (valid: 1 to 9, /dev/parportN or io:0xNNN)");
            } else {
                g.port = static_cast<std::uint16_t>(p);
            }
            ++i;
        } else if (a == "--lib" && i + 1 < argc) {
            if (!ParseLibrary(argv[i + 1], &g.lib))
                return Usage(std::string("bad --lib '") + argv[i + 1] + "' (valid: nt, 9x, vb)");
            ++i;
        } else if (a == "--help" || a == "-h") {
            PrintUsage(stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("zeva %s\n", Version());
            return 0;
        } else if (a == "--sim" || a == "--port" || a == "--lib") {
            return Usage(a + " needs a value");
        } else if (a.rfind("-", 0) == 0) {
            return Usage("unknown option '" + a + "' (see zeva --help)");
        } else {
            break;
        }
    }
    if (i >= argc) {
        PrintUsage(stderr);
        return kExitUsage;
    }
    if (!g.sim.empty() && !g.device.empty())
        return Usage("--sim and --port " + g.device + " both name the camera; give one of them");
    if (g.lib == Library::Win9x && g.port != 1)
        return Usage(
            "--lib 9x reaches only the first port (zeva32.vxd drives port 1), not --port " +
            std::to_string(g.port));
    if (!g.device.empty()) {
        // The real port as the system's only port; before the first library call.
        setenv("ZEVA_PORTS", g.device.c_str(), 1);
    } else if (!g.sim.empty()) {
        // Every port the simulated camera; must be set before the first library call.
        std::string entry = g.sim.rfind("sim:", 0) == 0 ? g.sim : "sim:" + g.sim;
        std::string ports = entry;
        for (unsigned p = 1; p < g.port; ++p) ports = entry + "," + ports;
        setenv("ZEVA_PORTS", ports.c_str(), 1);
    }
    FindPortEntry(&g);
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);  // the terminal closed: end as cleanly as on Ctrl-C
    const std::string cmd = argv[i];
    for (const Command& c : kCommands)
        if (cmd == c.name)
            return c.run(g, argc - i - 1, argv + i + 1);
    std::string valid;
    for (const Command& c : kCommands) valid += (valid.empty() ? "" : ", ") + std::string(c.name);
    return Usage("unknown command '" + cmd + "' (valid: " + valid + ")");
}

}  // namespace
}  // namespace zeva::tool

// Every command has closed its camera and the driver by the time it returns.
// The process then ends without running the libraries' static destructors:
// the in-process platform's teardown at exit aborts (a worker thread still
// joinable), which would turn every result into a crash.
int main(int argc, char** argv) {
    const int rc = zeva::tool::Main(argc, argv);
    std::fflush(nullptr);
    std::_Exit(rc);
}
