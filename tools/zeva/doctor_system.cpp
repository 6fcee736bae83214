// zeva doctor: the machine's side of a real port (kernel modules, the
// kernel's ports, device node, permissions, other holders of the port,
// capability, real-time limits), read through DoctorHost.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tools/zeva/doctor.h"

namespace zeva::tool {
namespace {

constexpr int kCapIpcLock = 14;
constexpr int kCapSysRawIo = 17;
constexpr int kCapSysNice = 23;
constexpr long kReadoutPriority = 49;            // the SCHED_FIFO priority of a line readout
constexpr unsigned long kLegacyPortTop = 0x3FF;  // motherboard ports sit below

const char* const kParportDir = "/proc/sys/dev/parport";

std::string Hex(unsigned long v) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%lX", v);
    return text;
}

std::string Trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ' || s.back() == '\t')) s.pop_back();
    return s;
}

bool Contains(const std::vector<std::string>& v, const std::string& x) {
    return std::find(v.begin(), v.end(), x) != v.end();
}

std::string Join(const std::vector<std::string>& v) {
    std::string out;
    for (const std::string& s : v) out += (out.empty() ? "" : ", ") + s;
    return out;
}

// A port the kernel's parport driver registered.
struct KernelPort {
    std::string name;  // "parport0"
    unsigned long base = 0;
    std::vector<std::string> devices;  // drivers registered on it (lp, ppdev0)
    std::string active;                // the one that has it claimed now, or "none"
};

std::vector<KernelPort> KernelPorts(DoctorHost& host) {
    std::vector<KernelPort> ports;
    for (const std::string& name : host.ListDir(kParportDir)) {
        if (name.rfind("parport", 0) != 0)
            continue;  // "default" holds the timeslice settings
        const std::string dir = std::string(kParportDir) + "/" + name;
        KernelPort port;
        port.name = name;
        if (auto text = host.ReadFile(dir + "/base-addr"))
            port.base = std::strtoul(text->c_str(), nullptr, 10);
        for (const std::string& d : host.ListDir(dir + "/devices"))
            if (d != "active")
                port.devices.push_back(d);
        port.active = Trim(host.ReadFile(dir + "/devices/active").value_or("none"));
        ports.push_back(port);
    }
    std::sort(ports.begin(), ports.end(), [](const KernelPort& a, const KernelPort& b) {
        return a.name.size() != b.name.size() ? a.name.size() < b.name.size() : a.name < b.name;
    });
    return ports;
}

std::string Describe(const std::vector<KernelPort>& ports) {
    std::string out;
    for (const KernelPort& p : ports) {
        out += (out.empty() ? "" : ", ") + p.name + " at " + Hex(p.base);
        if (p.base > kLegacyPortTop)
            out +=
                " (a PCI/PCIe card: /dev/" + p.name + ", or io:" + Hex(p.base) + " for direct I/O)";
    }
    return out;
}

// Effective capabilities from /proc/self/status.
unsigned long long Capabilities(DoctorHost& host) {
    std::istringstream status(host.ReadFile("/proc/self/status").value_or(""));
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("CapEff:", 0) == 0)
            return std::strtoull(line.c_str() + 7, nullptr, 16);
    return 0;
}

bool Has(unsigned long long caps, int cap) {
    return (caps >> cap) & 1u;
}

// The soft limit of one /proc/self/limits line ("Max realtime priority"):
// -1 for unlimited, 0 when absent.
long long SoftLimit(DoctorHost& host, const std::string& name) {
    std::istringstream limits(host.ReadFile("/proc/self/limits").value_or(""));
    std::string line;
    while (std::getline(limits, line)) {
        if (line.rfind(name, 0) != 0)
            continue;
        std::istringstream rest(line.substr(name.size()));
        std::string soft;
        rest >> soft;
        return soft == "unlimited" ? -1 : std::strtoll(soft.c_str(), nullptr, 10);
    }
    return 0;
}

void CheckRealtime(DoctorHost& host, DoctorReport& report) {
    const unsigned long long caps = Capabilities(host);
    const long long rtprio = SoftLimit(host, "Max realtime priority");
    if (Has(caps, kCapSysNice) || rtprio < 0 || rtprio >= kReadoutPriority)
        report.Ok("real-time priority",
                  "line readouts run at SCHED_FIFO priority " + std::to_string(kReadoutPriority));
    else
        report.Warn("real-time priority",
                    "no real-time priority (rtprio limit " + std::to_string(rtprio) +
                        ", no CAP_SYS_NICE): on a busy machine other programs can stretch a "
                        "line's readout, which shows as streaks in the image",
                    "add '@lp - rtprio 49' to /etc/security/limits.conf and log in again");
    const long long memlock = SoftLimit(host, "Max locked memory");
    if (Has(caps, kCapIpcLock) || memlock < 0)
        report.Ok("memory locking", "the process stays in memory during line readouts");
    else
        report.Warn("memory locking",
                    "memory cannot be locked (limit " + std::to_string(memlock) +
                        " bytes, no CAP_IPC_LOCK): a page fault in a line's readout stretches "
                        "it",
                    "add '@lp - memlock unlimited' to /etc/security/limits.conf and log in "
                    "again");
}

