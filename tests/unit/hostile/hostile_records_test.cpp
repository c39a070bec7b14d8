// Archives whose records lie: sizes, offsets, counts, overlapping entries, truncation. Each is
// run through the library in the Windows-like memory file system, which checks that nothing
// outside the destination changes, that every file is closed and that no partial file stays.
#include <gtest/gtest.h>

#include <cstring>

#include "archive_error.h"
#include "hostile_support.h"
#include "unzip.h"
#include "zip/zip_format.h"

namespace orv::test {
namespace {

using zip::LoadLe16;
using zip::LoadLe32;

std::uint32_t Get32(const std::string& bytes, std::size_t at) {
  return LoadLe32(reinterpret_cast<const std::uint8_t*>(bytes.data()) + at);
}
std::uint16_t Get16(const std::string& bytes, std::size_t at) {
  return LoadLe16(reinterpret_cast<const std::uint8_t*>(bytes.data()) + at);
}
void Put32(std::string& bytes, std::size_t at, std::uint32_t value) {
  zip::StoreLe32(reinterpret_cast<std::uint8_t*>(bytes.data()) + at, value);
}
void Put16(std::string& bytes, std::size_t at, std::uint16_t value) {
  zip::StoreLe16(reinterpret_cast<std::uint8_t*>(bytes.data()) + at, value);
}
void Put64(std::string& bytes, std::size_t at, std::uint64_t value) {
  zip::StoreLe64(reinterpret_cast<std::uint8_t*>(bytes.data()) + at, value);
}

// Where the records of an archive of our writer lie (no comment, no descriptors).
struct Records {
  std::vector<std::size_t> local;    // each local header
  std::vector<std::size_t> data;     // each entry's data
  std::vector<std::size_t> central;  // each central header
  std::size_t end = 0;               // the end record
};

Records Locate(const std::string& zip) {
  Records r;
  r.end = zip.size() - zip::kEndOfCentralDirSize;
  const std::size_t count = Get16(zip, r.end + 10);
  std::size_t at = Get32(zip, r.end + 16);
  for (std::size_t i = 0; i < count; ++i) {
    r.central.push_back(at);
    r.local.push_back(Get32(zip, at + 42));
    at += zip::kCentralHeaderSize + Get16(zip, at + 28) + Get16(zip, at + 30) + Get16(zip, at + 32);
  }
  for (const std::size_t local : r.local) {
    r.data.push_back(local + zip::kLocalHeaderSize + Get16(zip, local + 26) + Get16(zip, local + 28));
  }
  return r;
}

std::string Text(std::size_t size, char seed = 'a') {
  std::string text(size, '\0');
  for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>(seed + (i * 7 + i / 13) % 26);
  return text;
}

std::string ThreeEntries() {
  return BuildZip({Aes("first.txt", Text(700)), Aes("sub/second.txt", Text(300, 'A')), Aes("third.txt", "3")});
}

const std::map<std::wstring, std::string> kAllThree = {
    {L"first.txt", Text(700)}, {L"sub\\second.txt", Text(300, 'A')}, {L"third.txt", "3"}};

void ExpectOpenFailure(const std::string& zip) {
  const Outcome outcome = UnzipHostile(zip);
  EXPECT_EQ(outcome.result, kUnzipFailed);
  EXPECT_TRUE(outcome.failureTexts.empty());
  EXPECT_TRUE(outcome.passwordAsked.empty());
  EXPECT_TRUE(outcome.files.empty());
}

TEST(HostileRecords, TheUntouchedArchiveUnpacks) {
  const Outcome outcome = UnzipHostile(ThreeEntries());
  EXPECT_EQ(outcome.result, kUnzipCompleted);
  EXPECT_TRUE(outcome.failureTexts.empty());
  EXPECT_EQ(outcome.files, kAllThree);
}

// --- Sizes ---------------------------------------------------------------------------------

TEST(HostileRecords, UncompressedSizesThatLieNeverGrowTheOutput) {
  TestEntry bigger = Aes("bigger.txt", Text(1000));
  bigger.declaredSize = 5000;
  TestEntry smaller = Aes("smaller.txt", Text(1000));
  smaller.declaredSize = 100;
  TestEntry bomb = Aes("bomb.bin", std::string(16 << 20, '\0'));  // 16 MiB of zeros, some 16 KB deflated
  bomb.declaredSize = 1024;
  TestEntry allOnes = Aes("ones.txt", "tiny");
  allOnes.declaredSize = 0xFFFFFFFF;
  TestEntry storedLie = Aes("stored.txt", Text(800));
  storedLie.method = 0;
  storedLie.declaredSize = 10;
  const Outcome outcome = UnzipHostile(BuildZip({bigger, smaller, bomb, allOnes, storedLie, Aes("good.txt", "g")}));
  EXPECT_EQ(outcome.result, kUnzipCompleted);
  EXPECT_EQ(outcome.failureTexts, std::vector<std::wstring>(5, Prompt(kErrorCorruptData)));
  EXPECT_EQ(outcome.files, (std::map<std::wstring, std::string>{{L"good.txt", "g"}}));
  // What was written at most: each entry up to its declared size or its real data.
  EXPECT_LE(outcome.bytesWritten, 1000u + 100u + 1024u + 4u + 10u + 1u);
}

TEST(HostileRecords, CompressedSizesThatLieAreCaught) {
  const std::string zip = ThreeEntries();
  const Records r = Locate(zip);

  std::string pastTheEnd = zip;  // the first entry's data would run past the end of the file
  Put32(pastTheEnd, r.central[0] + 20, static_cast<std::uint32_t>(zip.size()));
  std::string cut = zip;  // the first entry's data ends early: the MAC is read from its middle
  Put32(cut, r.central[0] + 20, Get32(zip, r.central[0] + 20) - 100);
  std::string tooSmallForAes = zip;  // less than salt, verifier and MAC
  Put32(tooSmallForAes, r.central[0] + 20, 19);
  for (const std::string& lie : {pastTheEnd, cut, tooSmallForAes}) {
    const Outcome outcome = UnzipHostile(lie);
    EXPECT_EQ(outcome.result, kUnzipCompleted);
    ASSERT_EQ(outcome.failureTexts.size(), 1u);
    EXPECT_TRUE(outcome.failureTexts[0] == Prompt(kErrorCorruptData) ||
                outcome.failureTexts[0] == Prompt(kErrorReadArchive, L"first.txt"))
        << outcome.failureTexts[0];
    EXPECT_EQ(outcome.files.size(), 2u);
    EXPECT_EQ(outcome.files.count(L"first.txt"), 0u);
  }
}

// ZIP64 sizes and offsets near 2^64 must not overflow any offset arithmetic.
TEST(HostileRecords, Zip64SizesAndOffsetsNearTheTopOfTheRange) {
  ArchiveOptions zip64;
  zip64.zip64 = true;
  const std::string zip = BuildZip({Aes("a.txt", Text(500)), Aes("b.txt", "b")}, zip64);
  const std::size_t locator = zip.size() - zip::kEndOfCentralDirSize - zip::kZip64EndLocatorSize;
  const auto record = static_cast<std::size_t>(zip::LoadLe64(reinterpret_cast<const std::uint8_t*>(zip.data()) + locator + 8));
  const auto central = static_cast<std::size_t>(zip::LoadLe64(reinterpret_cast<const std::uint8_t*>(zip.data()) + record + 48));
  ASSERT_EQ(Get32(zip, central), zip::kCentralHeaderSignature);
  const std::size_t field = central + zip::kCentralHeaderSize + Get16(zip, central + 28);
  ASSERT_EQ(Get16(zip, field), zip::kExtraZip64);
  struct Lie {
    std::size_t at;  // uncompressed, compressed or offset within the field
    std::uint64_t value;
  };
  for (const Lie lie : {Lie{4, ~0ULL}, Lie{12, ~0ULL}, Lie{12, 1ULL << 63}, Lie{20, ~0ULL}, Lie{20, (1ULL << 63) + 7}}) {
    SCOPED_TRACE(testing::Message() << "field +" << lie.at << " = " << lie.value);
    std::string bytes = zip;
    Put64(bytes, field + lie.at, lie.value);
    const Outcome outcome = UnzipHostile(bytes);
    EXPECT_EQ(outcome.result, kUnzipCompleted);
    EXPECT_EQ(outcome.failureTexts.size(), 1u);
    EXPECT_EQ(outcome.files, (std::map<std::wstring, std::string>{{L"b.txt", "b"}}));
    EXPECT_LE(outcome.bytesWritten, 501u);
  }
}

// --- Where the records point ---------------------------------------------------------------

TEST(HostileRecords, ACentralDirectoryOutsideTheFileOrOverlappingTheEndRecord) {
  const std::string zip = ThreeEntries();
  const Records r = Locate(zip);
  const std::uint32_t directorySize = Get32(zip, r.end + 12);

  std::string offsetPastEnd = zip;
  Put32(offsetPastEnd, r.end + 16, static_cast<std::uint32_t>(zip.size() + 1000));
  std::string offsetAllOnes = zip;
  Put32(offsetAllOnes, r.end + 16, 0xFFFFFFFF);
  std::string sizePastEnd = zip;
  Put32(sizePastEnd, r.end + 12, static_cast<std::uint32_t>(zip.size()));
  std::string intoTheEndRecord = zip;  // the directory would cover the end record itself
  Put32(intoTheEndRecord, r.end + 16, static_cast<std::uint32_t>(r.end - directorySize + 10));
  std::string sizeTooSmall = zip;  // three headers do not fit
  Put32(sizeTooSmall, r.end + 12, 2 * zip::kCentralHeaderSize);
  std::string nameRunsOut = zip;  // the last header's name runs past the directory
  Put16(nameRunsOut, r.central[2] + 28, 0x4000);
  for (const std::string& lie : {offsetPastEnd, offsetAllOnes, sizePastEnd, intoTheEndRecord, sizeTooSmall, nameRunsOut}) {
    ExpectOpenFailure(lie);
  }
}

// A directory that does not lie where its offset says, but ends at the end record, is taken as
// an archive with bytes in front; an offset into the local records is one such case. Whatever
// the entries then point at, each entry fails or succeeds on its own.
TEST(HostileRecords, ADirectoryOffsetPointingIntoTheLocalRecords) {
  const std::string zip = ThreeEntries();
  const Records r = Locate(zip);
  for (const std::size_t target : {r.local[0], r.data[0], r.local[1], r.local[2] + 5}) {
    std::string lie = zip;
    Put32(lie, r.end + 16, static_cast<std::uint32_t>(target));
    const Outcome outcome = UnzipHostile(lie);
    EXPECT_LE(outcome.failureTexts.size(), 3u);
  }
}

TEST(HostileRecords, LocalHeaderOffsetsIntoTheDirectoryTheEndRecordOrBeyond) {
  const std::string zip = ThreeEntries();
  const Records r = Locate(zip);
  for (const std::uint32_t target : {static_cast<std::uint32_t>(r.central[0]), static_cast<std::uint32_t>(r.central[1]),
                                     static_cast<std::uint32_t>(r.end), static_cast<std::uint32_t>(zip.size()),
                                     static_cast<std::uint32_t>(zip.size() - 3), 0xFFFFFFFFu, 0x7FFFFFFFu}) {
    std::string lie = zip;
    Put32(lie, r.central[1] + 42, target);
    const Outcome outcome = UnzipHostile(lie);
    EXPECT_EQ(outcome.result, kUnzipCompleted);
    EXPECT_EQ(outcome.failureTexts, (std::vector<std::wstring>{Prompt(kErrorReadArchive, L"sub/second.txt")}))
        << "local header at " << target;
    EXPECT_EQ(outcome.files.size(), 2u);
    EXPECT_EQ(outcome.files.count(L"sub\\second.txt"), 0u);
  }
}

// A ZIP64 locator in front of the end record whose record is missing, lies behind it, or is
// the locator itself.
TEST(HostileRecords, Zip64LocatorsPointingAnywhere) {
  ArchiveOptions zip64;
  zip64.zip64 = true;
  const std::string zip = BuildZip({Aes("a.txt", "a")}, zip64);
  const std::size_t locator = zip.size() - zip::kEndOfCentralDirSize - zip::kZip64EndLocatorSize;
  ASSERT_EQ(Get32(zip, locator), zip::kZip64EndLocatorSignature);
  for (const std::uint64_t target : {std::uint64_t{0}, std::uint64_t{locator}, std::uint64_t{zip.size()}, ~std::uint64_t{0}}) {
    std::string lie = zip;
    Put64(lie, locator + 8, target);
    ExpectOpenFailure(lie);
  }
}

// --- Entries overlapping -------------------------------------------------------------------

// Entries sharing their data are each decoded on their own; an entry whose data reaches into
// the next entry's records fails its check and the next entry is unharmed.
TEST(HostileRecords, OverlappingEntries) {
  const std::string zip = ThreeEntries();
  const Records r = Locate(zip);

  std::string shared = zip;  // the third entry points at the first entry's records
  Put32(shared, r.central[2] + 42, static_cast<std::uint32_t>(r.local[0]));
  Put32(shared, r.central[2] + 20, Get32(zip, r.central[0] + 20));
  Put32(shared, r.central[2] + 24, Get32(zip, r.central[0] + 24));
  Outcome outcome = UnzipHostile(shared);
  EXPECT_TRUE(outcome.failureTexts.empty());
  EXPECT_EQ(outcome.files.at(L"third.txt"), Text(700));
  EXPECT_EQ(outcome.files.at(L"first.txt"), Text(700));

  std::string reaching = zip;  // the first entry's data runs over the second entry's header
  Put32(reaching, r.central[0] + 20, static_cast<std::uint32_t>(r.data[1] + 40 - r.data[0]));
  outcome = UnzipHostile(reaching);
  EXPECT_EQ(outcome.failureTexts, (std::vector<std::wstring>{Prompt(kErrorCorruptData)}));
  EXPECT_EQ(outcome.files.size(), 2u);
  EXPECT_EQ(outcome.files.at(L"sub\\second.txt"), Text(300, 'A'));
}

// Many entries over one stream (a "quoted overlap" bomb): nothing is refused for sharing its
// data, but the output stays bounded by the sizes the entries declare, entry by entry.
TEST(HostileRecords, ManyEntriesOverOneStreamWriteNoMoreThanTheyDeclare) {
  constexpr std::size_t kEntries = 40;
  constexpr std::size_t kSize = 1 << 20;
  std::vector<TestEntry> entries;
  for (std::size_t i = 0; i < kEntries; ++i) entries.push_back(Aes("copy" + std::to_string(i) + ".bin", ""));
  entries[0].data = std::string(kSize, '\0');
  std::string zip = BuildZip(entries);
  const Records r = Locate(zip);
  for (std::size_t i = 1; i < kEntries; ++i) {
    Put32(zip, r.central[i] + 42, static_cast<std::uint32_t>(r.local[0]));
    Put32(zip, r.central[i] + 20, Get32(zip, r.central[0] + 20));
    Put32(zip, r.central[i] + 24, static_cast<std::uint32_t>(kSize));
  }
  WindowsMemoryFileSystem files(L"C:\\Work");
  files.keepBytes = 16;
  const Outcome outcome = UnzipHostile(zip, {}, &files);
  EXPECT_TRUE(outcome.failureTexts.empty());
  EXPECT_EQ(outcome.files.size(), kEntries);
  EXPECT_EQ(outcome.bytesWritten, kEntries * kSize);
}

// --- Counts --------------------------------------------------------------------------------

TEST(HostileRecords, CountsThatDoNotMatchTheDirectory) {
  const std::string zip = ThreeEntries();
  const Records r = Locate(zip);

  std::string more = zip;
  Put16(more, r.end + 8, 4);
  Put16(more, r.end + 10, 4);
  std::string disksDiffer = zip;
  Put16(disksDiffer, r.end + 8, 2);
  std::string otherDisk = zip;
  Put16(otherDisk, r.end + 4, 1);
  std::string hugeCount = zip;
  Put16(hugeCount, r.end + 8, 0xFFFF);
  Put16(hugeCount, r.end + 10, 0xFFFF);
  for (const std::string& lie : {more, disksDiffer, otherDisk, hugeCount}) ExpectOpenFailure(lie);

  std::string fewer = zip;  // the directory holds more than the count: only the count is read
  Put16(fewer, r.end + 8, 1);
  Put16(fewer, r.end + 10, 1);
  Outcome outcome = UnzipHostile(fewer);
  EXPECT_EQ(outcome.result, kUnzipCompleted);
  EXPECT_EQ(outcome.files, (std::map<std::wstring, std::string>{{L"first.txt", Text(700)}}));

  std::string none = zip;
  Put16(none, r.end + 8, 0);
  Put16(none, r.end + 10, 0);
  outcome = UnzipHostile(none);
  EXPECT_EQ(outcome.result, kUnzipCompleted);
  EXPECT_TRUE(outcome.files.empty());
  EXPECT_TRUE(outcome.failureTexts.empty());
}

// --- Truncation ----------------------------------------------------------------------------

// Cut at every byte, and so at every record boundary: the end record is gone and nothing is
// unpacked, asked or left behind.
TEST(HostileRecords, TruncationAnywhereOpensNothing) {
  const std::string zip = ThreeEntries();
  const Records r = Locate(zip);
  std::vector<std::size_t> boundaries = {0, r.end, zip.size() - 1};
  for (std::size_t i = 0; i < r.local.size(); ++i) {
    boundaries.insert(boundaries.end(), {r.local[i], r.local[i] + 4, r.data[i], r.central[i], r.central[i] + 46});
  }
  for (const std::size_t length : boundaries) {
    SCOPED_TRACE(length);
    ExpectOpenFailure(zip.substr(0, length));
  }
  for (std::size_t length = 0; length < zip.size(); ++length) {
    const Outcome outcome = UnzipHostile(zip.substr(0, length));
    ASSERT_EQ(outcome.result, kUnzipFailed) << length;
    ASSERT_TRUE(outcome.files.empty()) << length;
  }
}

// One whole record cut out of the middle, the rest kept: the directory and the entries no
// longer agree, and whatever the library makes of it, it keeps its invariants.
TEST(HostileRecords, ARecordCutOutOfTheMiddle) {
  const std::string zip = ThreeEntries();
  const Records r = Locate(zip);
  std::vector<std::size_t> cuts = {r.local[0], r.data[0], r.local[1], r.data[1], r.local[2], r.data[2]};
  cuts.insert(cuts.end(), r.central.begin(), r.central.end());
  cuts.push_back(r.end);
  for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
    SCOPED_TRACE(cuts[i]);
    const std::string cut = zip.substr(0, cuts[i]) + zip.substr(cuts[i + 1]);
    const Outcome outcome = UnzipHostile(cut);
    EXPECT_LE(outcome.failureTexts.size(), 3u);
    for (const auto& [name, data] : outcome.files) EXPECT_EQ(kAllThree.at(name), data) << name;
  }
}

}  // namespace
}  // namespace orv::test
