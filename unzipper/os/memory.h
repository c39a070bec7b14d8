// Large blocks of memory for buffers that are reused for a whole extraction (the decoded data
// kept ahead of the writer). On Linux the block is asked for in transparent huge pages where
// the system offers them: a fresh page costs a fault on its first touch, and on a virtual
// machine that is tens of microseconds per 4 KiB page, about 60 ms for 8 MiB against half a
// millisecond in 2 MiB pages. On Windows it comes from the heap.
#pragma once
#include <cstddef>

namespace orv {

// Null when the system has no memory to give.
void* AllocateLargeBlock(std::size_t size) noexcept;
void FreeLargeBlock(void* block, std::size_t size) noexcept;

}  // namespace orv