void CheckModulesAndPorts(DoctorHost& host, DoctorReport& report, std::vector<KernelPort>* ports) {
    const std::vector<std::string> modules = host.ListDir("/sys/module");
    std::vector<std::string> loaded;
    for (const char* m : {"parport", "parport_pc", "ppdev", "lp"})
        if (Contains(modules, m))
            loaded.push_back(m);
    if (!Contains(modules, "ppdev"))
        return report.Block("kernel modules",
                            "the ppdev module is not loaded: without it there is no "
                            "/dev/parportN",
                            "sudo modprobe parport_pc ppdev (add both to /etc/modules to load "
                            "them at boot)");
    *ports = KernelPorts(host);
    if (ports->empty() && !Contains(modules, "parport_pc"))
        return report.Block("kernel modules",
                            "parport_pc is not loaded: the kernel has no parallel port",
                            "sudo modprobe parport_pc");
    report.Ok("kernel modules", Join(loaded) + " loaded");
    if (ports->empty())
        return report.Block(
            "kernel ports", "the kernel found no parallel port",
            "enable the port in the BIOS (SPP or bidirectional mode); for a PCI/PCIe card "
            "find its I/O address (lspci -v, e.g. 0xD010) and pass it: sudo modprobe "
            "parport_pc io=0xD010 irq=none");
}

void CheckPpdev(const std::string& entry, DoctorHost& host, DoctorReport& report) {
    const std::string path = entry.substr(0, entry.find('?'));
    const std::string name = path.substr(path.rfind('/') + 1);
    std::vector<KernelPort> ports;
    CheckModulesAndPorts(host, report, &ports);
    if (report.blocked())
        return;
    const auto port = std::find_if(ports.begin(), ports.end(),
                                   [&](const KernelPort& p) { return p.name == name; });
    if (port == ports.end()) {
        std::string others;
        for (const KernelPort& p : ports) others += (others.empty() ? "/dev/" : ", /dev/") + p.name;
        return report.Block(
            "kernel ports",
            path + " names no port the kernel found (it has " + Describe(ports) + ")",
            "use one of " + others + ": zeva --port /dev/" + ports[0].name + " doctor");
    }
    report.Ok("kernel ports", Describe(ports));
    if (!Contains(host.ListDir("/dev"), name))
        return report.Block("device node", path + " does not exist although the kernel has " + name,
                            "reload ppdev (sudo modprobe -r ppdev; sudo modprobe ppdev) and "
                            "check that udev runs");
    const int error = host.TryOpen(path);
    const std::string group = host.FileGroup(path);
    if (error == EACCES || error == EPERM) {
        if (!group.empty() && Contains(host.UserGroups(), group) &&
            !Contains(host.ProcessGroups(), group))
            return report.Block(
                "permissions",
                "no permission to open " + path + ": you are in group " + group +
                    ", but this login session started before you joined it",
                "log out and in again (or start a shell with: newgrp " + group + ")");
        return report.Block(
            "permissions",
            "no permission to open " + path +
                (group.empty() ? std::string()
                               : " (it belongs to group " + group + ", which you are not in)"),
            "sudo usermod -aG " + (group.empty() ? std::string("lp") : group) +
                " $USER, then log in again; or a udev rule giving the port to "
                "your group");
    }
    if (error != 0)
        return report.Block("permissions", "cannot open " + path + ": " + std::strerror(error),
                            "reload the port modules (sudo modprobe -r ppdev parport_pc; sudo "
                            "modprobe parport_pc ppdev)");
    report.Ok("permissions", path + " opens for reading and writing" +
                                 (group.empty() ? std::string() : " (group " + group + ")"));
    if (Contains(port->devices, "lp"))
        return report.Block(
            "port holders",
            "the printer driver lp holds " + name + ": the camera cannot have the port to itself",
            "sudo rmmod lp (stop CUPS first if it prints to /dev/lp0: sudo "
            "systemctl stop cups); to keep lp away: echo 'blacklist lp' | sudo "
            "tee /etc/modprobe.d/zeva.conf");
    if (!port->devices.empty() || (port->active != "none" && !port->active.empty())) {
        std::vector<std::string> holders = port->devices;
        if (port->active != "none" && !port->active.empty() && !Contains(holders, port->active))
            holders.push_back(port->active);
        return report.Block(
            "port holders",
            name + " is in use by " + Join(holders) + ": another program or driver has the port",
            "close the other camera or printer program (fuser -v " + path + ")");
    }
    report.Ok("port holders", "nothing else uses " + name);
    CheckRealtime(host, report);
}

