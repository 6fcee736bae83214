// The kernel's side of the ppdev backend: device node and ioctls; the
// real-time protection of a line is the one all real ports share.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "ppdev/ppdev_port.h"
#include "realport/realport.h"

namespace zeva::ppdev {
namespace {

class KernelSystem final : public System {
  public:
    int Open(const char* path) override {
        const int fd = ::open(path, O_RDWR | O_CLOEXEC);
        return fd >= 0 ? fd : -errno;
    }
    void Close(int fd) override { ::close(fd); }
    int Ioctl(int fd, unsigned long request, void* arg) override {
        return ::ioctl(fd, request, arg) == 0 ? 0 : errno;
    }
    void LevelChanged(bool raised) override {
        realport::RealtimeLevelChanged(realport::KernelRealtime(), raised);
    }
    void Notice(const std::string& text) override { realport::PrintNotice(text); }
};

// The register ioctls straight to the kernel, inlined into the accesses.
struct KernelIoctls {
    int operator()(int fd, unsigned long request, void* arg) const {
        return ::ioctl(fd, request, arg) == 0 ? 0 : errno;
    }
};

}  // namespace

System& RealSystem() {
    static KernelSystem system;
    return system;
}

platform::BackendResult MakeBackend(const std::string& entry) {
    return OpenPortWith(entry, RealSystem(), KernelIoctls{});
}

}  // namespace zeva::ppdev
