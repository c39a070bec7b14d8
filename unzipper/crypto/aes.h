// AES block encryption (FIPS 197) for 128-, 192- and 256-bit keys. Only the forward
// direction exists: counter mode never decrypts a block.
#pragma once
#include <cstddef>
#include <cstdint>

namespace orv::crypto {

class AesEncryptor {
 public:
  static constexpr std::size_t kBlockSize = 16;

  AesEncryptor() = default;
  ~AesEncryptor();

  // keySize is 16, 24 or 32; returns false for any other size.
  bool SetKey(const std::uint8_t* key, std::size_t keySize);
  void EncryptBlock(const std::uint8_t in[kBlockSize], std::uint8_t out[kBlockSize]) const;

 private:
  alignas(16) std::uint32_t roundKeys_[60] = {};
  int rounds_ = 0;
};

}  // namespace orv::crypto
