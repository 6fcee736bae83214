// What the zeva tool's subcommands share: the global options, the camera
// session, argument parsing and error reporting.  One file per subcommand
// group (info.cpp, capture.cpp, cooler.cpp, outputs.cpp); main.cpp holds the
// table that names them.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "client/client.h"

namespace zeva::tool {

// Set by SIGINT, SIGTERM and SIGHUP: commands stop at the next safe point.
extern std::atomic<bool> gStop;
// The signal that set gStop.
extern std::atomic<int> gStopSignal;
// The exit code of a command stopped by a signal: 128 + the signal (130 for
// Ctrl-C, 143 for SIGTERM, 129 for a closed terminal).
int InterruptedExit();

struct Global {
    std::uint16_t port = 1;
    std::string sim;
    std::string device;  // --port /dev/parportN
    client::Library lib = client::Library::Nt;
    // The ZEVA_PORTS entries in effect, and the one of --port (empty when
    // the list has fewer entries).
    unsigned entries = 0;
    std::string entry;
    // Whether that entry is a simulated camera (its state lasts only while
    // this process runs).
    bool Simulated() const { return entry.rfind("sim:", 0) == 0; }
};

// Exit statuses: a camera or file failure, a command line the tool cannot
// take (unknown option or command, bad value).
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Prints "zeva: WHAT" on standard error; returns kExitFailure.
int Fail(const std::string& what);
// The same for a usage error; returns kExitUsage.
int Usage(const std::string& what);
// "zeva: WHAT failed: ErrX (error n)"; returns kExitFailure.
int FailStatus(const std::string& what, const client::Status& s);

// Whole-string decimal numbers (no hexadecimal, no leading '+', no spaces);
// false for anything else.
bool ParseDouble(const char* text, double* v);
bool ParseLong(const char* text, long* v);

// Once per process, on standard error, for a command that changed the
// camera: a simulated camera forgets it when this command ends.
void NoteSimulatedState(const Global& g, const char* watchHint);

// The driver and the camera on the chosen port, linked.
struct Session {
    client::Driver driver;
    client::Camera camera;
    std::uint16_t type = 0;
};
// 0 once linked, else the tool's exit code (the error printed).
int OpenSession(const Global& g, Session* s);

// "cooler: regulation on, setpoint ..." on standard output; the setpoint
// only while the cooler regulates to it ("setpoint none" otherwise).
void PrintTemperature(const client::TemperatureStatus& t);
// Repeats PrintTemperature every `seconds` until a signal; returns 0, 1 or
// InterruptedExit().
int WatchTemperature(Session& s, double seconds);

// A subcommand: its global options and the arguments after its name;
// returns the tool's exit code.
using CommandFn = int (*)(const Global& g, int argc, char** argv);

int CmdInfo(const Global& g, int argc, char** argv);
int CmdCapture(const Global& g, int argc, char** argv);
int CmdTemp(const Global& g, int argc, char** argv);
int CmdCool(const Global& g, int argc, char** argv);
int CmdRelay(const Global& g, int argc, char** argv);
int CmdPulse(const Global& g, int argc, char** argv);
int CmdTipTilt(const Global& g, int argc, char** argv);

}  // namespace zeva::tool
