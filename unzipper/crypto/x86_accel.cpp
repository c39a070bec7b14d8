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
// Helpers are always inlined: a 32-bit build passes no vector values between real functions.
#define ORV_TARGET_AES_HELPER ORV_TARGET_AES __attribute__((always_inline))
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
// lowest; the message words of a block are byte-swapped into the same order (W0 on top).
// sha1rnds4 runs four rounds; sha1nexte turns the A of four rounds before into the next E and
// adds it to the top message word; sha1msg1/sha1msg2 extend the message schedule four words at
// a time, with W[t] for t >= 16 built from the four preceding groups.
ORV_X86_ENTRY ORV_TARGET_SHA void ShaNiCompress(std::uint32_t state[5], const std::uint8_t* blocks,
                                                std::size_t blockCount) {
  const __m128i byteSwap = _mm_set_epi64x(0x0001020304050607LL, 0x08090A0B0C0D0E0FLL);
  __m128i abcd = _mm_set_epi32(static_cast<int>(state[0]), static_cast<int>(state[1]),
                               static_cast<int>(state[2]), static_cast<int>(state[3]));
  __m128i e0 = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);

  for (; blockCount > 0; --blockCount, blocks += 64) {
    const __m128i abcdSaved = abcd;
    const __m128i eSaved = e0;
    __m128i m0 = _mm_shuffle_epi8(LoadBlock(blocks), byteSwap);
    __m128i m1 = _mm_shuffle_epi8(LoadBlock(blocks + 16), byteSwap);
    __m128i m2 = _mm_shuffle_epi8(LoadBlock(blocks + 32), byteSwap);
    __m128i m3 = _mm_shuffle_epi8(LoadBlock(blocks + 48), byteSwap);
    __m128i e1;

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
    e0 = _mm_sha1nexte_epu32(e0, eSaved);
    abcd = _mm_add_epi32(abcd, abcdSaved);
  }

  state[0] = static_cast<std::uint32_t>(_mm_extract_epi32(abcd, 3));
  state[1] = static_cast<std::uint32_t>(_mm_extract_epi32(abcd, 2));
  state[2] = static_cast<std::uint32_t>(_mm_extract_epi32(abcd, 1));
  state[3] = static_cast<std::uint32_t>(_mm_extract_epi32(abcd, 0));
  state[4] = static_cast<std::uint32_t>(_mm_extract_epi32(e0, 3));
}

}  // namespace orv::crypto::x86
