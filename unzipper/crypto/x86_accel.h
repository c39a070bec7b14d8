// Entry points of the x86 instruction-set paths (AES-NI, SHA extensions). Only call them when
// UseAesNi()/UseShaNi() says so; they exist only in builds for x86 and x86-64.
#pragma once
#include <cstddef>
#include <cstdint>

namespace orv::crypto::x86 {

// roundKeys: the expanded key as little-endian words, 4 per round key, rounds + 1 round keys.
void AesNiEncryptBlock(const std::uint32_t* roundKeys, int rounds, const std::uint8_t in[16],
                       std::uint8_t out[16]);
// Counter mode with a 128-bit little-endian counter, see AesEncryptor::XorCounterModeLe.
void AesNiXorCounterModeLe(const std::uint32_t* roundKeys, int rounds, std::uint8_t counter[16],
                           std::uint8_t* data, std::size_t blockCount);

// SHA-1 compression of blockCount whole 64-byte blocks into state.
void ShaNiCompress(std::uint32_t state[5], const std::uint8_t* blocks, std::size_t blockCount);

}  // namespace orv::crypto::x86
