// The ppdev port backend: exclusive claim of /dev/parportN and the register
// mapping of a standard PC parallel port onto ppdev's ioctls.
#include <linux/ppdev.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "ppdev/ppdev_port.h"

namespace zeva::ppdev {
namespace {

using detail::kDataForward;

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

}  // namespace

namespace detail {

std::string ClaimPort(const std::string& entry, System& system, int* fd_out,
                      std::string* path_out) {
    const std::size_t q = entry.find('?');
    const std::string path = entry.substr(0, q);
    if (q != std::string::npos && q + 1 < entry.size())
        return "unknown option '" + entry.substr(q + 1) +
               "' for a ppdev port (valid: base=0xNNN, span=N)";
    const int fd = system.Open(path.c_str());
    if (fd < 0)
        return OpenFailure(path, -fd);
    // Exclusive first: a shared claim would wait for whoever holds the port.
    int error = system.Ioctl(fd, PPEXCL, nullptr);
    if (error != 0) {
        system.Close(fd);
        return ClaimFailure(path, "PPEXCL", error);
    }
    error = system.Ioctl(fd, PPCLAIM, nullptr);
    if (error != 0) {
        system.Close(fd);
        return ClaimFailure(path, "PPCLAIM", error);
    }
    int dir = kDataForward;
    error = system.Ioctl(fd, PPDATADIR, &dir);
    if (error != 0) {
        system.Ioctl(fd, PPRELEASE, nullptr);
        system.Close(fd);
        return path + ": cannot drive the data lines (PPDATADIR): " + ErrnoText(error);
    }
    *fd_out = fd;
    *path_out = path;
    return {};
}

void ReleasePort(System& system, int fd) {
    system.Ioctl(fd, PPRELEASE, nullptr);
    system.Close(fd);
}

void AccessFailed(System& system, const std::string& path, int error) {
    system.Notice("zeva: " + path + ": register access failed (" + ErrnoText(error) +
                  "); the port now reads 0xFF");
}

}  // namespace detail

platform::BackendResult OpenPort(const std::string& entry, System& system) {
    return OpenPortWith(entry, system, SystemIoctls{&system});
}

}  // namespace zeva::ppdev
