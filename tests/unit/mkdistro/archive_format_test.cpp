// The builder's output read back byte by byte: record layout, field values, tiling, and entry
// data that decrypts and inflates to the files.
#include <stdlib.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <set>

#include <gtest/gtest.h>

#include "archive_writer.h"
#include "bench_payload.h"
#include "crypto/wzaes.h"
#include "distro_build.h"
#include "distro_error.h"
#include "test_support.h"

namespace ot::mkdistro {
namespace {

using testing::ParseArchive;
using testing::RawArchive;
using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;
using testing::WriteText;

constexpr char kPassword[] = "{8F27B1C0-5K2D-Q4RM--7A9E1F60C}";
constexpr std::int64_t kMtime = 1645619697;  // 2022-02-23 12:34:57 UTC
const std::vector<std::uint8_t> kAesExtra = {0x01, 0x99, 0x07, 0x00, 0x02, 0x00, 'A', 'E', 0x01, 0x08, 0x00};

std::vector<std::uint8_t> ProgramBytes(std::size_t size, std::uint64_t seed) {
  std::vector<std::uint8_t> bytes(size);
  benchpayload::ProgramLikeBytes(seed).Next(bytes.data(), size);
  return bytes;
}

std::uint32_t Le32At(const std::vector<std::uint8_t>& b, std::uint64_t at) {
  return static_cast<std::uint32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16) | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

// Decrypts and inflates one entry with the shared cipher and zlib, independently of the
// builder's own inspector.
std::vector<std::uint8_t> Unpack(const std::vector<std::uint8_t>& archive, std::uint64_t dataOffset,
                                 std::uint32_t compressedSize, const std::string& password) {
  std::uint8_t verifier[2];
  orv::crypto::WzAesCipher cipher;
  cipher.Init(1, reinterpret_cast<const std::uint8_t*>(password.data()), password.size(),
              archive.data() + dataOffset, verifier);
  EXPECT_EQ(std::memcmp(verifier, archive.data() + dataOffset + 8, 2), 0) << "password verifier";
  std::vector<std::uint8_t> stream(archive.begin() + static_cast<std::ptrdiff_t>(dataOffset + 10),
                                   archive.begin() + static_cast<std::ptrdiff_t>(dataOffset + compressedSize - 10));
  cipher.Decrypt(stream.data(), stream.size());
  EXPECT_TRUE(cipher.CheckMac(archive.data() + dataOffset + compressedSize - 10)) << "authentication code";
  std::vector<std::uint8_t> out(1 << 20);
  std::vector<std::uint8_t> result;
  z_stream z{};
  inflateInit2(&z, -15);
  z.next_in = stream.data();
  z.avail_in = static_cast<uInt>(stream.size());
  int rc;
  do {
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    rc = inflate(&z, Z_NO_FLUSH);
    result.insert(result.end(), out.begin(), out.end() - z.avail_out);
  } while (rc == Z_OK);
  EXPECT_EQ(rc, Z_STREAM_END);
  EXPECT_EQ(z.avail_in, 0u) << "bytes after the deflate stream";
  inflateEnd(&z);
  return result;
}

class ArchiveFormatTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = getenv("TZ");
    if (tz) savedTz_ = tz;
    hadTz_ = tz != nullptr;
    setenv("TZ", "UTC0", 1);
    tzset();
    // Larger than one read block, empty, text with a recognisable phrase, a non-ASCII name.
    contents_ = {
        {"x86/info.txt", std::vector<std::uint8_t>(4000, 'x')},
        {"Orvane.Tessaly.Setup.exe", ProgramBytes(600 * 1024 + 7, 1)},
        {"empty.txt", {}},
        {"Languages/Fran\xC3\xA7" "ais.txt", {}},
        {"Languages/readme-en.txt", {}},
    };
    const std::string phrase = "PLAINTEXT-MARKER the quick brown fox jumps over the lazy dog\n";
    for (int i = 0; i < 30; ++i) contents_[3].second.insert(contents_[3].second.end(), phrase.begin(), phrase.end());
    contents_[4].second.assign(phrase.begin(), phrase.end());
    for (const auto& [name, bytes] : contents_) {
      WriteBytes(dir_ / ("p/" + name), bytes);
      const timespec times[2] = {{kMtime, 0}, {kMtime, 0}};
      utimensat(AT_FDCWD, (dir_ / ("p/" + name)).c_str(), times, 0);
    }
  }
  void TearDown() override {
    if (hadTz_) setenv("TZ", savedTz_.c_str(), 1); else unsetenv("TZ");
    tzset();
  }

