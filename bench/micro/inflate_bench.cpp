// zlib raw inflate, the other half of the library's work per entry, for comparison with the
// crypto figures: about 1 MiB of text-like data in one call, and program-like data as the
// benchmark payload holds it, streamed through 256 KiB buffers as the library does. The latter
// is the floor under the library's own extraction speed.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "bench_payload.h"

namespace {

std::vector<std::uint8_t> TextLike(std::size_t size) {
  static const char* const kWords[] = {"setup ",  "orvane ", "tessaly ", "library ", "file ",
                                       "entry ",  "stream ", "window ",  "module ",  "data\n",
                                       "0x1F40 ", "config ", "value ",   "path ",    "text "};
  std::vector<std::uint8_t> out;
  std::uint32_t x = 12345;
  while (out.size() < size) {
    x = x * 1103515245u + 12345u;
    const std::string word = kWords[(x >> 16) % (sizeof kWords / sizeof kWords[0])];
    out.insert(out.end(), word.begin(), word.end());
  }
  out.resize(size);
  return out;
}

std::vector<std::uint8_t> RawDeflate(const std::vector<std::uint8_t>& input, int level = 6) {
  z_stream z{};
  deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::vector<std::uint8_t> out(deflateBound(&z, static_cast<uLong>(input.size())));
  z.next_in = const_cast<Bytef*>(input.data());
  z.avail_in = static_cast<uInt>(input.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

void BM_InflateRaw(benchmark::State& state) {
  const std::vector<std::uint8_t> plain = TextLike(1 << 20);
  const std::vector<std::uint8_t> packed = RawDeflate(plain);
  std::vector<std::uint8_t> out(plain.size());
  for (auto _ : state) {
    z_stream z{};
    inflateInit2(&z, -15);
    z.next_in = const_cast<Bytef*>(packed.data());
    z.avail_in = static_cast<uInt>(packed.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    if (inflate(&z, Z_FINISH) != Z_STREAM_END || z.total_out != plain.size()) {
      state.SkipWithError("inflate did not reproduce the input");
    }
    inflateEnd(&z);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * plain.size()));
  state.counters["ratio"] = static_cast<double>(packed.size()) / static_cast<double>(plain.size());
}
BENCHMARK(BM_InflateRaw);

// 8 MiB of the benchmark payload's content, compressed at mkdistro's level.
void BM_InflateProgramLikeStreamed(benchmark::State& state) {
  constexpr std::size_t kPlainSize = 8 << 20;
  constexpr std::size_t kBuffer = 256 * 1024;
  std::vector<std::uint8_t> plain(kPlainSize);
  ot::benchpayload::ProgramLikeBytes(7).Next(plain.data(), plain.size());
  const std::vector<std::uint8_t> packed = RawDeflate(plain, 9);
  std::vector<std::uint8_t> in(kBuffer), out(kBuffer);
  z_stream z{};
  inflateInit2(&z, -15);
  for (auto _ : state) {
    inflateReset(&z);
    std::size_t offset = 0, produced = 0;
    int ret = Z_OK;
    while (ret != Z_STREAM_END) {
      if (z.avail_in == 0) {
        const std::size_t take = std::min(kBuffer, packed.size() - offset);
        std::copy_n(packed.data() + offset, take, in.data());  // stands in for the read
        offset += take;
        z.next_in = in.data();
        z.avail_in = static_cast<uInt>(take);
      }
      z.next_out = out.data();
      z.avail_out = static_cast<uInt>(kBuffer);
      ret = inflate(&z, Z_NO_FLUSH);
      if (ret != Z_OK && ret != Z_STREAM_END) break;
      produced += kBuffer - z.avail_out;
    }
    if (ret != Z_STREAM_END || produced != plain.size()) {
      state.SkipWithError("inflate did not reproduce the input");
      break;
    }
    benchmark::ClobberMemory();
  }
  inflateEnd(&z);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * plain.size()));
  state.counters["ratio"] = static_cast<double>(packed.size()) / static_cast<double>(plain.size());
}
BENCHMARK(BM_InflateProgramLikeStreamed)->Unit(benchmark::kMillisecond);

}  // namespace
