// zeva doctor on machines presented through its host interface: each missing
// module, absent port, permission, holder of the port and limit gives its own
// verdict and fix; with everything in place it goes on to the camera, behind
// a stand-in kernel or processor.
#include "tools/zeva/doctor.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>

#include "machine/machine.h"
#include "support/fake_kernel.h"
#include "support/fake_processor.h"

namespace {

using namespace zeva;
using tool::DoctorHost;

class FakeHost : public DoctorHost {
  public:
    std::map<std::string, std::string> files;  // path -> text
    std::map<std::string, int> openErrors;     // path -> errno of TryOpen
    std::string group = "lp";
    std::vector<std::string> processGroups{"astro", "lp"}, userGroups{"astro", "lp"};
    std::string machine = "x86_64";

    // A machine with a working port: modules loaded, parport0 at 0x378 with
    // nothing on it, the node readable, real-time limits granted.
    FakeHost() {
        for (const char* m : {"parport", "parport_pc", "ppdev"}) Module(m);
        Port("parport0", 0x378);
        files["/dev/parport0"] = "";
        files["/proc/self/status"] = "Name:\tzeva\nCapEff:\t0000000000000000\n";
        Limits(99, "unlimited");
    }
    void Module(const std::string& name) { files["/sys/module/" + name + "/refcnt"] = "0"; }
    void Port(const std::string& name, unsigned base, const std::string& device = "",
              const std::string& active = "none") {
        const std::string dir = "/proc/sys/dev/parport/" + name;
        files[dir + "/base-addr"] =
            std::to_string(base) + "\t" + std::to_string(base + 0x400) + "\n";
        files[dir + "/devices/active"] = active + "\n";
        if (!device.empty())
            files[dir + "/devices/" + device + "/timeslice"] = "200\n";
    }
    void Limits(int rtprio, const std::string& memlock) {
        files["/proc/self/limits"] =
            "Limit                     Soft Limit           Hard Limit           Units\n"
            "Max locked memory         " +
            memlock + "            " + memlock +
            "   bytes\n"
            "Max realtime priority     " +
            std::to_string(rtprio) + "                    " + std::to_string(rtprio) + "\n";
    }
    void Capabilities(const std::string& hex) {
        files["/proc/self/status"] = "Name:\tzeva\nCapEff:\t" + hex + "\n";
    }

