// SHA-1 (FIPS 180-4). Incremental: Update() may be fed any split of the message.
#pragma once
#include <cstddef>
#include <cstdint>

namespace orv::crypto {

class Sha1 {
 public:
  static constexpr std::size_t kDigestSize = 20;
  static constexpr std::size_t kBlockSize = 64;

  Sha1() { Reset(); }
  ~Sha1();
  Sha1(const Sha1&) = default;
  Sha1& operator=(const Sha1&) = default;

  void Reset();
  void Update(const std::uint8_t* data, std::size_t size);
  // Writes the digest and leaves the object wiped; call Reset() before reuse.
  void Final(std::uint8_t digest[kDigestSize]);

  // For a pass that hashes whole blocks along with other work (WinZip AES decryption): when no
  // partial block is buffered, counts blockCount more blocks as hashed and returns the state
  // that the caller must compress exactly those blocks into; null otherwise.
  std::uint32_t* ClaimBlocks(std::size_t blockCount);

 private:
  void WipeState();

  std::uint32_t state_[5];
  std::uint64_t length_;        // bytes hashed so far
  std::uint8_t buffer_[kBlockSize];
  std::size_t buffered_;
};

void Sha1Digest(const std::uint8_t* data, std::size_t size, std::uint8_t digest[Sha1::kDigestSize]);

}  // namespace orv::crypto
