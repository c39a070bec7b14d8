#include <new>

#include "os/memory.h"

namespace orv {

void* AllocateLargeBlock(std::size_t size) noexcept { return ::operator new(size, std::nothrow); }

void FreeLargeBlock(void* block, std::size_t) noexcept { ::operator delete(block); }

}  // namespace orv
