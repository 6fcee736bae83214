// The kernel's side of what the real-port backends share: scheduling and
// memory locking of the calling thread and process, the capabilities in
// /proc/self/status, standard error.
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "realport/realport.h"

namespace zeva::realport {
namespace {

class KernelCalls final : public Realtime {
  public:
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
        if (limit.rlim_cur != RLIM_INFINITY && !HasCapability(kCapIpcLock))
            return EPERM;
        return mlockall(MCL_CURRENT | MCL_FUTURE) == 0 ? 0 : errno;
    }
    void Notice(const std::string& text) override { PrintNotice(text); }
};

}  // namespace

Realtime& KernelRealtime() {
    static KernelCalls realtime;
    return realtime;
}

bool HasCapability(int number) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("CapEff:", 0) != 0)
            continue;
        const unsigned long long caps = std::strtoull(line.c_str() + 7, nullptr, 16);
        return (caps >> number) & 1u;
    }
    return false;
}

void PrintNotice(const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
}

}  // namespace zeva::realport
