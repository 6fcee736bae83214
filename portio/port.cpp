// The direct port I/O backend: checks before the first access, the per-thread
// grant of the port's registers, and the register mapping.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "portio/direct_port.h"

namespace zeva::portio {
namespace {

constexpr std::uint32_t kLowestAddress = 0x100;  // below: DMA, interrupt and timer chips
constexpr std::uint32_t kAlignment = 4;          // ports decode aligned blocks (0x3BC, 0x378)
constexpr std::uint32_t kLastIoAddress = 0xFFFF;
constexpr std::uint32_t kPciConfigFrom = 0xCF8;  // PCI configuration address and data
constexpr std::uint32_t kPciConfigTo = 0xCFF;
constexpr std::uint32_t kStandardRegisters = 3;  // data, status, control

std::string Hex(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", v);
    return text;
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

namespace detail {

bool GrantThisThread(System& system, std::uint32_t base, std::atomic<bool>* noticed) {
    const int error = Permit(system, base, true);
    if (error == 0) {
        Grants& g = tl_grants;
        if (g.count < Grants::kSlots)
            g.bases[g.count++] = base;
        // A thread with more ports than slots asks again for the others: correct, slower.
        return true;
    }
    if (!noticed->exchange(true))
        system.Notice("zeva: " + PermissionFailure("io:" + Hex(base), error, true) +
                      "; the port now reads 0xFF in this thread");
    return false;
}

void ReleaseThisThread(System& system, std::uint32_t base) {
    Permit(system, base, false);
    Grants& g = tl_grants;
    for (unsigned i = 0; i < g.count; ++i) {
        if (g.bases[i] == base) {
            g.bases[i] = g.bases[--g.count];
            return;
        }
    }
}

std::string CheckAndGrant(std::uint32_t address, System& system) {
    const std::string port = "io:" + Hex(address);
    if (!system.HasPortInstructions())
        return port +
               ": this processor has no port instructions (direct port I/O is for x86 "
               "machines): use the ppdev port /dev/parportN";
    std::string error = ImplausibleAddress(address);
    if (!error.empty())
        return error;
    std::string owner = system.KernelClaim(address, address + kStandardRegisters - 1);
    if (owner.empty())
        owner = system.KernelClaim(address + platform::kPortEcr, address + platform::kPortEcr);
    if (owner.rfind("parport", 0) == 0)
        return port + ": the kernel's parallel-port driver has this port as " + owner +
               "; two drivers on one port corrupt each other's signals: use /dev/" + owner +
               " (ppdev), or unload the port drivers first (sudo rmmod lp ppdev parport_pc)";
    if (!owner.empty())
        return port + ": the kernel's driver '" + owner +
               "' owns these addresses: they are not a free parallel port";
    const bool capable = system.HasRawIoCapability();
    const int denied = capable ? Permit(system, address, true) : EPERM;
    if (denied != 0)
        return PermissionFailure(port, denied, capable);
    return {};
}

}  // namespace detail

platform::BackendResult OpenPort(std::uint32_t address, System& system) {
    return OpenPortWith(address, system, SystemInstructions{&system});
}

}  // namespace zeva::portio
