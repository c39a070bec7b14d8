#include "crypto/cpu_features.h"

#include <atomic>

#if ORV_CRYPTO_X86
#include <cpuid.h>
#endif

namespace orv::crypto {
namespace {

constexpr unsigned kFeatureKnown = 1u;
constexpr unsigned kFeatureAes = 2u;
constexpr unsigned kFeatureSha = 4u;

// Worked out lazily and without locks: CPUID always gives the same answer, so two threads that
// race here store the same value.
std::atomic<unsigned> gFeatures{0};
std::atomic<bool> gForcePortable{false};

unsigned DetectFeatures() {
  unsigned features = kFeatureKnown;
#if ORV_CRYPTO_X86
  // Both paths need SSSE3 (byte shuffles) and SSE4.1 (lane extraction) besides their own bit.
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return features;
  const bool vectorBase = (ecx & bit_SSE4_1) != 0 && (ecx & bit_SSSE3) != 0;
  if (vectorBase && (ecx & bit_AES) != 0) features |= kFeatureAes;
  if (vectorBase && __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0 && (ebx & bit_SHA) != 0) {
    features |= kFeatureSha;
  }
#endif
  return features;
}

unsigned Features() {
  unsigned features = gFeatures.load(std::memory_order_relaxed);
  if (features == 0) {
    features = DetectFeatures();
    gFeatures.store(features, std::memory_order_relaxed);
  }
  return features;
}

}  // namespace

bool CpuHasAesNi() { return (Features() & kFeatureAes) != 0; }
bool CpuHasShaNi() { return (Features() & kFeatureSha) != 0; }

void ForcePortableCrypto(bool force) { gForcePortable.store(force, std::memory_order_relaxed); }

bool UseAesNi() { return !gForcePortable.load(std::memory_order_relaxed) && CpuHasAesNi(); }
bool UseShaNi() { return !gForcePortable.load(std::memory_order_relaxed) && CpuHasShaNi(); }

}  // namespace orv::crypto
