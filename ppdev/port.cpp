// The ppdev port backend: exclusive claim of /dev/parportN and the register
// mapping of a standard PC parallel port onto ppdev's ioctls.
#include <linux/ppdev.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "ppdev/ppdev.h"

namespace zeva::ppdev {
namespace {

// Control register bits as the port's hardware has them.
// Bit 4, the interrupt enable, belongs to ppdev and is never passed on.
constexpr std::uint8_t kControlLines = 0x0F;   // nStrobe, nAutoFd, nInit, nSelectIn
constexpr std::uint8_t kControlDataIn = 0x20;  // data lines driven by the device

// PPDATADIR arguments.
constexpr int kDataForward = 0;  // data lines driven by the PC
constexpr int kDataReverse = 1;

std::string ErrnoText(int error) {
    return std::strerror(error);
}

// What a failed open(2) of the device node means for the user.
std::string OpenFailure(const std::string& path, int error) {
    switch (error) {
        case ENOENT:
            return path +
                   " does not exist: load the parallel-port modules (sudo modprobe parport_pc "
                   "ppdev) and check that the port is enabled in the BIOS";
        case ENXIO:
        case ENODEV:
            return path +
                   " has no parallel port behind it: load the port driver (sudo modprobe "
                   "parport_pc) and check that the port is enabled in the BIOS";
        case EACCES:
        case EPERM:
            return "no permission to open " + path +
                   ": join group lp (sudo usermod -aG lp $USER, then log in again) or give the "
                   "port to your group with a udev rule";
        default:
            return "cannot open " + path + ": " + ErrnoText(error);
    }
}

std::string NotPpdev(const std::string& path) {
    return path +
           " is not a ppdev parallel port (expected /dev/parportN; is the ppdev module loaded? "
           "sudo modprobe ppdev)";
}

// What a failed exclusive claim means for the user.
std::string ClaimFailure(const std::string& path, const char* step, int error) {
    switch (error) {
        case ENOTTY:
        case EINVAL:
            return NotPpdev(path);
        case EBUSY:
        case ENXIO:
            // ppdev refuses an exclusive registration while any other driver
            // or program has the port registered.
            return path +
                   " is busy: another program or driver holds the port (the printer driver lp "
                   "or CUPS: sudo rmmod lp, or stop cups; or another camera program)";
        default:
            return path + ": " + step + " failed: " + ErrnoText(error);
    }
}

class PpdevPort final : public platform::PortBackend {
  public:
    PpdevPort(System& system, std::string path, int fd)
        : system_(system), path_(std::move(path)), fd_(fd) {}

    ~PpdevPort() override {
        system_.Ioctl(fd_, PPRELEASE, nullptr);
        system_.Close(fd_);
    }

  private:
    std::uint8_t DoRead(std::uint32_t offset) override {
        unsigned char value = 0xFF;
        switch (offset) {
            case platform::kPortData:
                return Get(PPRDATA, &value) ? value : 0xFF;
            case platform::kPortStatus:
                return Get(PPRSTATUS, &value) ? value : 0xFF;
            case platform::kPortControl:
                if (!Get(PPRCONTROL, &value))
                    return 0xFF;
                return static_cast<std::uint8_t>((value & kControlLines) |
                                                 (dataIn_ ? kControlDataIn : 0));
            default:
                return 0xFF;
        }
    }

    void DoWrite(std::uint32_t offset, std::uint8_t value) override {
        switch (offset) {
            case platform::kPortData: {
                unsigned char v = value;
                Set(PPWDATA, &v);
                return;
            }
            case platform::kPortControl: {
                const bool in = (value & kControlDataIn) != 0;
                if (in != dataIn_) {
                    int dir = in ? kDataReverse : kDataForward;
                    if (Set(PPDATADIR, &dir))
                        dataIn_ = in;
                }
                unsigned char lines = value & kControlLines;
                Set(PPWCONTROL, &lines);
                return;
            }
            default:
                return;  // the status register is read-only; nothing else is reachable
        }
    }

    void DoLevelChanged(bool raised) override { RealtimeLevelChanged(system_, raised); }

    bool Get(unsigned long request, unsigned char* value) { return Access(request, value); }
    bool Set(unsigned long request, void* value) { return Access(request, value); }

    // One register ioctl.  A failure (the port gone, say) reads as a port
    // where nothing answers; the user hears of it once.
    bool Access(unsigned long request, void* arg) {
        const int error = system_.Ioctl(fd_, request, arg);
        if (error == 0)
            return true;
        if (!accessFailed_) {
            accessFailed_ = true;
            system_.Notice("zeva: " + path_ + ": register access failed (" + ErrnoText(error) +
                           "); the port now reads 0xFF");
        }
        return false;
    }

    System& system_;
    const std::string path_;
    const int fd_;
    bool dataIn_ = false;
    bool accessFailed_ = false;
};

}  // namespace

platform::BackendResult OpenPort(const std::string& entry, System& system) {
    platform::BackendResult result;
    const std::size_t q = entry.find('?');
    const std::string path = entry.substr(0, q);
    if (q != std::string::npos && q + 1 < entry.size()) {
        result.error = "unknown option '" + entry.substr(q + 1) +
                       "' for a ppdev port (valid: base=0xNNN, span=N)";
        return result;
    }
    const int fd = system.Open(path.c_str());
    if (fd < 0) {
        result.error = OpenFailure(path, -fd);
        return result;
    }
    // Exclusive first: a shared claim would wait for whoever holds the port.
    int error = system.Ioctl(fd, PPEXCL, nullptr);
    if (error != 0) {
        system.Close(fd);
        result.error = ClaimFailure(path, "PPEXCL", error);
        return result;
    }
    error = system.Ioctl(fd, PPCLAIM, nullptr);
    if (error != 0) {
        system.Close(fd);
        result.error = ClaimFailure(path, "PPCLAIM", error);
        return result;
    }
    int dir = kDataForward;
    error = system.Ioctl(fd, PPDATADIR, &dir);
    if (error != 0) {
        system.Ioctl(fd, PPRELEASE, nullptr);
        system.Close(fd);
        result.error = path + ": cannot drive the data lines (PPDATADIR): " + ErrnoText(error);
        return result;
    }
    result.backend = std::make_unique<PpdevPort>(system, path, fd);
    return result;
}

platform::BackendResult MakeBackend(const std::string& entry) {
    return OpenPort(entry, RealSystem());
}

}  // namespace zeva::ppdev
