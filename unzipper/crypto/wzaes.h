// WinZip AES (AE-1/AE-2): key derivation, password verifier, the little-endian counter mode
// and the HMAC-SHA1 authentication code over the ciphertext (encrypt-then-MAC).
//
// Entry data layout: salt (SaltSize), 2-byte verifier, ciphertext, 10-byte authentication code.
#pragma once
#include <cstddef>
#include <cstdint>

#include "crypto/aes.h"
#include "crypto/hmac_sha1.h"

namespace orv::crypto {

constexpr std::uint32_t kWzAesIterations = 1000;
constexpr std::size_t kWzAesVerifierSize = 2;
constexpr std::size_t kWzAesMacSize = 10;

// Strength 1, 2, 3 -> key size 16, 24, 32; 0 for an unknown strength.
std::size_t WzAesKeySize(unsigned strength);
// Half the key size; 0 for an unknown strength.
std::size_t WzAesSaltSize(unsigned strength);

class WzAesCipher {
 public:
  WzAesCipher() = default;
  ~WzAesCipher();
  WzAesCipher(const WzAesCipher&) = delete;
  WzAesCipher& operator=(const WzAesCipher&) = delete;

  // Derives the keys from password and salt (salt must be WzAesSaltSize(strength) bytes) and
  // writes the 2-byte password verifier. Returns false for an unknown strength.
  bool Init(unsigned strength, const std::uint8_t* password, std::size_t passwordSize,
            const std::uint8_t* salt, std::uint8_t verifier[kWzAesVerifierSize]);

  // Starts a stream under keys that are already derived (keySize 16, 24 or 32 bytes each):
  // the part of Init() after the key derivation. Returns false for any other size.
  bool SetKeys(const std::uint8_t* aesKey, const std::uint8_t* macKey, std::size_t keySize);

  // In place; any split of the stream gives the same result as one call.
  void Encrypt(std::uint8_t* data, std::size_t size);  // CTR, then MAC over the ciphertext
  void Decrypt(std::uint8_t* data, std::size_t size);  // MAC over the ciphertext, then CTR

  // The first 10 bytes of the HMAC over all ciphertext seen so far. Ends the stream: the next
  // code would cover only ciphertext that follows.
  void FinalMac(std::uint8_t mac[kWzAesMacSize]);
  // Compares FinalMac() with the stored code in constant time.
  bool CheckMac(const std::uint8_t stored[kWzAesMacSize]);

  // Drops all key material.
  void Wipe();

 private:
  void XorKeystream(std::uint8_t* data, std::size_t size);

  AesEncryptor aes_;
  HmacSha1 hmac_;
  std::uint8_t counter_[16] = {};
  std::uint8_t keystream_[16] = {};
  std::size_t keystreamUsed_ = 16;  // 16: no unused keystream bytes left
};

}  // namespace orv::crypto
