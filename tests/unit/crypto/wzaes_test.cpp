// WinZip AES: known answers (computed with an independent PBKDF2/HMAC and OpenSSL's AES on the
// little-endian counter blocks), any split of the stream, round trips, and what a wrong
// password or a changed bit does to the verifier and the authentication code.
#include <gtest/gtest.h>

#include <algorithm>

#include "crypto/wzaes.h"
#include "crypto_test_support.h"

namespace orv::crypto::test {
namespace {

struct KnownAnswer {
  unsigned strength;
  const char* password;
  const char* salt;
  const char* verifier;
  const char* ciphertext;
  const char* mac;
};

// The plaintext of every case is the 45 bytes (7 i + 3) mod 256: two whole blocks and a part.
const KnownAnswer kKnownAnswers[] = {
    {1, "orvane", "0102030405060708", "d323",
     "29b1c6bb82093eea89ba270d35e724c19358d528366832e323e828fa16c5f1fccef03364d305c20aa1c7190565",
     "ef240e00907d3bd53fe9"},
    {2, "AES-192 pass", "a0a1a2a3a4a5a6a7a8a9aaab", "46dd",
     "adecc193daeadf62cab77b7d44f82fa6b6dff9cccebc79574d509623b93f683a3f9a952df10047216979f5f1af",
     "82aca56247a579f9ca87"},
    {3, "Tessaly-256", "101112131415161718191a1b1c1d1e1f", "b9d2",
     "0402bee6f43ab2025cfbd313c9bd4a2736b19edbcb964558a6baa688578a356a80febd9f486e14aa7bc2986f1a",
     "e3e53e27984d4ecdebf0"},
};

Bytes KnownPlaintext() {
  Bytes out(45);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(i * 7 + 3);
  return out;
}

std::string InitHex(WzAesCipher& cipher, unsigned strength, const std::string& password,
                    const Bytes& salt) {
  std::uint8_t verifier[kWzAesVerifierSize];
  EXPECT_TRUE(cipher.Init(strength, reinterpret_cast<const std::uint8_t*>(password.data()),
                          password.size(), salt.data(), verifier));
  return ToHex(verifier, sizeof verifier);
}

std::string MacHex(WzAesCipher& cipher) {
  std::uint8_t mac[kWzAesMacSize];
  cipher.FinalMac(mac);
  return ToHex(mac, sizeof mac);
}

TEST(WzAesSizesTest, StrengthTable) {
  EXPECT_EQ(WzAesKeySize(1), 16u);
  EXPECT_EQ(WzAesKeySize(2), 24u);
  EXPECT_EQ(WzAesKeySize(3), 32u);
  EXPECT_EQ(WzAesSaltSize(1), 8u);
  EXPECT_EQ(WzAesSaltSize(2), 12u);
  EXPECT_EQ(WzAesSaltSize(3), 16u);
  for (unsigned strength : {0u, 4u, 255u}) {
    EXPECT_EQ(WzAesKeySize(strength), 0u);
    EXPECT_EQ(WzAesSaltSize(strength), 0u);
    WzAesCipher cipher;
    std::uint8_t verifier[kWzAesVerifierSize] = {0x5A, 0x5A};
    EXPECT_FALSE(cipher.Init(strength, reinterpret_cast<const std::uint8_t*>("pw"), 2,
                             Bytes(16, 1).data(), verifier));
    EXPECT_EQ(verifier[0], 0x5A);
  }
}

using WzAesTest = CryptoPathTest;

TEST_P(WzAesTest, KnownAnswers) {
  for (const KnownAnswer& k : kKnownAnswers) {
    SCOPED_TRACE(k.strength);
    WzAesCipher encryptor;
    EXPECT_EQ(InitHex(encryptor, k.strength, k.password, FromHex(k.salt)), k.verifier);
    Bytes data = KnownPlaintext();
    encryptor.Encrypt(data.data(), data.size());
    EXPECT_EQ(ToHex(data), k.ciphertext);
    EXPECT_EQ(MacHex(encryptor), k.mac);

    WzAesCipher decryptor;
    EXPECT_EQ(InitHex(decryptor, k.strength, k.password, FromHex(k.salt)), k.verifier);
    decryptor.Decrypt(data.data(), data.size());
    EXPECT_EQ(ToHex(data), ToHex(KnownPlaintext()));
    EXPECT_TRUE(decryptor.CheckMac(FromHex(k.mac).data()));
  }
}

TEST_P(WzAesTest, InitAgainRestartsTheStream) {
  const KnownAnswer& k = kKnownAnswers[0];
  WzAesCipher cipher;
  InitHex(cipher, k.strength, k.password, FromHex(k.salt));
  Bytes junk(21, 0x77);
  cipher.Encrypt(junk.data(), junk.size());  // leaves part of a keystream block unused
  InitHex(cipher, k.strength, k.password, FromHex(k.salt));
  Bytes data = KnownPlaintext();
  cipher.Encrypt(data.data(), data.size());
  EXPECT_EQ(ToHex(data), k.ciphertext);
  EXPECT_EQ(MacHex(cipher), k.mac);
}

// Fixed, already derived keys, so that thousands of streams cost no key derivation.
void StartStream(WzAesCipher& cipher, std::size_t keySize) {
  const Bytes keys = Pattern(2 * keySize, static_cast<std::uint32_t>(keySize));
  ASSERT_TRUE(cipher.SetKeys(keys.data(), keys.data() + keySize, keySize));
}

struct StreamResult {
  Bytes data;
  std::string mac;
};

// Runs the whole buffer through Encrypt or Decrypt in the pieces that cut() returns.
template <typename Cut>
StreamResult RunStream(std::size_t keySize, bool encrypt, const Bytes& input, Cut cut) {
  WzAesCipher cipher;
  StartStream(cipher, keySize);
  StreamResult result{input, {}};
  std::size_t pos = 0;
  for (int piece = 0; pos < input.size(); ++piece) {
    const std::size_t take = std::min(cut(piece, pos), input.size() - pos);
    if (encrypt) {
      cipher.Encrypt(result.data.data() + pos, take);
    } else {
      cipher.Decrypt(result.data.data() + pos, take);
    }
    pos += take;
  }
  result.mac = MacHex(cipher);
  return result;
}

TEST_P(WzAesTest, EverySplitInThreeGivesTheOneShotResult) {
  const Bytes input = Pattern(256, 3);
  for (std::size_t keySize : {16u, 32u}) {
    for (bool encrypt : {true, false}) {
      const StreamResult whole =
          RunStream(keySize, encrypt, input, [&](int, std::size_t) { return input.size(); });
      for (std::size_t i = 0; i <= input.size(); ++i) {
        for (std::size_t j = 0; i + j <= input.size(); ++j) {
          const StreamResult split = RunStream(keySize, encrypt, input, [&](int piece, std::size_t) {
            return piece == 0 ? i : piece == 1 ? j : input.size();
          });
          ASSERT_EQ(ToHex(split.data), ToHex(whole.data)) << keySize << encrypt << i << "+" << j;
          ASSERT_EQ(split.mac, whole.mac) << keySize << encrypt << i << "+" << j;
        }
      }
    }
  }
}

TEST_P(WzAesTest, AlternatingChunkSizesGiveTheOneShotResult) {
  const Bytes input = Pattern(1000, 4);
  for (bool encrypt : {true, false}) {
    const StreamResult whole =
        RunStream(24, encrypt, input, [&](int, std::size_t) { return input.size(); });
    for (std::size_t a = 1; a <= 40; ++a) {
      for (std::size_t b = 1; b <= 40; ++b) {
        const StreamResult split = RunStream(
            24, encrypt, input, [&](int piece, std::size_t) { return piece % 2 == 0 ? a : b; });
        ASSERT_EQ(ToHex(split.data), ToHex(whole.data)) << encrypt << " " << a << "/" << b;
        ASSERT_EQ(split.mac, whole.mac) << encrypt << " " << a << "/" << b;
      }
    }
  }
}

TEST_P(WzAesTest, RoundTripOfALargeBuffer) {
  const Bytes plain = Pattern(300000, 5);
  const Bytes salt = Pattern(16, 6);
  for (unsigned strength : {1u, 2u, 3u}) {
    WzAesCipher encryptor, decryptor;
    const std::string verifier = InitHex(encryptor, strength, "round trip", salt);
    Bytes data = plain;
    encryptor.Encrypt(data.data(), 100000);
    encryptor.Encrypt(data.data() + 100000, plain.size() - 100000);
    std::uint8_t mac[kWzAesMacSize];
    encryptor.FinalMac(mac);
    ASSERT_NE(ToHex(data), ToHex(plain));

    EXPECT_EQ(InitHex(decryptor, strength, "round trip", salt), verifier);
    for (std::size_t pos = 0; pos < data.size(); pos += 4099) {
      decryptor.Decrypt(data.data() + pos, std::min<std::size_t>(4099, data.size() - pos));
    }
    EXPECT_TRUE(decryptor.CheckMac(mac)) << strength;
    EXPECT_TRUE(data == plain) << strength;
  }
}

class WzAesTamperTest : public CryptoPathTest {
 protected:
  void SetUp() override {
    CryptoPathTest::SetUp();
    if (IsSkipped()) return;
    salt_ = FromHex("0102030405060708");
    plain_ = Pattern(500, 7);
    WzAesCipher encryptor;
    verifier_ = InitHex(encryptor, 1, "right password", salt_);
    ciphertext_ = plain_;
    encryptor.Encrypt(ciphertext_.data(), ciphertext_.size());
    encryptor.FinalMac(mac_);
  }