  std::vector<std::uint8_t> BuildInMemory(unsigned threads = 0, const std::string& payload = "p") {
    MemorySink sink;
    WriteOptions options;
    options.password = kPassword;
    options.threads = threads;
    WriteArchive(ScanPayload(dir_ / payload), sink, options);
    return sink.Bytes();
  }

  const std::vector<std::uint8_t>& Content(const std::string& name) {
    for (const auto& c : contents_) {
      if (c.first == name) return c.second;
    }
    static const std::vector<std::uint8_t> none;
    ADD_FAILURE() << "no file " << name;
    return none;
  }

  TempDir dir_;
  std::vector<std::pair<std::string, std::vector<std::uint8_t>>> contents_;
  std::string savedTz_;
  bool hadTz_ = false;
};

TEST_F(ArchiveFormatTest, EndRecordAndEntryOrder) {
  const std::vector<std::uint8_t> bytes = BuildInMemory();
  const RawArchive a = ParseArchive(bytes);
  EXPECT_EQ(a.end.disk, 0);
  EXPECT_EQ(a.end.centralDisk, 0);
  EXPECT_EQ(a.end.entriesOnDisk, 5);
  EXPECT_EQ(a.end.entries, 5);
  EXPECT_EQ(a.end.commentSize, 0);
  EXPECT_EQ(std::uint64_t{a.end.centralOffset} + a.end.centralSize + 22, bytes.size());
  std::vector<std::string> names;
  for (const auto& c : a.central) names.push_back(c.name);
  EXPECT_EQ(names, (std::vector<std::string>{"Orvane.Tessaly.Setup.exe", "empty.txt", "Languages/Fran\xC3\xA7" "ais.txt",
                                             "Languages/readme-en.txt", "x86/info.txt"}));
}

TEST_F(ArchiveFormatTest, EveryHeaderCarriesTheFormatsValues) {
  const std::vector<std::uint8_t> bytes = BuildInMemory();
  const RawArchive a = ParseArchive(bytes);
  ASSERT_EQ(a.central.size(), 5u);
  for (std::size_t i = 0; i < a.central.size(); ++i) {
    const auto& c = a.central[i];
    const auto& l = a.local[i];
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.versionMadeBy, 0x0033);
    EXPECT_EQ(c.versionNeeded, 0x0033);
    EXPECT_EQ(c.flags, 0x0809);
    EXPECT_EQ(c.method, 99);
    EXPECT_EQ(c.time, 12 << 11 | 34 << 5 | 28);
    EXPECT_EQ(c.date, 42 << 9 | 2 << 5 | 23);
    EXPECT_EQ(c.crc, 0u);
    EXPECT_EQ(c.uncompressedSize, Content(c.name).size());
    EXPECT_GE(c.compressedSize, 20u);
    EXPECT_EQ(c.commentSize, 0);
    EXPECT_EQ(c.diskStart, 0);
    EXPECT_EQ(c.internalAttributes, 0);
    EXPECT_EQ(c.externalAttributes, 0x20u);
    EXPECT_EQ(c.extra, kAesExtra);

    EXPECT_EQ(l.signature, 0x04034B50u);
    EXPECT_EQ(l.versionNeeded, c.versionNeeded);
    EXPECT_EQ(l.flags, c.flags);
    EXPECT_EQ(l.method, c.method);
    EXPECT_EQ(l.time, c.time);
    EXPECT_EQ(l.date, c.date);
    EXPECT_EQ(l.crc, 0u);
    EXPECT_EQ(l.compressedSize, c.compressedSize);
    EXPECT_EQ(l.uncompressedSize, c.uncompressedSize);
    EXPECT_EQ(l.name, c.name);
    EXPECT_EQ(l.extra, c.extra);

    const std::uint64_t d = l.dataOffset + c.compressedSize;
    EXPECT_EQ(Le32At(bytes, d), 0x08074B50u) << "descriptor signature";
    EXPECT_EQ(Le32At(bytes, d + 4), 0u) << "descriptor CRC";
    EXPECT_EQ(Le32At(bytes, d + 8), c.compressedSize);
    EXPECT_EQ(Le32At(bytes, d + 12), c.uncompressedSize);
  }
}

