// SHA-1, HMAC-SHA1 and PBKDF2-HMAC-SHA1 against the published vectors, plus split-point and
// reuse checks; every test runs on the portable code and on the SHA extension path.
#include <gtest/gtest.h>

#include <string>

#include "crypto/hmac_sha1.h"
#include "crypto/pbkdf2.h"
#include "crypto/sha1.h"
#include "crypto_test_support.h"

namespace orv::crypto::test {
namespace {

std::string Sha1Hex(const Bytes& message) {
  std::uint8_t digest[Sha1::kDigestSize];
  Sha1Digest(message.data(), message.size(), digest);
  return ToHex(digest, sizeof digest);
}

// Feeds message to Update() in pieces of the given sizes, cycling through them.
std::string Sha1HexChunked(const Bytes& message, std::initializer_list<std::size_t> sizes) {
  Sha1 sha;
  std::size_t pos = 0;
  for (auto it = sizes.begin(); pos < message.size(); ++it) {
    if (it == sizes.end()) it = sizes.begin();
    const std::size_t take = std::min(*it, message.size() - pos);
    sha.Update(message.data() + pos, take);
    pos += take;
  }
  std::uint8_t digest[Sha1::kDigestSize];
  sha.Final(digest);
  return ToHex(digest, sizeof digest);
}

// Bytes (31 i + 7) mod 256: a message whose every position differs from its neighbours.
Bytes Ramp(std::size_t size) {
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(i * 31 + 7);
  return out;
}

using Sha1Test = CryptoPathTest;

TEST_P(Sha1Test, StandardMessages) {
  EXPECT_EQ(Sha1Hex({}), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(Sha1Hex(FromText("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(Sha1Hex(FromText("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
            "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
  const Bytes million(1000000, 'a');
  EXPECT_EQ(Sha1Hex(million), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
  EXPECT_EQ(Sha1HexChunked(million, {1000}), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

// 55 and 56 bytes: the last length that fits the padding block and the first that does not;
// 63 to 65: around a whole block.
TEST_P(Sha1Test, PaddingBoundaries) {
  const struct {
    std::size_t size;
    const char* digest;
  } kCases[] = {{55, "749bbefb28edc4638b28b2b9a9e03ab9a4032b90"},
                {56, "a5b6e9c29d201c774753ff8e7fb64931656f5e63"},
                {63, "d1a454409359fc372b4d22b3cea6488d6ba1be00"},
                {64, "39a0d8b645ad85f1f976731ed112ac9455e28b78"},
                {65, "d0c96e18890114a14716e9686528d2e3fdba8d9e"},
                {1000, "414475341017ec91703435a6f290324818f983e9"}};
  for (const auto& c : kCases) {
    const Bytes message = Ramp(c.size);
    EXPECT_EQ(Sha1Hex(message), c.digest) << c.size;
    EXPECT_EQ(Sha1HexChunked(message, {1}), c.digest) << c.size;
    EXPECT_EQ(Sha1HexChunked(message, {63}), c.digest) << c.size;
    EXPECT_EQ(Sha1HexChunked(message, {64}), c.digest) << c.size;
    EXPECT_EQ(Sha1HexChunked(message, {7, 130, 0, 64}), c.digest) << c.size;
  }
}

TEST_P(Sha1Test, EverySplitInThreeGivesTheOneShotDigest) {
  const Bytes message = Pattern(200, 1);
  const std::string expected = Sha1Hex(message);
  for (std::size_t i = 0; i <= message.size(); ++i) {
    for (std::size_t j = 0; i + j <= message.size(); ++j) {
      Sha1 sha;
      sha.Update(message.data(), i);
      sha.Update(message.data() + i, j);
      sha.Update(message.data() + i + j, message.size() - i - j);
      std::uint8_t digest[Sha1::kDigestSize];
      sha.Final(digest);
      ASSERT_EQ(ToHex(digest, sizeof digest), expected) << i << "+" << j;
    }
  }
}

TEST_P(Sha1Test, ResetAfterFinalStartsAFreshMessage) {
  Sha1 sha;
  sha.Update(reinterpret_cast<const std::uint8_t*>("xyz"), 3);
  std::uint8_t digest[Sha1::kDigestSize];
  sha.Final(digest);
  sha.Reset();
  sha.Update(reinterpret_cast<const std::uint8_t*>("abc"), 3);
  sha.Final(digest);
  EXPECT_EQ(ToHex(digest, sizeof digest), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

using HmacSha1Test = CryptoPathTest;

std::string HmacHex(const Bytes& key, const Bytes& data) {
  HmacSha1 hmac(key.data(), key.size());
  hmac.Update(data.data(), data.size());
  std::uint8_t mac[HmacSha1::kMacSize];
  hmac.Final(mac);
  return ToHex(mac, sizeof mac);
}

TEST_P(HmacSha1Test, Rfc2202Cases) {
  Bytes key4;
  for (int i = 1; i <= 25; ++i) key4.push_back(static_cast<std::uint8_t>(i));
  EXPECT_EQ(HmacHex(Bytes(20, 0x0b), FromText("Hi There")),
            "b617318655057264e28bc0b6fb378c8ef146be00");
  EXPECT_EQ(HmacHex(FromText("Jefe"), FromText("what do ya want for nothing?")),
            "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
  EXPECT_EQ(HmacHex(Bytes(20, 0xaa), Bytes(50, 0xdd)), "125d7342b9ac11cd91a39af48aa17b4f63f175d3");
  EXPECT_EQ(HmacHex(key4, Bytes(50, 0xcd)), "4c9007f4026250c6bc8414f9bf50c86c2d7235da");
  const std::string case5 = HmacHex(Bytes(20, 0x0c), FromText("Test With Truncation"));
  EXPECT_EQ(case5, "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04");
  EXPECT_EQ(case5.substr(0, 24), "4c1a03424b55e07fe7f27be1");
  // Keys longer than a block are hashed first.
  EXPECT_EQ(HmacHex(Bytes(80, 0xaa),
                    FromText("Test Using Larger Than Block-Size Key - Hash Key First")),
            "aa4ae5e15272d00e95705637ce8a3b55ed402112");
  EXPECT_EQ(HmacHex(Bytes(80, 0xaa), FromText("Test Using Larger Than Block-Size Key and Larger "
                                              "Than One Block-Size Data")),
            "e8e99d0f45237d786d6bbaa7965c7808bbff1a91");
}

TEST_P(HmacSha1Test, FinalStartsANewMessageAndResetDropsTheCurrentOne) {
  HmacSha1 hmac(reinterpret_cast<const std::uint8_t*>("Jefe"), 4);
  const Bytes data = FromText("what do ya want for nothing?");
  std::uint8_t mac[HmacSha1::kMacSize];
  for (int round = 0; round < 2; ++round) {
    hmac.Update(data.data(), data.size());
    hmac.Final(mac);
    EXPECT_EQ(ToHex(mac, sizeof mac), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79") << round;
  }
  hmac.Update(reinterpret_cast<const std::uint8_t*>("junk"), 4);
  hmac.Reset();
  hmac.Update(data.data(), 10);
  hmac.Update(data.data() + 10, data.size() - 10);
  hmac.Final(mac);
  EXPECT_EQ(ToHex(mac, sizeof mac), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
}

TEST_P(HmacSha1Test, SetKeyReplacesTheKey) {
  HmacSha1 hmac(Bytes(80, 0x11).data(), 80);
  hmac.SetKey(reinterpret_cast<const std::uint8_t*>("Jefe"), 4);
  const Bytes data = FromText("what do ya want for nothing?");
  hmac.Update(data.data(), data.size());
  std::uint8_t mac[HmacSha1::kMacSize];
  hmac.Final(mac);
  EXPECT_EQ(ToHex(mac, sizeof mac), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
}

using Pbkdf2Test = CryptoPathTest;

std::string Pbkdf2Hex(const Bytes& password, const Bytes& salt, std::uint32_t iterations,
                      std::size_t size) {
  Bytes out(size, 0xEE);
  Pbkdf2HmacSha1(password.data(), password.size(), salt.data(), salt.size(), iterations,
                 out.data(), out.size());
  return ToHex(out);
}

TEST_P(Pbkdf2Test, Rfc6070Cases) {
  const Bytes password = FromText("password"), salt = FromText("salt");
  EXPECT_EQ(Pbkdf2Hex(password, salt, 1, 20), "0c60c80f961f0e71f3a9b524af6012062fe037a6");
  EXPECT_EQ(Pbkdf2Hex(password, salt, 2, 20), "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957");
  EXPECT_EQ(Pbkdf2Hex(password, salt, 4096, 20), "4b007901b765489abead49d926f721d065a429c1");
  // Two output blocks, the second cut short.
  EXPECT_EQ(Pbkdf2Hex(FromText("passwordPASSWORDpassword"),
                      FromText("saltSALTsaltSALTsaltSALTsaltSALTsalt"), 4096, 25),
            "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038");
  EXPECT_EQ(Pbkdf2Hex(Bytes{'p', 'a', 's', 's', 0, 'w', 'o', 'r', 'd'},
                      Bytes{'s', 'a', 0, 'l', 't'}, 4096, 16),
            "56fa6aa75548099dcc37d7f03425e0c3");
}

TEST_P(Pbkdf2Test, ThousandIterationCases) {
  const Bytes salt = FromText("8F3472E4EA57F56E36F30246DC22C173");
  EXPECT_EQ(Pbkdf2Hex(FromText("passwordpasswordpasswordpassword"), salt, 1000, 20),
            "852c7b71a104aaa8d8996c840c3d4d5d0db780aa");
  // 65 bytes: a password longer than the HMAC block.
  std::string longPassword;
  for (int i = 0; i < 8; ++i) longPassword += "password";
  longPassword += "p";
  EXPECT_EQ(Pbkdf2Hex(FromText(longPassword), salt, 1000, 20),
            "b3e0b5ece77332506972e97b63b3a0a6d36c39a9");
  EXPECT_EQ(Pbkdf2Hex(FromText("p"), salt, 1000, 20), "91cf25bb4c2978620255d7fed8cc1751c7d283b9");
  EXPECT_EQ(Pbkdf2Hex({}, FromText("salt"), 1000, 20), "ea0add357d61a71039c093d7841509873e2a5285");
  EXPECT_EQ(Pbkdf2Hex(Bytes(129, 'K'), FromText("NaCl"), 3, 20),
            "3b829c396c44f79d18de21f62338bf443ee90b6f");
}

// The WinZip AES lengths (34, 50, 66 bytes) and others: each output is the prefix of the
// longest one, and nothing past the requested length is written. Up to four blocks are
// derived side by side, so 81 and 100 bytes need a second round of blocks.
TEST_P(Pbkdf2Test, OutputOfAnyLengthIsAPrefixOfTheLongest) {
  const std::string full =
      "6e88be8bad7eae9d9e10aa061224034fed48d03fcbad968b56006784539d5214ce970d912ec2049b04231d"
      "47c2eb88506945b26b2325e6adfeeba08895ff9587a30b79968d7c300921db460902c9e1838b09462351a5"
      "49a1f1d84e47a4e521b839224cf3";
  const Bytes password = FromText("password"), salt = FromText("salt");
  for (std::size_t size : {1u, 19u, 20u, 21u, 34u, 40u, 50u, 66u, 80u, 81u, 100u}) {
    Bytes out(size + 4, 0xEE);
    Pbkdf2HmacSha1(password.data(), password.size(), salt.data(), salt.size(), 1000, out.data(),
                   size);
    EXPECT_EQ(ToHex(out.data(), size), full.substr(0, 2 * size)) << size;
    EXPECT_EQ(ToHex(out.data() + size, 4), "eeeeeeee") << size;
  }
}

ORV_INSTANTIATE_CRYPTO_PATHS(Sha1Test);
ORV_INSTANTIATE_CRYPTO_PATHS(HmacSha1Test);
ORV_INSTANTIATE_CRYPTO_PATHS(Pbkdf2Test);

// The two compression paths agree on every length up to a few blocks and on long inputs.
TEST(Sha1PathsTest, PortableAndShaExtensionsAgree) {
  if (!CpuHasShaNi()) GTEST_SKIP() << "no SHA extensions on this processor";
  const Bytes message = Pattern(70000, 9);
  for (std::size_t size = 0; size <= message.size(); size += (size < 300 ? 1 : 6997)) {
    const Bytes part(message.begin(), message.begin() + static_cast<std::ptrdiff_t>(size));
    ForcePortableCrypto(true);
    const std::string portable = Sha1Hex(part);
    ForcePortableCrypto(false);
    ASSERT_EQ(Sha1Hex(part), portable) << size;
  }
}

}  // namespace
}  // namespace orv::crypto::test
