// Throughput of the crypto primitives on the portable code (path:0) and on AES-NI / the SHA
// extensions (path:1), as the unzipping library uses them.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "crypto/cpu_features.h"
#include "crypto/hmac_sha1.h"
#include "crypto/pbkdf2.h"
#include "crypto/sha1.h"
#include "crypto/wzaes.h"

namespace {

using orv::crypto::ForcePortableCrypto;

constexpr std::size_t kMiB = 1 << 20;

std::vector<std::uint8_t> Filler(std::size_t size) {
  std::vector<std::uint8_t> data(size);
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(i * 131 + (i >> 9));
  return data;
}

// Selects the path from the benchmark's argument; false when the processor lacks it.
bool SelectPath(benchmark::State& state, bool available) {
  const bool fast = state.range(0) != 0;
  if (fast && !available) {
    state.SkipWithError("not supported by this processor");
    return false;
  }
  ForcePortableCrypto(!fast);
  return true;
}

void BM_WzAes128Encrypt(benchmark::State& state) {
  if (!SelectPath(state, orv::crypto::CpuHasAesNi() || orv::crypto::CpuHasShaNi())) return;
  std::vector<std::uint8_t> data = Filler(kMiB);
  const std::vector<std::uint8_t> keys = Filler(32);
  orv::crypto::WzAesCipher cipher;
  cipher.SetKeys(keys.data(), keys.data() + 16, 16);
  for (auto _ : state) {
    cipher.Encrypt(data.data(), data.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
  ForcePortableCrypto(false);
}
BENCHMARK(BM_WzAes128Encrypt)->ArgName("path")->Arg(0)->Arg(1);

// What the unzipping library does per block read: the HMAC over the ciphertext and counter
// mode, in one combined pass where the processor has both AES-NI and the SHA extensions.
void BM_WzAes128Decrypt(benchmark::State& state) {
  if (!SelectPath(state, orv::crypto::CpuHasAesNi() || orv::crypto::CpuHasShaNi())) return;
  std::vector<std::uint8_t> data = Filler(kMiB);
  const std::vector<std::uint8_t> keys = Filler(32);
  orv::crypto::WzAesCipher cipher;
  cipher.SetKeys(keys.data(), keys.data() + 16, 16);
  for (auto _ : state) {
    cipher.Decrypt(data.data(), data.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
  ForcePortableCrypto(false);
}
BENCHMARK(BM_WzAes128Decrypt)->ArgName("path")->Arg(0)->Arg(1);

// Counter mode alone, without the HMAC that WinZip AES adds.
void BM_Aes128Ctr(benchmark::State& state) {
  if (!SelectPath(state, orv::crypto::CpuHasAesNi())) return;
  std::vector<std::uint8_t> data = Filler(kMiB);
  const std::vector<std::uint8_t> key = Filler(16);
  orv::crypto::AesEncryptor aes;
  aes.SetKey(key.data(), key.size());
  std::uint8_t counter[16] = {};
  for (auto _ : state) {
    aes.XorCounterModeLe(counter, data.data(), data.size() / 16);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
  ForcePortableCrypto(false);
}
BENCHMARK(BM_Aes128Ctr)->ArgName("path")->Arg(0)->Arg(1);

void BM_Sha1(benchmark::State& state) {
  if (!SelectPath(state, orv::crypto::CpuHasShaNi())) return;
  const std::vector<std::uint8_t> data = Filler(kMiB);
  std::uint8_t digest[orv::crypto::Sha1::kDigestSize];
  for (auto _ : state) {
    orv::crypto::Sha1Digest(data.data(), data.size(), digest);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
  ForcePortableCrypto(false);
}
BENCHMARK(BM_Sha1)->ArgName("path")->Arg(0)->Arg(1);

void BM_HmacSha1(benchmark::State& state) {
  if (!SelectPath(state, orv::crypto::CpuHasShaNi())) return;
  const std::vector<std::uint8_t> data = Filler(kMiB);
  const std::vector<std::uint8_t> key = Filler(16);
  orv::crypto::HmacSha1 hmac(key.data(), key.size());
  std::uint8_t mac[orv::crypto::HmacSha1::kMacSize];
  for (auto _ : state) {
    hmac.Update(data.data(), data.size());
    hmac.Final(mac);
    benchmark::DoNotOptimize(mac);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
  ForcePortableCrypto(false);
}
BENCHMARK(BM_HmacSha1)->ArgName("path")->Arg(0)->Arg(1);

// One WinZip AES-128 key derivation: 34 bytes, 1000 iterations.
void BM_Pbkdf2WzAes128(benchmark::State& state) {
  if (!SelectPath(state, orv::crypto::CpuHasShaNi())) return;
  const std::uint8_t password[] = "an archive password";
  const std::uint8_t salt[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  std::uint8_t out[34];
  for (auto _ : state) {
    orv::crypto::Pbkdf2HmacSha1(password, sizeof password - 1, salt, sizeof salt,
                                orv::crypto::kWzAesIterations, out, sizeof out);
    benchmark::DoNotOptimize(out);
  }
  ForcePortableCrypto(false);
}
BENCHMARK(BM_Pbkdf2WzAes128)->ArgName("path")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
