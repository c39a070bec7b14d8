#include "core/dotnet_check.h"

#include <cstring>

namespace ot {

bool IsDotNetInstalled(Registry& registry) {
  try {
    {
      // Probe with the narrower rights first; this handle only tells whether the key is there.
      ScopedKey probe(registry);
      if (probe.Open(RootKey::LocalMachine, kDotNetKeyPath, kKeyReadEnumerate) != kErrorSuccess)
        return false;
    }
    ScopedKey key(registry);
    if (key.Open(RootKey::LocalMachine, kDotNetKeyPath, kKeyRead) != kErrorSuccess) return false;

    std::uint32_t type = 0;
    std::uint32_t size = 0;
    if (registry.QueryValueInfo(key.Get(), kDotNetReleaseValue, type, size) != kErrorSuccess)
      return false;

    unsigned char data[4] = {};
    size = sizeof data;
    if (registry.QueryValue(key.Get(), kDotNetReleaseValue, type, data, size) != kErrorSuccess)
      return false;
    // A REG_DWORD with fewer than four bytes of data leaves the rest undefined: refuse it.
    if (type != kRegDword || size != sizeof data) return false;

    const std::uint32_t raw = static_cast<std::uint32_t>(data[0]) |
                              (static_cast<std::uint32_t>(data[1]) << 8) |
                              (static_cast<std::uint32_t>(data[2]) << 16) |
                              (static_cast<std::uint32_t>(data[3]) << 24);
    std::int32_t release = 0;
    std::memcpy(&release, &raw, sizeof release);  // signed: the top bit set reads as negative
    return release >= kDotNet46Release;
  } catch (...) {
    return false;
  }
}

}  // namespace ot
