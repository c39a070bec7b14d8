// A small ZIP writer for tests only: it builds archives that no peer tool would write on
// purpose (hostile names, lying sizes, wrong CRCs, broken authentication codes, ZIP64 records,
// a prepended stub), so that the reader's checks can be driven one by one.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orv::test {

struct TestEntry {
  std::string name;  // stored bytes
  std::string data;  // uncompressed content
  std::uint16_t method = 8;  // 0 stored, 8 deflate; any other value stores data as given
  bool utf8 = true;
  std::uint32_t externalAttributes = 0x20;
  std::uint16_t dosDate = (44 << 9) | (3 << 5) | 14;  // 2024-03-14
  std::uint16_t dosTime = (15 << 11) | (9 << 5) | 13;  // 15:09:26

  int aesStrength = 0;  // 0: not encrypted; 1..3 AES-128/192/256; others written as given
  std::uint16_t aesVendor = 2;
  std::string password;

  std::optional<std::uint32_t> crc;               // default: real CRC (0 for AE-2)
  std::optional<std::uint64_t> declaredSize;      // default: data.size()
  std::optional<std::string> compressed;          // default: data compressed by method
  std::string afterStream;                        // appended to the compressed stream
  std::optional<std::uint16_t> extraFlags;        // or'ed into the flags
  bool corruptMac = false;
  bool corruptLocalSignature = false;
};

struct ArchiveOptions {
  bool zip64 = false;
  std::string prefix;   // bytes before the archive that its offsets do not count
  std::string comment;
};

std::string BuildZip(const std::vector<TestEntry>& entries, const ArchiveOptions& options = {});
std::string RawDeflate(const std::string& data);
std::uint32_t Crc32(const std::string& data);

}  // namespace orv::test
