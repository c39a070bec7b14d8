// Reading an archive's table of contents: the end-of-central-directory record (searched from
// the end of the file, past a comment of up to 64 KiB), the ZIP64 end record where a locator
// points at one, and every central directory header with its ZIP64 and WinZip AES extra fields.
//
// Every length read from the file is checked against what remains before it is used; the
// directory is read through a fixed buffer, so a huge declared size costs no memory.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "os/file_system.h"

namespace orv::zip {

struct WzAesField {
  bool present = false;
  std::uint16_t vendorVersion = 0;  // 1: AE-1 (CRC checked), 2: AE-2
  std::uint8_t strength = 0;        // 1, 2, 3: AES-128, -192, -256
  std::uint16_t method = 0;         // the real compression method
};

struct Entry {
  std::string storedName;  // the name's bytes as stored
  std::uint16_t versionMadeBy = 0;
  std::uint16_t flags = 0;
  std::uint16_t method = 0;
  std::uint16_t dosTime = 0;
  std::uint16_t dosDate = 0;
  std::uint32_t crc32 = 0;
  std::uint64_t compressedSize = 0;
  std::uint64_t uncompressedSize = 0;
  std::uint32_t externalAttributes = 0;
  std::uint64_t localHeaderOffset = 0;  // as stored; add CentralDirectory::baseOffset
  WzAesField aes;
};

struct CentralDirectory {
  std::vector<Entry> entries;  // in central-directory order
  std::uint64_t archiveSize = 0;
  // Bytes in front of the archive that its stored offsets do not count (a stub prepended
  // after the archive was written); 0 for an ordinary archive.
  std::uint64_t baseOffset = 0;
};

enum class OpenResult {
  kOk,
  kNotAnArchive,   // no end-of-central-directory record
  kDamaged,        // records that contradict each other or the file's size
  kNoZip64End,     // a ZIP64 locator that points at no ZIP64 end record
  kReadError,
};

OpenResult ReadCentralDirectory(InputFile& file, CentralDirectory& out);

}  // namespace orv::zip
