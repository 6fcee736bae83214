// Interrupt levels, one per thread (a thread stands for a processor), and
// the bug check that stops the system when a level rule is broken.
#include <cstdio>
#include <cstdlib>

#include "platform/internal.h"

namespace zeva::platform::internal {

void BugCheck(const char* rule) {
    std::fprintf(stderr, "*** STOP: platform rule broken: %s\n", rule);
    std::fflush(stderr);
    std::abort();
}

}  // namespace zeva::platform::internal

using zeva::platform::internal::BugCheck;

namespace {
thread_local KIRQL tl_irql = PASSIVE_LEVEL;
}

KIRQL KeGetCurrentIrql() {
    return tl_irql;
}

// Raising to a level below the current one is a bug check.  Crossing
// dispatch level tells the port backends (a real port masks interrupts).
KIRQL KfRaiseIrql(KIRQL new_irql) {
    KIRQL old = tl_irql;
    if (new_irql < old)
        BugCheck("KfRaiseIrql to a level below the current level");
    if (new_irql > HIGH_LEVEL)
        BugCheck("KfRaiseIrql to a level above HIGH_LEVEL");
    tl_irql = new_irql;
    if (old <= DISPATCH_LEVEL && new_irql > DISPATCH_LEVEL) {
        zeva::platform::internal::IoSpaceLevelChanged(true);
    }
    return old;
}

// Lowering to a level above the current one is a bug check.
void KfLowerIrql(KIRQL new_irql) {
    KIRQL old = tl_irql;
    if (new_irql > old)
        BugCheck("KfLowerIrql to a level above the current level");
    tl_irql = new_irql;
    if (old > DISPATCH_LEVEL && new_irql <= DISPATCH_LEVEL) {
        zeva::platform::internal::IoSpaceLevelChanged(false);
    }
}

[[noreturn]] void KeBugCheckEx(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4) {
    std::fprintf(stderr, "*** STOP: KeBugCheckEx 0x%08X (0x%zX, 0x%zX, 0x%zX, 0x%zX)\n", code,
                 static_cast<std::size_t>(p1), static_cast<std::size_t>(p2),
                 static_cast<std::size_t>(p3), static_cast<std::size_t>(p4));
    std::fflush(stderr);
    std::abort();
}