    std::optional<std::string> ReadFile(const std::string& path) override {
        auto f = files.find(path);
        if (f == files.end())
            return std::nullopt;
        return f->second;
    }
    std::vector<std::string> ListDir(const std::string& path) override {
        std::set<std::string> names;
        const std::string prefix = path + "/";
        for (const auto& [p, text] : files)
            if (p.rfind(prefix, 0) == 0)
                names.insert(p.substr(prefix.size(), p.find('/', prefix.size()) - prefix.size()));
        return {names.begin(), names.end()};
    }
    int TryOpen(const std::string& path) override {
        if (!files.count(path))
            return ENOENT;
        return openErrors.count(path) ? openErrors[path] : 0;
    }
    std::string FileGroup(const std::string&) override { return group; }
    std::vector<std::string> ProcessGroups() override { return processGroups; }
    std::vector<std::string> UserGroups() override { return userGroups; }
    std::string Machine() override { return machine; }
};

struct Result {
    int code = -1;
    std::string text;
    bool Says(const std::string& s) const { return text.find(s) != std::string::npos; }
};

class Doctor : public ::testing::Test {
  protected:
    void SetUp() override {
        // No real port is ever opened: both real-port kinds run on stand-ins.
        machine::SetPpdevSystem(&kernel);
        machine::SetDirectIoSystem(&cpu);
    }
    void TearDown() override {
        client::ShutdownSystem();
        machine::SetPpdevSystem(nullptr);
        machine::SetDirectIoSystem(nullptr);
        unsetenv("ZEVA_FAKE_PORTIO");
    }
    Result Run(const std::string& entry) {
        client::UsePortEntry(entry);
        char* buffer = nullptr;
        std::size_t size = 0;
        std::FILE* out = open_memstream(&buffer, &size);
        tool::DoctorSetup setup;
        setup.entry = entry;
        Result r;
        r.code = tool::RunDoctor(setup, host, out);
        std::fclose(out);
        r.text.assign(buffer, size);
        std::free(buffer);
        client::ShutdownSystem();
        return r;
    }
    // Stopped at `step` with its problem and fix, and nothing after it ran.
    void ExpectBlocked(const Result& r, const std::string& step,
                       std::initializer_list<const char*> says) {
        EXPECT_EQ(r.code, tool::kDoctorBlocked) << r.text;
        EXPECT_TRUE(r.Says("PROBLEM  " + step + ":")) << r.text;
        EXPECT_TRUE(r.Says("verdict: not ready: " + step + ":")) << r.text;
        for (const char* s : says) EXPECT_TRUE(r.Says(s)) << "'" << s << "' in:\n" << r.text;
        EXPECT_FALSE(r.Says("ok       port:")) << "the camera was not opened:\n" << r.text;
        EXPECT_TRUE(kernel.Log().empty()) << "the port was not touched";
        EXPECT_TRUE(cpu.Instructions().empty());
    }
    FakeHost host;
    test::FakeKernel kernel;
    test::FakeProcessor cpu;
};

TEST_F(Doctor, MissingModulesAndPortsSayWhatToLoad) {
    host.files.erase("/sys/module/ppdev/refcnt");
    ExpectBlocked(Run("/dev/parport0"), "kernel modules",
                  {"ppdev module", "modprobe parport_pc ppdev"});

    host = FakeHost();
    host.files.erase("/sys/module/parport_pc/refcnt");
    host.files.erase("/proc/sys/dev/parport/parport0/base-addr");
    host.files.erase("/proc/sys/dev/parport/parport0/devices/active");
    ExpectBlocked(Run("/dev/parport0"), "kernel modules",
                  {"parport_pc is not loaded", "modprobe parport_pc"});

    host = FakeHost();
    host.files.erase("/proc/sys/dev/parport/parport0/base-addr");
    host.files.erase("/proc/sys/dev/parport/parport0/devices/active");
    ExpectBlocked(Run("/dev/parport0"), "kernel ports",
                  {"found no parallel port", "BIOS", "lspci -v", "parport_pc io=0xD010"});
}

TEST_F(Doctor, PortTheKernelDoesNotHaveIsNamedWithTheOnesItHas) {
    host.Port("parport1", 0xD010);
    const Result r = Run("/dev/parport2");
    ExpectBlocked(r, "kernel ports",
                  {"/dev/parport2 names no port", "/dev/parport0, /dev/parport1"});
    EXPECT_TRUE(r.Says("parport1 at 0xD010 (a PCI/PCIe card: /dev/parport1, or io:0xD010"))
        << r.text;
}

TEST_F(Doctor, NodePermissionsAndHoldersEachGetTheirFix) {
    host.files.erase("/dev/parport0");
    ExpectBlocked(Run("/dev/parport0"), "device node", {"does not exist", "modprobe ppdev"});

    host = FakeHost();
    host.openErrors["/dev/parport0"] = EACCES;
    host.processGroups = host.userGroups = {"astro"};
    ExpectBlocked(Run("/dev/parport0"), "permissions",
                  {"group lp, which you are not in", "usermod -aG lp $USER"});

    host.userGroups = {"astro", "lp"};  // joined, not yet logged in again
    ExpectBlocked(Run("/dev/parport0"), "permissions", {"started before you joined", "newgrp lp"});

    host = FakeHost();
    host.Port("parport0", 0x378, "lp");
    ExpectBlocked(Run("/dev/parport0"), "port holders", {"printer driver lp", "rmmod lp", "cups"});

    host = FakeHost();
    host.Port("parport0", 0x378, "ppdev0", "ppdev0");
    ExpectBlocked(Run("/dev/parport0"), "port holders", {"in use by ppdev0", "fuser"});
}

TEST_F(Doctor, GoodMachineReachesThePortThroughPpdevAndFindsNothingConnected) {
    // No camera behind the stand-in kernel: the status lines float.
    const Result r = Run("/dev/parport0");
    EXPECT_EQ(r.code, tool::kDoctorBlocked) << r.text;
    for (const char* ok :
         {"ok       kernel modules: parport, parport_pc, ppdev loaded",
          "ok       kernel ports: parport0 at 0x378", "ok       permissions: /dev/parport0 opens",
          "ok       port holders", "ok       real-time priority", "ok       memory locking",
          "ok       port: opened /dev/parport0"})
        EXPECT_TRUE(r.Says(ok)) << "'" << ok << "' in:\n" << r.text;
    EXPECT_TRUE(r.Says("verdict: not ready: port registers: the status lines float (0x7F"))
        << r.text;
    EXPECT_FALSE(kernel.Log().empty());
}

TEST_F(Doctor, DirectIoChecksProcessorKernelCapabilityAndLockdown) {
    host.machine = "aarch64";
    ExpectBlocked(Run("io:0x378"), "processor",
                  {"aarch64 has no port instructions", "/dev/parport0"});

    host = FakeHost();  // parport_pc has 0x378
    ExpectBlocked(Run("io:0x378"), "kernel ports", {"as parport0", "rmmod lp ppdev parport_pc"});

    host = FakeHost();
    ExpectBlocked(Run("io:0x278"), "capability", {"CAP_SYS_RAWIO", "setcap cap_sys_rawio+ep"});

    host.Capabilities("0000000000020000");
    host.files["/sys/kernel/security/lockdown"] = "none [integrity] confidentiality\n";
    ExpectBlocked(Run("io:0x278"), "kernel lockdown", {"Secure Boot", "/dev/parport0"});
}

TEST_F(Doctor, DirectIoCameraWorksAndMissingLimitsAreWarnings) {
    machine::SetDirectIoSystem(nullptr);
    setenv("ZEVA_FAKE_PORTIO", "sim:heron", 1);
    host.Capabilities("0000000000020000");  // CAP_SYS_RAWIO only
    host.Limits(0, "8388608");
    const Result r = Run("io:0x278");
    EXPECT_EQ(r.code, tool::kDoctorWarnings) << r.text;
    for (const char* s :
         {"ok       capability: CAP_SYS_RAWIO", "warning  real-time priority", "rtprio 49",
          "warning  memory locking", "memlock unlimited", "ok       link: ZEVA Heron",
          "ok       dark window", "ok       speed", "verdict: the camera works; 2 warnings above"})
        EXPECT_TRUE(r.Says(s)) << "'" << s << "' in:\n" << r.text;

    host.Limits(99, "unlimited");
    const Result ready = Run("io:0x278");
    EXPECT_EQ(ready.code, tool::kDoctorReady) << ready.text;
    EXPECT_TRUE(ready.Says("verdict: ready")) << ready.text;
}

TEST_F(Doctor, PortCheckLatchesNothingAndDrivesDataLinesLeftAsInputs) {
    host.Capabilities("0000000000020000");
    cpu.latches[0x278] = 0x80;  // the strobe high: a rising edge would latch a camera register
    cpu.latches[0x279] = 0x47;  // something drives the status lines
    cpu.latches[0x27A] = 0x24;  // data lines left as inputs
    const Result r = Run("io:0x278");
    EXPECT_TRUE(
        r.Says("ok       port registers: data register reads back (its lines were set as "
               "inputs: now driven)"))
        << r.text;
    EXPECT_TRUE(r.Says("verdict: not ready: link: the camera does not answer")) << r.text;
    std::vector<std::uint8_t> data;
    bool controlFirst = false;
    for (const test::PortInstruction& i : cpu.Instructions()) {
        if (i.out && i.address == 0x27A && data.empty())
            controlFirst = i.value == 0x04;
        if (i.out && i.address == 0x278)
            data.push_back(i.value);
    }
    EXPECT_TRUE(controlFirst) << "direction bit cleared, the control lines kept";
    ASSERT_GE(data.size(), 5u);
    for (std::size_t k = 0; k < 5; ++k)
        EXPECT_EQ(data[k] & 0x80, 0x80) << "write " << k << " of the port check";
    EXPECT_EQ(data[4], 0x80) << "the data register restored";
}

TEST_F(Doctor, RefusalOfTheBackendItselfIsTheVerdict) {
    // Checks pass, yet the address is no port's: the machine's reason stands.
    host.Capabilities("0000000000020000");
    const Result r = Run("io:0x27A");
    EXPECT_EQ(r.code, tool::kDoctorBlocked) << r.text;
    EXPECT_TRUE(
        r.Says("PROBLEM  port: port entry 'io:0x27A': 0x27A is not a parallel port's "
               "base address"))
        << r.text;
}

}  // namespace
