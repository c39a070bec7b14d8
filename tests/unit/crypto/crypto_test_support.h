// Shared pieces of the crypto tests: hex text, and a fixture that runs a test once on the
// portable code and once on the processor's AES-NI / SHA extension paths.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "crypto/cpu_features.h"

namespace orv::crypto::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes FromHex(const std::string& hex) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

inline std::string ToHex(const std::uint8_t* data, std::size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < size; ++i) {
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 15];
  }
  return out;
}
inline std::string ToHex(const Bytes& b) { return ToHex(b.data(), b.size()); }

inline Bytes FromText(const std::string& text) { return Bytes(text.begin(), text.end()); }

// Deterministic filler for long inputs.
inline Bytes Pattern(std::size_t size, std::uint32_t seed) {
  Bytes out(size);
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& b : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<std::uint8_t>(x >> 24);
  }
  return out;
}

enum class CryptoPath { kPortable, kAccelerated };

class CryptoPathTest : public ::testing::TestWithParam<CryptoPath> {
 protected:
  void SetUp() override {
    if (GetParam() == CryptoPath::kAccelerated && !CpuHasAesNi() && !CpuHasShaNi()) {
      GTEST_SKIP() << "this processor has neither AES-NI nor the SHA extensions";
    }
    ForcePortableCrypto(GetParam() == CryptoPath::kPortable);
  }
  void TearDown() override { ForcePortableCrypto(false); }
};

inline void PrintTo(CryptoPath path, std::ostream* os) {
  *os << (path == CryptoPath::kPortable ? "portable" : "accelerated");
}

inline std::string PathName(const ::testing::TestParamInfo<CryptoPath>& info) {
  return info.param == CryptoPath::kPortable ? "Portable" : "Accelerated";
}

#define ORV_INSTANTIATE_CRYPTO_PATHS(Fixture)                                            \
  INSTANTIATE_TEST_SUITE_P(Paths, Fixture,                                               \
                           ::testing::Values(::orv::crypto::test::CryptoPath::kPortable, \
                                             ::orv::crypto::test::CryptoPath::kAccelerated), \
                           ::orv::crypto::test::PathName)

}  // namespace orv::crypto::test
