// Reading the table of contents from archives held in memory, intact and damaged.
#include "zip/central_directory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "test_zip_writer.h"
#include "zip/zip_format.h"

namespace orv::zip {
namespace {

using test::BuildZip;
using test::TestEntry;

class MemoryInput final : public InputFile {
 public:
  explicit MemoryInput(std::string data) : data_(std::move(data)) {}
  bool Size(std::uint64_t& size) override {
    size = data_.size();
    return true;
  }
  bool Seek(std::uint64_t offset) override {
    if (offset > data_.size()) return false;
    position_ = static_cast<std::size_t>(offset);
    return true;
  }
  bool Read(void* buffer, std::size_t size, std::size_t& got) override {
    got = std::min(size, data_.size() - position_);
    std::memcpy(buffer, data_.data() + position_, got);
    position_ += got;
    return true;
  }

 private:
  std::string data_;
  std::size_t position_ = 0;
};

OpenResult Read(const std::string& bytes, CentralDirectory& directory) {
  MemoryInput input(bytes);
  return ReadCentralDirectory(input, directory);
}

std::vector<TestEntry> TwoEntries() {
  TestEntry plain;
  plain.name = "readme.txt";
  plain.data = "hello, hello, hello";
  plain.externalAttributes = 0x21;
  TestEntry aes;
  aes.name = "Languages/d\xC3\xA9.lng";
  aes.data = std::string(5000, 'x');
  aes.aesStrength = 3;
  aes.aesVendor = 1;
  aes.method = 0;
  aes.password = "pw";
  return {plain, aes};
}

TEST(CentralDirectory, KeepsEveryFieldInDirectoryOrder) {
  CentralDirectory directory;
  ASSERT_EQ(Read(BuildZip(TwoEntries()), directory), OpenResult::kOk);
  ASSERT_EQ(directory.entries.size(), 2u);
  const Entry& first = directory.entries[0];
  EXPECT_EQ(first.storedName, "readme.txt");
  EXPECT_EQ(first.method, kMethodDeflate);
  EXPECT_EQ(first.uncompressedSize, 19u);
  EXPECT_EQ(first.crc32, test::Crc32("hello, hello, hello"));
  EXPECT_EQ(first.externalAttributes, 0x21u);
  EXPECT_EQ(first.localHeaderOffset, 0u);
  EXPECT_EQ(first.dosDate, (44 << 9) | (3 << 5) | 14);
  EXPECT_FALSE(first.aes.present);
  const Entry& second = directory.entries[1];
  EXPECT_EQ(second.storedName, "Languages/d\xC3\xA9.lng");
  EXPECT_EQ(second.method, kMethodWzAes);
  EXPECT_TRUE(second.flags & kFlagEncrypted);
  EXPECT_TRUE(second.aes.present);
  EXPECT_EQ(second.aes.vendorVersion, 1);
  EXPECT_EQ(second.aes.strength, 3);
  EXPECT_EQ(second.aes.method, kMethodStored);
  EXPECT_EQ(second.compressedSize, 16u + 2u + 5000u + 10u);
  EXPECT_GT(second.localHeaderOffset, 0u);
  EXPECT_EQ(directory.baseOffset, 0u);
}

TEST(CentralDirectory, FindsTheEndRecordBehindAComment) {
  test::ArchiveOptions options;
  options.comment = std::string(65535, 'c');
  CentralDirectory directory;
  ASSERT_EQ(Read(BuildZip(TwoEntries(), options), directory), OpenResult::kOk);
  EXPECT_EQ(directory.entries.size(), 2u);
}

TEST(CentralDirectory, ReadsZip64Records) {
  test::ArchiveOptions options;
  options.zip64 = true;
  const std::string plain = BuildZip(TwoEntries());
  CentralDirectory expected, directory;
  ASSERT_EQ(Read(plain, expected), OpenResult::kOk);
  ASSERT_EQ(Read(BuildZip(TwoEntries(), options), directory), OpenResult::kOk);
  ASSERT_EQ(directory.entries.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(directory.entries[i].compressedSize, expected.entries[i].compressedSize);
    EXPECT_EQ(directory.entries[i].uncompressedSize, expected.entries[i].uncompressedSize);
    EXPECT_TRUE(directory.entries[i].aes.present == expected.entries[i].aes.present);
  }
  EXPECT_EQ(directory.entries[1].localHeaderOffset, expected.entries[1].localHeaderOffset + 20 /*zip64 local extra*/);
}

TEST(CentralDirectory, ALocatorWithoutItsRecordIsReported) {
  test::ArchiveOptions options;
  options.zip64 = true;
  std::string bytes = BuildZip(TwoEntries(), options);
  // The ZIP64 end record sits 56 + 20 + 22 bytes from the end: break its signature.
  bytes[bytes.size() - 22 - 20 - 56] ^= 1;
  CentralDirectory directory;
  EXPECT_EQ(Read(bytes, directory), OpenResult::kNoZip64End);
}

TEST(CentralDirectory, BytesPrependedToTheArchiveBecomeTheBaseOffset) {
  test::ArchiveOptions options;
  options.prefix = std::string(1234, 'M');
  CentralDirectory directory;
  ASSERT_EQ(Read(BuildZip(TwoEntries(), options), directory), OpenResult::kOk);
  EXPECT_EQ(directory.baseOffset, 1234u);
  EXPECT_EQ(directory.entries[0].localHeaderOffset, 0u);
}

TEST(CentralDirectory, NoEndRecordIsNoArchive) {
  CentralDirectory directory;
  EXPECT_EQ(Read("", directory), OpenResult::kNotAnArchive);
  EXPECT_EQ(Read("PK\x05\x06", directory), OpenResult::kNotAnArchive);
  EXPECT_EQ(Read(std::string(100000, 'z'), directory), OpenResult::kNotAnArchive);
}

TEST(CentralDirectory, EveryTruncationFails) {
  const std::string bytes = BuildZip(TwoEntries());
  for (std::size_t length = 0; length < bytes.size(); ++length) {
    CentralDirectory directory;
    EXPECT_NE(Read(bytes.substr(0, length), directory), OpenResult::kOk) << length;
  }
}

TEST(CentralDirectory, RecordsThatContradictEachOtherAreDamage) {
  const std::string bytes = BuildZip(TwoEntries());
  const std::size_t end = bytes.size() - 22;
  CentralDirectory directory;

  std::string more = bytes;  // claims three entries
  more[end + 8] = 3, more[end + 10] = 3;
  EXPECT_EQ(Read(more, directory), OpenResult::kDamaged);

  std::string onDisks = bytes;  // the directory on another disk
  onDisks[end + 6] = 1;
  EXPECT_EQ(Read(onDisks, directory), OpenResult::kDamaged);

  std::string beyond = bytes;  // the directory said to start past the end record
  StoreLe32(reinterpret_cast<std::uint8_t*>(&beyond[end + 16]), static_cast<std::uint32_t>(end + 1));
  EXPECT_EQ(Read(beyond, directory), OpenResult::kDamaged);

  std::string wrongHeader = bytes;  // a broken central header signature
  const std::uint32_t directoryOffset = LoadLe32(reinterpret_cast<const std::uint8_t*>(&bytes[end + 16]));
  wrongHeader[directoryOffset] = 'Q';
  EXPECT_EQ(Read(wrongHeader, directory), OpenResult::kDamaged);

  std::string longExtra = bytes;  // an extra field running past its record
  std::string::size_type aesField = longExtra.find("\x01\x99\x07\x00", directoryOffset);
  ASSERT_NE(aesField, std::string::npos);
  longExtra[aesField + 2] = 0x40;
  EXPECT_EQ(Read(longExtra, directory), OpenResult::kDamaged);
}

TEST(CentralDirectory, SurvivesEverySingleByteChangeOfItsRecords) {
  const std::string bytes = BuildZip(TwoEntries());
  const std::uint32_t directoryOffset =
      LoadLe32(reinterpret_cast<const std::uint8_t*>(&bytes[bytes.size() - 22 + 16]));
  for (std::size_t at = directoryOffset; at < bytes.size(); ++at) {
    for (const int value : {0x00, 0x7F, 0xFF}) {
      std::string damaged = bytes;
      damaged[at] = static_cast<char>(value);
      CentralDirectory directory;
      Read(damaged, directory);  // any result, but no crash and no invented entries
      EXPECT_LE(directory.entries.size(), 2u) << at;
    }
  }
}

}  // namespace
}  // namespace orv::zip