TEST_F(ArchiveFormatTest, RecordsTileTheFileFromZeroToTheCentralDirectory) {
  const std::vector<std::uint8_t> bytes = BuildInMemory();
  const RawArchive a = ParseArchive(bytes);
  std::uint64_t expected = 0;
  for (std::size_t i = 0; i < a.central.size(); ++i) {
    EXPECT_EQ(a.central[i].localOffset, expected) << a.central[i].name;
    expected = a.local[i].dataOffset + a.central[i].compressedSize + 16;
  }
  EXPECT_EQ(expected, a.end.centralOffset);
  std::uint64_t centralBytes = 0;
  for (const auto& c : a.central) centralBytes += 46 + c.name.size() + c.extra.size();
  EXPECT_EQ(centralBytes, a.end.centralSize);
}

TEST_F(ArchiveFormatTest, DataDecryptsAndInflatesToTheFiles) {
  const std::vector<std::uint8_t> bytes = BuildInMemory();
  const RawArchive a = ParseArchive(bytes);
  for (std::size_t i = 0; i < a.central.size(); ++i) {
    EXPECT_EQ(Unpack(bytes, a.local[i].dataOffset, a.central[i].compressedSize, kPassword), Content(a.central[i].name))
        << a.central[i].name;
  }
  // The text is nowhere in the archive in the clear.
  const std::string marker = "PLAINTEXT-MARKER";
  EXPECT_EQ(std::search(bytes.begin(), bytes.end(), marker.begin(), marker.end()), bytes.end());
}

std::vector<std::uint8_t> SaltOf(const std::vector<std::uint8_t>& bytes, const testing::RawLocal& local) {
  return {bytes.begin() + static_cast<std::ptrdiff_t>(local.dataOffset),
          bytes.begin() + static_cast<std::ptrdiff_t>(local.dataOffset + 8)};
}

// Salts come from the entry's name and stream: the same inputs give the same bytes on any
// number of threads, and no salt serves two different streams.
TEST_F(ArchiveFormatTest, SameInputsGiveTheSameBytesOnAnyNumberOfThreads) {
  EXPECT_EQ(DefaultArchivePassword(), kPassword);
  const std::vector<std::uint8_t> one = BuildInMemory(1);
  EXPECT_EQ(BuildInMemory(4), one);
  const std::string out = dir_ / "out.zip";
  BuildOptions options;
  options.threads = 3;
  const ArchiveLayout layout = BuildDistroFile(dir_ / "p", out, options);
  EXPECT_EQ(ReadBytes(out), one);
  EXPECT_EQ(layout.archiveSize, one.size());

  // The same two contents under two names each, and one file changed by one byte: every
  // entry gets a salt of its own, and an unchanged entry keeps its salt.
  const std::vector<std::uint8_t> same(3000, 'q');
  WriteBytes(dir_ / "q/a.txt", same);
  WriteBytes(dir_ / "q/b.txt", same);
  WriteBytes(dir_ / "q/c.dll", ProgramBytes(5000, 4));
  const std::vector<std::uint8_t> before = BuildInMemory(2, "q");
  std::vector<std::uint8_t> changed = ProgramBytes(5000, 4);
  changed[100] ^= 1;
  WriteBytes(dir_ / "q/c.dll", changed);
  const std::vector<std::uint8_t> after = BuildInMemory(2, "q");
  const RawArchive a = ParseArchive(before), b = ParseArchive(after);
  ASSERT_EQ(a.local.size(), 3u);
  ASSERT_EQ(b.local.size(), 3u);
  const std::set<std::vector<std::uint8_t>> salts = {SaltOf(before, a.local[0]), SaltOf(before, a.local[1]),
                                                     SaltOf(before, a.local[2]), SaltOf(after, b.local[2])};
  EXPECT_EQ(salts.size(), 4u) << "a salt serves two entries";
  EXPECT_EQ(SaltOf(before, a.local[0]), SaltOf(after, b.local[0]));
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(Unpack(after, b.local[i].dataOffset, b.central[i].compressedSize, kPassword),
              i < 2 ? same : changed);
  }
}

