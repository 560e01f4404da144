#include "kelo/Memory.h"

#include <unistd.h>

#include <atomic>

namespace KELO {

namespace {
std::atomic<uint64_t> g_limit{0};
}  // namespace

void SetMemoryLimit(uint64_t bytes) { g_limit.store(bytes, std::memory_order_relaxed); }

uint64_t MemoryLimit() { return g_limit.load(std::memory_order_relaxed); }

uint64_t PhysicalMemory() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || pageSize <= 0) return 0;
    uint64_t bytes = 0;
    if (__builtin_mul_overflow(static_cast<uint64_t>(pages), static_cast<uint64_t>(pageSize), &bytes))
        return UINT64_MAX;
    return bytes;
}

uint64_t AvailableMemory() {
    uint64_t physical = PhysicalMemory();
    // A system that does not report its memory leaves the limit alone to decide.
    if (physical == 0) physical = UINT64_MAX;
    const uint64_t limit = MemoryLimit();
    return limit != 0 && limit < physical ? limit : physical;
}

}  // namespace KELO
