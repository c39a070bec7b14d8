// PBKDF2-HMAC-SHA1. The first iteration of each output block runs through HmacSha1 (the salt
// has any length); the remaining ones hash a 20-byte value, so both HMAC passes are exactly one
// pre-padded block each and go straight to the compression function from the saved key states.
#include "crypto/pbkdf2.h"

#include <cstring>

#include "crypto/byte_order.h"
#include "crypto/hmac_sha1.h"
#include "crypto/sha1.h"
#include "crypto/sha1_compress.h"
#include "crypto/wipe.h"

namespace orv::crypto {
namespace {

constexpr std::size_t kDigest = Sha1::kDigestSize;
constexpr std::size_t kBlock = Sha1::kBlockSize;

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

}  // namespace

void Pbkdf2HmacSha1(const std::uint8_t* password, std::size_t passwordSize,
                    const std::uint8_t* salt, std::size_t saltSize, std::uint32_t iterations,
                    std::uint8_t* out, std::size_t outSize) {
  HmacSha1 hmac(password, passwordSize);
  std::uint32_t innerKey[5], outerKey[5];
  KeyStates(password, passwordSize, innerKey, outerKey);

  std::uint8_t message[kBlock];  // U(j-1), then the inner digest, each followed by padding
  PadDigestBlock(message);
  std::uint32_t u[5], total[5];

  for (std::uint32_t blockIndex = 1; outSize > 0; ++blockIndex) {
    std::uint8_t index[4];
    StoreBe32(index, blockIndex);
    hmac.Update(salt, saltSize);
    hmac.Update(index, sizeof index);
    hmac.Final(message);
    for (int i = 0; i < 5; ++i) total[i] = LoadBe32(message + 4 * i);

    for (std::uint32_t iteration = 1; iteration < iterations; ++iteration) {
      std::memcpy(u, innerKey, sizeof u);
      Sha1Compress(u, message, 1);
      for (int i = 0; i < 5; ++i) StoreBe32(message + 4 * i, u[i]);
      std::memcpy(u, outerKey, sizeof u);
      Sha1Compress(u, message, 1);
      for (int i = 0; i < 5; ++i) {
        StoreBe32(message + 4 * i, u[i]);
        total[i] ^= u[i];
      }
    }

    std::uint8_t block[kDigest];
    for (int i = 0; i < 5; ++i) StoreBe32(block + 4 * i, total[i]);
    const std::size_t take = outSize < kDigest ? outSize : kDigest;
    std::memcpy(out, block, take);
    out += take;
    outSize -= take;
    SecureWipe(block, sizeof block);
  }

  SecureWipe(innerKey, sizeof innerKey);
  SecureWipe(outerKey, sizeof outerKey);
  SecureWipe(message, sizeof message);
  SecureWipe(u, sizeof u);
  SecureWipe(total, sizeof total);
}

}  // namespace orv::crypto
