// HMAC-SHA1 (RFC 2104). Keys longer than the block size are hashed first.
#pragma once
#include <cstddef>
#include <cstdint>

#include "crypto/sha1.h"

namespace orv::crypto {

class HmacSha1 {
 public:
  static constexpr std::size_t kMacSize = Sha1::kDigestSize;

  HmacSha1() = default;
  HmacSha1(const std::uint8_t* key, std::size_t keySize) { SetKey(key, keySize); }
  ~HmacSha1();

  void SetKey(const std::uint8_t* key, std::size_t keySize);
  // Starts a new message under the same key.
  void Reset();
  void Update(const std::uint8_t* data, std::size_t size);
  // Sha1::ClaimBlocks on the inner hash: the message continues with blocks that the caller
  // compresses into the returned state itself.
  std::uint32_t* ClaimInnerBlocks(std::size_t blockCount) { return inner_.ClaimBlocks(blockCount); }
  // Writes the code of the message so far and starts a new message under the same key.
  void Final(std::uint8_t mac[kMacSize]);
  // Drops the key; SetKey() must come before the next use.
  void Wipe();

 private:
  Sha1 inner_, outer_;            // states after absorbing key^ipad / key^opad
  Sha1 innerStart_, outerStart_;
};

}  // namespace orv::crypto
