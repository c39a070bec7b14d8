// SHA-1 (FIPS 180-4). The portable compression keeps the message schedule in a 16-word ring
// and unrolls the 80 rounds with the role of the five working variables rotating, so no
// variables are shuffled between rounds.
#include "crypto/sha1.h"

#include <cstring>

#include "crypto/byte_order.h"
#include "crypto/cpu_features.h"
#include "crypto/sha1_compress.h"
#include "crypto/wipe.h"
#include "crypto/x86_accel.h"

namespace orv::crypto {
namespace {

inline std::uint32_t Choose(std::uint32_t b, std::uint32_t c, std::uint32_t d) {
  return d ^ (b & (c ^ d));
}
inline std::uint32_t Parity(std::uint32_t b, std::uint32_t c, std::uint32_t d) {
  return b ^ c ^ d;
}
inline std::uint32_t Majority(std::uint32_t b, std::uint32_t c, std::uint32_t d) {
  return (b & c) | (d & (b | c));
}

}  // namespace

// w[i & 15] for i >= 16 is the schedule word W[i], computed in place of W[i - 16].
#define ORV_SHA1_W(i) \
  (w[(i) & 15] = Rotl32(w[((i) + 13) & 15] ^ w[((i) + 8) & 15] ^ w[((i) + 2) & 15] ^ w[(i) & 15], 1))
#define ORV_SHA1_ROUND(a, b, c, d, e, f, k, wi)      \
  do {                                              \
    e += Rotl32(a, 5) + f(b, c, d) + (k) + (wi);    \
    b = Rotl32(b, 30);                              \
  } while (0)
#define ORV_SHA1_FIVE(i, f, k, W)                           \
  ORV_SHA1_ROUND(a, b, c, d, e, f, k, W((i) + 0));         \
  ORV_SHA1_ROUND(e, a, b, c, d, f, k, W((i) + 1));         \
  ORV_SHA1_ROUND(d, e, a, b, c, f, k, W((i) + 2));         \
  ORV_SHA1_ROUND(c, d, e, a, b, f, k, W((i) + 3));         \
  ORV_SHA1_ROUND(b, c, d, e, a, f, k, W((i) + 4))
#define ORV_SHA1_W0(i) w[i]

void Sha1CompressPortable(std::uint32_t state[5], const std::uint8_t* blocks,
                          std::size_t blockCount) {
  std::uint32_t w[16];
  for (; blockCount > 0; --blockCount, blocks += Sha1::kBlockSize) {
    for (int i = 0; i < 16; ++i) w[i] = LoadBe32(blocks + 4 * i);
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];

    ORV_SHA1_FIVE(0, Choose, 0x5A827999u, ORV_SHA1_W0);
    ORV_SHA1_FIVE(5, Choose, 0x5A827999u, ORV_SHA1_W0);
    ORV_SHA1_FIVE(10, Choose, 0x5A827999u, ORV_SHA1_W0);
    ORV_SHA1_ROUND(a, b, c, d, e, Choose, 0x5A827999u, w[15]);
    ORV_SHA1_ROUND(e, a, b, c, d, Choose, 0x5A827999u, ORV_SHA1_W(16));
    ORV_SHA1_ROUND(d, e, a, b, c, Choose, 0x5A827999u, ORV_SHA1_W(17));
    ORV_SHA1_ROUND(c, d, e, a, b, Choose, 0x5A827999u, ORV_SHA1_W(18));
    ORV_SHA1_ROUND(b, c, d, e, a, Choose, 0x5A827999u, ORV_SHA1_W(19));

    ORV_SHA1_FIVE(20, Parity, 0x6ED9EBA1u, ORV_SHA1_W);
    ORV_SHA1_FIVE(25, Parity, 0x6ED9EBA1u, ORV_SHA1_W);
    ORV_SHA1_FIVE(30, Parity, 0x6ED9EBA1u, ORV_SHA1_W);
    ORV_SHA1_FIVE(35, Parity, 0x6ED9EBA1u, ORV_SHA1_W);

    ORV_SHA1_FIVE(40, Majority, 0x8F1BBCDCu, ORV_SHA1_W);
    ORV_SHA1_FIVE(45, Majority, 0x8F1BBCDCu, ORV_SHA1_W);
    ORV_SHA1_FIVE(50, Majority, 0x8F1BBCDCu, ORV_SHA1_W);
    ORV_SHA1_FIVE(55, Majority, 0x8F1BBCDCu, ORV_SHA1_W);

    ORV_SHA1_FIVE(60, Parity, 0xCA62C1D6u, ORV_SHA1_W);
    ORV_SHA1_FIVE(65, Parity, 0xCA62C1D6u, ORV_SHA1_W);
    ORV_SHA1_FIVE(70, Parity, 0xCA62C1D6u, ORV_SHA1_W);
    ORV_SHA1_FIVE(75, Parity, 0xCA62C1D6u, ORV_SHA1_W);

    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
  }
  SecureWipe(w, sizeof w);
}

