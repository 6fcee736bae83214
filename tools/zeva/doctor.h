// zeva doctor: brings a camera up step by step, one line per step (ok, or
// the problem and its fix), and stops at the first problem that keeps the
// camera from working.
//
// The machine's side (kernel modules, device nodes, the kernel's ports,
// permissions, who holds the port, real-time limits) is read through
// DoctorHost, so that tests can present any machine; the camera is reached
// only through the client.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "client/client.h"

namespace zeva::tool {

// What the doctor reads of the machine outside the camera.
class DoctorHost {
  public:
    virtual ~DoctorHost() = default;
    // A file's text (/proc, /sys); nothing when it cannot be read.
    virtual std::optional<std::string> ReadFile(const std::string& path) = 0;
    // The names in a directory (without . and ..); empty when it cannot be read.
    virtual std::vector<std::string> ListDir(const std::string& path) = 0;
    // Opens a file read-write and closes it again: 0 or the errno value.
    // Opening a ppdev node does not claim the port.
    virtual int TryOpen(const std::string& path) = 0;
    // The group owning a file ("lp"), empty when unknown.
    virtual std::string FileGroup(const std::string& path) = 0;
    // The groups the process runs with, and those the user is listed in
    // (which a new login would give).
    virtual std::vector<std::string> ProcessGroups() = 0;
    virtual std::vector<std::string> UserGroups() = 0;
    // The processor as uname(2) names it ("x86_64").
    virtual std::string Machine() = 0;
};

// The machine this runs on.
DoctorHost& RealDoctorHost();

// What to examine: the port entry of the camera (the ZEVA_PORTS entry the
// tool runs), its place in the port list, and the library path.
struct DoctorSetup {
    std::string entry;
    std::uint16_t port = 1;
    client::Library library = client::Library::Nt;
};

// Exit codes.
inline constexpr int kDoctorReady = 0;     // every step ok
inline constexpr int kDoctorBlocked = 1;   // stopped at a problem
inline constexpr int kDoctorWarnings = 2;  // works, with problems worth fixing

extern const char* const kDoctorUsage;

// Runs every step, writing to `out`; returns one of the exit codes above.
int RunDoctor(const DoctorSetup& setup, DoctorHost& host, std::FILE* out);

// The `doctor` subcommand: arguments after the command name.
int DoctorCommand(const DoctorSetup& setup, int argc, char** argv);

// ---- the steps' shared record (doctor.cpp, doctor_system.cpp)

class DoctorReport {
  public:
    explicit DoctorReport(std::FILE* out) : out_(out) {}
    void Ok(const std::string& step, const std::string& detail);
    // A problem the camera works with.
    void Warn(const std::string& step, const std::string& problem, const std::string& fix);
    // A problem that stops the bring-up: the verdict.
    void Block(const std::string& step, const std::string& problem, const std::string& fix);
    bool blocked() const { return blocked_; }
    // Prints the verdict; the exit code.
    int Finish();

  private:
    std::FILE* out_;
    bool blocked_ = false;
    unsigned warnings_ = 0;
    std::string verdict_;
};

// The checks of the machine for a real port entry (/dev/parportN, io:0xNNN);
// nothing for a simulated camera.  Stops at a blocking problem.
void CheckSystem(const std::string& entry, DoctorHost& host, DoctorReport& report);

}  // namespace zeva::tool
