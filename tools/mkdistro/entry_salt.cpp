#include "entry_salt.h"

#include <cstring>

#include "crypto/wipe.h"
#include "distro_error.h"
#include "zip/zip_format.h"

namespace ot::mkdistro {
namespace {

// Separates this use of the password from every other: the key of the salts is no key the
// WinZip AES derivation could produce.
constexpr char kSaltLabel[] = "otSetup distribution archive: entry salt key, version 1";

}  // namespace

SaltDeriver::SaltDeriver(const std::string& password) {
  orv::crypto::HmacSha1 hmac(reinterpret_cast<const std::uint8_t*>(password.data()), password.size());
  hmac.Update(reinterpret_cast<const std::uint8_t*>(kSaltLabel), sizeof kSaltLabel - 1);
  hmac.Final(key_);
  hmac.Wipe();
}

SaltDeriver::~SaltDeriver() { orv::crypto::SecureWipe(key_, sizeof key_); }

void SaltDeriver::Derive(std::string_view name, const std::uint8_t* stream, std::size_t streamSize,
                         std::uint8_t* salt, std::size_t saltSize) const {
  if (saltSize > orv::crypto::HmacSha1::kMacSize) throw DistroError("salt larger than the hash");
  orv::crypto::HmacSha1 hmac(key_, sizeof key_);
  std::uint8_t length[4];
  orv::zip::StoreLe32(length, static_cast<std::uint32_t>(name.size()));
  hmac.Update(length, sizeof length);
  hmac.Update(reinterpret_cast<const std::uint8_t*>(name.data()), name.size());
  hmac.Update(stream, streamSize);
  std::uint8_t mac[orv::crypto::HmacSha1::kMacSize];
  hmac.Final(mac);
  hmac.Wipe();
  std::memcpy(salt, mac, saltSize);
  orv::crypto::SecureWipe(mac, sizeof mac);
}

}  // namespace ot::mkdistro
