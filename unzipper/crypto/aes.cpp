// AES encryption (FIPS 197). The portable path is the classic table form: the state is four
// little-endian column words, and each round is sixteen lookups in four 1 KiB tables that
// combine SubBytes, ShiftRows and MixColumns. The tables are computed at compile time from the
// field arithmetic, so no hand-typed S-box can carry a typo. Table lookups depend on key and
// data, so this path is not free of cache-timing leaks; AES-NI is used whenever present.
#include "crypto/aes.h"

#include <cstring>

#include "crypto/byte_order.h"
#include "crypto/cpu_features.h"
#include "crypto/sha1.h"
#include "crypto/sha1_compress.h"
#include "crypto/wipe.h"
#include "crypto/x86_accel.h"

namespace orv::crypto {
namespace {

constexpr std::uint8_t GfDouble(std::uint8_t x) {
  return static_cast<std::uint8_t>((x << 1) ^ ((x & 0x80) != 0 ? 0x1B : 0x00));
}

constexpr std::uint8_t GfMultiply(std::uint8_t a, std::uint8_t b) {
  std::uint8_t product = 0;
  while (b != 0) {
    if ((b & 1) != 0) product ^= a;
    a = GfDouble(a);
    b = static_cast<std::uint8_t>(b >> 1);
  }
  return product;
}

constexpr std::uint8_t RotateByte(std::uint8_t x, int n) {
  return static_cast<std::uint8_t>((x << n) | (x >> (8 - n)));
}

struct Tables {
  std::uint8_t sbox[256];
  std::uint32_t te[4][256];  // te[k] is te[0] rotated left by 8k bits
};

constexpr Tables MakeTables() {
  Tables t{};
  for (int x = 0; x < 256; ++x) {
    // Multiplicative inverse as x^254 (0 maps to 0), then the affine transform.
    std::uint8_t inverse = 1;
    std::uint8_t power = static_cast<std::uint8_t>(x);
    for (int e = 254; e != 0; e >>= 1) {
      if ((e & 1) != 0) inverse = GfMultiply(inverse, power);
      power = GfMultiply(power, power);
    }
    if (x == 0) inverse = 0;
    const std::uint8_t s = static_cast<std::uint8_t>(inverse ^ RotateByte(inverse, 1) ^
                                                     RotateByte(inverse, 2) ^
                                                     RotateByte(inverse, 3) ^
                                                     RotateByte(inverse, 4) ^ 0x63);
    t.sbox[x] = s;
    // One MixColumns column for S(x) in row 0: (2s, s, s, 3s), row 0 in the low byte.
    const std::uint32_t s2 = GfDouble(s);
    const std::uint32_t s3 = s2 ^ s;
    const std::uint32_t word = s2 | std::uint32_t{s} << 8 | std::uint32_t{s} << 16 | s3 << 24;
    t.te[0][x] = word;
    t.te[1][x] = (word << 8) | (word >> 24);
    t.te[2][x] = (word << 16) | (word >> 16);
    t.te[3][x] = (word << 24) | (word >> 8);
  }
  return t;
}

constexpr Tables kTables = MakeTables();

inline std::uint32_t SubWord(std::uint32_t w) {
  return std::uint32_t{kTables.sbox[w & 0xFF]} | std::uint32_t{kTables.sbox[(w >> 8) & 0xFF]} << 8 |
         std::uint32_t{kTables.sbox[(w >> 16) & 0xFF]} << 16 |
         std::uint32_t{kTables.sbox[w >> 24]} << 24;
}

// Column c of the next state takes row r from column c + r (ShiftRows).
inline std::uint32_t RoundColumn(std::uint32_t a, std::uint32_t b, std::uint32_t c,
                                 std::uint32_t d, std::uint32_t key) {
  return kTables.te[0][a & 0xFF] ^ kTables.te[1][(b >> 8) & 0xFF] ^
         kTables.te[2][(c >> 16) & 0xFF] ^ kTables.te[3][d >> 24] ^ key;
}

inline std::uint32_t LastColumn(std::uint32_t a, std::uint32_t b, std::uint32_t c,
                                std::uint32_t d, std::uint32_t key) {
  return (std::uint32_t{kTables.sbox[a & 0xFF]} | std::uint32_t{kTables.sbox[(b >> 8) & 0xFF]} << 8 |
          std::uint32_t{kTables.sbox[(c >> 16) & 0xFF]} << 16 |
          std::uint32_t{kTables.sbox[d >> 24]} << 24) ^
         key;
}

void EncryptPortable(const std::uint32_t* rk, int rounds, const std::uint8_t in[16],
                     std::uint8_t out[16]) {
  std::uint32_t s0 = LoadLe32(in) ^ rk[0];
  std::uint32_t s1 = LoadLe32(in + 4) ^ rk[1];
  std::uint32_t s2 = LoadLe32(in + 8) ^ rk[2];
  std::uint32_t s3 = LoadLe32(in + 12) ^ rk[3];
  for (int round = 1; round < rounds; ++round) {
    rk += 4;
    const std::uint32_t t0 = RoundColumn(s0, s1, s2, s3, rk[0]);
    const std::uint32_t t1 = RoundColumn(s1, s2, s3, s0, rk[1]);
    const std::uint32_t t2 = RoundColumn(s2, s3, s0, s1, rk[2]);
    const std::uint32_t t3 = RoundColumn(s3, s0, s1, s2, rk[3]);
    s0 = t0;
    s1 = t1;
    s2 = t2;
    s3 = t3;
  }
  rk += 4;
  StoreLe32(out, LastColumn(s0, s1, s2, s3, rk[0]));
  StoreLe32(out + 4, LastColumn(s1, s2, s3, s0, rk[1]));
  StoreLe32(out + 8, LastColumn(s2, s3, s0, s1, rk[2]));
  StoreLe32(out + 12, LastColumn(s3, s0, s1, s2, rk[3]));
}

// Adds 1 to a 128-bit little-endian counter.
inline void IncrementLe(std::uint8_t counter[16]) {
  for (int i = 0; i < 16; ++i) {
    if (++counter[i] != 0) break;
  }
}

}  // namespace

AesEncryptor::~AesEncryptor() { Wipe(); }

bool AesEncryptor::SetKey(const std::uint8_t* key, std::size_t keySize) {
  if (keySize != 16 && keySize != 24 && keySize != 32) {
    Wipe();
    return false;
  }
  const int keyWords = static_cast<int>(keySize / 4);
  rounds_ = keyWords + 6;
  const int totalWords = 4 * (rounds_ + 1);
  for (int i = 0; i < keyWords; ++i) roundKeys_[i] = LoadLe32(key + 4 * i);
  std::uint8_t rcon = 1;
  for (int i = keyWords; i < totalWords; ++i) {
    std::uint32_t temp = roundKeys_[i - 1];
    if (i % keyWords == 0) {
      // RotWord moves byte 1 to byte 0: a right rotation of a little-endian word.
      temp = SubWord((temp >> 8) | (temp << 24)) ^ rcon;
      rcon = GfDouble(rcon);
    } else if (keyWords > 6 && i % keyWords == 4) {
      temp = SubWord(temp);
    }
    roundKeys_[i] = roundKeys_[i - keyWords] ^ temp;
  }
  for (int i = totalWords; i < 60; ++i) roundKeys_[i] = 0;
  return true;
}

void AesEncryptor::EncryptBlock(const std::uint8_t in[kBlockSize],
                                std::uint8_t out[kBlockSize]) const {
#if ORV_CRYPTO_X86
  if (UseAesNi()) {
    x86::AesNiEncryptBlock(roundKeys_, rounds_, in, out);
    return;
  }
#endif
  EncryptPortable(roundKeys_, rounds_, in, out);
}

void AesEncryptor::XorCounterModeLe(std::uint8_t counter[kBlockSize], std::uint8_t* data,
                                    std::size_t blockCount) const {
#if ORV_CRYPTO_X86
  if (UseAesNi()) {
    x86::AesNiXorCounterModeLe(roundKeys_, rounds_, counter, data, blockCount);
    return;
  }
#endif
  std::uint8_t keystream[kBlockSize];
  for (; blockCount > 0; --blockCount, data += kBlockSize) {
    IncrementLe(counter);
    EncryptPortable(roundKeys_, rounds_, counter, keystream);
    for (std::size_t i = 0; i < kBlockSize; i += 4) {
      StoreLe32(data + i, LoadLe32(data + i) ^ LoadLe32(keystream + i));
    }
  }
  SecureWipe(keystream, sizeof keystream);
}

void AesEncryptor::HashThenXorCounterModeLe(std::uint32_t shaState[5],
                                            std::uint8_t counter[kBlockSize], std::uint8_t* data,
                                            std::size_t unitCount) const {
#if ORV_CRYPTO_X86
  if (UseAesNi() && UseShaNi()) {
    x86::ShaNiAesNiHashThenXorCounterModeLe(shaState, roundKeys_, rounds_, counter, data, unitCount);
    return;
  }
#endif
  constexpr std::size_t kUnit = Sha1::kBlockSize;
  for (; unitCount > 0; --unitCount, data += kUnit) {
    Sha1Compress(shaState, data, 1);
    XorCounterModeLe(counter, data, kUnit / kBlockSize);
  }
}

void AesEncryptor::Wipe() {
  SecureWipe(roundKeys_, sizeof roundKeys_);
  rounds_ = 0;
}

}  // namespace orv::crypto
