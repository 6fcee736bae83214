// The processor's and the kernel's side of the direct port I/O backend: port
// instructions, ioperm(2), the capability and the kernel's list of claimed
// I/O addresses.
#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#define ZEVA_PORT_INSTRUCTIONS 1
#else
#define ZEVA_PORT_INSTRUCTIONS 0
#endif

#include <dirent.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "portio/direct_port.h"
#include "realport/realport.h"

namespace zeva::portio {
namespace {

std::string IoportsClaim(std::uint32_t from, std::uint32_t to) {
    std::ifstream file("/proc/ioports");
    std::ostringstream text;
    text << file.rdbuf();
    return IoportsOwner(text.str(), from, to);
}

// /proc/sys/dev/parport/parportN/base-addr holds "BASE\tBASE_HI" in decimal
// for every port the kernel's parport driver registered.
std::string ParportClaim(std::uint32_t from, std::uint32_t to) {
    DIR* dir = opendir("/proc/sys/dev/parport");
    if (dir == nullptr)
        return {};
    std::string found;
    while (dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name.rfind("parport", 0) != 0)
            continue;
        std::ifstream file("/proc/sys/dev/parport/" + name + "/base-addr");
        unsigned long base = 0;
        if (file >> base && base <= to && from <= base + 2) {
            found = name;
            break;
        }
    }
    closedir(dir);
    return found;
}

class KernelSystem final : public System {
  public:
    bool HasPortInstructions() override { return ZEVA_PORT_INSTRUCTIONS != 0; }
    bool HasRawIoCapability() override { return realport::HasCapability(realport::kCapSysRawIo); }
    std::string KernelClaim(std::uint32_t from, std::uint32_t to) override {
        std::string owner = ParportClaim(from, to);
        return owner.empty() ? IoportsClaim(from, to) : owner;
    }
#if ZEVA_PORT_INSTRUCTIONS
    int Ioperm(std::uint32_t from, std::uint32_t count, bool on) override {
        return ::ioperm(from, count, on ? 1 : 0) == 0 ? 0 : errno;
    }
    std::uint8_t In(std::uint16_t address) override {
        return inb(address);
    }
    void Out(std::uint16_t address, std::uint8_t value) override {
        outb(value, address);
    }
#else
    int Ioperm(std::uint32_t, std::uint32_t, bool) override {
        return ENOSYS;
    }
    std::uint8_t In(std::uint16_t) override {
        return 0xFF;
    }
    void Out(std::uint16_t, std::uint8_t) override {}
#endif
    void LevelChanged(bool raised) override {
        realport::RealtimeLevelChanged(realport::KernelRealtime(), raised);
    }
    void Notice(const std::string& text) override {
        realport::PrintNotice(text);
    }
};

#if ZEVA_PORT_INSTRUCTIONS
// The registers through the processor's own instructions, inlined into the
// backend's accesses.
struct X86Instructions {
    std::uint8_t In(std::uint16_t address) const { return inb(address); }
    void Out(std::uint16_t address, std::uint8_t value) const { outb(value, address); }
};
#endif

}  // namespace

std::string IoportsOwner(const std::string& ioports, std::uint32_t from, std::uint32_t to) {
    std::istringstream lines(ioports);
    std::string line, found;
    std::size_t foundDepth = 0;
    while (std::getline(lines, line)) {
        unsigned long first = 0, last = 0;
        int name = 0;
        if (std::sscanf(line.c_str(), " %lx-%lx : %n", &first, &last, &name) != 2 || name == 0)
            continue;
        if (!(first <= to && from <= last) || (first == 0 && last == 0))
            continue;
        const std::string owner = line.substr(static_cast<std::size_t>(name));
        // Bridge windows and a PCI device's own ranges ("0000:03:00.0") are
        // address space, not a driver: a card's port sits inside them.
        unsigned domain = 0, bus = 0, slot = 0, function = 0;
        char end = 0;
        if (owner.rfind("PCI Bus", 0) == 0 ||
            std::sscanf(owner.c_str(), "%4x:%2x:%2x.%1x%c", &domain, &bus, &slot, &function,
                        &end) == 4)
            continue;
        const std::size_t depth = line.find_first_not_of(' ');
        if (found.empty() || depth >= foundDepth) {
            found = owner;  // the innermost claim
            foundDepth = depth;
        }
    }
    return found;
}

System& RealSystem() {
    static KernelSystem system;
    return system;
}

platform::BackendResult MakeBackend(std::uint32_t address) {
#if ZEVA_PORT_INSTRUCTIONS
    return OpenPortWith(address, RealSystem(), X86Instructions{});
#else
    return OpenPort(address, RealSystem());  // refuses: no port instructions
#endif
}

}  // namespace zeva::portio
