#include "crypto/wipe.h"

#include <cstring>

namespace orv::crypto {

void SecureWipe(void* data, std::size_t size) {
  if (size == 0) return;
  std::memset(data, 0, size);
  // The empty statement claims to read the memory, so the stores above cannot be dropped as dead.
  __asm__ __volatile__("" : : "r"(data) : "memory");
}

bool ConstantTimeEqual(const std::uint8_t* a, const std::uint8_t* b, std::size_t size) {
  unsigned diff = 0;
  for (std::size_t i = 0; i < size; ++i) diff |= static_cast<unsigned>(a[i] ^ b[i]);
  return diff == 0;
}

}  // namespace orv::crypto
