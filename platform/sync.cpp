// Events and fast mutexes: the kernel's waits, on the platform clock.
#include <chrono>
#include <mutex>

#include "platform/internal.h"

using namespace zeva::platform;
using zeva::platform::internal::BugCheck;

void KeInitializeEvent(KEVENT* event, EVENT_TYPE type, BOOLEAN state) {
    std::lock_guard<std::mutex> guard(event->Lock);
    event->Type = type;
    event->Signaled = state != 0;
}

LONG KeSetEvent(KEVENT* event, LONG, BOOLEAN) {
    std::lock_guard<std::mutex> guard(event->Lock);
    LONG previous = event->Signaled ? 1 : 0;
    event->Signaled = true;
    if (event->Type == SynchronizationEvent) {
        event->Cv.notify_one();
    } else {
        event->Cv.notify_all();
    }
    return previous;
}

// In virtual mode a wait with a timeout gives other threads a moment of
// real time to signal, then lets the timeout pass in virtual time.
NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                               LARGE_INTEGER* timeout) {
    if (KeGetCurrentIrql() > APC_LEVEL)
        BugCheck("KeWaitForSingleObject called above APC_LEVEL");
    auto* event = static_cast<KEVENT*>(object);
    std::unique_lock<std::mutex> guard(event->Lock);
    auto signaled = [event] { return event->Signaled; };
    bool got = true;
    if (!timeout) {
        event->Cv.wait(guard, signaled);
    } else {
        LONGLONG v = timeout->QuadPart;
        std::uint64_t ns = 0;
        if (v < 0) {
            ns = static_cast<std::uint64_t>(-v) * 100;
        } else {
            std::uint64_t target = static_cast<std::uint64_t>(v) * 100;
            std::uint64_t now = internal::RawNowNs();
            ns = target > now ? target - now : 0;
        }
        if (CurrentClockMode() == ClockMode::Virtual) {
            got = ns == 0 ? signaled()
                          : event->Cv.wait_for(guard, std::chrono::milliseconds(1), signaled);
            if (!got) {
                guard.unlock();
                internal::AdvanceVirtualNs(ns);
                guard.lock();
                got = signaled();
            }
        } else {
            got = event->Cv.wait_for(guard, std::chrono::nanoseconds(ns), signaled);
        }
    }
    if (!got)
        return STATUS_TIMEOUT;
    if (event->Type == SynchronizationEvent)
        event->Signaled = false;
    return STATUS_SUCCESS;
}

// State: 0 released, 1 held, 2 held with waiters.
void ExInitializeFastMutex(FAST_MUTEX* mutex) {
    mutex->State.store(0);
}

void ExAcquireFastMutex(FAST_MUTEX* mutex) {
    if (KeGetCurrentIrql() > APC_LEVEL)
        BugCheck("ExAcquireFastMutex called above APC_LEVEL");
    std::uint32_t c = 0;
    if (mutex->State.compare_exchange_strong(c, 1))
        return;
    if (c != 2)
        c = mutex->State.exchange(2);
    while (c != 0) {
        mutex->State.wait(2);
        c = mutex->State.exchange(2);
    }
}

void ExReleaseFastMutex(FAST_MUTEX* mutex) {
    std::uint32_t c = mutex->State.exchange(0);
    if (c == 0)
        BugCheck("ExReleaseFastMutex of a mutex that is not held");
    if (c == 2)
        mutex->State.notify_one();
}
