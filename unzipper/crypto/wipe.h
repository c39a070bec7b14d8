// Memory wiping and constant-time comparison for key material and authentication codes.
#pragma once
#include <cstddef>
#include <cstdint>

namespace orv::crypto {

// Overwrites size bytes with zeros in a way the optimiser may not remove.
void SecureWipe(void* data, std::size_t size);

// True when the two byte ranges are equal; the time taken does not depend on where they differ.
bool ConstantTimeEqual(const std::uint8_t* a, const std::uint8_t* b, std::size_t size);

}  // namespace orv::crypto