#undef ORV_SHA1_W
#undef ORV_SHA1_W0
#undef ORV_SHA1_ROUND
#undef ORV_SHA1_FIVE

void Sha1Compress(std::uint32_t state[5], const std::uint8_t* blocks, std::size_t blockCount) {
#if ORV_CRYPTO_X86
  if (UseShaNi()) {
    x86::ShaNiCompress(state, blocks, blockCount);
    return;
  }
#endif
  Sha1CompressPortable(state, blocks, blockCount);
}

Sha1::~Sha1() { WipeState(); }

void Sha1::WipeState() {
  SecureWipe(state_, sizeof state_);
  SecureWipe(buffer_, sizeof buffer_);
  length_ = 0;
  buffered_ = 0;
}

void Sha1::Reset() {
  std::memcpy(state_, kSha1InitialState, sizeof state_);
  length_ = 0;
  std::memset(buffer_, 0, sizeof buffer_);
  buffered_ = 0;
}

void Sha1::Update(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  length_ += size;
  if (buffered_ > 0) {
    const std::size_t take = size < kBlockSize - buffered_ ? size : kBlockSize - buffered_;
    std::memcpy(buffer_ + buffered_, data, take);
    buffered_ += take;
    data += take;
    size -= take;
    if (buffered_ < kBlockSize) return;
    Sha1Compress(state_, buffer_, 1);
    buffered_ = 0;
  }
  const std::size_t blocks = size / kBlockSize;
  if (blocks > 0) {
    Sha1Compress(state_, data, blocks);
    data += blocks * kBlockSize;
    size -= blocks * kBlockSize;
  }
  if (size > 0) {
    std::memcpy(buffer_, data, size);
    buffered_ = size;
  }
}

std::uint32_t* Sha1::ClaimBlocks(std::size_t blockCount) {
  if (buffered_ != 0) return nullptr;
  length_ += blockCount * kBlockSize;
  return state_;
}

void Sha1::Final(std::uint8_t digest[kDigestSize]) {
  // Padding: 0x80, zeros up to 56 bytes into a block, then the length in bits, big-endian.
  const std::uint64_t bitLength = length_ * 8;
  buffer_[buffered_++] = 0x80;
  if (buffered_ > kBlockSize - 8) {
    std::memset(buffer_ + buffered_, 0, kBlockSize - buffered_);
    Sha1Compress(state_, buffer_, 1);
    buffered_ = 0;
  }
  std::memset(buffer_ + buffered_, 0, kBlockSize - 8 - buffered_);
  StoreBe64(buffer_ + kBlockSize - 8, bitLength);
  Sha1Compress(state_, buffer_, 1);
  for (int i = 0; i < 5; ++i) StoreBe32(digest + 4 * i, state_[i]);
  WipeState();
}

void Sha1Digest(const std::uint8_t* data, std::size_t size, std::uint8_t digest[Sha1::kDigestSize]) {
  Sha1 sha;
  sha.Update(data, size);
  sha.Final(digest);
}

}  // namespace orv::crypto
