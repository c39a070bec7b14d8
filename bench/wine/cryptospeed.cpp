// cryptospeed.exe: throughput of the unzipping library's crypto as built for Windows, on the
// portable code and on AES-NI / the SHA extensions, printed one figure per line:
//   <name> <portable|accelerated> <value> <MB/s|us>
// Each figure is the best of several timed rounds of about a tenth of a second. It prints and
// never judges; the exit status is 1 only when the two paths disagree on a result.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "crypto/aes.h"
#include "crypto/cpu_features.h"
#include "crypto/hmac_sha1.h"
#include "crypto/pbkdf2.h"
#include "crypto/sha1.h"
#include "crypto/wzaes.h"

namespace {

using orv::crypto::ForcePortableCrypto;

constexpr std::size_t kBufferSize = 1 << 20;
constexpr int kRounds = 5;

double Seconds() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Best time of one call of work, over kRounds rounds of repeated calls.
template <typename Work>
double BestSecondsPerCall(Work work) {
  double best = 1e30;
  for (int round = 0; round < kRounds; ++round) {
    int calls = 0;
    const double start = Seconds();
    double elapsed = 0;
    do {
      work();
      ++calls;
      elapsed = Seconds() - start;
    } while (elapsed < 0.1);
    if (elapsed / calls < best) best = elapsed / calls;
  }
  return best;
}

std::vector<std::uint8_t> Filler(std::size_t size) {
  std::vector<std::uint8_t> data(size);
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(i * 131 + (i >> 9));
  return data;
}

void Report(const char* name, bool fast, double secondsPerCall, std::size_t bytesPerCall) {
  if (bytesPerCall > 0) {
    std::printf("%-22s %-12s %8.0f MB/s\n", name, fast ? "accelerated" : "portable",
                static_cast<double>(bytesPerCall) / secondsPerCall / 1e6);
  } else {
    std::printf("%-22s %-12s %8.1f us\n", name, fast ? "accelerated" : "portable", secondsPerCall * 1e6);
  }
  std::fflush(stdout);
}

// Runs every measurement on one path and returns a digest of the results, so the two paths
// can be checked against each other.
std::vector<std::uint8_t> MeasurePath(bool fast) {
  ForcePortableCrypto(!fast);
  std::vector<std::uint8_t> results;
  std::vector<std::uint8_t> data = Filler(kBufferSize);
  const std::vector<std::uint8_t> keys = Filler(32);

  {
    orv::crypto::AesEncryptor aes;
    aes.SetKey(keys.data(), 16);
    std::uint8_t counter[16] = {};
    const double t = BestSecondsPerCall([&] { aes.XorCounterModeLe(counter, data.data(), data.size() / 16); });
    Report("aes128-ctr", fast, t, data.size());
  }
  {
    std::uint8_t digest[orv::crypto::Sha1::kDigestSize];
    const double t = BestSecondsPerCall([&] { orv::crypto::Sha1Digest(data.data(), data.size(), digest); });
    Report("sha1", fast, t, data.size());
  }
  {
    orv::crypto::HmacSha1 hmac(keys.data(), 16);
    std::uint8_t mac[orv::crypto::HmacSha1::kMacSize];
    const double t = BestSecondsPerCall([&] {
      hmac.Update(data.data(), data.size());
      hmac.Final(mac);
    });
    Report("hmac-sha1", fast, t, data.size());
  }
  {
    // Decryption as the library runs it per block read: HMAC over the ciphertext and CTR.
    orv::crypto::WzAesCipher cipher;
    cipher.SetKeys(keys.data(), keys.data() + 16, 16);
    const double t = BestSecondsPerCall([&] { cipher.Decrypt(data.data(), data.size()); });
    Report("winzip-aes128-decrypt", fast, t, data.size());
  }
  {
    const std::uint8_t password[] = "an archive password";
    const std::uint8_t salt[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::uint8_t out[34];
    const double t = BestSecondsPerCall([&] {
      orv::crypto::Pbkdf2HmacSha1(password, sizeof password - 1, salt, sizeof salt,
                                  orv::crypto::kWzAesIterations, out, sizeof out);
    });
    Report("pbkdf2-1000-34B", fast, t, 0);
    results.insert(results.end(), out, out + sizeof out);
  }
  {
    // Fixed inputs for the cross-check (the timed loops above ran a varying number of times
    // over data that some of them change): a digest, and a stream decrypted in two uneven calls.
    const std::vector<std::uint8_t> message = Filler(100003);
    std::uint8_t digest[orv::crypto::Sha1::kDigestSize];
    orv::crypto::Sha1Digest(message.data(), message.size(), digest);
    results.insert(results.end(), digest, digest + sizeof digest);
    std::vector<std::uint8_t> stream = message;
    orv::crypto::WzAesCipher cipher;
    cipher.SetKeys(keys.data(), keys.data() + 16, 16);
    cipher.Decrypt(stream.data(), 777);
    cipher.Decrypt(stream.data() + 777, stream.size() - 777);
    std::uint8_t mac[orv::crypto::kWzAesMacSize];
    cipher.FinalMac(mac);
    results.insert(results.end(), stream.begin(), stream.end());
    results.insert(results.end(), mac, mac + sizeof mac);
  }
  ForcePortableCrypto(false);
  return results;
}

}  // namespace

int main() {
  const bool aesNi = orv::crypto::CpuHasAesNi();
  const bool shaNi = orv::crypto::CpuHasShaNi();
  std::printf("cryptospeed: %d-bit build, AES-NI %s, SHA extensions %s\n",
              static_cast<int>(sizeof(void*) * 8), aesNi ? "yes" : "no", shaNi ? "yes" : "no");
  std::fflush(stdout);
  const std::vector<std::uint8_t> portable = MeasurePath(false);
  if (!aesNi && !shaNi) return 0;
  const std::vector<std::uint8_t> accelerated = MeasurePath(true);
  if (portable != accelerated) {
    std::printf("cryptospeed: the portable and the accelerated paths give different results\n");
    return 1;
  }
  return 0;
}