  // Decrypts data under password and reports whether the code matched stored.
  bool Authenticates(const std::string& password, Bytes data, const std::uint8_t* stored) {
    WzAesCipher decryptor;
    InitHex(decryptor, 1, password, salt_);
    decryptor.Decrypt(data.data(), data.size());
    return decryptor.CheckMac(stored);
  }

  Bytes salt_, plain_, ciphertext_;
  std::string verifier_;
  std::uint8_t mac_[kWzAesMacSize] = {};
};

TEST_P(WzAesTamperTest, WrongPasswordChangesVerifierAndFailsTheCode) {
  WzAesCipher other;
  EXPECT_NE(InitHex(other, 1, "wrong password", salt_), verifier_);
  EXPECT_NE(InitHex(other, 1, "right passwore", salt_), verifier_);
  EXPECT_TRUE(Authenticates("right password", ciphertext_, mac_));
  EXPECT_FALSE(Authenticates("wrong password", ciphertext_, mac_));
}

TEST_P(WzAesTamperTest, AnyFlippedBitFailsTheCode) {
  for (std::size_t pos : {std::size_t{0}, std::size_t{15}, std::size_t{16}, std::size_t{250},
                          ciphertext_.size() - 1}) {
    for (int bit : {0, 7}) {
      Bytes tampered = ciphertext_;
      tampered[pos] ^= static_cast<std::uint8_t>(1 << bit);
      EXPECT_FALSE(Authenticates("right password", tampered, mac_)) << pos << ":" << bit;
    }
  }
  for (std::size_t i = 0; i < kWzAesMacSize; ++i) {
    std::uint8_t mac[kWzAesMacSize];
    std::copy(mac_, mac_ + kWzAesMacSize, mac);
    mac[i] ^= 0x10;
    EXPECT_FALSE(Authenticates("right password", ciphertext_, mac)) << i;
  }
  // Dropping the last byte changes the code as well.
  Bytes shorter(ciphertext_.begin(), ciphertext_.end() - 1);
  EXPECT_FALSE(Authenticates("right password", shorter, mac_));
}

ORV_INSTANTIATE_CRYPTO_PATHS(WzAesTest);
ORV_INSTANTIATE_CRYPTO_PATHS(WzAesTamperTest);

}  // namespace
}  // namespace orv::crypto::test
