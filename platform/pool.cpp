// Pool: tagged blocks with a header, counted so that tests see leaks.
#include <cstdlib>
#include <mutex>

#include "platform/internal.h"

namespace {
constexpr ULONG kPoolMagic = 0x6C6F6F50;  // 'Pool'

struct alignas(16) PoolHeader {
    PoolHeader* next;
    PoolHeader* prev;
    std::size_t bytes;
    ULONG tag;
    ULONG magic;
};

std::mutex g_pool_lock;
PoolHeader g_pool_head = {&g_pool_head, &g_pool_head, 0, 0, kPoolMagic};
std::size_t g_pool_count = 0;
}  // namespace

PVOID ExAllocatePoolWithTag(POOL_TYPE, std::size_t bytes, ULONG tag) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        zeva::platform::internal::BugCheck("ExAllocatePoolWithTag called above DISPATCH_LEVEL");
    }
    auto* h = static_cast<PoolHeader*>(std::malloc(sizeof(PoolHeader) + bytes));
    if (!h)
        return nullptr;
    h->bytes = bytes;
    h->tag = tag;
    h->magic = kPoolMagic;
    std::lock_guard<std::mutex> guard(g_pool_lock);
    h->next = g_pool_head.next;
    h->prev = &g_pool_head;
    g_pool_head.next->prev = h;
    g_pool_head.next = h;
    ++g_pool_count;
    return h + 1;
}

void ExFreePool(PVOID block) {
    if (!block)
        zeva::platform::internal::BugCheck("ExFreePool of a null block");
    PoolHeader* h = static_cast<PoolHeader*>(block) - 1;
    if (h->magic != kPoolMagic) {
        zeva::platform::internal::BugCheck("ExFreePool of a block not from the pool");
    }
    {
        std::lock_guard<std::mutex> guard(g_pool_lock);
        h->prev->next = h->next;
        h->next->prev = h->prev;
        --g_pool_count;
    }
    h->magic = 0;
    std::free(h);
}

namespace zeva::platform {

std::size_t PoolOutstanding() {
    std::lock_guard<std::mutex> guard(g_pool_lock);
    return g_pool_count;
}

namespace internal {
// Frees every block still allocated; returns how many there were.
std::size_t PoolFreeAll() {
    std::lock_guard<std::mutex> guard(g_pool_lock);
    std::size_t leaked = g_pool_count;
    while (g_pool_head.next != &g_pool_head) {
        PoolHeader* h = g_pool_head.next;
        g_pool_head.next = h->next;
        h->magic = 0;
        std::free(h);
    }
    g_pool_head.prev = &g_pool_head;
    g_pool_count = 0;
    return leaked;
}
}  // namespace internal

}  // namespace zeva::platform
