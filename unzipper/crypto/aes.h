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

  // Counter mode with a 128-bit little-endian counter (the WinZip AES layout): for each of
  // blockCount 16-byte blocks of data, adds 1 to counter, encrypts it and XORs the result into
  // the block. counter holds the last value used when the call returns.
  void XorCounterModeLe(std::uint8_t counter[kBlockSize], std::uint8_t* data,
                        std::size_t blockCount) const;

  // Decryption and a hash of the ciphertext in one pass: for each of unitCount 64-byte units
  // (four blocks), compresses the unit into the SHA-1 state shaState, then XORs it with counter
  // mode keystream as XorCounterModeLe does. With AES-NI and the SHA extensions both steps run
  // while the unit sits in registers; otherwise they run one after the other.
  void HashThenXorCounterModeLe(std::uint32_t shaState[5], std::uint8_t counter[kBlockSize],
                                std::uint8_t* data, std::size_t unitCount) const;

  // Drops the key; SetKey() must come before the next use.
  void Wipe();

 private:
  // Round keys as little-endian words: word i holds bytes 4i..4i+3 of the key schedule.
  alignas(16) std::uint32_t roundKeys_[60] = {};
  int rounds_ = 0;
};

}  // namespace orv::crypto
