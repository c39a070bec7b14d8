// PBKDF2-HMAC-SHA1. The first iteration of each output block runs through HmacSha1 (the salt
// has any length); the remaining ones hash a 20-byte value, so both HMAC passes are exactly one
// pre-padded block each and go straight to the compression function from the saved key states.
// With the SHA extensions the whole chain of iterations stays in vector registers.
#include "crypto/pbkdf2.h"

#include <cstring>

#include "crypto/byte_order.h"
#include "crypto/cpu_features.h"
#include "crypto/hmac_sha1.h"
#include "crypto/sha1.h"
#include "crypto/sha1_compress.h"
#include "crypto/wipe.h"
#include "crypto/x86_accel.h"

namespace orv::crypto {
namespace {

constexpr std::size_t kDigest = Sha1::kDigestSize;
constexpr std::size_t kBlock = Sha1::kBlockSize;
// Output blocks are independent chains of iterations: up to kLanes of them run in lockstep, so
// that the processor overlaps one chain's compressions with another's instead of waiting for
// each result (a WinZip AES-128 key derivation is two blocks, AES-256 four).
constexpr std::size_t kLanes = 4;

// SHA-1 states after absorbing key^ipad and key^opad.
void KeyStates(const std::uint8_t* key, std::size_t keySize, std::uint32_t inner[5],
               std::uint32_t outer[5]) {
  std::uint8_t pad[kBlock] = {};
  if (keySize > kBlock) {
    Sha1Digest(key, keySize, pad);
  } else if (keySize > 0) {
    std::memcpy(pad, key, keySize);
  }
  for (std::uint8_t& b : pad) b ^= 0x36;
  std::memcpy(inner, kSha1InitialState, sizeof kSha1InitialState);
  Sha1Compress(inner, pad, 1);
  for (std::uint8_t& b : pad) b ^= 0x36 ^ 0x5C;
  std::memcpy(outer, kSha1InitialState, sizeof kSha1InitialState);
  Sha1Compress(outer, pad, 1);
  SecureWipe(pad, sizeof pad);
}

// A block holding a 20-byte message after one block of key pad: 0x80, zeros, 672 bits.
void PadDigestBlock(std::uint8_t block[kBlock]) {
  std::memset(block + kDigest, 0, kBlock - kDigest);
  block[kDigest] = 0x80;
  StoreBe64(block + kBlock - 8, (kBlock + kDigest) * 8);
}

// Iterations 2 to iterations of `lanes` output blocks in lockstep: message[k] holds U1 of
// block k followed by its padding, total[k] U1 as words; on return total[k] is the XOR of all U.
void PortableIterations(const std::uint32_t innerKey[5], const std::uint32_t outerKey[5],
                        std::uint32_t iterations, std::uint8_t (*message)[kBlock],
                        std::uint32_t (*total)[5], std::size_t lanes) {
  std::uint32_t u[kLanes][5];
  for (std::uint32_t iteration = 1; iteration < iterations; ++iteration) {
    for (std::size_t lane = 0; lane < lanes; ++lane) {
      std::memcpy(u[lane], innerKey, sizeof u[lane]);
      Sha1Compress(u[lane], message[lane], 1);
    }
    for (std::size_t lane = 0; lane < lanes; ++lane) {
      for (int i = 0; i < 5; ++i) StoreBe32(message[lane] + 4 * i, u[lane][i]);
      std::memcpy(u[lane], outerKey, sizeof u[lane]);
      Sha1Compress(u[lane], message[lane], 1);
    }
    for (std::size_t lane = 0; lane < lanes; ++lane) {
      for (int i = 0; i < 5; ++i) {
        StoreBe32(message[lane] + 4 * i, u[lane][i]);
        total[lane][i] ^= u[lane][i];
      }
    }
  }
  SecureWipe(u, sizeof u);
}

}  // namespace

void Pbkdf2HmacSha1(const std::uint8_t* password, std::size_t passwordSize,
                    const std::uint8_t* salt, std::size_t saltSize, std::uint32_t iterations,
                    std::uint8_t* out, std::size_t outSize) {
  HmacSha1 hmac(password, passwordSize);
  std::uint32_t innerKey[5], outerKey[5];
  KeyStates(password, passwordSize, innerKey, outerKey);

  std::uint8_t message[kLanes][kBlock];  // U1 of each block, padded
  std::uint32_t total[kLanes][5];
  for (auto& block : message) PadDigestBlock(block);

  for (std::uint32_t firstIndex = 1; outSize > 0;) {
    const std::size_t blocksLeft = (outSize + kDigest - 1) / kDigest;
    const std::size_t lanes = blocksLeft < kLanes ? blocksLeft : kLanes;
    for (std::size_t lane = 0; lane < lanes; ++lane) {
      std::uint8_t index[4];
      StoreBe32(index, firstIndex + static_cast<std::uint32_t>(lane));
      hmac.Update(salt, saltSize);
      hmac.Update(index, sizeof index);
      hmac.Final(message[lane]);
      for (int i = 0; i < 5; ++i) total[lane][i] = LoadBe32(message[lane] + 4 * i);
    }

#if ORV_CRYPTO_X86
    if (UseShaNi()) {
      x86::ShaNiPbkdf2Iterations(innerKey, outerKey, iterations, total, lanes);
    } else
#endif
    {
      PortableIterations(innerKey, outerKey, iterations, message, total, lanes);
    }

    for (std::size_t lane = 0; lane < lanes; ++lane) {
      std::uint8_t block[kDigest];
      for (int i = 0; i < 5; ++i) StoreBe32(block + 4 * i, total[lane][i]);
      const std::size_t take = outSize < kDigest ? outSize : kDigest;
      std::memcpy(out, block, take);
      out += take;
      outSize -= take;
      SecureWipe(block, sizeof block);
    }
    firstIndex += static_cast<std::uint32_t>(lanes);
  }

  SecureWipe(innerKey, sizeof innerKey);
  SecureWipe(outerKey, sizeof outerKey);
  SecureWipe(message, sizeof message);
  SecureWipe(total, sizeof total);
}

}  // namespace orv::crypto
