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

// PBKDF2-HMAC-SHA1 iterations 2 to iterations of blockCount output blocks. innerKey and
// outerKey are the SHA-1 states after the key blocks (key ^ ipad, key ^ opad); total[k] holds
// U1 of block k as state words on entry and U1 ^ U2 ^ ... ^ Un on return.
void ShaNiPbkdf2Iterations(const std::uint32_t innerKey[5], const std::uint32_t outerKey[5],
                           std::uint32_t iterations, std::uint32_t (*total)[5],
                           std::size_t blockCount);

// For each of unitCount 64-byte units of data: compresses the unit into the SHA-1 state, then
// XORs it with four blocks of counter-mode keystream (see AesNiXorCounterModeLe). Needs both
// AES-NI and the SHA extensions.
void ShaNiAesNiHashThenXorCounterModeLe(std::uint32_t shaState[5], const std::uint32_t* roundKeys,
                                        int rounds, std::uint8_t counter[16], std::uint8_t* data,
                                        std::size_t unitCount);

}  // namespace orv::crypto::x86
