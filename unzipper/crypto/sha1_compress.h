// The SHA-1 compression function on whole 64-byte blocks, for code that manages the padding
// itself (PBKDF2 hashes the same two-block layout two thousand times per derivation).
#pragma once
#include <cstddef>
#include <cstdint>

namespace orv::crypto {

inline constexpr std::uint32_t kSha1InitialState[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu,
                                                       0x10325476u, 0xC3D2E1F0u};

// Uses the SHA extensions when UseShaNi() allows, the portable code otherwise.
void Sha1Compress(std::uint32_t state[5], const std::uint8_t* blocks, std::size_t blockCount);
void Sha1CompressPortable(std::uint32_t state[5], const std::uint8_t* blocks,
                          std::size_t blockCount);

}  // namespace orv::crypto
