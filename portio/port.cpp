// The direct port I/O backend: checks before the first access, the per-thread
// grant of the port's registers, and the register mapping.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "portio/portio.h"

namespace zeva::portio {
namespace {

constexpr std::uint32_t kLowestAddress = 0x100;  // below: DMA, interrupt and timer chips
constexpr std::uint32_t kAlignment = 4;          // ports decode aligned blocks (0x3BC, 0x378)
constexpr std::uint32_t kLastIoAddress = 0xFFFF;
constexpr std::uint32_t kPciConfigFrom = 0xCF8;  // PCI configuration address and data
constexpr std::uint32_t kPciConfigTo = 0xCFF;
constexpr std::uint32_t kStandardRegisters = 3;  // data, status, control

// Bit 4 of the control register enables the port's interrupt; with no
// kernel driver on the port nobody would answer it.
constexpr std::uint8_t kControlInterruptEnable = 0x10;

std::string Hex(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", v);
    return text;
}

// The ports the calling thread has been granted (ioperm is per thread).
// Initial-exec: the check runs on every access and must not call into the
// dynamic loader.
struct Grants {
    static constexpr unsigned kSlots = 8;
    std::uint32_t bases[kSlots];
    unsigned count;
};
__attribute__((tls_model("initial-exec"))) thread_local Grants tl_grants{};

bool Granted(std::uint32_t base) {
    const Grants& g = tl_grants;
    for (unsigned i = 0; i < g.count; ++i)
        if (g.bases[i] == base)
            return true;
    return false;
}

void Remember(std::uint32_t base) {
    Grants& g = tl_grants;
    if (g.count < Grants::kSlots)
        g.bases[g.count++] = base;
    // A thread with more ports than slots asks again for the others: correct, slower.
}

void Forget(std::uint32_t base) {
    Grants& g = tl_grants;
    for (unsigned i = 0; i < g.count; ++i) {
        if (g.bases[i] == base) {
            g.bases[i] = g.bases[--g.count];
            return;
        }
    }
}

// Grants (or revokes) the calling thread the port's registers: 0 or errno.
int Permit(System& system, std::uint32_t base, bool on) {
    const int error = system.Ioperm(base, kStandardRegisters, on);
    if (error != 0 || !on)
        return error == 0 ? system.Ioperm(base + platform::kPortEcr, 1, false) : error;
    const int ecr = system.Ioperm(base + platform::kPortEcr, 1, true);
    if (ecr != 0)
        system.Ioperm(base, kStandardRegisters, false);
    return ecr;
}

std::string PermissionFailure(const std::string& port, int error, bool capable) {
    if (error == EPERM && capable)
        return port +
               ": the kernel refuses port access although the program has CAP_SYS_RAWIO "
               "(kernel lockdown under Secure Boot forbids it: use the ppdev port /dev/parportN)";
    if (error == EPERM || error == EACCES)
        return port +
               ": direct port access needs CAP_SYS_RAWIO: run as root, or give the program the "
               "capability (sudo setcap cap_sys_rawio+ep PROGRAM; see the README for the risk), "
               "or use the ppdev port /dev/parportN";
    return port + ": ioperm failed: " + std::strerror(error);
}

class DirectPort final : public platform::PortBackend {
  public:
    DirectPort(System& system, std::uint32_t base)
        : system_(system), base_(base), name_("io:" + Hex(base)) {
        Remember(base_);  // the opening thread was granted by OpenPort
    }

    ~DirectPort() override {
        Permit(system_, base_, false);
        Forget(base_);
    }

  private:
    std::uint8_t DoRead(std::uint32_t offset) override {
        if (!Ready() || !Mapped(offset))
            return 0xFF;
        return system_.In(static_cast<std::uint16_t>(base_ + offset));
    }

    void DoWrite(std::uint32_t offset, std::uint8_t value) override {
        if (offset == platform::kPortStatus || !Ready() || !Mapped(offset))
            return;
        if (offset == platform::kPortControl)
            value &= static_cast<std::uint8_t>(~kControlInterruptEnable);
        system_.Out(static_cast<std::uint16_t>(base_ + offset), value);
    }

    void DoLevelChanged(bool raised) override { system_.LevelChanged(raised); }

    static bool Mapped(std::uint32_t offset) {
        return offset <= platform::kPortControl || offset == platform::kPortEcr;
    }

    // True when the calling thread may access the port; a thread that has not
    // yet is granted the registers now.  Without a grant an in/out would kill
    // the process (SIGSEGV), so the access is dropped instead.
    bool Ready() {
        if (Granted(base_)) [[likely]]
            return true;
        const int error = Permit(system_, base_, true);
        if (error == 0) {
            Remember(base_);
            return true;
        }
        if (!grantFailed_.exchange(true))
            system_.Notice("zeva: " + PermissionFailure(name_, error, true) +
                           "; the port now reads 0xFF in this thread");
        return false;
    }

    System& system_;
    const std::uint32_t base_;
    const std::string name_;
    std::atomic<bool> grantFailed_{false};
};

}  // namespace

std::string ImplausibleAddress(std::uint32_t address) {
    const std::string what = Hex(address);
    if (address < kLowestAddress)
        return what +
               " is not a parallel port's address (below 0x100 sit the motherboard's "
               "timer, interrupt and DMA chips; ports are at 0x378, 0x278, 0x3BC, or a "
               "card's address such as 0xD010)";
    if (address % kAlignment != 0)
        return what + " is not a parallel port's base address (a multiple of 4, e.g. 0x378)";
    if (address + platform::kPortEcr > kLastIoAddress)
        return what + " is too high: the port's ECR at base + 0x402 would lie beyond 0xFFFF";
    const std::uint32_t ecr = address + platform::kPortEcr;
    const std::uint32_t last = address + kStandardRegisters - 1;
    if ((address <= kPciConfigTo && last >= kPciConfigFrom) ||
        (ecr >= kPciConfigFrom && ecr <= kPciConfigTo))
        return what + " would reach the PCI configuration ports 0xCF8-0xCFF";
    return {};
}

platform::BackendResult OpenPort(std::uint32_t address, System& system) {
    platform::BackendResult result;
    const std::string port = "io:" + Hex(address);
    if (!system.HasPortInstructions()) {
        result.error = port +
                       ": this processor has no port instructions (direct port I/O is for x86 "
                       "machines): use the ppdev port /dev/parportN";
        return result;
    }
    result.error = ImplausibleAddress(address);
    if (!result.error.empty())
        return result;
    std::string owner = system.KernelClaim(address, address + kStandardRegisters - 1);
    if (owner.empty())
        owner = system.KernelClaim(address + platform::kPortEcr, address + platform::kPortEcr);
    if (owner.rfind("parport", 0) == 0) {
        result.error = port + ": the kernel's parallel-port driver has this port as " + owner +
                       "; two drivers on one port corrupt each other's signals: use /dev/" + owner +
                       " (ppdev), or unload the port drivers first (sudo rmmod lp ppdev "
                       "parport_pc)";
        return result;
    }
    if (!owner.empty()) {
        result.error = port + ": the kernel's driver '" + owner +
                       "' owns these addresses: they are not a free parallel port";
        return result;
    }
    const bool capable = system.HasRawIoCapability();
    const int error = capable ? Permit(system, address, true) : EPERM;
    if (error != 0) {
        result.error = PermissionFailure(port, error, capable);
        return result;
    }
    result.backend = std::make_unique<DirectPort>(system, address);
    return result;
}

platform::BackendResult MakeBackend(std::uint32_t address) {
    return OpenPort(address, RealSystem());
}

}  // namespace zeva::portio
