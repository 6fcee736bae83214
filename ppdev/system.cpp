// The kernel's side of the ppdev backend: device node, ioctls, scheduling
// and memory locking of the calling thread and process.
#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "ppdev/ppdev_port.h"

namespace zeva::ppdev {
namespace {

constexpr int kCapIpcLock = 14;  // capability number of CAP_IPC_LOCK

// True when the process's effective capabilities include CAP_IPC_LOCK.
bool HasIpcLock() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("CapEff:", 0) != 0)
            continue;
        const unsigned long long caps = std::strtoull(line.c_str() + 7, nullptr, 16);
        return (caps >> kCapIpcLock) & 1u;
    }
    return false;
}

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
    int GetScheduling(int* policy, int* priority) override {
        sched_param param{};
        const int error = pthread_getschedparam(pthread_self(), policy, &param);
        *priority = param.sched_priority;
        return error;
    }
    int SetScheduling(int policy, int priority) override {
        sched_param param{};
        param.sched_priority = priority;
        return pthread_setschedparam(pthread_self(), policy, &param);
    }
    // Locking future pages under a finite memlock limit would make later
    // allocations of the process fail once the limit is reached, so the
    // process is locked only where nothing limits it.
    int LockMemory() override {
        rlimit limit{};
        if (getrlimit(RLIMIT_MEMLOCK, &limit) != 0)
            return errno;
        if (limit.rlim_cur != RLIM_INFINITY && !HasIpcLock())
            return EPERM;
        return mlockall(MCL_CURRENT | MCL_FUTURE) == 0 ? 0 : errno;
    }
    void Notice(const std::string& text) override {
        std::fprintf(stderr, "%s\n", text.c_str());
        std::fflush(stderr);
    }
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
