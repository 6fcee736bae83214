// The raised interrupt level on a real port: the driver clocks and digitizes
// a whole CCD line with the level raised, and on Linux nothing but the
// scheduler keeps other work off the processor meanwhile.  The thread runs
// SCHED_FIFO for that time and the process's pages stay resident, so that a
// line is not stretched by other programs or by page faults.  The level drops
// after every line, which also keeps the thread clear of the kernel's
// real-time throttling (950 ms in each second by default).
#include <sched.h>

#include <string>

#include "realport/realport.h"

namespace zeva::realport {
namespace {

// Per thread: how many real ports were told of the raise, and the policy to
// go back to when the outermost one hears of the drop.
struct ThreadLevel {
    int depth = 0;
    bool changed = false;
    int oldPolicy = SCHED_OTHER;
    int oldPriority = 0;
};
thread_local ThreadLevel tl_level;

// Locking is process-wide and lasts: done at the first raise, tried once.
// Returns what went wrong, or an empty text.
std::string LockMemoryOnce(Realtime& realtime) {
    if (realtime.memoryLockTried.exchange(true))
        return {};
    const int error = realtime.LockMemory();
    if (error == 0) {
        realtime.memoryLocked = true;
        return {};
    }
    return "memory not locked (needs CAP_IPC_LOCK or an unlimited memlock limit, "
           "ulimit -l unlimited)";
}

// Returns what went wrong, or an empty text.
std::string RaisePriority(Realtime& realtime, ThreadLevel* level) {
    int policy = SCHED_OTHER, priority = 0;
    if (realtime.GetScheduling(&policy, &priority) != 0)
        return "thread scheduling unknown";
    if (policy == SCHED_FIFO || policy == SCHED_RR)
        return {};  // the application has made the thread real-time itself
    if (realtime.schedulingRefused)
        return {};  // already refused and noticed; do not ask again for every line
    if (realtime.SetScheduling(SCHED_FIFO, kReadoutPriority) != 0) {
        realtime.schedulingRefused = true;
        return "no SCHED_FIFO priority " + std::to_string(kReadoutPriority) +
               " (needs CAP_SYS_NICE or an rtprio limit, e.g. '@lp - rtprio " +
               std::to_string(kReadoutPriority) + "' in /etc/security/limits.conf)";
    }
    level->changed = true;
    level->oldPolicy = policy;
    level->oldPriority = priority;
    return {};
}

}  // namespace

void RealtimeLevelChanged(Realtime& realtime, bool raised) {
    ThreadLevel& level = tl_level;
    if (raised) {
        if (level.depth++ > 0)
            return;
        std::string failed = LockMemoryOnce(realtime);
        const std::string priority = RaisePriority(realtime, &level);
        if (!priority.empty())
            failed += (failed.empty() ? "" : "; ") + priority;
        if (!failed.empty() && !realtime.realtimeNoticeGiven.exchange(true))
            realtime.Notice("zeva: line readouts run without real-time protection: " + failed +
                            ". Lines may be disturbed when the machine is busy.");
        return;
    }
    if (level.depth == 0)
        return;  // a drop without a raise we saw
    if (--level.depth > 0)
        return;
    if (level.changed) {
        realtime.SetScheduling(level.oldPolicy, level.oldPriority);
        level.changed = false;
    }
}

}  // namespace zeva::realport
