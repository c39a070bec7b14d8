// Cross-check against an independent implementation: 7-Zip encrypts a known file with WinZip
// AES (stored, no compression), and our cipher must decrypt the entry to the file and accept
// its authentication code. The one entry is found through the central directory and its local
// header is read by hand.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "crypto/wzaes.h"
#include "crypto_test_support.h"

namespace orv::crypto::test {
namespace {

std::uint32_t Le16(const Bytes& b, std::size_t at) { return b.at(at) | b.at(at + 1) << 8; }
std::uint32_t Le32(const Bytes& b, std::size_t at) { return Le16(b, at) | Le16(b, at + 2) << 16; }

class WzAesSevenZipTest : public ::testing::TestWithParam<std::tuple<CryptoPath, unsigned>> {
 protected:
  void SetUp() override {
    if (std::system("command -v 7zz >/dev/null 2>&1") != 0) GTEST_SKIP() << "7zz not installed";
    std::string pattern = ::testing::TempDir() + "wzaes7z-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    ForcePortableCrypto(std::get<0>(GetParam()) == CryptoPath::kPortable);
  }
  void TearDown() override {
    ForcePortableCrypto(false);
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  std::filesystem::path dir_;
};

TEST_P(WzAesSevenZipTest, DecryptsAnEntryWrittenBy7Zip) {
  const unsigned strength = std::get<1>(GetParam());
  const std::string password = "Orvane 7-Zip check";
  const Bytes content = Pattern(3001, strength);
  {
    std::ofstream file(dir_ / "data.bin", std::ios::binary);
    file.write(reinterpret_cast<const char*>(content.data()),
               static_cast<std::streamsize>(content.size()));
  }
  const std::string command = "cd '" + dir_.string() + "' && 7zz a -tzip -mem=AES" +
                              std::to_string(64 + 64 * strength) + " -mm=Copy '-p" + password +
                              "' entry.zip data.bin >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  std::ifstream in(dir_ / "entry.zip", std::ios::binary);
  const Bytes zip((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

  // End record (no comment) -> the one central header -> the local header.
  ASSERT_GE(zip.size(), 22u);
  const std::size_t end = zip.size() - 22;
  ASSERT_EQ(Le32(zip, end), 0x06054B50u);
  ASSERT_EQ(Le16(zip, end + 10), 1u);
  const std::size_t central = Le32(zip, end + 16);
  ASSERT_EQ(Le32(zip, central), 0x02014B50u);
  ASSERT_EQ(Le16(zip, central + 10), 99u);
  const std::size_t compressedSize = Le32(zip, central + 20);
  const std::size_t local = Le32(zip, central + 42);
  ASSERT_EQ(Le32(zip, local), 0x04034B50u);
  const std::size_t extra = local + 30 + Le16(zip, local + 26);
  const std::size_t data = extra + Le16(zip, local + 28);

  unsigned entryStrength = 0;
  for (std::size_t at = extra; at + 4 <= data; at += 4 + Le16(zip, at + 2)) {
    if (Le16(zip, at) == 0x9901) {
      ASSERT_EQ(zip.at(at + 6), 'A');
      ASSERT_EQ(zip.at(at + 7), 'E');
      entryStrength = zip.at(at + 8);
      ASSERT_EQ(Le16(zip, at + 9), 0u);  // stored
    }
  }
  ASSERT_EQ(entryStrength, strength);

  // Salt, verifier, ciphertext, authentication code.
  const std::size_t saltSize = WzAesSaltSize(strength);
  ASSERT_EQ(compressedSize, saltSize + kWzAesVerifierSize + content.size() + kWzAesMacSize);
  ASSERT_LE(data + compressedSize, zip.size());
  const std::uint8_t* salt = zip.data() + data;
  const std::uint8_t* storedVerifier = salt + saltSize;
  Bytes body(storedVerifier + kWzAesVerifierSize,
             storedVerifier + kWzAesVerifierSize + content.size());
  const std::uint8_t* storedMac = salt + compressedSize - kWzAesMacSize;

  WzAesCipher cipher;
  std::uint8_t verifier[kWzAesVerifierSize];
  ASSERT_TRUE(cipher.Init(strength, reinterpret_cast<const std::uint8_t*>(password.data()),
                          password.size(), salt, verifier));
  EXPECT_EQ(ToHex(verifier, 2), ToHex(storedVerifier, 2));
  cipher.Decrypt(body.data(), 1000);
  cipher.Decrypt(body.data() + 1000, body.size() - 1000);
  EXPECT_TRUE(body == content);
  EXPECT_TRUE(cipher.CheckMac(storedMac));
}

std::string SevenZipCaseName(const ::testing::TestParamInfo<std::tuple<CryptoPath, unsigned>>& p) {
  return std::string(std::get<0>(p.param) == CryptoPath::kPortable ? "Portable" : "Accelerated") +
         "Aes" + std::to_string(64 + 64 * std::get<1>(p.param));
}

INSTANTIATE_TEST_SUITE_P(
    Paths, WzAesSevenZipTest,
    ::testing::Combine(::testing::Values(CryptoPath::kPortable, CryptoPath::kAccelerated),
                       ::testing::Values(1u, 2u, 3u)),
    SevenZipCaseName);

}  // namespace
}  // namespace orv::crypto::test
