// AES-NI and SHA extension code paths. Each function carries its own target attribute, so the
// rest of the library is built for the baseline processor and these run only after the CPUID
// check. On 32-bit Windows the stack is only 4-byte aligned on entry; force_align_arg_pointer
// makes the entry points realign it before vector values are spilled.
#include <immintrin.h>

#include <cstring>

#include "crypto/byte_order.h"
#include "crypto/x86_accel.h"

#if defined(__i386__)
#define ORV_X86_ENTRY __attribute__((force_align_arg_pointer))
#else
#define ORV_X86_ENTRY
#endif
#define ORV_TARGET_AES __attribute__((target("aes,sse4.1")))
#define ORV_TARGET_SHA __attribute__((target("sha,sse4.1")))
#define ORV_TARGET_AES_SHA __attribute__((target("aes,sha,sse4.1")))
// Helpers are always inlined: a 32-bit build passes no vector values between real functions.
#define ORV_TARGET_AES_HELPER ORV_TARGET_AES __attribute__((always_inline))
#define ORV_TARGET_SHA_HELPER ORV_TARGET_SHA __attribute__((always_inline))
#define ORV_TARGET_SSE41_HELPER __attribute__((target("sse4.1"), always_inline))

namespace orv::crypto::x86 {
namespace {

// The key schedule's words are little-endian, so word 4r lands in the low lane: the register
// holds round key r byte for byte as the instructions expect it.
ORV_TARGET_AES_HELPER inline void LoadRoundKeys(const std::uint32_t* roundKeys, int rounds,
                                         __m128i keys[15]) {
  for (int r = 0; r <= rounds; ++r) {
    const std::uint32_t* k = roundKeys + 4 * r;
    keys[r] = _mm_set_epi32(static_cast<int>(k[3]), static_cast<int>(k[2]),
                            static_cast<int>(k[1]), static_cast<int>(k[0]));
  }
}

ORV_TARGET_AES_HELPER inline __m128i EncryptOne(__m128i block, const __m128i keys[15], int rounds) {
  block = _mm_xor_si128(block, keys[0]);
  for (int r = 1; r < rounds; ++r) block = _mm_aesenc_si128(block, keys[r]);
  return _mm_aesenclast_si128(block, keys[rounds]);
}

ORV_TARGET_SSE41_HELPER inline __m128i LoadBlock(const std::uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
ORV_TARGET_SSE41_HELPER inline void StoreBlock(std::uint8_t* p, __m128i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

// The 128-bit little-endian counter as two 64-bit halves.
struct Counter {
  std::uint64_t low;
  std::uint64_t high;

  ORV_TARGET_AES_HELPER __m128i Next() {
    if (++low == 0) ++high;
    return _mm_set_epi64x(static_cast<long long>(high), static_cast<long long>(low));
  }
};

}  // namespace

ORV_X86_ENTRY ORV_TARGET_AES void AesNiEncryptBlock(const std::uint32_t* roundKeys, int rounds,
                                                    const std::uint8_t in[16],
                                                    std::uint8_t out[16]) {
  __m128i keys[15] = {};
  LoadRoundKeys(roundKeys, rounds, keys);
  StoreBlock(out, EncryptOne(LoadBlock(in), keys, rounds));
}

// Eight independent blocks per pass keep the AES unit's pipeline full: one aesenc has a latency
// of several cycles but the unit accepts a new one every cycle.
ORV_X86_ENTRY ORV_TARGET_AES void AesNiXorCounterModeLe(const std::uint32_t* roundKeys,
                                                        int rounds, std::uint8_t counter[16],
                                                        std::uint8_t* data,
                                                        std::size_t blockCount) {
  __m128i keys[15] = {};
  LoadRoundKeys(roundKeys, rounds, keys);
  Counter ctr{LoadLe64(counter), LoadLe64(counter + 8)};

  constexpr std::size_t kLanes = 8;
  for (; blockCount >= kLanes; blockCount -= kLanes, data += kLanes * 16) {
    __m128i b[kLanes];
    for (std::size_t i = 0; i < kLanes; ++i) b[i] = _mm_xor_si128(ctr.Next(), keys[0]);
    for (int r = 1; r < rounds; ++r) {
      const __m128i key = keys[r];
      for (std::size_t i = 0; i < kLanes; ++i) b[i] = _mm_aesenc_si128(b[i], key);
    }
    for (std::size_t i = 0; i < kLanes; ++i) {
      b[i] = _mm_aesenclast_si128(b[i], keys[rounds]);
      StoreBlock(data + 16 * i, _mm_xor_si128(b[i], LoadBlock(data + 16 * i)));
    }
  }
  for (; blockCount > 0; --blockCount, data += 16) {
    StoreBlock(data, _mm_xor_si128(EncryptOne(ctr.Next(), keys, rounds), LoadBlock(data)));
  }

  StoreLe64(counter, ctr.low);
  StoreLe64(counter + 8, ctr.high);
}

// SHA-1 with the SHA extensions. The register abcd holds A in its top lane down to D in the
// lowest; the message words of a block are byte-swapped into the same order (W0 on top), and E
// sits in the top lane of its own register.
// sha1rnds4 runs four rounds; sha1nexte turns the A of four rounds before into the next E and
// adds it to the top message word; sha1msg1/sha1msg2 extend the message schedule four words at
// a time, with W[t] for t >= 16 built from the four preceding groups.
namespace {

// One compression of the block m0..m3 (W0..W15) into abcd and e.
ORV_TARGET_SHA_HELPER inline void ShaNiRounds(__m128i& abcd, __m128i& e, __m128i m0, __m128i m1,
                                               __m128i m2, __m128i m3) {
  const __m128i abcdSaved = abcd;
  const __m128i eSaved = e;
  __m128i e0 = e, e1;

  // Rounds 0-3.
  e0 = _mm_add_epi32(e0, m0);
  e1 = abcd;
  abcd = _mm_sha1rnds4_epu32(abcd, e0, 0);

// Four rounds on message group mk: eIn holds abcd from before the previous four rounds and
// becomes E + W; eOut saves abcd for the next group. f selects the round function.
#define ORV_SHA_ROUNDS(eIn, eOut, mk, f)     \
  eIn = _mm_sha1nexte_epu32(eIn, mk);        \
  eOut = abcd;                               \
  abcd = _mm_sha1rnds4_epu32(abcd, eIn, f)
// Group k + 4 = msg2(msg1(G[k], G[k+1]) ^ G[k+2], G[k+3]), built in G[k]'s register in three
// steps, each taken right after the rounds on the group it needs.
#define ORV_SHA_SCHEDULE_1(ma, mb) ma = _mm_sha1msg1_epu32(ma, mb)
#define ORV_SHA_SCHEDULE_2(ma, mc) ma = _mm_xor_si128(ma, mc)
#define ORV_SHA_SCHEDULE_3(ma, md) ma = _mm_sha1msg2_epu32(ma, md)

  // Rounds 4-7 (group 1).
  ORV_SHA_ROUNDS(e1, e0, m1, 0);
  ORV_SHA_SCHEDULE_1(m0, m1);
  // Rounds 8-11 (group 2).
  ORV_SHA_ROUNDS(e0, e1, m2, 0);
  ORV_SHA_SCHEDULE_1(m1, m2);
  ORV_SHA_SCHEDULE_2(m0, m2);
  // Rounds 12-15 (group 3); group 4 completes in m0.
  ORV_SHA_ROUNDS(e1, e0, m3, 0);
  ORV_SHA_SCHEDULE_3(m0, m3);
  ORV_SHA_SCHEDULE_1(m2, m3);
  ORV_SHA_SCHEDULE_2(m1, m3);

// Steady state, rounds on group j in mk: group j + 1 completes in mNext, group j + 2 takes
// its XOR in mLater and group j + 3 starts in mLast (the register of group j - 1).
#define ORV_SHA_STEP(eIn, eOut, mk, mNext, mLater, mLast, f) \
  ORV_SHA_ROUNDS(eIn, eOut, mk, f);                         \
  ORV_SHA_SCHEDULE_3(mNext, mk);                            \
  ORV_SHA_SCHEDULE_1(mLast, mk);                            \
  ORV_SHA_SCHEDULE_2(mLater, mk)

  ORV_SHA_STEP(e0, e1, m0, m1, m2, m3, 0);  // rounds 16-19, group 5 in m1
  ORV_SHA_STEP(e1, e0, m1, m2, m3, m0, 1);  // rounds 20-23
  ORV_SHA_STEP(e0, e1, m2, m3, m0, m1, 1);  // rounds 24-27
  ORV_SHA_STEP(e1, e0, m3, m0, m1, m2, 1);  // rounds 28-31
  ORV_SHA_STEP(e0, e1, m0, m1, m2, m3, 1);  // rounds 32-35
  ORV_SHA_STEP(e1, e0, m1, m2, m3, m0, 1);  // rounds 36-39
  ORV_SHA_STEP(e0, e1, m2, m3, m0, m1, 2);  // rounds 40-43
  ORV_SHA_STEP(e1, e0, m3, m0, m1, m2, 2);  // rounds 44-47
  ORV_SHA_STEP(e0, e1, m0, m1, m2, m3, 2);  // rounds 48-51
  ORV_SHA_STEP(e1, e0, m1, m2, m3, m0, 2);  // rounds 52-55
  ORV_SHA_STEP(e0, e1, m2, m3, m0, m1, 2);  // rounds 56-59
  ORV_SHA_STEP(e1, e0, m3, m0, m1, m2, 3);  // rounds 60-63, group 16 completes in m0
  // Rounds 64-79: the last three schedule groups complete on the way.
  ORV_SHA_ROUNDS(e0, e1, m0, 3);  // rounds 64-67 (group 16), group 17 in m1
  ORV_SHA_SCHEDULE_3(m1, m0);
  ORV_SHA_SCHEDULE_1(m3, m0);
  ORV_SHA_SCHEDULE_2(m2, m0);
  ORV_SHA_ROUNDS(e1, e0, m1, 3);  // rounds 68-71, group 18 in m2
  ORV_SHA_SCHEDULE_3(m2, m1);
  ORV_SHA_SCHEDULE_2(m3, m1);
  ORV_SHA_ROUNDS(e0, e1, m2, 3);  // rounds 72-75, group 19 in m3
  ORV_SHA_SCHEDULE_3(m3, m2);
  ORV_SHA_ROUNDS(e1, e0, m3, 3);  // rounds 76-79
#undef ORV_SHA_STEP
#undef ORV_SHA_SCHEDULE_1
#undef ORV_SHA_SCHEDULE_2
#undef ORV_SHA_SCHEDULE_3
#undef ORV_SHA_ROUNDS
  e = _mm_sha1nexte_epu32(e0, eSaved);
  abcd = _mm_add_epi32(abcd, abcdSaved);
}

ORV_TARGET_SHA_HELPER inline void LoadShaState(const std::uint32_t state[5], __m128i& abcd, __m128i& e) {
  abcd = _mm_set_epi32(static_cast<int>(state[0]), static_cast<int>(state[1]),
                       static_cast<int>(state[2]), static_cast<int>(state[3]));
  e = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);
}

ORV_TARGET_SHA_HELPER inline void StoreShaState(__m128i abcd, __m128i e, std::uint32_t state[5]) {
  state[0] = static_cast<std::uint32_t>(_mm_extract_epi32(abcd, 3));
  state[1] = static_cast<std::uint32_t>(_mm_extract_epi32(abcd, 2));
  state[2] = static_cast<std::uint32_t>(_mm_extract_epi32(abcd, 1));
  state[3] = static_cast<std::uint32_t>(_mm_extract_epi32(abcd, 0));
  state[4] = static_cast<std::uint32_t>(_mm_extract_epi32(e, 3));
}

// The chain of PBKDF2 iterations of one output block, in registers: u is the last U as a SHA-1
// state, total the XOR of all U so far.
struct Pbkdf2Lane {
  __m128i uAbcd, uE, totalAbcd, totalE;
};

// One HMAC over a 20-byte message given as a state (abcd, e): the message block is the state's
// five words, the 0x80 end marker and the bit length of key block plus message.
ORV_TARGET_SHA_HELPER inline void ShaNiDigestBlock(__m128i& abcd, __m128i& e, __m128i msgAbcd, __m128i msgE,
                                                   __m128i tail, __m128i length) {
  // W4 = E in the top lane, W5 = 0x80000000 below it, W6 = W7 = 0.
  const __m128i m1 = _mm_blend_epi16(tail, msgE, 0xC0);
  ShaNiRounds(abcd, e, msgAbcd, m1, _mm_setzero_si128(), length);
}

template <int kLanes>
ORV_TARGET_SHA_HELPER inline void ShaNiPbkdf2Lanes(const std::uint32_t innerKey[5],
                                                   const std::uint32_t outerKey[5],
                                                   std::uint32_t iterations,
                                                   std::uint32_t (*total)[5]) {
  __m128i innerAbcd, innerE, outerAbcd, outerE;
  LoadShaState(innerKey, innerAbcd, innerE);
  LoadShaState(outerKey, outerAbcd, outerE);
  const __m128i tail = _mm_set_epi32(0, static_cast<int>(0x80000000u), 0, 0);
  const __m128i length = _mm_set_epi32(0, 0, 0, (64 + 20) * 8);  // W15: key block + digest, in bits

  Pbkdf2Lane lane[kLanes];
  for (int k = 0; k < kLanes; ++k) {
    LoadShaState(total[k], lane[k].uAbcd, lane[k].uE);
    lane[k].totalAbcd = lane[k].uAbcd;
    lane[k].totalE = lane[k].uE;
  }
  for (std::uint32_t i = 1; i < iterations; ++i) {
    __m128i abcd[kLanes], e[kLanes];
    for (int k = 0; k < kLanes; ++k) {
      abcd[k] = innerAbcd;
      e[k] = innerE;
      ShaNiDigestBlock(abcd[k], e[k], lane[k].uAbcd, lane[k].uE, tail, length);
    }
    for (int k = 0; k < kLanes; ++k) {
      lane[k].uAbcd = outerAbcd;
      lane[k].uE = outerE;
      ShaNiDigestBlock(lane[k].uAbcd, lane[k].uE, abcd[k], e[k], tail, length);
      lane[k].totalAbcd = _mm_xor_si128(lane[k].totalAbcd, lane[k].uAbcd);
      lane[k].totalE = _mm_xor_si128(lane[k].totalE, lane[k].uE);
    }
  }
  for (int k = 0; k < kLanes; ++k) StoreShaState(lane[k].totalAbcd, lane[k].totalE, total[k]);
}

}  // namespace

ORV_X86_ENTRY ORV_TARGET_SHA void ShaNiCompress(std::uint32_t state[5], const std::uint8_t* blocks,
                                                std::size_t blockCount) {
  const __m128i byteSwap = _mm_set_epi64x(0x0001020304050607LL, 0x08090A0B0C0D0E0FLL);
  __m128i abcd, e;
  LoadShaState(state, abcd, e);
  for (; blockCount > 0; --blockCount, blocks += 64) {
    ShaNiRounds(abcd, e, _mm_shuffle_epi8(LoadBlock(blocks), byteSwap),
                _mm_shuffle_epi8(LoadBlock(blocks + 16), byteSwap),
                _mm_shuffle_epi8(LoadBlock(blocks + 32), byteSwap),
                _mm_shuffle_epi8(LoadBlock(blocks + 48), byteSwap));
  }
  StoreShaState(abcd, e, state);
}

// Two chains in flight hide most of the latency of sha1rnds4, which one chain waits out.
ORV_X86_ENTRY ORV_TARGET_SHA void ShaNiPbkdf2Iterations(const std::uint32_t innerKey[5],
                                                        const std::uint32_t outerKey[5],
                                                        std::uint32_t iterations,
                                                        std::uint32_t (*total)[5],
                                                        std::size_t blockCount) {
  for (; blockCount >= 2; blockCount -= 2, total += 2) {
    ShaNiPbkdf2Lanes<2>(innerKey, outerKey, iterations, total);
  }
  if (blockCount == 1) ShaNiPbkdf2Lanes<1>(innerKey, outerKey, iterations, total);
}

// WinZip AES decryption in one pass over each 64-byte unit: the ciphertext goes into the HMAC's
// SHA-1 and is XORed with four blocks of keystream while it sits in registers. A SHA-1
// compression waits on its own latency most of the time; the independent AES rounds fill the
// idle cycles, so the pair costs little more than the hash alone.
ORV_X86_ENTRY ORV_TARGET_AES_SHA void ShaNiAesNiHashThenXorCounterModeLe(
    std::uint32_t shaState[5], const std::uint32_t* roundKeys, int rounds,
    std::uint8_t counter[16], std::uint8_t* data, std::size_t unitCount) {
  const __m128i byteSwap = _mm_set_epi64x(0x0001020304050607LL, 0x08090A0B0C0D0E0FLL);
  __m128i keys[15] = {};
  LoadRoundKeys(roundKeys, rounds, keys);
  Counter ctr{LoadLe64(counter), LoadLe64(counter + 8)};
  __m128i abcd, e;
  LoadShaState(shaState, abcd, e);

  for (; unitCount > 0; --unitCount, data += 64) {
    __m128i c[4], k[4];
    for (int i = 0; i < 4; ++i) {
      c[i] = LoadBlock(data + 16 * i);
      k[i] = _mm_xor_si128(ctr.Next(), keys[0]);
    }
    for (int r = 1; r < rounds; ++r) {
      for (int i = 0; i < 4; ++i) k[i] = _mm_aesenc_si128(k[i], keys[r]);
    }
    ShaNiRounds(abcd, e, _mm_shuffle_epi8(c[0], byteSwap), _mm_shuffle_epi8(c[1], byteSwap),
                _mm_shuffle_epi8(c[2], byteSwap), _mm_shuffle_epi8(c[3], byteSwap));
    for (int i = 0; i < 4; ++i) {
      StoreBlock(data + 16 * i, _mm_xor_si128(c[i], _mm_aesenclast_si128(k[i], keys[rounds])));
    }
  }

  StoreShaState(abcd, e, shaState);
  StoreLe64(counter, ctr.low);
  StoreLe64(counter + 8, ctr.high);
}

}  // namespace orv::crypto::x86
