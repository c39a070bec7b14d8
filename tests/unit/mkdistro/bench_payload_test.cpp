// The benchmark payload has the product's shape for every seed and content that deflates
// like compiled programs.
#include <zlib.h>

#include <algorithm>
#include <map>

#include <gtest/gtest.h>

#include "bench_payload.h"
#include "payload_scan.h"
#include "test_support.h"

namespace ot::benchpayload {
namespace {

std::string PlaceOf(const std::string& name) {
  const std::size_t slash = name.find('/');
  return slash == std::string::npos ? "" : name.substr(0, slash);
}

std::string ExtensionOf(const std::string& name) { return name.substr(name.rfind('.')); }

TEST(BenchPlan, HasTheProductsShapeForEverySeed) {
  for (std::uint64_t seed : {1ULL, 2ULL, 77ULL, 0xFFFFFFFFFFFFFFFFULL}) {
    SCOPED_TRACE(seed);
    const std::vector<BenchFile> files = PlanBenchPayload(seed);
    ASSERT_EQ(files.size(), 115u);
    std::map<std::string, int> perPlace;
    std::map<std::string, std::map<std::string, int>> kinds;
    std::uint64_t total = 0;
    int nonAscii = 0, largest = 0, smallest = 0;
    for (const BenchFile& f : files) {
      ++perPlace[PlaceOf(f.name)];
      ++kinds[PlaceOf(f.name)][ExtensionOf(f.name)];
      total += f.size;
      largest += f.size == kLargestSize;
      smallest += f.size == kSmallestSize;
      EXPECT_LE(f.size, kLargestSize);
      EXPECT_GE(f.size, kSmallestSize);
      EXPECT_GE(f.name.size(), 10u) << f.name;
      EXPECT_LE(f.name.size(), 37u) << f.name;
      EXPECT_GE(f.mtime, 1645574400);  // 2022-02-23
      EXPECT_LT(f.mtime, 1695859200);  // 2023-09-28
      if (std::any_of(f.name.begin(), f.name.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
        ++nonAscii;
        EXPECT_EQ(PlaceOf(f.name), "Languages");
      }
    }
    EXPECT_EQ(total, 77'712'208u);
    EXPECT_EQ(largest, 1);
    EXPECT_EQ(smallest, 1);
    EXPECT_EQ(nonAscii, 6);
    EXPECT_EQ(perPlace, (std::map<std::string, int>{{"", 48}, {"Languages", 57}, {"x86", 4}, {"x64", 4}, {"Redistributables", 2}}));
    EXPECT_EQ(kinds[""], (std::map<std::string, int>{{".exe", 14}, {".dll", 32}, {".txt", 2}}));
    EXPECT_EQ(kinds["Languages"].size(), 3u);
    std::vector<int> languageCounts;
    for (const auto& [ext, count] : kinds["Languages"]) languageCounts.push_back(count);
    std::sort(languageCounts.begin(), languageCounts.end());
    EXPECT_EQ(languageCounts, (std::vector<int>{17, 20, 20}));
    const auto has = [&](const char* name) {
      return std::any_of(files.begin(), files.end(), [&](const BenchFile& f) { return f.name == name; });
    };
    EXPECT_TRUE(has("Orvane.Tessaly.Setup.exe"));
    EXPECT_TRUE(has("Orvane.Tessaly.Starter.exe"));
  }
}

TEST(BenchPlan, IsDeterministicAndScales) {
  const std::vector<BenchFile> a = PlanBenchPayload(5), b = PlanBenchPayload(5), c = PlanBenchPayload(6);
  const std::vector<BenchFile> four = PlanBenchPayload(5, 4);
  bool differs = false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].name, b[i].name);
    EXPECT_EQ(a[i].size, b[i].size);
    EXPECT_EQ(a[i].mtime, b[i].mtime);
    EXPECT_EQ(a[i].contentSeed, b[i].contentSeed);
    EXPECT_EQ(four[i].size, 4 * a[i].size);
    differs |= a[i].size != c[i].size;
  }
  EXPECT_TRUE(differs) << "the seed does not change the sizes";
}

TEST(BenchPlan, IsAcceptedByTheArchiveBuilder) {
  std::vector<mkdistro::PayloadFile> files;
  for (const BenchFile& f : PlanBenchPayload(1)) files.push_back({f.name, "/bench/" + f.name, f.size, f.mtime});
  EXPECT_NO_THROW(mkdistro::CheckPayload(files));
}

TEST(BenchContent, AnySplitGivesTheSameBytes) {
  std::vector<std::uint8_t> whole(1 << 20), pieces(1 << 20);
  ProgramLikeBytes(9).Next(whole.data(), whole.size());
  ProgramLikeBytes split(9);
  std::size_t done = 0, step = 1;
  while (done < pieces.size()) {
    const std::size_t n = std::min(step, pieces.size() - done);
    split.Next(pieces.data() + done, n);
    done += n;
    step = step * 7 % 100'003 + 1;  // sizes from 1 byte to beyond one internal block
  }
  EXPECT_EQ(whole, pieces);
  std::vector<std::uint8_t> other(1 << 20);
  ProgramLikeBytes(10).Next(other.data(), other.size());
  EXPECT_NE(whole, other);
}

TEST(BenchContent, DeflatesToAboutTwoThirds) {
  std::vector<std::uint8_t> in(4 << 20), out(compressBound(4 << 20));
  ProgramLikeBytes(1).Next(in.data(), in.size());
  z_stream z{};
  ASSERT_EQ(deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  z.next_in = in.data();
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  const double ratio = static_cast<double>(z.total_out) / static_cast<double>(in.size());
  deflateEnd(&z);
  EXPECT_GT(ratio, 0.64);
  EXPECT_LT(ratio, 0.70);
}

TEST(BenchWrite, WritesThePlannedTree) {
  mkdistro::testing::TempDir dir;
  WriteBenchPayload(dir / "bench", 4);
  const std::vector<std::string> found = mkdistro::testing::ListFilesRecursively(dir / "bench");
  std::vector<std::string> planned;
  for (const BenchFile& f : PlanBenchPayload(4)) planned.push_back(f.name);
  std::sort(planned.begin(), planned.end());
  EXPECT_EQ(found, planned);
  const BenchFile first = PlanBenchPayload(4).front();
  const std::vector<std::uint8_t> bytes = mkdistro::testing::ReadBytes(dir / ("bench/" + first.name));
  ASSERT_EQ(bytes.size(), first.size);
  std::vector<std::uint8_t> expected(first.size);
  ProgramLikeBytes(first.contentSeed).Next(expected.data(), expected.size());
  EXPECT_EQ(bytes, expected);
}

}  // namespace
}  // namespace ot::benchpayload