void CheckDirectIo(const std::string& entry, DoctorHost& host, DoctorReport& report) {
    const std::string text = entry.substr(3, entry.find('?') - 3);
    const unsigned long address = std::strtoul(text.c_str(), nullptr, 0);
    const std::string machine = host.Machine();
    if (machine != "x86_64" &&
        !(machine.size() == 4 && machine[0] == 'i' && machine[2] == '8' && machine[3] == '6'))
        return report.Block("processor",
                            (machine.empty() ? std::string("this processor") : machine) +
                                " has no port instructions: direct port I/O needs an x86 "
                                "machine",
                            "use the ppdev port: zeva --port /dev/parport0 doctor");
    report.Ok("processor", machine + ": port instructions");
    const std::vector<KernelPort> ports = KernelPorts(host);
    for (const KernelPort& p : ports) {
        if (p.base <= address + 2 && address <= p.base + 2)
            return report.Block("kernel ports",
                                "the kernel's parallel-port driver has the port at " +
                                    Hex(address) + " as " + p.name +
                                    ": two drivers on one port corrupt each other's signals",
                                "use /dev/" + p.name +
                                    " (ppdev), or unload the port drivers: sudo rmmod lp ppdev "
                                    "parport_pc");
    }
    report.Ok("kernel ports", "no kernel driver has " + Hex(address) +
                                  (ports.empty() ? std::string(" (the kernel has no port)")
                                                 : " (the kernel's: " + Describe(ports) + ")"));
    if (!Has(Capabilities(host), kCapSysRawIo))
        return report.Block("capability", "no CAP_SYS_RAWIO: the kernel refuses direct port access",
                            "run as root, or give the program the capability: sudo setcap "
                            "cap_sys_rawio+ep $(command -v zeva) (read the README's warning "
                            "first)");
    report.Ok("capability", "CAP_SYS_RAWIO");
    const std::string lockdown = host.ReadFile("/sys/kernel/security/lockdown").value_or("");
    if (lockdown.find("[integrity]") != std::string::npos ||
        lockdown.find("[confidentiality]") != std::string::npos)
        return report.Block("kernel lockdown",
                            "the kernel is locked down (Secure Boot): it refuses port "
                            "instructions even to root",
                            "use the ppdev port: zeva --port /dev/parport0 doctor");
    CheckRealtime(host, report);
}

class RealHost final : public DoctorHost {
  public:
    std::optional<std::string> ReadFile(const std::string& path) override {
        std::ifstream file(path);
        if (!file)
            return std::nullopt;
        std::ostringstream text;
        text << file.rdbuf();
        return text.str();
    }
    std::vector<std::string> ListDir(const std::string& path) override {
        std::vector<std::string> names;
        if (DIR* dir = opendir(path.c_str())) {
            while (dirent* e = readdir(dir))
                if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                    names.push_back(e->d_name);
            closedir(dir);
        }
        return names;
    }
    int TryOpen(const std::string& path) override {
        const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd < 0)
            return errno;
        close(fd);
        return 0;
    }
    std::string FileGroup(const std::string& path) override {
        struct stat st {};
        if (stat(path.c_str(), &st) != 0)
            return {};
        const group* g = getgrgid(st.st_gid);
        return g != nullptr ? g->gr_name : std::to_string(st.st_gid);
    }
    std::vector<std::string> ProcessGroups() override {
        std::vector<gid_t> ids(static_cast<std::size_t>(std::max(getgroups(0, nullptr), 0)) + 1);
        const int n = getgroups(static_cast<int>(ids.size()) - 1, ids.data());
        ids.resize(static_cast<std::size_t>(std::max(n, 0)));
        ids.push_back(getegid());
        return Names(ids);
    }
    std::vector<std::string> UserGroups() override {
        const passwd* pw = getpwuid(getuid());
        if (pw == nullptr)
            return {};
        int n = 64;
        std::vector<gid_t> ids(static_cast<std::size_t>(n));
        if (getgrouplist(pw->pw_name, pw->pw_gid, ids.data(), &n) < 0) {
            ids.resize(static_cast<std::size_t>(n));
            getgrouplist(pw->pw_name, pw->pw_gid, ids.data(), &n);
        }
        ids.resize(static_cast<std::size_t>(std::max(n, 0)));
        return Names(ids);
    }
    std::string Machine() override {
        utsname u{};
        return uname(&u) == 0 ? u.machine : "";
    }

  private:
    static std::vector<std::string> Names(const std::vector<gid_t>& ids) {
        std::vector<std::string> names;
        for (gid_t id : ids) {
            const group* g = getgrgid(id);
            names.push_back(g != nullptr ? g->gr_name : std::to_string(id));
        }
        return names;
    }
};

}  // namespace

DoctorHost& RealDoctorHost() {
    static RealHost host;
    return host;
}

void CheckSystem(const std::string& entry, DoctorHost& host, DoctorReport& report) {
    if (entry.rfind("/dev/", 0) == 0)
        CheckPpdev(entry, host, report);
    else if (entry.rfind("io:", 0) == 0)
        CheckDirectIo(entry, host, report);
}

}  // namespace zeva::tool
