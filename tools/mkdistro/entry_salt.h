// Salts derived from what they protect, so that the same inputs give the same archive.
//
// WinZip AES derives an entry's AES key and MAC key from the password and the salt
// (PBKDF2-HMAC-SHA1), and its counter mode always starts at 1: two entries with the same salt
// under one password share their keystream. Reusing a keystream is harmful only when it
// encrypts two different plaintexts (the XOR of the ciphertexts is then the XOR of the
// plaintexts). Here the salt is a keyed hash of the entry's name and of exactly the bytes that
// are encrypted, the raw deflate stream: two entries share a salt only when they carry the same
// name and the same stream (but for a 64-bit collision of the hash, as likely as two random
// salts meeting), and then their ciphertexts are the same too. All a reader without the
// password learns from that is that two archives carry the same file under the same name. The
// hash is keyed with a secret derived from the password, so without the password nobody can
// compute a salt from a guessed file and compare it with the archive.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "crypto/hmac_sha1.h"

namespace ot::mkdistro {

class SaltDeriver {
 public:
  explicit SaltDeriver(const std::string& password);
  ~SaltDeriver();
  SaltDeriver(const SaltDeriver&) = delete;
  SaltDeriver& operator=(const SaltDeriver&) = delete;

  // The first saltSize bytes (at most 20) of HMAC-SHA1 under the derived key over the name's
  // length (4 bytes, little-endian), the name and the deflate stream.
  void Derive(std::string_view name, const std::uint8_t* stream, std::size_t streamSize, std::uint8_t* salt,
              std::size_t saltSize) const;

 private:
  std::uint8_t key_[orv::crypto::HmacSha1::kMacSize];
};

}  // namespace ot::mkdistro
