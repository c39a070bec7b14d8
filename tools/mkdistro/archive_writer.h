// Writes the distribution archive: for every file a local header, the WinZip AES (AE-2,
// AES-128) encrypted raw deflate stream and a data descriptor, then the central directory and
// the end record. Files are streamed block by block: read, deflate, encrypt, write; no file is
// ever held whole. The local header is written with zero sizes first and patched once the
// entry's data is out, so both the header and the descriptor carry the real sizes.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "payload_scan.h"

namespace ot::mkdistro {

// Every entry's values that do not depend on the file.
constexpr std::uint16_t kEntryFlags = 0x0809;    // encrypted, data descriptor, UTF-8 name
constexpr unsigned kAesStrength = 1;             // AES-128
constexpr std::uint16_t kAesVendorVersion = 2;   // AE-2: no CRC-32, the MAC protects the data
constexpr std::size_t kAesExtraFieldSize = 11;

// The WinZip AES extra field every header carries: 0x9901, 7, AE-2, "AE", AES-128, deflate.
std::array<std::uint8_t, kAesExtraFieldSize> AesExtraField();

// Where the archive's bytes go. Write appends; WriteAt overwrites bytes already written.
class OutputSink {
 public:
  virtual ~OutputSink() = default;
  virtual void Write(const std::uint8_t* data, std::size_t size) = 0;
  virtual void WriteAt(std::uint64_t offset, const std::uint8_t* data, std::size_t size) = 0;
  virtual std::uint64_t Position() const = 0;
};

class MemorySink : public OutputSink {
 public:
  void Write(const std::uint8_t* data, std::size_t size) override;
  void WriteAt(std::uint64_t offset, const std::uint8_t* data, std::size_t size) override;
  std::uint64_t Position() const override { return bytes_.size(); }
  const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

struct WriteOptions {
  std::string password;  // the bytes the keys are derived from
  int level = 9;         // deflate level, 0 to 9
  // Fills a buffer with unpredictable bytes; each entry's salt comes from here.
  std::function<void(std::uint8_t* out, std::size_t size)> randomBytes;
  // Called after each block read, with the payload bytes read so far and the files finished.
  std::function<void(std::uint64_t bytesRead, std::size_t filesDone)> progress;
};

struct ArchiveLayout {
  std::size_t entries = 0;
  std::uint64_t centralDirOffset = 0;
  std::uint64_t centralDirSize = 0;
  std::uint64_t archiveSize = 0;
};

// Writes files, in the given order, as the complete archive. Throws DistroError when a file
// cannot be read or changes while it is read, when an offset or size would not fit the 32-bit
// fields, and for anything the sink throws.
ArchiveLayout WriteArchive(const std::vector<PayloadFile>& files, OutputSink& sink,
                           const WriteOptions& options);

}  // namespace ot::mkdistro
