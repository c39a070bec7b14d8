#include "crypto/hmac_sha1.h"

#include <cstring>

#include "crypto/wipe.h"

namespace orv::crypto {

HmacSha1::~HmacSha1() { Wipe(); }

void HmacSha1::SetKey(const std::uint8_t* key, std::size_t keySize) {
  // The key block: the key itself, or its digest when it is longer than a block, zero-padded.
  std::uint8_t pad[Sha1::kBlockSize] = {};
  if (keySize > Sha1::kBlockSize) {
    Sha1Digest(key, keySize, pad);
  } else if (keySize > 0) {
    std::memcpy(pad, key, keySize);
  }
  for (std::uint8_t& b : pad) b ^= 0x36;
  innerStart_.Reset();
  innerStart_.Update(pad, sizeof pad);
  for (std::uint8_t& b : pad) b ^= 0x36 ^ 0x5C;
  outerStart_.Reset();
  outerStart_.Update(pad, sizeof pad);
  SecureWipe(pad, sizeof pad);
  Reset();
}

void HmacSha1::Reset() {
  inner_ = innerStart_;
  outer_ = outerStart_;
}

void HmacSha1::Update(const std::uint8_t* data, std::size_t size) { inner_.Update(data, size); }

void HmacSha1::Final(std::uint8_t mac[kMacSize]) {
  std::uint8_t innerDigest[Sha1::kDigestSize];
  inner_.Final(innerDigest);
  outer_.Update(innerDigest, sizeof innerDigest);
  outer_.Final(mac);
  SecureWipe(innerDigest, sizeof innerDigest);
  Reset();
}

void HmacSha1::Wipe() {
  // A fresh Sha1 holds nothing secret; the assignments replace every keyed state.
  const Sha1 empty;
  inner_ = empty;
  outer_ = empty;
  innerStart_ = empty;
  outerStart_ = empty;
}

}  // namespace orv::crypto
