// AES block encryption against FIPS 197 and the little-endian counter mode against its
// definition, on the portable code and on AES-NI.
#include <gtest/gtest.h>

#include <cstring>

#include "crypto/aes.h"
#include "crypto/sha1_compress.h"
#include "crypto_test_support.h"

namespace orv::crypto::test {
namespace {

Bytes Sequence(std::size_t size) {
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(i);
  return out;
}

std::string EncryptHex(const Bytes& key, const Bytes& plain) {
  AesEncryptor aes;
  EXPECT_TRUE(aes.SetKey(key.data(), key.size()));
  std::uint8_t out[16];
  aes.EncryptBlock(plain.data(), out);
  return ToHex(out, sizeof out);
}

using AesTest = CryptoPathTest;

TEST_P(AesTest, Fips197Vectors) {
  const Bytes plain = FromHex("00112233445566778899aabbccddeeff");
  EXPECT_EQ(EncryptHex(FromHex("2b7e151628aed2a6abf7158809cf4f3c"),
                       FromHex("3243f6a8885a308d313198a2e0370734")),
            "3925841d02dc09fbdc118597196a0b32");
  EXPECT_EQ(EncryptHex(Sequence(16), plain), "69c4e0d86a7b0430d8cdb78070b4c55a");
  EXPECT_EQ(EncryptHex(Sequence(24), plain), "dda97ca4864cdfe06eaf70a0ec0d7191");
  EXPECT_EQ(EncryptHex(Sequence(32), plain), "8ea2b7ca516745bfeafc49904b496089");
}

TEST_P(AesTest, EncryptsInPlace) {
  AesEncryptor aes;
  ASSERT_TRUE(aes.SetKey(Sequence(16).data(), 16));
  Bytes block = FromHex("00112233445566778899aabbccddeeff");
  aes.EncryptBlock(block.data(), block.data());
  EXPECT_EQ(ToHex(block), "69c4e0d86a7b0430d8cdb78070b4c55a");
}

TEST_P(AesTest, RejectsOtherKeySizes) {
  AesEncryptor aes;
  const Bytes key = Sequence(40);
  for (std::size_t size : {0u, 8u, 15u, 17u, 20u, 31u, 33u, 40u}) {
    EXPECT_FALSE(aes.SetKey(key.data(), size)) << size;
  }
  // A rejected key does not leave the earlier key in use.
  ASSERT_TRUE(aes.SetKey(key.data(), 16));
  const Bytes plain = FromHex("00112233445566778899aabbccddeeff");
  std::uint8_t before[16], after[16];
  aes.EncryptBlock(plain.data(), before);
  EXPECT_FALSE(aes.SetKey(key.data(), 17));
  aes.EncryptBlock(plain.data(), after);
  EXPECT_NE(ToHex(after, 16), ToHex(before, 16));
}

// Block i of the output is the data XOR E(start + i + 1), with the counter a 128-bit
// little-endian number; block counts around the eight-block stride of the AES-NI code.
TEST_P(AesTest, CounterModeFollowsItsDefinition) {
  const Bytes starts[] = {
      Bytes(16, 0),
      FromHex("fdffffffffffffff0000000000000000"),  // carries into the upper half
      FromHex("fefffffffffffffffeffffffffffffff"),  // carries across both halves
      Bytes(16, 0xff),                              // wraps to zero
  };
  for (std::size_t keySize : {16u, 24u, 32u}) {
    AesEncryptor aes;
    ASSERT_TRUE(aes.SetKey(Pattern(keySize, static_cast<std::uint32_t>(keySize)).data(), keySize));
    for (const Bytes& start : starts) {
      for (std::size_t blocks : {0u, 1u, 3u, 7u, 8u, 9u, 16u, 17u, 35u}) {
        const Bytes data = Pattern(blocks * 16, static_cast<std::uint32_t>(blocks));
        Bytes expected = data;
        Bytes ref = start;
        for (std::size_t b = 0; b < blocks; ++b) {
          for (int i = 0; i < 16 && ++ref[static_cast<std::size_t>(i)] == 0; ++i) {
          }
          std::uint8_t keystream[16];
          aes.EncryptBlock(ref.data(), keystream);
          for (int i = 0; i < 16; ++i) expected[b * 16 + static_cast<std::size_t>(i)] ^= keystream[i];
        }
        Bytes actual = data;
        Bytes counter = start;
        aes.XorCounterModeLe(counter.data(), actual.data(), blocks);
        ASSERT_EQ(ToHex(actual), ToHex(expected)) << keySize << " " << ToHex(start) << " " << blocks;
        ASSERT_EQ(ToHex(counter), ToHex(ref)) << keySize << " " << ToHex(start) << " " << blocks;
      }
    }
  }
}

// The combined pass of WinZip AES decryption is exactly SHA-1 compression of each 64-byte unit
// of the input, then counter mode over it; counters chosen to carry inside the run.
TEST_P(AesTest, HashThenCounterModeIsBothInTurn) {
  for (std::size_t keySize : {16u, 24u, 32u}) {
    AesEncryptor aes;
    ASSERT_TRUE(aes.SetKey(Pattern(keySize, static_cast<std::uint32_t>(keySize + 7)).data(), keySize));
    for (const Bytes& start : {Bytes(16, 0), FromHex("faffffffffffffff0000000000000000")}) {
      for (std::size_t units : {0u, 1u, 2u, 5u}) {
        const Bytes data = Pattern(units * 64, static_cast<std::uint32_t>(units + keySize));
        std::uint32_t expectedState[5] = {1, 2, 3, 4, 5};
        Sha1CompressPortable(expectedState, data.data(), units);
        Bytes expected = data;
        Bytes expectedCounter = start;
        aes.XorCounterModeLe(expectedCounter.data(), expected.data(), units * 4);

        std::uint32_t state[5] = {1, 2, 3, 4, 5};
        Bytes actual = data;
        Bytes counter = start;
        aes.HashThenXorCounterModeLe(state, counter.data(), actual.data(), units);
        ASSERT_EQ(ToHex(actual), ToHex(expected)) << keySize << " " << units;
        ASSERT_EQ(ToHex(counter), ToHex(expectedCounter)) << keySize << " " << units;
        for (int i = 0; i < 5; ++i) ASSERT_EQ(state[i], expectedState[i]) << keySize << " " << units;
      }
    }
  }
}

ORV_INSTANTIATE_CRYPTO_PATHS(AesTest);

TEST(AesPathsTest, PortableAndAesNiAgree) {
  if (!CpuHasAesNi()) GTEST_SKIP() << "no AES-NI on this processor";
  for (std::size_t keySize : {16u, 24u, 32u}) {
    for (std::uint32_t seed = 1; seed <= 20; ++seed) {
      AesEncryptor aes;
      ASSERT_TRUE(aes.SetKey(Pattern(keySize, seed).data(), keySize));
      const Bytes plain = Pattern(16 * 61, seed + 100);
      Bytes counter = Pattern(16, seed + 200);
      Bytes portable = plain, accelerated = plain;
      Bytes counterPortable = counter, counterAccelerated = counter;
      ForcePortableCrypto(true);
      aes.XorCounterModeLe(counterPortable.data(), portable.data(), 61);
      std::uint8_t blockPortable[16];
      aes.EncryptBlock(plain.data(), blockPortable);
      ForcePortableCrypto(false);
      aes.XorCounterModeLe(counterAccelerated.data(), accelerated.data(), 61);
      std::uint8_t blockAccelerated[16];
      aes.EncryptBlock(plain.data(), blockAccelerated);
      ASSERT_EQ(ToHex(accelerated), ToHex(portable)) << keySize << " " << seed;
      ASSERT_EQ(ToHex(counterAccelerated), ToHex(counterPortable));
      ASSERT_EQ(ToHex(blockAccelerated, 16), ToHex(blockPortable, 16));
    }
  }
}

}  // namespace
}  // namespace orv::crypto::test
