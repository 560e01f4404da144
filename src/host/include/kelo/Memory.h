// How much memory a node may plan to use for its results. A host that runs
// nodes beside other work can set a limit below what the machine holds; nodes
// read it before they allocate anything whose size follows from the input
// alone (such as one table record per label number up to the largest label).
#pragma once

#include <cstdint>

namespace KELO {

// Sets the process-wide limit in bytes; 0 (the default) means the machine's
// physical memory. Safe to call from any thread.
void SetMemoryLimit(uint64_t bytes);

// The limit as set, 0 when none is set.
uint64_t MemoryLimit();

// The machine's physical memory in bytes, or 0 when the system does not say.
uint64_t PhysicalMemory();

// What a node may use: the physical memory, or the limit when one is set and it
// is smaller. A limit above the physical memory is no promise the machine can
// keep, so the smaller of the two applies. Without a limit on a system that
// does not report its memory: UINT64_MAX (no bound).
uint64_t AvailableMemory();

}  // namespace KELO
