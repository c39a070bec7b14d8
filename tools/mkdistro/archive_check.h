// Inspection of a built archive: does it have exactly the record layout the unzipping library
// expects? The end record must be the file's last 22 bytes; the local records (header, data,
// descriptor) must tile the file from offset 0 up to the central directory with no gap or
// overlap; every local header must equal its central header; every field must carry the
// values this archive format uses. Optionally each entry is also decrypted, authenticated and
// inflated to its recorded size.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace ot::mkdistro {

struct VerifyOptions {
  bool decrypt = false;
  std::string password;  // used when decrypt is set
};

struct VerifyReport {
  std::uint64_t fileSize = 0;
  bool endRecordFound = false;
  std::uint32_t entries = 0;  // from the end record
  std::uint32_t centralDirSize = 0;
  std::uint32_t centralDirOffset = 0;
  bool centralDirReadable = false;  // every central header could be walked
  bool tiles = false;               // local records cover [0, central directory) exactly
  bool headersMatch = false;        // each local header equals its central header
  bool valuesAsExpected = false;    // flags, method, versions, attributes, AES field, names
  bool decrypted = false;           // only when asked: every entry decrypts and inflates
  std::vector<std::string> problems;
  bool ok = false;
};

// Never throws for a damaged archive: what is wrong ends up in problems and ok is false.
VerifyReport VerifyArchive(const std::string& path, const VerifyOptions& options);

}  // namespace ot::mkdistro