// SOURCE_DATE_EPOCH: later files get its time, earlier ones keep theirs, all written in UTC.
TEST_F(ArchiveFormatTest, ALatestTimeClampsLaterFilesAndTimesAreUniversal) {
  setenv("TZ", "XST-3", 1);
  tzset();
  WriteText(dir_ / "p/new.txt", "written after the epoch");
  const timespec later[2] = {{kMtime + 86400, 0}, {kMtime + 86400, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (dir_ / "p/new.txt").c_str(), later, 0), 0);
  BuildOptions options;
  options.latestTime = kMtime + 3600;  // 13:34:57 UTC
  BuildDistroFile(dir_ / "p", dir_ / "t.zip", options);
  for (const auto& c : ParseArchive(ReadBytes(dir_ / "t.zip")).central) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.date, 42 << 9 | 2 << 5 | 23);
    EXPECT_EQ(c.time, (c.name == "new.txt" ? 13 : 12) << 11 | 34 << 5 | 28);
  }
}

// A sink that starts just below 4 GiB, to reach the 32-bit limits without writing gigabytes.
class HighSink : public MemorySink {
 public:
  explicit HighSink(std::uint64_t base) : base_(base) {}
  std::uint64_t Position() const override { return base_ + MemorySink::Position(); }
  void WriteAt(std::uint64_t offset, const std::uint8_t* data, std::size_t size) override {
    MemorySink::WriteAt(offset - base_, data, size);
  }

 private:
  std::uint64_t base_;
};

TEST_F(ArchiveFormatTest, RefusesWhatWouldNotFitTheFormat) {
  WriteOptions options;
  options.password = kPassword;
  const auto refusal = [&](const std::vector<PayloadFile>& files, OutputSink& sink, const WriteOptions& o) -> std::string {
    try {
      WriteArchive(files, sink, o);
    } catch (const DistroError& e) {
      return e.what();
    }
    return {};
  };
  std::vector<PayloadFile> files = ScanPayload(dir_ / "p");
  HighSink nearLimit(0xFFFFFFFEULL - 1000);
  EXPECT_NE(refusal(files, nearLimit, options).find("passes 4 GiB"), std::string::npos);
  HighSink atLimit(0xFFFFFFFFULL);
  EXPECT_NE(refusal(files, atLimit, options).find("passes 4 GiB"), std::string::npos);

  MemorySink sink;
  std::vector<PayloadFile> wrongSize = files;
  wrongSize[0].size += 1;
  EXPECT_NE(refusal(wrongSize, sink, options).find("changed size"), std::string::npos);
  wrongSize[0].size -= 2;
  EXPECT_NE(refusal(wrongSize, sink, options).find("changed size"), std::string::npos);

  WriteOptions bad = options;
  bad.password.clear();
  EXPECT_NE(refusal(files, sink, bad).find("password"), std::string::npos);
  bad = options;
  bad.level = 13;
  EXPECT_NE(refusal(files, sink, bad).find("level"), std::string::npos);
}

TEST_F(ArchiveFormatTest, FailedBuildLeavesNoFileAndKeepsTheOldArchive) {
  const std::string out = dir_ / "Distro.zip";
  WriteText(out, "old archive");
  BuildOptions options;
  options.progress = [](std::uint64_t bytesDone, std::uint64_t, std::size_t, std::size_t, const std::string&) {
    if (bytesDone > 0) throw DistroError("stopped");
  };
  EXPECT_THROW(BuildDistroFile(dir_ / "p", out, options), DistroError);
  EXPECT_EQ(testing::ListDir(dir_.path()), (std::vector<std::string>{"Distro.zip", "p"}));
  const std::vector<std::uint8_t> old = ReadBytes(out);
  EXPECT_EQ(std::string(old.begin(), old.end()), "old archive");
}

}  // namespace
}  // namespace ot::mkdistro
