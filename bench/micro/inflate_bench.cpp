// zlib raw inflate of about 1 MiB of text-like data, the other half of the library's work per
// entry, for comparison with the crypto figures.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

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

std::vector<std::uint8_t> RawDeflate(const std::vector<std::uint8_t>& input) {
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
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

}  // namespace
