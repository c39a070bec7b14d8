// WinZip AES. Large buffers are processed in slices of a few KiB: counter mode and the HMAC
// then both run over data that is still in the first-level cache. Decryption on a processor
// with AES-NI and the SHA extensions goes further and does both in one pass.
#include "crypto/wzaes.h"

#include <cstring>

#include "crypto/cpu_features.h"
#include "crypto/pbkdf2.h"
#include "crypto/wipe.h"

namespace orv::crypto {
namespace {

constexpr std::size_t kSliceSize = 16 * 1024;
constexpr std::size_t kBlock = AesEncryptor::kBlockSize;
constexpr std::size_t kMaxDerivedSize = 32 * 2 + kWzAesVerifierSize;

}  // namespace

std::size_t WzAesKeySize(unsigned strength) {
  switch (strength) {
    case 1: return 16;
    case 2: return 24;
    case 3: return 32;
    default: return 0;
  }
}

std::size_t WzAesSaltSize(unsigned strength) { return WzAesKeySize(strength) / 2; }

WzAesCipher::~WzAesCipher() { Wipe(); }

bool WzAesCipher::Init(unsigned strength, const std::uint8_t* password, std::size_t passwordSize,
                       const std::uint8_t* salt, std::uint8_t verifier[kWzAesVerifierSize]) {
  const std::size_t keySize = WzAesKeySize(strength);
  if (keySize == 0) {
    Wipe();
    return false;
  }
  // Derived bytes: AES key, HMAC key, password verifier.
  std::uint8_t derived[kMaxDerivedSize];
  const std::size_t derivedSize = keySize * 2 + kWzAesVerifierSize;
  Pbkdf2HmacSha1(password, passwordSize, salt, WzAesSaltSize(strength), kWzAesIterations, derived,
                 derivedSize);
  SetKeys(derived, derived + keySize, keySize);
  std::memcpy(verifier, derived + keySize * 2, kWzAesVerifierSize);
  SecureWipe(derived, sizeof derived);
  return true;
}

bool WzAesCipher::SetKeys(const std::uint8_t* aesKey, const std::uint8_t* macKey,
                          std::size_t keySize) {
  Wipe();
  if (!aes_.SetKey(aesKey, keySize)) return false;
  hmac_.SetKey(macKey, keySize);
  return true;
}

void WzAesCipher::Encrypt(std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const std::size_t slice = size < kSliceSize ? size : kSliceSize;
    XorKeystream(data, slice);
    hmac_.Update(data, slice);
    data += slice;
    size -= slice;
  }
}

void WzAesCipher::Decrypt(std::uint8_t* data, std::size_t size) {
  // Whole 64-byte units in one combined pass where the processor has both instruction sets,
  // when the keystream and the hash both stand at a block boundary (always, but after a call
  // that ended inside a block).
  const std::size_t units = size / Sha1::kBlockSize;
  if (units > 0 && keystreamUsed_ == kBlock && UseAesNi() && UseShaNi()) {
    if (std::uint32_t* shaState = hmac_.ClaimInnerBlocks(units)) {
      aes_.HashThenXorCounterModeLe(shaState, counter_, data, units);
      data += units * Sha1::kBlockSize;
      size -= units * Sha1::kBlockSize;
    }
  }
  while (size > 0) {
    const std::size_t slice = size < kSliceSize ? size : kSliceSize;
    hmac_.Update(data, slice);
    XorKeystream(data, slice);
    data += slice;
    size -= slice;
  }
}

void WzAesCipher::XorKeystream(std::uint8_t* data, std::size_t size) {
  // Keystream left over from a block that the previous call ended in.
  while (size > 0 && keystreamUsed_ < kBlock) {
    *data++ ^= keystream_[keystreamUsed_++];
    --size;
  }
  const std::size_t blocks = size / kBlock;
  if (blocks > 0) {
    aes_.XorCounterModeLe(counter_, data, blocks);
    data += blocks * kBlock;
    size -= blocks * kBlock;
  }
  if (size > 0) {
    // Part of a block: keep the rest of its keystream for the next call.
    std::memset(keystream_, 0, kBlock);
    aes_.XorCounterModeLe(counter_, keystream_, 1);
    for (std::size_t i = 0; i < size; ++i) data[i] ^= keystream_[i];
    keystreamUsed_ = size;
  }
}

void WzAesCipher::FinalMac(std::uint8_t mac[kWzAesMacSize]) {
  std::uint8_t full[HmacSha1::kMacSize];
  hmac_.Final(full);
  std::memcpy(mac, full, kWzAesMacSize);
  SecureWipe(full, sizeof full);
}

bool WzAesCipher::CheckMac(const std::uint8_t stored[kWzAesMacSize]) {
  std::uint8_t mac[kWzAesMacSize];
  FinalMac(mac);
  const bool equal = ConstantTimeEqual(mac, stored, kWzAesMacSize);
  SecureWipe(mac, sizeof mac);
  return equal;
}

void WzAesCipher::Wipe() {
  aes_.Wipe();
  hmac_.Wipe();
  SecureWipe(counter_, sizeof counter_);
  SecureWipe(keystream_, sizeof keystream_);
  keystreamUsed_ = kBlock;
}

}  // namespace orv::crypto
