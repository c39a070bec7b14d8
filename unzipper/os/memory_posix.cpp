#include <sys/mman.h>

#include <cstdint>

#include "os/memory.h"

namespace orv {

namespace {

constexpr std::size_t kHugePage = 2 * 1024 * 1024;

// The mapping has a huge page of slack, so that the block can start on a huge page boundary;
// the mapping's own start and length are kept just in front of the block.
struct Header {
  void* mapping;
  std::size_t length;
};

}  // namespace

void* AllocateLargeBlock(std::size_t size) noexcept {
  const std::size_t length = size + kHugePage + sizeof(Header);
  void* mapping = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(mapping) + sizeof(Header);
  const std::uintptr_t aligned = (start + kHugePage - 1) & ~static_cast<std::uintptr_t>(kHugePage - 1);
#if defined(MADV_HUGEPAGE)
  ::madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);  // a hint; without it, plain pages
#endif
  auto* header = reinterpret_cast<Header*>(aligned) - 1;
  header->mapping = mapping;
  header->length = length;
  return reinterpret_cast<void*>(aligned);
}

void FreeLargeBlock(void* block, std::size_t) noexcept {
  if (block == nullptr) return;
  const Header header = *(static_cast<Header*>(block) - 1);
  ::munmap(header.mapping, header.length);
}

}  // namespace orv
